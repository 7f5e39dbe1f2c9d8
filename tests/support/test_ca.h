// A throwaway certificate authority for TLS tests: its CA certificate as a PEM file a client can
// trust, and leaf certificates with their keys for fake servers, valid, expired or self-signed,
// or of chosen lifetimes, signed directly or through an intermediate authority.
// Everything lives in a temporary directory the authority removes.
#ifndef VANTRY_TESTS_SUPPORT_TEST_CA_H_
#define VANTRY_TESTS_SUPPORT_TEST_CA_H_

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/child.h"

namespace vy::test {

// Frees an OpenSSL object with its free function: std::unique_ptr<X509, OpenSslFree<X509_free>>.
template <auto release>
struct OpenSslFree {
  template <typename T>
  void operator()(T* object) const {
    release(object);
  }
};

enum class CertKind {
  kValid,       // signed by the CA, valid from a day ago for 30 days
  kExpired,     // signed by the CA, valid from 30 days ago until a day ago
  kSelfSigned,  // its own issuer, unknown to a client that trusts the CA
};

// What a TLS server presents: PEM files of the leaf certificate (followed by the intermediate
// certificates of its chain, if any) and of its private key.
struct Credentials {
  std::string certFile;
  std::string keyFile;
};

class TestCa {
 public:
  TestCa();  // throws std::runtime_error when OpenSSL fails
  TestCa(const TestCa&) = delete;
  TestCa& operator=(const TestCa&) = delete;

  const std::string& caFile() const { return caFile_; }  // the CA certificate, PEM
  // A leaf for `name`, a DNS name or an IPv4/IPv6 address, in its subjectAltName and CN.
  Credentials issue(const std::string& name, CertKind kind);
  // issue(name, kind) as a function of the name, such as for a server's address.
  std::function<Credentials(const std::string& name)> issuing(CertKind kind) {
    return [this, kind](const std::string& name) { return issue(name, kind); };
  }
  // A leaf for `name` valid from a day ago until leafSeconds from now. With intermediateSeconds
  // it is signed by a fresh intermediate authority ("CN=Vantry Test Intermediate <n>", valid from
  // a day ago until intermediateSeconds from now, signed by the CA), which the certificate file
  // holds after the leaf; otherwise by the CA itself.
  Credentials issueExpiring(const std::string& name, long leafSeconds,
                            std::optional<long> intermediateSeconds = std::nullopt);
  std::function<Credentials(const std::string& name)> issuingExpiring(
      long leafSeconds, std::optional<long> intermediateSeconds = std::nullopt) {
    return [this, leafSeconds, intermediateSeconds](const std::string& name) {
      return issueExpiring(name, leafSeconds, intermediateSeconds);
    };
  }

 private:
  TempDir dir_;
  std::unique_ptr<EVP_PKEY, OpenSslFree<EVP_PKEY_free>> key_;
  std::unique_ptr<X509, OpenSslFree<X509_free>> cert_;
  std::string caFile_;
  int issued_ = 0;

  // Writes the leaf's key and its certificate, then the chain's others, into a new pair of files.
  Credentials writeCredentials(EVP_PKEY* key, const std::vector<X509*>& chain);
};

// The authority every TLS client of this test process trusts, made on first use: it points
// SSL_CERT_FILE at its certificate, which the client context reads once, at its first handshake.
TestCa& processTrustedCa();

}  // namespace vy::test

#endif  // VANTRY_TESTS_SUPPORT_TEST_CA_H_
