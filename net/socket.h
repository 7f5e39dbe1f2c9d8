// The socket layer under the worker's HTTP client and mail sender, in three
// parts: waits, connects and receives with time limits (trying each address
// of a host in turn); IPv4 and IPv6 names and their resolution; and the local
// host table, an object loaded once and handed to every resolution.
//
// Every call is safe from many check threads at once. All state of a call
// lives in the call and its arguments; the resolver calls are the reentrant
// ones, and a loaded HostTable is only read.
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
#include <utility>
#include <vector>

#include "common/fd.h"
#include "common/status.h"

namespace vy {

using Milliseconds = std::chrono::milliseconds;

// What failed in a socket step. The HTTP client and the mail sender each turn
// it into a code of their own.
enum class SocketError : int {
  kOk = 0,
  kTimedOut,       // a connect or receive wait ran out
  kNameUnknown,    // the host name resolved to no address
  kNoSocket,       // no socket could be made
  kConnectFailed,  // refused, unreachable, or the connect wait failed
  kReceiveFailed,  // waiting for or receiving a reply failed
};

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

// --- Host table --------------------------------------------------------------------

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

// The names an administrator fixes to addresses. A check run loads it once,
// before its threads start, and every request of the run reads it.
class HostTable {
 public:
  HostTable() = default;  // no entries
  explicit HostTable(std::vector<HostEntry> entries) : entries_(std::move(entries)) {}

  // The table of the file at path; empty when there is none.
  static HostTable load(const std::string& path = kHostsPath);

  // The address of the first entry named `name` (in any case); none when no
  // entry has the name or the first that has it holds no valid address.
  std::optional<IpAddress> lookup(std::string_view name) const;

 private:
  std::vector<HostEntry> entries_;
};

// --- Names and resolving -----------------------------------------------------------

// A dotted IPv4 address as inet_addr reads it (255.255.255.255 is none) or
// an IPv6 address; none for any other text.
std::optional<IpAddress> parseIpAddress(std::string_view text);

// The addresses to try for a host, in this order: an address text
// (parseIpAddress); the host table's address, used only when the reverse
// lookup of that address yields a name; the resolver's addresses of both
// families in its order, each once. Empty when the name is unknown.
std::vector<IpAddress> resolveHost(const std::string& name, const HostTable& hosts);

// --- Sockets and waits -----------------------------------------------------------

enum class WaitResult { kReady, kTimedOut, kFailed };

// Waits at most `wait` for `events` (poll's) on fd. An error or hang-up
// counts as ready, as it does for select; a signal does not end the wait early.
[[nodiscard]] WaitResult waitForEvents(int fd, short events, Milliseconds wait);

// Non-blocking adds O_NONBLOCK; blocking clears every status flag.
void setSocketBlocking(int fd, bool blocking);

// A new stream socket of the family (close-on-exec); invalid when it cannot
// be made.
UniqueFd openStreamSocket(int family);

// Connects fd (of the address's family) to address:port. Without a wait the
// connect blocks; otherwise it is made non-blocking and waits at most `wait`
// for the socket to become writable, then the socket is put back into
// blocking mode. kOk, kTimedOut, or kConnectFailed for any other failure.
[[nodiscard]] SocketError connectTimeout(int fd, const IpAddress& address, uint16_t port,
                                         std::optional<Milliseconds> wait);

// Resolves host (resolveHost) and connects a new socket to its port, trying
// the addresses in their order until one connects. A positive `wait` is
// shared by all the connects; with none (zero) each connect blocks. kOk with
// `socket` connected; otherwise kNameUnknown, or the last address's kNoSocket,
// kTimedOut or kConnectFailed, and `socket` is closed. The status names host.
[[nodiscard]] Status<SocketError> connectToHost(const std::string& host, uint16_t port,
                                                const HostTable& hosts, Milliseconds wait,
                                                UniqueFd& socket);

// What one receive gave: bytes (their count), the peer's close, a wait that
// ran out, or a failed wait or receive.
struct Received {
  enum class Kind { kBytes, kClosed, kTimedOut, kFailed };
  Kind kind = Kind::kFailed;
  size_t bytes = 0;  // the count for kBytes (at least 1), else 0
};

// Waits at most `wait` for fd to become readable, then makes one receive of
// up to `size` bytes.
[[nodiscard]] Received recvTimeout(int fd, char* buffer, size_t size, Milliseconds wait);

// Reads one short reply (an SMTP answer) into `text`: chunks of up to 512
// bytes, each awaited at most `wait`, cut so that the text never exceeds
// `limit` bytes. A chunk shorter than 512 bytes ends the reply, as does the
// peer closing or the limit being reached. kOk, kTimedOut or kReceiveFailed;
// `text` holds what arrived in every case.
[[nodiscard]] SocketError readReply(int fd, std::string& text, size_t limit, Milliseconds wait);

// Sends all of `bytes` with one send call (MSG_NOSIGNAL, so a closed peer is
// a failure, not SIGPIPE): whether every byte went.
[[nodiscard]] bool sendText(int fd, const std::string& bytes);

}  // namespace vy

#endif  // VANTRY_NET_SOCKET_H_
