// The socket layer under the worker's HTTP client and mail sender: IPv4 and
// IPv6 name resolution with the local host table, connect with a time limit
// (trying each address in turn), receive with a time limit and reading one
// short reply.
//
// Every call is safe from many check threads at once. All state of a call
// lives in the call; the resolver calls are the reentrant ones. The only
// process-wide state is the host table from ./hosts.dat, which the check run
// loads before its threads start and releases after they are joined.
//
// Waits use poll(2) rather than select(2): a busy worker may hold descriptors
// above FD_SETSIZE, which select cannot watch. Every wait has a deadline on
// the monotonic clock, so a step of the wall clock neither ends nor stretches it.
#ifndef VANTRY_NET_SOCKET_H_
#define VANTRY_NET_SOCKET_H_

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/fd.h"

namespace vy {

// The result of a transfer (and of the socket steps below). The numbers are
// those of the status code a failed check stores (see replyStatus); 3, 6 and
// 9 belong to the code set and have texts, but nothing produces them.
enum class HttpError : int {
  kOk = 0,
  kTimeout = 1,        // "Connection timeout": a connect or receive wait ran out
  kLookupFailed = 2,   // "Hostname lookup failed"
  kSocketError = 4,    // "Socket error": no socket, or waiting/receiving failed
  kConnectError = 5,   // "Connection error": refused or failed
  kInvalidUrl = 7,     // "Invalid URL": neither "http://..." nor "https://..."
  kInvalidHeader = 8,  // "Invalid header": no usable status line
  kTlsHandshake = 10,  // "TLS handshake failed"
  kCertificate = 11,   // "Certificate not valid": untrusted chain, wrong name, expired
};

using Milliseconds = std::chrono::milliseconds;

// Replies are received in chunks of at most this many bytes.
inline constexpr size_t kReceiveChunk = 512;

// The host table file, in the process's working directory.
inline constexpr const char* kHostsPath = "hosts.dat";

// An IPv4 or IPv6 address.
struct IpAddress {
  int family = 0;                   // AF_INET or AF_INET6
  std::array<uint8_t, 16> bytes{};  // network byte order; the first 4 for IPv4
  bool operator==(const IpAddress&) const = default;
};

// A dotted IPv4 address as inet_addr reads it (255.255.255.255 is none) or
// an IPv6 address; none for any other text.
std::optional<IpAddress> parseIpAddress(std::string_view text);

// --- Sockets -------------------------------------------------------------------

// Waits at most `wait` for `events` (poll's) on fd: 1 ready (an error or
// hang-up counts as ready, as it does for select), 0 the time ran out, -1 the
// wait failed. A signal does not end the wait early.
int waitForEvents(int fd, short events, Milliseconds wait);

// Non-blocking adds O_NONBLOCK; blocking clears every status flag.
void setSocketBlocking(int fd, bool blocking);

// A new stream socket of the family (close-on-exec); invalid when it cannot
// be made.
UniqueFd openStreamSocket(int family);

// Connects fd (of the address's family) to address:port. Without a wait the
// connect blocks; otherwise it is made non-blocking and waits at most `wait`
// for the socket to become writable, then the socket is put back into
// blocking mode. kOk, kTimeout, or kConnectError for any other failure.
[[nodiscard]] HttpError connectTimeout(int fd, const IpAddress& address, uint16_t port,
                                       std::optional<Milliseconds> wait);

// Resolves host (resolveHost) and connects a new socket to its port, trying
// the addresses in their order until one connects. Below 1 second each
// connect blocks; otherwise all of them share the limit of `seconds`. kOk
// with `socket` connected; otherwise kLookupFailed, or the last address's
// kSocketError (no socket), kTimeout or kConnectError, and `socket` is closed.
[[nodiscard]] HttpError connectToHost(const std::string& host, uint16_t port, int seconds,
                                      UniqueFd& socket);

// What recvTimeout returns besides a byte count.
inline constexpr long kReceiveTimedOut = -2;
inline constexpr long kReceiveFailed = -1;

// Waits at most `wait` for fd to become readable, then makes one receive of
// up to `size` bytes. The byte count (0 when the peer has closed),
// kReceiveTimedOut or kReceiveFailed (the wait or the receive failed).
long recvTimeout(int fd, char* buffer, size_t size, Milliseconds wait);

// Reads one short reply (an SMTP answer) into `text`: chunks of up to 512
// bytes, each awaited at most `wait`, cut so that the text never exceeds
// `limit` bytes. A chunk shorter than 512 bytes ends the reply, as does the
// peer closing or the limit being reached. kOk, kTimeout or kSocketError (a
// wait or receive failed); `text` holds what arrived in every case.
[[nodiscard]] HttpError readReply(int fd, std::string& text, size_t limit, Milliseconds wait);

// Sends all of `bytes` with one send call (MSG_NOSIGNAL, so a closed peer is
// an error result, not SIGPIPE). The send's result.
long sendText(int fd, const std::string& bytes);

// --- Names -----------------------------------------------------------------------

// Resolves a host name to the addresses to try, in this order: an address
// text (parseIpAddress); the host table (case-insensitive, first entry wins,
// used only when the reverse lookup of its address yields a name); the
// resolver's addresses of both families in its order. kOk with at least one
// address, or kLookupFailed.
[[nodiscard]] HttpError resolveHost(const std::string& name, std::vector<IpAddress>& addresses);

// One line of the host table: the name before the first space (lower case),
// the IPv4 or IPv6 address after the last; none when the line has no space or
// no valid address there.
struct HostEntry {
  std::string name;
  std::optional<IpAddress> address;
};

// The entries of a hosts.dat text in file order, one per line: the line feeds
// plus one for a non-empty text.
std::vector<HostEntry> parseHostTable(std::string_view text);

// The host table is loaded around a stretch of work that resolves names.
// loadHosts returns true when this call found the table absent and loaded it
// (with or without a hosts.dat); a call that finds it loaded changes nothing
// and returns false. releaseHosts(true) frees the table; releaseHosts(false)
// leaves it, so a nested pair (the mail sender inside a check run) never
// frees the table the outer pair loaded. Pass each release the value its
// load returned.
[[nodiscard]] bool loadHosts();
void releaseHosts(bool loadedHere);

// loadHosts / releaseHosts as a scope.
class HostTableScope {
 public:
  HostTableScope() : loadedHere_(loadHosts()) {}
  ~HostTableScope() { releaseHosts(loadedHere_); }
  HostTableScope(const HostTableScope&) = delete;
  HostTableScope& operator=(const HostTableScope&) = delete;

 private:
  bool loadedHere_;
};

}  // namespace vy

#endif  // VANTRY_NET_SOCKET_H_
