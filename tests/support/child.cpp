// Forked test bodies and temporary directories; see child.h.
#include "tests/support/child.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <stdexcept>

#include "tests/support/instance.h"

namespace vy::test {

ChildOutcome runInChild(const std::function<void()>& body, double timeoutSeconds) {
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
  int status = 0;
  if (!waitUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, timeoutSeconds)) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
  }
  ChildOutcome outcome;
  if (WIFEXITED(status)) outcome.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) outcome.signal = WTERMSIG(status);
  char chunk[4096];
  for (ssize_t n; (n = ::pread(out, chunk, sizeof chunk, outcome.out.size())) > 0;) {
    outcome.out.append(chunk, static_cast<size_t>(n));
  }
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
