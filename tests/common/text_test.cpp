// Text helpers: formatting, atoi rules, lower-casing, random text.
#include "common/text.h"

#include <gtest/gtest.h>

#include <climits>

namespace vy {
namespace {

TEST(Text, FormatAllocHasNoLengthLimit) {
  std::string big(5000, 'x');
  EXPECT_EQ(formatAlloc("<%s>%d", big.c_str(), -7), "<" + big + ">-7");
  EXPECT_EQ(formatAlloc("%s", ""), "");
}

TEST(Text, NumbersFollowAtoiRules) {
  EXPECT_EQ(parseIntAtoi("  42abc"), 42);
  EXPECT_EQ(parseIntAtoi("-17"), -17);
  EXPECT_EQ(parseIntAtoi("+5"), 5);
  EXPECT_EQ(parseIntAtoi("x12"), 0);
  EXPECT_EQ(parseIntAtoi(""), 0);
  EXPECT_EQ(parseIntAtoi("99999999999999999999"), INT_MAX);
  EXPECT_EQ(parseIntAtoi("-99999999999999999999"), INT_MIN);
}

TEST(Text, LowerCasingTouchesOnlyAsciiLetters) {
  std::string text = "AbC-\xC4\xD6Z[";
  toLowerAscii(text);
  EXPECT_EQ(text, "abc-\xC4\xD6z[");
}

TEST(Text, RandomTextUsesTheAlphabetAndHonoursZero) {
  EXPECT_EQ(randomText(0), "");
  std::string text = randomText(36);
  ASSERT_EQ(text.size(), 36u);
  for (char c : text) EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(c))) << c;
}

}  // namespace
}  // namespace vy
