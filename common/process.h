// Starting external programs, and the `ps` probe.
//
// Programs are started from an argument vector with posix_spawn; the shell is
// used only for command lines the administrator wrote (notification
// commands). Children start with every signal at its default disposition,
// whatever this process ignores, and inherit no descriptor but the pipes set
// up for them (everything else is opened close-on-exec). Nor do they inherit
// the web request: the CGI variables a web server set (and ADMIN_PWD) are
// left out of their environment, so a program the console or the worker
// starts never takes itself for a web request or sees a password.
#ifndef VANTRY_COMMON_PROCESS_H_
#define VANTRY_COMMON_PROCESS_H_

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/errors.h"
#include "common/fd.h"

namespace vy {

// True for a variable of the web request a CGI program runs for (those of the
// CGI standard, the ones common web servers add, every HTTP_ header) and for
// ADMIN_PWD: what a child process is not given.
bool isRequestVariable(std::string_view name);

// One child process. The owner waits for it: wait() returns the wait status
// once; the destructor closes the pipes and reaps a child not yet waited for.
class ChildProcess {
 public:
  // What the child's standard streams are besides this process's own:
  // pipes to and from the owner, or /dev/null for an output nobody reads.
  enum Pipes : unsigned { kNoPipes = 0, kPipeStdin = 1, kPipeStdout = 2, kNullStdout = 4 };

  ChildProcess() = default;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&& other) noexcept;
  ~ChildProcess();

  // Starts argv[0] (searched on PATH when it has no "/"). stderr goes to
  // /dev/null when quietStderr is set. False when the program cannot start.
  bool start(const std::vector<std::string>& argv, unsigned pipes, bool quietStderr = false);
  // Starts "/bin/sh -c commandLine".
  bool startShell(const std::string& commandLine, unsigned pipes);

  pid_t pid() const { return pid_; }

  // Writes all of text to the child's stdin; false when the child stopped
  // reading. A closed pipe never raises SIGPIPE here.
  bool writeStdin(std::string_view text);
  // Reads the child's stdout to its end, at most maxBytes.
  std::string readStdout(size_t maxBytes);

  // Closes stdin and waits; the wait status, or -1 when there is no child.
  int wait();

 private:
  pid_t pid_ = -1;
  UniqueFd stdin_;
  UniqueFd stdout_;
};

// What became of a program run with a text on its standard input.
struct ProgramRun {
  bool started = false;
  bool inputWritten = false;  // the whole text reached the program
  int waitStatus = -1;        // as waitpid gives it; -1 when nothing was started

  // Started and ended with exit status 0. A program that does not read its
  // input is judged by its status alone.
  bool succeeded() const { return started && waitStatus == 0; }
};

// Runs a program from an argument vector with text on its standard input and
// waits for it.
[[nodiscard]] ProgramRun runProgramWithInput(const std::vector<std::string>& argv,
                                             std::string_view text);
// The same for a command line the administrator wrote, run by "/bin/sh -c".
[[nodiscard]] ProgramRun runCommandWithInput(const std::string& commandLine, std::string_view text);

// Why `ps` gave no answer.
enum class ProbeError { kOk, kPsFailed, kPsNotStarted };

// The error-log action of a failed probe: Read file when ps failed, Execution
// file when it could not start.
ErrAction logAction(ProbeError error);

// Answer of probeProcess: the status (naming "ps") and the command name when
// the process was found.
struct ProcessProbe {
  Status<ProbeError> status;
  std::optional<std::string> name;
};

// Asks `ps p <pid>` for the command name of a process; with requireActive only
// a live process counts: one whose state (the STAT column) begins with R
// (running), S (sleeping) or D (waiting on a device), whatever the letters
// after it (N nice, + foreground, l threaded, ...) say. Z (zombie), T
// (stopped), X and any other state do not.
[[nodiscard]] ProcessProbe probeProcess(pid_t pid, bool requireActive);

enum class Running { kUnknown = -1, kNo = 0, kYes = 1 };

// Whether the process runs under the expected command name. The status is
// not ok (and the answer kUnknown) when ps could not answer.
struct RunningAnswer {
  Status<ProbeError> status;
  Running answer = Running::kUnknown;
};
[[nodiscard]] RunningAnswer isProcessRunning(pid_t pid, std::string_view expectedName);

}  // namespace vy

#endif  // VANTRY_COMMON_PROCESS_H_
