// Loopback fake servers for network tests; see fake_server.h.
#include "tests/support/fake_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <random>

namespace vy::test {
namespace {

using Clock = std::chrono::steady_clock;

// Waits are cut into slices this long so that a stopping server is noticed.
constexpr std::chrono::milliseconds kSlice(20);

Clock::time_point deadlineAfter(double seconds) {
  return Clock::now() +
         std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// Milliseconds to wait in one slice before the deadline.
int sliceBefore(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::clamp<long>(left.count(), 0, kSlice.count()));
}

// A socket bound to address:port; with `listen` a non-blocking listener that
// takes SO_REUSEADDR (so connections of an earlier test in TIME_WAIT do not
// block it).
UniqueFd bindSocket(const std::string& address, uint16_t port, bool listen) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (listen ? SOCK_NONBLOCK : 0), 0));
  int on = 1;
  if (listen) ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in local{AF_INET, htons(port), {}, {}};
  ::inet_pton(AF_INET, address.c_str(), &local.sin_addr);
  bool bound = ::bind(fd.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
  return bound && (!listen || ::listen(fd.get(), 128) == 0) ? std::move(fd) : UniqueFd();
}

// Binds the first free 127.0.0.x (x in 2..254) from a random start.
UniqueFd bindFreeLoopback(uint16_t port, bool listen, std::string& address) {
  int start = static_cast<int>(std::random_device{}() % 253);
  for (int i = 0; i < 253; ++i) {
    address = "127.0.0." + std::to_string(2 + (start + i) % 253);
    if (UniqueFd fd = bindSocket(address, port, listen)) return fd;
  }
  return UniqueFd();
}

}  // namespace

bool FakeConnection::receiveBefore(Clock::time_point deadline) {
  if (server_.stopping_ || closed_ || Clock::now() >= deadline) return false;
  pollfd watch{fd_.get(), POLLIN, 0};
  if (::poll(&watch, 1, sliceBefore(deadline)) <= 0) return true;
  char chunk[4096];
  ssize_t received = ::recv(fd_.get(), chunk, sizeof chunk, 0);
  if (received <= 0) {
    closed_ = true;
    return false;
  }
  unread_.append(chunk, static_cast<size_t>(received));
  std::lock_guard lock(server_.mutex_);
  server_.records_[index_].received.append(chunk, static_cast<size_t>(received));
  return true;
}

std::string FakeConnection::readUntil(std::string_view delimiter, double seconds) {
  auto deadline = deadlineAfter(seconds);
  size_t found;
  while ((found = unread_.find(delimiter)) == std::string::npos) {
    if (!receiveBefore(deadline)) return std::exchange(unread_, {});
  }
  std::string head = unread_.substr(0, found + delimiter.size());
  unread_.erase(0, head.size());
  return head;
}

bool FakeConnection::send(std::string_view bytes) {
  auto deadline = deadlineAfter(10);
  while (!bytes.empty()) {
    if (server_.stopping_ || Clock::now() >= deadline) return false;
    pollfd watch{fd_.get(), POLLOUT, 0};
    if (::poll(&watch, 1, sliceBefore(deadline)) <= 0) continue;
    ssize_t sent = ::send(fd_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0 && errno != EAGAIN && errno != EINTR) return false;
    if (sent > 0) bytes.remove_prefix(static_cast<size_t>(sent));
  }
  return true;
}

void FakeConnection::holdOpen(double seconds) {
  auto deadline = deadlineAfter(seconds);
  while (receiveBefore(deadline)) {
  }
}

void FakeConnection::resetOnClose() {
  linger abort{1, 0};
  ::setsockopt(fd_.get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
}

FakeServer::FakeServer(Session session, uint16_t port, const std::string& address)
    : session_(std::move(session)), address_(address) {
  listen_ =
      address.empty() ? bindFreeLoopback(port, true, address_) : bindSocket(address, port, true);
  if (listen_) acceptThread_ = std::thread([this] { acceptLoop(); });
}

FakeServer::~FakeServer() {
  stopping_ = true;
  if (acceptThread_.joinable()) acceptThread_.join();
  for (std::thread& thread : sessions_) thread.join();
}

// Connections are accepted under the lock, so connectionCount sees an empty
// accept queue only once every queued connection has its record.
void FakeServer::acceptLoop() {
  while (!stopping_) {
    pollfd watch{listen_.get(), POLLIN, 0};
    if (::poll(&watch, 1, static_cast<int>(kSlice.count())) <= 0) continue;
    std::lock_guard lock(mutex_);
    int fd = ::accept4(listen_.get(), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    records_.emplace_back();
    sessions_.emplace_back([this, fd, index = records_.size() - 1] {
      FakeConnection connection(*this, fd, index);
      session_(connection);
    });
  }
}

int FakeServer::connectionCount() {
  auto deadline = deadlineAfter(5);
  for (;; std::this_thread::sleep_for(kSlice)) {
    std::lock_guard lock(mutex_);
    // For a listener, tcpi_unacked counts the connections awaiting accept.
    tcp_info info{};
    socklen_t size = sizeof info;
    bool queued = ::getsockopt(listen_.get(), IPPROTO_TCP, TCP_INFO, &info, &size) == 0 &&
                  info.tcpi_unacked > 0;
    if (!queued || Clock::now() >= deadline) return static_cast<int>(records_.size());
  }
}

std::vector<ConnectionRecord> FakeServer::records() const {
  std::lock_guard lock(mutex_);
  return records_;
}

std::string FakeServer::received(size_t i) const {
  std::lock_guard lock(mutex_);
  return i < records_.size() ? records_[i].received : std::string();
}

RefusingAddress::RefusingAddress(uint16_t port) : fd_(bindFreeLoopback(port, false, address_)) {}

Session answerWith(std::string reply) {
  return answerWith([reply = std::move(reply)](const std::string&) { return reply; });
}

Session answerWith(std::function<std::string(const std::string& request)> reply) {
  return [reply = std::move(reply)](FakeConnection& connection) {
    connection.send(reply(connection.readUntil("\r\n\r\n")));
  };
}

Session answerAfter(double seconds, std::string reply) {
  return [seconds, reply = std::move(reply)](FakeConnection& connection) {
    connection.readUntil("\r\n\r\n");
    connection.holdOpen(seconds);
    connection.send(reply);
  };
}

Session lineDialogue(std::string greeting,
                     std::function<std::string(const std::string& line)> answer) {
  return [greeting = std::move(greeting), answer = std::move(answer)](FakeConnection& connection) {
    if (!greeting.empty() && !connection.send(greeting)) return;
    for (std::string line; !(line = connection.readLine()).empty();) {
      std::string reply = answer(line);
      if (!reply.empty() && !connection.send(reply)) return;
    }
  };
}

std::string httpReplyText(const std::string& status, const std::string& body) {
  return "HTTP/1.0 " + status +
         "\r\nContent-Type: text/html\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\n\r\n" + body;
}

}  // namespace vy::test
