// The group database operations and the status write-back; see
// group_store.h for the locking and crash-safety rules.
//
// Every operation reads the whole file under the lock into one image and
// refers to its texts in place. A change builds the whole new image in memory
// (records kept unchanged are copied byte for byte from the old image) and
// replaces the file with it. The given URL list keeps the last occurrence of
// each URL, and a file record pairs with the first given entry that has its
// URL (url_index.h), so every operation stays linear in the number of URLs.
#include "store/group_store.h"

#include <unistd.h>

#include <cerrno>
#include <utility>

#include "common/locked_file.h"
#include "common/replace_file.h"
#include "store/group_codec.h"
#include "store/group_name.h"
#include "store/url_index.h"

namespace vy {
namespace {

constexpr uint8_t kSwitchFlags = kUrlCheckBan | kUrlCheckPres;
// A replacement keeps the old file's permissions, but never gives others any:
// a group's notification command is run by whoever checks it.
constexpr mode_t kGroupFileModeMask = 07770;

// The file as read under the lock.
struct StoredGroup {
  GroupConfig group;
  GroupLayout layout;
};

// A group file that cannot be opened is logged as the group store always
// logged it, whether it was opened to read or to change.
StoreStatus openStatus(const FileStatus& opened) {
  StoreStatus status = storeStatusOf(opened);
  if (status.code == StoreCode::kCannotRead) status.code = StoreCode::kCannotOpen;
  return status;
}

// Reads the whole locked file and decodes it. kOk or kDamaged.
StoreStatus readLocked(const LockedFile& locked, StoredGroup& stored) {
  const long long size = locked.size();
  if (size < 0 || static_cast<unsigned long long>(size) > kMaxGroupFileSize) {
    return StoreCode::kDamaged;
  }
  FileImage image(static_cast<size_t>(size));
  ssize_t n = readFullyAt(locked.fd.get(), image.data(), image.size(), 0);
  if (n < 0) return StoreCode::kDamaged;
  image.resize(static_cast<size_t>(n));
  if (!decodeGroupImage(std::move(image), stored.group, stored.layout)) return StoreCode::kDamaged;
  return StoreCode::kOk;
}

// Opens and reads the stored group of a name for reading. An empty file is
// a group being created by a writer that has not written it yet (or that
// failed): no group.
StoreStatus openAndRead(const std::string& name, LockedFile& locked, StoredGroup& stored) {
  const std::string group = effectiveGroupName(name);
  if (!isValidGroupName(group)) return StoreCode::kRefusedName;
  const FileStatus opened = openLocked(groupFilePath(group), LockedOpen::kRead, locked);
  if (!opened.ok()) return openStatus(opened);
  if (locked.size() == 0) return StoreCode::kNotFound;
  return readLocked(locked, stored);
}

// ---- Images ------------------------------------------------------------------

// The stored header, with a new URL count, and content areas: the start of
// every image that keeps the group's settings.
std::string storedHead(const StoredGroup& stored, size_t urlCount) {
  const FileImage& image = stored.group.fileImage;
  std::string out = image.empty() ? std::string(kGroupHeaderSize, '\0')
                                  : std::string(image.data(), stored.layout.urlStart());
  GroupHeader header = stored.layout.header;
  header.urlCount = static_cast<int32_t>(urlCount);
  encodeGroupHeader(header, reinterpret_cast<uint8_t*>(out.data()));
  return out;
}

// Appends, byte for byte from the image, the file's records that were not
// paired, in file order; returns how many.
size_t appendUnpairedRecords(std::string& out, const StoredGroup& stored,
                             const std::vector<bool>& paired) {
  size_t count = 0;
  for (size_t i = 0; i < stored.group.urls.size(); ++i) {
    if (paired[i]) continue;
    const UrlStatus& record = stored.group.urls[i];
    out.append(stored.group.fileImage.data() + record.fileOffset,
               kUrlStatusSize + record.url.size() + 1);
    ++count;
  }
  return count;
}

// The given list as it is stored: URLs cut at a NUL, the last of each kept.
std::vector<UrlStatus> storableUrls(const std::vector<UrlStatus>& given) {
  std::vector<UrlStatus> urls = given;
  cutUrlsAtNul(urls);
  removeDuplicateUrls(urls);
  return urls;
}

// Settings and contents from the caller, then the file's URL records
// unchanged (urls null) or the given list.
std::string imageStoringGroup(const StoredGroup& stored, const GroupConfig& config,
                              const std::vector<UrlStatus>* urls) {
  GroupHeader header = urls ? GroupHeader() : stored.layout.header;
  header.checkInterval = config.checkInterval;
  header.inform = config.inform;
  header.options = config.options;
  header.moreOptions = config.moreOptions & kMoreStoredMask;
  header.publicFlags = config.publicFlags & kPublicStoredMask;
  std::string out(kGroupHeaderSize, '\0');
  const ContentArea banned = appendContentArea(out, config.banContents);
  const ContentArea present = appendContentArea(out, config.presContents);
  header.banCount = banned.count;
  header.banBytes = banned.bytes;
  header.presCount = present.count;
  header.presBytes = present.bytes;
  if (urls) {
    header.urlCount = static_cast<int32_t>(urls->size());
    appendUrlRecords(out, *urls);
  } else {
    size_t urlStart = stored.layout.urlStart(), urlEnd = stored.layout.urlEnd;
    if (urlEnd > urlStart) out.append(stored.group.fileImage.data() + urlStart, urlEnd - urlStart);
  }
  encodeGroupHeader(header, reinterpret_cast<uint8_t*>(out.data()));
  return out;
}

// ---- Changes -----------------------------------------------------------------

enum class OldImage { kRead, kIgnored };

StoreStatus replaceImage(const std::string& path, const LockedFile& locked,
                         std::string_view image) {
  if (image.size() > kMaxGroupFileSize) return StoreCode::kShortWrite;
  return storeStatusOf(replaceLockedFile(path, locked, image, kGroupFileModeMask));
}

// One change under the group's exclusive lock: build makes the new image
// from the stored group (an empty one for a new or ignored file).
template <typename Build>
StoreStatus changeGroup(const std::string& name, LockedOpen how, OldImage old, Build build) {
  const bool creates = how == LockedOpen::kCreate;
  const std::string group = effectiveGroupName(name);
  if (!isValidGroupName(group)) {
    return creates ? StoreCode::kRefusedNameToStore : StoreCode::kRefusedName;
  }
  const std::string path = groupFilePath(group);
  LockedFile locked;
  const FileStatus opened = openLocked(path, how, locked);
  if (!opened.ok()) return openStatus(opened);
  const bool isNew = locked.size() == 0;
  if (isNew && !creates) return StoreCode::kNotFound;
  StoredGroup stored;
  if (!isNew && old == OldImage::kRead) {
    StoreStatus read = readLocked(locked, stored);
    if (!read.ok()) return read;
  }
  StoreStatus written = replaceImage(path, locked, build(stored));
  if (!written.ok() && isNew) ::unlink(path.c_str());
  return written;
}

// The unpaired records stay, the given entries follow in their order. With a
// damaged file holding one URL twice, both copies pair with one entry.
std::string imageAddingUrls(const StoredGroup& stored, std::vector<UrlStatus>& urls) {
  std::vector<bool> paired = pairStoredUrls(stored.group.urls, urls, true);
  std::string records;
  size_t kept = appendUnpairedRecords(records, stored, paired);
  appendUrlRecords(records, urls);
  return storedHead(stored, kept + urls.size()) + records;
}

// The given list replaces the file's; keepResults pairs it with the file first.
StoreStatus writeUrlList(const std::string& name, const std::vector<UrlStatus>& given,
                         bool keepResults) {
  std::vector<UrlStatus> urls = storableUrls(given);
  return changeGroup(name, LockedOpen::kCreate, OldImage::kRead, [&](const StoredGroup& stored) {
    if (keepResults) pairStoredUrls(stored.group.urls, urls, true);
    std::string out = storedHead(stored, urls.size());
    appendUrlRecords(out, urls);
    return out;
  });
}

// ---- Status write-back ---------------------------------------------------------

// Writes the entry's result into its record, keeping the record's check
// switches: they are the administrator's, and a change of them that stored
// the group after this entry was read must stand. The caller holds the lock.
StoreStatus writeStatusAt(int fd, const UrlStatus& entry) {
  if (entry.fileOffset == 0 || entry.fileOffset == kUnknownFileOffset) return StoreCode::kOk;
  uint8_t storedFlags = 0;
  if (::pread(fd, &storedFlags, 1, static_cast<off_t>(entry.fileOffset + kStatusFlagsOffset)) !=
      1) {
    return StoreCode::kDamaged;
  }
  UrlStatus result = entry;
  result.flags = static_cast<uint8_t>((entry.flags & ~kSwitchFlags) | (storedFlags & kSwitchFlags));
  uint8_t stored[kUrlStatusSize];
  encodeUrlStatus(result, stored);
  for (size_t done = 0; done < sizeof stored;) {
    ssize_t n = ::pwrite(fd, stored + done, sizeof stored - done,
                         static_cast<off_t>(entry.fileOffset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return StoreCode::kShortWrite;
    done += static_cast<size_t>(n);
  }
  return StoreCode::kOk;
}

// Takes every entry's record offset from the locked file (the first record
// with its URL; 0 when the file no longer stores it).
StoreStatus takeOffsetsFrom(const LockedFile& locked, std::vector<UrlStatus>& urls) {
  StoredGroup current;
  if (locked.size() != 0) {
    StoreStatus read = readLocked(locked, current);
    if (!read.ok()) return read;
  }
  UrlIndex firstRecord(current.group.urls);
  firstRecord.addAll();
  for (UrlStatus& entry : urls) {
    std::optional<size_t> found = firstRecord.find(storedUrl(entry.url));
    entry.fileOffset = found ? current.group.urls[*found].fileOffset : 0;
  }
  return StoreCode::kOk;
}

}  // namespace

GroupRead readGroup(const std::string& name) {
  GroupRead read;
  LockedFile locked;
  StoredGroup stored;
  read.status = openAndRead(name, locked, stored);
  if (!read.ok()) return read;
  unlockFile(locked.fd.get());
  read.group = std::move(stored.group);
  read.handle = GroupHandle{effectiveGroupName(name), std::move(locked.fd), locked.identity};
  return read;
}

GroupRead readGroupReported(const std::string& name, std::string_view detail, ReportSite site) {
  GroupRead read = readGroup(name);
  if (!read.ok()) reportError(read.status, detail, {}, site);
  return read;
}

UrlListing listUrls(const std::string& name, const std::optional<std::string>& onlyUrl) {
  UrlListing listing;
  LockedFile locked;
  StoredGroup stored;
  listing.status = openAndRead(name, locked, stored);
  if (!listing.status.ok()) return listing;
  for (const UrlStatus& record : stored.group.urls) {
    if (!onlyUrl || record.url == *onlyUrl) listing.lines.push_back(urlListingLine(record, 0));
  }
  return listing;
}

std::string urlListingLine(const UrlStatus& status, uint8_t stateWord) {
  std::string line(status.url);
  line += ' ';
  line += std::to_string(stateWord);
  if (status.banFound()) line += " f=" + std::to_string(status.banIndex);
  if (status.up() && !status.presOk()) line += " p=" + std::to_string(status.presIndex);
  line += " c=" + std::to_string(status.resultCode);
  return line;
}

StoreStatus storeSettings(const std::string& name, const GroupConfig& settings) {
  return changeGroup(name, LockedOpen::kCreate, OldImage::kRead, [&](const StoredGroup& stored) {
    return imageStoringGroup(stored, settings, nullptr);
  });
}

StoreStatus writeGroup(const std::string& name, const GroupConfig& group) {
  const std::vector<UrlStatus> urls = storableUrls(group.urls);
  return changeGroup(name, LockedOpen::kCreate, OldImage::kIgnored, [&](const StoredGroup& stored) {
    return imageStoringGroup(stored, group, &urls);
  });
}

StoreStatus addUrls(const std::string& name, const std::vector<UrlStatus>& given) {
  std::vector<UrlStatus> urls = storableUrls(given);
  return changeGroup(name, LockedOpen::kCreate, OldImage::kRead,
                     [&](const StoredGroup& stored) { return imageAddingUrls(stored, urls); });
}

StoreStatus replaceUrls(const std::string& name, const std::vector<UrlStatus>& urls) {
  return writeUrlList(name, urls, false);
}

StoreStatus rewriteUrls(const std::string& name, const std::vector<UrlStatus>& urls) {
  return writeUrlList(name, urls, true);
}

StoreStatus deleteUrls(const std::string& name, const std::vector<std::string_view>& urls) {
  std::vector<UrlStatus> deleted(urls.size());
  for (size_t i = 0; i < urls.size(); ++i) deleted[i].url = storedUrl(urls[i]);
  return changeGroup(name, LockedOpen::kChange, OldImage::kRead, [&](const StoredGroup& stored) {
    std::vector<bool> paired = pairStoredUrls(stored.group.urls, deleted, false);
    std::string records;
    size_t kept = appendUnpairedRecords(records, stored, paired);
    return storedHead(stored, kept) + records;
  });
}

StoreStatus removeGroup(const std::string& name) {
  if (!name.empty() && !isValidGroupName(name)) return StoreCode::kRefusedName;
  const std::string path = groupFilePath(name);
  if (!isRegularFile(path)) return StoreCode::kNotFound;
  LockedFile locked;
  const FileStatus opened = openLocked(path, LockedOpen::kChange, locked);
  if (!opened.ok()) return openStatus(opened);
  if (::unlink(path.c_str()) != 0) return {StoreCode::kCannotRemove, path};
  return StoreCode::kOk;
}

StoreStatus writeUrlStatus(GroupHandle& handle, std::vector<UrlStatus>& urls, size_t index) {
  if (index >= urls.size()) return StoreCode::kNoSuchEntry;
  if (!isValidGroupName(handle.name)) return StoreCode::kRefusedNameToStore;
  LockedFile locked;
  const FileStatus opened = openLocked(groupFilePath(handle.name), LockedOpen::kChange, locked);
  if (!opened.ok()) {
    return opened == FileCode::kNotFound ? StoreStatus(StoreCode::kCannotOpen, opened.subject)
                                         : openStatus(opened);
  }
  const bool sameFile = handle.file.valid() && locked.identity == handle.identity &&
                        urls[index].fileOffset != kUnknownFileOffset;
  if (!sameFile) {
    // The group was replaced since it was read (or never read from its file):
    // find every record again in the file now at the path.
    StoreStatus found = takeOffsetsFrom(locked, urls);
    if (!found.ok()) return found;
  }
  StoreStatus written = writeStatusAt(locked.fd.get(), urls[index]);
  if (!sameFile) {
    unlockFile(locked.fd.get());
    handle.file = std::move(locked.fd);
    handle.identity = locked.identity;
  }
  return written;
}

}  // namespace vy
