// The day digest of a group's history: codec, fold, write, read and
// removal; see history_digest.h.
#include "store/history_digest.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/files.h"
#include "common/le.h"
#include "common/locked_file.h"
#include "common/replace_file.h"
#include "store/group_name.h"
#include "store/history.h"
#include "store/side_file.h"

namespace vy {
namespace {

size_t otherWords(size_t dayCount) { return (dayCount + 63) / 64; }
size_t daysOffset(size_t dayCount) {
  return kDigestEntryOtherDaysOffset + otherWords(dayCount) * 8;
}
size_t entrySize(size_t dayCount) { return daysOffset(dayCount) + dayCount * kDigestDaySize; }

// The totals and the bit words of the days not all up, from an entry's days.
struct EntryFigures {
  uint64_t checks[2] = {0, 0};
  uint64_t up[2] = {0, 0};
  std::vector<uint64_t> other;
};

EntryFigures figuresOf(std::span<const DigestDay> days) {
  EntryFigures figures;
  figures.other.assign(otherWords(days.size()), 0);
  for (size_t d = 0; d < days.size(); ++d) {
    const DigestDay& day = days[d];
    if (day.checks == 0 || day.upChecks < day.checks)
      figures.other[d / 64] |= uint64_t{1} << (d % 64);
    for (size_t t = 0; t < 2; ++t) {
      if (days.size() - d > kDigestTotalDays[t]) continue;
      figures.checks[t] += day.checks;
      figures.up[t] += day.upChecks;
    }
  }
  return figures;
}

std::vector<uint64_t> distinctKeys(std::span<const std::string_view> urls) {
  std::vector<uint64_t> keys;
  keys.reserve(urls.size());
  for (std::string_view url : urls) keys.push_back(digestUrlKey(url));
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  return keys;
}

// Adds each record of the named URLs to its entry's day, when the day is
// one the digest covers.
class DigestFolder final : public HistoryVisitor {
 public:
  DigestFolder(std::span<const std::string_view> urls, HistoryDigest& digest) : digest_(digest) {
    entryOf_.reserve(urls.size());
    for (std::string_view url : urls) {
      const auto at = std::lower_bound(digest.keys.begin(), digest.keys.end(), digestUrlKey(url));
      entryOf_.push_back(static_cast<size_t>(at - digest.keys.begin()));
    }
  }
  void onDay(size_t url, const HistoryDay& day) override {
    add(url, day.day, day.checks, day.upChecks);
  }
  void onCheck(size_t url, const HistoryCheck& check) override {
    add(url, check.time / kSecondsPerDay, 1, check.up() ? 1 : 0);
  }

 private:
  void add(size_t url, int64_t day, uint32_t checks, uint32_t up) {
    const int64_t at = day - digest_.firstDay;
    if (at < 0 || at >= digest_.dayCount) return;
    DigestDay& into = digest_.days[entryOf_[url] * digest_.dayCount + static_cast<size_t>(at)];
    into.checks += checks;
    into.upChecks += up;
  }

  HistoryDigest& digest_;
  std::vector<size_t> entryOf_;  // the entry of each URL the reader named
};

}  // namespace

std::string historyDigestPath(std::string_view group) {
  return std::string(kDigestDir) + "/" + std::string(group) + ".dat";
}

uint64_t digestUrlKey(std::string_view url) {
  constexpr uint64_t kBasis = 0xcbf29ce484222325, kPrime = 0x100000001b3;
  const auto* bytes = reinterpret_cast<const uint8_t*>(url.data());
  uint64_t hash = (kBasis ^ url.size()) * kPrime;  // texts that differ in trailing zeros differ
  size_t at = 0;
  for (; at + 8 <= url.size(); at += 8) hash = (hash ^ le::getU64(bytes + at)) * kPrime;
  if (at < url.size()) {
    uint8_t last[8] = {};
    std::memcpy(last, bytes + at, url.size() - at);
    hash = (hash ^ le::getU64(last)) * kPrime;
  }
  // Folded, so that every byte of the text reaches the key's low bits too.
  return (hash ^ (hash >> 29)) * kPrime;
}

std::span<const DigestDay> HistoryDigest::daysOf(std::string_view url) const {
  const uint64_t key = digestUrlKey(url);
  const auto at = std::lower_bound(keys.begin(), keys.end(), key);
  if (at == keys.end() || *at != key) return {};
  const size_t entry = static_cast<size_t>(at - keys.begin());
  return std::span<const DigestDay>(days).subspan(entry * dayCount, dayCount);
}

std::string encodeHistoryDigest(const HistoryDigest& digest) {
  const size_t size = entrySize(digest.dayCount);
  std::string bytes(kDigestHeaderSize + digest.keys.size() * size, '\0');
  auto* out = reinterpret_cast<uint8_t*>(bytes.data());
  std::memcpy(out + kDigestMagicOffset, kDigestMagic, kDigestMagicSize);
  le::putU16(out + kDigestVersionOffset, kDigestVersion);
  le::putU16(out + kDigestDayCountOffset, digest.dayCount);
  le::putU16(out + kDigestFirstDayOffset, digest.firstDay);
  le::putU32(out + kDigestUrlCountOffset, static_cast<uint32_t>(digest.keys.size()));
  for (size_t entry = 0; entry < digest.keys.size(); ++entry) {
    uint8_t* at = out + kDigestHeaderSize + entry * size;
    le::putU64(at + kDigestEntryKeyOffset, digest.keys[entry]);
    const std::span<const DigestDay> days =
        std::span<const DigestDay>(digest.days).subspan(entry * digest.dayCount, digest.dayCount);
    const EntryFigures figures = figuresOf(days);
    le::putU64(at + kDigestEntryLast30ChecksOffset, figures.checks[0]);
    le::putU64(at + kDigestEntryLast30UpOffset, figures.up[0]);
    le::putU64(at + kDigestEntryLast90ChecksOffset, figures.checks[1]);
    le::putU64(at + kDigestEntryLast90UpOffset, figures.up[1]);
    for (size_t w = 0; w < figures.other.size(); ++w) {
      le::putU64(at + kDigestEntryOtherDaysOffset + w * 8, figures.other[w]);
    }
    for (size_t d = 0; d < digest.dayCount; ++d) {
      const DigestDay& day = days[d];
      uint8_t* record = at + daysOffset(digest.dayCount) + d * kDigestDaySize;
      le::putU32(record + kDigestDayChecksOffset, day.checks);
      le::putU32(record + kDigestDayUpOffset, day.upChecks);
    }
  }
  return bytes;
}

bool DigestView::open(std::string_view bytes) {
  *this = {};
  if (bytes.size() < kDigestHeaderSize) return false;
  const auto* in = reinterpret_cast<const uint8_t*>(bytes.data());
  if (std::memcmp(in + kDigestMagicOffset, kDigestMagic, kDigestMagicSize) != 0 ||
      le::getU16(in + kDigestVersionOffset) != kDigestVersion) {
    return false;
  }
  const uint16_t dayCount = le::getU16(in + kDigestDayCountOffset);
  const uint64_t count = le::getU32(in + kDigestUrlCountOffset);
  if (dayCount == 0 || dayCount > kDigestMaxDays) return false;
  const size_t size = entrySize(dayCount);
  const size_t body = bytes.size() - kDigestHeaderSize;
  if (body % size != 0 || body / size != count) return false;
  keys_.resize(count);
  for (size_t entry = 0; entry < count; ++entry) {
    keys_[entry] = le::getU64(in + kDigestHeaderSize + entry * size + kDigestEntryKeyOffset);
    if (entry > 0 && keys_[entry] <= keys_[entry - 1]) {
      keys_.clear();
      return false;
    }
  }
  entries_ = in + kDigestHeaderSize;
  dayCount_ = dayCount;
  firstDay_ = le::getU16(in + kDigestFirstDayOffset);
  return true;
}

uint64_t DigestEntry::otherBits(size_t from, size_t count) const {
  if (count == 0 || from >= days.size()) return 0;
  const size_t word = from / 64, shift = from % 64;
  uint64_t bits = le::getU64(otherDays + word * 8) >> shift;
  if (shift != 0 && word + 1 < otherWords(days.size())) {
    bits |= le::getU64(otherDays + (word + 1) * 8) << (64 - shift);
  }
  return count >= 64 ? bits : bits & ((uint64_t{1} << count) - 1);
}

DigestEntry DigestView::entryAt(size_t entry) const {
  const uint8_t* at = entries_ + entry * entrySize(dayCount_);
  DigestEntry out;
  out.days = DigestDays(at + daysOffset(dayCount_), dayCount_);
  out.last30Checks = le::getU64(at + kDigestEntryLast30ChecksOffset);
  out.last30Up = le::getU64(at + kDigestEntryLast30UpOffset);
  out.last90Checks = le::getU64(at + kDigestEntryLast90ChecksOffset);
  out.last90Up = le::getU64(at + kDigestEntryLast90UpOffset);
  out.otherDays = at + kDigestEntryOtherDaysOffset;
  return out;
}

DigestEntry DigestView::entryOf(std::string_view url) const {
  const uint64_t key = digestUrlKey(url);
  const auto at = std::lower_bound(keys_.begin(), keys_.end(), key);
  if (at == keys_.end() || *at != key) return {};
  return entryAt(static_cast<size_t>(at - keys_.begin()));
}

std::optional<HistoryDigest> decodeHistoryDigest(std::string_view bytes) {
  DigestView view;
  if (!view.open(bytes)) return std::nullopt;
  HistoryDigest digest;
  digest.firstDay = view.firstDay();
  digest.dayCount = view.dayCount();
  digest.keys.reserve(view.urlCount());
  digest.days.reserve(view.urlCount() * view.dayCount());
  for (size_t at = 0; at < view.urlCount(); ++at) {
    digest.keys.push_back(view.keyAt(at));
    const DigestEntry entry = view.entryAt(at);
    for (size_t d = 0; d < entry.days.size(); ++d) digest.days.push_back(entry.days[d]);
    // The totals and bits must be those of the days: anything else is damage.
    const EntryFigures figures =
        figuresOf(std::span<const DigestDay>(digest.days).last(digest.dayCount));
    bool same = figures.checks[0] == entry.last30Checks && figures.up[0] == entry.last30Up &&
                figures.checks[1] == entry.last90Checks && figures.up[1] == entry.last90Up;
    for (size_t w = 0; w < figures.other.size(); ++w) {
      same = same && figures.other[w] == le::getU64(entry.otherDays + w * 8);
    }
    if (!same) return std::nullopt;
  }
  return digest;
}

StoreStatus foldHistoryDigest(const std::string& group, std::span<const std::string_view> urls,
                              std::time_t now, uint16_t dayCount, HistoryDigest& out) {
  out = {};
  const int64_t today = std::max<std::time_t>(now, 0) / kSecondsPerDay;
  out.dayCount = std::clamp<uint16_t>(dayCount, 1, kDigestMaxDays);
  out.firstDay = static_cast<uint16_t>(std::max<int64_t>(today - (out.dayCount - 1), 0));
  out.keys = distinctKeys(urls);
  out.days.assign(out.keys.size() * out.dayCount, {});
  DigestFolder folder(urls, out);
  const StoreStatus read = visitHistory(group, urls, folder);
  if (!read.ok()) out.days.assign(out.days.size(), {});
  return read;
}

StoreStatus writeHistoryDigest(const std::string& group, std::span<const std::string_view> urls,
                               std::time_t now) {
  if (!isValidGroupName(group)) return StoreCode::kRefusedNameToStore;
  const std::string path = historyDigestPath(group);
  LockedFile file;
  const FileStatus opened = openSideFileForChange(path, kDigestDir, file);
  if (!opened.ok()) return storeStatusOf(opened);
  // Folded under the digest's lock, so that of two runs ending together the
  // later fold is the one that stays.
  HistoryDigest digest;
  const StoreStatus folded = foldHistoryDigest(group, urls, now, kDigestDays, digest);
  if (!folded.ok()) return folded;
  return storeStatusOf(replaceLockedFile(path, file, encodeHistoryDigest(digest), kFileMode));
}

StoreStatus readHistoryDigest(const std::string& group, std::string& bytes, DigestView& view) {
  view = DigestView();
  if (!isValidGroupName(group)) return StoreCode::kRefusedName;
  const std::string path = historyDigestPath(group);
  // No lock: a digest is only ever replaced whole by a rename (or removed),
  // so the file opened is one whole digest, and a page reading the digests
  // of a hundred groups is spared two calls for each.
  const UniqueFd fd = openFd(path.c_str(), O_RDONLY | O_NONBLOCK);
  if (!fd) return {errno == ENOENT ? StoreCode::kNotFound : StoreCode::kCannotRead, path, errno};
  struct stat status;
  if (::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
    return {StoreCode::kCannotRead, path};
  }
  bytes.resize(static_cast<size_t>(status.st_size));
  if (readFullyAt(fd.get(), bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size())) {
    return {StoreCode::kCannotRead, path, errno};
  }
  if (!view.open(bytes)) return {StoreCode::kDamaged, path};
  return StoreCode::kOk;
}

StoreStatus readHistoryDigest(const std::string& group, HistoryDigest& out) {
  out = {};
  std::string bytes;
  DigestView view;
  const StoreStatus read = readHistoryDigest(group, bytes, view);
  if (read.ok()) out = *decodeHistoryDigest(bytes);
  return read;
}

StoreStatus removeHistoryDigest(const std::string& group) {
  if (!isValidGroupName(group)) return StoreCode::kRefusedName;
  return removeSideFile(historyDigestPath(group));
}

}  // namespace vy
