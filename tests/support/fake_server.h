// Loopback TCP servers for network tests: a fake web site or mail server that
// records every byte it receives and answers with a scripted session.
//
// The worker always connects to port 80 (and the mail sender to 25), and
// CTest runs the tests of many programs side by side, so each server binds a
// loopback address 127.0.0.x that no other server holds, chosen at run time
// (binding a port below 1024 needs root, which the tests run as). Every
// accepted connection runs its session on a thread of its own; every wait
// inside is bounded and also ends when the server stops, so the destructor
// returns promptly and joins all threads.
#ifndef VANTRY_TESTS_SUPPORT_FAKE_SERVER_H_
#define VANTRY_TESTS_SUPPORT_FAKE_SERVER_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace vy::test {

class FakeServer;

// What one accepted connection received and sent, as far as it got.
struct ConnectionRecord {
  std::string received;
  std::string sent;
};

// One accepted connection as its session sees it. Everything read or sent is
// recorded in the server at once, so a test sees the request as soon as the
// client has its answer.
class FakeConnection {
 public:
  // Reads until `delimiter` has arrived and returns the bytes up to and with
  // it; when the peer closes, the wait of `seconds` runs out or the server
  // stops first, returns whatever arrived.
  std::string readUntil(std::string_view delimiter, double seconds = 5);
  std::string readLine(double seconds = 5) { return readUntil("\n", seconds); }
  // The head of an HTTP request: everything up to the blank line.
  std::string readRequestHead(double seconds = 5) { return readUntil("\r\n\r\n", seconds); }

  // Sends all bytes; false when the peer is gone or the server stops.
  bool send(std::string_view bytes);
  // Keeps the connection open until the peer closes, the server stops or
  // `seconds` pass.
  void holdOpen(double seconds);
  // Sleeps, waking early when the server stops; false when it stopped.
  bool pause(double seconds);
  bool peerClosed() const { return peerClosed_; }
  // Makes the close at the end of the session a reset (RST) instead of an
  // orderly shutdown, as a crashed server or a firewall would end it.
  void resetOnClose();

 private:
  friend class FakeServer;
  FakeConnection(FakeServer& server, int fd, size_t index)
      : server_(server), fd_(fd), index_(index) {}
  // One slice of waiting before the deadline: 1 bytes arrived, 0 nothing
  // yet, -1 the peer has closed or the server stops.
  int receiveSome(std::chrono::steady_clock::time_point deadline);

  FakeServer& server_;
  int fd_;
  size_t index_;
  std::string unread_;  // bytes received after the last delimiter
  bool peerClosed_ = false;
};

// A session scripts one connection; the connection is closed when it returns.
// It runs on the connection's own thread, for several connections at once.
using Session = std::function<void(FakeConnection&)>;

class FakeServer {
 public:
  // Listens on `port` of a free loopback address (or of `address` when
  // given) and serves every connection with `session`.
  explicit FakeServer(Session session, uint16_t port = 80, const std::string& address = "");
  ~FakeServer();
  FakeServer(const FakeServer&) = delete;
  FakeServer& operator=(const FakeServer&) = delete;

  // Whether the server is listening.
  bool ok() const { return listenFd_ >= 0; }
  // The dotted address, such as "127.0.0.37".
  const std::string& address() const { return address_; }
  uint16_t port() const { return port_; }
  // "http://" + address + path.
  std::string url(const std::string& path = "/") const { return "http://" + address_ + path; }

  // The number of connections accepted. Every connection made before the call
  // is counted: a probe connection behind them is awaited first (and not
  // counted), which works because connections are accepted in order.
  int connectionCount();
  // The records of all connections, in the order they were accepted.
  std::vector<ConnectionRecord> records() const;
  // The bytes received on connection i (empty when there is none).
  std::string received(size_t i = 0) const;

 private:
  friend class FakeConnection;
  bool listenOn(const std::string& address);
  void acceptLoop();
  void serve(int fd);
  bool isProbe(int fd);
  void record(size_t index, std::string_view bytes, bool sent);

  Session session_;
  uint16_t port_;
  std::string address_;
  int listenFd_ = -1;
  std::atomic<bool> stopping_{false};
  std::thread acceptThread_;

  mutable std::mutex mutex_;  // guards everything below
  std::vector<ConnectionRecord> records_;
  std::vector<std::thread> sessions_;
  std::set<uint16_t> probePorts_;  // local ports of probe connections not yet accepted
  int probesAccepted_ = 0;
};

// A loopback address whose port refuses connections: the port is bound (so no
// other test's server can take it) but never listens.
class RefusingAddress {
 public:
  explicit RefusingAddress(uint16_t port = 80);
  ~RefusingAddress();
  RefusingAddress(const RefusingAddress&) = delete;
  RefusingAddress& operator=(const RefusingAddress&) = delete;

  bool ok() const { return fd_ >= 0; }
  const std::string& address() const { return address_; }
  std::string url(const std::string& path = "/") const { return "http://" + address_ + path; }

 private:
  int fd_ = -1;
  std::string address_;
};

// --- Ready-made sessions -----------------------------------------------------

// Reads the request head and sends `reply`.
Session answerWith(std::string reply);
// Reads the request head and sends what `reply` makes of it.
Session answerWith(std::function<std::string(const std::string& request)> reply);
// Reads the request head, waits `seconds`, then sends `reply`.
Session answerAfter(double seconds, std::string reply);
// Reads the request head and never answers (the connection stays open until
// the client gives up or the server stops).
Session neverAnswer();
// Reads the request head and closes without a byte of answer.
Session closeWithoutAnswer();
// Closes the connection as soon as it is accepted, reading nothing.
Session closeAtOnce();
// A line dialogue (SMTP and the like): sends `greeting` unless it is empty,
// then reads line after line and sends what `answer` makes of each line (an
// empty answer sends nothing) until the peer closes or goes quiet.
Session lineDialogue(std::string greeting,
                     std::function<std::string(const std::string& line)> answer);

// A whole HTTP/1.0 reply with the given status line text (such as "200 OK")
// and body.
std::string httpReplyText(const std::string& status, const std::string& body);

}  // namespace vy::test

#endif  // VANTRY_TESTS_SUPPORT_FAKE_SERVER_H_
