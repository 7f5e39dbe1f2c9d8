// Fuzz target: the group database image. The bytes are decoded as a group
// file, then written as the group file of a scratch instance and read,
// listed and changed by every mode that rewrites an image from the stored one.
// A damaged image is refused alike by the decoder and by every mode, and a
// storing mode leaves it as it was; an image a mode wrote always reads back.
#include <cstdint>
#include <string>

#include "common/files.h"
#include "fuzz/fuzz_support.h"
#include "store/group_file.h"

namespace {

using vy::ErrAction;
using vy::GroupConfig;
using vy::GroupMode;

constexpr const char* kGroup = "fuzz";
constexpr const char* kPath = "./vydata/vydb/fuzz.dat";

void putGroupFile(std::string_view image) {
  std::FILE* file = std::fopen(kPath, "wb");
  if (!file) std::abort();
  std::fwrite(image.data(), 1, image.size(), file);
  std::fclose(file);
}

// The list a changing mode gets: a new URL (first, so that a stored URL "all"
// never asks kDeleteUrls to remove the group) and the first and last stored.
GroupConfig givenUrls(const GroupConfig& stored) {
  GroupConfig given;
  given.addUrl("http://added.example/");
  if (!stored.urls.empty()) {
    given.addUrl(std::string(stored.urls.front().url)).flags = vy::kUrlCheckBan;
    given.addUrl(std::string(stored.urls.back().url));
  }
  given.banContents = stored.banContents;  // for kStoreSettings: views into stored
  return given;
}

void changeStoredImage(std::string_view image, const GroupConfig& decoded, GroupMode mode) {
  putGroupFile(image);
  GroupConfig given = givenUrls(decoded);
  const ErrAction rc = vy::accessGroupFile(kGroup, given, mode);
  vy::fuzz::expect(rc == ErrAction::kOk, "a valid image accepts the change");
  GroupConfig reread;
  vy::fuzz::expect(vy::accessGroupFile(kGroup, reread, GroupMode::kRead) == ErrAction::kOk,
                   "a written image reads back");
  if (mode == GroupMode::kStoreSettings) {
    vy::fuzz::expect(reread.urlCount() == decoded.urlCount(), "stored settings keep the URLs");
  }
}

void refuseDamagedImage(std::string_view image) {
  putGroupFile(image);
  GroupConfig given = givenUrls(GroupConfig());
  vy::fuzz::expect(vy::accessGroupFile(kGroup, given, GroupMode::kAddUrls) == ErrAction::kShortRead,
                   "a damaged image refuses a change");
  std::string after;
  vy::fuzz::expect(vy::readFileBytes(kPath, after) == ErrAction::kOk && after == image,
                   "a refused change leaves the file as it was");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view image = vy::fuzz::asText(data, size);
  GroupConfig decoded;
  const bool valid = vy::decodeGroupFile(image, decoded) == ErrAction::kOk;
  if (valid) (void)vy::formatGroupConfig(decoded);
  if (image.empty()) return 0;  // an empty file is a group being created

  vy::fuzz::scratchDir().run([&] {
    putGroupFile(image);
    GroupConfig read;
    const ErrAction rc = vy::accessGroupFile(kGroup, read, GroupMode::kRead);
    vy::fuzz::expect(rc == (valid ? ErrAction::kOk : ErrAction::kShortRead),
                     "reading agrees with decoding");
    if (!valid) return refuseDamagedImage(image);
    std::string listing;
    vy::fuzz::expect(
        vy::accessGroupFile(kGroup, read, GroupMode::kListUrls, &listing) == ErrAction::kOk,
        "a valid image lists");
    for (GroupMode mode : {GroupMode::kAddUrls, GroupMode::kRewriteUrls, GroupMode::kDeleteUrls,
                           GroupMode::kStoreSettings}) {
      changeStoredImage(image, decoded, mode);
    }
  });
  return 0;
}
