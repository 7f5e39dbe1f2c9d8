// The settings record codec, load, save and defaults; see settings.h.
#include "store/settings.h"

#include "common/files.h"
#include "common/le.h"
#include "store/scheduler_file.h"

namespace vy {

void encodeSettings(const Settings& s, uint8_t* out) {
  std::fill(out, out + kSettingsSize, 0);
  le::putI32(out + kZoneOffsetOffset, s.zoneOffset);
  le::putText(out + kZoneAbbrevOffset, kZoneAbbrevSize, s.zoneAbbrev);
  le::putText(out + kZoneNameOffset, kZoneNameSize, s.zoneName);
  le::putU8(out + kZoneMinutesOffset, s.zoneMinutes);
  le::putU8(out + kFlagsOffset, s.flags);
  le::putU8(out + kTzOptionOffset, s.tzOption);
  le::putText(out + kAdminEmailOffset, kAdminEmailSize, s.adminEmail);
  le::putText(out + kMailTransportOffset, kMailTransportSize, s.mailTransport);
  le::putText(out + kUserAgentOffset, kUserAgentSize, s.userAgent);
  le::putText(out + kRefererOffset, kRefererSize, s.referer);
  le::putI32(out + kMaxPageLengthOffset, s.maxPageLength);
  le::putI32(out + kRestartSecondsOffset, s.restartSeconds);
  le::putI32(out + kCheckSecondsOffset, s.checkSeconds);
  le::putI32(out + kMaxCheckUrlsOffset, s.maxCheckUrls);
  le::putI32(out + kMaxCheckThreadsOffset, s.maxCheckThreads);
  le::putU8(out + kRecheckUpTimesOffset, s.recheckUpTimes);
  le::putText(out + kConsoleHostOffset, kConsoleHostSize, s.consoleHost);
  std::copy(s.reserved.begin(), s.reserved.end(), out + kSettingsReservedOffset);
}

Settings decodeSettings(const uint8_t* in) {
  Settings s;
  s.zoneOffset = le::getI32(in + kZoneOffsetOffset);
  s.zoneAbbrev = le::getText(in + kZoneAbbrevOffset, kZoneAbbrevSize);
  s.zoneName = le::getText(in + kZoneNameOffset, kZoneNameSize);
  s.zoneMinutes = le::getU8(in + kZoneMinutesOffset);
  s.flags = le::getU8(in + kFlagsOffset);
  s.tzOption = le::getU8(in + kTzOptionOffset);
  s.adminEmail = le::getText(in + kAdminEmailOffset, kAdminEmailSize);
  s.mailTransport = le::getText(in + kMailTransportOffset, kMailTransportSize);
  s.userAgent = le::getText(in + kUserAgentOffset, kUserAgentSize);
  s.referer = le::getText(in + kRefererOffset, kRefererSize);
  s.maxPageLength = le::getI32(in + kMaxPageLengthOffset);
  s.restartSeconds = le::getI32(in + kRestartSecondsOffset);
  s.checkSeconds = le::getI32(in + kCheckSecondsOffset);
  s.maxCheckUrls = le::getI32(in + kMaxCheckUrlsOffset);
  s.maxCheckThreads = le::getI32(in + kMaxCheckThreadsOffset);
  s.recheckUpTimes = le::getU8(in + kRecheckUpTimesOffset);
  s.consoleHost = le::getText(in + kConsoleHostOffset, kConsoleHostSize);
  std::copy(in + kSettingsReservedOffset, in + kSettingsReservedOffset + kSettingsReservedSize,
            s.reserved.begin());
  return s;
}

StoreStatus loadSettings(Settings& settings, const std::string& path) {
  uint8_t record[kSettingsSize] = {};
  const FileStatus read = readRecord(path, record, sizeof record, RecordLock::kExclusive);
  if (read.ok()) settings = decodeSettings(record);
  return storeStatusOf(read);
}

StoreStatus saveSettings(const Settings& settings, const std::string& path) {
  uint8_t record[kSettingsSize];
  encodeSettings(settings, record);
  return storeStatusOf(writeRecord(path, record, sizeof record, RecordLock::kExclusive, false));
}

DisplayZone displayZoneFor(const Settings& s) {
  const long minutes = long{s.zoneMinutes} * 60;
  const long offset =
      s.zoneOffset < 0 ? long{s.zoneOffset} - minutes : long{s.zoneOffset} + minutes;
  return {offset, s.daylightSaving(), s.zoneName};
}

Settings defaultSettings(const std::string& httpHost) {
  Settings s;
  s.tzOption = 41;
  s.flags = kFlagDaylightSaving;
  std::string host = httpHost.rfind("www.", 0) == 0 ? httpHost.substr(4) : httpHost;
  s.adminEmail = ("webmaster@" + host).substr(0, 49);
  for (const char* program : {"/usr/sbin/sendmail", "/usr/lib/sendmail", "/usr/bin/sendmail"}) {
    if (isRegularFile(program)) s.mailTransport = program;
  }
  s.userAgent = "Vantry(https://vantry.example.org/)";
  s.referer = ("http://" + httpHost).substr(0, 140);
  s.maxPageLength = 100000;
  s.restartSeconds = kDefaultRestartSeconds;
  s.checkSeconds = kDefaultCheckSeconds;
  s.maxCheckUrls = 25;
  s.maxCheckThreads = 3;
  s.recheckUpTimes = 0;
  return s;
}

}  // namespace vy
