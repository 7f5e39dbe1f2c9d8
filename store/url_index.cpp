// The URL index and the list operations built on it; see url_index.h.
#include "store/url_index.h"

#include <functional>

namespace vy {
namespace {

constexpr uint8_t kResultFlags = kUrlUp | kUrlBanFound | kUrlPresOk;

size_t hashOf(std::string_view url) { return std::hash<std::string_view>()(url); }

void copyCheckResults(const UrlStatus& from, UrlStatus& to) {
  to.lastCheck = from.lastCheck;
  to.resultCode = from.resultCode;
  to.flags = static_cast<uint8_t>((to.flags & ~kResultFlags) | (from.flags & kResultFlags));
  to.responseMs = from.responseMs;
  to.banIndex = from.banIndex;
  to.presIndex = from.presIndex;
  to.certExpiry = from.certExpiry;
  to.certWarnedDays = from.certWarnedDays;
}

}  // namespace

UrlIndex::UrlIndex(const std::vector<UrlStatus>& urls) : urls_(urls) {
  size_t capacity = 16;
  while (capacity < urls.size() * 2) capacity <<= 1;
  slots_.resize(capacity);
  mask_ = capacity - 1;
}

bool UrlIndex::add(size_t i) {
  std::string_view url = urls_[i].url;
  size_t hash = hashOf(url);
  size_t at = slotOf(url, hash);
  if (slots_[at].position != kEmptySlot) return false;
  slots_[at] = Slot{static_cast<uint32_t>(hash), static_cast<uint32_t>(i)};
  return true;
}

void UrlIndex::addAll() {
  for (size_t i = 0; i < urls_.size(); ++i) add(i);
}

std::optional<size_t> UrlIndex::find(std::string_view url) const {
  uint32_t position = slots_[slotOf(url, hashOf(url))].position;
  if (position == kEmptySlot) return std::nullopt;
  return position;
}

size_t UrlIndex::slotOf(std::string_view url, size_t hash) const {
  size_t at = hash & mask_;
  uint32_t shortHash = static_cast<uint32_t>(hash);
  while (slots_[at].position != kEmptySlot &&
         (slots_[at].hash != shortHash || urls_[slots_[at].position].url != url)) {
    at = (at + 1) & mask_;
  }
  return at;
}

std::string_view storedUrl(std::string_view url) { return url.substr(0, url.find('\0')); }

void cutUrlsAtNul(std::vector<UrlStatus>& urls) {
  for (UrlStatus& entry : urls) entry.url = storedUrl(entry.url);
}

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

std::vector<bool> pairStoredUrls(const std::vector<UrlStatus>& records,
                                 std::vector<UrlStatus>& given, bool copyResults) {
  UrlIndex firstIndex(given);
  firstIndex.addAll();
  std::vector<bool> paired(records.size());
  for (size_t i = 0; i < records.size(); ++i) {
    std::optional<size_t> found = firstIndex.find(records[i].url);
    if (!found) continue;
    paired[i] = true;
    if (copyResults) copyCheckResults(records[i], given[*found]);
  }
  return paired;
}

}  // namespace vy
