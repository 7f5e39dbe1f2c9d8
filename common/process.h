// Starting external programs, and the `ps` probe.
//
// Programs are started from an argument vector with posix_spawn; the shell is
// used only for command lines the administrator wrote (notification
// commands). Children start with every signal at its default disposition,
// whatever this process ignores, and inherit no descriptor but the pipes set
// up for them (everything else is opened close-on-exec).
#ifndef VANTRY_COMMON_PROCESS_H_
#define VANTRY_COMMON_PROCESS_H_

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/fd.h"

namespace vy {

// One child process. The owner waits for it: wait() returns the wait status
// once; the destructor closes the pipes and reaps a child not yet waited for.
class ChildProcess {
 public:
  enum Pipes : unsigned { kNoPipes = 0, kPipeStdin = 1, kPipeStdout = 2 };

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

// Runs a shell command line with text on its standard input and waits for it.
// The wait status; 2 when it cannot be started; 13 when the text cannot be
// written.
int runCommandWithInput(const std::string& commandLine, std::string_view text);

// The same for a program given as an argument vector.
int runProgramWithInput(const std::vector<std::string>& argv, std::string_view text);

// Answer of probeProcess: code 0, 1 (ps failed) or 5 (ps cannot start), and
// the command name when the process was found.
struct ProcessProbe {
  int code = 0;
  std::optional<std::string> name;
};

// Asks `ps p <pid>` for the command name of a process; with requireActive only
// a process whose state shows as S or R counts.
ProcessProbe probeProcess(pid_t pid, bool requireActive);

// Whether the process runs under the expected command name: answer -1
// unknown (the returned code is then not 0), 0 no, 1 yes.
int isProcessRunning(pid_t pid, std::string_view expectedName, int& answer);

}  // namespace vy

#endif  // VANTRY_COMMON_PROCESS_H_
