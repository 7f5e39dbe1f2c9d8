// The benchmark's loopback sites over TLS and their certificate; see
// tls_site_server.h.
#include "bench/tls_site_server.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <unistd.h>

#include <memory>

namespace vy::bench {
namespace {

using Io = SiteSession::Io;

// An OpenSSL object owned and freed by its own free function.
template <typename T, auto freeObject>
struct Freed {
  struct Deleter {
    void operator()(T* object) const { freeObject(object); }
  };
  using Ptr = std::unique_ptr<T, Deleter>;
};

using Key = Freed<EVP_PKEY, EVP_PKEY_free>::Ptr;
using Certificate = Freed<X509, X509_free>::Ptr;
using Extension = Freed<X509_EXTENSION, X509_EXTENSION_free>::Ptr;
using Bio = Freed<BIO, BIO_free>::Ptr;
using Context = Freed<SSL_CTX, SSL_CTX_free>::Ptr;
using Session = Freed<SSL, SSL_free>::Ptr;

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
  Extension alternativeNames(
      X509V3_EXT_conf_nid(nullptr, &extensionContext, NID_subject_alt_name, names.c_str()));
  if (!alternativeNames || X509_add_ext(x, alternativeNames.get(), -1) != 1 ||
      X509_sign(x, key, EVP_sha256()) <= 0) {
    return nullptr;
  }
  return certificate;
}

// Writes the certificate as PEM to path (replacing it); false on failure.
bool writePem(X509* certificate, const std::string& path) {
  Bio memory(BIO_new(BIO_s_mem()));
  if (!memory || PEM_write_bio_X509(memory.get(), certificate) != 1) return false;
  char* data = nullptr;
  long size = BIO_get_mem_data(memory.get(), &data);
  UniqueFd file = openFd(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  return file && size > 0 && ::write(file.get(), data, static_cast<size_t>(size)) == size;
}

// The server context for every site: TLS 1.2 or newer with the key and its
// certificate; null when it cannot be made.
Context makeServerContext(const std::vector<std::string>& addresses,
                          const std::string& certificatePath) {
  Key key(EVP_EC_gen("P-256"));
  if (!key) return nullptr;
  Certificate certificate = makeCertificate(addresses, key.get());
  if (!certificate || !writePem(certificate.get(), certificatePath)) return nullptr;
  Context context(SSL_CTX_new(TLS_server_method()));
  if (!context) return nullptr;
  SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION);
  SSL_CTX_set_mode(context.get(), SSL_MODE_ENABLE_PARTIAL_WRITE);
  if (SSL_CTX_use_certificate(context.get(), certificate.get()) != 1 ||
      SSL_CTX_use_PrivateKey(context.get(), key.get()) != 1 ||
      SSL_CTX_check_private_key(context.get()) != 1) {
    return nullptr;
  }
  return context;
}

// A non-blocking server-side TLS session on an accepted socket.
class TlsSession : public SiteSession {
 public:
  explicit TlsSession(Session ssl) : ssl_(std::move(ssl)) {}

  Io start() override {
    ERR_clear_error();
    return ioOf(SSL_do_handshake(ssl_.get()));
  }

  Io read(char* buffer, size_t size, size_t& received) override {
    ERR_clear_error();
    return ioOf(SSL_read_ex(ssl_.get(), buffer, size, &received));
  }

  Io write(const char* data, size_t size, size_t& written) override {
    ERR_clear_error();
    return ioOf(SSL_write_ex(ssl_.get(), data, size, &written));
  }

  // Sends the closing message; the client's own is not awaited.
  void finish() override { (void)SSL_shutdown(ssl_.get()); }

 private:
  Io ioOf(int result) const {
    if (result == 1) return Io::kDone;
    switch (SSL_get_error(ssl_.get(), result)) {
      case SSL_ERROR_WANT_READ:
        return Io::kWantRead;
      case SSL_ERROR_WANT_WRITE:
        return Io::kWantWrite;
      default:
        ERR_clear_error();
        return Io::kClose;
    }
  }

  Session ssl_;
};

// TLS sessions under one new context, which the maker keeps; empty when the
// context or its certificate cannot be made.
SessionMaker tlsSessions(const std::vector<std::string>& addresses,
                         const std::string& certificatePath) {
  std::shared_ptr<SSL_CTX> context = makeServerContext(addresses, certificatePath);
  if (!context) return nullptr;
  return [context](int fd) -> std::unique_ptr<SiteSession> {
    Session ssl(SSL_new(context.get()));
    if (!ssl || SSL_set_fd(ssl.get(), fd) != 1) return nullptr;
    SSL_set_accept_state(ssl.get());
    return std::make_unique<TlsSession>(std::move(ssl));
  };
}

}  // namespace

TlsSiteServer::TlsSiteServer(const std::vector<std::string>& addresses,
                             std::chrono::microseconds delay, const std::string& certificatePath)
    : SiteServer(addresses, delay, 443, tlsSessions(addresses, certificatePath)) {}

}  // namespace vy::bench
