// Forked test bodies and temporary directories; see child.h.
#include "tests/support/child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <thread>

namespace vy::test {

ChildOutcome runInChild(const std::function<void()>& body, double timeoutSeconds) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  std::fflush(stdout);
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(fds[1], 1);
    body();
    std::fflush(stdout);
    _exit(0);
  }
  ::close(fds[1]);
  ChildOutcome outcome;
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::milliseconds(static_cast<long>(timeoutSeconds * 1000));
  char chunk[4096];
  for (;;) {
    pollfd pfd = {fds[0], POLLIN, 0};
    if (::poll(&pfd, 1, 50) > 0) {
      ssize_t n = ::read(fds[0], chunk, sizeof chunk);
      if (n <= 0) break;
      outcome.out.append(chunk, static_cast<size_t>(n));
    }
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      break;
    }
  }
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (WIFEXITED(status)) outcome.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) outcome.signal = WTERMSIG(status);
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
