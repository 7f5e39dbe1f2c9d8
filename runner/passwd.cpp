// The headless set-up of the administrator's login; see passwd.h.
#include "runner/passwd.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "common/credentials.h"
#include "common/errors.h"
#include "common/files.h"
#include "store/data_directory.h"

namespace vy {
namespace {

// The first line of standard input without its line end, read a byte at a
// time so that nothing after the line is taken and a terminal need not be
// closed.
std::string readPasswordLine() {
  std::string line;
  char c = 0;
  while (line.size() < kMaxPasswordInputBytes) {
    const ssize_t n = ::read(STDIN_FILENO, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || c == '\n') break;
    line += c;
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

// Only the current password opens an existing login: the web server's user
// means nothing to a command the web may not run.
Access checkCurrentPassword(const WorkerContext& context) {
  const AccessClaim claim{std::string_view(context.adminPassword), false, ""};
  return checkAccess(claim, kPasswordPath, false);
}

}  // namespace

int runPasswdCommand(WorkerContext& context) {
  const std::string password = readPasswordLine();
  const std::string& user = context.arg(1);
  const std::string problem = credentialsProblem(user, password);
  if (!problem.empty()) {
    std::fprintf(stderr, "%s\n", problem.c_str());
    reportRefusal(ErrAction::kNoFileOperation, "passwd: " + problem);
    return kExitInvalidCredentials;
  }
  if (isRegularFile(kPasswordPath)) {
    const Access access = checkCurrentPassword(context);
    if (access != Access::kGranted) {
      reportRefusal(Status(access), kInvalidPasswordDetail);
      return kExitPasswordRefused;
    }
  }
  prepareDataDirectory();
  if (!writePasswordFile(user, password, kPasswordPath).ok()) {
    reportFatal(ErrAction::kWriteFile, "admin.pwd");
  }
  if (isRegularFile(kHtpasswdFile) && !updateHtpasswd(user, password)) {
    reportFatal(ErrAction::kWriteFile, kHtpasswdFile);
  }
  return 0;
}

}  // namespace vy
