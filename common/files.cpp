// Files, directories and fixed-size record files; see files.h.
#include "common/files.h"

#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <cerrno>
#include <cstdio>

#include "common/errors.h"
#include "common/fd.h"

namespace vy {

bool isRegularFile(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

long long regularFileSize(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return static_cast<long long>(st.st_size);
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

int lockFile(int fd) {
  int rc;
  do {
    rc = ::flock(fd, LOCK_EX);
  } while (rc != 0 && errno == EINTR);
  return rc == 0 ? 0 : -1;
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

int readRecord(const std::string& path, uint8_t* buffer, size_t size, int lockFlag) {
  UniqueFd fd = openFd(path.c_str(), lockFlag >= 2 ? O_RDONLY : O_RDWR);
  if (!fd) return kErrReadFile;
  if (lockFlag != 0 && lockFile(fd.get()) != 0) return kErrLockFile;
  ssize_t n = readFully(fd.get(), buffer, size);
  if (n < 0 || static_cast<size_t>(n) != size) return kErrShortRead;
  return kOk;
}

int writeRecord(const std::string& path, const uint8_t* buffer, size_t size, int lockFlag,
                bool truncate) {
  UniqueFd fd = openFd(path.c_str(), O_RDWR);
  if (!fd) fd = openFd(path.c_str(), O_RDWR | O_CREAT, 0666);
  if (!fd) return kErrWriteFile;
  if (lockFlag != 0 && lockFile(fd.get()) != 0) return kErrLockFile;
  if (!writeFully(fd.get(), buffer, size)) return kErrShortWrite;  // a fresh open is at offset 0
  if (truncate && ::ftruncate(fd.get(), static_cast<off_t>(size)) != 0) return kErrShortWrite;
  return kOk;
}

int makeDirectory(const std::string& path, mode_t mode) {
  if (isDirectory(path)) {
    ::chmod(path.c_str(), mode);
    return 0;
  }
  if (::mkdir(path.c_str(), mode) != 0) return 1;
  ::chmod(path.c_str(), mode);
  return 0;
}

int createEmptyFile(const std::string& path, mode_t mode) {
  if (isRegularFile(path)) return kOk;
  UniqueFd fd = openFd(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
  if (!fd) return kErrWriteFile;
  ::fchmod(fd.get(), mode);
  return kOk;
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

int readFileBytes(const std::string& path, std::string& out) {
  out.clear();
  UniqueFd fd = openFd(path.c_str(), O_RDONLY);
  if (!fd) return kErrReadFile;
  long long size = fileSizeOf(fd.get());
  if (size < 0) return kErrShortRead;
  out.resize(static_cast<size_t>(size));
  ssize_t n = readFully(fd.get(), out.data(), out.size());
  if (n < 0) return kErrShortRead;
  out.resize(static_cast<size_t>(n));  // the file may have shrunk meanwhile
  return kOk;
}

std::string readWholeFile(const std::string& path) {
  if (!isRegularFile(path)) return std::string();
  std::string text;
  if (readFileBytes(path, text) == kErrReadFile) reportFatal(kErrReadFile, path);
  return text;
}

std::string readStdinText() {
  std::string text;
  char chunk[199];
  while (text.size() < kMaxStdinBytes) {
    ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    std::string_view got(chunk, static_cast<size_t>(n));
    text.append(got.substr(0, got.find('\0')));  // each chunk counts as a text
  }
  return text;
}

int copyFile(const std::string& source, const std::string& destination) {
  UniqueFd in = openFd(source.c_str(), O_RDONLY);
  if (!in) return 1;
  UniqueFd out = openFd(destination.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (!out) return 2;
  char chunk[1024];
  for (;;) {
    ssize_t n = readFully(in.get(), chunk, sizeof chunk);
    if (n <= 0) break;
    if (!writeFully(out.get(), chunk, static_cast<size_t>(n))) break;
  }
  return 0;
}

int takeOwnership(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return -1;
  if (st.st_uid == ::getuid()) return 1;
  const std::string moved = path + "~";
  if (::rename(path.c_str(), moved.c_str()) != 0) return -1;
  return copyFile(moved, path);
}

int touchFile(const std::string& path, std::time_t when) {
  struct utimbuf times = {when, when};
  if (::utime(path.c_str(), &times) == 0) return 0;
  if (takeOwnership(path) != 0) return -1;
  return ::utime(path.c_str(), &times) == 0 ? 0 : -1;
}

}  // namespace vy
