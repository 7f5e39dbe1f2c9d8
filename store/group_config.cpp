// The group record's helpers and its text form; see group_config.h.
//
// Parsing makes two passes. The first counts the lines that mention
// "bancontent=", "prescontent=" and "url=" so that the three lists are
// allocated once, up front (the counts are upper bounds: content lines are
// counted too). The second walks the lines and looks for every key anywhere
// in each line, so one line may set several fields. A content is the N bytes
// that follow its "bancontent=N" line; the byte after it (the newline the text
// form writes there) ends it, and scanning resumes behind that byte.
#include "store/group_config.h"

#include "common/text.h"

namespace vy {
namespace {

constexpr std::string_view kBanContentKey = "bancontent=";
constexpr std::string_view kPresContentKey = "prescontent=";
constexpr std::string_view kUrlKey = "url=";
constexpr std::string_view kPublicPageKey = "publicpage=";
constexpr std::string_view kPublicAddressKey = "publicaddr=";

// The value after key in line, none when the line does not hold the key.
std::optional<std::string_view> valueOf(std::string_view line, std::string_view key) {
  size_t at = line.find(key);
  if (at == std::string_view::npos) return std::nullopt;
  return line.substr(at + key.size());
}

struct ListCapacities {
  size_t banContents = 0, presContents = 0, urls = 0;
};

ListCapacities countListLines(std::string_view text) {
  ListCapacities counts;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    if (line.find(kBanContentKey) != std::string_view::npos) ++counts.banContents;
    if (line.find(kPresContentKey) != std::string_view::npos) ++counts.presContents;
    if (line.find(kUrlKey) != std::string_view::npos) ++counts.urls;
    pos = end + 1;
  }
  return counts;
}

// The parse position: the whole text and where the next line begins.
struct Cursor {
  std::string_view text;
  size_t next = 0;
  bool ended = false;  // a content ran to the end of the text
};

// Takes the content announced by a "...content=N" line: the N bytes at the
// cursor, and skips the byte after them, which ends the content.
std::string_view takeContent(Cursor& cursor, std::string_view lengthText) {
  long announced = parseLongAtoi(lengthText);
  size_t length = announced > 0 ? static_cast<size_t>(announced) : 0;
  size_t remaining = cursor.text.size() - cursor.next;
  if (length >= remaining) {
    std::string_view content = cursor.text.substr(cursor.next);
    cursor.next = cursor.text.size();
    cursor.ended = length > remaining;
    return content;
  }
  std::string_view content = cursor.text.substr(cursor.next, length);
  cursor.next += length + 1;
  return content;
}

void applySettingKeys(GroupConfig& config, std::string_view line) {
  auto bit0 = [](std::string_view value) { return (parseIntAtoi(value) & 1) != 0; };
  if (auto v = valueOf(line, "checktime=")) config.checkInterval = parseIntAtoi(*v);
  if (auto v = valueOf(line, "writelog=")) config.setOption(kOptWriteLog, bit0(*v));
  if (auto v = valueOf(line, "qstrunc=")) {
    if (v->find('u') != std::string_view::npos) config.moreOptions |= kMoreQueryCutPlain;
    if (v->find('c') != std::string_view::npos) config.moreOptions |= kMoreQueryCutChecked;
  }
  if (auto v = valueOf(line, "inftype=")) config.setInfType(parseIntAtoi(*v) & 7);
  if (auto v = valueOf(line, "inform="))
    config.inform = std::string(v->substr(0, kMaxInformLength));
  if (auto v = valueOf(line, "infuptime=")) config.setOption(kOptInfUpTime, bit0(*v));
  if (auto v = valueOf(line, "inffndban=")) config.setOption(kOptInfFndBan, bit0(*v));
  if (auto v = valueOf(line, "inffndpres=")) config.setOption(kOptInfFndPres, bit0(*v));
  if (auto v = valueOf(line, "suspend=")) config.setOption(kOptSuspend, bit0(*v));
  if (auto v = valueOf(line, "delete_after_check=")) {
    config.setMoreOption(kMoreDeleteAfterCheck, bit0(*v));
  }
  if (startsWith(line, kPublicPageKey)) {
    config.setPublicFlag(kPublicShown, bit0(line.substr(kPublicPageKey.size())));
  }
  if (startsWith(line, kPublicAddressKey)) {
    config.setPublicFlag(kPublicAddresses, bit0(line.substr(kPublicAddressKey.size())));
  }
}

// Applies every key found in one line; false when parsing ends here.
bool applyLine(GroupConfig& config, std::string_view line, Cursor& cursor) {
  applySettingKeys(config, line);
  if (auto v = valueOf(line, kBanContentKey)) {
    config.banContents.push_back(takeContent(cursor, *v));
    if (cursor.ended) return false;
  }
  if (auto v = valueOf(line, kPresContentKey)) {
    config.presContents.push_back(takeContent(cursor, *v));
    if (cursor.ended) return false;
  }
  if (auto v = valueOf(line, kUrlKey)) config.urls.emplace_back().url = *v;
  if (config.urls.empty()) return true;
  UrlStatus& last = config.urls.back();
  if (auto v = valueOf(line, "chkban=")) last.setFlag(kUrlCheckBan, parseIntAtoi(*v) & 1);
  if (auto v = valueOf(line, "chkpres=")) last.setFlag(kUrlCheckPres, parseIntAtoi(*v) & 1);
  return true;
}

void appendNumberLine(std::string& out, std::string_view key, long value) {
  out += key;
  out += std::to_string(value);
  out += '\n';
}

void appendContents(std::string& out, std::string_view key,
                    const std::vector<std::string_view>& contents) {
  for (std::string_view content : contents) {
    appendNumberLine(out, key, static_cast<long>(content.size()));
    out += content;
    out += '\n';
  }
}

}  // namespace

std::string_view GroupConfig::keepText(std::string text) {
  keptTexts.push_back(std::make_unique<std::string>(std::move(text)));
  return *keptTexts.back();
}

UrlStatus& GroupConfig::addUrl(std::string url) {
  std::string_view kept = keepText(std::move(url));
  UrlStatus& entry = urls.emplace_back();
  entry.url = kept;
  return entry;
}

void parseGroupConfig(GroupConfig& config, std::string text) {
  config = GroupConfig();
  config.sourceText = std::make_unique<std::string>(std::move(text));
  Cursor cursor{*config.sourceText};

  ListCapacities capacities = countListLines(cursor.text);
  config.banContents.reserve(capacities.banContents);
  config.presContents.reserve(capacities.presContents);
  config.urls.reserve(capacities.urls);

  while (cursor.next < cursor.text.size()) {
    size_t start = cursor.next;
    size_t end = cursor.text.find('\n', start);
    if (end == std::string_view::npos) end = cursor.text.size();
    cursor.next = end < cursor.text.size() ? end + 1 : end;
    std::string_view line = cursor.text.substr(start, end - start);
    line = line.substr(0, line.find('\0'));  // a line is a C text: it ends at a NUL
    if (!applyLine(config, line, cursor)) break;
  }
}

std::string formatGroupConfig(const GroupConfig& config) {
  // %s ends the recipients at a NUL, as they are stored.
  std::string out = formatAlloc(
      "checktime=%d\nwritelog=%d\ninftype=%d\ninform=%s\ninfuptime=%d\ninffndban=%d\n"
      "inffndpres=%d\nsuspend=%d\nqstrunc=%s%s\ndelete_after_check=%d\n",
      config.checkInterval, config.writeLog() ? 1 : 0, config.infType(), config.inform.c_str(),
      config.infUpTime() ? 1 : 0, config.infFndBan() ? 1 : 0, config.infFndPres() ? 1 : 0,
      config.suspended() ? 1 : 0, (config.moreOptions & kMoreQueryCutPlain) ? "u" : "",
      (config.moreOptions & kMoreQueryCutChecked) ? "c" : "", config.deleteAfterCheck() ? 1 : 0);
  if (config.publicFlags & kPublicStoredMask) {
    appendNumberLine(out, kPublicPageKey, config.isPublic() ? 1 : 0);
    appendNumberLine(out, kPublicAddressKey, config.showsAddresses() ? 1 : 0);
  }
  appendContents(out, kBanContentKey, config.banContents);
  appendContents(out, kPresContentKey, config.presContents);
  for (const UrlStatus& entry : config.urls) {
    out += kUrlKey;
    out += entry.url;
    out += '\n';
    appendNumberLine(out, "chkban=", entry.checkBan() ? 1 : 0);
    appendNumberLine(out, "chkpres=", entry.checkPres() ? 1 : 0);
  }
  return out;
}

void freeGroupConfig(GroupConfig& config) { config = GroupConfig(); }

GroupConfig newGroupDefaults() {
  GroupConfig group;
  group.checkInterval = 180;
  group.options = kOptWriteLog;
  group.moreOptions = kMoreQueryCutPlain;
  return group;
}

}  // namespace vy
