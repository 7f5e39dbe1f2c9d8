// TLS on a connected socket for the HTTP client: the handshake with the
// site's name (SNI) and a verified certificate chain, then receives and sends
// with the same time limits as the plain socket calls.
//
// One client context serves the whole process: TLS 1.2 or newer, the
// system's trust store (SSL_CERT_FILE and SSL_CERT_DIR replace it, as
// everywhere OpenSSL is used), peers verified, host names checked. It is made
// on first use and is safe to share between the check threads; every session
// belongs to one thread.
#ifndef VANTRY_NET_TLS_H_
#define VANTRY_NET_TLS_H_

#include <cstddef>
#include <memory>
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

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace vy

#endif  // VANTRY_NET_TLS_H_
