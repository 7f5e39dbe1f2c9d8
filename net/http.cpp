// The HTTP/1.0 GET, the reply buffer and the status texts; see http.h.
#include "net/http.h"

#include <algorithm>
#include <mutex>
#include <string_view>

#include "common/large_block.h"
#include "common/text.h"
#include "net/tls.h"

namespace vy {
namespace {

struct RequestIdentity {
  std::mutex mutex;
  std::string userAgent;
  std::string referer;
};

RequestIdentity& requestIdentity() {
  static RequestIdentity identity;
  return identity;
}

bool holdsControlCharacter(std::string_view text) {
  return std::any_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

// The port text of a URL: digits only, from 1 to 65535.
std::optional<uint16_t> parsePort(std::string_view text) {
  if (text.empty() || text.size() > 5) return std::nullopt;
  unsigned value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value < 1 || value > 65535) return std::nullopt;
  return static_cast<uint16_t>(value);
}

// Takes the host part ("name", "name:port", "[v6]" or "[v6]:port") into the
// target, whose port holds the scheme's default.
HttpError splitHostAndPort(std::string_view authority, HttpTarget& target) {
  const uint16_t defaultPort = target.port;
  std::string_view rest = authority;
  if (startsWith(authority, "[")) {
    const size_t close = authority.find(']');
    if (close == std::string_view::npos) return HttpError::kLookupFailed;
    target.host.assign(authority.substr(1, close - 1));
    rest = authority.substr(close + 1);
    if (!rest.empty() && rest[0] != ':') return HttpError::kLookupFailed;
  } else {
    const size_t colon = authority.find(':');
    target.host.assign(authority.substr(0, colon));
    rest = colon == std::string_view::npos ? std::string_view() : authority.substr(colon);
  }
  std::string_view hostAsWritten = authority.substr(0, authority.size() - rest.size());
  if (!rest.empty()) {
    std::optional<uint16_t> port = parsePort(rest.substr(1));
    if (!port) return HttpError::kLookupFailed;
    target.port = *port;
  }
  target.hostHeader.assign(target.port == defaultPort ? hostAsWritten : authority);
  return HttpError::kOk;
}

// The request text of a GET of the target.
std::string buildGetRequest(const HttpTarget& target) {
  RequestIdentity& identity = requestIdentity();
  std::lock_guard lock(identity.mutex);
  std::string request = "GET " + target.path + " HTTP/1.0\r\n";
  request += "User-Agent: " + identity.userAgent + "\r\n";
  request += "Referer: " + identity.referer + "\r\n";
  request += "Accept: */*\r\n";
  request += "Host: " + target.hostHeader + "\r\n\r\n";
  return request;
}

// A reply is received in one call for up to this many bytes, so that a large
// page takes few calls.
constexpr size_t kLargeReceive = size_t{64} << 10;
// The most room a reply's announced size makes at once; a larger page grows
// from there as any other.
constexpr size_t kMaxAnnouncedRoom = size_t{8} << 20;

// Makes room for `extra` more bytes without ever holding more than `bound`
// bytes of capacity: the capacity doubles, but stops at the bound.
void growFor(LargeText& data, size_t extra, size_t bound) {
  size_t needed = data.size() + extra;
  if (needed <= data.capacity()) return;
  size_t capacity = std::min(std::max(needed, data.capacity() * 2), std::max(bound, needed));
  LargeText bigger;
  bigger.reserve(capacity);
  bigger.append(data);
  data.swap(bigger);
}

// The size of the whole reply as its head announces it (the head and the
// Content-Length), 0 when it announces none; none while the head is
// incomplete. Only a hint for the buffer's room: what is kept is what arrives.
std::optional<size_t> announcedSize(std::string_view received) {
  const size_t headEnd = received.find("\r\n\r\n");
  if (headEnd == std::string_view::npos) return std::nullopt;
  const std::string head = lowerCopy(received.substr(0, headEnd));
  const size_t field = head.find("\ncontent-length:");
  if (field == std::string::npos) return 0;
  size_t at = field + 16;
  while (at < head.size() && (head[at] == ' ' || head[at] == '\t')) ++at;
  size_t length = 0;
  for (; at < head.size() && head[at] >= '0' && head[at] <= '9'; ++at) {
    length = length * 10 + static_cast<size_t>(head[at] - '0');
    if (length > kMaxAnnouncedRoom) return headEnd + 4 + kMaxAnnouncedRoom;
  }
  return headEnd + 4 + length;
}

// readAll with the receive call of a plain or a TLS connection.
template <typename Receive>
SocketError readAllFrom(Receive&& receive, int limit, LargeText& data, Milliseconds receiveWait) {
  const size_t stopAt = limit >= 1 ? static_cast<size_t>(limit) : kUnlimitedReplyCap;
  const size_t bound = limit >= 1 ? stopAt + kReceiveChunk - 1 : kUnlimitedReplyCap;
  data.clear();
  data.shrink_to_fit();
  std::optional<size_t> announced;  // once the head is in
  while (data.size() < stopAt) {
    // Whole 512-byte chunks up to the first total that reaches stopAt: the
    // bytes kept are those that receiving chunk by chunk would keep.
    const size_t chunks = (stopAt - data.size() + kReceiveChunk - 1) / kReceiveChunk;
    size_t want = std::min({chunks * kReceiveChunk, kLargeReceive, bound - data.size()});
    const size_t kept = data.size();
    if (announced && *announced > 0) {
      // Room for the announced rest and one chunk more (for the end of the
      // reply) at once, and receives that stay in it: a large page lands in
      // one buffer instead of being copied from buffer to buffer.
      const size_t room = std::min(*announced + kReceiveChunk, bound);
      growFor(data, room > kept ? room - kept : 0, bound);
      if (data.capacity() - kept >= kReceiveChunk) want = std::min(want, data.capacity() - kept);
    }
    growFor(data, want, bound);
    if (want >= kLargeReceive && data.capacity() < kHugeBlockMinimum) {
      prefaultForWriting(data.data() + kept, want);
    }
    data.resize(kept + want);
    const Received received = receive(data.data() + kept, want, receiveWait);
    data.resize(kept + received.bytes);
    if (received.kind == Received::Kind::kClosed) break;
    if (received.kind == Received::Kind::kTimedOut) return SocketError::kTimedOut;
    if (received.kind == Received::Kind::kFailed) return SocketError::kReceiveFailed;
    if (!announced) announced = announcedSize(data);
  }
  return SocketError::kOk;
}

// The one way a socket step's failure becomes a transfer's code.
HttpError transferError(SocketError error) {
  switch (error) {
    case SocketError::kOk:
      return HttpError::kOk;
    case SocketError::kTimedOut:
      return HttpError::kTimeout;
    case SocketError::kNameUnknown:
      return HttpError::kLookupFailed;
    case SocketError::kNoSocket:
    case SocketError::kReceiveFailed:
      return HttpError::kSocketError;
    case SocketError::kConnectFailed:
      return HttpError::kConnectError;
  }
  return HttpError::kSocketError;
}

HttpError transferError(TlsError error) {
  switch (error) {
    case TlsError::kOk:
      return HttpError::kOk;
    case TlsError::kTimedOut:
      return HttpError::kTimeout;
    case TlsError::kHandshakeFailed:
      return HttpError::kTlsHandshake;
    case TlsError::kCertificateRejected:
      return HttpError::kCertificate;
  }
  return HttpError::kTlsHandshake;
}

// The receive call of a plain connection.
auto plainReceive(int fd) {
  return [fd](char* buffer, size_t size, Milliseconds wait) {
    return recvTimeout(fd, buffer, size, wait);
  };
}

// Reads the reply into a new buffer of the reply, unless the limit asks for none.
template <typename Receive>
void readReplyData(Receive&& receive, int limit, Milliseconds receiveWait, HttpReply& reply) {
  if (limit == 0) return;
  reply.data.emplace();
  reply.code = transferError(readAllFrom(receive, limit, *reply.data, receiveWait));
  reply.length = reply.data->size();
}

constexpr const char* kHttpErrorTexts[] = {
    "OK",
    "Connection timeout",
    "Hostname lookup failed",
    "Invalid IP address",
    "Socket error",
    "Connection error",
    "Allocation memory",
    "Invalid URL",
    "Invalid header",
    "Unknown response",
    "TLS handshake failed",
    "Certificate not valid",
};

struct StatusPhrase {
  int status;
  const char* text;
};

constexpr StatusPhrase kStatusPhrases[] = {
    {100, "Continue"},
    {101, "Switching Protocols"},
    {200, "OK"},
    {201, "Created"},
    {202, "Accepted"},
    {203, "Non-Authoritative Information"},
    {204, "No Content"},
    {205, "Reset Content"},
    {206, "Partial Content"},
    {300, "Multiple Choices"},
    {301, "Moved Permanently"},
    {302, "Found"},
    {303, "See Other"},
    {304, "Not Modified"},
    {305, "Use Proxy"},
    {307, "Temporary Redirect"},
    {400, "Bad Request"},
    {401, "Unauthorized"},
    {402, "Payment Required"},
    {403, "Forbidden"},
    {404, "Not Found"},
    {405, "Method Not Allowed"},
    {406, "Not Acceptable"},
    {407, "Proxy Authentication Required"},
    {408, "Request Timeout"},
    {409, "Conflict"},
    {410, "Gone"},
    {411, "Length Required"},
    {412, "Precondition Failed"},
    {413, "Request Entity Too Large"},
    {414, "Request-URI Too Large"},
    {415, "Unsupported Media Type"},
    {416, "Request Range Not Satisfiable"},
    {417, "Expectation Failed"},
    {500, "Internal Server Error"},
    {501, "Not Implemented"},
    {502, "Bad Gateway"},
    {503, "Service Unavailable"},
    {504, "Gateway Timeout"},
    {505, "HTTP Version Not Supported"},
};

}  // namespace

void setRequestIdentity(const std::string& userAgent, const std::string& referer) {
  RequestIdentity& identity = requestIdentity();
  std::lock_guard lock(identity.mutex);
  // A line break in a value would add header lines (or a whole request) to
  // every check: such a value is not sent, and its header goes out empty.
  identity.userAgent = holdsControlCharacter(userAgent) ? "" : userAgent;
  identity.referer = holdsControlCharacter(referer) ? "" : referer;
}

std::string requestUserAgent() {
  RequestIdentity& identity = requestIdentity();
  std::lock_guard lock(identity.mutex);
  return identity.userAgent;
}

HttpError transferCode(SocketError error) { return transferError(error); }
HttpError transferCode(TlsError error) { return transferError(error); }

HttpError parseHttpUrl(std::string_view url, HttpTarget& target) {
  constexpr std::string_view kPlain = "http://", kSecure = "https://";
  target = HttpTarget();
  target.tls = startsWith(url, kSecure);
  if (!target.tls && !startsWith(url, kPlain)) return HttpError::kInvalidUrl;
  // The path and host go into the request as they are written.
  if (holdsControlCharacter(url)) return HttpError::kInvalidUrl;
  target.port = target.tls ? kHttpsPort : kHttpPort;
  const std::string_view rest = url.substr(target.tls ? kSecure.size() : kPlain.size());
  const size_t end = rest.find_first_of("/?");
  if (end == std::string_view::npos) {
    target.path = "/";
  } else if (rest[end] == '?') {
    target.path = "/";
    target.path.append(rest.substr(end));
  } else {
    target.path.assign(rest.substr(end));
  }
  return splitHostAndPort(rest.substr(0, std::min(end, kMaxHostLength)), target);
}

HttpReply httpGet(const std::string& url, int limit, const HostTable& hosts, RequestWaits waits) {
  HttpTarget target;
  const HttpError parsed = parseHttpUrl(url, target);
  if (parsed != HttpError::kOk) {
    HttpReply refused;
    refused.code = parsed;
    return refused;
  }
  return httpRequest(target, buildGetRequest(target), limit, hosts, waits);
}

HttpReply httpRequest(const HttpTarget& target, const std::string& requestText, int limit,
                      const HostTable& hosts, RequestWaits waits) {
  HttpReply reply;
  UniqueFd socket;
  reply.code =
      transferError(connectToHost(target.host, target.port, hosts, waits.connect, socket).code);
  if (reply.code != HttpError::kOk) return reply;
  if (!target.tls) {
    (void)sendText(socket.get(), requestText);  // a failed send shows up in the read
    readReplyData(plainReceive(socket.get()), limit, waits.receive, reply);
    return reply;
  }
  TlsSession session;
  reply.code = transferError(session.start(socket.get(), target.host, waits.receive));
  if (reply.code != HttpError::kOk) return reply;
  reply.certificate = session.earliestCertificate();
  (void)session.send(requestText, waits.receive);  // as above
  readReplyData([&](char* buffer, size_t size,
                    Milliseconds wait) { return session.receive(buffer, size, wait); },
                limit, waits.receive, reply);
  return reply;
}

SocketError readAll(int fd, int limit, LargeText& data, Milliseconds receiveWait) {
  return readAllFrom(plainReceive(fd), limit, data, receiveWait);
}

ReplyStatus replyStatus(const std::optional<LargeText>& data, HttpError error) {
  if (error != HttpError::kOk) {
    const int code = static_cast<int>(error);
    return {code, httpErrorText(code)};
  }
  // The reply is read as a text: it ends at its first zero byte.
  std::string_view text = data ? std::string_view(data->c_str()) : std::string_view();
  if (text.size() > 13 && startsWith(text, "HTTP/")) {
    int status = parseIntAtoi(text.substr(9));
    return {status, httpStatusText(status)};
  }
  const int invalid = static_cast<int>(HttpError::kInvalidHeader);
  return {invalid, httpErrorText(invalid)};
}

const char* httpStatusText(int status) {
  for (const StatusPhrase& phrase : kStatusPhrases) {
    if (phrase.status == status) return phrase.text;
  }
  return "Unknown HTTP Error";
}

const char* httpErrorText(int code) {
  if (code < 0 || code >= static_cast<int>(std::size(kHttpErrorTexts))) {
    return "Unknown connection error";
  }
  return kHttpErrorTexts[code];
}

}  // namespace vy
