// The crash record's bytes and the signal table.
#include "common/signals.h"

#include <gtest/gtest.h>

#include <cstring>

namespace vy {
namespace {

TEST(CrashRecord, EncodesEveryFieldLittleEndianAtItsOffset) {
  CrashRecord record;
  record.time = 0x01020304;
  record.errnoValue = -2;
  record.signal = 11;
  for (int i = 0; i < 10; ++i) record.registers[i] = 0x10000000u + static_cast<uint32_t>(i);
  for (int i = 0; i < 6; ++i) record.segments[i] = static_cast<uint16_t>(0x2000 + i);
  std::memset(record.fpState, 0xAB, sizeof record.fpState);
  record.envCount = 3;
  record.envBytes = 0x1234;
  uint8_t out[kCrashRecordSize];
  std::memset(out, 0xEE, sizeof out);
  encodeCrashRecord(record, out);

  const uint8_t head[] = {0x04, 0x03, 0x02, 0x01, 0xFE, 0xFF, 0xFF, 0xFF, 11, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(std::memcmp(out, head, sizeof head), 0);
  const uint8_t firstRegister[] = {0x00, 0x00, 0x00, 0x10};
  EXPECT_EQ(std::memcmp(out + 16, firstRegister, 4), 0);
  EXPECT_EQ(out[16 + 4 * 9], 9);
  EXPECT_EQ(out[56], 0x00);
  EXPECT_EQ(out[57], 0x20);
  EXPECT_EQ(out[56 + 2 * 5], 0x05);
  EXPECT_EQ(out[68], 0xAB);
  EXPECT_EQ(out[179], 0xAB);
  EXPECT_EQ(out[180], 3);
  EXPECT_EQ(out[182], 0x34);
  EXPECT_EQ(out[183], 0x12);
  const uint8_t reserved[] = {0, 0, 0, 0};
  EXPECT_EQ(std::memcmp(out + 184, reserved, 4), 0);
}

TEST(CrashRecord, SignalNamesComeFromTheTable) {
  EXPECT_STREQ(signalName(2), "INT");
  EXPECT_STREQ(signalName(11), "SEGV");
  EXPECT_STREQ(signalName(6), "ABRT");
  EXPECT_STREQ(signalName(15), "UNKN");
}

}  // namespace
}  // namespace vy
