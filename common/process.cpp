// Starting external programs, and the `ps` probe; see process.h.
#include "common/process.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <utility>

#include "common/files.h"

extern char** environ;

namespace vy {
namespace {

// posix_spawn attributes: default dispositions for every signal and an empty
// mask, so a child never inherits the ignored SIGPIPE or SIGTERM.
class SpawnAttributes {
 public:
  SpawnAttributes() {
    posix_spawnattr_init(&attr_);
    sigset_t all;
    sigfillset(&all);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attr_, &all);
    posix_spawnattr_setsigmask(&attr_, &none);
    posix_spawnattr_setflags(&attr_, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  }
  ~SpawnAttributes() { posix_spawnattr_destroy(&attr_); }
  const posix_spawnattr_t* get() const { return &attr_; }

 private:
  posix_spawnattr_t attr_;
};

class FileActions {
 public:
  FileActions() { posix_spawn_file_actions_init(&actions_); }
  ~FileActions() { posix_spawn_file_actions_destroy(&actions_); }
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

bool makePipe(UniqueFd& readEnd, UniqueFd& writeEnd) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  readEnd.reset(fds[0]);
  writeEnd.reset(fds[1]);
  return true;
}

// Splits text into lines as fgets with a 133-byte buffer would: pieces of at
// most 132 bytes, newline kept.
std::vector<std::string_view> fgetsLines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    size_t end = text.find('\n');
    size_t length = end == std::string_view::npos ? text.size() : end + 1;
    if (length > 132) length = 132;
    lines.push_back(text.substr(0, length));
    text.remove_prefix(length);
  }
  return lines;
}

bool isDelimiter(char c) { return c == ' ' || c == '\t' || c == '\n'; }

// Column where the first header token that is one of the names starts, or npos.
size_t columnOf(std::string_view header, std::initializer_list<std::string_view> names) {
  size_t i = 0;
  while (i < header.size()) {
    while (i < header.size() && isDelimiter(header[i])) ++i;
    size_t start = i;
    while (i < header.size() && !isDelimiter(header[i])) ++i;
    std::string_view token = header.substr(start, i - start);
    for (std::string_view name : names) {
      if (token == name) return start;
    }
  }
  return std::string_view::npos;
}

constexpr std::string_view kRequestVariables[] = {
    "ADMIN_PWD",       "AUTH_TYPE",       "CONTENT_LENGTH",        "CONTENT_TYPE",
    "CONTEXT_PREFIX",  "CONTEXT_DOCUMENT_ROOT",                   "DOCUMENT_ROOT",
    "DOCUMENT_URI",    "GATEWAY_INTERFACE", "HTTPS",              "PATH_INFO",
    "PATH_TRANSLATED", "QUERY_STRING",    "REMOTE_ADDR",           "REMOTE_HOST",
    "REMOTE_IDENT",    "REMOTE_PORT",     "REMOTE_USER",           "REQUEST_METHOD",
    "REQUEST_SCHEME",  "REQUEST_URI",     "SCRIPT_FILENAME",       "SCRIPT_NAME",
    "SCRIPT_URI",      "SCRIPT_URL",      "SERVER_ADDR",           "SERVER_ADMIN",
    "SERVER_NAME",     "SERVER_PORT",     "SERVER_PROTOCOL",       "SERVER_SIGNATURE",
    "SERVER_SOFTWARE", "UNIQUE_ID",
};

// This process's environment without the request's variables.
std::vector<char*> childEnvironment() {
  std::vector<char*> kept;
  for (char** entry = environ; entry && *entry; ++entry) {
    std::string_view text(*entry);
    if (!isRequestVariable(text.substr(0, text.find('=')))) kept.push_back(*entry);
  }
  kept.push_back(nullptr);
  return kept;
}

bool failedStatus(int status) {
  return status < 0 || WIFSIGNALED(status) || (WIFEXITED(status) && WEXITSTATUS(status) != 0);
}

}  // namespace

bool isRequestVariable(std::string_view name) {
  if (name.starts_with("HTTP_") || name.starts_with("REDIRECT_")) return true;
  for (std::string_view variable : kRequestVariables) {
    if (name == variable) return true;
  }
  return false;
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      stdin_(std::move(other.stdin_)),
      stdout_(std::move(other.stdout_)) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    wait();
    pid_ = std::exchange(other.pid_, -1);
    stdin_ = std::move(other.stdin_);
    stdout_ = std::move(other.stdout_);
  }
  return *this;
}

ChildProcess::~ChildProcess() {
  stdout_.reset();
  wait();
}

bool ChildProcess::start(const std::vector<std::string>& argv, unsigned pipes, bool quietStderr) {
  if (argv.empty()) return false;
  FileActions actions;
  UniqueFd childStdin, childStdout;
  if ((pipes & kPipeStdin) && !makePipe(childStdin, stdin_)) return false;
  if ((pipes & kPipeStdout) && !makePipe(stdout_, childStdout)) return false;
  if (childStdin) posix_spawn_file_actions_adddup2(actions.get(), childStdin.get(), 0);
  if (childStdout) posix_spawn_file_actions_adddup2(actions.get(), childStdout.get(), 1);
  if (pipes & kNullStdout)
    posix_spawn_file_actions_addopen(actions.get(), 1, "/dev/null", O_WRONLY, 0);
  if (quietStderr) posix_spawn_file_actions_addopen(actions.get(), 2, "/dev/null", O_WRONLY, 0);

  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  SpawnAttributes attributes;
  std::vector<char*> environment = childEnvironment();
  pid_t pid;
  if (posix_spawnp(&pid, args[0], actions.get(), attributes.get(), args.data(),
                   environment.data()) != 0) {
    stdin_.reset();
    stdout_.reset();
    return false;
  }
  pid_ = pid;
  return true;
}

bool ChildProcess::startShell(const std::string& commandLine, unsigned pipes) {
  return start({"/bin/sh", "-c", commandLine}, pipes);
}

bool ChildProcess::writeStdin(std::string_view text) {
  // Block SIGPIPE for this thread while writing and swallow one raised by a
  // reader that went away, so a vanished child is a plain write failure.
  sigset_t pipeSet, oldSet;
  sigemptyset(&pipeSet);
  sigaddset(&pipeSet, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeSet, &oldSet);
  bool ok = writeFully(stdin_.get(), text.data(), text.size());
  if (!ok && errno == EPIPE) {
    struct timespec zero = {0, 0};
    sigtimedwait(&pipeSet, nullptr, &zero);
  }
  pthread_sigmask(SIG_SETMASK, &oldSet, nullptr);
  return ok;
}

std::string ChildProcess::readStdout(size_t maxBytes) {
  std::string out(maxBytes, '\0');
  ssize_t n = readFully(stdout_.get(), out.data(), out.size());
  out.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return out;
}

int ChildProcess::wait() {
  stdin_.reset();
  if (pid_ < 0) return -1;
  int status = -1;
  while (::waitpid(pid_, &status, 0) < 0) {
    if (errno != EINTR) {
      status = -1;
      break;
    }
  }
  pid_ = -1;
  return status;
}

ProgramRun runProgramWithInput(const std::vector<std::string>& argv, std::string_view text) {
  ProgramRun run;
  ChildProcess child;
  if (!child.start(argv, ChildProcess::kPipeStdin)) return run;
  run.started = true;
  run.inputWritten = child.writeStdin(text);
  run.waitStatus = child.wait();
  return run;
}

ProgramRun runCommandWithInput(const std::string& commandLine, std::string_view text) {
  return runProgramWithInput({"/bin/sh", "-c", commandLine}, text);
}

namespace {

// The word of a line that starts at or after column (delimiters skipped).
std::string_view wordAt(std::string_view line, size_t column) {
  size_t start = column;
  while (start < line.size() && isDelimiter(line[start])) ++start;
  size_t end = start;
  while (end < line.size() && !isDelimiter(line[end])) ++end;
  return start < line.size() ? line.substr(start, end - start) : std::string_view();
}

// Whether the process line shows a live state. The STAT column is judged by
// its first letter; a ps without that column is asked for a state word S or R.
bool showsLiveState(std::string_view header, std::string_view process) {
  size_t column = columnOf(header, {"STAT", "S"});
  if (column == std::string_view::npos) {
    return process.find(" S ") != std::string_view::npos ||
           process.find(" R ") != std::string_view::npos;
  }
  std::string_view state = wordAt(process, column);
  return !state.empty() && (state[0] == 'R' || state[0] == 'S' || state[0] == 'D');
}

// The command name in the lines of `ps p <pid>` (at least the header), or none.
std::optional<std::string> commandNameFromPs(const std::vector<std::string_view>& lines,
                                             bool requireActive) {
  size_t column = columnOf(lines[0], {"COMMAND", "CMD"});
  if (column == std::string_view::npos || lines.size() < 2) return std::nullopt;
  std::string_view name = wordAt(lines[1], column);
  if (name.empty()) return std::nullopt;
  if (requireActive && !showsLiveState(lines[0], lines[1])) return std::nullopt;
  return std::string(name);
}

}  // namespace

ErrAction logAction(ProbeError error) {
  switch (error) {
    case ProbeError::kOk:
      return ErrAction::kOk;
    case ProbeError::kPsFailed:
      return ErrAction::kReadFile;
    case ProbeError::kPsNotStarted:
      return ErrAction::kExecution;
  }
  return ErrAction::kOk;
}

ProcessProbe probeProcess(pid_t pid, bool requireActive) {
  ProcessProbe probe;
  if (pid == 0) return probe;
  ChildProcess ps;
  if (!ps.start({"ps", "p", std::to_string(pid)}, ChildProcess::kPipeStdout, true)) {
    probe.status = {ProbeError::kPsNotStarted, "ps"};
    return probe;
  }
  std::string output = ps.readStdout(64 * 1024);
  int status = ps.wait();
  std::vector<std::string_view> lines = fgetsLines(output);
  if (lines.empty()) {
    if (failedStatus(status)) probe.status = {ProbeError::kPsFailed, "ps"};
    return probe;
  }
  probe.name = commandNameFromPs(lines, requireActive);
  // With a process line found, a failing ps still makes the answer unknown.
  if (probe.name && failedStatus(status)) {
    probe.name.reset();
    probe.status = {ProbeError::kPsFailed, "ps"};
  }
  return probe;
}

RunningAnswer isProcessRunning(pid_t pid, std::string_view expectedName) {
  ProcessProbe probe = probeProcess(pid, true);
  if (!probe.status.ok()) return {probe.status, Running::kUnknown};
  bool matches = probe.name && !probe.name->empty() && *probe.name == expectedName;
  return {{}, matches ? Running::kYes : Running::kNo};
}

}  // namespace vy
