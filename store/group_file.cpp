// The group database file: codec, the access modes and the status writer;
// see group_file.h for the layout.
//
// Every mode reads the whole file under the lock into one image and refers to
// its texts in place. The URL lists of the caller and of the file are paired
// through hash tables, so every mode stays linear in the number of URLs: the
// caller's list keeps the last occurrence of each URL, and a file record pairs
// with the first caller entry that has its URL. Writes are built in memory and
// go out in one piece per area; records of the file that are written back
// unchanged are copied byte for byte from the image, and records in front of
// the first change are not written at all.
#include "store/group_file.h"

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <new>
#include <optional>

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
constexpr long long kMaxGroupFileSize = 0xFFFFFFFELL;
constexpr uint8_t kResultFlags = kUrlUp | kUrlBanFound | kUrlPresOk;

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

// ---- Raw I/O -----------------------------------------------------------------

bool seekTo(int fd, size_t offset) {
  return ::lseek(fd, static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(offset);
}

int writeAt(int fd, std::string_view bytes, size_t offset) {
  if (offset + bytes.size() > static_cast<size_t>(kMaxGroupFileSize)) return kErrShortWrite;
  return seekTo(fd, offset) && writeFully(fd, bytes.data(), bytes.size()) ? kOk : kErrShortWrite;
}

int cutAt(int fd, size_t size) {
  return ::ftruncate(fd, static_cast<off_t>(size)) == 0 ? kOk : kErrShortWrite;
}

int writeHeader(int fd, const GroupHeader& header) {
  char bytes[kGroupHeaderSize];
  encodeGroupHeader(header, reinterpret_cast<uint8_t*>(bytes));
  return writeAt(fd, std::string_view(bytes, sizeof bytes), 0);
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

// Decodes the image into group, which takes the image over. 0, 4 or 12.
int decodeGroupImage(std::vector<char> image, GroupConfig& group, GroupLayout& layout) {
  group.fileImage = std::move(image);
  std::string_view bytes(group.fileImage.data(), group.fileImage.size());
  if (bytes.size() < kGroupHeaderSize) return kErrShortRead;
  GroupHeader& h = layout.header;
  h = decodeGroupHeader(reinterpret_cast<const uint8_t*>(bytes.data()));
  if (!headerFitsImage(h, bytes.size())) return kErrShortRead;
  try {
    group.banContents.reserve(static_cast<size_t>(h.banCount));
    group.presContents.reserve(static_cast<size_t>(h.presCount));
    group.urls.reserve(static_cast<size_t>(h.urlCount));
  } catch (const std::bad_alloc&) {
    return kErrAllocation;
  }
  size_t presStart = kGroupHeaderSize + static_cast<size_t>(h.banBytes);
  if (!decodeTexts(bytes.substr(kGroupHeaderSize, static_cast<size_t>(h.banBytes)), h.banCount,
                   group.banContents) ||
      !decodeTexts(bytes.substr(presStart, static_cast<size_t>(h.presBytes)), h.presCount,
                   group.presContents) ||
      !decodeUrlRecords(bytes, layout, group.urls)) {
    return kErrShortRead;
  }
  group.checkInterval = h.checkInterval;
  group.inform = h.inform;
  group.options = h.options;
  group.moreOptions = h.moreOptions & kMoreStoredMask;
  return kOk;
}

// Reads the whole locked file and decodes it. 0, 4 or 12.
int readGroupFile(int fd, GroupConfig& group, GroupLayout& layout) {
  long long size = fileSizeOf(fd);
  if (size < 0 || size > kMaxGroupFileSize) return kErrShortRead;
  std::vector<char> image;
  try {
    image.resize(static_cast<size_t>(size));
  } catch (const std::bad_alloc&) {
    return kErrAllocation;
  }
  ssize_t n = seekTo(fd, 0) ? readFully(fd, image.data(), image.size()) : -1;
  if (n < 0) return kErrShortRead;
  image.resize(static_cast<size_t>(n));
  return decodeGroupImage(std::move(image), group, layout);
}

// ---- Lists -------------------------------------------------------------------

// A stored URL is a C text: whatever follows a NUL never reaches the file.
void cutUrlsAtNul(std::vector<UrlStatus>& urls) {
  for (UrlStatus& entry : urls) entry.url = entry.url.substr(0, entry.url.find('\0'));
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
// its URL and marks both; with copyResults the entry takes the record's check
// results (its own check switches stay). Returns the number of file records
// paired.
size_t matchStoredUrls(std::vector<UrlStatus>& records, std::vector<UrlStatus>& given,
                       bool copyResults) {
  UrlIndex firstIndex(given);
  for (size_t i = 0; i < given.size(); ++i) firstIndex.add(i);
  size_t matches = 0;
  for (UrlStatus& record : records) {
    std::optional<size_t> found = firstIndex.find(record.url);
    if (!found) continue;
    UrlStatus& entry = given[*found];
    record.matched = entry.matched = true;
    if (copyResults) copyCheckResults(record, entry);
    ++matches;
  }
  return matches;
}

// Where the first paired file record starts; the records in front of it stay
// where they are. The end of the records when none is paired.
size_t firstMatchedOffset(const std::vector<UrlStatus>& records, size_t urlEnd) {
  for (const UrlStatus& record : records) {
    if (record.matched) return record.fileOffset;
  }
  return urlEnd;
}

// ---- Encoding ----------------------------------------------------------------

size_t recordsSize(const std::vector<UrlStatus>& urls) {
  size_t size = 0;
  for (const UrlStatus& entry : urls) size += kUrlStatusSize + entry.url.size() + 1;
  return size;
}

void appendRecords(std::string& out, const std::vector<UrlStatus>& urls) {
  for (const UrlStatus& entry : urls) {
    size_t at = out.size();
    out.resize(at + kUrlStatusSize);
    encodeUrlStatus(entry, reinterpret_cast<uint8_t*>(out.data() + at));
    out += entry.url;
    out += '\0';
  }
}

// Appends the contents in lower case, each cut at a NUL and ended by one;
// returns the size of the area.
int32_t appendContentArea(std::string& out, const std::vector<std::string_view>& contents) {
  size_t start = out.size();
  for (std::string_view content : contents) {
    out += lowerCopy(content.substr(0, content.find('\0')));
    out += '\0';
  }
  return static_cast<int32_t>(out.size() - start);
}

// ---- Modes -------------------------------------------------------------------

// One locked access: the descriptor and the file as read.
struct GroupAccess {
  int fd = -1;
  GroupConfig stored;
  GroupLayout layout;
};

// Appends, byte for byte from the image, the file's records from offset from
// on that were not paired, in file order.
void appendUnpairedRecords(std::string& out, const GroupAccess& access, size_t from) {
  for (const UrlStatus& record : access.stored.urls) {
    if (record.fileOffset >= from && !record.matched) {
      out.append(access.stored.fileImage.data() + record.fileOffset,
                 kUrlStatusSize + record.url.size() + 1);
    }
  }
}

// Writes records over the URL area from offset from on, cuts the file behind
// them when asked, then writes the header with the new URL count.
int writeRecordsFrom(GroupAccess& access, size_t from, const std::string& records, int64_t urlCount,
                     bool cut) {
  int rc = writeAt(access.fd, records, from);
  if (rc == kOk && cut) rc = cutAt(access.fd, from + records.size());
  if (rc != kOk) return rc;
  GroupHeader header = access.layout.header;
  header.urlCount = static_cast<int32_t>(urlCount);
  return writeHeader(access.fd, header);
}

// The file only grows: pairs leave it and come back in the caller's order
// behind the unpaired records. With a damaged file holding one URL twice, both
// copies pair with one entry.
int addUrls(GroupAccess& access, GroupConfig& config) {
  size_t matches = matchStoredUrls(access.stored.urls, config.urls, true);
  size_t from = firstMatchedOffset(access.stored.urls, access.layout.urlEnd);
  std::string out;
  out.reserve(access.layout.urlEnd - from + recordsSize(config.urls));
  appendUnpairedRecords(out, access, from);
  appendRecords(out, config.urls);
  int64_t count = int64_t{access.layout.header.urlCount} +
                  static_cast<int64_t>(config.urls.size()) - static_cast<int64_t>(matches);
  return writeRecordsFrom(access, from, out, count, false);
}

// 'w' and 'f' (keepResults): the caller's list replaces the file's; only 'f'
// needs the pairing.
int writeUrls(GroupAccess& access, GroupConfig& config, bool keepResults) {
  if (keepResults) matchStoredUrls(access.stored.urls, config.urls, true);
  std::string out;
  out.reserve(recordsSize(config.urls));
  appendRecords(out, config.urls);
  return writeRecordsFrom(access, access.layout.urlStart(), out, config.urlCount(), true);
}

int deleteUrls(GroupAccess& access, GroupConfig& config) {
  size_t matches = matchStoredUrls(access.stored.urls, config.urls, false);
  size_t from = firstMatchedOffset(access.stored.urls, access.layout.urlEnd);
  std::string out;
  out.reserve(access.layout.urlEnd - from);
  appendUnpairedRecords(out, access, from);
  int64_t kept = int64_t{access.layout.header.urlCount} - static_cast<int64_t>(matches);
  return writeRecordsFrom(access, from, out, kept, true);
}

// 's' (keepStoredUrls) and 'm': settings and contents from the caller, then
// the file's URL records unchanged or the caller's list.
int storeGroup(GroupAccess& access, GroupConfig& config, bool keepStoredUrls) {
  GroupHeader header = keepStoredUrls ? access.layout.header : GroupHeader();
  header.checkInterval = config.checkInterval;
  header.inform = config.inform;
  header.options = config.options;
  header.moreOptions = config.moreOptions & kMoreStoredMask;
  header.banCount = config.banCount();
  header.presCount = config.presCount();
  std::string out(kGroupHeaderSize, '\0');
  header.banBytes = appendContentArea(out, config.banContents);
  header.presBytes = appendContentArea(out, config.presContents);
  if (keepStoredUrls) {
    size_t urlStart = access.layout.urlStart(), urlEnd = access.layout.urlEnd;
    if (urlEnd > urlStart) out.append(access.stored.fileImage.data() + urlStart, urlEnd - urlStart);
  } else {
    header.urlCount = config.urlCount();
    appendRecords(out, config.urls);
  }
  encodeGroupHeader(header, reinterpret_cast<uint8_t*>(out.data()));
  int rc = writeAt(access.fd, out, 0);
  return rc != kOk ? rc : cutAt(access.fd, out.size());
}

void listUrls(const GroupAccess& access, const GroupConfig& config, std::string* listing) {
  std::string text;
  for (const UrlStatus& record : access.stored.urls) {
    if (!config.urlFilter || record.url == *config.urlFilter) text += urlListingLine(record);
  }
  if (listing) {
    *listing += text;
  } else {
    std::fwrite(text.data(), 1, text.size(), stdout);
  }
}

int runMode(GroupAccess& access, GroupConfig& config, char mode, std::string* listing) {
  switch (mode) {
    case 'r':
      config = std::move(access.stored);
      return kOk;
    case 'g':
      listUrls(access, config, listing);
      return kOk;
    case 'a':
      return addUrls(access, config);
    case 'w':
      return writeUrls(access, config, false);
    case 'f':
      return writeUrls(access, config, true);
    case 'd':
      return deleteUrls(access, config);
    case 's':
      return storeGroup(access, config, true);
    default:  // 'm'
      return storeGroup(access, config, false);
  }
}

bool isStoringMode(char mode) {
  return mode == 's' || mode == 'm' || mode == 'a' || mode == 'w' || mode == 'f';
}

bool takesNewList(char mode) { return mode == 'a' || mode == 'w' || mode == 'f' || mode == 'm'; }

// True when the URL text stored behind the status at offset is url.
bool urlStoredAt(int fd, uint32_t offset, std::string_view url) {
  std::string stored(url.size() + 1, '\1');
  ssize_t n = seekTo(fd, size_t{offset} + kUrlStatusSize)
                  ? readFully(fd, stored.data(), stored.size())
                  : -1;
  return n == static_cast<ssize_t>(stored.size()) && stored.back() == '\0' &&
         std::string_view(stored).substr(0, url.size()) == url;
}

int accessLocked(GroupAccess& access, GroupConfig& config, char mode, std::string* listing) {
  bool isNew = isStoringMode(mode) && fileSizeOf(access.fd) == 0;
  if (mode != 'm' && !isNew) {
    int rc = readGroupFile(access.fd, access.stored, access.layout);
    if (rc != kOk) return rc;
  }
  try {
    return runMode(access, config, mode, listing);
  } catch (const std::bad_alloc&) {
    return kErrAllocation;
  }
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

int accessGroupFile(const std::string& name, GroupConfig& config, char mode, std::string* listing) {
  bool storing = isStoringMode(mode);
  if (!storing && mode != 'r' && mode != 'd' && mode != 'g') return kErrReadFile;
  std::string group = effectiveGroupName(name);
  if (!isValidGroupName(group)) return storing ? kErrWriteFile : kErrReadFile;
  try {
    if (mode != 'r' && mode != 'g') cutUrlsAtNul(config.urls);
    if (takesNewList(mode)) removeDuplicateUrls(config.urls);
  } catch (const std::bad_alloc&) {
    return kErrAllocation;
  }
  std::string path = groupFilePath(group);
  if (!storing) {
    if (!isRegularFile(path)) return kErrReadFile;
    if (mode == 'd' && !config.urls.empty() && config.urls.front().url == "all") {
      return ::unlink(path.c_str()) == 0 ? kOk : kErrRemoveFile;
    }
  }
  UniqueFd fd = openFd(path.c_str(), storing ? O_RDWR | O_CREAT : O_RDWR, 0666);
  if (!fd) return kErrWriteFile;
  if (lockFile(fd.get()) != 0) return kErrLockFile;
  GroupAccess access;
  access.fd = fd.get();
  return accessLocked(access, config, mode, listing);
}

int updateUrlStatus(GroupConfig& config, int index) {
  if (index < 0 || index >= config.urlCount()) return kErrWriteFile;
  if (!isValidGroupName(config.groupName)) return kErrWriteFile;
  UniqueFd fd = openFd(groupFilePath(config.groupName).c_str(), O_RDWR);
  if (!fd) return kErrWriteFile;
  if (lockFile(fd.get()) != 0) return kErrLockFile;

  UrlStatus& entry = config.urls[static_cast<size_t>(index)];
  std::string_view url = entry.url.substr(0, entry.url.find('\0'));
  char stored[kUrlStatusSize];
  encodeUrlStatus(entry, reinterpret_cast<uint8_t*>(stored));
  std::string_view status(stored, sizeof stored);
  if (entry.fileOffset > 0 && entry.fileOffset != kUnknownFileOffset &&
      urlStoredAt(fd.get(), entry.fileOffset, url)) {
    return writeAt(fd.get(), status, entry.fileOffset);
  }

  // The file changed since it was read (or the position was never known):
  // find the URL by walking the records.
  GroupConfig current;
  GroupLayout layout;
  int rc = readGroupFile(fd.get(), current, layout);
  if (rc != kOk) return rc;
  for (const UrlStatus& record : current.urls) {
    if (record.url != url) continue;
    rc = writeAt(fd.get(), status, record.fileOffset);
    if (rc == kOk) entry.fileOffset = record.fileOffset;
    return rc;
  }
  return kOk;  // the URL was deleted meanwhile
}

std::string urlListingLine(const UrlStatus& status) {
  std::string line(status.url);
  line += ' ';
  line += std::to_string(status.resultBits);
  if (status.banFound()) line += " f=" + std::to_string(status.banIndex);
  if (status.up() && !status.presOk()) line += " p=" + std::to_string(status.presIndex);
  line += " c=" + std::to_string(status.resultCode);
  return line;
}

}  // namespace vy
