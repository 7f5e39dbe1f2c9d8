// The certificate details file: its bytes, damaged files, and the store that writes only changes.
#include "store/certificates.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "common/files.h"
#include "store/history.h"
#include "tests/store/store_fixture.h"
#include "tests/support/printers.h"

namespace vy {
namespace {

using namespace std::string_literals;
using test::Texts;
using CertificatesTest = test::DataDirTest;

const std::string kShopCerts = "./vydata/vycert/shop.dat";
const char *const kSecureA = "https://a.test/", *const kSecureB = "https://b.test/";

const CertificateDetails kShopCert{1'900'000'000, "CN=Test CA", "CN=a.test"};
const CertificateDetails kRenewed{1'910'000'000, "CN=Test CA", "CN=a.test"};

// The details read back for each URL: "CN=a.test@1900000000" or "-".
std::vector<std::string> readBack(const Texts& urls) {
  std::vector<std::optional<CertificateDetails>> details;
  EXPECT_EQ(readCertificates("shop", urls, details), StoreCode::kOk);
  std::vector<std::string> texts;
  for (const auto& one : details) {
    texts.push_back(one ? one->subject + '@' + std::to_string(one->notAfter) : "-");
  }
  return texts;
}

ino_t inodeOf(const std::string& path) {
  struct stat status {};
  EXPECT_EQ(::stat(path.c_str(), &status), 0) << path;
  return status.st_ino;
}

TEST(CertificateFile, AnEntryHasItsGoldenBytesAndTheFileDecodesBack) {
  const KeyedCertificate entry{0x060504030201, {0x0102030405060708, "CN=I", "CN=sub"}};
  const std::string bytes = encodeCertificateFile({entry});
  EXPECT_EQ(bytes, "VYCE\1\0\0\0\1\0\0\0"s + "\1\2\3\4\5\6\x08\7\6\5\4\3\2\1\4\6" + "CN=ICN=sub");
  const auto decoded = decodeCertificateFile(bytes);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(*decoded, std::vector<KeyedCertificate>{entry});

  // Texts beyond 255 bytes are cut; entries come out in key order.
  const KeyedCertificate longNames{7, {-1, std::string(300, 'i'), std::string(256, 's')}};
  const auto both = decodeCertificateFile(encodeCertificateFile({entry, longNames}));
  ASSERT_TRUE(both);
  ASSERT_EQ(both->size(), 2u);
  EXPECT_EQ((*both)[0].key, 7u);
  EXPECT_EQ((*both)[0].details,
            (CertificateDetails{-1, std::string(255, 'i'), std::string(255, 's')}));
  EXPECT_EQ(decodeCertificateFile(""), std::vector<KeyedCertificate>{});
}

// Every cut of a file, a text length beyond the bytes, a count beyond them, bytes left over or
// another magic is damage, not a crash or a guess.
TEST(CertificateFile, CutOrInconsistentFilesAreDamaged) {
  const std::string bytes = encodeCertificateFile(
      {{1, {1, "CN=Test CA", "CN=a.test"}}, {2, {2, "CN=Test CA", "CN=b.test"}}});
  for (size_t size = 1; size < bytes.size(); ++size) {
    EXPECT_FALSE(decodeCertificateFile(bytes.substr(0, size))) << size;
  }
  std::string longText = bytes, manyEntries = bytes, otherMagic = bytes;
  longText[kCertHeaderSize + kCertEntrySubjectLengthOffset] = '\xff';
  manyEntries[kCertCountOffset] = '\x03';
  otherMagic[0] = 'X';
  for (const std::string& damaged : {longText, manyEntries, otherMagic, bytes + "x"s}) {
    EXPECT_FALSE(decodeCertificateFile(damaged));
  }
}

TEST_F(CertificatesTest, ReadersGetEachUrlsDetailsAndNothingFromAMissingOrDamagedFile) {
  EXPECT_EQ(readBack({kSecureA, kSecureB}), (std::vector<std::string>{"-", "-"}));
  const Texts urls = {kSecureA, kSecureB};
  ASSERT_EQ(storeCertificate("shop", urls, kSecureA, kShopCert).status, StoreCode::kOk);
  EXPECT_EQ(readBack({kSecureB, kSecureA, kSecureA}),
            (std::vector<std::string>{"-", "CN=a.test@1900000000", "CN=a.test@1900000000"}));

  const std::string whole = readWholeFile(kShopCerts);
  std::ofstream(kShopCerts, std::ios::binary | std::ios::trunc)
      << whole.substr(0, whole.size() - 3);
  std::vector<std::optional<CertificateDetails>> details;
  EXPECT_EQ(readCertificates("shop", urls, details), StoreCode::kDamaged);
  EXPECT_EQ(details, (std::vector<std::optional<CertificateDetails>>{std::nullopt, std::nullopt}));
  EXPECT_EQ(readCertificates("../shop", urls, details), StoreCode::kRefusedName);

  // The next store starts afresh and says it found damage.
  const CertificateWrite fresh = storeCertificate("shop", urls, kSecureB, kShopCert);
  EXPECT_EQ(fresh.status, StoreCode::kOk);
  EXPECT_EQ(fresh.damage, StoreCode::kDamaged);
  EXPECT_EQ(readBack({kSecureA, kSecureB}),
            (std::vector<std::string>{"-", "CN=a.test@1900000000"}));
}

// A check run normally finds the certificate it stored before: the file stays as it is.
TEST_F(CertificatesTest, OnlyAChangedCertificateReplacesTheFile) {
  const Texts urls = {kSecureA, kSecureB};
  EXPECT_TRUE(storeCertificate("shop", urls, kSecureA, kShopCert).written);
  const ino_t first = inodeOf(kShopCerts);
  const CertificateWrite same = storeCertificate("shop", urls, kSecureA, kShopCert);
  EXPECT_EQ(same.status, StoreCode::kOk);
  EXPECT_FALSE(same.written);
  EXPECT_EQ(inodeOf(kShopCerts), first);

  EXPECT_TRUE(storeCertificate("shop", urls, kSecureB, kShopCert).written);
  EXPECT_TRUE(storeCertificate("shop", urls, kSecureA, kRenewed).written);
  EXPECT_EQ(readBack({kSecureA, kSecureB}),
            (std::vector<std::string>{"CN=a.test@1910000000", "CN=a.test@1900000000"}));
  CertificateDetails otherIssuer = kRenewed;
  otherIssuer.issuer = "CN=Other CA";
  EXPECT_TRUE(storeCertificate("shop", urls, kSecureA, otherIssuer).written);
  std::vector<std::optional<CertificateDetails>> details;
  ASSERT_EQ(readCertificates("shop", Texts{kSecureA}, details), StoreCode::kOk);
  EXPECT_EQ(details[0], otherIssuer);
}

TEST_F(CertificatesTest, AUrlGoneFromTheGroupIsDroppedAtTheNextStore) {
  ASSERT_TRUE(storeCertificate("shop", Texts{kSecureA, kSecureB}, kSecureA, kShopCert).written);
  ASSERT_TRUE(storeCertificate("shop", Texts{kSecureA, kSecureB}, kSecureB, kShopCert).written);
  // Unchanged for kSecureB, but kSecureA has left the group.
  EXPECT_TRUE(storeCertificate("shop", Texts{kSecureB}, kSecureB, kShopCert).written);
  EXPECT_EQ(readBack({kSecureA, kSecureB}),
            (std::vector<std::string>{"-", "CN=a.test@1900000000"}));
  EXPECT_FALSE(storeCertificate("shop", Texts{kSecureB}, kSecureB, kShopCert).written);
}

TEST_F(CertificatesTest, RemovingTheGroupsDetailsDeletesTheFile) {
  EXPECT_EQ(removeCertificates("shop"), StoreCode::kOk);
  ASSERT_EQ(storeCertificate("shop", Texts{kSecureA}, kSecureA, kShopCert).status, StoreCode::kOk);
  EXPECT_EQ(removeCertificates("shop"), StoreCode::kOk);
  EXPECT_FALSE(std::filesystem::exists(kShopCerts));
  EXPECT_EQ(removeCertificates("../shop"), StoreCode::kRefusedName);
  EXPECT_EQ(storeCertificate("../shop", Texts{kSecureA}, kSecureA, kShopCert).status,
            StoreCode::kRefusedNameToStore);
}

}  // namespace
}  // namespace vy
