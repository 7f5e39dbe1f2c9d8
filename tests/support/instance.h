// Process tests: a fresh instance directory holding the installed programs and
// templates, and a runner that starts a program there as a web server or cron
// would, with a chosen environment, arguments and standard input, and a time
// limit. Every process a test starts is stopped by its pid.
#ifndef VANTRY_TESTS_SUPPORT_INSTANCE_H_
#define VANTRY_TESTS_SUPPORT_INSTANCE_H_

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace vy::test {

struct RunResult {
  int exitCode = -1;  // the exit status, -1 when the process did not exit normally
  int signal = 0;     // the signal that ended it, 0 when none
  bool timedOut = false;
  std::string out;
  std::string err;
};

struct RunOptions {
  std::vector<std::string> args;
  // The whole environment besides PATH; nothing of the test's own leaks in.
  std::map<std::string, std::string> env;
  std::string stdinText;
  double timeoutSeconds = 30;
};

// A process started in the background; the destructor kills (SIGKILL) and
// reaps it when it still runs.
class BackgroundProcess {
 public:
  BackgroundProcess() = default;
  BackgroundProcess(pid_t pid, int stdoutFd) : pid_(pid), stdoutFd_(stdoutFd) {}
  BackgroundProcess(const BackgroundProcess&) = delete;
  BackgroundProcess& operator=(const BackgroundProcess&) = delete;
  BackgroundProcess(BackgroundProcess&& other) noexcept;
  ~BackgroundProcess();

  pid_t pid() const { return pid_; }
  void signal(int number) const;
  // Waits up to timeoutSeconds for the end; the result holds its stdout.
  RunResult wait(double timeoutSeconds);
  void kill();

 private:
  pid_t pid_ = -1;
  int stdoutFd_ = -1;
};

class Instance {
 public:
  // Creates a temporary directory with vyrunner.cgi, vyconsole.cgi (when
  // built) and vytpl/ copied from the install stage.
  Instance();
  ~Instance();
  Instance(const Instance&) = delete;
  Instance& operator=(const Instance&) = delete;

  const std::string& dir() const { return dir_; }
  std::string path(const std::string& relative) const { return dir_ + "/" + relative; }

  // ./vydata with vydb/, vychklog/, vytime/ and the check time file, as the
  // console sets them up on its first run.
  void makeDataDirs() const;

  RunResult run(const std::string& program, const RunOptions& options) const;
  RunResult runWorker(const std::vector<std::string>& args,
                      const std::map<std::string, std::string>& env = {},
                      const std::string& stdinText = "", double timeoutSeconds = 30) const;
  BackgroundProcess start(const std::string& program, const RunOptions& options) const;

  bool exists(const std::string& relative) const;
  std::string read(const std::string& relative) const;
  void write(const std::string& relative, const std::string& bytes) const;
  // The lines of ./vydata/error.log, without their newlines.
  std::vector<std::string> errorLog() const;

 private:
  std::string dir_;
};

// The seven fields of an error-log line, or an empty vector when it does not
// have exactly seven.
std::vector<std::string> splitLogLine(const std::string& line);

// Polls a condition every 20 ms until it holds or the time runs out.
bool waitUntil(const std::function<bool()>& condition, double timeoutSeconds);

// The stage directory holding the installed programs.
std::string stageDir();

}  // namespace vy::test

#endif  // VANTRY_TESTS_SUPPORT_INSTANCE_H_
