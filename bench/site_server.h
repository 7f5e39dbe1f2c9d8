// Loopback web sites for the benchmark: one thread with one epoll loop serves
// port 80 of many 127.x.y.z addresses, answers each request after the site's
// delay (timed to the microsecond) and closes the connection, so that many
// hundreds of slow sites cost next to nothing in threads or CPU.
//
// The reply body is chosen by the path: "/size/N..." gets N bytes of plain
// lower-case HTML beginning with kPageStart (when it is long enough) and
// ending with kPageEnd, any other path kDefaultBodySize bytes of the same.
#ifndef VANTRY_BENCH_SITE_SERVER_H_
#define VANTRY_BENCH_SITE_SERVER_H_

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "common/fd.h"

namespace vy::bench {

inline constexpr const char* kPageStart = "<html><head><title>site</title></head><body>\n";
inline constexpr const char* kPageEnd = "<!--end-->";
inline constexpr size_t kDefaultBodySize = 25;

// A page body of `size` bytes.
std::string pageBody(size_t size);

// The body size a request head asks for by its path.
size_t requestedBodySize(const std::string& head);
// The whole HTTP/1.0 reply with a page body of `bodySize` bytes.
std::string replyText(size_t bodySize);
// A non-blocking listening socket on port `port` of the address; invalid when
// it cannot be bound.
UniqueFd listenOn(const std::string& address, int port);

class SiteServer {
 public:
  // Binds port 80 of every address; ok() tells whether all could be bound.
  SiteServer(const std::vector<std::string>& addresses, std::chrono::microseconds delay);
  ~SiteServer();
  SiteServer(const SiteServer&) = delete;
  SiteServer& operator=(const SiteServer&) = delete;

  bool ok() const { return ok_; }
  unsigned long answered() const { return answered_.load(); }

 private:
  void loop();

  std::chrono::microseconds delay_;
  std::vector<UniqueFd> listeners_;
  UniqueFd epoll_;
  UniqueFd wake_;  // an eventfd that ends the loop
  bool ok_ = false;
  std::atomic<bool> stopping_{false};
  std::atomic<unsigned long> answered_{0};
  std::thread thread_;
};

// n addresses from 127.<block>.1.1 on, 250 to each third byte.
std::vector<std::string> siteAddresses(int block, int n);

}  // namespace vy::bench

#endif  // VANTRY_BENCH_SITE_SERVER_H_
