// The TLS client sessions of the HTTP client; see tls.h.
#include "net/tls.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>

#include <chrono>
#include <ctime>
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

// The length of the UTF-8 sequence at text[at] (shortest form, no
// surrogates, up to U+10FFFF), or 0 when it is none.
size_t utf8SequenceAt(const std::string& text, size_t at) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  if (lead < 0x80) return 1;
  size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() - at < length || byte(at + 1) < low || byte(at + 1) > high) return 0;
  for (size_t i = 2; i < length; ++i) {
    if (byte(at + i) < 0x80 || byte(at + i) > 0xBF) return 0;
  }
  return length;
}

// A distinguished name on one line: RFC 2253 order and escaping, but with
// the name's characters as UTF-8 rather than escaped bytes.
std::string nameText(const X509_NAME* name) {
  struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
  };
  std::unique_ptr<BIO, BioFree> out(BIO_new(BIO_s_mem()));
  if (!out) return {};
  constexpr unsigned long kFlags = XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB;
  if (X509_NAME_print_ex(out.get(), name, 0, kFlags) < 0) return {};
  char* bytes = nullptr;
  const long size = BIO_get_mem_data(out.get(), &bytes);
  return safeCertificateName(size > 0 ? std::string(bytes, static_cast<size_t>(size))
                                      : std::string());
}

std::optional<int64_t> secondsSince1970(const ASN1_TIME* time) {
  std::tm parts{};
  if (!time || ASN1_TIME_to_tm(time, &parts) != 1) return std::nullopt;
  return static_cast<int64_t>(::timegm(&parts));
}

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

std::string safeCertificateName(const std::string& raw) {
  std::string safe;
  for (size_t at = 0; at < raw.size();) {
    const size_t length = utf8SequenceAt(raw, at);
    const unsigned char c = static_cast<unsigned char>(raw[at]);
    const bool replaced = length == 0 || (length == 1 && (c < 0x20 || c == 0x7F));
    const size_t kept = replaced ? 1 : length;
    if (safe.size() + kept > kMaxCertificateNameLength) break;
    if (replaced) {
      safe += '?';
    } else {
      safe.append(raw, at, length);
    }
    at += kept;
  }
  return safe;
}

std::optional<CertificateInfo> TlsSession::earliestCertificate() const {
  if (!state_ || !state_->ssl || !SSL_is_init_finished(state_->ssl.get()) ||
      SSL_get_verify_result(state_->ssl.get()) != X509_V_OK) {
    return std::nullopt;
  }
  STACK_OF(X509)* chain = SSL_get0_verified_chain(state_->ssl.get());
  const int size = chain ? sk_X509_num(chain) : 0;
  const int counted = size > 1 ? size - 1 : size;  // without the trust anchor
  X509* earliest = nullptr;
  int64_t earliestTime = 0;
  for (int i = 0; i < counted; ++i) {
    X509* cert = sk_X509_value(chain, i);
    const std::optional<int64_t> notAfter = secondsSince1970(X509_get0_notAfter(cert));
    if (!notAfter) continue;
    if (!earliest || *notAfter < earliestTime) {
      earliest = cert;
      earliestTime = *notAfter;
    }
  }
  if (!earliest) return std::nullopt;
  return CertificateInfo{earliestTime, nameText(X509_get_issuer_name(earliest)),
                         nameText(X509_get_subject_name(earliest))};
}

}  // namespace vy
