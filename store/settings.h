// The settings record: system-wide settings shared by both programs.
//
// On disk it is ./vydata/vyvars.dat, exactly one 1696-byte record, read and
// written whole under an exclusive flock. Integers are little-endian; texts
// end with a zero byte inside their field and the rest of the field is zero.
//
//   offset size field
//      0     4  zoneOffset       i32, the zone's hours in seconds east of UTC (with
//                                daylight saving off; see displayZoneFor)
//      4    10  zoneAbbrev       text (at most 4 characters are ever stored)
//     14    80  zoneName         text, the TZ value; "*..." means the system's zone
//     94     1  zoneMinutes      u8, the zone's minutes beyond its hours (5:45: 45)
//     95     1  flags            bit 0 daylight saving, bit 2 cronMode, bit 3 schedulerOn
//     96     1  tzOption         u8, the chosen time-zone option of the settings page
//     97    50  adminEmail       AEMAIL
//    147    50  mailTransport    EMLSEND: a program path (has "/") or an SMTP server
//    197    51  userAgent        USRAGENT
//    248   144  referer          REFERER
//    392     4  maxPageLength    MAXLENPAGE, i32
//    396     4  restartSeconds   RESTIME, i32
//    400     4  checkSeconds     CHKTIME, i32
//    404     4  maxCheckUrls     MAXCHKURL, i32
//    408     4  maxCheckThreads  MAXCHKPROC, i32
//    412     1  recheckUpTimes   RECHKUPTIME, u8
//    413    79  consoleHost      text, HTTP_HOST of the console's last save
//    492     1  certWarnSet      u8: 1 = the list below is the setting; any other
//                                value (a record older than the setting: 0) means
//                                the default list, 21,14,7
//    493     1  certWarnCount    u8, 0 to 4; 0 with certWarnSet 1 = warnings off
//    494     8  certWarnDays     4 x u16, the day counts in descending order, each
//                                1 to 3650; unused ones zero
//    502  1194  reserved         kept unchanged by every save
#ifndef VANTRY_STORE_SETTINGS_H_
#define VANTRY_STORE_SETTINGS_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/zonetime.h"
#include "store/store_code.h"

namespace vy {

inline constexpr size_t kSettingsSize = 1696;
inline constexpr size_t kZoneOffsetOffset = 0;
inline constexpr size_t kZoneAbbrevOffset = 4, kZoneAbbrevSize = 10;
inline constexpr size_t kZoneNameOffset = 14, kZoneNameSize = 80;
inline constexpr size_t kZoneMinutesOffset = 94;
inline constexpr size_t kFlagsOffset = 95;
inline constexpr size_t kTzOptionOffset = 96;
inline constexpr size_t kAdminEmailOffset = 97, kAdminEmailSize = 50;
inline constexpr size_t kMailTransportOffset = 147, kMailTransportSize = 50;
inline constexpr size_t kUserAgentOffset = 197, kUserAgentSize = 51;
inline constexpr size_t kRefererOffset = 248, kRefererSize = 144;
inline constexpr size_t kMaxPageLengthOffset = 392;
inline constexpr size_t kRestartSecondsOffset = 396;
inline constexpr size_t kCheckSecondsOffset = 400;
inline constexpr size_t kMaxCheckUrlsOffset = 404;
inline constexpr size_t kMaxCheckThreadsOffset = 408;
inline constexpr size_t kRecheckUpTimesOffset = 412;
inline constexpr size_t kConsoleHostOffset = 413, kConsoleHostSize = 79;
inline constexpr size_t kCertWarnSetOffset = 492;
inline constexpr size_t kCertWarnCountOffset = 493;
inline constexpr size_t kCertWarnDaysOffset = 494;
inline constexpr size_t kSettingsReservedOffset = 502, kSettingsReservedSize = 1194;

inline constexpr uint8_t kCertWarnListSet = 1;
// "Warn about certificates that expire within": at most this many day
// counts, each from 1 to 3650 days.
inline constexpr size_t kMaxCertWarnDays = 4;
inline constexpr int kMaxCertWarnDayCount = 3650;
inline constexpr int kDefaultCertWarnDays[] = {21, 14, 7};

inline constexpr uint8_t kFlagDaylightSaving = 1;
inline constexpr uint8_t kFlagCronMode = 4;
inline constexpr uint8_t kFlagSchedulerOn = 8;

inline constexpr const char* kDataDir = "./vydata";
inline constexpr const char* kSettingsPath = "./vydata/vyvars.dat";

struct Settings {
  int32_t zoneOffset = 0;
  std::string zoneAbbrev;
  std::string zoneName;
  uint8_t zoneMinutes = 0;
  uint8_t flags = 0;
  uint8_t tzOption = 0;
  std::string adminEmail;       // AEMAIL
  std::string mailTransport;    // EMLSEND
  std::string userAgent;        // USRAGENT
  std::string referer;          // REFERER
  int32_t maxPageLength = 0;    // MAXLENPAGE
  int32_t restartSeconds = 0;   // RESTIME
  int32_t checkSeconds = 0;     // CHKTIME
  int32_t maxCheckUrls = 0;     // MAXCHKURL
  int32_t maxCheckThreads = 0;  // MAXCHKPROC
  uint8_t recheckUpTimes = 0;   // RECHKUPTIME
  std::string consoleHost;
  // The certificate warning days as stored: none = the default list; an
  // empty list = warnings off. Read and set them through the functions
  // below, which keep the list in its stored form.
  std::optional<std::vector<int>> certWarnDays;
  std::array<uint8_t, kSettingsReservedSize> reserved{};

  // The day counts to warn at, largest first; empty when warnings are off.
  std::vector<int> certificateWarnDays() const;
  // Sets the list: sorted largest first, repeats dropped, counts outside 1
  // to 3650 dropped, at most the four largest kept. Empty switches warnings
  // off.
  void setCertificateWarnDays(std::vector<int> days);

  bool daylightSaving() const { return flags & kFlagDaylightSaving; }
  bool cronMode() const { return flags & kFlagCronMode; }
  bool schedulerOn() const { return flags & kFlagSchedulerOn; }
  void setFlag(uint8_t flag, bool on) { flags = on ? (flags | flag) : (flags & ~flag); }
};

// The most the settings page lets MAXLENPAGE and MAXCHKPROC be, and what
// the worker makes of a file that holds more: a page of 8 MB is far beyond
// any content check, and a thread per URL beyond 1,000 only exhausts the host.
inline constexpr int32_t kMaxPageLengthLimit = 8 << 20;
inline constexpr int32_t kMaxCheckThreadsLimit = 1000;

// The list in its stored form (see setCertificateWarnDays).
std::vector<int> normalisedWarnDays(std::vector<int> days);

// What the console's "Warn about certificates that expire within" field
// holds: day counts separated by commas, spaces around them allowed.
enum class WarnDaysError {
  kOk,
  kNotANumber,  // an entry that is not digits only (an empty one included)
  kOutOfRange,  // a count of 0 among others, or above 3650
  kTooMany,     // more than four different counts
};
struct ParsedWarnDays {
  WarnDaysError error = WarnDaysError::kOk;
  std::vector<int> days;  // normalised; empty = off (when error is kOk)
};
// "21,14,7" and "7, 21, 14" give 21,14,7; "" (or spaces) and "0" switch
// warnings off; anything else is an error and no list.
ParsedWarnDays parseWarnDays(std::string_view text);
// The field's text of a list: "21,14,7"; "0" when warnings are off.
std::string formatWarnDays(const std::vector<int>& days);

// Field-by-field codec of the 1696-byte record. Texts longer than their field
// allows are cut to the field size minus one.
void encodeSettings(const Settings& settings, uint8_t* out);
Settings decodeSettings(const uint8_t* in);

// kOk; kCannotRead cannot open (missing included); kLockRefused; kDamaged
// shorter than a record.
[[nodiscard]] StoreStatus loadSettings(Settings& settings, const std::string& path = kSettingsPath);
// kOk; kCannotOpen cannot open or create; kLockRefused; kShortWrite. Bytes
// behind the record are kept.
[[nodiscard]] StoreStatus saveSettings(const Settings& settings,
                                       const std::string& path = kSettingsPath);

// The zone the programs show times in. With daylight saving off the offset
// is the hours and the minutes of the zone, both to the side of UTC the hours
// give (-3:30 is three and a half hours west); a zone of 0 hours and some
// minutes is taken to be east of UTC, as no such zone lies west of it.
DisplayZone displayZoneFor(const Settings& settings);

// The record of a new installation, for a console reached as httpHost. The
// mail program is the last of the usual sendmail paths that exists.
Settings defaultSettings(const std::string& httpHost);

}  // namespace vy

#endif  // VANTRY_STORE_SETTINGS_H_
