// Key and certificate making for the throwaway test CA; see test_ca.h. Keys are P-256 EC, cheap
// enough to make a fresh one for every certificate.
#include "tests/support/test_ca.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <cstdlib>
#include <functional>
#include <random>
#include <stdexcept>
#include <utility>
#include <vector>

#include "common/fd.h"
#include "common/files.h"

namespace vy::test {
namespace {

using KeyPtr = std::unique_ptr<EVP_PKEY, OpenSslFree<EVP_PKEY_free>>;
using CertPtr = std::unique_ptr<X509, OpenSslFree<X509_free>>;
using BioPtr = std::unique_ptr<BIO, OpenSslFree<BIO_free_all>>;
using ExtensionPtr = std::unique_ptr<X509_EXTENSION, OpenSslFree<X509_EXTENSION_free>>;

constexpr long kDay = 24 * 60 * 60;

void check(bool ok, const std::string& what) {
  if (ok) return;
  char text[256] = "";
  ERR_error_string_n(ERR_get_error(), text, sizeof text);
  ERR_clear_error();
  throw std::runtime_error("test CA: " + what + ": " + text);
}

KeyPtr newKey() {
  KeyPtr key(EVP_EC_gen("P-256"));
  check(key != nullptr, "key generation");
  return key;
}

struct Extension {
  int nid;
  std::string value;  // in the syntax of OpenSSL's configuration files
};

// A certificate of `key` for CN=commonName, valid between the offsets `from` and `to` seconds from
// now, signed by issuer with issuerKey, or by itself when issuer is null.
CertPtr makeCert(EVP_PKEY* key, const std::string& commonName, long from, long to,
                 const std::vector<Extension>& extensions, X509* issuer = nullptr,
                 EVP_PKEY* issuerKey = nullptr) {
  CertPtr cert(X509_new());
  check(cert != nullptr, "X509_new");
  // Distinct serial numbers, as a client may tell certificates of one issuer apart by them.
  static std::mt19937_64 serials(std::random_device{}());
  X509_NAME* subject = X509_get_subject_name(cert.get());
  const auto* cn = reinterpret_cast<const unsigned char*>(commonName.c_str());
  check(X509_set_version(cert.get(), X509_VERSION_3) &&
            ASN1_INTEGER_set_uint64(X509_get_serialNumber(cert.get()), serials() >> 1) &&
            X509_gmtime_adj(X509_getm_notBefore(cert.get()), from) &&
            X509_gmtime_adj(X509_getm_notAfter(cert.get()), to) &&
            X509_set_pubkey(cert.get(), key) &&
            X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8, cn, -1, -1, 0) &&
            X509_set_issuer_name(cert.get(), X509_get_subject_name(issuer ? issuer : cert.get())),
        "certificate fields");
  X509V3_CTX context;
  X509V3_set_ctx(&context, issuer ? issuer : cert.get(), cert.get(), nullptr, nullptr, 0);
  for (const Extension& extension : extensions) {
    ExtensionPtr made(
        X509V3_EXT_conf_nid(nullptr, &context, extension.nid, extension.value.c_str()));
    check(made && X509_add_ext(cert.get(), made.get(), -1), "extension " + extension.value);
  }
  check(X509_sign(cert.get(), issuerKey ? issuerKey : key, EVP_sha256()) > 0, "signing");
  return cert;
}

void writePem(const std::string& path, const std::function<int(BIO*)>& write) {
  BioPtr pem(BIO_new(BIO_s_mem()));
  check(pem && write(pem.get()) > 0, "PEM of " + path);
  char* bytes = nullptr;
  const long size = BIO_get_mem_data(pem.get(), &bytes);
  UniqueFd out = openFd(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (!out || !writeFully(out.get(), bytes, static_cast<size_t>(size)))
    throw std::runtime_error("test CA: cannot write " + path);
}

bool isAddress(const std::string& name) {
  in6_addr scratch;
  return ::inet_pton(AF_INET, name.c_str(), &scratch) == 1 ||
         ::inet_pton(AF_INET6, name.c_str(), &scratch) == 1;
}

// The extensions of a server certificate for `name`, issued by an authority unless self-signed.
std::vector<Extension> leafExtensions(const std::string& name, bool bySelf) {
  std::vector<Extension> extensions = {
      {NID_basic_constraints, "critical,CA:FALSE"},
      {NID_key_usage, "critical,digitalSignature"},
      {NID_ext_key_usage, "serverAuth"},
      {NID_subject_alt_name, (isAddress(name) ? "IP:" : "DNS:") + name},
      {NID_subject_key_identifier, "hash"}};
  if (!bySelf) extensions.push_back({NID_authority_key_identifier, "keyid"});
  return extensions;
}

}  // namespace

TestCa::TestCa() : key_(newKey()), caFile_(dir_.file("ca.pem")) {
  cert_ = makeCert(key_.get(), "Vantry Test CA", -kDay, 3650 * kDay,
                   {{NID_basic_constraints, "critical,CA:TRUE"},
                    {NID_key_usage, "critical,keyCertSign,cRLSign"},
                    {NID_subject_key_identifier, "hash"}});
  writePem(caFile_, [this](BIO* out) { return PEM_write_bio_X509(out, cert_.get()); });
}

Credentials TestCa::issue(const std::string& name, CertKind kind) {
  const bool bySelf = kind == CertKind::kSelfSigned;
  const long from = kind == CertKind::kExpired ? -30 * kDay : -kDay;
  const long to = kind == CertKind::kExpired ? -kDay : 29 * kDay;
  KeyPtr key = newKey();
  CertPtr cert = makeCert(key.get(), name, from, to, leafExtensions(name, bySelf),
                          bySelf ? nullptr : cert_.get(), bySelf ? nullptr : key_.get());
  return writeCredentials(key.get(), {cert.get()});
}

Credentials TestCa::issueExpiring(const std::string& name, long leafSeconds,
                                  std::optional<long> intermediateSeconds) {
  KeyPtr key = newKey(), middleKey;
  CertPtr middle;
  if (intermediateSeconds) {
    middleKey = newKey();
    middle = makeCert(middleKey.get(), "Vantry Test Intermediate " + std::to_string(issued_ + 1),
                      -kDay, *intermediateSeconds,
                      {{NID_basic_constraints, "critical,CA:TRUE,pathlen:0"},
                       {NID_key_usage, "critical,keyCertSign,cRLSign"},
                       {NID_subject_key_identifier, "hash"},
                       {NID_authority_key_identifier, "keyid"}},
                      cert_.get(), key_.get());
  }
  CertPtr cert =
      makeCert(key.get(), name, -kDay, leafSeconds, leafExtensions(name, false),
               middle ? middle.get() : cert_.get(), middle ? middleKey.get() : key_.get());
  if (!middle) return writeCredentials(key.get(), {cert.get()});
  return writeCredentials(key.get(), {cert.get(), middle.get()});
}

Credentials TestCa::writeCredentials(EVP_PKEY* key, const std::vector<X509*>& chain) {
  const std::string base = dir_.file("leaf" + std::to_string(++issued_));
  Credentials made{base + ".pem", base + ".key"};
  writePem(made.certFile, [&](BIO* out) {
    for (X509* cert : chain) {
      if (PEM_write_bio_X509(out, cert) <= 0) return 0;
    }
    return 1;
  });
  writePem(made.keyFile, [&](BIO* out) {
    return PEM_write_bio_PrivateKey(out, key, nullptr, nullptr, 0, nullptr, nullptr);
  });
  return made;
}

TestCa& processTrustedCa() {
  static TestCa* ca = [] {
    auto* made = new TestCa();
    ::setenv("SSL_CERT_FILE", made->caFile().c_str(), 1);
    return made;
  }();
  return *ca;
}

}  // namespace vy::test
