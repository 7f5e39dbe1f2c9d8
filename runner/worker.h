// The worker's entry: start-up and the dispatch of its command words.
//
// vyrunner.cgi is one short-lived process per command (only the scheduler
// daemon lives long). It reads a few CGI variables, sets the file-creation
// mask, installs the signal handlers, answers the query string "about",
// loads the settings and hands the first argument to the command that owns it
// (without arguments, the query string of a metrics scrape stands for them).
#ifndef VANTRY_RUNNER_WORKER_H_
#define VANTRY_RUNNER_WORKER_H_

#include <string>
#include <string_view>
#include <vector>

#include "store/settings.h"

namespace vy {

inline constexpr const char* kWorkerUnit = "vyrunner";
inline constexpr const char* kWorkerVersion = "2.00.048";

// Exit statuses of the entry itself.
inline constexpr int kExitNoCommand = -2;  // seen as 254
// A command whose group argument is not a valid group name is refused with
// this status before any file is touched. It is outside every result a
// command gives (checkurl's state words are 0 to 7), so a script can tell a
// refusal from a result.
inline constexpr int kExitInvalidGroupName = 253;
inline constexpr const char* kInvalidGroupNameDetail = "Invalid group name";

// Whether a command may use its group argument: the empty text (the command
// gives it its own meaning) or a valid group name. Any other name is logged
// once as kInvalidGroupNameDetail; the command then ends with
// kExitInvalidGroupName.
bool acceptGroupArgument(std::string_view name);

// Everything a command needs from the start-up: the request texts read once
// from the environment (unset reads as empty), the loaded settings and the
// command-line arguments after the program name.
struct WorkerContext {
  std::string queryString;
  std::string httpHost;
  std::string adminPassword;  // ADMIN_PWD
  std::string scriptFilename;
  std::string scriptName;
  std::string requestUri;
  Settings settings;
  std::vector<std::string> args;

  // The i-th argument after the command word's position 0, or "" when absent.
  const std::string& arg(size_t i) const;
  bool hasArg(size_t i) const { return i < args.size(); }
};

// The whole program: returns the exit status (the low 8 bits are seen).
int runWorker(int argc, char** argv);

}  // namespace vy

#endif  // VANTRY_RUNNER_WORKER_H_
