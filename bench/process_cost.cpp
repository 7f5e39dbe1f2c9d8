// Measured program runs; see process_cost.h.
#include "bench/process_cost.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "common/fd.h"

namespace vy::bench {
namespace {

std::vector<char*> pointersTo(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (std::string& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

double seconds(const timeval& tv) {
  return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) * 1e-6;
}

}  // namespace

double monotonicSeconds() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

pid_t startProcess(const Launch& launch, int* output) {
  std::vector<std::string> argv = launch.argv;
  std::vector<std::string> env = launch.env;
  env.push_back("PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addchdir_np(&actions, launch.directory.c_str());
  posix_spawn_file_actions_addopen(&actions, 0, launch.stdinPath.c_str(), O_RDONLY, 0);
  int pipeEnds[2] = {-1, -1};
  if (launch.pipeOutput) {
    if (!output || ::pipe2(pipeEnds, O_CLOEXEC) != 0) return -1;
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 1);
  } else {
    posix_spawn_file_actions_addopen(&actions, 1, launch.stdoutPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
  }
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  std::vector<char*> args = pointersTo(argv);
  std::vector<char*> environment = pointersTo(env);
  if (posix_spawn(&pid, argv[0].c_str(), &actions, nullptr, args.data(), environment.data()) != 0) {
    pid = -1;
  }
  posix_spawn_file_actions_destroy(&actions);
  if (launch.pipeOutput) {
    ::close(pipeEnds[1]);
    if (pid < 0) ::close(pipeEnds[0]);
    *output = pid < 0 ? -1 : pipeEnds[0];
  }
  return pid;
}

ProcessCost runMeasured(const Launch& launch) {
  ProcessCost cost;
  const double start = monotonicSeconds();
  int output = -1;
  pid_t pid = startProcess(launch, &output);
  if (pid < 0) return cost;
  if (output >= 0) {
    static char sink[1 << 16];
    for (long n; (n = ::read(output, sink, sizeof sink)) != 0;) {
      if (n > 0) cost.outputBytes += static_cast<size_t>(n);
      if (n < 0 && errno != EINTR) break;
    }
    ::close(output);
  }
  int status = 0;
  rusage usage{};
  if (::wait4(pid, &status, 0, &usage) != pid) return cost;
  cost.wallSeconds = monotonicSeconds() - start;
  cost.cpuSeconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
  cost.peakKiB = usage.ru_maxrss;
  if (WIFEXITED(status)) cost.exitCode = WEXITSTATUS(status);
  return cost;
}

ProcessCost runMeasuredAlone(const Launch& launch) {
  char resultPath[] = "/tmp/vy-bench-result-XXXXXX";
  UniqueFd result(::mkstemp(resultPath));
  ProcessCost cost;
  if (!result) return cost;
  Launch launcher = launch;
  launcher.argv = {"/proc/self/exe", "--launch",       resultPath,
                   launch.directory, launch.stdinPath, launch.stdoutPath};
  launcher.argv.insert(launcher.argv.end(), launch.argv.begin(), launch.argv.end());
  launcher.pipeOutput = false;
  launcher.stdoutPath = "/dev/null";
  ProcessCost outer = runMeasured(launcher);
  std::ifstream in(resultPath);
  if (outer.exitCode == 0 && in >> cost.exitCode >> cost.cpuSeconds >> cost.peakKiB) {
    cost.wallSeconds = outer.wallSeconds;
  }
  ::unlink(resultPath);
  return cost;
}

int launchAndReport(int argc, char** argv) {
  if (argc < 5) return 2;
  Launch launch;
  launch.directory = argv[1];
  launch.stdinPath = argv[2];
  launch.stdoutPath = argv[3];
  launch.argv.assign(argv + 4, argv + argc);
  for (char** name = environ; *name; ++name) {
    if (std::strncmp(*name, "PATH=", 5) != 0) launch.env.push_back(*name);
  }
  ProcessCost cost = runMeasured(launch);
  std::ofstream out(argv[0], std::ios::trunc);
  out << cost.exitCode << ' ' << cost.cpuSeconds << ' ' << cost.peakKiB << '\n';
  return out ? 0 : 1;
}

double processCpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(in, line)) return -1;
  // The fields after the command name (which may hold blanks) in parentheses.
  std::istringstream fields(line.substr(line.rfind(')') + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14 || i == 15) ticks += std::stod(field);  // utime, stime
  }
  return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

double median(std::vector<double> figures) {
  if (figures.empty()) return 0;
  std::sort(figures.begin(), figures.end());
  size_t mid = figures.size() / 2;
  return figures.size() % 2 ? figures[mid] : (figures[mid - 1] + figures[mid]) / 2;
}

Row pageRatioRow(const char* id, const char* measure, const std::vector<double>& page,
                 const std::vector<double>& about, bool failed, double target) {
  if (failed) return failedRow(id, measure, Bound::kAtMost, target, "a request failed");
  return measuredRow(id, measure, median(page) / median(about), Bound::kAtMost, target,
                     format("%.2f ms / %.2f ms", median(page) * 1e3, median(about) * 1e3));
}

}  // namespace vy::bench
