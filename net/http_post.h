// The worker's HTTP/1.1 POST: one request with a body to one http:// or
// https:// address, for the chat and push services that notifications reach.
//
// It goes over the same connection code as the checks' GET (the host table,
// TLS verification with the same trust store and name checks) and it closes
// the connection after one reply. Unlike a check it reads the reply's head
// properly: the status from the status line, the body by Content-Length,
// chunked transfer coding or the peer's close, within a size limit. The whole
// exchange, connect to last byte, has one time limit.
//
// Safe from many threads at once, like httpGet.
#ifndef VANTRY_NET_HTTP_POST_H_
#define VANTRY_NET_HTTP_POST_H_

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "net/http.h"
#include "net/socket.h"

namespace vy {

// One POST. The request carries, in this order: the request line, Host,
// User-Agent (the worker's, setRequestIdentity), Content-Type,
// Content-Length, the extra headers in their order, Connection: close.
struct PostRequest {
  std::string url;
  std::string contentType;
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;  // name, value
};

// What came back. status and reason are those of the status line (0 and
// empty when none arrived); body is the reply's body with any chunked coding
// removed, cut to the size limit.
struct PostReply {
  HttpError code = HttpError::kOk;
  int status = 0;
  std::string reason;
  std::string body;

  // The transfer worked and the status is from 200 to 299.
  bool succeeded() const { return code == HttpError::kOk && status >= 200 && status <= 299; }
};

// The whole exchange ends after this long.
inline constexpr Milliseconds kPostTimeLimit{15000};
// At most this much of a reply (head and body as received) is read.
inline constexpr size_t kPostReplyLimit = size_t{64} << 10;

// Sends the request and reads the reply. The codes of parseHttpUrl for a URL
// it refuses, and kInvalidUrl also for a header name or value or content
// type that holds a control character (it would add lines to the request);
// kTimeout when the time limit ran out, at whichever step; the other
// transfer codes of httpGet; kInvalidHeader for a reply without a usable
// status line. A reply that ends before its announced body still gives its
// status (the service has answered).
[[nodiscard]] PostReply httpPost(const PostRequest& request, const HostTable& hosts,
                                 Milliseconds timeLimit = kPostTimeLimit);

// The request bytes that httpPost sends for `request` to `target`.
std::string buildPostRequest(const HttpTarget& target, const PostRequest& request);

// How far a received reply has got: its status line, and whether its body is
// complete. decodeReply fills `reply` (status, reason, body) from the bytes
// received so far and says whether the reply is complete.
[[nodiscard]] bool decodeReply(std::string_view received, PostReply& reply);

}  // namespace vy

#endif  // VANTRY_NET_HTTP_POST_H_
