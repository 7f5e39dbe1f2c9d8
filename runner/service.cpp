// The worker's service commands: input, password check, command; see
// service.h.
#include "runner/service.h"

#include <string>

#include "common/credentials.h"
#include "common/errors.h"
#include "common/files.h"

namespace vy {
namespace {

// ADMIN_PWD is read with unset meaning empty, so the worker always supplies a
// password text (a POST cannot lack it); REMOTE_USER is accepted.
int checkAdminAccess(const WorkerContext& context) {
  return checkAccess(std::string_view(context.adminPassword), kPasswordPath, true);
}

}  // namespace

bool readsGroupConfigText(std::string_view command) {
  return command == "set" || command == "add" || command == "writegroup" || command == "del" ||
         command == "write" || command == "rewrite";
}

int runServiceCommand(WorkerContext& context) {
  const std::string& command = context.arg(0);
  // The group configuration text is taken before the password check, so the
  // caller's input is consumed whatever the outcome.
  std::string configText = readsGroupConfigText(command) ? readStdinText() : std::string();
  int access = checkAdminAccess(context);
  if (access != 0) {
    reportError(access, kInvalidPasswordDetail);
    return kExitPasswordRefused;
  }
  return 0;
}

}  // namespace vy
