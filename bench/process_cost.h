// Runs a program as a web server or cron would and measures what it cost:
// wall time from spawn to exit, CPU time of the process and every child it
// waited for, and its peak resident size.
#ifndef VANTRY_BENCH_PROCESS_COST_H_
#define VANTRY_BENCH_PROCESS_COST_H_

#include <sys/types.h>

#include <string>
#include <vector>

#include "bench/table.h"

namespace vy::bench {

struct ProcessCost {
  double wallSeconds = 0;
  double cpuSeconds = 0;
  long peakKiB = 0;        // see runMeasuredAlone
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

// The same, started from a fresh small launcher process, for a peak resident
// size that is the program's own: the kernel counts the starting process's
// size into the peak of a program it starts, and the benchmark process
// itself grows large. Wall time then includes the launcher's start.
ProcessCost runMeasuredAlone(const Launch& launch);

// The launcher's side: argv after "--launch" as runMeasuredAlone passes it.
// Runs the program and writes its exit code, CPU seconds and peak size to
// the result file; the launcher's exit status.
int launchAndReport(int argc, char** argv);

// Starts the program in the background; -1 when it could not start. With
// Launch::pipeOutput, *output receives the read end of its output pipe.
pid_t startProcess(const Launch& launch, int* output = nullptr);
// CPU seconds a live process has used so far (from /proc), or -1.
double processCpuSeconds(pid_t pid);

// Seconds on the monotonic clock.
double monotonicSeconds();

// The median of the figures (which it sorts).
double median(std::vector<double> figures);

// A row of a page's median wall time over the about page's (both in
// seconds), at most target, with both in milliseconds beside it; a failed
// row when either side failed.
Row pageRatioRow(const char* id, const char* measure, const std::vector<double>& page,
                 const std::vector<double>& about, bool failed, double target);

}  // namespace vy::bench

#endif  // VANTRY_BENCH_PROCESS_COST_H_
