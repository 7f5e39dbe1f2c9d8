// The group file codec: the golden bytes of the header and of a URL status.
#include "store/group_codec.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <tuple>

#include "tests/support/printers.h"

namespace vy {
namespace {

using namespace std::string_literals;

std::string bytesOf(std::initializer_list<int> values) { return {values.begin(), values.end()}; }

std::string encoded(const GroupHeader& header) {
  uint8_t out[kGroupHeaderSize];
  encodeGroupHeader(header, out);
  return std::string(reinterpret_cast<char*>(out), sizeof out);
}

TEST(GroupHeaderCodec, EachFieldHasItsGoldenBytesAndDecodesBack) {
  const std::tuple<void (*)(GroupHeader&), size_t, std::string> fields[] = {
      {[](GroupHeader& h) { h.checkInterval = -180; }, 0, bytesOf({0x4C, 0xFF, 0xFF, 0xFF})},
      {[](GroupHeader& h) { h.inform = "ops@example.org"; }, 4, "ops@example.org"s},
      {[](GroupHeader& h) { h.inform = std::string(300, 'i'); }, 4, std::string(249, 'i')},
      {[](GroupHeader& h) { h.options = 0x81; }, 254, bytesOf({0x81})},
      {[](GroupHeader& h) { h.moreOptions = 0x07; }, 255, bytesOf({0x07})},
      {[](GroupHeader& h) { h.urlCount = 0x01020304; }, 256, bytesOf({4, 3, 2, 1})},
      {[](GroupHeader& h) { h.banCount = 2; }, 260, bytesOf({2})},
      {[](GroupHeader& h) { h.presCount = 3; }, 264, bytesOf({3})},
      {[](GroupHeader& h) { h.banBytes = 300; }, 268, bytesOf({0x2C, 1})},
      {[](GroupHeader& h) { h.presBytes = 70000; }, 272, bytesOf({0x70, 0x11, 1})}};
  for (const auto& [set, offset, golden] : fields) {
    GroupHeader header;
    set(header);
    std::string expected(kGroupHeaderSize, '\0');
    EXPECT_EQ(encoded(header), expected.replace(offset, golden.size(), golden)) << offset;
    EXPECT_EQ(encoded(decodeGroupHeader(reinterpret_cast<const uint8_t*>(expected.data()))),
              expected);
  }
  GroupHeader runTime;
  runTime.moreOptions = 0xF8;  // only the three stored bits ever reach the file
  EXPECT_EQ(encoded(runTime), std::string(kGroupHeaderSize, '\0'));
}

TEST(UrlStatusCodec, TheStatusHasItsGoldenBytesAndKeepsNoRunTimeFlag) {
  UrlStatus status;
  std::tie(status.lastCheck, status.resultCode, status.flags) = std::tuple(0x01020304, -3, 0xFF);
  std::tie(status.responseMs, status.banIndex, status.presIndex) = std::tuple(321, 1, 258);
  uint8_t out[kUrlStatusSize];
  encodeUrlStatus(status, out);
  const std::string golden = "\x04\x03\x02\x01\xfd\xff\x1f\0\x41\x01\0\0\1\0\x02\x01"s;
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out), sizeof out),
            golden + std::string(kStatusReservedSize, '\0'));
  const UrlStatus back = decodeUrlStatus(out);
  EXPECT_EQ(std::tuple(back.lastCheck, back.resultCode, back.flags, back.responseMs, back.banIndex,
                       back.presIndex),
            std::tuple(0x01020304u, int16_t{-3}, uint8_t{0x1F}, 321u, int16_t{1}, int16_t{258}));
}

}  // namespace
}  // namespace vy
