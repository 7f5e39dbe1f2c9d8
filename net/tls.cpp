// The TLS client sessions of the HTTP client; see tls.h.
#include "net/tls.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>

#include <chrono>
#include <utility>

namespace vy {
namespace {

using Clock = std::chrono::steady_clock;

struct ContextDeleter {
  void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
};

// The process's client context, made once; null when it cannot be made.
SSL_CTX* clientContext() {
  static const std::unique_ptr<SSL_CTX, ContextDeleter> context = [] {
    std::unique_ptr<SSL_CTX, ContextDeleter> made(SSL_CTX_new(TLS_client_method()));
    if (!made) return made;
    SSL_CTX_set_min_proto_version(made.get(), TLS1_2_VERSION);
    SSL_CTX_set_verify(made.get(), SSL_VERIFY_PEER, nullptr);
    // Many sites end an HTTP/1.0 reply by closing the connection without
    // the TLS closing message; the reply is complete all the same.
    SSL_CTX_set_options(made.get(), SSL_OP_IGNORE_UNEXPECTED_EOF);
    if (SSL_CTX_set_default_verify_paths(made.get()) != 1) made.reset();
    return made;
  }();
  return context.get();
}

// What an OpenSSL call that did not complete asks for: a wait for the socket
// to become readable (POLLIN) or writable (POLLOUT), or 0 when it failed.
short wantedEvents(SSL* ssl, int result) {
  switch (SSL_get_error(ssl, result)) {
    case SSL_ERROR_WANT_READ:
      return POLLIN;
    case SSL_ERROR_WANT_WRITE:
      return POLLOUT;
    default:
      return 0;
  }
}

Milliseconds leftUntil(Clock::time_point deadline) {
  return std::max(Milliseconds(0),
                  std::chrono::duration_cast<Milliseconds>(deadline - Clock::now()));
}

bool isAddressText(const std::string& host) { return parseIpAddress(host).has_value(); }

}  // namespace

struct TlsSession::State {
  struct Free {
    void operator()(SSL* ssl) const { SSL_free(ssl); }
  };
  std::unique_ptr<SSL, Free> ssl;
  int fd = -1;
};

TlsSession::TlsSession() = default;
TlsSession::~TlsSession() = default;
TlsSession::TlsSession(TlsSession&&) noexcept = default;
TlsSession& TlsSession::operator=(TlsSession&&) noexcept = default;

TlsError TlsSession::start(int fd, const std::string& host, Milliseconds wait) {
  SSL_CTX* context = clientContext();
  if (!context) return TlsError::kHandshakeFailed;
  state_ = std::make_unique<State>();
  state_->fd = fd;
  state_->ssl.reset(SSL_new(context));
  SSL* ssl = state_->ssl.get();
  if (!ssl || SSL_set_fd(ssl, fd) != 1) return TlsError::kHandshakeFailed;
  // An address is checked against the certificate's addresses and is never
  // sent as a server name.
  if (isAddressText(host)) {
    if (X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host.c_str()) != 1) {
      return TlsError::kCertificateRejected;
    }
  } else if (SSL_set_tlsext_host_name(ssl, host.c_str()) != 1 ||
             SSL_set1_host(ssl, host.c_str()) != 1) {
    return TlsError::kHandshakeFailed;
  }
  setSocketBlocking(fd, false);
  const Clock::time_point deadline = Clock::now() + wait;
  for (;;) {
    ERR_clear_error();
    const int result = SSL_connect(ssl);
    if (result == 1) return TlsError::kOk;
    const short events = wantedEvents(ssl, result);
    if (events == 0) {
      ERR_clear_error();
      return SSL_get_verify_result(ssl) == X509_V_OK ? TlsError::kHandshakeFailed
                                                     : TlsError::kCertificateRejected;
    }
    const WaitResult ready = waitForEvents(fd, events, leftUntil(deadline));
    if (ready == WaitResult::kTimedOut) return TlsError::kTimedOut;
    if (ready == WaitResult::kFailed) return TlsError::kHandshakeFailed;
  }
}

Received TlsSession::receive(char* buffer, size_t size, Milliseconds wait) {
  if (!state_ || !state_->ssl) return {Received::Kind::kFailed};
  SSL* ssl = state_->ssl.get();
  const Clock::time_point deadline = Clock::now() + wait;
  for (;;) {
    ERR_clear_error();
    size_t received = 0;
    if (SSL_read_ex(ssl, buffer, size, &received) == 1) {
      return received > 0 ? Received{Received::Kind::kBytes, received}
                          : Received{Received::Kind::kClosed};
    }
    if (SSL_get_error(ssl, 0) == SSL_ERROR_ZERO_RETURN) return {Received::Kind::kClosed};
    const short events = wantedEvents(ssl, 0);
    if (events == 0) {
      ERR_clear_error();
      return {Received::Kind::kFailed};
    }
    const WaitResult ready = waitForEvents(state_->fd, events, leftUntil(deadline));
    if (ready == WaitResult::kTimedOut) return {Received::Kind::kTimedOut};
    if (ready == WaitResult::kFailed) return {Received::Kind::kFailed};
  }
}

bool TlsSession::send(const std::string& bytes, Milliseconds wait) {
  if (!state_ || !state_->ssl) return false;
  SSL* ssl = state_->ssl.get();
  size_t sent = 0;
  while (sent < bytes.size()) {
    ERR_clear_error();
    size_t written = 0;
    if (SSL_write_ex(ssl, bytes.data() + sent, bytes.size() - sent, &written) == 1) {
      sent += written;
      continue;
    }
    const short events = wantedEvents(ssl, 0);
    if (events == 0 || waitForEvents(state_->fd, events, wait) != WaitResult::kReady) {
      ERR_clear_error();
      return false;
    }
  }
  return true;
}

}  // namespace vy
