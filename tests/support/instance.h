// Process tests: a fresh instance directory holding the installed programs and
// templates, and a runner that starts a program there as a web server or cron
// would, with a chosen environment, arguments, standard input and time limit.
// Every process a test starts is stopped by its pid.
#ifndef VANTRY_TESTS_SUPPORT_INSTANCE_H_
#define VANTRY_TESTS_SUPPORT_INSTANCE_H_

#include <sys/types.h>

#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace vy::test {

struct RunResult {
  int exitCode = -1;  // -1 when the process did not exit normally (a signal, the time limit)
  std::string out;
  std::string err;
};

struct RunOptions {
  std::vector<std::string> args;
  std::map<std::string, std::string> env;  // the whole environment besides PATH
  std::string stdinText;
  double timeoutSeconds = 30;
  // RLIMIT_FSIZE in bytes (-1: none). SIGXFSZ keeps its default action, so a program that does
  // not ignore it dies at the limit; its standard output goes to /dev/null, as into a web
  // server's pipe, which the limit does not concern.
  long long fileSizeLimit = -1;
};

// A process started in the background; killed and reaped unless waited for.
class BackgroundProcess {
 public:
  // base: the path of its standard streams without ".in", ".out" or ".err"
  BackgroundProcess(pid_t pid, std::string base) : pid_(pid), base_(std::move(base)) {}
  BackgroundProcess(BackgroundProcess&& other) noexcept;
  ~BackgroundProcess() { kill(); }
  pid_t pid() const { return pid_; }
  void signal(int number) const;
  bool ended() const;  // it has exited and is not reaped yet
  RunResult wait(double timeoutSeconds);
  void kill();

 private:
  pid_t pid_;
  std::string base_;
};

class Instance {
 public:
  // A temporary directory with the programs and vytpl/ of the install stage.
  Instance();
  ~Instance();
  Instance(const Instance&) = delete;
  Instance& operator=(const Instance&) = delete;

  const std::string& dir() const { return dir_; }
  std::string path(const std::string& relative) const { return dir_ + "/" + relative; }
  // ./vydata with vydb/, vychklog/, vytime/ and the check time file.
  void makeDataDirs() const;

  RunResult run(const std::string& program, const RunOptions& options) const;
  RunResult runWorker(const std::vector<std::string>& args,
                      const std::map<std::string, std::string>& env = {},
                      const std::string& stdinText = "", double timeoutSeconds = 30) const;
  BackgroundProcess start(const std::string& program, const RunOptions& options) const;

  bool exists(const std::string& relative) const;
  std::string read(const std::string& relative) const;
  void write(const std::string& relative, const std::string& bytes) const;
  // An executable shell script: "#!/bin/sh\n" and the body.
  void writeScript(const std::string& relative, const std::string& body) const;

 private:
  pid_t spawn(const std::string& program, const RunOptions& options, const std::string& tag) const;
  std::string dir_;
};

// A web request as Apache's mod_cgi hands it to a program: the environment (method, query,
// the script's names, the server's and the client's addresses, for a POST the body's type and
// length) and the arguments, which Apache makes of a query that holds no "=" (its words split
// at "+" and decoded). The caller adds REMOTE_USER, HTTP_ORIGIN and the like.
struct CgiRequest {
  std::map<std::string, std::string> env;
  std::vector<std::string> args;
};
CgiRequest apacheRequest(const std::string& method, const std::string& script,
                         const std::string& query, size_t bodyLength = 0);

// A live process as /proc shows it.
struct ProcessInfo {
  pid_t pid = 0;
  pid_t parent = 0;
  std::string command;  // the arguments joined by blanks
};
// The live processes whose working directory is dir (a zombie has none).
std::vector<ProcessInfo> processesWorkingIn(const std::string& dir);

// Action and detail of every error-log line (for a line without the seven fields "?" and the
// line), sorted: threads log in any order.
using LogLines = std::vector<std::pair<std::string, std::string>>;
LogLines loggedActions(const Instance& instance);
// Waits for pid up to the time limit, killing it when the time is up.
RunResult reap(pid_t pid, double timeoutSeconds);
// Polls a condition every 20 ms until it holds or the time runs out.
bool waitUntil(const std::function<bool()>& condition, double timeoutSeconds);

}  // namespace vy::test

#endif  // VANTRY_TESTS_SUPPORT_INSTANCE_H_
