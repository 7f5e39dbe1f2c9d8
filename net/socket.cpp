// The host table, name resolution, and sockets with time limits; see
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
#include <optional>
#include <string_view>
#include <vector>

#include "common/files.h"
#include "common/text.h"

namespace vy {
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

}  // namespace

// --- Host table ----------------------------------------------------------------------

namespace {

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

HostTable HostTable::load(const std::string& path) {
  return HostTable(parseHostTable(readWholeFile(path)));
}

std::optional<IpAddress> HostTable::lookup(std::string_view name) const {
  const std::string sought = lowerCopy(name);
  for (const HostEntry& entry : entries_) {
    if (entry.name == sought) return entry.address;
  }
  return std::nullopt;
}

// --- Names and resolving -------------------------------------------------------------

namespace {

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

}  // namespace

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

std::vector<IpAddress> resolveHost(const std::string& name, const HostTable& hosts) {
  std::optional<IpAddress> found = parseIpAddress(name);
  if (!found) {
    found = hosts.lookup(name);
    if (found && !hasReverseName(*found)) found.reset();
  }
  if (found) return {*found};
  return forwardLookup(name);
}

// --- Sockets and waits ---------------------------------------------------------------

namespace {

using Clock = std::chrono::steady_clock;

bool isSocket(int fd) {
  struct stat status {};
  return ::fstat(fd, &status) == 0 && S_ISSOCK(status.st_mode);
}

bool connectInProgress(int error) {
  return error == EINPROGRESS || error == EAGAIN || error == EINTR || error == 0;
}

// Whether the socket's pending connect ended without an error.
bool connectSucceeded(int fd) {
  int pending = 0;
  socklen_t size = sizeof pending;
  return ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &size) == 0 && pending == 0;
}

// The time left of a shared connect limit for the next address: none for a
// blocking connect (no limit), zero when the limit is spent.
std::optional<Milliseconds> connectTimeLeft(Milliseconds wait, Clock::time_point deadline) {
  if (wait <= Milliseconds(0)) return std::nullopt;
  return std::chrono::duration_cast<Milliseconds>(deadline - Clock::now());
}

}  // namespace

WaitResult waitForEvents(int fd, short events, Milliseconds wait) {
  if (fd < 0 || wait.count() < 0) return WaitResult::kFailed;
  const auto deadline = Clock::now() + wait;
  for (;;) {
    auto left = std::chrono::duration_cast<Milliseconds>(deadline - Clock::now());
    pollfd watch{fd, events, 0};
    int ready = ::poll(&watch, 1, static_cast<int>(std::max<long long>(0, left.count())));
    if (ready > 0) return (watch.revents & POLLNVAL) ? WaitResult::kFailed : WaitResult::kReady;
    if (ready == 0) return WaitResult::kTimedOut;
    if (errno != EINTR) return WaitResult::kFailed;
  }
}

void setSocketBlocking(int fd, bool blocking) {
  if (!isSocket(fd)) return;
  if (blocking) {
    ::fcntl(fd, F_SETFL, 0);
    return;
  }
  int flags = ::fcntl(fd, F_GETFL, 0);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

UniqueFd openStreamSocket(int family) {
  return UniqueFd(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
}

SocketError connectTimeout(int fd, const IpAddress& address, uint16_t port,
                           std::optional<Milliseconds> wait) {
  socklen_t length = 0;
  const sockaddr_storage target = socketAddress(address, port, length);
  auto* generic = reinterpret_cast<const sockaddr*>(&target);
  if (!wait) {
    return ::connect(fd, generic, length) == 0 ? SocketError::kOk : SocketError::kConnectFailed;
  }
  setSocketBlocking(fd, false);
  if (::connect(fd, generic, length) != 0) {
    if (!connectInProgress(errno)) return SocketError::kConnectFailed;
    const WaitResult ready = waitForEvents(fd, POLLOUT, *wait);
    if (ready == WaitResult::kTimedOut) return SocketError::kTimedOut;
    if (ready == WaitResult::kFailed || !connectSucceeded(fd)) return SocketError::kConnectFailed;
  }
  setSocketBlocking(fd, true);
  return SocketError::kOk;
}

Status<SocketError> connectToHost(const std::string& host, uint16_t port, const HostTable& hosts,
                                  Milliseconds wait, UniqueFd& socket) {
  const std::vector<IpAddress> addresses = resolveHost(host, hosts);
  if (addresses.empty()) return {SocketError::kNameUnknown, host};
  const auto deadline = Clock::now() + wait;
  SocketError rc = SocketError::kConnectFailed;
  for (const IpAddress& address : addresses) {
    const std::optional<Milliseconds> left = connectTimeLeft(wait, deadline);
    if (left && *left < Milliseconds(1)) {
      rc = SocketError::kTimedOut;
      break;
    }
    socket = openStreamSocket(address.family);
    if (!socket) {
      rc = SocketError::kNoSocket;
      continue;
    }
    rc = connectTimeout(socket.get(), address, port, left);
    if (rc == SocketError::kOk) return {rc, host};
    socket.reset();
  }
  socket.reset();
  return {rc, host};
}

Received recvTimeout(int fd, char* buffer, size_t size, Milliseconds wait) {
  const WaitResult ready = waitForEvents(fd, POLLIN, wait);
  if (ready == WaitResult::kTimedOut) return {Received::Kind::kTimedOut};
  if (ready == WaitResult::kFailed) return {Received::Kind::kFailed};
  for (;;) {
    const ssize_t received = ::recv(fd, buffer, size, 0);
    if (received > 0) return {Received::Kind::kBytes, static_cast<size_t>(received)};
    if (received == 0) return {Received::Kind::kClosed};
    if (errno != EINTR) return {Received::Kind::kFailed};
  }
}

SocketError readReply(int fd, std::string& text, size_t limit, Milliseconds wait) {
  text.clear();
  char chunk[kReceiveChunk];
  for (;;) {
    const Received received = recvTimeout(fd, chunk, sizeof chunk, wait);
    if (received.kind == Received::Kind::kClosed) break;
    if (received.kind == Received::Kind::kTimedOut) return SocketError::kTimedOut;
    if (received.kind == Received::Kind::kFailed) return SocketError::kReceiveFailed;
    const size_t kept = std::min(received.bytes, limit - text.size());
    text.append(chunk, kept);
    if (text.size() >= limit || kept < kReceiveChunk) break;
  }
  return SocketError::kOk;
}

bool sendText(int fd, const std::string& bytes) {
  const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  return sent >= 0 && static_cast<size_t>(sent) == bytes.size();
}

}  // namespace vy
