// Files, directories and fixed-size record files.
//
// Every helper that touches a file returns an ErrAction (0 on success, else
// the code of the failed step) and closes whatever it opened; none of them
// reports by itself except readWholeFile, which cannot return without its
// text. Paths are used as given, relative to the working directory.
//
// Locks: lockFile takes an exclusive, blocking flock(2). A flock belongs to
// the open file description, so two opens of one file in the same process
// exclude each other as two processes do, and closing the descriptor is what
// releases the lock. That is the only lock between the programs.
#ifndef VANTRY_COMMON_FILES_H_
#define VANTRY_COMMON_FILES_H_

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

namespace vy {

// --- File status -----------------------------------------------------------

bool isRegularFile(const std::string& path);
bool isDirectory(const std::string& path);
// Size of a regular file; -1 when missing or not a regular file.
long long regularFileSize(const std::string& path);
// Modification time; 0 when the path cannot be examined.
std::time_t fileModTime(const std::string& path);
// Size of an open file (fstat), -1 on failure.
long long fileSizeOf(int fd);

// Exclusive blocking flock on fd: 0, or -1 when refused.
int lockFile(int fd);

// --- Descriptor reads and writes ---------------------------------------------

// Reads up to size bytes, going on after short reads and EINTR until the size
// is reached or the input ends; the count read, or -1 on a read error.
ssize_t readFully(int fd, void* buffer, size_t size);
// Writes all of size bytes; false when a write fails (errno tells why).
bool writeFully(int fd, const void* buffer, size_t size);

// --- Fixed-size records ----------------------------------------------------

// Reads one record from the start of the file. lockFlag 0 or 1 opens it for
// update (a read-only file cannot be read), 2 or more read-only; a non-zero
// flag takes lockFile. 1 cannot open, 8 lock refused, 12 fewer than size bytes
// (the buffer then holds what was there).
int readRecord(const std::string& path, uint8_t* buffer, size_t size, int lockFlag);

// Writes one record at the start of the file, creating it when missing.
// 2 cannot open or create, 8 lock refused, 13 write failed. With truncate the
// file is cut to the record size; otherwise bytes behind the record are kept.
int writeRecord(const std::string& path, const uint8_t* buffer, size_t size, int lockFlag,
                bool truncate);

// --- Whole files and directories ----------------------------------------------

// An existing directory only gets its mode set; otherwise mkdir then chmod
// (so the umask does not narrow the mode). 1 when mkdir fails.
int makeDirectory(const std::string& path, mode_t mode);

// Does nothing when a regular file exists; otherwise creates it empty with the
// mode. 2 when it cannot be created.
int createEmptyFile(const std::string& path, mode_t mode);

// The first line of a file (newline kept), at most size - 1 bytes; none when
// the file cannot be opened.
std::optional<std::string> readFirstLine(const std::string& path, size_t size);

// The whole content of a regular file; the empty text for a missing or
// non-regular path. A regular file that cannot be opened is a fatal report
// (action 1, the path).
std::string readWholeFile(const std::string& path);

// The whole content of a file without any report: 0, 1 (cannot open) or 12.
int readFileBytes(const std::string& path, std::string& out);

// All of standard input. Each read chunk is taken up to its first NUL byte, as
// a text. Input beyond kMaxStdinBytes is not read.
inline constexpr size_t kMaxStdinBytes = 256u << 20;
std::string readStdinText();

// --- Worker-only file operations ---------------------------------------------

// 0 copied; 1 source cannot be read; 2 destination cannot be written.
int copyFile(const std::string& source, const std::string& destination);

// Makes a file belong to the process's real user by renaming it to "path~" and
// copying it back. 1 already ours; -1 cannot examine or rename; else copyFile.
int takeOwnership(const std::string& path);

// Sets access and modification time; on failure takes ownership and tries
// once more. 0 or -1.
int touchFile(const std::string& path, std::time_t when);

}  // namespace vy

#endif  // VANTRY_COMMON_FILES_H_
