// The answers of the status program: the page, its JSON and the badges,
// each a whole CGI reply (header lines, a blank line, the body).
//
// Every text that comes from the data (titles, addresses, the notice) is
// escaped where it is written; the page holds no script and fetches
// nothing, its style is inline.
#ifndef VANTRY_STATUS_STATUS_RENDER_H_
#define VANTRY_STATUS_STATUS_RENDER_H_

#include <cstddef>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "status/status_model.h"

namespace vy {

// How long a client may keep an answer.
inline constexpr int kPageMaxAgeSeconds = 30;
inline constexpr int kBadgeMaxAgeSeconds = 60;

// A reply handed on as it is made: the renderer appends to text and calls
// handOn() between URLs, which writes the text to file and clears it once it
// has passed kPieceBytes, so that a page of ten thousand URLs never needs the
// memory of the whole. Without a file the whole reply stays in text.
struct ReplyWriter {
  static constexpr size_t kPieceBytes = 256 * 1024;
  std::FILE* file = nullptr;
  std::string text;
  bool failed = false;  // a write to file failed
  void handOn(size_t atLeast = kPieceBytes);
  // Writes what is left; false when any write failed.
  bool finish();
};

void writeStatusPage(const StatusModel& model, ReplyWriter& out);
void writeStatusJson(const StatusModel& model, ReplyWriter& out);
// The answer for a group that is not shown: missing and private alike.
std::string missingPageReply(bool json);

enum class BadgeKind { kStatus, kUptime, kResponse };

// A badge of the one group of model, of its URLs shown as `url` when given;
// the "not found" badge when no URL is shown so.
std::string badgeReply(BadgeKind kind, const StatusModel& model,
                       const std::optional<std::string>& url, int windowDays);
std::string missingBadgeReply();

// A refused request: 400 with a plain text.
std::string badRequestReply(std::string_view why);

// The two-part badge's SVG.
std::string badgeSvg(std::string_view label, std::string_view value, const char* colour);

}  // namespace vy

#endif  // VANTRY_STATUS_STATUS_RENDER_H_
