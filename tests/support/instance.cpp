// Process-test instance and runner; see instance.h.
#include "tests/support/instance.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace vy::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Pipe {
  int readEnd = -1;
  int writeEnd = -1;
  Pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    readEnd = fds[0];
    writeEnd = fds[1];
  }
};

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// Everything execve needs, built before fork so the child only calls
// async-signal-safe functions.
struct ExecPlan {
  std::string program;
  std::vector<std::string> argStore;
  std::vector<std::string> envStore;
  std::vector<char*> argv;
  std::vector<char*> envp;

  ExecPlan(const std::string& dir, const std::string& name, const RunOptions& options) {
    program = dir + "/" + name;
    argStore.push_back("./" + name);
    argStore.insert(argStore.end(), options.args.begin(), options.args.end());
    envStore.push_back("PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin");
    for (const auto& [key, value] : options.env) {
      if (key == "PATH") {
        envStore[0] = "PATH=" + value;
      } else {
        envStore.push_back(key + "=" + value);
      }
    }
    for (std::string& arg : argStore) argv.push_back(arg.data());
    argv.push_back(nullptr);
    for (std::string& entry : envStore) envp.push_back(entry.data());
    envp.push_back(nullptr);
  }
};

pid_t forkExec(const std::string& dir, ExecPlan& plan, int stdinFd, int stdoutFd, int stderrFd) {
  pid_t pid = ::fork();
  if (pid != 0) return pid;
  if (::chdir(dir.c_str()) != 0) _exit(126);
  ::dup2(stdinFd, 0);
  ::dup2(stdoutFd, 1);
  ::dup2(stderrFd, 2);
  ::execve(plan.program.c_str(), plan.argv.data(), plan.envp.data());
  _exit(127);
}

double secondsLeft(Clock::time_point deadline) {
  return std::chrono::duration<double>(deadline - Clock::now()).count();
}

void recordStatus(int status, RunResult& result) {
  if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
}

// Feeds stdin and drains stdout/stderr until the process has ended and its
// pipes are quiet, or the deadline passes (then the process is killed). A
// daemon the process left behind may keep the pipes open; it is not waited for.
void pumpAndReap(pid_t pid, int& in, const std::string& input, int& out, int& err,
                 Clock::time_point deadline, RunResult& result) {
  size_t written = 0;
  if (input.empty()) closeFd(in);
  bool exited = false;
  int status = 0;
  for (;;) {
    if (secondsLeft(deadline) <= 0) {
      result.timedOut = true;
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      recordStatus(status, result);
      break;
    }
    pollfd fds[3] = {{out, POLLIN, 0}, {err, POLLIN, 0}, {in, POLLOUT, 0}};
    int ready = ::poll(fds, 3, 20);
    if (ready < 0 && errno == EINTR) continue;
    bool gotData = false;
    char chunk[65536];
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      ssize_t n = ::read(fds[i].fd, chunk, sizeof chunk);
      if (n <= 0) {
        closeFd(i == 0 ? out : err);
      } else {
        gotData = true;
        (i == 0 ? result.out : result.err).append(chunk, static_cast<size_t>(n));
      }
    }
    if (in >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
      ssize_t n = ::write(in, input.data() + written, input.size() - written);
      if (n <= 0 || (written += static_cast<size_t>(n)) == input.size()) closeFd(in);
    }
    if (!exited && ::waitpid(pid, &status, WNOHANG) == pid) {
      exited = true;
      recordStatus(status, result);
    }
    if (exited && (!gotData || (out < 0 && err < 0))) break;
  }
  closeFd(in);
  closeFd(out);
  closeFd(err);
}

}  // namespace

std::string stageDir() { return VY_STAGE_DIR; }

Instance::Instance() {
  char pattern[] = "/tmp/vy-test-XXXXXX";
  if (!::mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
  dir_ = pattern;
  ::chmod(dir_.c_str(), 0755);
  fs::copy(stageDir(), dir_, fs::copy_options::recursive | fs::copy_options::overwrite_existing);
}

Instance::~Instance() {
  if (std::getenv("VY_KEEP_INSTANCES")) return;
  std::error_code ignored;
  fs::remove_all(dir_, ignored);
}

void Instance::makeDataDirs() const {
  for (const char* sub : {"vydata", "vydata/vydb", "vydata/vychklog", "vydata/vytime"}) {
    fs::create_directories(path(sub));
  }
  write("vydata/vytime/check", "");
}

RunResult Instance::run(const std::string& program, const RunOptions& options) const {
  ExecPlan plan(dir_, program, options);
  Pipe in, out, err;
  auto deadline =
      Clock::now() + std::chrono::milliseconds(static_cast<long>(options.timeoutSeconds * 1000));
  pid_t pid = forkExec(dir_, plan, in.readEnd, out.writeEnd, err.writeEnd);
  closeFd(in.readEnd);
  closeFd(out.writeEnd);
  closeFd(err.writeEnd);
  RunResult result;
  signal(SIGPIPE, SIG_IGN);  // a program that stops reading must not end the test
  pumpAndReap(pid, in.writeEnd, options.stdinText, out.readEnd, err.readEnd, deadline, result);
  return result;
}

RunResult Instance::runWorker(const std::vector<std::string>& args,
                              const std::map<std::string, std::string>& env,
                              const std::string& stdinText, double timeoutSeconds) const {
  RunOptions options;
  options.args = args;
  options.env = env;
  options.stdinText = stdinText;
  options.timeoutSeconds = timeoutSeconds;
  return run("vyrunner.cgi", options);
}

BackgroundProcess Instance::start(const std::string& program, const RunOptions& options) const {
  ExecPlan plan(dir_, program, options);
  Pipe out;
  int devNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  pid_t pid = forkExec(dir_, plan, devNull, out.writeEnd, devNull);
  ::close(devNull);
  closeFd(out.writeEnd);
  return BackgroundProcess(pid, out.readEnd);
}

bool Instance::exists(const std::string& relative) const {
  struct stat st;
  return ::stat(path(relative).c_str(), &st) == 0;
}

std::string Instance::read(const std::string& relative) const {
  std::ifstream in(path(relative), std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void Instance::write(const std::string& relative, const std::string& bytes) const {
  std::ofstream out(path(relative), std::ios::binary | std::ios::trunc);
  out << bytes;
}

std::vector<std::string> Instance::errorLog() const {
  std::vector<std::string> lines;
  std::istringstream in(read("vydata/error.log"));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

BackgroundProcess::BackgroundProcess(BackgroundProcess&& other) noexcept
    : pid_(other.pid_), stdoutFd_(other.stdoutFd_) {
  other.pid_ = -1;
  other.stdoutFd_ = -1;
}

BackgroundProcess::~BackgroundProcess() {
  kill();
  closeFd(stdoutFd_);
}

void BackgroundProcess::signal(int number) const {
  if (pid_ > 0) ::kill(pid_, number);
}

RunResult BackgroundProcess::wait(double timeoutSeconds) {
  RunResult result;
  auto deadline =
      Clock::now() + std::chrono::milliseconds(static_cast<long>(timeoutSeconds * 1000));
  int noInput = -1, noErr = -1;
  if (pid_ > 0) pumpAndReap(pid_, noInput, "", stdoutFd_, noErr, deadline, result);
  pid_ = -1;
  return result;
}

void BackgroundProcess::kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

std::vector<std::string> splitLogLine(const std::string& line) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    size_t bar = line.find('|', start);
    fields.push_back(line.substr(start, bar - start));
    if (bar == std::string::npos) break;
    start = bar + 1;
  }
  if (fields.size() != 7) fields.clear();
  return fields;
}

bool waitUntil(const std::function<bool()>& condition, double timeoutSeconds) {
  auto deadline =
      Clock::now() + std::chrono::milliseconds(static_cast<long>(timeoutSeconds * 1000));
  while (!condition()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

}  // namespace vy::test
