// Fuzz target: the group configuration text, as the service commands take it
// on standard input. The text is parsed and formatted, then stored whole as
// the group file of a scratch instance and read back: whatever a text says,
// the stored group reads back with its settings, its contents that are not
// empty and its URL list.
#include <algorithm>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "store/group_config.h"
#include "store/group_store.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vy::GroupConfig config;
  vy::parseGroupConfig(config, std::string(vy::fuzz::asText(data, size)));
  (void)vy::formatGroupConfig(config);

  vy::fuzz::scratchDir().run([&] {
    using vy::fuzz::expect;
    expect(vy::writeGroup("fuzz", config).ok(), "any text is stored");
    vy::GroupRead reread = vy::readGroup("fuzz");
    expect(reread.ok(), "a stored text reads back");
    const vy::GroupConfig& read = reread.group;
    expect(read.checkInterval == config.checkInterval && read.inform == config.inform &&
               read.options == config.options &&
               read.moreOptions == (config.moreOptions & vy::kMoreStoredMask),
           "the settings read back");
    // A content empty up to its first NUL is never stored.
    const auto stored = [](const std::vector<std::string_view>& contents) {
      return std::count_if(contents.begin(), contents.end(),
                           [](std::string_view text) { return !text.empty() && text[0] != '\0'; });
    };
    expect(read.banCount() == stored(config.banContents) &&
               read.presCount() == stored(config.presContents),
           "every content that is not empty reads back");
    std::set<std::string_view> distinct;
    for (const vy::UrlStatus& entry : config.urls) distinct.insert(entry.url);
    expect(read.urls.size() == distinct.size(), "every distinct URL reads back");
  });
  return 0;
}
