// Chat and push messages; see chat_message.h.
#include "runner/chat_message.h"

#include <algorithm>
#include <cctype>

#include "common/json.h"
#include "common/text.h"
#include "common/zonetime.h"
#include "net/http.h"

namespace vy {
namespace {

struct ServiceName {
  ChatService service;
  const char* name;
};

constexpr ServiceName kServices[] = {
    {ChatService::kSlack, "slack"},
    {ChatService::kMattermost, "mattermost"},
    {ChatService::kRocketChat, "rocketchat"},
    {ChatService::kDiscord, "discord"},
    {ChatService::kTeams, "teams"},
    {ChatService::kGoogleChat, "googlechat"},
    {ChatService::kNtfy, "ntfy"},
    {ChatService::kGotify, "gotify"},
    {ChatService::kTelegram, "telegram"},
    {ChatService::kJson, "json"},
};

constexpr std::string_view kTelegramApi = "https://api.telegram.org/bot";

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) {
    text.remove_prefix(1);
  }
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
    text.remove_suffix(1);
  }
  return text;
}

bool isWebAddress(std::string_view address) {
  HttpTarget target;
  return parseHttpUrl(address, target) == HttpError::kOk && !target.host.empty();
}

// "<token>/<chat id>" or "<server URL>/bot<token>/<chat id>": the chat id is
// the last path piece and the messages go to sendMessage beside it.
std::optional<ChatTarget> telegramTarget(std::string_view address) {
  const size_t slash = address.rfind('/');
  if (slash == std::string_view::npos || slash == 0 || slash + 1 == address.size()) {
    return std::nullopt;
  }
  ChatTarget target{ChatService::kTelegram, std::string(address.substr(0, slash)),
                    std::string(address.substr(slash + 1))};
  if (!startsWith(target.url, "http://") && !startsWith(target.url, "https://")) {
    if (target.url.find('/') != std::string::npos) return std::nullopt;
    target.url = std::string(kTelegramApi) + target.url;
  }
  target.url += "/sendMessage";
  if (!isWebAddress(target.url)) return std::nullopt;
  return target;
}

// "503 Service Unavailable" for a reply's status, "Connection error" for a
// failed transfer.
std::string statusWords(int code) {
  if (code < 100) return httpErrorText(code);
  return std::to_string(code) + " " + httpStatusText(code);
}

bool firstCheck(const UrlCheck& check) { return check.previousCode == 0; }
bool wentDown(const UrlCheck& check) { return !check.curUp && (check.prevUp || firstCheck(check)); }

std::string quotedContent(const std::string& text) { return ": \"" + text + "\""; }

// The words of the content results of a page that answered. Against a page
// that was up before, what changed; a page that comes (back) up has no
// content to compare with, so what is wrong with it now.
std::vector<std::string> contentChanges(const ChatChange& change) {
  std::vector<std::string> words;
  const UrlCheck& check = change.check;
  if (!check.curUp) return words;
  const std::string found = "banned text found" + quotedContent(change.bannedText);
  const std::string missing = "required text missing" + quotedContent(change.missingText);
  if (!check.prevUp || firstCheck(check)) {
    if (check.curBanFound) words.push_back(found);
    if (!check.curPresOk) words.push_back(missing);
    return words;
  }
  if (check.curBanFound != check.prevBanFound) {
    words.push_back(check.curBanFound ? found : "banned text gone");
  }
  if (check.curPresOk != check.prevPresOk) {
    words.push_back(check.curPresOk ? "required text present again" : missing);
  }
  return words;
}

// "DOWN", "UP again", "UP" (a first check), or none when the page's
// availability did not change.
std::optional<std::string> availabilityChange(const UrlCheck& check) {
  if (firstCheck(check)) return std::string(check.curUp ? "UP" : "DOWN");
  if (check.curUp == check.prevUp) return std::nullopt;
  return std::string(check.curUp ? "UP again" : "DOWN");
}

std::vector<std::string> messageLines(const ChatMessage& message,
                                      std::string (*link)(std::string_view url)) {
  if (message.changes.empty()) return {message.testText};
  std::vector<std::string> lines;
  for (const ChatChange& change : message.changes) lines.push_back(changeLine(change, link));
  return lines;
}

std::string joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) {
    if (!text.empty()) text += '\n';
    text += line;
  }
  return text;
}

// Slack's mrkdwn: &, < and > are written as entities, and a link is <url>
// (a "|" in it would start the link's label).
std::string slackEscaped(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '&')
      out += "&amp;";
    else if (c == '<')
      out += "&lt;";
    else if (c == '>')
      out += "&gt;";
    else
      out += c;
  }
  return out;
}

std::string slackLink(std::string_view url) {
  std::string escaped = slackEscaped(url);
  std::string out;
  for (char c : escaped) out += c == '|' ? std::string("%7C") : std::string(1, c);
  return "<" + out + ">";
}

size_t characterCount(std::string_view text) {
  return static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

// The first `limit` characters of a valid UTF-8 text.
std::string firstCharacters(const std::string& text, size_t limit) {
  size_t count = 0;
  for (size_t at = 0; at < text.size(); ++at) {
    if ((static_cast<unsigned char>(text[at]) & 0xC0) != 0x80 && count++ == limit) {
      return text.substr(0, at);
    }
  }
  return text;
}

PostRequest jsonPost(const ChatTarget& target, const JsonWriter& json) {
  return {target.url, "application/json", json.text(), {}};
}

PostRequest slackRequest(const ChatTarget& target, const ChatMessage& message) {
  std::string text = "*" + slackEscaped(messageTitle(message)) + "*";
  for (const std::string& line : messageLines(message, slackLink)) text += "\n" + line;
  JsonWriter json;
  json.beginObject().field("text", text).endObject();
  return jsonPost(target, json);
}

PostRequest discordRequest(const ChatTarget& target, const ChatMessage& message) {
  const std::string text = linesWithin("**" + messageTitle(message) + "**",
                                       messageLines(message, plainLink), kDiscordLimit);
  JsonWriter json;
  json.beginObject().field("content", text);
  // A URL holding "@everyone" must not call everybody.
  json.key("allowed_mentions").beginObject().key("parse").beginArray().endArray().endObject();
  json.endObject();
  return jsonPost(target, json);
}

void textBlock(JsonWriter& json, const std::string& text, bool heading) {
  json.beginObject().field("type", "TextBlock").field("text", text).field("wrap", true);
  if (heading) json.field("weight", "Bolder").field("size", "Medium");
  json.endObject();
}

// A workflow webhook takes a message with one Adaptive Card attachment.
PostRequest teamsRequest(const ChatTarget& target, const ChatMessage& message) {
  JsonWriter json;
  json.beginObject().field("type", "message").key("attachments").beginArray().beginObject();
  json.field("contentType", "application/vnd.microsoft.card.adaptive").key("content");
  json.beginObject()
      .field("$schema", "http://adaptivecards.io/schemas/adaptive-card.json")
      .field("type", "AdaptiveCard")
      .field("version", "1.4")
      .key("body")
      .beginArray();
  textBlock(json, messageTitle(message), true);
  for (const std::string& line : messageLines(message, plainLink)) textBlock(json, line, false);
  json.endArray().endObject();
  json.endObject().endArray().endObject();
  return jsonPost(target, json);
}

PostRequest googleChatRequest(const ChatTarget& target, const ChatMessage& message) {
  JsonWriter json;
  json.beginObject()
      .field("text", "*" + messageTitle(message) + "*\n" + joined(messageLines(message, plainLink)))
      .endObject();
  return jsonPost(target, json);
}

PostRequest ntfyRequest(const ChatTarget& target, const ChatMessage& message) {
  const bool down = anyWentDown(message);
  PostRequest request{target.url,
                      "text/plain; charset=utf-8",
                      validUtf8(joined(messageLines(message, plainLink))),
                      {}};
  // Header values stay ASCII: the title holds the group name, which is.
  request.headers = {{"Title", messageTitle(message)},
                     {"Priority", down ? "high" : "default"},
                     {"Tags", down ? "warning" : "white_check_mark"}};
  return request;
}

PostRequest gotifyRequest(const ChatTarget& target, const ChatMessage& message) {
  JsonWriter json;
  json.beginObject()
      .field("title", messageTitle(message))
      .field("message", joined(messageLines(message, plainLink)))
      .field("priority", anyWentDown(message) ? 8 : 4)
      .endObject();
  return jsonPost(target, json);
}

PostRequest telegramRequest(const ChatTarget& target, const ChatMessage& message) {
  JsonWriter json;
  json.beginObject()
      .field("chat_id", target.chatId)
      .field("text",
             linesWithin(messageTitle(message), messageLines(message, plainLink), kTelegramLimit))
      .field("disable_web_page_preview", true)
      .endObject();
  return jsonPost(target, json);
}

void stateFields(JsonWriter& json, bool up, bool bannedFound, bool present, int code) {
  json.field("up", up).field("banned_found", bannedFound).field("present", present);
  json.field("status_code", code).field("status_text", statusWords(code));
}

void jsonChange(JsonWriter& json, const ChatChange& change) {
  const UrlStatus& entry = change.entry;
  const UrlCheck& check = change.check;
  json.beginObject().field("url", entry.url).field("text", changeLine(change, plainLink));
  json.field("state", static_cast<int>(check.stateWord));
  stateFields(json, check.curUp, check.curBanFound, check.curPresOk, entry.resultCode);
  json.field("response_ms", static_cast<int64_t>(entry.responseMs));
  json.field("checked", static_cast<int64_t>(entry.lastCheck));
  if (check.curBanFound) json.field("banned_index", static_cast<int>(entry.banIndex));
  if (check.curUp && !check.curPresOk)
    json.field("missing_index", static_cast<int>(entry.presIndex));
  if (check.certDaysLeft) {
    json.field("certificate_days_left", *check.certDaysLeft);
    json.field("certificate_expiry", static_cast<int64_t>(entry.certExpiry));
  }
  json.key("previous").beginObject();
  stateFields(json, check.prevUp, check.prevBanFound, check.prevPresOk, check.previousCode);
  json.endObject().endObject();
}

// Every field the status text holds, and the previous state, per changed URL.
PostRequest jsonRequest(const ChatTarget& target, const ChatMessage& message) {
  JsonWriter json;
  json.beginObject().field("group", message.group).field("title", messageTitle(message));
  json.field("time", static_cast<int64_t>(message.time))
      .field("time_text", formatTime(message.time));
  json.field("test", !message.testText.empty());
  if (!message.testText.empty()) json.field("text", message.testText);
  json.key("changes").beginArray();
  for (const ChatChange& change : message.changes) jsonChange(json, change);
  json.endArray().endObject();
  return jsonPost(target, json);
}

}  // namespace

const char* chatServiceName(ChatService service) {
  for (const ServiceName& known : kServices) {
    if (known.service == service) return known.name;
  }
  return "chat";
}

std::string chatServiceOf(std::string_view inform) {
  inform = trimmed(inform);
  std::string name;
  for (char c : inform.substr(0, inform.find(':'))) {
    if (name.size() == 20 || !std::isalnum(static_cast<unsigned char>(c))) break;
    name += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return name;
}

std::optional<ChatTarget> parseChatAddress(std::string_view inform) {
  inform = trimmed(inform);
  const size_t colon = inform.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  const std::string name = lowerCopy(inform.substr(0, colon));
  const std::string_view address = trimmed(inform.substr(colon + 1));
  for (const ServiceName& known : kServices) {
    if (name != known.name) continue;
    if (known.service == ChatService::kTelegram) return telegramTarget(address);
    if (!isWebAddress(address)) return std::nullopt;
    return ChatTarget{known.service, std::string(address), {}};
  }
  return std::nullopt;
}

std::string plainLink(std::string_view url) { return std::string(url); }

// "certificate expires in 6 days" when the check warns about the
// certificate.
std::optional<std::string> certificateWords(const UrlCheck& check) {
  if (!check.certDaysLeft) return std::nullopt;
  const int days = *check.certDaysLeft;
  return "certificate expires in " + std::to_string(days) + (days == 1 ? " day" : " days");
}

std::string changeLine(const ChatChange& change, std::string (*link)(std::string_view url)) {
  std::vector<std::string> words = contentChanges(change);
  if (const std::optional<std::string> certificate = certificateWords(change.check)) {
    words.push_back(*certificate);
  }
  const std::optional<std::string> availability = availabilityChange(change.check);
  std::string first;
  if (availability) {
    first = *availability;
  } else if (!words.empty()) {
    first = words.front();
    words.erase(words.begin());
  } else {
    first = "changed";
  }
  // Quoted content comes after the URL: "banned text found <url> (200 OK): "x"".
  std::string tail;
  if (const size_t quote = first.find(": \""); quote != std::string::npos) {
    tail = first.substr(quote);
    first.erase(quote);
  }
  std::string line = first + " " + link(change.entry.url) + " (" +
                     statusWords(change.entry.resultCode) + ")" + tail;
  for (const std::string& more : words) line += ", " + more;
  return line;
}

std::string messageTitle(const ChatMessage& message) {
  if (message.changes.empty()) return "Vantry: test message for " + message.group;
  const size_t count = message.changes.size();
  return "Vantry: " + std::to_string(count) + (count == 1 ? " change in " : " changes in ") +
         message.group;
}

bool anyWentDown(const ChatMessage& message) {
  return std::any_of(message.changes.begin(), message.changes.end(),
                     [](const ChatChange& change) { return wentDown(change.check); });
}

std::string linesWithin(const std::string& first, const std::vector<std::string>& lines,
                        size_t limit) {
  std::vector<std::string> valid;
  for (const std::string& line : lines) valid.push_back(validUtf8(line));
  // Characters of the first text and of the first n lines, each after a line feed.
  std::vector<size_t> lengths{characterCount(first)};
  for (const std::string& line : valid)
    lengths.push_back(lengths.back() + 1 + characterCount(line));
  for (size_t n = valid.size() + 1; n-- > 0;) {
    const size_t rest = valid.size() - n;
    const std::string more = rest ? "\nand " + std::to_string(rest) + " more" : "";
    if (lengths[n] + more.size() > limit) continue;
    std::string text = first;
    for (size_t i = 0; i < n; ++i) text += "\n" + valid[i];
    return text + more;
  }
  return firstCharacters(validUtf8(first), limit);
}

PostRequest chatRequest(const ChatTarget& target, const ChatMessage& message) {
  switch (target.service) {
    case ChatService::kSlack:
    case ChatService::kMattermost:
    case ChatService::kRocketChat:
      return slackRequest(target, message);
    case ChatService::kDiscord:
      return discordRequest(target, message);
    case ChatService::kTeams:
      return teamsRequest(target, message);
    case ChatService::kGoogleChat:
      return googleChatRequest(target, message);
    case ChatService::kNtfy:
      return ntfyRequest(target, message);
    case ChatService::kGotify:
      return gotifyRequest(target, message);
    case ChatService::kTelegram:
      return telegramRequest(target, message);
    case ChatService::kJson:
      return jsonRequest(target, message);
  }
  return slackRequest(target, message);
}

}  // namespace vy
