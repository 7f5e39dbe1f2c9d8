// One owner for a file descriptor.
//
// Every descriptor the programs open is opened with O_CLOEXEC (sockets with
// SOCK_CLOEXEC), so that a command the worker starts never inherits a socket
// or a descriptor that holds a flock. UniqueFd closes in its destructor; close
// is never retried on EINTR (the descriptor is gone either way on Linux).
#ifndef VANTRY_COMMON_FD_H_
#define VANTRY_COMMON_FD_H_

#include <fcntl.h>
#include <unistd.h>

#include <utility>

namespace vy {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    reset(other.release());
    return *this;
  }
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  explicit operator bool() const { return valid(); }

  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

// open(2) with O_CLOEXEC added; an invalid UniqueFd on failure (errno set).
// A file it creates is open to no one but its owner and group.
inline UniqueFd openFd(const char* path, int flags, mode_t mode = 0660) {
  return UniqueFd(::open(path, flags | O_CLOEXEC, mode));
}

}  // namespace vy

#endif  // VANTRY_COMMON_FD_H_
