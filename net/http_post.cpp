// The HTTP/1.1 POST of notifications; see http_post.h.
#include "net/http_post.h"

#include <algorithm>
#include <chrono>
#include <string_view>

#include "common/text.h"
#include "net/tls.h"

namespace vy {
namespace {

using Clock = std::chrono::steady_clock;

bool holdsControl(std::string_view text) {
  return std::any_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

bool requestIsSafe(const PostRequest& request) {
  if (holdsControl(request.contentType)) return false;
  for (const auto& [name, value] : request.headers) {
    if (name.empty() || holdsControl(name) || name.find(':') != std::string::npos) return false;
    if (holdsControl(value)) return false;
  }
  return true;
}

// The time left until the deadline, none when it has passed. Never zero:
// a zero wait would mean "block" to the connect.
std::optional<Milliseconds> timeLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<Milliseconds>(deadline - Clock::now());
  if (left.count() <= 0) return std::nullopt;
  return left;
}

// The value of the first header `name` (lower case) in the head's lines,
// none when it has none. head holds the lines after the status line.
std::optional<std::string> headerValue(std::string_view head, std::string_view name) {
  for (size_t at = 0; at < head.size();) {
    size_t end = head.find("\r\n", at);
    if (end == std::string_view::npos) end = head.size();
    const std::string_view line = head.substr(at, end - at);
    at = end + 2;
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos || lowerCopy(line.substr(0, colon)) != name) continue;
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
      value.remove_prefix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
    return std::string(value);
  }
  return std::nullopt;
}

// "HTTP/1.x NNN reason": the status and reason into reply; false when the
// line is not a status line.
bool parseStatusLine(std::string_view line, PostReply& reply) {
  if (!startsWith(line, "HTTP/")) return false;
  const size_t space = line.find(' ');
  if (space == std::string_view::npos || line.size() < space + 4) return false;
  const std::string_view digits = line.substr(space + 1, 3);
  if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return false;
  }
  reply.status = parseIntAtoi(digits);
  reply.reason.assign(line.size() > space + 5 ? line.substr(space + 5) : std::string_view());
  return true;
}

// The hex number at the start of a chunk-size line (extensions after it
// ignored); none when it holds no hex digit or is absurdly long.
std::optional<size_t> chunkSize(std::string_view line) {
  size_t size = 0, digits = 0;
  for (char c : line) {
    int value;
    if (c >= '0' && c <= '9')
      value = c - '0';
    else if (c >= 'a' && c <= 'f')
      value = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      value = c - 'A' + 10;
    else
      break;
    if (++digits > 8) return std::nullopt;
    size = size * 16 + static_cast<size_t>(value);
  }
  if (digits == 0) return std::nullopt;
  return size;
}

// Decodes the chunks of `coded` into body as far as they have arrived;
// whether the last (empty) chunk was reached. A malformed size line ends the
// body there, complete: nothing later could make sense of it.
bool decodeChunks(std::string_view coded, std::string& body) {
  body.clear();
  for (size_t at = 0;;) {
    const size_t lineEnd = coded.find("\r\n", at);
    if (lineEnd == std::string_view::npos) return false;
    const std::optional<size_t> size = chunkSize(coded.substr(at, lineEnd - at));
    if (!size) return true;
    if (*size == 0) return true;  // trailers, if any, are not needed
    const size_t data = lineEnd + 2;
    if (coded.size() - data < *size) {
      body.append(coded.substr(data));
      return false;
    }
    body.append(coded.substr(data, *size));
    at = data + *size + 2;
    if (at > coded.size()) return false;
  }
}

// The body of a reply whose head has arrived; whether it is complete.
bool decodeBody(std::string_view head, std::string_view rest, PostReply& reply) {
  if (reply.status == 204 || reply.status == 304 || reply.status < 200) {
    reply.body.clear();
    return true;
  }
  const std::optional<std::string> coding = headerValue(head, "transfer-encoding");
  if (coding && lowerCopy(*coding).find("chunked") != std::string::npos) {
    return decodeChunks(rest, reply.body);
  }
  if (const std::optional<std::string> length = headerValue(head, "content-length")) {
    const size_t wanted = static_cast<size_t>(std::max(parseLongAtoi(*length), 0L));
    reply.body.assign(rest.substr(0, std::min(wanted, rest.size())));
    return rest.size() >= wanted;
  }
  reply.body.assign(rest);
  return false;  // the body ends with the connection
}

// Reads the reply with `receive` (a plain or TLS connection's) until it is
// complete, the peer closes, the size limit is reached or the deadline passes.
template <typename Receive>
HttpError readPostReply(Receive&& receive, Clock::time_point deadline, PostReply& reply) {
  std::string received;
  char chunk[4096];
  while (!decodeReply(received, reply) && received.size() < kPostReplyLimit) {
    const std::optional<Milliseconds> left = timeLeft(deadline);
    if (!left) return HttpError::kTimeout;
    const size_t want = std::min(sizeof chunk, kPostReplyLimit - received.size());
    const Received got = receive(chunk, want, *left);
    if (got.kind == Received::Kind::kBytes) {
      received.append(chunk, got.bytes);
      continue;
    }
    if (got.kind == Received::Kind::kTimedOut) return HttpError::kTimeout;
    if (got.kind == Received::Kind::kFailed && reply.status == 0) return HttpError::kSocketError;
    break;  // closed: what arrived is the reply
  }
  return reply.status != 0 ? HttpError::kOk : HttpError::kInvalidHeader;
}

PostReply failedPost(HttpError code) {
  PostReply reply;
  reply.code = code;
  return reply;
}

}  // namespace

std::string buildPostRequest(const HttpTarget& target, const PostRequest& request) {
  std::string text = "POST " + target.path + " HTTP/1.1\r\n";
  text += "Host: " + target.hostHeader + "\r\n";
  text += "User-Agent: " + requestUserAgent() + "\r\n";
  text += "Content-Type: " + request.contentType + "\r\n";
  text += "Content-Length: " + std::to_string(request.body.size()) + "\r\n";
  for (const auto& [name, value] : request.headers) text += name + ": " + value + "\r\n";
  text += "Connection: close\r\n\r\n";
  text += request.body;
  return text;
}

bool decodeReply(std::string_view received, PostReply& reply) {
  const size_t headEnd = received.find("\r\n\r\n");
  if (headEnd == std::string_view::npos) return false;
  const size_t lineEnd = received.find("\r\n");
  if (!parseStatusLine(received.substr(0, lineEnd), reply)) {
    reply.status = 0;
    return true;  // no reply the worker can read; nothing more will help
  }
  const std::string_view head =
      lineEnd == headEnd ? std::string_view() : received.substr(lineEnd + 2, headEnd - lineEnd - 2);
  return decodeBody(head, received.substr(headEnd + 4), reply);
}

PostReply httpPost(const PostRequest& request, const HostTable& hosts, Milliseconds timeLimit) {
  const Clock::time_point deadline = Clock::now() + timeLimit;
  HttpTarget target;
  if (const HttpError parsed = parseHttpUrl(request.url, target); parsed != HttpError::kOk) {
    return failedPost(parsed);
  }
  if (!requestIsSafe(request)) return failedPost(HttpError::kInvalidUrl);
  UniqueFd socket;
  const SocketError connected =
      connectToHost(target.host, target.port, hosts, timeLimit, socket).code;
  if (connected != SocketError::kOk) return failedPost(transferCode(connected));
  const std::string text = buildPostRequest(target, request);
  PostReply reply;
  if (!target.tls) {
    if (!sendText(socket.get(), text)) return failedPost(HttpError::kSocketError);
    reply.code = readPostReply(
        [&](char* buffer, size_t size, Milliseconds wait) {
          return recvTimeout(socket.get(), buffer, size, wait);
        },
        deadline, reply);
    return reply;
  }
  std::optional<Milliseconds> left = timeLeft(deadline);
  if (!left) return failedPost(HttpError::kTimeout);
  TlsSession session;
  if (const TlsError started = session.start(socket.get(), target.host, *left);
      started != TlsError::kOk) {
    return failedPost(transferCode(started));
  }
  left = timeLeft(deadline);
  if (!left) return failedPost(HttpError::kTimeout);
  if (!session.send(text, *left)) return failedPost(HttpError::kSocketError);
  reply.code = readPostReply([&](char* buffer, size_t size,
                                 Milliseconds wait) { return session.receive(buffer, size, wait); },
                             deadline, reply);
  return reply;
}

}  // namespace vy
