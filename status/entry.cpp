// The status program's requests: the query string read, the answer chosen
// (page, JSON or badge) and written.
//
// Only the query string counts; a request body is never read. A failure to
// read a group makes it absent from the answer, as if it were private: the
// program has no log it could write to.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <optional>

#include "common/cgi.h"
#include "common/text.h"
#include "status/status.h"
#include "status/status_render.h"

namespace vy {
namespace {

constexpr int kMaxWindowDays = 400;
constexpr int kOutputPipeBytes = 1 << 20;

std::optional<std::string> optionalValue(const Form& form, std::string_view name) {
  const std::optional<std::string_view> value = form.find(name);
  if (!value) return std::nullopt;
  return std::string(*value);
}

// "30d" as 30; none for anything else or a window the history cannot hold.
std::optional<int> windowDays(std::string_view text) {
  if (text.size() < 2 || text.size() > 4 || text.back() != 'd') return std::nullopt;
  int days = 0;
  for (char c : text.substr(0, text.size() - 1)) {
    if (c < '0' || c > '9') return std::nullopt;
    days = days * 10 + (c - '0');
  }
  if (days < 1 || days > kMaxWindowDays) return std::nullopt;
  return days;
}

std::optional<BadgeKind> badgeKind(std::string_view text) {
  if (text == "status") return BadgeKind::kStatus;
  if (text == "uptime") return BadgeKind::kUptime;
  if (text == "response") return BadgeKind::kResponse;
  return std::nullopt;
}

std::string badge(const Form& form, std::time_t now) {
  const std::optional<BadgeKind> kind = badgeKind(form.value("badge"));
  if (!kind) return badRequestReply("badge must be status, uptime or response");
  const std::optional<std::string> group = optionalValue(form, "group");
  if (!group) return badRequestReply("a badge needs group=");
  const std::string_view given = form.value("window");
  const std::optional<int> days =
      windowDays(given.empty() ? (*kind == BadgeKind::kResponse ? "1d" : "30d") : given);
  if (!days) return badRequestReply("window must be 1d to 400d");
  const StatusQuery query{group, *days, *kind != BadgeKind::kStatus};
  const std::optional<StatusModel> model = gatherStatus(query, now);
  if (!model) return missingBadgeReply();
  return badgeReply(*kind, *model, optionalValue(form, "url"), *days);
}

void page(const Form& form, std::time_t now, ReplyWriter& out) {
  const std::string& format = form.value("format");
  const bool json = format == "json";
  if (!format.empty() && !json && format != "html") {
    out.text += badRequestReply("format must be html or json");
    return;
  }
  StatusQuery query;
  query.group = optionalValue(form, "group");
  const std::optional<StatusModel> model = gatherStatus(query, now);
  if (!model) {
    out.text += missingPageReply(json);
  } else if (json) {
    writeStatusJson(*model, out);
  } else {
    writeStatusPage(*model, out);
  }
}

}  // namespace

void statusReply(std::string_view queryString, std::time_t now, ReplyWriter& out) {
  Form form;
  if (parseForm(queryString, form) != RequestRead::kOk) {
    out.text += badRequestReply("request too large");
  } else if (form.find("badge")) {
    out.text += badge(form, now);
  } else {
    page(form, now, out);
  }
}

int runStatus() {
  const std::string query = envText("QUERY_STRING");
  if (query.size() > kMaxRequestBytes) {
    std::fputs(badRequestReply("request too large").c_str(), stdout);
    return 0;
  }
  // A page of ten thousand URLs is megabytes: a larger pipe to the web
  // server takes it in fewer waits for the reader. Where the output is no
  // pipe, or the system refuses, nothing changes.
  (void)::fcntl(STDOUT_FILENO, F_SETPIPE_SZ, kOutputPipeBytes);
  ReplyWriter out;
  out.file = stdout;
  statusReply(query, std::time(nullptr), out);
  return out.finish() ? 0 : 1;
}

}  // namespace vy
