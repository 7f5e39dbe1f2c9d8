// The benchmark's loopback sites; see site_server.h.
#include "bench/site_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <time.h>

#include <cerrno>
#include <cstdlib>
#include <map>
#include <queue>
#include <unordered_map>

namespace vy::bench {
namespace {

using Clock = std::chrono::steady_clock;
using Io = SiteSession::Io;

constexpr size_t kMaxRequestHead = 8192;
constexpr uint64_t kWakeTag = ~uint64_t{0};

// Bytes as they are on the socket.
class PlainSession : public SiteSession {
 public:
  explicit PlainSession(int fd) : fd_(fd) {}

  Io start() override { return Io::kDone; }

  Io read(char* buffer, size_t size, size_t& received) override {
    long n = ::recv(fd_, buffer, size, 0);
    if (n > 0) received = static_cast<size_t>(n);
    return n > 0 ? Io::kDone : ioOf(n, Io::kWantRead);
  }

  Io write(const char* data, size_t size, size_t& written) override {
    long n = ::send(fd_, data, size, MSG_NOSIGNAL);
    if (n > 0) written = static_cast<size_t>(n);
    return n > 0 ? Io::kDone : ioOf(n, Io::kWantWrite);
  }

 private:
  // What a call that moved no bytes (n <= 0) means.
  static Io ioOf(long n, Io wait) { return n < 0 && errno == EAGAIN ? wait : Io::kClose; }

  int fd_;
};

// One accepted connection, from its session's start to the end of its reply.
struct Connection {
  enum class Stage { kStart, kRequest, kWaiting, kReply };
  UniqueFd fd;
  std::unique_ptr<SiteSession> session;  // declared after fd: ended before the close
  Stage stage = Stage::kStart;
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
  Loop(int epoll, const SessionMaker& makeSession, std::chrono::microseconds delay,
       std::atomic<unsigned long>& answered)
      : epoll_(epoll), makeSession_(makeSession), delay_(delay), answered_(answered) {}

  void acceptAll(int listener) {
    for (;;) {
      int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) return;
      Connection& connection = connections_[fd];
      connection.fd.reset(fd);
      connection.serial = ++serial_;
      connection.session = makeSession_(fd);
      if (!connection.session) {
        drop(fd);
        continue;
      }
      watch(fd, EPOLLIN, EPOLL_CTL_ADD);
      advance(fd);
    }
  }

  // Takes the connection as far as its socket lets it go without waiting.
  void advance(int fd, uint32_t events = 0) {
    auto found = connections_.find(fd);
    if (found == connections_.end()) return;
    if (events & (EPOLLERR | EPOLLHUP)) return drop(fd);
    Connection& connection = found->second;
    while (connection.stage != Connection::Stage::kWaiting) {
      switch (step(fd, connection)) {
        case Io::kDone:
          break;
        case Io::kWantRead:
          return watch(fd, EPOLLIN, EPOLL_CTL_MOD);
        case Io::kWantWrite:
          return watch(fd, EPOLLOUT, EPOLL_CTL_MOD);
        case Io::kClose:
          return drop(fd);
      }
    }
  }

  // Starts the replies that are due; returns the wait until the next one.
  timespec sendDueReplies() {
    for (;;) {
      if (due_.empty()) return timespec{1, 0};
      Clock::duration wait = due_.top().when - Clock::now();
      if (wait > Clock::duration::zero()) {
        auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
        return timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
      }
      DueReply due = due_.top();
      due_.pop();
      auto found = connections_.find(due.fd);
      if (found == connections_.end() || found->second.serial != due.serial) continue;
      found->second.stage = Connection::Stage::kReply;
      advance(due.fd);
    }
  }

 private:
  // One move of a connection that is not waiting: kDone when it may go on.
  Io step(int fd, Connection& connection) {
    if (connection.stage == Connection::Stage::kStart) return start(connection);
    if (connection.stage == Connection::Stage::kRequest) return readRequest(fd, connection);
    return writeReply(connection);
  }

  static Io start(Connection& connection) {
    Io io = connection.session->start();
    if (io == Io::kDone) connection.stage = Connection::Stage::kRequest;
    return io;
  }

  // Reads on until the head is whole, then queues the reply for its time.
  Io readRequest(int fd, Connection& connection) {
    char buffer[4096];
    size_t received = 0;
    Io io = connection.session->read(buffer, sizeof buffer, received);
    if (io != Io::kDone) return io;
    connection.head.append(buffer, received);
    if (connection.head.size() > kMaxRequestHead) return Io::kClose;
    if (connection.head.find("\r\n\r\n") == std::string::npos) return Io::kDone;
    connection.stage = Connection::Stage::kWaiting;
    connection.reply = replyOf(requestedBodySize(connection.head));
    watch(fd, 0, EPOLL_CTL_MOD);
    due_.push({Clock::now() + delay_, fd, connection.serial});
    return Io::kDone;
  }

  // Writes on until the reply is whole, then closes with the session's end.
  Io writeReply(Connection& connection) {
    const std::string& reply = *connection.reply;
    size_t written = 0;
    Io io = connection.session->write(reply.data() + connection.sent,
                                      reply.size() - connection.sent, written);
    if (io != Io::kDone) return io;
    connection.sent += written;
    if (connection.sent < reply.size()) return Io::kDone;
    ++answered_;
    connection.session->finish();
    return Io::kClose;
  }

  void watch(int fd, uint32_t events, int op) {
    epoll_event event{};
    event.events = events;
    event.data.u64 = static_cast<uint64_t>(fd);
    ::epoll_ctl(epoll_, op, fd, &event);
  }

  void drop(int fd) { connections_.erase(fd); }

  std::shared_ptr<const std::string> replyOf(size_t bodySize) {
    auto& reply = replies_[bodySize];
    if (!reply) reply = std::make_shared<const std::string>(replyText(bodySize));
    return reply;
  }

  int epoll_;
  const SessionMaker& makeSession_;
  std::chrono::microseconds delay_;
  std::atomic<unsigned long>& answered_;
  std::unordered_map<int, Connection> connections_;
  uint64_t serial_ = 0;
  std::map<size_t, std::shared_ptr<const std::string>> replies_;
  std::priority_queue<DueReply, std::vector<DueReply>, std::greater<>> due_;
};

std::unique_ptr<SiteSession> plainSession(int fd) { return std::make_unique<PlainSession>(fd); }

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
    : SiteServer(addresses, delay, 80, plainSession) {}

SiteServer::SiteServer(const std::vector<std::string>& addresses, std::chrono::microseconds delay,
                       int port, SessionMaker makeSession)
    : delay_(delay),
      makeSession_(std::move(makeSession)),
      epoll_(::epoll_create1(EPOLL_CLOEXEC)),
      wake_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
  if (!makeSession_ || !epoll_ || !wake_) return;
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = kWakeTag;
  ::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, wake_.get(), &event);
  for (const std::string& address : addresses) {
    UniqueFd fd = listenOn(address, port);
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
  uint64_t one = 1;
  if (wake_) (void)!::write(wake_.get(), &one, sizeof one);
  if (thread_.joinable()) thread_.join();
}

void SiteServer::loop() {
  // A session may write with write(2) (OpenSSL does), which raises SIGPIPE
  // once a client is gone; blocked on this thread, it stays pending here and
  // the write fails.
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
  Loop state(epoll_.get(), makeSession_, delay_, answered_);
  epoll_event events[256];
  for (;;) {
    timespec wait = state.sendDueReplies();
    int n = ::epoll_pwait2(epoll_.get(), events, 256, &wait, nullptr);
    for (int i = 0; i < n; ++i) {
      uint64_t tag = events[i].data.u64;
      if (tag == kWakeTag) return;
      if (tag >> 32) {
        state.acceptAll(listeners_[tag & 0xffffffff].get());
      } else {
        state.advance(static_cast<int>(tag), events[i].events);
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
