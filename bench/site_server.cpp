// The benchmark's loopback sites; see site_server.h.
#include "bench/site_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <time.h>

#include <cerrno>
#include <cstdlib>
#include <map>
#include <memory>
#include <queue>
#include <unordered_map>

namespace vy::bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kMaxRequestHead = 8192;
constexpr uint64_t kWakeTag = ~uint64_t{0};

// One accepted connection: first its request head, then its reply.
struct Connection {
  UniqueFd fd;
  std::string head;
  std::shared_ptr<const std::string> reply;
  size_t sent = 0;
  uint64_t serial = 0;  // tells a reused descriptor from the connection a reply was due to
};

// A reply due at `when` on connection `fd`.
struct DueReply {
  Clock::time_point when;
  int fd;
  uint64_t serial;
  bool operator>(const DueReply& other) const { return when > other.when; }
};

// The epoll loop's state; lives on the loop thread only.
class Loop {
 public:
  Loop(int epoll, std::chrono::microseconds delay, std::atomic<unsigned long>& answered)
      : epoll_(epoll), delay_(delay), answered_(answered) {}

  void acceptAll(int listener) {
    for (;;) {
      int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) return;
      Connection& connection = connections_[fd];
      connection.fd.reset(fd);
      connection.serial = ++serial_;
      watch(fd, EPOLLIN, EPOLL_CTL_ADD);
    }
  }

  void onReadable(int fd) {
    auto found = connections_.find(fd);
    if (found == connections_.end()) return;
    Connection& connection = found->second;
    char buffer[4096];
    for (;;) {
      long n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n > 0) {
        connection.head.append(buffer, static_cast<size_t>(n));
        if (connection.head.size() > kMaxRequestHead) return drop(fd);
        continue;
      }
      if (n == 0 || errno != EAGAIN) return drop(fd);
      break;
    }
    if (connection.head.find("\r\n\r\n") == std::string::npos) return;
    watch(fd, 0, EPOLL_CTL_MOD);
    connection.reply = replyOf(requestedBodySize(connection.head));
    due_.push({Clock::now() + delay_, fd, connection.serial});
  }

  void onWritable(int fd) {
    auto found = connections_.find(fd);
    if (found == connections_.end() || !found->second.reply) return;
    Connection& connection = found->second;
    const std::string& reply = *connection.reply;
    while (connection.sent < reply.size()) {
      long n =
          ::send(fd, reply.data() + connection.sent, reply.size() - connection.sent, MSG_NOSIGNAL);
      if (n < 0 && errno == EAGAIN) return watch(fd, EPOLLOUT, EPOLL_CTL_MOD);
      if (n <= 0) return drop(fd);
      connection.sent += static_cast<size_t>(n);
    }
    ++answered_;
    drop(fd);
  }

  // Sends the replies that are due; returns the wait until the next one.
  timespec sendDueReplies() {
    for (;;) {
      if (due_.empty()) return timespec{1, 0};
      Clock::duration wait = due_.top().when - Clock::now();
      if (wait > Clock::duration::zero()) {
        auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
        return timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
      }
      DueReply reply = due_.top();
      due_.pop();
      auto found = connections_.find(reply.fd);
      if (found != connections_.end() && found->second.serial == reply.serial) onWritable(reply.fd);
    }
  }

 private:
  void watch(int fd, uint32_t events, int op) {
    epoll_event event{};
    event.events = events;
    event.data.u64 = static_cast<uint64_t>(fd);
    ::epoll_ctl(epoll_, op, fd, &event);
  }

  void drop(int fd) { connections_.erase(fd); }

  std::shared_ptr<const std::string> replyOf(size_t bodySize) {
    auto& reply = replies_[bodySize];
    if (!reply) {
      reply = std::make_shared<const std::string>(replyText(bodySize));
    }
    return reply;
  }

  int epoll_;
  std::chrono::microseconds delay_;
  std::atomic<unsigned long>& answered_;
  std::unordered_map<int, Connection> connections_;
  uint64_t serial_ = 0;
  std::map<size_t, std::shared_ptr<const std::string>> replies_;
  std::priority_queue<DueReply, std::vector<DueReply>, std::greater<>> due_;
};

}  // namespace

std::string pageBody(size_t size) {
  static const std::string kFiller =
      "<div class=\"row\"><p>status of the service is fine: the quick brown fox jumps over the "
      "lazy dog, 12 requests, 0 errors</p><a href=\"/next\">next</a></div>\n";
  const std::string tail = std::string("</body></html>") + kPageEnd;
  std::string body = kPageStart;
  while (body.size() + tail.size() < size) body += kFiller;
  body.resize(size > tail.size() ? size - tail.size() : 0);
  body += tail;
  return body.substr(body.size() - size);
}

size_t requestedBodySize(const std::string& head) {
  // "GET /size/N..." -> N
  size_t at = head.find(" /size/");
  if (at == std::string::npos) return kDefaultBodySize;
  return std::strtoul(head.c_str() + at + 7, nullptr, 10);
}

std::string replyText(size_t bodySize) {
  return "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
         std::to_string(bodySize) + "\r\n\r\n" + pageBody(bodySize);
}

UniqueFd listenOn(const std::string& address, int port) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd) return fd;
  int on = 1;
  ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in where{};
  where.sin_family = AF_INET;
  where.sin_port = htons(static_cast<uint16_t>(port));
  if (::inet_pton(AF_INET, address.c_str(), &where.sin_addr) != 1 ||
      ::bind(fd.get(), reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 ||
      ::listen(fd.get(), 4096) != 0) {
    return UniqueFd();
  }
  return fd;
}

SiteServer::SiteServer(const std::vector<std::string>& addresses, std::chrono::microseconds delay)
    : delay_(delay),
      epoll_(::epoll_create1(EPOLL_CLOEXEC)),
      wake_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
  if (!epoll_ || !wake_) return;
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = kWakeTag;
  ::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, wake_.get(), &event);
  for (const std::string& address : addresses) {
    UniqueFd fd = listenOn(address, 80);
    if (!fd) return;
    // Listeners are tagged above every possible connection descriptor.
    event.data.u64 = (uint64_t{1} << 32) | listeners_.size();
    ::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd.get(), &event);
    listeners_.push_back(std::move(fd));
  }
  ok_ = true;
  thread_ = std::thread(&SiteServer::loop, this);
}

SiteServer::~SiteServer() {
  stopping_ = true;
  uint64_t one = 1;
  if (wake_) (void)!::write(wake_.get(), &one, sizeof one);
  if (thread_.joinable()) thread_.join();
}

void SiteServer::loop() {
  Loop state(epoll_.get(), delay_, answered_);
  epoll_event events[256];
  while (!stopping_) {
    timespec wait = state.sendDueReplies();
    int n = ::epoll_pwait2(epoll_.get(), events, 256, &wait, nullptr);
    for (int i = 0; i < n; ++i) {
      uint64_t tag = events[i].data.u64;
      if (tag == kWakeTag) return;
      if (tag >> 32) {
        state.acceptAll(listeners_[tag & 0xffffffff].get());
      } else if (events[i].events & EPOLLOUT) {
        state.onWritable(static_cast<int>(tag));
      } else {
        state.onReadable(static_cast<int>(tag));
      }
    }
  }
}

std::vector<std::string> siteAddresses(int block, int n) {
  std::vector<std::string> addresses;
  for (int i = 1; i <= n; ++i) {
    addresses.push_back("127." + std::to_string(block) + "." + std::to_string(1 + (i - 1) / 250) +
                        "." + std::to_string(1 + (i - 1) % 250));
  }
  return addresses;
}

}  // namespace vy::bench
