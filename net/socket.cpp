// Sockets with time limits and name resolution with the host table; see
// socket.h.
#include "net/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string_view>
#include <vector>

#include "common/files.h"
#include "common/text.h"

namespace vy {
namespace {

// --- Waiting ---------------------------------------------------------------------

// Waits at most `wait` for `events` on fd: 1 ready (an error or hang-up
// counts as ready, as it does for select), 0 the time ran out, -1 the wait
// failed. A signal does not end the wait early.
int waitFor(int fd, short events, Milliseconds wait) {
  if (fd < 0 || wait.count() < 0) return -1;
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + wait;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd watch{fd, events, 0};
    int ready = ::poll(&watch, 1, static_cast<int>(std::max<long long>(0, left.count())));
    if (ready > 0) return (watch.revents & POLLNVAL) ? -1 : 1;
    if (ready == 0) return 0;
    if (errno != EINTR) return -1;
  }
}

bool isSocket(int fd) {
  struct stat status {};
  return ::fstat(fd, &status) == 0 && S_ISSOCK(status.st_mode);
}

// Non-blocking adds O_NONBLOCK; blocking clears every status flag.
void setBlocking(int fd, bool blocking) {
  if (!isSocket(fd)) return;
  if (blocking) {
    ::fcntl(fd, F_SETFL, 0);
    return;
  }
  int flags = ::fcntl(fd, F_GETFL, 0);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

sockaddr_in ipv4Address(uint32_t address, uint16_t port) {
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(port);
  target.sin_addr.s_addr = address;
  return target;
}

bool connectInProgress(int error) {
  return error == EINPROGRESS || error == EAGAIN || error == EINTR || error == 0;
}

// --- Resolver ----------------------------------------------------------------------

// The reentrant resolver calls want a scratch buffer; it starts at 1024
// bytes and doubles while the resolver says it is too small, up to a bound
// no real answer needs.
constexpr size_t kResolverScratch = 1024;
constexpr size_t kResolverScratchMax = 1 << 20;

template <typename Lookup>
const hostent* lookupWithScratch(hostent& entry, std::vector<char>& scratch, Lookup lookup) {
  scratch.resize(kResolverScratch);
  for (;;) {
    hostent* result = nullptr;
    int resolverError = 0;
    int rc = lookup(&entry, scratch.data(), scratch.size(), &result, &resolverError);
    if (rc != ERANGE || scratch.size() >= kResolverScratchMax) return rc == 0 ? result : nullptr;
    scratch.resize(scratch.size() * 2);
  }
}

std::optional<uint32_t> forwardLookup(const std::string& name) {
  hostent entry{};
  std::vector<char> scratch;
  const hostent* found = lookupWithScratch(
      entry, scratch, [&](hostent* e, char* buf, size_t len, hostent** result, int* err) {
        return ::gethostbyname_r(name.c_str(), e, buf, len, result, err);
      });
  if (!found || found->h_addrtype != AF_INET || found->h_length != 4 || !found->h_addr_list ||
      !found->h_addr_list[0]) {
    return std::nullopt;
  }
  uint32_t address;
  std::memcpy(&address, found->h_addr_list[0], sizeof address);
  return address;
}

bool hasReverseName(uint32_t address) {
  in_addr ipv4{address};
  hostent entry{};
  std::vector<char> scratch;
  const hostent* found = lookupWithScratch(
      entry, scratch, [&](hostent* e, char* buf, size_t len, hostent** result, int* err) {
        return ::gethostbyaddr_r(&ipv4, sizeof ipv4, AF_INET, e, buf, len, result, err);
      });
  return found && found->h_name && found->h_name[0] != '\0';
}

// A dotted address as inet_addr reads it; 255.255.255.255 is none.
std::optional<uint32_t> parseDottedAddress(const char* text) {
  in_addr_t address = ::inet_addr(text);
  if (address == INADDR_NONE) return std::nullopt;
  return address;
}

// --- Host table --------------------------------------------------------------------

// Absent (nullopt) or loaded; lookups share the lock, load and release take
// it alone.
struct HostTable {
  std::shared_mutex mutex;
  std::optional<std::vector<HostEntry>> entries;
};

HostTable& hostTable() {
  static HostTable table;
  return table;
}

// One line: the name before the first space, the address after the last.
HostEntry parseHostLine(std::string_view line) {
  HostEntry entry;
  size_t firstSpace = line.find(' ');
  entry.name = lowerCopy(line.substr(0, firstSpace));
  if (firstSpace != std::string_view::npos) {
    std::string addressText(line.substr(line.rfind(' ') + 1));
    entry.address = parseDottedAddress(addressText.c_str()).value_or(0);
  }
  return entry;
}

std::optional<uint32_t> hostTableAddress(const std::string& name) {
  HostTable& table = hostTable();
  std::shared_lock lock(table.mutex);
  if (!table.entries) return std::nullopt;
  std::string sought = lowerCopy(name);
  for (const HostEntry& entry : *table.entries) {
    if (entry.name == sought) return entry.address;
  }
  return std::nullopt;
}

}  // namespace

std::vector<HostEntry> parseHostTable(std::string_view text) {
  std::vector<HostEntry> entries;
  if (text.empty()) return entries;
  size_t start = 0;
  for (;;) {
    size_t end = text.find('\n', start);
    entries.push_back(parseHostLine(text.substr(start, end - start)));
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return entries;
}

// --- Sockets -----------------------------------------------------------------------

UniqueFd openStreamSocket() { return UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)); }

HttpError connectTimeout(int fd, uint32_t address, uint16_t port, int seconds) {
  sockaddr_in target = ipv4Address(address, port);
  auto* generic = reinterpret_cast<const sockaddr*>(&target);
  if (seconds < 1) {
    return ::connect(fd, generic, sizeof target) == 0 ? HttpError::kOk : HttpError::kConnectError;
  }
  setBlocking(fd, false);
  if (::connect(fd, generic, sizeof target) == 0) {
    setBlocking(fd, true);
    return HttpError::kOk;
  }
  if (!connectInProgress(errno)) return HttpError::kConnectError;
  int ready = waitFor(fd, POLLOUT, std::chrono::seconds(seconds));
  if (ready == 0) return HttpError::kTimeout;
  if (ready < 0) return HttpError::kConnectError;
  int pending = 0;
  socklen_t size = sizeof pending;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &size) != 0 || pending != 0) {
    return HttpError::kConnectError;
  }
  setBlocking(fd, true);
  return HttpError::kOk;
}

HttpError connectToHost(const std::string& host, uint16_t port, int seconds, UniqueFd& socket) {
  uint32_t address = 0;
  if (resolveHost(host, address) != HttpError::kOk) return HttpError::kLookupFailed;
  socket = openStreamSocket();
  if (!socket) return HttpError::kSocketError;
  HttpError rc = connectTimeout(socket.get(), address, port, seconds);
  if (rc != HttpError::kOk) socket.reset();
  return rc;
}

long recvTimeout(int fd, char* buffer, size_t size, Milliseconds wait) {
  int ready = waitFor(fd, POLLIN, wait);
  if (ready == 0) return kReceiveTimedOut;
  if (ready < 0) return kReceiveFailed;
  for (;;) {
    ssize_t received = ::recv(fd, buffer, size, 0);
    if (received >= 0) return received;
    if (errno != EINTR) return kReceiveFailed;
  }
}

HttpError readReply(int fd, std::string& text, size_t limit, Milliseconds wait) {
  text.clear();
  char chunk[kReceiveChunk];
  for (;;) {
    long received = recvTimeout(fd, chunk, sizeof chunk, wait);
    if (received == 0) break;
    if (received == kReceiveTimedOut) return HttpError::kTimeout;
    if (received < 0) return HttpError::kSocketError;
    size_t kept = std::min(static_cast<size_t>(received), limit - text.size());
    text.append(chunk, kept);
    if (text.size() >= limit || kept < kReceiveChunk) break;
  }
  return HttpError::kOk;
}

long sendText(int fd, const std::string& bytes) {
  return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
}

// --- Names ---------------------------------------------------------------------------

HttpError resolveHost(const std::string& name, uint32_t& address) {
  std::optional<uint32_t> found = parseDottedAddress(name.c_str());
  if (!found) {
    found = hostTableAddress(name);
    if (found && !hasReverseName(*found)) found.reset();
  }
  if (!found) found = forwardLookup(name);
  if (!found) return HttpError::kLookupFailed;
  address = *found;
  return HttpError::kOk;
}

bool loadHosts() {
  HostTable& table = hostTable();
  std::unique_lock lock(table.mutex);
  if (table.entries) return false;
  table.entries = parseHostTable(readWholeFile(kHostsPath));
  return true;
}

void releaseHosts(bool loadedHere) {
  if (!loadedHere) return;
  HostTable& table = hostTable();
  std::unique_lock lock(table.mutex);
  table.entries.reset();
}

}  // namespace vy
