// Fuzz target: the group configuration text, as the service commands take it
// on standard input. The text is parsed and formatted, then stored whole as
// the group file of a scratch instance and read back: whatever a text says,
// the stored group reads back with its settings, contents and URL list.
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "store/group_config.h"
#include "store/group_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vy::GroupConfig config;
  vy::parseGroupConfig(config, std::string(vy::fuzz::asText(data, size)));
  (void)vy::formatGroupConfig(config);

  vy::fuzz::scratchDir().run([&] {
    using vy::fuzz::expect;
    expect(vy::accessGroupFile("fuzz", config, vy::GroupMode::kStoreGroup) == vy::ErrAction::kOk,
           "any text is stored");
    vy::GroupConfig read;
    expect(vy::accessGroupFile("fuzz", read, vy::GroupMode::kRead) == vy::ErrAction::kOk,
           "a stored text reads back");
    expect(read.checkInterval == config.checkInterval && read.inform == config.inform &&
               read.options == config.options &&
               read.moreOptions == (config.moreOptions & vy::kMoreStoredMask),
           "the settings read back");
    expect(read.banCount() == config.banCount() && read.presCount() == config.presCount(),
           "every content reads back");
    expect(read.urlCount() == config.urlCount(), "every distinct URL reads back");
  });
  return 0;
}
