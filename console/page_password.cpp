// The administrator's user name and password: the page that asks for them and
// the command that stores them (and, under a web server that authenticates
// the administrator itself, its ".htpasswd" too).
#include <cstdio>
#include <ctime>
#include <string>

#include "common/cgi.h"
#include "common/credentials.h"
#include "common/errors.h"
#include "common/files.h"
#include "console/console.h"
#include "console/page_templates.h"
#include "store/sessions.h"

namespace vy {
namespace {

// The stored user's part of the page, when there is a stored user; a first
// run names the user "admin".
void writeStoredUser(Page& page, const PageTemplate& layout) {
  PasswordEntry entry;
  if (readPasswordFile(kPasswordPath, entry).ok()) {
    page.setText("USER", entry.user.empty() ? "admin" : entry.user);
    page.render(layout, kPasswordCenter);
  } else if (!isRegularFile(kPasswordPath)) {
    page.setText("USER", "admin");
  }
}

}  // namespace

void showPasswordPage(ConsoleRequest&, Page& page, std::string_view message) {
  if (!message.empty()) page.setText("MSG", message);
  writePage(page, kChangePasswordTemplate, kChangePasswordSections,
            {kPasswordHeader, kPasswordFooter},
            [&](const PageTemplate& layout) { writeStoredUser(page, layout); });
}

void updatePassword(ConsoleRequest& request, Page& page) {
  const Form& form = request.form;
  const std::string& user = form.value("un");
  const std::string& password = form.value("pw");
  const std::string problem = credentialsProblem(user, password, form.value("pw2"));
  if (!problem.empty()) {
    showPasswordPage(request, page, problem);
    return;
  }
  if (!writePasswordFile(user, password, kPasswordPath).ok()) {
    reportFatal(ErrAction::kWriteFile, "admin.pwd");
  }
  if (!request.cgi.remoteUser.empty() && !updateHtpasswd(user, password)) {
    reportFatal(ErrAction::kWriteFile, ".htpasswd");
  }
  // The new password ends every session but the changer's, which starts anew.
  const StoreStatus started = createOnlySession(kSessionsPath, std::time(nullptr), request.session);
  if (!started.ok()) reportFatal(started, kSessionsPath);
  page.setText("APWD", request.session);
  displayMain(request, page, "Administrative Username/Password Has Been Updated");
}

}  // namespace vy
