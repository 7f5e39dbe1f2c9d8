// TLS on a connected socket for the HTTP client: the handshake with the
// site's name (SNI) and a verified certificate chain, then receives and sends
// with the same time limits as the plain socket calls.
//
// One client context serves the whole process: TLS 1.2 or newer, the
// system's trust store (SSL_CERT_FILE and SSL_CERT_DIR replace it, as
// everywhere OpenSSL is used), peers verified, host names checked. It is made
// on first use and is safe to share between the check threads; every session
// belongs to one thread.
//
// After a verified handshake the session tells the certificate of the
// verified chain that expires first. The chain counted is the peer's leaf
// and the intermediates verification used; the trust anchor that ends it
// (the root from the local trust store) is left out, as its lifetime is the
// trust store's business, not the site's: unless the leaf itself is the
// anchor, a chain of one.
#ifndef VANTRY_NET_TLS_H_
#define VANTRY_NET_TLS_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "net/socket.h"

namespace vy {

// What failed in a handshake.
enum class TlsError : int {
  kOk = 0,
  kTimedOut,             // the handshake's time ran out
  kHandshakeFailed,      // no context or session, or the peer speaks no TLS
  kCertificateRejected,  // the peer's certificate is not valid for the host
};

// One certificate as the checks keep it: when it expires and who it names.
struct CertificateInfo {
  int64_t notAfter = 0;  // seconds since 1970, UTC
  // One-line distinguished names, most specific part first ("CN=a.test,O=Shop"),
  // as UTF-8; characters below 0x20, DEL and bytes that are no UTF-8 become
  // "?", so the texts are safe to store and show (after HTML escaping). At
  // most kMaxCertificateNameLength bytes, cut at a character's start.
  std::string issuer;
  std::string subject;
  bool operator==(const CertificateInfo&) const = default;
};
inline constexpr size_t kMaxCertificateNameLength = 255;

// A name text as CertificateInfo keeps it: controls and bytes that are no
// UTF-8 become "?", and it is cut to kMaxCertificateNameLength bytes without
// splitting a character.
std::string safeCertificateName(const std::string& raw);

class TlsSession {
 public:
  TlsSession();
  ~TlsSession();
  TlsSession(TlsSession&&) noexcept;
  TlsSession& operator=(TlsSession&&) noexcept;

  // Makes the handshake on the connected socket fd (which must outlive the
  // session) for `host`, a name or an address text, within `wait` in all.
  // kCertificateRejected covers an untrusted chain, another name and an
  // expired certificate.
  [[nodiscard]] TlsError start(int fd, const std::string& host, Milliseconds wait);

  // As recvTimeout. A peer that closes without the TLS closing message has
  // closed all the same.
  [[nodiscard]] Received receive(char* buffer, size_t size, Milliseconds wait);

  // Sends all of bytes, each wait at most `wait`; false when that failed.
  [[nodiscard]] bool send(const std::string& bytes, Milliseconds wait);

  // The certificate of the verified chain (leaf and intermediates, see
  // above) with the earliest notAfter, the one nearest the leaf on a tie;
  // none before a successful start.
  std::optional<CertificateInfo> earliestCertificate() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace vy

#endif  // VANTRY_NET_TLS_H_
