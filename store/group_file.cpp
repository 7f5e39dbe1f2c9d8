// The group database file: codec, the access modes and the status writer;
// see group_file.h for the layout and the crash-safety rules.
//
// Every mode reads the whole file under the lock into one image and refers to
// its texts in place. The URL lists of the caller and of the file are paired
// through hash tables, so every mode stays linear in the number of URLs: the
// caller's list keeps the last occurrence of each URL, and a file record pairs
// with the first caller entry that has its URL. A changing mode builds the
// whole new image in memory (records kept unchanged are copied byte for byte
// from the old image) and replaces the file with it.
#include "store/group_file.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <utility>

#include "common/errors.h"
#include "common/fd.h"
#include "common/files.h"
#include "common/le.h"
#include "common/text.h"
#include "store/group_name.h"

namespace vy {
namespace {

constexpr size_t kMinUrlRecordSize = kUrlStatusSize + 1;
// Record offsets are kept in 32 bits, and 0xFFFFFFFF means "unknown".
constexpr size_t kMaxGroupFileSize = 0xFFFFFFFEu;
constexpr uint8_t kResultFlags = kUrlUp | kUrlBanFound | kUrlPresOk;
constexpr uint8_t kSwitchFlags = kUrlCheckBan | kUrlCheckPres;
// How often an open is repeated because the file at the path was replaced or
// removed while this process waited for its lock. Every repeat means that
// another writer finished meanwhile; the bound only guards against a livelock.
constexpr int kMaxReopens = 1000;
// A replacement keeps the old file's permissions, but never gives others any:
// a group's notification command is run by whoever checks it.
constexpr mode_t kGroupFileModeMask = 07770;

// The header of a file as read and where its URL records lie. A new file has
// an all-zero header and empty content areas.
struct GroupLayout {
  GroupHeader header;
  size_t urlEnd = kGroupHeaderSize;  // behind the last record

  // Behind the two content areas (REQUIRES: a header that fits its file).
  size_t urlStart() const {
    return kGroupHeaderSize + static_cast<size_t>(header.banBytes) +
           static_cast<size_t>(header.presBytes);
  }
};

// ---- Locked files ------------------------------------------------------------

// An open group file under its lock, checked to be the file its path names,
// with what fstat told once the lock was held (the file cannot change under
// the lock). Closing the descriptor releases the lock.
struct LockedFile {
  UniqueFd fd;
  FileIdentity identity;
  struct stat status {};
  long long size() const { return static_cast<long long>(status.st_size); }
};

// How a group file is opened and locked: a change locks it exclusively (and
// kCreate creates a missing file empty); a read takes a shared lock, so that
// readers never wait for each other, only for a change. The descriptor is
// always writable: a record read keeps it for its status write-back.
enum class Opening { kRead, kChange, kCreate };

// Opens and locks the group file at path. Once the lock is held, the path
// must still name the file locked: a writer that held the lock before may
// have replaced or removed it, and then the file now at the path is tried.
// kReadFile (no regular file at the path, unless creating), kWriteFile or
// kLockFile.
ErrAction openLocked(const std::string& path, Opening opening, LockedFile& out) {
  const bool create = opening == Opening::kCreate;
  for (int attempt = 0; attempt < kMaxReopens; ++attempt) {
    UniqueFd fd = openFd(path.c_str(), create ? O_RDWR | O_CREAT : O_RDWR, 0666);
    if (!fd) return !create && !isRegularFile(path) ? ErrAction::kReadFile : ErrAction::kWriteFile;
    const bool locked = opening == Opening::kRead ? lockFileShared(fd.get()) : lockFile(fd.get());
    if (!locked) return ErrAction::kLockFile;
    struct stat status;
    if (::fstat(fd.get(), &status) != 0) return ErrAction::kLockFile;
    if (!S_ISREG(status.st_mode)) return create ? ErrAction::kWriteFile : ErrAction::kReadFile;
    const FileIdentity held{status.st_dev, status.st_ino};
    if (held == identityOf(path)) {
      out = LockedFile{std::move(fd), held, status};
      return ErrAction::kOk;
    }
  }
  return ErrAction::kLockFile;
}

// A group file's directory (with its "/") and its name.
std::pair<std::string, std::string> splitPath(const std::string& path) {
  const size_t slash = path.rfind('/');
  const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  return {path.substr(0, nameStart), path.substr(nameStart)};
}

// Temporary files of a group file are named "." + its name + ".<pid>.<n>.tmp":
// hidden, so that directory walks skip them, and unique to a process and call.
std::string temporaryPathFor(const std::string& path) {
  static std::atomic<unsigned> counter{0};
  const auto [dir, name] = splitPath(path);
  return dir + "." + name + "." + std::to_string(::getpid()) + "." + std::to_string(counter++) +
         ".tmp";
}

// A temporary file of the group is made only by the holder of the lock of the
// file at the path, and renamed or removed before the lock goes. So whoever
// holds that lock and finds one, finds what a killed writer left behind.
void removeLeftTemporaries(const std::string& path) {
  const auto [dir, name] = splitPath(path);
  const std::string prefix = "." + name + ".";
  std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir(dir.empty() ? "." : dir.c_str()),
                                              ::closedir);
  if (!listing) return;
  while (const dirent* entry = ::readdir(listing.get())) {
    std::string_view file(entry->d_name);
    if (startsWith(file, prefix) && file.size() > 4 && file.substr(file.size() - 4) == ".tmp") {
      ::unlink((dir + std::string(file)).c_str());
    }
  }
}

// Makes a rename in the directory of path durable.
void syncDirectoryOf(const std::string& path) {
  const std::string dir = splitPath(path).first;
  if (UniqueFd fd = openFd(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY)) {
    ::fsync(fd.get());
  }
}

// Writes image to a temporary file beside path, flushes it to disk and
// renames it over path, whose lock `locked` holds. The new file takes the old
// one's permissions and, where the process may, its owner, so that the other
// program (the web server's user, or cron's) can still use it. On failure
// the temporary file is removed and path is left as it was.
ErrAction replaceGroupFile(const std::string& path, const LockedFile& locked,
                           std::string_view image) {
  if (image.size() > kMaxGroupFileSize) return ErrAction::kShortWrite;
  const struct stat& old = locked.status;
  removeLeftTemporaries(path);
  std::string temp;
  UniqueFd out;
  for (int attempt = 0; attempt < kMaxReopens && !out; ++attempt) {
    temp = temporaryPathFor(path);
    out = openFd(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (!out && errno != EEXIST) return ErrAction::kWriteFile;
  }
  if (!out) return ErrAction::kWriteFile;
  ::fchmod(out.get(), old.st_mode & kGroupFileModeMask);
  int ignored = ::fchown(out.get(), old.st_uid, old.st_gid);  // only a privileged process may
  (void)ignored;
  const bool written = writeFully(out.get(), image.data(), image.size()) &&
                       ::fsync(out.get()) == 0 && ::close(out.release()) == 0;
  if (!written || ::rename(temp.c_str(), path.c_str()) != 0) {
    ::unlink(temp.c_str());
    return written ? ErrAction::kWriteFile : ErrAction::kShortWrite;
  }
  syncDirectoryOf(path);
  return ErrAction::kOk;
}

// Writes bytes at offset of the open file; kShortWrite when not all of them
// reach it.
ErrAction writeAt(int fd, std::string_view bytes, size_t offset) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n =
        ::pwrite(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return ErrAction::kShortWrite;
    done += static_cast<size_t>(n);
  }
  return ErrAction::kOk;
}

// ---- Decoding ----------------------------------------------------------------

// count NUL-terminated texts from the start of area; false when one lacks
// its NUL inside the area.
bool decodeTexts(std::string_view area, int32_t count, std::vector<std::string_view>& texts) {
  size_t pos = 0;
  for (int32_t i = 0; i < count; ++i) {
    size_t nul = area.find('\0', pos);
    if (nul == std::string_view::npos) return false;
    texts.push_back(area.substr(pos, nul - pos));
    pos = nul + 1;
  }
  return true;
}

bool decodeUrlRecords(std::string_view image, GroupLayout& layout, std::vector<UrlStatus>& urls) {
  size_t pos = layout.urlStart();
  for (int32_t i = 0; i < layout.header.urlCount; ++i) {
    if (image.size() - pos < kMinUrlRecordSize) return false;
    size_t nul = image.find('\0', pos + kUrlStatusSize);
    if (nul == std::string_view::npos) return false;
    UrlStatus& entry =
        urls.emplace_back(decodeUrlStatus(reinterpret_cast<const uint8_t*>(image.data() + pos)));
    entry.url = image.substr(pos + kUrlStatusSize, nul - pos - kUrlStatusSize);
    entry.fileOffset = static_cast<uint32_t>(pos);
    pos = nul + 1;
  }
  layout.urlEnd = pos;
  return true;
}

// Checks every count and area of the header against the image before any
// list is allocated from it.
bool headerFitsImage(const GroupHeader& h, size_t imageSize) {
  if (h.urlCount < 0 || h.banCount < 0 || h.presCount < 0 || h.banBytes < 0 || h.presBytes < 0) {
    return false;
  }
  uint64_t start = uint64_t{kGroupHeaderSize} + static_cast<uint64_t>(h.banBytes) +
                   static_cast<uint64_t>(h.presBytes);
  if (start > imageSize) return false;
  // Each text takes at least its NUL, each URL record at least 29 bytes.
  if (h.banCount > h.banBytes || h.presCount > h.presBytes) return false;
  return static_cast<uint64_t>(h.urlCount) <= (imageSize - start) / kMinUrlRecordSize;
}

// Decodes the image into group, which takes the image over. kOk or kShortRead.
ErrAction decodeGroupImage(FileImage image, GroupConfig& group, GroupLayout& layout) {
  group.fileImage = std::move(image);
  std::string_view bytes(group.fileImage.data(), group.fileImage.size());
  if (bytes.size() < kGroupHeaderSize) return ErrAction::kShortRead;
  GroupHeader& h = layout.header;
  h = decodeGroupHeader(reinterpret_cast<const uint8_t*>(bytes.data()));
  if (!headerFitsImage(h, bytes.size())) return ErrAction::kShortRead;
  group.banContents.reserve(static_cast<size_t>(h.banCount));
  group.presContents.reserve(static_cast<size_t>(h.presCount));
  group.urls.reserve(static_cast<size_t>(h.urlCount));
  size_t presStart = kGroupHeaderSize + static_cast<size_t>(h.banBytes);
  if (!decodeTexts(bytes.substr(kGroupHeaderSize, static_cast<size_t>(h.banBytes)), h.banCount,
                   group.banContents) ||
      !decodeTexts(bytes.substr(presStart, static_cast<size_t>(h.presBytes)), h.presCount,
                   group.presContents) ||
      !decodeUrlRecords(bytes, layout, group.urls)) {
    return ErrAction::kShortRead;
  }
  group.checkInterval = h.checkInterval;
  group.inform = h.inform;
  group.options = h.options;
  group.moreOptions = h.moreOptions & kMoreStoredMask;
  return ErrAction::kOk;
}

// Reads the whole locked file, `size` bytes long, and decodes it. kOk or
// kShortRead.
ErrAction readGroupFile(const LockedFile& locked, GroupConfig& group, GroupLayout& layout) {
  const long long size = locked.size();
  if (size < 0 || static_cast<unsigned long long>(size) > kMaxGroupFileSize) {
    return ErrAction::kShortRead;
  }
  FileImage image(static_cast<size_t>(size));
  ssize_t n = readFullyAt(locked.fd.get(), image.data(), image.size(), 0);
  if (n < 0) return ErrAction::kShortRead;
  image.resize(static_cast<size_t>(n));
  return decodeGroupImage(std::move(image), group, layout);
}

// ---- Lists -------------------------------------------------------------------

// A stored URL is a C text: whatever follows a NUL never reaches the file.
std::string_view storedUrl(std::string_view url) { return url.substr(0, url.find('\0')); }

void cutUrlsAtNul(std::vector<UrlStatus>& urls) {
  for (UrlStatus& entry : urls) entry.url = storedUrl(entry.url);
}

// A hash table from URL to the position of the first entry of a list added
// with that URL. Open addressing over one flat array of 8-byte slots, at most
// half full, each slot keeping 32 bits of the hash: a lookup in a 100,000-URL
// list touches one cache line and compares texts only when the hashes agree.
class UrlIndex {
 public:
  explicit UrlIndex(const std::vector<UrlStatus>& urls) : urls_(urls) {
    size_t capacity = 16;
    while (capacity < urls.size() * 2) capacity <<= 1;
    slots_.resize(capacity);
    mask_ = capacity - 1;
  }

  // Adds entry i of the list unless an entry with its URL is there already;
  // true when added.
  bool add(size_t i) {
    std::string_view url = urls_[i].url;
    size_t hash = hashOf(url);
    size_t at = slotOf(url, hash);
    if (slots_[at].position != kEmptySlot) return false;
    slots_[at] = Slot{static_cast<uint32_t>(hash), static_cast<uint32_t>(i)};
    return true;
  }

  // The position stored for url, if any.
  std::optional<size_t> find(std::string_view url) const {
    uint32_t position = slots_[slotOf(url, hashOf(url))].position;
    if (position == kEmptySlot) return std::nullopt;
    return position;
  }

 private:
  static constexpr uint32_t kEmptySlot = UINT32_MAX;  // lists are far shorter
  struct Slot {
    uint32_t hash = 0;
    uint32_t position = kEmptySlot;
  };

  static size_t hashOf(std::string_view url) { return std::hash<std::string_view>()(url); }

  // The slot that holds url, or the empty slot where it would go.
  size_t slotOf(std::string_view url, size_t hash) const {
    size_t at = hash & mask_;
    uint32_t shortHash = static_cast<uint32_t>(hash);
    while (slots_[at].position != kEmptySlot &&
           (slots_[at].hash != shortHash || urls_[slots_[at].position].url != url)) {
      at = (at + 1) & mask_;
    }
    return at;
  }

  const std::vector<UrlStatus>& urls_;
  std::vector<Slot> slots_;
  size_t mask_ = 0;
};

// Drops every entry whose URL occurs again later; the kept entries stay in
// order, so the last occurrence of each URL survives.
void removeDuplicateUrls(std::vector<UrlStatus>& urls) {
  std::vector<bool> keep(urls.size());
  {
    UrlIndex later(urls);
    for (size_t i = urls.size(); i-- > 0;) keep[i] = later.add(i);
  }
  size_t kept = 0;
  for (size_t i = 0; i < urls.size(); ++i) {
    if (!keep[i]) continue;
    if (kept != i) urls[kept] = urls[i];
    ++kept;
  }
  urls.resize(kept);
}

void copyCheckResults(const UrlStatus& from, UrlStatus& to) {
  to.lastCheck = from.lastCheck;
  to.resultCode = from.resultCode;
  to.flags = static_cast<uint8_t>((to.flags & ~kResultFlags) | (from.flags & kResultFlags));
  to.responseMs = from.responseMs;
  to.banIndex = from.banIndex;
  to.presIndex = from.presIndex;
}

// Pairs every file record with the first entry of the caller's list that has
// its URL; with copyResults the entry takes the record's check results (its
// own check switches stay). Returns which records were paired.
std::vector<bool> pairStoredUrls(const std::vector<UrlStatus>& records,
                                 std::vector<UrlStatus>& given, bool copyResults) {
  UrlIndex firstIndex(given);
  for (size_t i = 0; i < given.size(); ++i) firstIndex.add(i);
  std::vector<bool> paired(records.size());
  for (size_t i = 0; i < records.size(); ++i) {
    std::optional<size_t> found = firstIndex.find(records[i].url);
    if (!found) continue;
    paired[i] = true;
    if (copyResults) copyCheckResults(records[i], given[*found]);
  }
  return paired;
}

// ---- Images ------------------------------------------------------------------

void appendRecords(std::string& out, const std::vector<UrlStatus>& urls) {
  for (const UrlStatus& entry : urls) {
    size_t at = out.size();
    out.resize(at + kUrlStatusSize);
    encodeUrlStatus(entry, reinterpret_cast<uint8_t*>(out.data() + at));
    out += entry.url;
    out += '\0';
  }
}

// What a content area holds once written.
struct ContentArea {
  int32_t count = 0;
  int32_t bytes = 0;
};

// Appends the contents in lower case, each cut at a NUL and ended by one;
// a content that is empty after the cut is left out.
ContentArea appendContentArea(std::string& out, const std::vector<std::string_view>& contents) {
  const size_t start = out.size();
  int32_t count = 0;
  for (std::string_view content : contents) {
    std::string_view text = content.substr(0, content.find('\0'));
    if (text.empty()) continue;
    out += lowerCopy(text);
    out += '\0';
    ++count;
  }
  return {count, static_cast<int32_t>(out.size() - start)};
}

// The file as read under the lock.
struct StoredGroup {
  GroupConfig group;
  GroupLayout layout;
};

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

// The unpaired records stay, the caller's entries follow in its order. With a
// damaged file holding one URL twice, both copies pair with one entry.
std::string imageAddingUrls(const StoredGroup& stored, GroupConfig& config) {
  std::vector<bool> paired = pairStoredUrls(stored.group.urls, config.urls, true);
  std::string records;
  size_t kept = appendUnpairedRecords(records, stored, paired);
  appendRecords(records, config.urls);
  return storedHead(stored, kept + config.urls.size()) + records;
}

// kWriteUrls and kRewriteUrls (keepResults): the caller's list replaces the
// file's; only the second needs the pairing.
std::string imageWritingUrls(const StoredGroup& stored, GroupConfig& config, bool keepResults) {
  if (keepResults) pairStoredUrls(stored.group.urls, config.urls, true);
  std::string out = storedHead(stored, config.urls.size());
  appendRecords(out, config.urls);
  return out;
}

std::string imageDeletingUrls(const StoredGroup& stored, GroupConfig& config) {
  std::vector<bool> paired = pairStoredUrls(stored.group.urls, config.urls, false);
  std::string records;
  size_t kept = appendUnpairedRecords(records, stored, paired);
  return storedHead(stored, kept) + records;
}

// kStoreSettings (keepStoredUrls) and kStoreGroup: settings and contents from
// the caller, then the file's URL records unchanged or the caller's list.
std::string imageStoringGroup(const StoredGroup& stored, const GroupConfig& config,
                              bool keepStoredUrls) {
  GroupHeader header = keepStoredUrls ? stored.layout.header : GroupHeader();
  header.checkInterval = config.checkInterval;
  header.inform = config.inform;
  header.options = config.options;
  header.moreOptions = config.moreOptions & kMoreStoredMask;
  std::string out(kGroupHeaderSize, '\0');
  const ContentArea banned = appendContentArea(out, config.banContents);
  const ContentArea present = appendContentArea(out, config.presContents);
  header.banCount = banned.count;
  header.banBytes = banned.bytes;
  header.presCount = present.count;
  header.presBytes = present.bytes;
  if (keepStoredUrls) {
    size_t urlStart = stored.layout.urlStart(), urlEnd = stored.layout.urlEnd;
    if (urlEnd > urlStart) out.append(stored.group.fileImage.data() + urlStart, urlEnd - urlStart);
  } else {
    header.urlCount = config.urlCount();
    appendRecords(out, config.urls);
  }
  encodeGroupHeader(header, reinterpret_cast<uint8_t*>(out.data()));
  return out;
}

std::string newImage(const StoredGroup& stored, GroupConfig& config, GroupMode mode) {
  switch (mode) {
    case GroupMode::kAddUrls:
      return imageAddingUrls(stored, config);
    case GroupMode::kWriteUrls:
      return imageWritingUrls(stored, config, false);
    case GroupMode::kRewriteUrls:
      return imageWritingUrls(stored, config, true);
    case GroupMode::kDeleteUrls:
      return imageDeletingUrls(stored, config);
    case GroupMode::kStoreSettings:
      return imageStoringGroup(stored, config, true);
    default:  // kStoreGroup
      return imageStoringGroup(stored, config, false);
  }
}

// ---- Modes -------------------------------------------------------------------

void listUrls(const StoredGroup& stored, const GroupConfig& config, std::string* listing) {
  std::string text;
  for (const UrlStatus& record : stored.group.urls) {
    if (!config.urlFilter || record.url == *config.urlFilter) text += urlListingLine(record, 0);
  }
  if (listing) {
    *listing += text;
  } else {
    std::fwrite(text.data(), 1, text.size(), stdout);
  }
}

bool isStoringMode(GroupMode mode) {
  return mode == GroupMode::kStoreSettings || mode == GroupMode::kStoreGroup ||
         mode == GroupMode::kAddUrls || mode == GroupMode::kWriteUrls ||
         mode == GroupMode::kRewriteUrls;
}

bool takesNewList(GroupMode mode) {
  return mode == GroupMode::kAddUrls || mode == GroupMode::kWriteUrls ||
         mode == GroupMode::kRewriteUrls || mode == GroupMode::kStoreGroup;
}

// The record keeps the file open without its lock, as its source.
void keepAsSource(GroupConfig& config, LockedFile& locked) {
  unlockFile(locked.fd.get());
  config.source = SourceFile{std::move(locked.fd), locked.identity};
}

// One access under the lock. An empty file is a group being created by a
// writer that has not written it yet (or that failed): no group to read,
// nothing to keep for a writer. A new group whose first image cannot be
// written leaves no empty file behind.
ErrAction accessLocked(const std::string& path, LockedFile& locked, GroupConfig& config,
                       GroupMode mode, std::string* listing) {
  const bool isNew = locked.size() == 0;
  if (isNew && !isStoringMode(mode)) return ErrAction::kReadFile;
  StoredGroup stored;
  if (!isNew && mode != GroupMode::kStoreGroup) {
    ErrAction rc = readGroupFile(locked, stored.group, stored.layout);
    if (rc != ErrAction::kOk) return rc;
  }
  if (mode == GroupMode::kRead) {
    config = std::move(stored.group);
    keepAsSource(config, locked);
    return ErrAction::kOk;
  }
  if (mode == GroupMode::kListUrls) {
    listUrls(stored, config, listing);
    return ErrAction::kOk;
  }
  ErrAction rc = replaceGroupFile(path, locked, newImage(stored, config, mode));
  if (rc != ErrAction::kOk && isNew) ::unlink(path.c_str());
  return rc;
}

// ---- Status write-back ---------------------------------------------------------

// The 28 bytes of an entry written at the start of its record, when the file
// has one for it.
// Writes the entry's result into its record, keeping the record's check
// switches: they are the administrator's, and a change of them that stored
// the group after this entry was read must stand. The caller holds the lock.
ErrAction writeStatusAt(int fd, const UrlStatus& entry) {
  if (entry.fileOffset == 0 || entry.fileOffset == kUnknownFileOffset) return ErrAction::kOk;
  uint8_t storedFlags = 0;
  if (::pread(fd, &storedFlags, 1, static_cast<off_t>(entry.fileOffset + kStatusFlagsOffset)) !=
      1) {
    return ErrAction::kShortRead;
  }
  UrlStatus result = entry;
  result.flags = static_cast<uint8_t>((entry.flags & ~kSwitchFlags) | (storedFlags & kSwitchFlags));
  char stored[kUrlStatusSize];
  encodeUrlStatus(result, reinterpret_cast<uint8_t*>(stored));
  return writeAt(fd, std::string_view(stored, sizeof stored), entry.fileOffset);
}

// Takes every entry's record offset from the locked file (the first record
// with its URL; 0 when the file no longer stores it).
ErrAction takeOffsetsFrom(const LockedFile& locked, GroupConfig& config) {
  GroupConfig current;
  GroupLayout layout;
  if (locked.size() != 0) {
    ErrAction rc = readGroupFile(locked, current, layout);
    if (rc != ErrAction::kOk) return rc;
  }
  UrlIndex firstRecord(current.urls);
  for (size_t i = 0; i < current.urls.size(); ++i) firstRecord.add(i);
  for (UrlStatus& entry : config.urls) {
    std::optional<size_t> found = firstRecord.find(storedUrl(entry.url));
    entry.fileOffset = found ? current.urls[*found].fileOffset : 0;
  }
  return ErrAction::kOk;
}

// The write-back when the file at path is still the record's source: the
// offsets hold. False when it is not (nothing was written).
bool writeToUnchangedSource(const std::string& path, GroupConfig& config, const UrlStatus& entry,
                            ErrAction& rc) {
  if (!config.source.known() || entry.fileOffset == kUnknownFileOffset) return false;
  const int fd = config.source.fd.get();
  if (!lockFile(fd)) {
    rc = ErrAction::kLockFile;
    return true;
  }
  const bool unchanged = identityOf(path) == config.source.identity;
  if (unchanged) rc = writeStatusAt(fd, entry);
  unlockFile(fd);
  return unchanged;
}

}  // namespace

void encodeGroupHeader(const GroupHeader& h, uint8_t* out) {
  std::fill(out, out + kGroupHeaderSize, 0);
  le::putI32(out + kGroupCheckIntervalOffset, h.checkInterval);
  le::putText(out + kGroupInformOffset, kGroupInformSize, h.inform);
  le::putU8(out + kGroupOptionsOffset, h.options);
  le::putU8(out + kGroupMoreOptionsOffset, h.moreOptions & kMoreStoredMask);
  le::putI32(out + kGroupUrlCountOffset, h.urlCount);
  le::putI32(out + kGroupBanCountOffset, h.banCount);
  le::putI32(out + kGroupPresCountOffset, h.presCount);
  le::putI32(out + kGroupBanBytesOffset, h.banBytes);
  le::putI32(out + kGroupPresBytesOffset, h.presBytes);
}

GroupHeader decodeGroupHeader(const uint8_t* in) {
  GroupHeader h;
  h.checkInterval = le::getI32(in + kGroupCheckIntervalOffset);
  h.inform = le::getText(in + kGroupInformOffset, kGroupInformSize).substr(0, kMaxInformLength);
  h.options = le::getU8(in + kGroupOptionsOffset);
  h.moreOptions = le::getU8(in + kGroupMoreOptionsOffset);
  h.urlCount = le::getI32(in + kGroupUrlCountOffset);
  h.banCount = le::getI32(in + kGroupBanCountOffset);
  h.presCount = le::getI32(in + kGroupPresCountOffset);
  h.banBytes = le::getI32(in + kGroupBanBytesOffset);
  h.presBytes = le::getI32(in + kGroupPresBytesOffset);
  return h;
}

void encodeUrlStatus(const UrlStatus& s, uint8_t* out) {
  std::fill(out, out + kUrlStatusSize, 0);
  le::putU32(out + kStatusLastCheckOffset, s.lastCheck);
  le::putI16(out + kStatusResultCodeOffset, s.resultCode);
  le::putU8(out + kStatusFlagsOffset, s.flags & kUrlStoredFlagsMask);
  le::putU32(out + kStatusResponseMsOffset, s.responseMs);
  le::putI16(out + kStatusBanIndexOffset, s.banIndex);
  le::putI16(out + kStatusPresIndexOffset, s.presIndex);
}

UrlStatus decodeUrlStatus(const uint8_t* in) {
  UrlStatus s;
  s.lastCheck = le::getU32(in + kStatusLastCheckOffset);
  s.resultCode = le::getI16(in + kStatusResultCodeOffset);
  s.flags = le::getU8(in + kStatusFlagsOffset);
  s.responseMs = le::getU32(in + kStatusResponseMsOffset);
  s.banIndex = le::getI16(in + kStatusBanIndexOffset);
  s.presIndex = le::getI16(in + kStatusPresIndexOffset);
  return s;
}

ErrAction decodeGroupFile(std::string_view bytes, GroupConfig& group) {
  group = GroupConfig();
  GroupLayout layout;
  return decodeGroupImage(FileImage(bytes.begin(), bytes.end()), group, layout);
}

namespace {

// What a first URL "all" of a deletion means: the whole group (the worker's
// service commands ask for that), or just a URL of that text.
enum class AllUrl { kRemovesGroup, kIsAUrl };

ErrAction accessGroup(const std::string& name, GroupConfig& config, GroupMode mode,
                      std::string* listing, AllUrl all) {
  const bool storing = isStoringMode(mode);
  const std::string group = effectiveGroupName(name);
  if (!isValidGroupName(group)) return storing ? ErrAction::kWriteFile : ErrAction::kReadFile;
  if (mode != GroupMode::kRead && mode != GroupMode::kListUrls) cutUrlsAtNul(config.urls);
  if (takesNewList(mode)) removeDuplicateUrls(config.urls);
  const std::string path = groupFilePath(group);
  if (mode == GroupMode::kDeleteUrls && all == AllUrl::kRemovesGroup && !config.urls.empty() &&
      config.urls.front().url == "all") {
    return removeGroupFile(path);
  }
  const bool reading = mode == GroupMode::kRead || mode == GroupMode::kListUrls;
  LockedFile locked;
  ErrAction rc = openLocked(
      path, reading ? Opening::kRead : (storing ? Opening::kCreate : Opening::kChange), locked);
  if (rc != ErrAction::kOk) return rc;
  return accessLocked(path, locked, config, mode, listing);
}

}  // namespace

ErrAction accessGroupFile(const std::string& name, GroupConfig& config, GroupMode mode,
                          std::string* listing) {
  return accessGroup(name, config, mode, listing, AllUrl::kRemovesGroup);
}

ErrAction deleteUrls(const std::string& name, const std::vector<std::string>& urls) {
  GroupConfig config;
  for (const std::string& url : urls) config.addUrl(url);
  return accessGroup(name, config, GroupMode::kDeleteUrls, nullptr, AllUrl::kIsAUrl);
}

ErrAction removeGroupFile(const std::string& path) {
  if (!isRegularFile(path)) return ErrAction::kReadFile;
  LockedFile locked;
  ErrAction rc = openLocked(path, Opening::kChange, locked);
  if (rc != ErrAction::kOk) return rc;
  return ::unlink(path.c_str()) == 0 ? ErrAction::kOk : ErrAction::kRemoveFile;
}

ErrAction updateUrlStatus(GroupConfig& config, int index) {
  if (index < 0 || index >= config.urlCount()) return ErrAction::kWriteFile;
  if (!isValidGroupName(config.groupName)) return ErrAction::kWriteFile;
  const std::string path = groupFilePath(config.groupName);
  const UrlStatus& entry = config.urls[static_cast<size_t>(index)];
  ErrAction rc = ErrAction::kOk;
  if (writeToUnchangedSource(path, config, entry, rc)) return rc;

  // The group was replaced since it was read (or never read from its file):
  // find every record again in the file now at the path.
  LockedFile locked;
  rc = openLocked(path, Opening::kChange, locked);
  if (rc != ErrAction::kOk) return rc == ErrAction::kReadFile ? ErrAction::kWriteFile : rc;
  rc = takeOffsetsFrom(locked, config);
  if (rc != ErrAction::kOk) return rc;
  rc = writeStatusAt(locked.fd.get(), entry);
  keepAsSource(config, locked);
  return rc;
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

}  // namespace vy
