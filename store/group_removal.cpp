// Removing a group file together with the files kept beside it.
#include "store/group_removal.h"

#include "store/certificates.h"
#include "store/group_name.h"
#include "store/group_store.h"
#include "store/history.h"
#include "store/history_digest.h"
#include "store/public_title.h"
#include "store/side_file.h"

namespace vy {

StoreStatus removeGroupAndSideFiles(const std::string& name,
                                    std::vector<SideFileFailure>& sideFailures) {
  const StoreStatus rc = removeGroup(name);
  if (!rc.ok() || !isValidGroupName(name)) return rc;
  const auto note = [&](const std::string& path, StoreStatus side) {
    if (!side.ok()) sideFailures.push_back({path, side});
  };
  note(historyPath(name), removeHistory(name));
  note(historyDigestPath(name), removeHistoryDigest(name));
  note(certificatePath(name), removeCertificates(name));
  note(publicTitlePath(name), removeSideFile(publicTitlePath(name)));
  return rc;
}

}  // namespace vy
