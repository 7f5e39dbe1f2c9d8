// Runs tidy and xmllint over a program's output.
#include "tests/support/validators.h"

#include <sys/wait.h>

#include "common/files.h"
#include "common/process.h"
#include "tests/support/child.h"

namespace vy::test {

bool tidyAccepts(const std::string& html, std::string* report) {
  TempDir dir;
  const ProgramRun tidy =
      runProgramWithInput({"tidy", "-q", "-e", "-utf8", "-f", dir.file("r")}, html);
  if (report) *report = tidy.started ? readWholeFile(dir.file("r")) : "tidy cannot be started";
  // Status 1: warnings only.
  return tidy.started && WIFEXITED(tidy.waitStatus) && WEXITSTATUS(tidy.waitStatus) <= 1;
}

bool xmlAccepts(const std::string& text) {
  return runProgramWithInput({"xmllint", "--noout", "-"}, text).succeeded();
}

}  // namespace vy::test
