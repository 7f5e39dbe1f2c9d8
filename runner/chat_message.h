// Chat and push messages (notification type 5): which service a group's
// `inform` names and where its address points, the plain-words line of each
// changed URL, and the request each service takes for one message.
//
// `inform` is "<service>:<address>". The services and their address forms:
//   slack, mattermost, rocketchat, discord, teams, googlechat, ntfy, gotify,
//   json: the full http:// or https:// address that the service gave;
//   telegram: "<bot token>/<chat id>" for the public Bot API, or
//   "https://<server>/bot<bot token>/<chat id>" for a Bot API server of one's own.
// One message tells all the changes of one group's run, so that an outage of
// twenty URLs is one message, not twenty. Everything here is pure: building a
// message reads only what it is given.
#ifndef VANTRY_RUNNER_CHAT_MESSAGE_H_
#define VANTRY_RUNNER_CHAT_MESSAGE_H_

#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "net/http_post.h"
#include "runner/check_state.h"

namespace vy {

enum class ChatService {
  kSlack,
  kMattermost,
  kRocketChat,
  kDiscord,
  kTeams,
  kGoogleChat,
  kNtfy,
  kGotify,
  kTelegram,
  kJson,
};

// Where one group's messages go.
struct ChatTarget {
  ChatService service = ChatService::kSlack;
  std::string url;     // the address the POST goes to
  std::string chatId;  // telegram only
};

// The service's name as `inform` writes it ("slack", ...).
const char* chatServiceName(ChatService service);

// The target of an `inform` text (blanks around it ignored, the service name
// in any case); none for an unknown service, a telegram address without a
// token or chat id, or an address that is no http:// or https:// URL.
std::optional<ChatTarget> parseChatAddress(std::string_view inform);

// The service name of an `inform` text as far as it can be read: the
// letters before the first ':' (at most 20, lower case), for reports that
// must not show the address.
std::string chatServiceOf(std::string_view inform);

// One changed URL, copied from the run when the message is made.
struct ChatChange {
  UrlStatus entry;  // entry.url views the run's group
  UrlCheck check;
  std::string bannedText;   // the banned content found, when one was
  std::string missingText;  // the required content missing, when one is
};

struct ChatMessage {
  std::string group;  // the group's name as the console shows it
  std::time_t time = 0;
  std::vector<ChatChange> changes;  // in the order of the group's URL list
  // A test message holds no change but this text.
  std::string testText;
};

// The longest message texts Discord and Telegram take, in characters.
inline constexpr size_t kDiscordLimit = 2000;
inline constexpr size_t kTelegramLimit = 4096;

// What changed, in words a person reads at a glance, such as
// "DOWN http://x/ (503 Service Unavailable)", "UP again http://x/ (200 OK)",
// "banned text found http://x/ (200 OK): \"casino\"",
// "required text missing http://x/ (200 OK): \"Welcome\"". `link` writes the
// URL (a service's link syntax).
std::string changeLine(const ChatChange& change, std::string (*link)(std::string_view url));
std::string plainLink(std::string_view url);

// The message's heading: "Vantry: 3 changes in shop", "Vantry: test message for shop".
std::string messageTitle(const ChatMessage& message);

// Whether a URL of the message went down.
bool anyWentDown(const ChatMessage& message);

// The lines joined by line feeds after `first`, cut so that the whole text
// holds at most `limit` characters: the lines that fit, then "and N more".
std::string linesWithin(const std::string& first, const std::vector<std::string>& lines,
                        size_t limit);

// The POST that tells the message to the target.
PostRequest chatRequest(const ChatTarget& target, const ChatMessage& message);

}  // namespace vy

#endif  // VANTRY_RUNNER_CHAT_MESSAGE_H_
