// Loopback web sites for the benchmark: one thread with one epoll loop serves
// one port of many 127.x.y.z addresses, answers each request after the site's
// delay (timed to the microsecond) and closes the connection, so that many
// hundreds of slow sites cost next to nothing in threads or CPU. SiteServer
// serves plain HTTP on port 80; a server made with a session maker moves each
// connection's bytes through a session of its own (TlsSiteServer: TLS).
//
// The reply body is chosen by the path: "/size/N..." gets N bytes of plain
// lower-case HTML beginning with kPageStart (when it is long enough) and
// ending with kPageEnd, any other path kDefaultBodySize bytes of the same.
#ifndef VANTRY_BENCH_SITE_SERVER_H_
#define VANTRY_BENCH_SITE_SERVER_H_

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
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

// How one accepted connection's bytes pass between its socket and the server.
// Every call returns at once: kWantRead or kWantWrite when the socket must
// become readable or writable first, kClose when the connection has failed.
class SiteSession {
 public:
  enum class Io { kDone, kWantRead, kWantWrite, kClose };

  virtual ~SiteSession() = default;
  // Sets the session up before the request; kDone once it is.
  virtual Io start() = 0;
  // kDone with received > 0 bytes in buffer.
  virtual Io read(char* buffer, size_t size, size_t& received) = 0;
  // kDone with written > 0 bytes of data sent.
  virtual Io write(const char* data, size_t size, size_t& written) = 0;
  // After the whole reply, just before the close.
  virtual void finish() {}
};

// The session of a newly accepted non-blocking socket; null drops it.
using SessionMaker = std::function<std::unique_ptr<SiteSession>(int fd)>;

class SiteServer {
 public:
  // Binds port 80 of every address; ok() tells whether all could be bound.
  SiteServer(const std::vector<std::string>& addresses, std::chrono::microseconds delay);
  ~SiteServer();
  SiteServer(const SiteServer&) = delete;
  SiteServer& operator=(const SiteServer&) = delete;

  bool ok() const { return ok_; }
  unsigned long answered() const { return answered_.load(); }

 protected:
  // Binds port `port` of every address and serves each connection through the
  // session makeSession gives it; not ok() when makeSession is empty.
  SiteServer(const std::vector<std::string>& addresses, std::chrono::microseconds delay, int port,
             SessionMaker makeSession);

 private:
  void loop();

  std::chrono::microseconds delay_;
  SessionMaker makeSession_;
  std::vector<UniqueFd> listeners_;
  UniqueFd epoll_;
  UniqueFd wake_;  // an eventfd that ends the loop
  bool ok_ = false;
  std::atomic<unsigned long> answered_{0};
  std::thread thread_;
};

// n addresses from 127.<block>.1.1 on, 250 to each third byte.
std::vector<std::string> siteAddresses(int block, int n);

}  // namespace vy::bench

#endif  // VANTRY_BENCH_SITE_SERVER_H_
