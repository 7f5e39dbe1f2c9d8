// Loopback TCP servers for network tests: a fake web site or mail server that
// records every byte it receives and answers with a scripted session.
//
// Sites are reached on port 80 (mail servers on 25) and CTest runs many test
// programs side by side, so each server binds a loopback address 127.0.0.x
// that no other server holds (the tests run as root). Each connection runs its
// session on its own thread; every wait is bounded and ends when the server
// stops, so the destructor returns promptly.
#ifndef VANTRY_TESTS_SUPPORT_FAKE_SERVER_H_
#define VANTRY_TESTS_SUPPORT_FAKE_SERVER_H_

#include <atomic>
#include <chrono>
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

// What one connection received.
struct ConnectionRecord {
  std::string received;
};

// One accepted connection as its session sees it; received bytes are
// recorded in the server as they arrive.
class FakeConnection {
 public:
  // The bytes up to and with `delimiter`; whatever arrived when the peer
  // closes, `seconds` pass or the server stops first.
  std::string readUntil(std::string_view delimiter, double seconds = 5);
  std::string readLine(double seconds = 5) { return readUntil("\n", seconds); }
  // Sends all bytes; false when the peer is gone or the server stops.
  bool send(std::string_view bytes);
  // Reads on until the peer closes, the server stops or `seconds` pass.
  void holdOpen(double seconds);
  // Ends the connection with a reset, as a crashed server would.
  void resetOnClose();

 private:
  friend class FakeServer;
  FakeConnection(FakeServer& server, int fd, size_t index)
      : server_(server), fd_(fd), index_(index) {}
  // Waits one slice for bytes; false once the deadline passed, the peer
  // closed or the server stops.
  bool receiveBefore(std::chrono::steady_clock::time_point deadline);

  FakeServer& server_;
  UniqueFd fd_;
  size_t index_;
  std::string unread_;
  bool closed_ = false;
};

// A session scripts one connection; the connection is closed when it returns.
using Session = std::function<void(FakeConnection&)>;

class FakeServer {
 public:
  // Serves every connection to `port` of a free loopback address (or of
  // `address`) with `session`.
  explicit FakeServer(Session session, uint16_t port = 80, const std::string& address = "");
  ~FakeServer();

  bool ok() const { return listen_.valid(); }
  // The dotted address, such as "127.0.0.37".
  const std::string& address() const { return address_; }
  std::string url(const std::string& path = "/") const { return "http://" + address_ + path; }
  // The number of connections accepted, once every connection waiting in the
  // accept queue has been taken (waiting at most 5 seconds).
  int connectionCount();
  // The records of all connections, in the order they were accepted.
  std::vector<ConnectionRecord> records() const;
  // The bytes received on connection i (empty when there is none).
  std::string received(size_t i = 0) const;

 private:
  friend class FakeConnection;
  void acceptLoop();

  Session session_;
  std::string address_;
  UniqueFd listen_;
  std::atomic<bool> stopping_{false};
  std::thread acceptThread_;
  mutable std::mutex mutex_;  // guards the records and session threads
  std::vector<ConnectionRecord> records_;
  std::vector<std::thread> sessions_;
};

// A loopback address whose port is bound (so no server takes it) but refuses
// connections.
class RefusingAddress {
 public:
  explicit RefusingAddress(uint16_t port = 80);
  bool ok() const { return fd_.valid(); }
  const std::string& address() const { return address_; }
  std::string url(const std::string& path = "/") const { return "http://" + address_ + path; }

 private:
  std::string address_;
  UniqueFd fd_;
};

// Read the request head and send `reply` (or what it makes of the head).
Session answerWith(std::string reply);
Session answerWith(std::function<std::string(const std::string& request)> reply);
// Reads the request head, waits `seconds`, then sends `reply`.
Session answerAfter(double seconds, std::string reply);
// Sends `greeting` (unless empty), then answers each line with what `answer`
// makes of it (nothing when empty) until the peer closes or goes quiet.
Session lineDialogue(std::string greeting,
                     std::function<std::string(const std::string& line)> answer);

// A whole HTTP/1.0 reply with the status line text (such as "200 OK") and body.
std::string httpReplyText(const std::string& status, const std::string& body);

}  // namespace vy::test

#endif  // VANTRY_TESTS_SUPPORT_FAKE_SERVER_H_
