// The worker program as both programs start it: the console for a URL's check
// and the scheduler's start, the scheduler daemon for its runs and restarts.
// It lies beside the console in the installation directory, which is the
// working directory of both.
#ifndef VANTRY_COMMON_WORKER_PROGRAM_H_
#define VANTRY_COMMON_WORKER_PROGRAM_H_

namespace vy {

inline constexpr const char* kWorkerProgram = "./vyrunner.cgi";

}  // namespace vy

#endif  // VANTRY_COMMON_WORKER_PROGRAM_H_
