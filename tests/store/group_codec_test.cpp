// The group file codec: the golden bytes of the header and of a URL status.
#include "store/group_codec.h"

#include <gtest/gtest.h>

#include "tests/store/store_fixture.h"

namespace vy {
namespace {

using namespace std::string_literals;
using test::bytesOf;

TEST(GroupHeaderCodec, EachFieldHasItsGoldenBytesAndDecodesBack) {
  test::expectGoldenFields<kGroupHeaderSize, GroupHeader>(
      {{[](GroupHeader& h) { h.checkInterval = -180; }, 0, bytesOf({0x4C, 0xFF, 0xFF, 0xFF})},
       {[](GroupHeader& h) { h.inform = "ops@example.org"; }, 4, "ops@example.org"s},
       {[](GroupHeader& h) { h.inform = std::string(300, 'i'); }, 4, std::string(249, 'i')},
       {[](GroupHeader& h) { h.options = 0x81; }, 254, bytesOf({0x81})},
       {[](GroupHeader& h) { h.moreOptions = 0x07; }, 255, bytesOf({0x07})},
       // only the three stored bits ever reach the file
       {[](GroupHeader& h) { h.moreOptions = 0xFF; }, 255, bytesOf({0x07})},
       {[](GroupHeader& h) { h.publicFlags = 0x03; }, 276, bytesOf({0x03})},
       // only the two public switches ever reach the file
       {[](GroupHeader& h) { h.publicFlags = 0xFF; }, 276, bytesOf({0x03})},
       {[](GroupHeader& h) { h.urlCount = 0x01020304; }, 256, bytesOf({4, 3, 2, 1})},
       {[](GroupHeader& h) { h.banCount = 2; }, 260, bytesOf({2})},
       {[](GroupHeader& h) { h.presCount = 3; }, 264, bytesOf({3})},
       {[](GroupHeader& h) { h.banBytes = 300; }, 268, bytesOf({0x2C, 1})},
       {[](GroupHeader& h) { h.presBytes = 70000; }, 272, bytesOf({0x70, 0x11, 1})}},
      encodeGroupHeader, decodeGroupHeader);
}

// Records written before the certificate state existed hold zeros there: not known, nothing told.
TEST(UrlStatusCodec, TheStatusHasItsGoldenBytesKeepsNoRunTimeFlagAndZerosReadAsNotKnown) {
  UrlStatus status;
  std::tie(status.lastCheck, status.resultCode, status.flags) = std::tuple(0x01020304, -3, 0xFF);
  std::tie(status.responseMs, status.banIndex, status.presIndex) = std::tuple(321, 1, 258);
  std::tie(status.certExpiry, status.certWarnedDays) = std::tuple(0xF4E3D2C1u, 0x0E07);
  const std::string golden =
      "\x04\x03\x02\x01\xfd\xff\x1f\0\x41\x01\0\0\1\0\x02\x01\xc1\xd2\xe3\xf4\x07\x0e"s;
  const std::string bytes = test::encodedBy<kUrlStatusSize>(encodeUrlStatus, status);
  EXPECT_EQ(bytes, golden + std::string(kUrlStatusSize - golden.size(), '\0'));
  const UrlStatus back = decodeUrlStatus(reinterpret_cast<const uint8_t*>(bytes.data()));
  EXPECT_EQ(std::tuple(back.lastCheck, back.resultCode, back.flags, back.responseMs, back.banIndex,
                       back.presIndex, back.certExpiry, back.certWarnedDays),
            std::tuple(0x01020304u, int16_t{-3}, uint8_t{0x1F}, 321u, int16_t{1}, int16_t{258},
                       0xF4E3D2C1u, uint16_t{14 * 256 + 7}));

  const std::string old(kUrlStatusSize, '\0');
  const UrlStatus unknown = decodeUrlStatus(reinterpret_cast<const uint8_t*>(old.data()));
  EXPECT_EQ(std::pair(unknown.certExpiry, unknown.certWarnedDays), std::pair(0u, uint16_t{0}));
}

// A known expiry is never 0 ("not known"), also for certificates that claim years beyond 2106.
TEST(UrlStatusCodec, AnExpiryIsStoredWithinThirtyTwoBitsAndNeverAsZero) {
  EXPECT_EQ(storedCertificateExpiry(1'900'000'000), 1'900'000'000u);
  EXPECT_EQ(storedCertificateExpiry(253'402'300'799), 0xFFFFFFFFu);  // 9999-12-31 23:59:59
  EXPECT_EQ(storedCertificateExpiry(0), 1u);
  EXPECT_EQ(storedCertificateExpiry(-5), 1u);
}

}  // namespace
}  // namespace vy
