// The JSON writer: nesting and separators, and strings that stay valid JSON whatever bytes
// they hold.
#include "common/json.h"

#include <gtest/gtest.h>

#include <string>

namespace vy {
namespace {

std::string asJson(std::string_view text) {
  std::string out;
  appendJsonString(out, text);
  return out;
}

TEST(JsonWriter, NestedContainersGetCommasBetweenItemsOnly) {
  JsonWriter json;
  json.beginObject().field("a", 1).key("list").beginArray();
  json.number(-2).boolean(true).beginObject().endObject().beginArray().endArray().string("x");
  json.endArray().field("ok", false).field("t", "v").endObject();
  EXPECT_EQ(json.text(), R"({"a":1,"list":[-2,true,{},[],"x"],"ok":false,"t":"v"})");
}

TEST(JsonString, QuotesBackslashesAndControlsAreEscapedAndUtf8PassesThrough) {
  EXPECT_EQ(asJson("say \"hi\" \\ there"), R"("say \"hi\" \\ there")");
  EXPECT_EQ(asJson("a\nb\rc\td\be\ff"), R"("a\nb\rc\td\be\ff")");
  EXPECT_EQ(asJson(std::string("\x01\x1f\x7f", 3) + std::string(1, '\0')),
            "\"\\u0001\\u001f\x7f\\u0000\"");
  EXPECT_EQ(asJson("Zürich € 𝄞 ok"), "\"Zürich € 𝄞 ok\"");
}

// Each byte that starts no character is replaced on its own; what follows it is read afresh.
TEST(JsonString, BytesThatAreNoUtf8BecomeReplacementCharacters) {
  const std::string r = "\xEF\xBF\xBD";
  EXPECT_EQ(asJson("a\xFF"
                   "b"),
            "\"a" + r + "b\"");
  EXPECT_EQ(asJson("\xC3"), "\"" + r + "\"");                          // cut short at the end
  EXPECT_EQ(asJson("\xC3(z"), "\"" + r + "(z\"");                      // no continuation
  EXPECT_EQ(asJson("\xC0\xAF"), "\"" + r + r + "\"");                  // overlong "/"
  EXPECT_EQ(asJson("\xE0\x80\xAF"), "\"" + r + r + r + "\"");          // overlong three bytes
  EXPECT_EQ(asJson("\xED\xA0\x80"), "\"" + r + r + r + "\"");          // a surrogate
  EXPECT_EQ(asJson("\xF4\x90\x80\x80"), "\"" + r + r + r + r + "\"");  // above U+10FFFF
  EXPECT_EQ(asJson("\x80"
                   "\""),
            "\"" + r + "\\\"\"");
  EXPECT_EQ(validUtf8("ok\xFE€"), "ok" + r + "€");
}

}  // namespace
}  // namespace vy
