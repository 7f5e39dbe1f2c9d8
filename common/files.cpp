// Files, directories and fixed-size record files; see files.h.
#include "common/files.h"

#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "common/errors.h"
#include "common/fd.h"

namespace vy {

void restrictMode(const std::string& path, mode_t most) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0 || S_ISLNK(st.st_mode) || st.st_uid != ::geteuid()) return;
  const mode_t allowed = (most & 0777) | (st.st_mode & 07000 & ~S_ISUID);
  if ((st.st_mode & 07777 & ~allowed) != 0) ::chmod(path.c_str(), st.st_mode & allowed);
}

bool isRegularFile(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool isDirectory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::time_t fileModTime(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return 0;
  return st.st_mtime;
}

long long fileSizeOf(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return -1;
  return static_cast<long long>(st.st_size);
}

bool flockRetrying(int fd, int operation) {
  int rc;
  do {
    rc = ::flock(fd, operation);
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

bool lockFile(int fd) { return flockRetrying(fd, LOCK_EX); }

bool lockFileShared(int fd) { return flockRetrying(fd, LOCK_SH); }

void unlockFile(int fd) { ::flock(fd, LOCK_UN); }

std::optional<FileIdentity> identityOf(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return std::nullopt;
  return FileIdentity{st.st_dev, st.st_ino};
}

std::optional<FileIdentity> identityOf(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return FileIdentity{st.st_dev, st.st_ino};
}

ssize_t readFully(int fd, void* buffer, size_t size) {
  size_t done = 0;
  while (done < size) {
    ssize_t n = ::read(fd, static_cast<char*>(buffer) + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

ssize_t readFullyAt(int fd, void* buffer, size_t size, off_t offset) {
  size_t done = 0;
  while (done < size) {
    ssize_t n = ::pread(fd, static_cast<char*>(buffer) + done, size - done,
                        offset + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

bool writeFully(int fd, const void* buffer, size_t size) {
  size_t done = 0;
  while (done < size) {
    ssize_t n = ::write(fd, static_cast<const char*>(buffer) + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

FileStatus readRecord(const std::string& path, uint8_t* buffer, size_t size, RecordLock lock) {
  const bool readOnly =
      lock == RecordLock::kReadOnlyExclusive || lock == RecordLock::kReadOnlyShared;
  UniqueFd fd = openFd(path.c_str(), readOnly ? O_RDONLY : O_RDWR);
  if (!fd) return FileCode::kCannotRead;
  const bool locked =
      lock == RecordLock::kNone ||
      (lock == RecordLock::kReadOnlyShared ? lockFileShared(fd.get()) : lockFile(fd.get()));
  if (!locked) return FileCode::kLockRefused;
  ssize_t n = readFully(fd.get(), buffer, size);
  if (n < 0 || static_cast<size_t>(n) != size) return FileCode::kShortRead;
  return FileCode::kOk;
}

FileStatus writeRecord(const std::string& path, const uint8_t* buffer, size_t size, RecordLock lock,
                       bool truncate) {
  UniqueFd fd = openFd(path.c_str(), O_RDWR);
  if (!fd) fd = openFd(path.c_str(), O_RDWR | O_CREAT, kFileMode);
  if (!fd) return FileCode::kCannotWrite;
  if (lock != RecordLock::kNone && !lockFile(fd.get())) return FileCode::kLockRefused;
  // A fresh open is at offset 0.
  if (!writeFully(fd.get(), buffer, size)) return FileCode::kShortWrite;
  if (truncate && ::ftruncate(fd.get(), static_cast<off_t>(size)) != 0) {
    return FileCode::kShortWrite;
  }
  return FileCode::kOk;
}

FileStatus makeDirectory(const std::string& path, mode_t mode) {
  if (isDirectory(path)) {
    ::chmod(path.c_str(), mode);
    return FileCode::kOk;
  }
  if (::mkdir(path.c_str(), mode) != 0) {
    // Another process may have made it since the look above.
    if (errno == EEXIST && isDirectory(path)) return FileCode::kOk;
    return {FileCode::kCannotCreateDirectory, path, errno};
  }
  ::chmod(path.c_str(), mode);
  return FileCode::kOk;
}

FileStatus createEmptyFile(const std::string& path, mode_t mode) {
  if (isRegularFile(path)) return FileCode::kOk;
  UniqueFd fd = openFd(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
  if (!fd) return {FileCode::kCannotWrite, path};
  ::fchmod(fd.get(), mode);
  return FileCode::kOk;
}

std::optional<std::string> readFirstLine(const std::string& path, size_t size) {
  FILE* file = std::fopen(path.c_str(), "re");
  if (!file) return std::nullopt;
  std::string line;
  int c;
  while (line.size() + 1 < size && (c = std::fgetc(file)) != EOF) {
    line.push_back(static_cast<char>(c));
    if (c == '\n') break;
  }
  std::fclose(file);
  return line;
}

FileStatus readFileBytes(const std::string& path, std::string& out) {
  out.clear();
  UniqueFd fd = openFd(path.c_str(), O_RDONLY);
  if (!fd) return {FileCode::kCannotRead, path};
  long long size = fileSizeOf(fd.get());
  if (size < 0) return {FileCode::kShortRead, path};
  out.resize(static_cast<size_t>(size));
  ssize_t n = readFully(fd.get(), out.data(), out.size());
  if (n < 0) return {FileCode::kShortRead, path};
  out.resize(static_cast<size_t>(n));  // the file may have shrunk meanwhile
  return FileCode::kOk;
}

std::string readWholeFile(const std::string& path) {
  if (!isRegularFile(path)) return std::string();
  std::string text;
  const FileStatus read = readFileBytes(path, text);
  if (read == FileCode::kCannotRead) reportFatal(read, path);
  return text;
}

std::string readStdinText(size_t maxBytes) {
  std::string text;
  char chunk[199];
  while (text.size() < maxBytes) {
    ssize_t n = ::read(STDIN_FILENO, chunk, std::min(sizeof chunk, maxBytes - text.size()));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    std::string_view got(chunk, static_cast<size_t>(n));
    text.append(got.substr(0, got.find('\0')));  // each chunk counts as a text
  }
  return text;
}

FileStatus copyFile(const std::string& source, const std::string& destination) {
  UniqueFd in = openFd(source.c_str(), O_RDONLY);
  if (!in) return {FileCode::kCannotRead, source};
  UniqueFd out = openFd(destination.c_str(), O_WRONLY | O_CREAT | O_TRUNC, kFileMode);
  if (!out) return {FileCode::kCannotWrite, destination};
  char chunk[1024];
  for (;;) {
    ssize_t n = readFully(in.get(), chunk, sizeof chunk);
    if (n < 0) return {FileCode::kShortRead, source};
    if (n == 0) return FileCode::kOk;
    if (!writeFully(out.get(), chunk, static_cast<size_t>(n))) {
      return {FileCode::kShortWrite, destination};
    }
  }
}

Ownership takeOwnership(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return Ownership::kFailed;
  if (st.st_uid == ::getuid()) return Ownership::kAlreadyOurs;
  const std::string moved = path + "~";
  if (::rename(path.c_str(), moved.c_str()) != 0) return Ownership::kFailed;
  if (copyFile(moved, path).ok()) return Ownership::kTaken;
  ::rename(moved.c_str(), path.c_str());  // the original back, over an incomplete copy
  return Ownership::kFailed;
}

bool touchFile(const std::string& path, std::time_t when) {
  struct utimbuf times = {when, when};
  if (::utime(path.c_str(), &times) == 0) return true;
  if (takeOwnership(path) != Ownership::kTaken) return false;
  return ::utime(path.c_str(), &times) == 0;
}

}  // namespace vy
