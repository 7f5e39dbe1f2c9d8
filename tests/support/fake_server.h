// Loopback TCP servers for network tests. Each binds a free 127.0.0.x (sites use port 80, mail
// servers 25, test programs run side by side as root), records what every connection receives
// and runs a scripted session per connection on its own thread; stopping it ends their waits.
#ifndef VANTRY_TESTS_SUPPORT_FAKE_SERVER_H_
#define VANTRY_TESTS_SUPPORT_FAKE_SERVER_H_

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/fd.h"

namespace vy::test {

class FakeServer;

// One accepted connection as its session sees it.
class FakeConnection {
 public:
  FakeConnection(FakeServer& server, int fd, size_t i) : server_(server), fd_(fd), index_(i) {}
  // The bytes up to and with `delimiter`, or what arrived when the peer closes or `seconds` pass.
  std::string readUntil(std::string_view delimiter, double seconds = 5);
  bool send(std::string_view bytes);                         // false once the peer is gone
  void holdOpen(double seconds) { readUntil("", seconds); }  // until the peer closes
  void resetOnClose();  // ends with a reset, as a crashed server would

 private:
  FakeServer& server_;
  int fd_;  // owned by the server
  size_t index_;
  std::string unread_;
};

// Scripts one connection, which is closed when it returns.
using Session = std::function<void(FakeConnection&)>;

class FakeServer {
 public:
  // Serves `port` of a free loopback address with `session`; without a session
  // the address is only bound, so connections are refused.
  explicit FakeServer(Session session, uint16_t port = 80);
  ~FakeServer();

  bool ok() const { return listen_.valid(); }
  const std::string& address() const { return address_; }  // such as "127.0.0.37"
  std::string url(const std::string& path = "/") const { return "http://" + address_ + path; }
  // Connections accepted, once the accept queue is empty (waiting at most 5 s).
  int connectionCount();
  std::vector<std::string> received() const;  // what each connection received, in order
  std::string received(size_t i) const {      // empty when there is no connection i
    std::vector<std::string> all = received();
    return i < all.size() ? all[i] : "";
  }

 private:
  friend class FakeConnection;
  void acceptLoop();

  Session session_;
  std::string address_;
  UniqueFd listen_;
  std::thread acceptThread_;
  mutable std::mutex mutex_;  // guards the records, the connections and the session threads
  std::vector<std::string> records_;
  std::vector<UniqueFd> connections_;  // each closed when its session returns
  std::vector<std::thread> sessions_;
};

// Reads the request head and sends `reply` (or what it makes of the head).
Session answerWith(std::string reply);
Session answerWith(std::function<std::string(const std::string& request)> reply);
// Reads the request head, waits `seconds`, then sends `reply`.
Session answerAfter(double seconds, std::string reply);

// A whole HTTP/1.0 reply with the status line text (such as "200 OK") and body.
std::string httpReplyText(const std::string& status, const std::string& body);

}  // namespace vy::test

#endif  // VANTRY_TESTS_SUPPORT_FAKE_SERVER_H_
