// The worker's entry: start-up and the dispatch of its command words.
//
// vyrunner.cgi is one short-lived process per command (only the scheduler
// daemon lives long). It reads a few CGI variables, sets the file-creation
// mask, installs the signal handlers, answers the query string "about",
// loads the settings and hands the first argument to the command that owns it
// (without arguments, the query string of a metrics scrape stands for them).
//
// Under a web server the request is a stranger's until a credential says
// otherwise, and a browser sends the web server's credentials with any
// request another site makes it send. So over the web the worker takes
// nothing from a request that it would store or act on: the commands that
// change groups or the login (passwd) are refused whoever asks, the ones that
// start checks need the administrator's REMOTE_USER, and checkurl checks a URL
// of a stored group with the group's stored settings only. Reading commands
// keep their password rule. A refused check counts against the client in the
// console's failed-login throttle, and a throttled client is refused first. The console and the
// scheduler start the worker without the request's variables (see process.h), so their commands are
// not web requests.
#ifndef VANTRY_RUNNER_WORKER_H_
#define VANTRY_RUNNER_WORKER_H_

#include <string>
#include <string_view>
#include <vector>

#include "common/cgi.h"
#include "common/credentials.h"
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
// A command whose caller is not the administrator ends with this status.
inline constexpr int kExitPasswordRefused = 2;
inline constexpr const char* kInvalidPasswordDetail = "Invalid Admin Password";

// Whether a command may use its group argument: the empty text (the command
// gives it its own meaning) or a valid group name. Any other name is logged
// once as kInvalidGroupNameDetail; the command then ends with
// kExitInvalidGroupName.
bool acceptGroupArgument(std::string_view name);

// Everything a command needs from the start-up: the request texts read once
// from the environment (unset reads as empty), the loaded settings and the
// command-line arguments after the program name.
struct WorkerContext {
  CgiEnvironment cgi;         // the request's variables, read once at start
  std::string adminPassword;  // ADMIN_PWD
  // A web server runs the worker for a request (see isCgiRequest).
  bool webRequest = false;
  Settings settings;
  std::vector<std::string> args;

  // The i-th argument after the command word's position 0, or "" when absent.
  const std::string& arg(size_t i) const;
  bool hasArg(size_t i) const { return i < args.size(); }
};

// Whether the caller is the administrator: ADMIN_PWD is the password, or a web
// server authenticated the administrator (REMOTE_USER). Over the web the
// answer feeds the client's failed-login count (store/login_throttle.h),
// which refuses a client that failed too often whatever it asks.
[[nodiscard]] Access checkAdministrator(const WorkerContext& context);

// The whole program: returns the exit status (the low 8 bits are seen).
int runWorker(int argc, char** argv);

}  // namespace vy

#endif  // VANTRY_RUNNER_WORKER_H_
