// Finding URLs of a group's list by their text: the index the storing
// operations use to drop repeated URLs and to pair a caller's list with the
// records of a file, each in time linear in the number of URLs.
#ifndef VANTRY_STORE_URL_INDEX_H_
#define VANTRY_STORE_URL_INDEX_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "store/group_config.h"

namespace vy {

// A hash table from URL to the position of the first entry of a list added
// with that URL. Open addressing over one flat array of 8-byte slots, at most
// half full, each slot keeping 32 bits of the hash: a lookup in a 100,000-URL
// list touches one cache line and compares texts only when the hashes agree.
// The list must outlive the index and keep its entries' URLs.
class UrlIndex {
 public:
  explicit UrlIndex(const std::vector<UrlStatus>& urls);

  // Adds entry i of the list unless an entry with its URL is there already;
  // true when added.
  bool add(size_t i);
  // Adds every entry in order, so each URL finds its first entry.
  void addAll();

  // The position stored for url, if any.
  std::optional<size_t> find(std::string_view url) const;

 private:
  static constexpr uint32_t kEmptySlot = UINT32_MAX;  // lists are far shorter
  struct Slot {
    uint32_t hash = 0;
    uint32_t position = kEmptySlot;
  };

  // The slot that holds url, or the empty slot where it would go.
  size_t slotOf(std::string_view url, size_t hash) const;

  const std::vector<UrlStatus>& urls_;
  std::vector<Slot> slots_;
  size_t mask_ = 0;
};

// A stored URL is a C text: whatever follows a NUL never reaches the file.
std::string_view storedUrl(std::string_view url);
void cutUrlsAtNul(std::vector<UrlStatus>& urls);

// Drops every entry whose URL occurs again later; the kept entries stay in
// order, so the last occurrence of each URL survives.
void removeDuplicateUrls(std::vector<UrlStatus>& urls);

// Pairs every file record with the first entry of the given list that has
// its URL; with copyResults the entry takes the record's check results (its
// own check switches stay). Returns which records were paired.
std::vector<bool> pairStoredUrls(const std::vector<UrlStatus>& records,
                                 std::vector<UrlStatus>& given, bool copyResults);

}  // namespace vy

#endif  // VANTRY_STORE_URL_INDEX_H_
