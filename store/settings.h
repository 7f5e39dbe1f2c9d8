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
//    492  1204  reserved         kept unchanged by every save
#ifndef VANTRY_STORE_SETTINGS_H_
#define VANTRY_STORE_SETTINGS_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

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
inline constexpr size_t kSettingsReservedOffset = 492, kSettingsReservedSize = 1204;

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
  std::array<uint8_t, kSettingsReservedSize> reserved{};

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
