// Forked test bodies and temporary directories; see child.h.
#include "tests/support/child.h"

#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <stdexcept>

#include "common/files.h"

namespace vy::test {

RunResult runInChild(const std::function<void()>& body, double timeoutSeconds) {
  int out = ::memfd_create("child-stdout", MFD_CLOEXEC);
  if (out < 0) throw std::runtime_error("memfd_create failed");
  std::fflush(stdout);
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out, 1);
    body();
    std::fflush(stdout);
    _exit(0);
  }
  RunResult outcome = reap(pid, timeoutSeconds);
  outcome.out = readWholeFile("/proc/self/fd/" + std::to_string(out));
  ::close(out);
  return outcome;
}

TempDir::TempDir() {
  char pattern[] = "/tmp/vy-unit-XXXXXX";
  if (!::mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace vy::test
