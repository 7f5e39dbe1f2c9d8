// The check history: record codec, append, compaction, reads, removal and
// the uptime figures; see history.h.
#include "store/history.h"

#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>
#include <unordered_set>
#include <utility>

#include "common/fd.h"
#include "common/files.h"
#include "common/le.h"
#include "common/locked_file.h"
#include "common/replace_file.h"
#include "common/text.h"
#include "store/group_name.h"
#include "store/side_file.h"

namespace vy {
namespace {

// The check value of a check record: CRC-5 (x^5 + x^2 + 1), which finds
// every changed bit and every burst of up to five, kept in a byte's top bits.
constexpr uint8_t kCrc5Init = 0x1F;
constexpr std::array<uint8_t, 256> crc5Table() {
  std::array<uint8_t, 256> table{};
  for (int i = 0; i < 256; ++i) {
    uint8_t c = static_cast<uint8_t>(i);
    for (int bit = 0; bit < 8; ++bit) {
      c = static_cast<uint8_t>((c & 0x80) ? (c << 1) ^ (0x05 << 3) : (c << 1));
    }
    table[i] = c;
  }
  return table;
}
constexpr std::array<uint8_t, 256> kCrc5Table = crc5Table();

// How many check records the search for the last valid one reads at a time.
constexpr size_t kTailScanRecords = 256;

int64_t dayOf(int64_t time) { return time >= 0 ? time / kSecondsPerDay : -1; }

void addCheck(HistoryDay& day, const HistoryCheck& check) {
  ++day.checks;
  if (check.up()) ++day.upChecks;
  day.responseMsSum += check.responseMs;
  day.responseMsMax = std::max(day.responseMsMax, check.responseMs);
}

void addDay(HistoryDay& into, const HistoryDay& day) {
  into.checks += day.checks;
  into.upChecks += day.upChecks;
  into.responseMsSum += day.responseMsSum;
  into.responseMsMax = std::max(into.responseMsMax, day.responseMsMax);
}

uint64_t checksStart(const HistoryHeader& header) {
  return kHistoryHeaderSize + uint64_t{header.summaryCount} * kHistoryDaySize;
}

std::string encodedChecks(std::span<const KeyedCheck> checks) {
  std::string bytes(checks.size() * kHistoryCheckSize, '\0');
  auto* out = reinterpret_cast<uint8_t*>(bytes.data());
  for (const KeyedCheck& check : checks) {
    encodeHistoryCheck(check, out);
    out += kHistoryCheckSize;
  }
  return bytes;
}

StoreStatus damagedAt(const std::string& path) { return {StoreCode::kDamaged, path}; }

// Where an append goes: the end of the last valid check record, and the
// header's record of the last compaction; none when the header is unreadable.
struct AppendPoint {
  uint64_t end = 0;
  HistoryHeader header;
};

// The end of the last valid check between start and end, reading backwards
// over damaged records; false on a read error.
bool findValidEnd(int fd, uint64_t start, uint64_t& end) {
  std::string block;
  while (end > start) {
    const uint64_t records =
        std::min<uint64_t>((end - start) / kHistoryCheckSize, kTailScanRecords);
    const uint64_t from = end - records * kHistoryCheckSize;
    block.resize(records * kHistoryCheckSize);
    if (readFullyAt(fd, block.data(), block.size(), static_cast<off_t>(from)) !=
        static_cast<ssize_t>(block.size())) {
      return false;
    }
    for (uint64_t i = records; i > 0; --i) {
      const auto* record =
          reinterpret_cast<const uint8_t*>(block.data()) + (i - 1) * kHistoryCheckSize;
      if (decodeHistoryCheck(record)) {
        end = from + i * kHistoryCheckSize;
        return true;
      }
    }
    end = from;
  }
  return true;
}

// kOk with the point; kDamaged when the header is unreadable; kShortRead.
FileStatus findAppendPoint(const LockedFile& file, const std::string& path, AppendPoint& point) {
  const uint64_t size = static_cast<uint64_t>(file.size());
  uint8_t head[kHistoryHeaderSize];
  if (size < kHistoryHeaderSize) return {FileCode::kShortRead, path};
  if (readFullyAt(file.fd.get(), head, sizeof head, 0) != static_cast<ssize_t>(sizeof head)) {
    return {FileCode::kShortRead, path, errno};
  }
  const std::optional<HistoryHeader> header = decodeHistoryHeader(head);
  if (!header || checksStart(*header) > size) return {FileCode::kShortRead, path};
  point.header = *header;
  const uint64_t start = checksStart(*header);
  point.end = start + (size - start) / kHistoryCheckSize * kHistoryCheckSize;
  if (!findValidEnd(file.fd.get(), start, point.end)) return {FileCode::kShortRead, path, errno};
  return FileCode::kOk;
}

std::vector<uint64_t> keysOf(std::span<const std::string_view> urls) {
  std::vector<uint64_t> keys;
  keys.reserve(urls.size() + 1);
  for (std::string_view url : urls) keys.push_back(historyUrlKey(url));
  return keys;
}

// Writes the compacted file of the image (plus the `extra` checks) under
// the held lock.
HistoryWrite writeCompacted(const std::string& path, const LockedFile& file, HistoryImage image,
                            std::vector<uint64_t> keys, std::span<const KeyedCheck> extra,
                            std::time_t now) {
  HistoryWrite result;
  if (image.damagedChecks > 0 || image.cutBytes > 0) result.damage = damagedAt(path);
  for (const KeyedCheck& check : extra) {
    image.checks.push_back(check);
    keys.push_back(check.key);
  }
  compactHistoryRecords(image, keys, now);
  const std::string bytes = encodeHistoryImage(image.days, image.checks, now);
  result.status = storeStatusOf(replaceLockedFile(path, file, bytes, kFileMode));
  result.compacted = result.status.ok();
  return result;
}

// Reads and compacts the locked file; an unreadable one starts afresh.
HistoryWrite compactLocked(const std::string& path, const LockedFile& file,
                           std::vector<uint64_t> keys, std::span<const KeyedCheck> extra,
                           std::time_t now) {
  std::string bytes;
  const FileStatus read = readLockedBytes(file, path, bytes);
  if (!read.ok()) return {storeStatusOf(read), StoreCode::kOk};
  std::optional<HistoryImage> image = decodeHistoryImage(bytes);
  HistoryWrite result = writeCompacted(path, file, image ? std::move(*image) : HistoryImage{},
                                       std::move(keys), extra, now);
  if (!image && !bytes.empty()) result.damage = damagedAt(path);
  return result;
}

StoreStatus writeAt(const LockedFile& file, const std::string& path, std::string_view bytes,
                    uint64_t offset) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::pwrite(file.fd.get(), bytes.data() + done, bytes.size() - done,
                               static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return {StoreCode::kShortWrite, path, errno};
    done += static_cast<size_t>(n);
  }
  return StoreCode::kOk;
}

// The URLs a reader asked for, found by key: an open-addressed table of the
// first index of each key, with the later indexes of a URL given twice
// chained behind it. A file holds millions of records, each looked up once.
class UrlsByKey {
 public:
  explicit UrlsByKey(std::span<const std::string_view> urls) : next_(urls.size(), kNone) {
    size_t size = 16;
    while (size < urls.size() * 2) size *= 2;
    slots_.assign(size, {0, kNone});
    std::vector<size_t> last(size, kNone);
    for (size_t i = 0; i < urls.size(); ++i) {
      const uint64_t key = historyUrlKey(urls[i]);
      size_t at = slotOf(key);
      if (slots_[at].first == kNone) {
        slots_[at] = {key, i};
      } else {
        next_[last[at]] = i;
      }
      last[at] = i;
    }
  }

  // Calls each(index) for every index of the key.
  template <typename Each>
  void forEach(uint64_t key, Each each) const {
    const Slot& slot = slots_[slotOf(key)];
    for (size_t i = slot.first; i != kNone; i = next_[i]) each(i);
  }

 private:
  static constexpr size_t kNone = SIZE_MAX;
  struct Slot {
    uint64_t key;
    size_t first;
  };

  // The slot holding the key, or the empty one where it would go.
  size_t slotOf(uint64_t key) const {
    const size_t mask = slots_.size() - 1;
    size_t at = static_cast<size_t>(key * 0x9E3779B97F4A7C15ull >> 20) & mask;
    while (slots_[at].first != kNone && slots_[at].key != key) at = (at + 1) & mask;
    return at;
  }

  std::vector<Slot> slots_;
  std::vector<size_t> next_;
};

template <typename T, typename Less>
void sortIfNeeded(std::vector<T>& records, Less less) {
  if (!std::is_sorted(records.begin(), records.end(), less)) {
    std::stable_sort(records.begin(), records.end(), less);
  }
}

// A history is read in pieces of whole records of at most this many bytes.
constexpr size_t kReadPieceBytes = 256 * 1024;

// Calls each(record) for count records of recordSize bytes from offset on.
template <typename Each>
FileStatus forEachRecordAt(const LockedFile& file, const std::string& path, uint64_t offset,
                           uint64_t count, size_t recordSize, Each each) {
  const size_t perPiece = kReadPieceBytes / recordSize;
  std::vector<uint8_t> piece(static_cast<size_t>(std::min<uint64_t>(count, perPiece)) * recordSize);
  for (uint64_t done = 0; done < count;) {
    const size_t records = static_cast<size_t>(std::min<uint64_t>(count - done, perPiece));
    const size_t bytes = records * recordSize;
    const off_t at = static_cast<off_t>(offset + done * recordSize);
    if (readFullyAt(file.fd.get(), piece.data(), bytes, at) != static_cast<ssize_t>(bytes)) {
      return {FileCode::kShortRead, path, errno};
    }
    for (size_t i = 0; i < records; ++i) each(piece.data() + i * recordSize);
    done += records;
  }
  return FileCode::kOk;
}

// The records of the open file for the urls, handed to the visitor.
StoreStatus visitLockedHistory(const LockedFile& file, const std::string& path,
                               std::span<const std::string_view> urls, HistoryVisitor& visitor) {
  const uint64_t size = file.size();
  if (size == 0) return StoreCode::kOk;
  std::array<uint8_t, kHistoryHeaderSize> head{};
  if (size < kHistoryHeaderSize) return damagedAt(path);
  if (readFullyAt(file.fd.get(), head.data(), head.size(), 0) != kHistoryHeaderSize) {
    return {StoreCode::kCannotRead, path, errno};
  }
  const std::optional<HistoryHeader> header = decodeHistoryHeader(head.data());
  if (!header || checksStart(*header) > size) return damagedAt(path);
  const UrlsByKey byKey(urls);
  FileStatus read =
      forEachRecordAt(file, path, kHistoryHeaderSize, header->summaryCount, kHistoryDaySize,
                      [&](const uint8_t* record) {
                        const KeyedDay day = decodeHistoryDay(record);
                        byKey.forEach(day.key, [&](size_t url) { visitor.onDay(url, day.day); });
                      });
  if (!read.ok()) return storeStatusOf(read);
  const uint64_t start = checksStart(*header);
  read = forEachRecordAt(file, path, start, (size - start) / kHistoryCheckSize, kHistoryCheckSize,
                         [&](const uint8_t* record) {
                           const std::optional<KeyedCheck> check = decodeHistoryCheck(record);
                           if (!check) return;
                           byKey.forEach(check->key,
                                         [&](size_t url) { visitor.onCheck(url, check->check); });
                         });
  return storeStatusOf(read);
}

// Gathers each URL's records, to be sorted once all are in.
class HistoryCollector : public HistoryVisitor {
 public:
  explicit HistoryCollector(std::vector<UrlHistory>& out) : out_(out) {}
  void onDay(size_t url, const HistoryDay& day) override { out_[url].days.push_back(day); }
  void onCheck(size_t url, const HistoryCheck& check) override {
    out_[url].checks.push_back(check);
  }

 private:
  std::vector<UrlHistory>& out_;
};

}  // namespace

std::string historyPath(std::string_view group) {
  return std::string(kHistoryDir) + "/" + std::string(group) + ".dat";
}

namespace {

// One digest context per thread, made once: pages key ten thousand URLs,
// and a context made for each costs more than the hash.
struct Sha256Context {
  Sha256Context() : context(EVP_MD_CTX_new()), md(EVP_sha256()) {}
  ~Sha256Context() { EVP_MD_CTX_free(context); }
  Sha256Context(const Sha256Context&) = delete;
  Sha256Context& operator=(const Sha256Context&) = delete;
  EVP_MD_CTX* context;
  const EVP_MD* md;
};

}  // namespace

uint64_t historyUrlKey(std::string_view url) {
  std::array<uint8_t, 32> hash{};
  unsigned int size = 0;
  thread_local Sha256Context sha;
  if (!sha.context || EVP_DigestInit_ex(sha.context, sha.md, nullptr) != 1 ||
      EVP_DigestUpdate(sha.context, url.data(), url.size()) != 1 ||
      EVP_DigestFinal_ex(sha.context, hash.data(), &size) != 1) {
    EVP_Digest(url.data(), url.size(), hash.data(), &size, EVP_sha256(), nullptr);
  }
  return le::getU48(hash.data());
}

HistoryCheck historyCheckFor(const UrlStatus& status) {
  HistoryCheck check;
  check.time = status.lastCheck;
  check.state = stateBits(status);
  check.statusCode = status.resultCode;
  check.responseMs = status.responseMs;
  return check;
}

// --- Codec ----------------------------------------------------------------------

uint8_t historyCheckBits(const uint8_t* record, uint8_t state) {
  uint8_t crc = kCrc5Init << 3;
  for (size_t i = 0; i < kHistoryCheckBitsOffset; ++i) crc = kCrc5Table[crc ^ record[i]];
  crc = kCrc5Table[crc ^ (state & kHistoryStateMask)];
  return crc & 0xF8;
}

void encodeHistoryHeader(const HistoryHeader& header, uint8_t* out) {
  std::memset(out, 0, kHistoryHeaderSize);
  std::memcpy(out + kHistoryMagicOffset, kHistoryMagic, kHistoryMagicSize);
  le::putU16(out + kHistoryVersionOffset, kHistoryVersion);
  le::putU32(out + kHistorySummaryCountOffset, header.summaryCount);
  le::putU32(out + kHistoryCompactedAtOffset, header.compactedAt);
  le::putU64(out + kHistoryCompactedSizeOffset, header.compactedSize);
}

std::optional<HistoryHeader> decodeHistoryHeader(const uint8_t* in) {
  if (std::memcmp(in + kHistoryMagicOffset, kHistoryMagic, kHistoryMagicSize) != 0 ||
      le::getU16(in + kHistoryVersionOffset) != kHistoryVersion) {
    return std::nullopt;
  }
  HistoryHeader header;
  header.summaryCount = le::getU32(in + kHistorySummaryCountOffset);
  header.compactedAt = le::getU32(in + kHistoryCompactedAtOffset);
  header.compactedSize = le::getU64(in + kHistoryCompactedSizeOffset);
  return header;
}

void encodeHistoryDay(const KeyedDay& day, uint8_t* out) {
  le::putU48(out + kHistoryDayKeyOffset, day.key);
  le::putU16(out + kHistoryDayDayOffset, day.day.day);
  le::putU32(out + kHistoryDayChecksOffset, day.day.checks);
  le::putU32(out + kHistoryDayUpOffset, day.day.upChecks);
  le::putU64(out + kHistoryDaySumOffset, day.day.responseMsSum);
  le::putU32(out + kHistoryDayMaxOffset, day.day.responseMsMax);
}

KeyedDay decodeHistoryDay(const uint8_t* in) {
  KeyedDay day;
  day.key = le::getU48(in + kHistoryDayKeyOffset);
  day.day.day = le::getU16(in + kHistoryDayDayOffset);
  day.day.checks = le::getU32(in + kHistoryDayChecksOffset);
  day.day.upChecks = le::getU32(in + kHistoryDayUpOffset);
  day.day.responseMsSum = le::getU64(in + kHistoryDaySumOffset);
  day.day.responseMsMax = le::getU32(in + kHistoryDayMaxOffset);
  return day;
}

void encodeHistoryCheck(const KeyedCheck& check, uint8_t* out) {
  const uint8_t state = check.check.state & kHistoryStateMask;
  le::putU48(out + kHistoryCheckKeyOffset, check.key);
  le::putU32(out + kHistoryCheckTimeOffset, check.check.time);
  le::putU24(out + kHistoryCheckMsOffset, std::min(check.check.responseMs, kHistoryMaxResponseMs));
  le::putI16(out + kHistoryCheckStatusOffset, check.check.statusCode);
  out[kHistoryCheckBitsOffset] = static_cast<uint8_t>(state | historyCheckBits(out, state));
}

std::optional<KeyedCheck> decodeHistoryCheck(const uint8_t* in) {
  const uint8_t state = in[kHistoryCheckBitsOffset] & kHistoryStateMask;
  if ((in[kHistoryCheckBitsOffset] & ~kHistoryStateMask) != historyCheckBits(in, state)) {
    return std::nullopt;
  }
  KeyedCheck check;
  check.key = le::getU48(in + kHistoryCheckKeyOffset);
  check.check.time = le::getU32(in + kHistoryCheckTimeOffset);
  check.check.responseMs = le::getU24(in + kHistoryCheckMsOffset);
  check.check.statusCode = le::getI16(in + kHistoryCheckStatusOffset);
  check.check.state = state;
  if (check.check.time == 0) return std::nullopt;
  return check;
}

std::optional<HistoryImage> decodeHistoryImage(std::string_view bytes) {
  const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
  if (bytes.size() < kHistoryHeaderSize) return std::nullopt;
  const std::optional<HistoryHeader> header = decodeHistoryHeader(data);
  if (!header) return std::nullopt;
  const uint64_t start = checksStart(*header);
  if (start > bytes.size()) return std::nullopt;
  HistoryImage image;
  image.header = *header;
  image.days.reserve(header->summaryCount);
  for (uint32_t i = 0; i < header->summaryCount; ++i) {
    image.days.push_back(decodeHistoryDay(data + kHistoryHeaderSize + i * kHistoryDaySize));
  }
  const size_t records = (bytes.size() - start) / kHistoryCheckSize;
  image.cutBytes = (bytes.size() - start) % kHistoryCheckSize;
  image.checks.reserve(records);
  for (size_t i = 0; i < records; ++i) {
    std::optional<KeyedCheck> check = decodeHistoryCheck(data + start + i * kHistoryCheckSize);
    if (check) {
      image.checks.push_back(*check);
    } else {
      ++image.damagedChecks;
    }
  }
  return image;
}

std::string encodeHistoryImage(const std::vector<KeyedDay>& days,
                               const std::vector<KeyedCheck>& checks, std::time_t now) {
  const size_t size =
      kHistoryHeaderSize + days.size() * kHistoryDaySize + checks.size() * kHistoryCheckSize;
  std::string bytes(size, '\0');
  auto* out = reinterpret_cast<uint8_t*>(bytes.data());
  HistoryHeader header;
  header.summaryCount = static_cast<uint32_t>(days.size());
  header.compactedAt = static_cast<uint32_t>(now);
  header.compactedSize = size;
  encodeHistoryHeader(header, out);
  out += kHistoryHeaderSize;
  for (const KeyedDay& day : days) {
    encodeHistoryDay(day, out);
    out += kHistoryDaySize;
  }
  for (const KeyedCheck& check : checks) {
    encodeHistoryCheck(check, out);
    out += kHistoryCheckSize;
  }
  return bytes;
}

// --- Compaction -------------------------------------------------------------------

void compactHistoryRecords(HistoryImage& image, const std::vector<uint64_t>& keys,
                           std::time_t now) {
  const std::unordered_set<uint64_t> kept(keys.begin(), keys.end());
  const int64_t cutoff = static_cast<int64_t>(now) - kHistoryCheckKeepSeconds;
  const int64_t firstDay = dayOf(now) - kHistoryDayKeepDays;
  std::map<std::pair<uint64_t, uint16_t>, HistoryDay> days;
  for (const KeyedDay& day : image.days) {
    if (!kept.contains(day.key) || day.day.day < firstDay) continue;
    HistoryDay& into = days[{day.key, day.day.day}];
    into.day = day.day.day;
    addDay(into, day.day);
  }
  std::vector<KeyedCheck> checks;
  for (const KeyedCheck& check : image.checks) {
    if (!kept.contains(check.key)) continue;
    if (check.check.time >= cutoff) {
      checks.push_back(check);
      continue;
    }
    const int64_t day = dayOf(check.check.time);
    if (day < firstDay) continue;
    HistoryDay& into = days[{check.key, static_cast<uint16_t>(day)}];
    into.day = static_cast<uint16_t>(day);
    addCheck(into, check.check);
  }
  image.days.clear();
  for (const auto& [where, day] : days) image.days.push_back({where.first, day});
  image.checks = std::move(checks);
  image.damagedChecks = 0;
  image.cutBytes = 0;
}

uint64_t historyCompactLimit(size_t urlCount, uint64_t compactedSize) {
  const uint64_t urls = std::max<size_t>(urlCount, 1);
  return std::max(urls * kHistoryBytesPerUrl, compactedSize + urls * kHistorySlackPerUrl);
}

// --- Operations ---------------------------------------------------------------------

HistoryWrite appendHistory(const std::string& group, std::span<const std::string_view> groupUrls,
                           std::string_view url, const HistoryCheck& check, std::time_t now) {
  const KeyedCheck record{historyUrlKey(url), check};
  return appendHistoryChecks(group, groupUrls, {&record, 1}, now);
}

HistoryWrite appendHistoryChecks(const std::string& group,
                                 std::span<const std::string_view> groupUrls,
                                 std::span<const KeyedCheck> records, std::time_t now) {
  if (!isValidGroupName(group)) return {StoreCode::kRefusedNameToStore, StoreCode::kOk};
  if (records.empty()) return {StoreCode::kOk, StoreCode::kOk};
  const std::string path = historyPath(group);
  LockedFile file;
  const FileStatus opened = openSideFileForChange(path, kHistoryDir, file);
  if (!opened.ok()) return {storeStatusOf(opened), StoreCode::kOk};
  if (file.size() == 0) {
    const std::vector<KeyedCheck> checks(records.begin(), records.end());
    return {writeAt(file, path, encodeHistoryImage({}, checks, now), 0), StoreCode::kOk};
  }
  AppendPoint point;
  const FileStatus found = findAppendPoint(file, path, point);
  if (!found.ok()) return compactLocked(path, file, keysOf(groupUrls), records, now);
  const uint64_t size = static_cast<uint64_t>(file.size());
  const uint64_t newEnd = point.end + records.size() * kHistoryCheckSize;
  if (newEnd > historyCompactLimit(groupUrls.size(), point.header.compactedSize)) {
    return compactLocked(path, file, keysOf(groupUrls), records, now);
  }
  HistoryWrite result{writeAt(file, path, encodedChecks(records), point.end), StoreCode::kOk};
  if (point.end == size || !result.status.ok()) return result;
  result.damage = damagedAt(path);
  if (newEnd < size && ::ftruncate(file.fd.get(), static_cast<off_t>(newEnd)) != 0) {
    result.status = {StoreCode::kShortWrite, path, errno};
  }
  return result;
}

HistoryWrite compactHistory(const std::string& group, std::span<const std::string_view> groupUrls,
                            std::time_t now) {
  if (!isValidGroupName(group)) return {StoreCode::kRefusedNameToStore, StoreCode::kOk};
  const std::string path = historyPath(group);
  LockedFile file;
  const FileStatus opened = openLocked(path, LockedOpen::kChange, file);
  if (opened == FileCode::kNotFound) return {StoreCode::kOk, StoreCode::kOk};
  if (!opened.ok()) return {storeStatusOf(opened), StoreCode::kOk};
  return compactLocked(path, file, keysOf(groupUrls), {}, now);
}

StoreStatus visitHistory(const std::string& group, std::span<const std::string_view> urls,
                         HistoryVisitor& visitor) {
  if (!isValidGroupName(group)) return StoreCode::kRefusedName;
  const std::string path = historyPath(group);
  LockedFile file;
  const FileStatus opened = openLocked(path, LockedOpen::kRead, file);
  if (opened == FileCode::kNotFound) return StoreCode::kOk;
  if (!opened.ok()) return storeStatusOf(opened);
  return visitLockedHistory(file, path, urls, visitor);
}

StoreStatus readHistory(const std::string& group, std::span<const std::string_view> urls,
                        std::vector<UrlHistory>& out) {
  out.assign(urls.size(), {});
  for (size_t i = 0; i < urls.size(); ++i) out[i].url = std::string(urls[i]);
  HistoryCollector collector(out);
  const StoreStatus read = visitHistory(group, urls, collector);
  if (!read.ok()) {
    for (UrlHistory& history : out) history = {history.url, {}, {}};
    return read;
  }
  for (UrlHistory& history : out) {
    sortIfNeeded(history.checks,
                 [](const HistoryCheck& a, const HistoryCheck& b) { return a.time < b.time; });
    sortIfNeeded(history.days,
                 [](const HistoryDay& a, const HistoryDay& b) { return a.day < b.day; });
  }
  return StoreCode::kOk;
}

StoreStatus removeHistory(const std::string& group) {
  if (!isValidGroupName(group)) return StoreCode::kRefusedName;
  return removeSideFile(historyPath(group));
}

// --- Uptime -----------------------------------------------------------------------

std::optional<double> UptimeCount::ratio() const {
  if (checks == 0) return std::nullopt;
  return static_cast<double>(upChecks) / static_cast<double>(checks);
}

void UptimeWindow::add(UptimeCount& count, const HistoryCheck& check) const {
  if (check.time < start_) return;
  ++count.checks;
  if (check.up()) ++count.upChecks;
}

void UptimeWindow::add(UptimeCount& count, const HistoryDay& day) const {
  if (int64_t{day.day} * kSecondsPerDay < start_) return;
  count.checks += day.checks;
  count.upChecks += day.upChecks;
}

uint64_t uptimeHundredths(const UptimeCount& count) {
  const uint64_t up = std::min(count.upChecks, count.checks);
  // Rounded half up.
  uint64_t hundredths = (up * 20000 + count.checks) / (2 * count.checks);
  if (up < count.checks) hundredths = std::min<uint64_t>(hundredths, 9999);
  if (up > 0) hundredths = std::max<uint64_t>(hundredths, 1);
  return hundredths;
}

void appendUptimeNumber(std::string& out, const UptimeCount& count) {
  if (count.checks == 0) return;
  const uint64_t hundredths = uptimeHundredths(count);
  appendDecimal(out, hundredths / 100);
  out += '.';
  out += static_cast<char>('0' + hundredths % 100 / 10);
  out += static_cast<char>('0' + hundredths % 10);
}

std::string uptimePercentText(const UptimeCount& count) {
  if (count.checks == 0) return "-";
  std::string text;
  appendUptimeNumber(text, count);
  return text + " %";
}

UptimeCount uptimeOver(const UrlHistory& history, int days, std::time_t now) {
  const UptimeWindow window(days, now);
  UptimeCount count;
  for (const HistoryCheck& check : history.checks) window.add(count, check);
  for (const HistoryDay& day : history.days) window.add(count, day);
  return count;
}

std::optional<uint32_t> meanResponseMsOfLastDay(const UrlHistory& history, std::time_t now) {
  const int64_t start = static_cast<int64_t>(now) - kSecondsPerDay;
  uint64_t sum = 0, count = 0;
  for (const HistoryCheck& check : history.checks) {
    if (check.time < start) continue;
    sum += check.responseMs;
    ++count;
  }
  if (count == 0) return std::nullopt;
  return static_cast<uint32_t>((sum + count / 2) / count);
}

}  // namespace vy
