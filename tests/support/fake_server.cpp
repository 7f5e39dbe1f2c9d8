// Loopback fake servers for network tests; see fake_server.h.
#include "tests/support/fake_server.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <random>

namespace vy::test {

using Clock = std::chrono::steady_clock;

// Binds `port` of a free 127.0.0.x; a listener takes SO_REUSEADDR, lest TIME_WAIT block it.
static UniqueFd bindLoopback(std::string& address, uint16_t port, bool listen) {
  const int start = static_cast<int>(std::random_device{}() % 253);
  for (int i = 0; i < 253; ++i) {
    address = "127.0.0." + std::to_string(2 + (start + i) % 253);
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (listen ? SOCK_NONBLOCK : 0), 0));
    int on = 1;
    if (listen) ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in local{AF_INET, htons(port), {}, {}};
    ::inet_pton(AF_INET, address.c_str(), &local.sin_addr);
    bool bound = ::bind(fd.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
    if (bound && (!listen || ::listen(fd.get(), 128) == 0)) return fd;
  }
  return UniqueFd();
}

// An empty delimiter is never found.
std::string FakeConnection::readUntil(std::string_view delimiter, double seconds) {
  const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
  size_t found = 0;
  while (delimiter.empty() || (found = unread_.find(delimiter)) == std::string::npos) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd watch{fd_, POLLIN, 0};
    char chunk[4096];
    ssize_t received = ::poll(&watch, 1, static_cast<int>(left.count() > 0 ? left.count() : 0));
    if (received > 0) received = ::recv(fd_, chunk, sizeof chunk, 0);
    if (received <= 0) return std::exchange(unread_, {});  // the time is up or the peer closed
    unread_.append(chunk, static_cast<size_t>(received));
    std::lock_guard lock(server_.mutex_);
    server_.records_[index_].append(chunk, static_cast<size_t>(received));
  }
  std::string head = unread_.substr(0, found + delimiter.size());
  unread_.erase(0, head.size());
  return head;
}

bool FakeConnection::send(std::string_view bytes) {
  for (ssize_t sent; !bytes.empty(); bytes.remove_prefix(static_cast<size_t>(sent))) {
    if ((sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL)) < 0) return false;
  }
  return true;
}

void FakeConnection::resetOnClose() {
  linger abort{1, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
}

FakeServer::FakeServer(Session session, uint16_t port)
    : session_(std::move(session)), listen_(bindLoopback(address_, port, session_ != nullptr)) {
  if (listen_ && session_) acceptThread_ = std::thread([this] { acceptLoop(); });
}

FakeServer::~FakeServer() {
  ::shutdown(listen_.get(), SHUT_RDWR);  // ends the accept loop
  if (acceptThread_.joinable()) acceptThread_.join();
  for (std::thread& thread : sessions_) thread.join();
}

// Accepts under the lock, so connectionCount never sees a connection neither queued nor recorded.
void FakeServer::acceptLoop() {
  pollfd watch{listen_.get(), POLLIN, 0};
  while (::poll(&watch, 1, -1) > 0 && !(watch.revents & POLLHUP)) {
    std::lock_guard lock(mutex_);
    UniqueFd fd(::accept4(listen_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!fd) continue;
    records_.emplace_back();
    sessions_.emplace_back([this, fd = fd.get(), index = records_.size() - 1] {
      FakeConnection connection(*this, fd, index);
      session_(connection);
      std::lock_guard lock(mutex_);
      connections_[index].reset();
    });
    connections_.push_back(std::move(fd));
  }
  std::lock_guard lock(mutex_);
  for (UniqueFd& fd : connections_) ::shutdown(fd.get(), SHUT_RDWR);  // ends the sessions' waits
}

int FakeServer::connectionCount() {
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  for (;; std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
    std::lock_guard lock(mutex_);
    tcp_info info{};  // for a listener, tcpi_unacked counts the connections awaiting accept
    socklen_t size = sizeof info;
    ::getsockopt(listen_.get(), IPPROTO_TCP, TCP_INFO, &info, &size);
    if (info.tcpi_unacked == 0 || Clock::now() >= deadline)
      return static_cast<int>(records_.size());
  }
}

std::vector<std::string> FakeServer::received() const {
  std::lock_guard lock(mutex_);
  return records_;
}

Session answerWith(std::string reply) {
  return answerWith([reply = std::move(reply)](const std::string&) { return reply; });
}

Session answerWith(std::function<std::string(const std::string& request)> reply) {
  return [reply = std::move(reply)](FakeConnection& connection) {
    connection.send(reply(connection.readUntil("\r\n\r\n")));
  };
}

Session answerAfter(double seconds, std::string reply) {
  return answerWith([=](const std::string&) {
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    return reply;
  });
}

std::string httpReplyText(const std::string& status, const std::string& body) {
  return "HTTP/1.0 " + status +
         "\r\nContent-Type: text/html\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\n\r\n" + body;
}

}  // namespace vy::test
