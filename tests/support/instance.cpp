// Process-test instance and runner; see instance.h. A program's standard
// streams are files in a scratch directory of the instance, so a daemon it
// leaves behind can never keep a test waiting on a pipe.
#include "tests/support/instance.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

namespace vy::test {
namespace {

namespace fs = std::filesystem;

constexpr const char* kSanitizerVariables[] = {"ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS",
                                               "TSAN_OPTIONS"};

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

}  // namespace

RunResult reap(pid_t pid, double seconds) {
  RunResult result;
  int status = 0;
  if (!waitUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, seconds)) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
  }
  if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  return result;
}

Instance::Instance() {
  char pattern[] = "/tmp/vy-test-XXXXXX";
  if (!::mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
  dir_ = pattern;
  fs::permissions(dir_, fs::perms(0755));
  fs::copy(VY_STAGE_DIR, dir_, fs::copy_options::recursive);
  fs::create_directory(path(".run"));
}

Instance::~Instance() {
  std::error_code ignored;
  if (!std::getenv("VY_KEEP_INSTANCES")) fs::remove_all(dir_, ignored);
}

void Instance::makeDataDirs() const {
  fs::create_directories(path("vydata/vydb"));
  fs::create_directories(path("vydata/vychklog"));
  fs::create_directories(path("vydata/vytime"));
  write("vydata/vytime/check", "");
}

// Starts ./program in the instance with stdin from .run/<tag>.in and
// stdout/stderr into .run/<tag>.out and .err. Arguments and environment are
// built before fork, so the child only makes async-signal-safe calls.
pid_t Instance::spawn(const std::string& program, const RunOptions& options,
                      const std::string& tag) const {
  std::vector<std::string> args = {"./" + program};
  args.insert(args.end(), options.args.begin(), options.args.end());
  std::vector<std::string> env = {"PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin"};
  for (const auto& [key, value] : options.env) {
    if (key == "PATH") env[0].clear();
    env.push_back(key + "=" + value);
  }
  // A sanitizer build's programs run with the options of the test run (leak
  // checking, suppressions).
  for (const char* name : kSanitizerVariables) {
    if (const char* value = std::getenv(name); value && !options.env.count(name)) {
      env.push_back(std::string(name) + "=" + value);
    }
  }
  std::vector<char*> argv, envp;
  for (std::string& arg : args) argv.push_back(arg.data());
  for (std::string& entry : env) {
    if (!entry.empty()) envp.push_back(entry.data());
  }
  argv.push_back(nullptr);
  envp.push_back(nullptr);
  const std::string base = path(".run/" + tag);
  write(".run/" + tag + ".in", options.stdinText);
  const bool limited = options.fileSizeLimit >= 0;
  const std::string out = limited ? "/dev/null" : base + ".out";
  const int fds[3] = {::open((base + ".in").c_str(), O_RDONLY | O_CLOEXEC),
                      ::open(out.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600),
                      ::open((base + ".err").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600)};
  const std::string programPath = path(program);
  const rlimit fileSize{static_cast<rlim_t>(options.fileSizeLimit),
                        static_cast<rlim_t>(options.fileSizeLimit)};
  pid_t pid = ::fork();
  if (pid == 0) {
    if (::chdir(dir_.c_str()) != 0) _exit(126);
    for (int fd = 0; fd < 3; ++fd) ::dup2(fds[fd], fd);
    if (limited && (::signal(SIGXFSZ, SIG_DFL) == SIG_ERR || ::setrlimit(RLIMIT_FSIZE, &fileSize)))
      _exit(126);
    ::execve(programPath.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  for (int fd : fds) ::close(fd);
  return pid;
}

RunResult Instance::run(const std::string& program, const RunOptions& options) const {
  return start(program, options).wait(options.timeoutSeconds);
}

RunResult Instance::runWorker(const std::vector<std::string>& args,
                              const std::map<std::string, std::string>& env,
                              const std::string& stdinText, double timeoutSeconds) const {
  return run("vyrunner.cgi", {args, env, stdinText, timeoutSeconds});
}

BackgroundProcess Instance::start(const std::string& program, const RunOptions& options) const {
  static std::atomic<int> starts{0};
  const std::string tag = "run" + std::to_string(starts++);
  return BackgroundProcess(spawn(program, options, tag), path(".run/" + tag));
}

bool Instance::exists(const std::string& relative) const { return fs::exists(path(relative)); }

std::string Instance::read(const std::string& relative) const { return slurp(path(relative)); }

void Instance::write(const std::string& relative, const std::string& bytes) const {
  std::ofstream(path(relative), std::ios::binary | std::ios::trunc) << bytes;
}

void Instance::writeScript(const std::string& relative, const std::string& body) const {
  write(relative, "#!/bin/sh\n" + body);
  fs::permissions(path(relative), fs::perms(0755));
}

BackgroundProcess::BackgroundProcess(BackgroundProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)), base_(std::move(other.base_)) {}

void BackgroundProcess::signal(int number) const {
  if (pid_ > 0) ::kill(pid_, number);
}

bool BackgroundProcess::ended() const {
  siginfo_t info = {};
  return ::waitid(P_PID, pid_, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid_;
}

RunResult BackgroundProcess::wait(double timeoutSeconds) {
  RunResult result;
  if (pid_ > 0) result = reap(std::exchange(pid_, -1), timeoutSeconds);
  result.out = slurp(base_ + ".out");
  result.err = slurp(base_ + ".err");
  // A sanitizer report fails the test whatever the test checks of the run.
  for (const char* report : {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer",
                             "runtime error:", "WARNING: ThreadSanitizer"}) {
    if (result.err.find(report) != std::string::npos) ADD_FAILURE() << base_ << ":\n" << result.err;
  }
  return result;
}

void BackgroundProcess::kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  ::waitpid(std::exchange(pid_, -1), nullptr, 0);
}

CgiRequest apacheRequest(const std::string& method, const std::string& script,
                         const std::string& query, size_t bodyLength) {
  CgiRequest request;
  request.env = {{"GATEWAY_INTERFACE", "CGI/1.1"},
                 {"SERVER_SOFTWARE", "Apache/2.4"},
                 {"SERVER_PROTOCOL", "HTTP/1.1"},
                 {"SERVER_NAME", "console.test"},
                 {"SERVER_ADDR", "127.0.0.1"},
                 {"SERVER_PORT", "80"},
                 {"REQUEST_SCHEME", "http"},
                 {"HTTP_HOST", "console.test"},
                 {"REMOTE_ADDR", "127.0.0.9"},
                 {"REMOTE_PORT", "40000"},
                 {"REQUEST_METHOD", method},
                 {"QUERY_STRING", query},
                 {"SCRIPT_NAME", script},
                 {"REQUEST_URI", query.empty() ? script : script + "?" + query},
                 {"SCRIPT_FILENAME", "/var/www" + script}};
  if (method == "POST") {
    request.env["CONTENT_TYPE"] = "application/x-www-form-urlencoded";
    request.env["CONTENT_LENGTH"] = std::to_string(bodyLength);
  }
  if (query.find('=') != std::string::npos) return request;
  for (std::istringstream words(query); !words.eof();) {
    std::string word;
    std::getline(words, word, '+');
    std::string decoded;
    for (size_t i = 0; i < word.size(); ++i) {
      if (word[i] == '%' && i + 2 < word.size()) {
        decoded += static_cast<char>(std::stoi(word.substr(i + 1, 2), nullptr, 16));
        i += 2;
      } else {
        decoded += word[i];
      }
    }
    if (!decoded.empty()) request.args.push_back(decoded);
  }
  return request;
}

std::vector<ProcessInfo> processesWorkingIn(const std::string& dir) {
  std::vector<ProcessInfo> found;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/proc", ec)) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    if (fs::read_symlink(entry.path() / "cwd", ec) != dir || ec) continue;
    ProcessInfo process;
    process.pid = std::stoi(name);
    std::string stat = slurp(entry.path() / "stat");  // "pid (comm) state ppid ..."
    std::istringstream fields(stat.substr(stat.rfind(')') + 1));
    std::string state;
    fields >> state >> process.parent;
    process.command = slurp(entry.path() / "cmdline");
    if (!process.command.empty() && process.command.back() == '\0') process.command.pop_back();
    std::replace(process.command.begin(), process.command.end(), '\0', ' ');
    found.push_back(process);
  }
  return found;
}

LogLines loggedActions(const Instance& instance) {
  LogLines found;
  std::istringstream log(instance.read("vydata/error.log"));
  for (std::string line; std::getline(log, line);) {
    std::vector<std::string> fields;
    std::istringstream in(line + "|");  // the last field ends like the others
    for (std::string field; std::getline(in, field, '|');) fields.push_back(field);
    const bool whole = fields.size() == 7;
    found.emplace_back(whole ? fields[2] : "?", whole ? fields[4] : line);
  }
  std::sort(found.begin(), found.end());
  return found;
}

bool waitUntil(const std::function<bool()>& condition, double timeoutSeconds) {
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::milliseconds(static_cast<long>(timeoutSeconds * 1000));
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

}  // namespace vy::test
