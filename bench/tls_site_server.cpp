// The benchmark's loopback sites over TLS and their certificate; see
// tls_site_server.h.
#include "bench/tls_site_server.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <pthread.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <time.h>

#include <map>
#include <queue>
#include <unordered_map>

#include "bench/site_server.h"

namespace vy::bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kMaxRequestHead = 8192;
constexpr uint64_t kWakeTag = ~uint64_t{0};

struct KeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct CertificateFree {
  void operator()(X509* certificate) const { X509_free(certificate); }
};
struct ExtensionFree {
  void operator()(X509_EXTENSION* extension) const { X509_EXTENSION_free(extension); }
};
struct BioFree {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
struct SessionFree {
  void operator()(SSL* ssl) const { SSL_free(ssl); }
};

using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Certificate = std::unique_ptr<X509, CertificateFree>;

// A self-signed certificate for `key` naming every address in its
// subjectAltName, valid from an hour ago for a day. It has no CA flag: the
// worker trusts it as it is, the leaf being its own anchor.
Certificate makeCertificate(const std::vector<std::string>& addresses, EVP_PKEY* key) {
  Certificate certificate(X509_new());
  if (!certificate) return nullptr;
  X509* x = certificate.get();
  std::string names;
  for (const std::string& address : addresses) names += (names.empty() ? "IP:" : ",IP:") + address;
  X509_NAME* subject = X509_get_subject_name(x);
  X509V3_CTX extensionContext;
  X509V3_set_ctx_nodb(&extensionContext);
  X509V3_set_ctx(&extensionContext, x, x, nullptr, nullptr, 0);
  if (X509_set_version(x, X509_VERSION_3) != 1 ||
      ASN1_INTEGER_set_uint64(X509_get_serialNumber(x), 1) != 1 ||
      !X509_gmtime_adj(X509_getm_notBefore(x), -3600) ||
      !X509_gmtime_adj(X509_getm_notAfter(x), 86400) ||
      X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC,
                                 reinterpret_cast<const unsigned char*>("vybench sites"), -1, -1,
                                 0) != 1 ||
      X509_set_issuer_name(x, subject) != 1 || X509_set_pubkey(x, key) != 1) {
    return nullptr;
  }
  std::unique_ptr<X509_EXTENSION, ExtensionFree> alternativeNames(
      X509V3_EXT_conf_nid(nullptr, &extensionContext, NID_subject_alt_name, names.c_str()));
  if (!alternativeNames || X509_add_ext(x, alternativeNames.get(), -1) != 1 ||
      X509_sign(x, key, EVP_sha256()) <= 0) {
    return nullptr;
  }
  return certificate;
}

// Writes the certificate as PEM to path (replacing it); false on failure.
bool writePem(X509* certificate, const std::string& path) {
  std::unique_ptr<BIO, BioFree> memory(BIO_new(BIO_s_mem()));
  if (!memory || PEM_write_bio_X509(memory.get(), certificate) != 1) return false;
  char* data = nullptr;
  long size = BIO_get_mem_data(memory.get(), &data);
  UniqueFd file = openFd(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  return file && size > 0 && ::write(file.get(), data, static_cast<size_t>(size)) == size;
}

// The server context for every site: TLS 1.2 or newer with the key and its
// certificate; null when it cannot be made.
SSL_CTX* makeServerContext(const std::vector<std::string>& addresses,
                           const std::string& certificatePath) {
  Key key(EVP_EC_gen("P-256"));
  if (!key) return nullptr;
  Certificate certificate = makeCertificate(addresses, key.get());
  if (!certificate || !writePem(certificate.get(), certificatePath)) return nullptr;
  SSL_CTX* context = SSL_CTX_new(TLS_server_method());
  if (!context) return nullptr;
  SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
  SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE);
  if (SSL_CTX_use_certificate(context, certificate.get()) != 1 ||
      SSL_CTX_use_PrivateKey(context, key.get()) != 1 || SSL_CTX_check_private_key(context) != 1) {
    SSL_CTX_free(context);
    return nullptr;
  }
  return context;
}

// One accepted connection, from its handshake to the end of its reply.
struct Connection {
  enum class Stage { kHandshake, kRequest, kWaiting, kReply };
  UniqueFd fd;
  std::unique_ptr<SSL, SessionFree> tls;  // declared after fd: freed before the close
  Stage stage = Stage::kHandshake;
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
  Loop(int epoll, SSL_CTX* context, std::chrono::microseconds delay,
       std::atomic<unsigned long>& answered)
      : epoll_(epoll), context_(context), delay_(delay), answered_(answered) {}

  void acceptAll(int listener) {
    for (;;) {
      int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) return;
      Connection& connection = connections_[fd];
      connection.fd.reset(fd);
      connection.serial = ++serial_;
      connection.tls.reset(SSL_new(context_));
      if (!connection.tls || SSL_set_fd(connection.tls.get(), fd) != 1) {
        drop(fd);
        continue;
      }
      SSL_set_accept_state(connection.tls.get());
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
    SSL* ssl = connection.tls.get();
    for (;;) {
      ERR_clear_error();
      int result = 0;
      switch (connection.stage) {
        case Connection::Stage::kHandshake:
          result = SSL_do_handshake(ssl);
          if (result == 1) {
            connection.stage = Connection::Stage::kRequest;
            continue;
          }
          break;
        case Connection::Stage::kRequest: {
          char buffer[4096];
          size_t received = 0;
          result = SSL_read_ex(ssl, buffer, sizeof buffer, &received);
          if (result != 1) break;
          connection.head.append(buffer, received);
          if (connection.head.size() > kMaxRequestHead) return drop(fd);
          if (connection.head.find("\r\n\r\n") == std::string::npos) continue;
          connection.stage = Connection::Stage::kWaiting;
          connection.reply = replyOf(requestedBodySize(connection.head));
          watch(fd, 0, EPOLL_CTL_MOD);
          due_.push({Clock::now() + delay_, fd, connection.serial});
          return;
        }
        case Connection::Stage::kWaiting:
          return;
        case Connection::Stage::kReply: {
          const std::string& reply = *connection.reply;
          size_t written = 0;
          result = SSL_write_ex(ssl, reply.data() + connection.sent, reply.size() - connection.sent,
                                &written);
          if (result != 1) break;
          connection.sent += written;
          if (connection.sent < reply.size()) continue;
          ++answered_;
          // Sends the closing message; the client's own is not awaited.
          (void)SSL_shutdown(ssl);
          return drop(fd);
        }
      }
      switch (SSL_get_error(ssl, result)) {
        case SSL_ERROR_WANT_READ:
          return watch(fd, EPOLLIN, EPOLL_CTL_MOD);
        case SSL_ERROR_WANT_WRITE:
          return watch(fd, EPOLLOUT, EPOLL_CTL_MOD);
        default:
          ERR_clear_error();
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
  SSL_CTX* context_;
  std::chrono::microseconds delay_;
  std::atomic<unsigned long>& answered_;
  std::unordered_map<int, Connection> connections_;
  uint64_t serial_ = 0;
  std::map<size_t, std::shared_ptr<const std::string>> replies_;
  std::priority_queue<DueReply, std::vector<DueReply>, std::greater<>> due_;
};

}  // namespace

void TlsSiteServer::ContextFree::operator()(SSL_CTX* context) const { SSL_CTX_free(context); }

TlsSiteServer::TlsSiteServer(const std::vector<std::string>& addresses,
                             std::chrono::microseconds delay, const std::string& certificatePath)
    : delay_(delay),
      context_(makeServerContext(addresses, certificatePath)),
      epoll_(::epoll_create1(EPOLL_CLOEXEC)),
      wake_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
  if (!context_ || !epoll_ || !wake_) return;
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = kWakeTag;
  ::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, wake_.get(), &event);
  for (const std::string& address : addresses) {
    UniqueFd fd = listenOn(address, 443);
    if (!fd) return;
    // Listeners are tagged above every possible connection descriptor.
    event.data.u64 = (uint64_t{1} << 32) | listeners_.size();
    ::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd.get(), &event);
    listeners_.push_back(std::move(fd));
  }
  ok_ = true;
  thread_ = std::thread(&TlsSiteServer::loop, this);
}

TlsSiteServer::~TlsSiteServer() {
  uint64_t one = 1;
  if (wake_) (void)!::write(wake_.get(), &one, sizeof one);
  if (thread_.joinable()) thread_.join();
}

void TlsSiteServer::loop() {
  // OpenSSL writes with write(2), which raises SIGPIPE once a client is gone;
  // blocked on this thread, it stays pending here and the write fails.
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
  Loop state(epoll_.get(), context_.get(), delay_, answered_);
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

}  // namespace vy::bench
