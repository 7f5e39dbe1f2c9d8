// The worker's HTTP/1.0 client: one GET of one http:// or https:// URL over
// a fresh connection (IPv4 or IPv6, TLS for https://), the whole raw reply
// (up to a size limit) handed back to the caller, and the reply condensed
// into one status code with a text.
//
// It follows no redirects and reads no headers: the URL check does that on
// the raw bytes. Every request call is safe from many threads at once; the
// only shared state is the two identity texts, which are set once at worker
// start, before any thread runs.
#ifndef VANTRY_NET_HTTP_H_
#define VANTRY_NET_HTTP_H_

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "common/large_block.h"
#include "net/socket.h"
#include "net/tls.h"

namespace vy {

// The result of a transfer. The numbers are those of the status code a failed
// check stores (see replyStatus); 3, 6 and 9 belong to the code set and have
// texts, but nothing produces them.
enum class HttpError : int {
  kOk = 0,
  kTimeout = 1,        // "Connection timeout": a connect, handshake or receive wait ran out
  kLookupFailed = 2,   // "Hostname lookup failed"
  kSocketError = 4,    // "Socket error": no socket, or waiting/receiving failed
  kConnectError = 5,   // "Connection error": refused or failed
  kInvalidUrl = 7,     // "Invalid URL": neither "http://..." nor "https://..."
  kInvalidHeader = 8,  // "Invalid header": no usable status line
  kTlsHandshake = 10,  // "TLS handshake failed"
  kCertificate = 11,   // "Certificate not valid": untrusted chain, wrong name, expired
};

// What one request hands back.
struct HttpReply {
  HttpError code = HttpError::kOk;
  // Exactly the bytes received (status line, headers, blank line, body);
  // absent when no read was made. After a failed read it holds what had
  // arrived so far.
  std::optional<LargeText> data;
  size_t length = 0;  // bytes received
  // For https://, the earliest-expiring certificate of the verified chain
  // (TlsSession::earliestCertificate), set once the handshake succeeded,
  // even when sending or reading then failed; none for http:// and for a
  // failed handshake.
  std::optional<CertificateInfo> certificate;
};

// The ports of the two schemes when a URL gives none.
inline constexpr uint16_t kHttpPort = 80;
inline constexpr uint16_t kHttpsPort = 443;
// The host part of a URL (with its port) is cut to this many characters.
inline constexpr size_t kMaxHostLength = 254;

// Where a URL's request goes and what it asks for.
struct HttpTarget {
  bool tls = false;  // https://
  std::string host;  // a name or an address; an IPv6 address without brackets
  uint16_t port = kHttpPort;
  std::string hostHeader;  // the host as written, with the port unless it is the default
  std::string path;        // "/" when the URL has none; a query alone gets "/" in front
};

// Takes url apart. The scheme is exactly "http://" or "https://"; the host
// part ends at the first "/" or "?" and may hold a bracketed IPv6 address and
// a ":port". kOk; kInvalidUrl for another scheme or a URL that holds a
// control character (it would break the request); kLookupFailed when the port
// is not a number from 1 to 65535 or a bracket is not closed (the host cannot
// be found, as before ports were read).
[[nodiscard]] HttpError parseHttpUrl(std::string_view url, HttpTarget& target);
// How long a request waits: for its connects in all, and for each reply chunk
// (and the TLS handshake in all). Tests shorten them.
struct RequestWaits {
  Milliseconds connect{15000};
  Milliseconds receive{15000};
};
// A request without a size limit stops reading here, so a server that never
// stops sending cannot exhaust the worker's memory.
inline constexpr size_t kUnlimitedReplyCap = size_t{64} << 20;

// The User-Agent and Referer of every request (USRAGENT and REFERER of the
// settings). Set once at worker start; both are empty until then. A value
// that holds a control character is never sent: its header stays empty.
void setRequestIdentity(const std::string& userAgent, const std::string& referer);
// The User-Agent that setRequestIdentity set, for the other requests of the worker.
std::string requestUserAgent();

// The transfer code of a failed socket step or TLS handshake, the same for
// every request the worker makes.
HttpError transferCode(SocketError error);
HttpError transferCode(TlsError error);

// GETs url, resolving its host with `hosts`. limit: the size limit of the
// reply in bytes (0 sends the request and reads nothing; below 0 no limit up
// to kUnlimitedReplyCap). The codes of parseHttpUrl for a URL it refuses;
// kTlsHandshake or kCertificate when an https:// site's handshake fails; the
// socket steps' failures as kLookupFailed, kTimeout, kSocketError or
// kConnectError.
HttpReply httpGet(const std::string& url, int limit, const HostTable& hosts,
                  RequestWaits waits = {});

// Connects to the target (over TLS for https), sends requestText and reads
// the reply as httpGet does.
HttpReply httpRequest(const HttpTarget& target, const std::string& requestText, int limit,
                      const HostTable& hosts, RequestWaits waits = {});

// Reads the reply until the peer closes or the total reaches limit (limit >=
// 1) or kUnlimitedReplyCap (limit < 1). It keeps what receiving in chunks of
// 512 bytes would keep: the last chunk whole, so up to 511 bytes more than
// limit. Each receive takes up to 64 KB that way, awaited at most
// receiveWait; the buffer grows geometrically and never holds more than the
// bytes that may be kept.
// kOk, kTimedOut or kReceiveFailed; `data` holds what arrived in every case.
[[nodiscard]] SocketError readAll(int fd, int limit, LargeText& data,
                                  Milliseconds receiveWait = RequestWaits().receive);

// A reply condensed into one status code, the one number a check stores: the
// number of the status line (an HTTP status), or the number of the HttpError
// of a failed transfer (below 100); text is a static text.
struct ReplyStatus {
  int code = 0;
  const char* text = "";
};

// A failed transfer gives its error's number and text. Otherwise the data
// (absent counts as empty) must be longer than 13 characters and begin with
// "HTTP/": the status is the number at position 9 with its reason phrase.
// Anything else is 8 "Invalid header". This is the one way an HttpError
// becomes a status code.
[[nodiscard]] ReplyStatus replyStatus(const std::optional<LargeText>& data, HttpError error);
inline ReplyStatus replyStatus(const HttpReply& reply) {
  return replyStatus(reply.data, reply.code);
}

// A page is up, and a notification call worked, with a status from 200 to 399.
inline bool isUpCode(int statusCode) { return statusCode >= 200 && statusCode <= 399; }

// The reason phrase of an HTTP status; "Unknown HTTP Error" for others.
const char* httpStatusText(int status);

// The text of a status code below 100 (an HttpError's number, or a code of the
// set nothing produces); "Unknown connection error" for other numbers.
const char* httpErrorText(int code);

}  // namespace vy

#endif  // VANTRY_NET_HTTP_H_
