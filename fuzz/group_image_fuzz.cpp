// Fuzz target: the group database image. The bytes are decoded as a group
// file, then written as the group file of a scratch instance and read,
// listed and changed by every operation that rewrites an image from the
// stored one. A damaged image is refused alike by the decoder and by every
// operation, and a refused change leaves it as it was; an image an operation
// wrote always reads back.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/files.h"
#include "fuzz/fuzz_support.h"
#include "store/group_codec.h"
#include "store/group_store.h"

namespace {

using vy::GroupConfig;
using vy::StoreCode;
using vy::StoreStatus;

// A change of the stored group, made with the given list.
using Change = StoreStatus (*)(const GroupConfig& given);
StoreStatus addGiven(const GroupConfig& given) { return vy::addUrls("fuzz", given.urls); }
StoreStatus rewriteGiven(const GroupConfig& given) { return vy::rewriteUrls("fuzz", given.urls); }
StoreStatus storeGivenSettings(const GroupConfig& given) {
  return vy::storeSettings("fuzz", given);
}
StoreStatus deleteGiven(const GroupConfig& given) {
  std::vector<std::string_view> urls;
  for (const vy::UrlStatus& entry : given.urls) urls.push_back(entry.url);
  return vy::deleteUrls("fuzz", urls);
}

constexpr const char* kGroup = "fuzz";
constexpr const char* kPath = "./vydata/vydb/fuzz.dat";

void putGroupFile(std::string_view image) {
  std::FILE* file = std::fopen(kPath, "wb");
  if (!file) std::abort();
  std::fwrite(image.data(), 1, image.size(), file);
  std::fclose(file);
}

// The list a change gets: a new URL and the first and last stored.
GroupConfig givenUrls(const GroupConfig& stored) {
  GroupConfig given;
  given.addUrl("http://added.example/");
  if (!stored.urls.empty()) {
    given.addUrl(std::string(stored.urls.front().url)).flags = vy::kUrlCheckBan;
    given.addUrl(std::string(stored.urls.back().url));
  }
  given.banContents = stored.banContents;  // for the settings: views into stored
  return given;
}

void changeStoredImage(std::string_view image, const GroupConfig& decoded, Change change) {
  putGroupFile(image);
  vy::fuzz::expect(change(givenUrls(decoded)).ok(), "a valid image accepts the change");
  const vy::GroupRead reread = vy::readGroup(kGroup);
  vy::fuzz::expect(reread.ok(), "a written image reads back");
  if (change == storeGivenSettings) {
    vy::fuzz::expect(reread.group.urlCount() == decoded.urlCount(),
                     "stored settings keep the URLs");
  }
}

void refuseDamagedImage(std::string_view image) {
  putGroupFile(image);
  vy::fuzz::expect(addGiven(givenUrls(GroupConfig())) == StoreCode::kDamaged,
                   "a damaged image refuses a change");
  std::string after;
  vy::fuzz::expect(vy::readFileBytes(kPath, after).ok() && after == image,
                   "a refused change leaves the file as it was");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view image = vy::fuzz::asText(data, size);
  GroupConfig decoded;
  const bool valid = vy::decodeGroupFile(image, decoded).ok();
  if (valid) (void)vy::formatGroupConfig(decoded);
  if (image.empty()) return 0;  // an empty file is a group being created

  vy::fuzz::scratchDir().run([&] {
    putGroupFile(image);
    const vy::GroupRead read = vy::readGroup(kGroup);
    vy::fuzz::expect(read.status == (valid ? StoreCode::kOk : StoreCode::kDamaged),
                     "reading agrees with decoding");
    if (!valid) return refuseDamagedImage(image);
    vy::fuzz::expect(vy::listUrls(kGroup).status.ok(), "a valid image lists");
    for (Change change : {addGiven, rewriteGiven, deleteGiven, storeGivenSettings}) {
      changeStoredImage(image, decoded, change);
    }
  });
  return 0;
}
