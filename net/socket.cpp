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

#include <algorithm>
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

// --- Waiting ---------------------------------------------------------------------

int waitForEvents(int fd, short events, Milliseconds wait) {
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

namespace {

bool isSocket(int fd) {
  struct stat status {};
  return ::fstat(fd, &status) == 0 && S_ISSOCK(status.st_mode);
}

}  // namespace

void setSocketBlocking(int fd, bool blocking) {
  if (!isSocket(fd)) return;
  if (blocking) {
    ::fcntl(fd, F_SETFL, 0);
    return;
  }
  int flags = ::fcntl(fd, F_GETFL, 0);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

namespace {

// The socket address of address:port; `length` receives its size.
sockaddr_storage socketAddress(const IpAddress& address, uint16_t port, socklen_t& length) {
  sockaddr_storage storage{};
  if (address.family == AF_INET6) {
    auto* target = reinterpret_cast<sockaddr_in6*>(&storage);
    target->sin6_family = AF_INET6;
    target->sin6_port = htons(port);
    std::memcpy(&target->sin6_addr, address.bytes.data(), 16);
    length = sizeof(sockaddr_in6);
  } else {
    auto* target = reinterpret_cast<sockaddr_in*>(&storage);
    target->sin_family = AF_INET;
    target->sin_port = htons(port);
    std::memcpy(&target->sin_addr, address.bytes.data(), 4);
    length = sizeof(sockaddr_in);
  }
  return storage;
}

bool connectInProgress(int error) {
  return error == EINPROGRESS || error == EAGAIN || error == EINTR || error == 0;
}

// --- Resolver ----------------------------------------------------------------------

// Every address the resolver gives for name, in its order, each once.
std::vector<IpAddress> forwardLookup(const std::string& name) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  std::vector<IpAddress> addresses;
  if (::getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0) return addresses;
  for (const addrinfo* at = found; at; at = at->ai_next) {
    IpAddress address;
    address.family = at->ai_family;
    if (at->ai_family == AF_INET) {
      std::memcpy(address.bytes.data(), &reinterpret_cast<sockaddr_in*>(at->ai_addr)->sin_addr, 4);
    } else if (at->ai_family == AF_INET6) {
      std::memcpy(address.bytes.data(), &reinterpret_cast<sockaddr_in6*>(at->ai_addr)->sin6_addr,
                  16);
    } else {
      continue;
    }
    if (std::find(addresses.begin(), addresses.end(), address) == addresses.end()) {
      addresses.push_back(address);
    }
  }
  ::freeaddrinfo(found);
  return addresses;
}

bool hasReverseName(const IpAddress& address) {
  socklen_t length = 0;
  const sockaddr_storage storage = socketAddress(address, 0, length);
  char name[NI_MAXHOST];
  return ::getnameinfo(reinterpret_cast<const sockaddr*>(&storage), length, name, sizeof name,
                       nullptr, 0, NI_NAMEREQD) == 0 &&
         name[0] != '\0';
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
    entry.address = parseIpAddress(line.substr(line.rfind(' ') + 1));
  }
  return entry;
}

std::optional<IpAddress> hostTableAddress(const std::string& name) {
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

UniqueFd openStreamSocket(int family) {
  return UniqueFd(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
}

HttpError connectTimeout(int fd, const IpAddress& address, uint16_t port,
                         std::optional<Milliseconds> wait) {
  socklen_t length = 0;
  const sockaddr_storage target = socketAddress(address, port, length);
  auto* generic = reinterpret_cast<const sockaddr*>(&target);
  if (!wait) {
    return ::connect(fd, generic, length) == 0 ? HttpError::kOk : HttpError::kConnectError;
  }
  setSocketBlocking(fd, false);
  if (::connect(fd, generic, length) == 0) {
    setSocketBlocking(fd, true);
    return HttpError::kOk;
  }
  if (!connectInProgress(errno)) return HttpError::kConnectError;
  int ready = waitForEvents(fd, POLLOUT, *wait);
  if (ready == 0) return HttpError::kTimeout;
  if (ready < 0) return HttpError::kConnectError;
  int pending = 0;
  socklen_t size = sizeof pending;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &size) != 0 || pending != 0) {
    return HttpError::kConnectError;
  }
  setSocketBlocking(fd, true);
  return HttpError::kOk;
}

HttpError connectToHost(const std::string& host, uint16_t port, int seconds, UniqueFd& socket) {
  std::vector<IpAddress> addresses;
  if (resolveHost(host, addresses) != HttpError::kOk) return HttpError::kLookupFailed;
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::seconds(seconds);
  HttpError rc = HttpError::kConnectError;
  for (const IpAddress& address : addresses) {
    // Below a second every connect blocks; otherwise they share the time limit.
    std::optional<Milliseconds> left;
    if (seconds >= 1) {
      left = std::chrono::duration_cast<Milliseconds>(deadline - Clock::now());
      if (*left < Milliseconds(1)) {
        rc = HttpError::kTimeout;
        break;
      }
    }
    socket = openStreamSocket(address.family);
    if (!socket) {
      rc = HttpError::kSocketError;
      continue;
    }
    rc = connectTimeout(socket.get(), address, port, left);
    if (rc == HttpError::kOk) return rc;
    socket.reset();
  }
  socket.reset();
  return rc;
}

long recvTimeout(int fd, char* buffer, size_t size, Milliseconds wait) {
  int ready = waitForEvents(fd, POLLIN, wait);
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

std::optional<IpAddress> parseIpAddress(std::string_view text) {
  const std::string terminated(text);
  IpAddress address;
  const in_addr_t dotted = ::inet_addr(terminated.c_str());
  if (dotted != INADDR_NONE) {
    address.family = AF_INET;
    std::memcpy(address.bytes.data(), &dotted, 4);
    return address;
  }
  if (::inet_pton(AF_INET6, terminated.c_str(), address.bytes.data()) == 1) {
    address.family = AF_INET6;
    return address;
  }
  return std::nullopt;
}

HttpError resolveHost(const std::string& name, std::vector<IpAddress>& addresses) {
  addresses.clear();
  std::optional<IpAddress> found = parseIpAddress(name);
  if (!found) {
    found = hostTableAddress(name);
    if (found && !hasReverseName(*found)) found.reset();
  }
  if (found) {
    addresses.push_back(*found);
  } else {
    addresses = forwardLookup(name);
  }
  return addresses.empty() ? HttpError::kLookupFailed : HttpError::kOk;
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
