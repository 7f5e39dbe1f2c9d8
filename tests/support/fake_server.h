// Loopback TCP servers for network tests. Each binds a free 127.0.0.x (sites use port 80, mail
// servers 25, test programs run side by side as root) or a free port of ::1, optionally speaks
// TLS, records what every connection receives and runs a scripted session per connection on its
// own thread; stopping it ends their waits.
#ifndef VANTRY_TESTS_SUPPORT_FAKE_SERVER_H_
#define VANTRY_TESTS_SUPPORT_FAKE_SERVER_H_

#include <openssl/ssl.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/fd.h"
#include "tests/support/test_ca.h"

namespace vy::test {

class FakeServer;

// One accepted connection as its session sees it.
class FakeConnection {
 public:
  // ssl: the connection's TLS session (its socket then non-blocking), null for plain TCP
  FakeConnection(FakeServer& server, int fd, size_t i, SSL* ssl = nullptr)
      : server_(server), fd_(fd), index_(i), ssl_(ssl) {}
  ~FakeConnection();  // sends a TLS close_notify unless resetting
  // The bytes up to and with `delimiter`, or what arrived when the peer closes or `seconds` pass.
  std::string readUntil(std::string_view delimiter, double seconds = 5);
  // Exactly `count` bytes, or what arrived when the peer closes or `seconds` pass.
  std::string readCount(size_t count, double seconds = 5);
  bool send(std::string_view bytes);                         // false once the peer is gone
  void holdOpen(double seconds) { readUntil("", seconds); }  // until the peer closes
  void resetOnClose();  // ends with a reset, as a crashed server would (no TLS close_notify)

 private:
  // Some bytes into buffer; <= 0 when the peer closed or failed or the deadline passed.
  long receive(char* buffer, size_t size, std::chrono::steady_clock::time_point deadline);

  FakeServer& server_;
  int fd_;  // owned by the server
  size_t index_;
  SSL* ssl_;  // owned by the session's thread
  bool resets_ = false;
  std::string unread_;
};

// Scripts one connection, which is closed when it returns.
using Session = std::function<void(FakeConnection&)>;

struct ServerOptions {
  uint16_t port = 80;  // 0: a free one. On ::1 always a free one, as there is only one ::1.
  bool ipv6 = false;   // ::1 rather than a free 127.0.0.x
  // Serves TLS with the credentials made for the bound address, so that a certificate can name
  // the address it is served on (see TestCa::issuing); plain TCP when empty. A connection whose
  // handshake fails or takes over 5 s is closed without running the session.
  std::function<Credentials(const std::string& address)> tls = nullptr;
  // This 127.0.0.x rather than a free one, such as a stopped server's, for a site that
  // comes back with another certificate.
  std::string address = "";
};

class FakeServer {
 public:
  // Serves `port` of a free loopback address with `session`; without a session
  // the address is only bound, so connections are refused.
  explicit FakeServer(Session session, uint16_t port = 80)
      : FakeServer(std::move(session), ServerOptions{port}) {}
  // The same over TLS with fixed credentials.
  FakeServer(Session session, uint16_t port, const Credentials& tls)
      : FakeServer(std::move(session), {port, false, [tls](const std::string&) { return tls; }}) {}
  FakeServer(Session session, const ServerOptions& options);  // throws when TLS setup fails
  ~FakeServer();

  bool ok() const { return listen_.valid(); }
  const std::string& address() const { return address_; }  // such as "127.0.0.37" or "::1"
  uint16_t port() const { return port_; }
  // Such as "http://127.0.0.37/path", "https://127.0.0.37:8443/path", "http://[::1]:41234/path":
  // the port only when it is not the scheme's own.
  std::string url(const std::string& path = "/") const;
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
  void serve(int fd, size_t index);  // one connection, on its own thread

  Session session_;
  std::string address_;
  uint16_t port_;
  bool ipv6_;
  UniqueFd listen_;
  std::unique_ptr<SSL_CTX, OpenSslFree<SSL_CTX_free>> tls_;  // null for plain TCP
  std::thread acceptThread_;
  mutable std::mutex mutex_;  // guards the records, the connections and the session threads
  std::vector<std::string> records_;
  std::vector<UniqueFd> connections_;  // each closed when its session returns
  std::vector<std::thread> sessions_;
};

// Reads the request head and sends `reply` (or what it makes of the head).
Session answerWith(std::string reply);
Session answerWith(std::function<std::string(const std::string& request)> reply);
// Reads the request head and the body its Content-Length announces, then sends what `reply`
// makes of the whole request.
Session answerPostWith(std::function<std::string(const std::string& request)> reply);
// Reads the request head, waits `seconds`, then sends `reply`.
Session answerAfter(double seconds, std::string reply);

// A whole HTTP/1.0 reply with the status line text (such as "200 OK") and body.
std::string httpReplyText(const std::string& status, const std::string& body);

}  // namespace vy::test

#endif  // VANTRY_TESTS_SUPPORT_FAKE_SERVER_H_
