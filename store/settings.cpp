// The settings record codec, load, save and defaults; see settings.h.
#include "store/settings.h"

#include <algorithm>
#include <functional>

#include "common/files.h"
#include "common/le.h"
#include "store/scheduler_file.h"

namespace vy {
namespace {

void encodeWarnDays(const std::optional<std::vector<int>>& days, uint8_t* out) {
  if (!days) return;
  const std::vector<int> list = normalisedWarnDays(*days);
  le::putU8(out + kCertWarnSetOffset, kCertWarnListSet);
  le::putU8(out + kCertWarnCountOffset, static_cast<uint8_t>(list.size()));
  for (size_t i = 0; i < list.size(); ++i) {
    le::putU16(out + kCertWarnDaysOffset + 2 * i, static_cast<uint16_t>(list[i]));
  }
}

std::optional<std::vector<int>> decodeWarnDays(const uint8_t* in) {
  if (le::getU8(in + kCertWarnSetOffset) != kCertWarnListSet) return std::nullopt;
  const size_t count = std::min<size_t>(le::getU8(in + kCertWarnCountOffset), kMaxCertWarnDays);
  std::vector<int> days;
  for (size_t i = 0; i < count; ++i) days.push_back(le::getU16(in + kCertWarnDaysOffset + 2 * i));
  return normalisedWarnDays(std::move(days));
}

std::string_view trimmedSpaces(std::string_view text) {
  const size_t first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// One entry of the field: digits only; counts beyond the bound stay beyond it.
std::optional<int> warnDayCount(std::string_view entry) {
  if (entry.empty()) return std::nullopt;
  int value = 0;
  for (char c : entry) {
    if (c < '0' || c > '9') return std::nullopt;
    value = std::min(value * 10 + (c - '0'), kMaxCertWarnDayCount + 1);
  }
  return value;
}

}  // namespace

std::vector<int> Settings::certificateWarnDays() const {
  if (!certWarnDays) return {std::begin(kDefaultCertWarnDays), std::end(kDefaultCertWarnDays)};
  return normalisedWarnDays(*certWarnDays);
}

void Settings::setCertificateWarnDays(std::vector<int> days) {
  certWarnDays = normalisedWarnDays(std::move(days));
}

std::vector<int> normalisedWarnDays(std::vector<int> days) {
  std::erase_if(days, [](int day) { return day < 1 || day > kMaxCertWarnDayCount; });
  std::sort(days.begin(), days.end(), std::greater<>());
  days.erase(std::unique(days.begin(), days.end()), days.end());
  if (days.size() > kMaxCertWarnDays) days.resize(kMaxCertWarnDays);
  return days;
}

ParsedWarnDays parseWarnDays(std::string_view text) {
  ParsedWarnDays parsed;
  const std::string_view whole = trimmedSpaces(text);
  if (whole.empty() || whole == "0") return parsed;
  std::vector<int> days;
  for (size_t start = 0;;) {
    const size_t comma = whole.find(',', start);
    const std::optional<int> day = warnDayCount(trimmedSpaces(whole.substr(start, comma - start)));
    if (!day) return {WarnDaysError::kNotANumber, {}};
    if (*day < 1 || *day > kMaxCertWarnDayCount) return {WarnDaysError::kOutOfRange, {}};
    days.push_back(*day);
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  std::sort(days.begin(), days.end(), std::greater<>());
  days.erase(std::unique(days.begin(), days.end()), days.end());
  if (days.size() > kMaxCertWarnDays) return {WarnDaysError::kTooMany, {}};
  parsed.days = std::move(days);
  return parsed;
}

std::string formatWarnDays(const std::vector<int>& days) {
  if (days.empty()) return "0";
  std::string text;
  for (int day : days) text += (text.empty() ? "" : ",") + std::to_string(day);
  return text;
}

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
  encodeWarnDays(s.certWarnDays, out);
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
  s.certWarnDays = decodeWarnDays(in);
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
