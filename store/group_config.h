// One group in memory and its text form.
//
// A group is a named set of URLs checked together, with its check interval,
// notification settings and two content lists: banned contents (texts that
// must not appear in a page) and presence contents (texts that must appear).
// GroupConfig is that record, the group's stored data only; the group database
// (group_store.h) stores its settings as the file header, and the worker's service commands
// exchange it as text: lines of "key=value", contents length-prefixed so that they may hold
// newlines and "=" signs.
//
// Texts are not copied: content and URL views point into a buffer the record
// owns — the parsed text, the image of the group file, or texts handed to
// keepText. Each buffer is a heap object that never moves, so a moved
// GroupConfig keeps valid views; copying is not allowed.
#ifndef VANTRY_STORE_GROUP_CONFIG_H_
#define VANTRY_STORE_GROUP_CONFIG_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/large_block.h"

namespace vy {

// --- Option bits ------------------------------------------------------------

// GroupConfig::options
inline constexpr uint8_t kOptWriteLog = 0x01;     // "writelog=": append check log records
inline constexpr uint8_t kOptInfUpTime = 0x02;    // "infuptime=": notify on up/down changes
inline constexpr uint8_t kOptInfFndBan = 0x04;    // "inffndban=": notify on banned-content changes
inline constexpr uint8_t kOptInfFndPres = 0x08;   // "inffndpres=": notify on presence changes
inline constexpr uint8_t kOptInfTypeMask = 0x70;  // "inftype=": notification type 0-7
inline constexpr int kOptInfTypeShift = 4;
inline constexpr uint8_t kOptSuspend = 0x80;  // "suspend=": the group is not checked

// GroupConfig::moreOptions; only these three bits are ever stored.
inline constexpr uint8_t kMoreQueryCutPlain = 0x01;     // "qstrunc=" u: URLs without content check
inline constexpr uint8_t kMoreQueryCutChecked = 0x02;   // "qstrunc=" c: URLs with content check
inline constexpr uint8_t kMoreDeleteAfterCheck = 0x04;  // "delete_after_check=": one-shot group
inline constexpr uint8_t kMoreStoredMask = 0x07;

// GroupConfig::publicFlags; zero is a private group.
inline constexpr uint8_t kPublicShown = 0x01;      // "publicpage=": on the public status page
inline constexpr uint8_t kPublicAddresses = 0x02;  // "publicaddr=": the page shows the URLs
inline constexpr uint8_t kPublicStoredMask = 0x03;

// UrlStatus::flags
inline constexpr uint8_t kUrlCheckBan = 0x01;   // "chkban=": test the banned contents
inline constexpr uint8_t kUrlCheckPres = 0x02;  // "chkpres=": test the presence contents
inline constexpr uint8_t kUrlUp = 0x04;         // last status was 200 to 399
inline constexpr uint8_t kUrlBanFound = 0x08;   // a banned content was found
inline constexpr uint8_t kUrlPresOk = 0x10;     // every presence content was found
inline constexpr uint8_t kUrlStoredFlagsMask = 0x1F;

// The state word of a URL: the result of a check, the flags of a check-log
// record and the number of a listing line.
inline constexpr uint8_t kStateUp = 0x01;
inline constexpr uint8_t kStateBanFound = 0x02;
inline constexpr uint8_t kStatePresOk = 0x04;

// fileOffset of an entry that belongs to a stored group whose record position
// is not known: the status writer looks the URL up by walking the file.
inline constexpr uint32_t kUnknownFileOffset = 0xFFFFFFFFu;

inline constexpr size_t kMaxInformLength = 249;

// --- Records ----------------------------------------------------------------

// One URL of a group: the stored status (the 28-byte record part of the group
// file), the URL, and where its record lies in the file it was read from.
struct UrlStatus {
  // Stored part.
  uint32_t lastCheck = 0;  // seconds since the epoch; 0 = never checked
  int16_t resultCode = 0;  // HTTP status, or the client error code below 100
  uint8_t flags = 0;       // kUrl... bits
  uint32_t responseMs = 0;
  int16_t banIndex = 0;   // first banned content found (when banFound)
  int16_t presIndex = 0;  // first presence content missing (when up and not presOk)
  // The earliest certificate expiry of the last verified https chain,
  // seconds since 1970 (storedCertificateExpiry); 0 = not known.
  uint32_t certExpiry = 0;
  // The smallest warning day count already told for certExpiry; 0 = none.
  uint16_t certWarnedDays = 0;

  // In memory only.
  std::string_view url;
  // The record's offset in the group file it was read from (see GroupHandle
  // in group_store.h); 0 when the entry has no record there (not read from a
  // file, or its URL is gone).
  uint32_t fileOffset = 0;

  bool checkBan() const { return flags & kUrlCheckBan; }
  bool checkPres() const { return flags & kUrlCheckPres; }
  bool up() const { return flags & kUrlUp; }
  bool banFound() const { return flags & kUrlBanFound; }
  bool presOk() const { return flags & kUrlPresOk; }
  void setFlag(uint8_t flag, bool on) {
    flags = static_cast<uint8_t>(on ? (flags | flag) : (flags & ~flag));
  }
};

// A certificate's notAfter as certExpiry keeps it: times from 2106 on (some
// certificates say 9999) as the last second it holds, times before 1970 as
// 1, so that a known expiry is never 0.
inline uint32_t storedCertificateExpiry(int64_t notAfter) {
  if (notAfter < 1) return 1;
  if (notAfter > int64_t{0xFFFFFFFF}) return 0xFFFFFFFFu;
  return static_cast<uint32_t>(notAfter);
}

// The state word (kState... bits) of an entry's stored flags.
inline uint8_t stateBits(const UrlStatus& status) {
  return static_cast<uint8_t>((status.up() ? kStateUp : 0) |
                              (status.banFound() ? kStateBanFound : 0) |
                              (status.presOk() ? kStatePresOk : 0));
}

struct GroupConfig {
  GroupConfig() = default;
  GroupConfig(GroupConfig&&) = default;
  GroupConfig& operator=(GroupConfig&&) = default;
  GroupConfig(const GroupConfig&) = delete;
  GroupConfig& operator=(const GroupConfig&) = delete;

  // Stored settings.
  int32_t checkInterval = 0;  // minutes between two checks of a URL
  std::string inform;         // notification recipients, at most 249 bytes stored
  uint8_t options = 0;        // kOpt... bits
  uint8_t moreOptions = 0;    // kMore... bits
  uint8_t publicFlags = 0;    // kPublic... bits

  // Lists; the views point into the buffers below.
  std::vector<std::string_view> banContents;
  std::vector<std::string_view> presContents;
  std::vector<UrlStatus> urls;

  // Owned buffers.
  FileImage fileImage;                      // the group file as read
  std::unique_ptr<std::string> sourceText;  // the parsed text form
  std::vector<std::unique_ptr<std::string>> keptTexts;

  int urlCount() const { return static_cast<int>(urls.size()); }
  int banCount() const { return static_cast<int>(banContents.size()); }
  int presCount() const { return static_cast<int>(presContents.size()); }

  bool writeLog() const { return options & kOptWriteLog; }
  bool infUpTime() const { return options & kOptInfUpTime; }
  bool infFndBan() const { return options & kOptInfFndBan; }
  bool infFndPres() const { return options & kOptInfFndPres; }
  int infType() const { return (options & kOptInfTypeMask) >> kOptInfTypeShift; }
  bool suspended() const { return options & kOptSuspend; }
  bool deleteAfterCheck() const { return moreOptions & kMoreDeleteAfterCheck; }
  bool isPublic() const { return publicFlags & kPublicShown; }
  // Whether the public page shows the URLs (without their query) or only their hosts.
  bool showsAddresses() const { return publicFlags & kPublicAddresses; }
  void setPublicFlag(uint8_t bit, bool on) {
    publicFlags = static_cast<uint8_t>(on ? (publicFlags | bit) : (publicFlags & ~bit));
  }
  void setOption(uint8_t bit, bool on) {
    options = static_cast<uint8_t>(on ? (options | bit) : (options & ~bit));
  }
  void setMoreOption(uint8_t bit, bool on) {
    moreOptions = static_cast<uint8_t>(on ? (moreOptions | bit) : (moreOptions & ~bit));
  }
  void setInfType(int type) {
    options = static_cast<uint8_t>((options & ~kOptInfTypeMask) | ((type & 7) << kOptInfTypeShift));
  }

  // Keeps a copy of text for the life of the record and returns a view of it.
  std::string_view keepText(std::string text);
  void addBanContent(std::string text) { banContents.push_back(keepText(std::move(text))); }
  void addPresContent(std::string text) { presContents.push_back(keepText(std::move(text))); }
  UrlStatus& addUrl(std::string url);
};

// Fills config from the text form, replacing everything it held; the record
// takes the text over and its views point into it. Unknown keys, missing keys
// and bad numbers leave zeros. The public switches count only at the start of
// a line: a URL or a content that holds "publicpage=1" never makes a group
// public.
void parseGroupConfig(GroupConfig& config, std::string text);

// The text form of a group: settings, contents and URLs with their switches.
// The public switches ("publicpage=", "publicaddr=") are written only for a
// group that has one on, so the text of a private group is as it always was.
std::string formatGroupConfig(const GroupConfig& config);

// Releases the lists and buffers and sets every field back to its default.
void freeGroupConfig(GroupConfig& config);

// A new group as the console creates it: checked every 180 minutes, with a
// check log, dropping the query part of URLs without content checks.
GroupConfig newGroupDefaults();

}  // namespace vy

#endif  // VANTRY_STORE_GROUP_CONFIG_H_
