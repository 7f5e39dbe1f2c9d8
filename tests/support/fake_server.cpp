// Loopback fake servers for network tests; see fake_server.h.
#include "tests/support/fake_server.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <optional>
#include <random>
#include <stdexcept>

#include "common/files.h"

namespace vy::test {

using Clock = std::chrono::steady_clock;

// Milliseconds for poll until the deadline; -1 (no limit) without one.
static int msLeft(std::optional<Clock::time_point> deadline) {
  if (!deadline) return -1;
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now());
  return static_cast<int>(std::max<long long>(left.count(), 0));
}

static UniqueFd bindTo(const sockaddr* local, socklen_t size, bool listen) {
  UniqueFd fd(
      ::socket(local->sa_family, SOCK_STREAM | SOCK_CLOEXEC | (listen ? SOCK_NONBLOCK : 0), 0));
  int on = 1;
  if (listen) ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  bool bound = ::bind(fd.get(), local, size) == 0;
  return bound && (!listen || ::listen(fd.get(), 128) == 0) ? std::move(fd) : UniqueFd();
}

// Binds `port` of a free 127.0.0.x (or of the one address holds) or a free port of ::1, setting
// address and port to what it took; a listener takes SO_REUSEADDR, lest TIME_WAIT block it.
static UniqueFd bindLoopback(bool ipv6, std::string& address, uint16_t& port, bool listen) {
  UniqueFd fd;
  const bool given = !ipv6 && !address.empty();
  if (given) {
    sockaddr_in local{AF_INET, htons(port), {}, {}};
    if (::inet_pton(AF_INET, address.c_str(), &local.sin_addr) == 1)
      fd = bindTo(reinterpret_cast<sockaddr*>(&local), sizeof local, listen);
  } else if (ipv6) {
    address = "::1";
    sockaddr_in6 local{};
    local.sin6_family = AF_INET6;
    local.sin6_addr = in6addr_loopback;
    fd = bindTo(reinterpret_cast<sockaddr*>(&local), sizeof local, listen);
  }
  const int start = static_cast<int>(std::random_device{}() % 253);
  for (int i = 0; i < 253 && !ipv6 && !given && !fd; ++i) {
    address = "127.0.0." + std::to_string(2 + (start + i) % 253);
    sockaddr_in local{AF_INET, htons(port), {}, {}};
    ::inet_pton(AF_INET, address.c_str(), &local.sin_addr);
    fd = bindTo(reinterpret_cast<sockaddr*>(&local), sizeof local, listen);
  }
  sockaddr_in6 bound{};  // sin6_port lies where sin_port does
  socklen_t size = sizeof bound;
  if (fd && ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&bound), &size) == 0)
    port = ntohs(bound.sin6_port);
  return fd;
}

// After an OpenSSL call on a non-blocking socket returned rc: waits for the socket to be ready as
// the call asks and says whether to retry it; false when the connection failed or time is up.
static bool readyToRetry(SSL* ssl, int fd, int rc, std::optional<Clock::time_point> deadline) {
  const int error = SSL_get_error(ssl, rc);
  ERR_clear_error();
  if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) return false;
  pollfd watch{fd, static_cast<short>(error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT), 0};
  return ::poll(&watch, 1, msLeft(deadline)) > 0;
}

static std::unique_ptr<SSL_CTX, OpenSslFree<SSL_CTX_free>> serverContext(
    const Credentials& credentials) {
  std::unique_ptr<SSL_CTX, OpenSslFree<SSL_CTX_free>> context(SSL_CTX_new(TLS_server_method()));
  // Read through readWholeFile, whose descriptors are close-on-exec, unlike OpenSSL's own.
  const std::string cert = readWholeFile(credentials.certFile);
  const std::string key = readWholeFile(credentials.keyFile);
  std::unique_ptr<BIO, OpenSslFree<BIO_free>> certPem(BIO_new_mem_buf(cert.data(), -1)),
      keyPem(BIO_new_mem_buf(key.data(), -1));
  std::unique_ptr<X509, OpenSslFree<X509_free>> leaf(
      PEM_read_bio_X509(certPem.get(), nullptr, nullptr, nullptr));
  std::unique_ptr<EVP_PKEY, OpenSslFree<EVP_PKEY_free>> privateKey(
      PEM_read_bio_PrivateKey(keyPem.get(), nullptr, nullptr, nullptr));
  if (!context || !leaf || !privateKey ||
      !SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION) ||
      SSL_CTX_use_certificate(context.get(), leaf.get()) != 1 ||
      SSL_CTX_use_PrivateKey(context.get(), privateKey.get()) != 1) {
    ERR_clear_error();
    throw std::runtime_error("fake server: unusable credentials " + credentials.certFile);
  }
  // The certificates behind the leaf are its chain, sent with it.
  while (X509* next = PEM_read_bio_X509(certPem.get(), nullptr, nullptr, nullptr)) {
    if (SSL_CTX_add0_chain_cert(context.get(), next) != 1) {
      X509_free(next);
      throw std::runtime_error("fake server: unusable chain " + credentials.certFile);
    }
  }
  ERR_clear_error();  // the end of the PEM text
  return context;
}

FakeConnection::~FakeConnection() {
  if (ssl_ && !resets_) SSL_shutdown(ssl_);  // sends close_notify, without waiting for the peer's
  ERR_clear_error();
}

static Clock::time_point deadlineIn(double seconds) {
  return Clock::now() +
         std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// What arrives is both unread and recorded.
long FakeConnection::receive(char* buffer, size_t size, Clock::time_point deadline) {
  long got = -1;
  if (!ssl_) {
    pollfd watch{fd_, POLLIN, 0};
    if (::poll(&watch, 1, msLeft(deadline)) > 0) got = ::recv(fd_, buffer, size, 0);
  } else {
    do got = SSL_read(ssl_, buffer, static_cast<int>(size));
    while (got <= 0 && readyToRetry(ssl_, fd_, static_cast<int>(got), deadline));
  }
  if (got > 0) {
    unread_.append(buffer, static_cast<size_t>(got));
    std::lock_guard lock(server_.mutex_);
    server_.records_[index_].append(buffer, static_cast<size_t>(got));
  }
  return got;
}

// An empty delimiter is never found.
std::string FakeConnection::readUntil(std::string_view delimiter, double seconds) {
  const Clock::time_point deadline = deadlineIn(seconds);
  size_t found = 0;
  char chunk[4096];
  while (delimiter.empty() || (found = unread_.find(delimiter)) == std::string::npos) {
    // the time is up or the peer closed
    if (receive(chunk, sizeof chunk, deadline) <= 0) return std::exchange(unread_, {});
  }
  std::string head = unread_.substr(0, found + delimiter.size());
  unread_.erase(0, head.size());
  return head;
}

std::string FakeConnection::readCount(size_t count, double seconds) {
  const Clock::time_point deadline = deadlineIn(seconds);
  char chunk[4096];
  while (unread_.size() < count) {
    if (receive(chunk, sizeof chunk, deadline) <= 0) return std::exchange(unread_, {});
  }
  std::string bytes = unread_.substr(0, count);
  unread_.erase(0, count);
  return bytes;
}

bool FakeConnection::send(std::string_view bytes) {
  while (!bytes.empty()) {
    const int chunk = static_cast<int>(std::min<size_t>(bytes.size(), 1 << 20));
    const long sent = ssl_ ? SSL_write(ssl_, bytes.data(), chunk)
                           : ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent > 0) {
      bytes.remove_prefix(static_cast<size_t>(sent));
    } else if (!ssl_ || !readyToRetry(ssl_, fd_, static_cast<int>(sent), std::nullopt)) {
      return false;  // stopping the server wakes the wait with an error
    }
  }
  return true;
}

void FakeConnection::resetOnClose() {
  linger abort{1, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  resets_ = true;
}

FakeServer::FakeServer(Session session, const ServerOptions& options)
    : session_(std::move(session)),
      address_(options.address),
      port_(options.port),
      ipv6_(options.ipv6) {
  listen_ = bindLoopback(ipv6_, address_, port_, session_ != nullptr);
  if (listen_ && options.tls) tls_ = serverContext(options.tls(address_));
  if (listen_ && session_) acceptThread_ = std::thread([this] { acceptLoop(); });
}

std::string FakeServer::url(const std::string& path) const {
  std::string url = (tls_ ? "https://" : "http://") + (ipv6_ ? "[" + address_ + "]" : address_);
  if (port_ != (tls_ ? 443 : 80)) url += ":" + std::to_string(port_);
  return url + path;
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
    UniqueFd fd(
        ::accept4(listen_.get(), nullptr, nullptr, SOCK_CLOEXEC | (tls_ ? SOCK_NONBLOCK : 0)));
    if (!fd) continue;
    records_.emplace_back();
    sessions_.emplace_back(
        [this, fd = fd.get(), index = records_.size() - 1] { serve(fd, index); });
    connections_.push_back(std::move(fd));
  }
  std::lock_guard lock(mutex_);
  for (UniqueFd& fd : connections_) ::shutdown(fd.get(), SHUT_RDWR);  // ends the sessions' waits
}

void FakeServer::serve(int fd, size_t index) {
  // OpenSSL writes with write(2), which raises SIGPIPE once the peer is gone. Blocked on this
  // thread alone (the signal goes to the writing thread), it dies pending with the thread.
  sigset_t pipe;
  ::sigemptyset(&pipe);
  ::sigaddset(&pipe, SIGPIPE);
  ::pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
  std::unique_ptr<SSL, OpenSslFree<SSL_free>> ssl(tls_ ? SSL_new(tls_.get()) : nullptr);
  bool ready = !tls_ || (ssl && SSL_set_fd(ssl.get(), fd) == 1);
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  for (int rc = 0; ready && ssl && (rc = SSL_accept(ssl.get())) != 1;)
    ready = readyToRetry(ssl.get(), fd, rc, deadline);
  if (ready) {
    FakeConnection connection(*this, fd, index, ssl.get());
    session_(connection);
  }
  ssl.reset();
  std::lock_guard lock(mutex_);
  connections_[index].reset();
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

Session answerPostWith(std::function<std::string(const std::string& request)> reply) {
  return [reply = std::move(reply)](FakeConnection& connection) {
    std::string request = connection.readUntil("\r\n\r\n");
    std::string head = request;
    for (char& c : head) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const size_t field = head.find("\r\ncontent-length:");
    if (field != std::string::npos) {
      request += connection.readCount(std::strtoul(head.c_str() + field + 17, nullptr, 10));
    }
    connection.send(reply(request));
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
