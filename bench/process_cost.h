// Runs a program as a web server or cron would and measures what it cost:
// wall time from spawn to exit, CPU time of the process and every child it
// waited for, and its peak resident size.
#ifndef VANTRY_BENCH_PROCESS_COST_H_
#define VANTRY_BENCH_PROCESS_COST_H_

#include <sys/types.h>

#include <string>
#include <vector>

namespace vy::bench {

struct ProcessCost {
  double wallSeconds = 0;
  double cpuSeconds = 0;
  long peakKiB = 0;        // the largest resident size of the process or a waited-for child
  int exitCode = -1;       // -1 when it did not exit normally
  size_t outputBytes = 0;  // what it wrote to a pipe (Launch::pipeOutput)
};

struct Launch {
  std::vector<std::string> argv;  // argv[0] is the program's path
  std::string directory;          // the working directory
  std::vector<std::string> env;   // NAME=value, the whole environment besides PATH
  std::string stdinPath = "/dev/null";
  std::string stdoutPath = "/dev/null";
  // Standard output into a pipe that is read to its end and thrown away, as
  // a web server reads a CGI program's page (stdoutPath is then unused).
  bool pipeOutput = false;
};

// Runs the program to its end; exitCode -1 also when it could not start.
ProcessCost runMeasured(const Launch& launch);

// Starts the program in the background; -1 when it could not start. With
// Launch::pipeOutput, *output receives the read end of its output pipe.
pid_t startProcess(const Launch& launch, int* output = nullptr);
// CPU seconds a live process has used so far (from /proc), or -1.
double processCpuSeconds(pid_t pid);

// Seconds on the monotonic clock.
double monotonicSeconds();

// The median of the figures (which it sorts).
double median(std::vector<double> figures);

}  // namespace vy::bench

#endif  // VANTRY_BENCH_PROCESS_COST_H_
