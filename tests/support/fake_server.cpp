// Loopback fake servers for network tests; see fake_server.h.
#include "tests/support/fake_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <random>
#include <utility>

namespace vy::test {
namespace {

using Clock = std::chrono::steady_clock;

// Waits are cut into slices this long so that a stopping server is noticed.
constexpr std::chrono::milliseconds kSlice(20);
constexpr double kSendSeconds = 10;
constexpr double kQuietLineSeconds = 5;
constexpr double kHoldSeconds = 60;

Clock::time_point deadlineAfter(double seconds) {
  return Clock::now() + std::chrono::duration_cast<Clock::duration>(
                            std::chrono::duration<double>(std::max(0.0, seconds)));
}

// Milliseconds to wait in one slice before the deadline.
int sliceBefore(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::clamp(left, std::chrono::milliseconds(0), kSlice).count());
}

sockaddr_in loopback(const std::string& address, uint16_t port) {
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(port);
  ::inet_pton(AF_INET, address.c_str(), &target.sin_addr);
  return target;
}

// A socket bound to address:port, listening when `listen` is set. A listener
// takes SO_REUSEADDR (so connections of an earlier test in TIME_WAIT do not
// block it); a plain bound socket does not, so that nobody else can bind the
// same port while it is held.
int bindSocket(const std::string& address, uint16_t port, bool listen) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int on = 1;
  if (listen) ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in local = loopback(address, port);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      (listen && ::listen(fd, 128) != 0)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Binds the first free 127.0.0.x (x in 2..254) from a random start: a bind
// fails while another server (of this or another test program) holds it.
int bindFreeLoopback(uint16_t port, bool listen, std::string& address) {
  constexpr int kFirst = 2, kCount = 253;
  int start = static_cast<int>(std::random_device{}() % kCount);
  for (int i = 0; i < kCount; ++i) {
    std::string candidate = "127.0.0." + std::to_string(kFirst + (start + i) % kCount);
    int fd = bindSocket(candidate, port, listen);
    if (fd >= 0) {
      address = candidate;
      return fd;
    }
  }
  return -1;
}

uint16_t localPort(int fd) {
  sockaddr_in local{};
  socklen_t size = sizeof local;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size);
  return ntohs(local.sin_port);
}

uint16_t peerPort(int fd) {
  sockaddr_in peer{};
  socklen_t size = sizeof peer;
  ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &size);
  return ntohs(peer.sin_port);
}

}  // namespace

// --- FakeConnection ------------------------------------------------------------------

int FakeConnection::receiveSome(Clock::time_point deadline) {
  if (server_.stopping_ || peerClosed_) return -1;
  pollfd watch{fd_, POLLIN, 0};
  int ready = ::poll(&watch, 1, sliceBefore(deadline));
  if (ready == 0 || (ready < 0 && errno == EINTR)) return 0;
  char chunk[4096];
  ssize_t received = ready > 0 ? ::recv(fd_, chunk, sizeof chunk, 0) : -1;
  if (received <= 0) {
    peerClosed_ = true;
    return -1;
  }
  std::string_view bytes(chunk, static_cast<size_t>(received));
  unread_.append(bytes);
  server_.record(index_, bytes, false);
  return 1;
}

std::string FakeConnection::readUntil(std::string_view delimiter, double seconds) {
  auto deadline = deadlineAfter(seconds);
  for (;;) {
    size_t found = unread_.find(delimiter);
    if (found != std::string::npos) {
      std::string head = unread_.substr(0, found + delimiter.size());
      unread_.erase(0, head.size());
      return head;
    }
    if (Clock::now() >= deadline || receiveSome(deadline) < 0) return std::exchange(unread_, {});
  }
}

bool FakeConnection::send(std::string_view bytes) {
  auto deadline = deadlineAfter(kSendSeconds);
  while (!bytes.empty()) {
    if (server_.stopping_ || Clock::now() >= deadline) return false;
    pollfd watch{fd_, POLLOUT, 0};
    if (::poll(&watch, 1, sliceBefore(deadline)) <= 0) continue;
    ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (sent < 0) return false;
    server_.record(index_, bytes.substr(0, static_cast<size_t>(sent)), true);
    bytes.remove_prefix(static_cast<size_t>(sent));
  }
  return true;
}

void FakeConnection::holdOpen(double seconds) {
  auto deadline = deadlineAfter(seconds);
  while (Clock::now() < deadline && receiveSome(deadline) >= 0) {
  }
}

bool FakeConnection::pause(double seconds) {
  auto deadline = deadlineAfter(seconds);
  while (Clock::now() < deadline) {
    if (server_.stopping_) return false;
    std::this_thread::sleep_for(std::min<Clock::duration>(kSlice, deadline - Clock::now()));
  }
  return !server_.stopping_;
}

void FakeConnection::resetOnClose() {
  linger abort{1, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
}

// --- FakeServer ----------------------------------------------------------------------

FakeServer::FakeServer(Session session, uint16_t port, const std::string& address)
    : session_(std::move(session)), port_(port) {
  if (!listenOn(address)) return;
  acceptThread_ = std::thread([this] { acceptLoop(); });
}

FakeServer::~FakeServer() {
  stopping_ = true;
  if (acceptThread_.joinable()) acceptThread_.join();
  std::vector<std::thread> sessions;
  {
    std::lock_guard lock(mutex_);
    sessions.swap(sessions_);
  }
  for (std::thread& thread : sessions) thread.join();
  if (listenFd_ >= 0) ::close(listenFd_);
}

bool FakeServer::listenOn(const std::string& address) {
  if (address.empty()) {
    listenFd_ = bindFreeLoopback(port_, true, address_);
  } else {
    listenFd_ = bindSocket(address, port_, true);
    if (listenFd_ >= 0) address_ = address;
  }
  return listenFd_ >= 0;
}

void FakeServer::acceptLoop() {
  while (!stopping_) {
    pollfd watch{listenFd_, POLLIN, 0};
    if (::poll(&watch, 1, static_cast<int>(kSlice.count())) <= 0) continue;
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    if (isProbe(fd)) {
      ::close(fd);
      continue;
    }
    serve(fd);
  }
}

void FakeServer::serve(int fd) {
  std::lock_guard lock(mutex_);
  size_t index = records_.size();
  records_.emplace_back();
  sessions_.emplace_back([this, fd, index] {
    FakeConnection connection(*this, fd, index);
    session_(connection);
    ::close(fd);
  });
}

bool FakeServer::isProbe(int fd) {
  std::lock_guard lock(mutex_);
  if (probePorts_.erase(peerPort(fd)) == 0) return false;
  ++probesAccepted_;
  return true;
}

void FakeServer::record(size_t index, std::string_view bytes, bool sent) {
  std::lock_guard lock(mutex_);
  (sent ? records_[index].sent : records_[index].received).append(bytes);
}

int FakeServer::connectionCount() {
  int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in local = loopback("127.0.0.1", 0);
  int awaited = -1;
  if (probe >= 0 && ::bind(probe, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0) {
    std::lock_guard lock(mutex_);
    probePorts_.insert(localPort(probe));
    awaited = probesAccepted_ + 1;
  }
  sockaddr_in target = loopback(address_, port_);
  if (awaited > 0 && ::connect(probe, reinterpret_cast<sockaddr*>(&target), sizeof target) == 0) {
    auto deadline = deadlineAfter(5);
    while (Clock::now() < deadline) {
      {
        std::lock_guard lock(mutex_);
        if (probesAccepted_ >= awaited) break;
      }
      std::this_thread::sleep_for(kSlice);
    }
  }
  if (probe >= 0) ::close(probe);
  std::lock_guard lock(mutex_);
  return static_cast<int>(records_.size());
}

std::vector<ConnectionRecord> FakeServer::records() const {
  std::lock_guard lock(mutex_);
  return records_;
}

std::string FakeServer::received(size_t i) const {
  std::lock_guard lock(mutex_);
  return i < records_.size() ? records_[i].received : std::string();
}

// --- RefusingAddress ------------------------------------------------------------------

RefusingAddress::RefusingAddress(uint16_t port) { fd_ = bindFreeLoopback(port, false, address_); }

RefusingAddress::~RefusingAddress() {
  if (fd_ >= 0) ::close(fd_);
}

// --- Ready-made sessions ----------------------------------------------------------------

Session answerWith(std::string reply) {
  return [reply = std::move(reply)](FakeConnection& connection) {
    connection.readRequestHead();
    connection.send(reply);
  };
}

Session answerWith(std::function<std::string(const std::string& request)> reply) {
  return [reply = std::move(reply)](FakeConnection& connection) {
    connection.send(reply(connection.readRequestHead()));
  };
}

Session answerAfter(double seconds, std::string reply) {
  return [seconds, reply = std::move(reply)](FakeConnection& connection) {
    connection.readRequestHead();
    if (connection.pause(seconds)) connection.send(reply);
  };
}

Session neverAnswer() {
  return [](FakeConnection& connection) {
    connection.readRequestHead();
    connection.holdOpen(kHoldSeconds);
  };
}

Session closeWithoutAnswer() {
  return [](FakeConnection& connection) { connection.readRequestHead(); };
}

Session closeAtOnce() {
  return [](FakeConnection&) {};
}

Session lineDialogue(std::string greeting,
                     std::function<std::string(const std::string& line)> answer) {
  return [greeting = std::move(greeting), answer = std::move(answer)](FakeConnection& connection) {
    if (!greeting.empty() && !connection.send(greeting)) return;
    for (;;) {
      std::string line = connection.readLine(kQuietLineSeconds);
      if (line.empty()) return;
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
