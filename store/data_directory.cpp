// The creation of a new instance's data directory; see data_directory.h.
#include "store/data_directory.h"

#include <string>

#include "common/errors.h"
#include "common/files.h"
#include "store/group_config.h"
#include "store/group_name.h"
#include "store/group_store.h"
#include "store/scheduler_file.h"
#include "store/settings.h"

namespace vy {
namespace {

void makeDirectoryOrDie(const std::string& path) {
  if (!makeDirectory(path, kDirectoryMode).ok()) {
    reportFatal(ErrAction::kCreateDirectory, path);
  }
}

void installDataDirectory() {
  makeDirectoryOrDie(kDataDir);
  makeDirectoryOrDie(kGroupDir);
  makeDirectoryOrDie(kCheckLogDir);
  makeDirectoryOrDie("./vydata/vytime");
  if (!createEmptyFile(kCheckTimePath, kFileMode).ok()) {
    reportFatal(ErrAction::kWriteFile, kCheckTimePath);
  }
  GroupConfig general = newGroupDefaults();
  StoreStatus rc = storeSettings(kDefaultGroupName, general);
  if (!rc.ok()) reportFatal(rc, "Set group settings");
}

}  // namespace

void prepareDataDirectory() {
  if (!isDirectory(kDataDir)) installDataDirectory();
}

}  // namespace vy
