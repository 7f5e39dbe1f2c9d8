// The socket layer under the worker's HTTP client and mail sender: IPv4 name
// resolution with the local host table, connect with a time limit, receive
// with a time limit and reading one short reply.
//
// Every call is safe from many check threads at once. All state of a call
// lives in the call; the resolver calls are the reentrant ones. The only
// process-wide state is the host table from ./hosts.dat, which the check run
// loads before its threads start and releases after they are joined.
//
// Waits use poll(2) rather than select(2): a busy worker may hold descriptors
// above FD_SETSIZE, which select cannot watch. Time limits are whole seconds.
#ifndef VANTRY_NET_SOCKET_H_
#define VANTRY_NET_SOCKET_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/fd.h"

namespace vy {

// HttpError: the result code of a transfer (and of the socket steps below).
enum HttpError : int {
  kHttpOk = 0,
  kHttpTimeout = 1,          // "Connection timeout": a connect or receive wait ran out
  kHttpLookupFailed = 2,     // "Hostname lookup failed"
  kHttpInvalidAddress = 3,   // "Invalid IP address" (never produced; part of the code set)
  kHttpSocketError = 4,      // "Socket error": no socket, or waiting/receiving failed
  kHttpConnectError = 5,     // "Connection error": refused or failed
  kHttpAllocation = 6,       // "Allocation memory"
  kHttpInvalidUrl = 7,       // "Invalid URL": not "http://..."
  kHttpInvalidHeader = 8,    // "Invalid header": no usable status line
  kHttpUnknownResponse = 9,  // "Unknown response" (never produced; part of the code set)
};

// Replies are received in chunks of at most this many bytes.
inline constexpr size_t kReceiveChunk = 512;

// The host table file, in the process's working directory.
inline constexpr const char* kHostsPath = "hosts.dat";

// --- Sockets -------------------------------------------------------------------

// A new IPv4 stream socket (close-on-exec); invalid when it cannot be made.
UniqueFd openStreamSocket();

// Connects fd to address:port (address in network byte order). Below 1 second
// the connect blocks; otherwise it is made non-blocking and waits at most
// `seconds` for the socket to become writable, then the socket is put back
// into blocking mode. 0 connected, 1 the wait ran out, 5 any other failure.
int connectTimeout(int fd, uint32_t address, uint16_t port, int seconds);

// Resolves host (resolveHost) and connects a new socket to its port
// (connectTimeout). 0 with `socket` connected; otherwise 2 (lookup), 4 (no
// socket), 1 or 5 (connect), and `socket` is closed.
int connectToHost(const std::string& host, uint16_t port, int seconds, UniqueFd& socket);

// Waits at most `seconds` for fd to become readable, then makes one receive of
// up to `size` bytes. The byte count (0 when the peer has closed), -2 when the
// wait ran out, -1 when the wait or the receive failed.
long recvTimeout(int fd, char* buffer, size_t size, int seconds);

// Reads one short reply (an SMTP answer) into `text`: chunks of up to 512
// bytes, each awaited at most `seconds`, cut so that the text never exceeds
// `limit` bytes. A chunk shorter than 512 bytes ends the reply, as does the
// peer closing or the limit being reached. 0, 1 (a wait ran out) or 4 (a
// wait or receive failed); `text` holds what arrived in every case.
int readReply(int fd, std::string& text, size_t limit, int seconds);

// Sends all of `bytes` with one send call (MSG_NOSIGNAL, so a closed peer is
// an error result, not SIGPIPE). The send's result.
long sendText(int fd, const std::string& bytes);

// --- Names -----------------------------------------------------------------------

// Resolves a host name to an IPv4 address in network byte order, in this
// order: a dotted address (255.255.255.255 is not one); the host table
// (case-insensitive, first entry wins, used only when the reverse lookup of
// its address yields a name); the reentrant forward lookup. 0 with `address`
// set, or 2.
int resolveHost(const std::string& name, uint32_t& address);

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
