// Removing a group with everything kept beside its group file: the check
// history and its day digest, the certificate details and the public title.
#pragma once

#include <string>
#include <vector>

#include "store/store_code.h"

namespace vy {

struct SideFileFailure {
  std::string path;
  StoreStatus status;
};

// Removes the group file and, when that went, the group's side files, so a
// group created again under the name starts afresh. The status is the group
// file's; each side file that could not be removed adds its status (naming
// the path) to sideFailures. The empty name (the file ".dat") has no side
// files.
[[nodiscard]] StoreStatus removeGroupAndSideFiles(const std::string& name,
                                                  std::vector<SideFileFailure>& sideFailures);

}  // namespace vy
