// The group database: reading and changing the group files of
// ./vydata/vydb (their bytes are in group_codec.h), one operation each.
//
// A read opens the file read-only under a shared lock, held only while it
// reads, so readers never wait for each other and need no write permission.
// Every change holds an exclusive lock on the file from open to close.
// Console, check runs, the scheduler and service commands can therefore work
// on the same group at the same time.
//
// Crash safety: a 28-byte status is the only change ever written into a group
// file in place (writeUrlStatus). Every other change builds the whole new
// image and replaces the file with it (replace_file.h) under the group's
// lock; a failure or a crash at any moment leaves either the old group or the
// new one. And since records move only by a replacement, a status writer that
// finds at the path the very file it read (kept open by its GroupHandle) may
// trust the offsets it read.
//
// Names: the empty name means "general"; a name isValidGroupName refuses is
// refused before any file is opened. Every operation that stores first drops
// every entry of the given list whose URL occurs again later in it and cuts
// each URL at its first NUL.
#ifndef VANTRY_STORE_GROUP_STORE_H_
#define VANTRY_STORE_GROUP_STORE_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/errors.h"
#include "common/fd.h"
#include "common/files.h"
#include "store/group_config.h"
#include "store/store_code.h"

namespace vy {

// Where a group's status write-back goes: the group's name and, after a read,
// the file read, kept open (without its lock). While a descriptor is open the
// file's inode cannot be freed and reused, so the file at the path having this
// identity later means it is still the very file the offsets came from.
struct GroupHandle {
  std::string name;  // a valid group name
  UniqueFd file;     // invalid: no file known, every record is looked up
  FileIdentity identity;

  // The handle of a group whose file is not known yet.
  static GroupHandle named(std::string group) {
    GroupHandle handle;
    handle.name = std::move(group);
    return handle;
  }
};

struct [[nodiscard]] GroupRead {
  StoreStatus status;
  GroupConfig group;   // the stored group; empty when the read failed
  GroupHandle handle;  // for writeUrlStatus
  bool ok() const { return status.ok(); }
};

// The stored group; its views point into group.fileImage and every entry's
// fileOffset is its record's offset. kOk; kNotFound (no regular file, or an
// empty one: a group being created); kRefusedName; kCannotOpen; kLockRefused;
// kDamaged.
GroupRead readGroup(const std::string& name);

// readGroup, with a failure logged under detail (not fatal). The report
// carries the caller's source line.
GroupRead readGroupReported(const std::string& name, std::string_view detail = "Read group",
                            ReportSite site = ReportSite::current());

struct [[nodiscard]] UrlListing {
  StoreStatus status;
  std::vector<std::string> lines;  // urlListingLine of each stored URL, in file order
};

// The stored URLs, only those equal to onlyUrl when it is given. Codes as
// readGroup.
UrlListing listUrls(const std::string& name, const std::optional<std::string>& onlyUrl = {});

// "<url> <stateWord>", then " f=<banIndex>" when banFound, " p=<presIndex>"
// when up and not presOk, and " c=<resultCode>"; no line break. A listing of
// the stored group shows the state word 0.
std::string urlListingLine(const UrlStatus& status, uint8_t stateWord);

// The storing operations create a missing group. Each returns kOk;
// kRefusedNameToStore; kCannotOpen (cannot open, create or replace);
// kLockRefused; kDamaged (the stored file is damaged: nothing is written);
// kShortWrite (the group is left as it was). A new group whose first image
// cannot be written leaves no empty file behind.

// Settings and contents of `settings`; the URL records stay byte for byte.
// Each content is stored cut at its first NUL, in lower case, and a content
// that is empty then is left out: an empty text would be found in every page.
[[nodiscard]] StoreStatus storeSettings(const std::string& name, const GroupConfig& settings);
// The whole group: settings and contents as storeSettings, and its URLs with
// their statuses; whatever was stored before is not read.
[[nodiscard]] StoreStatus writeGroup(const std::string& name, const GroupConfig& group);
// Adds the URLs in their order; URLs already stored keep their check results
// (taking the given switches) and move to the end.
[[nodiscard]] StoreStatus addUrls(const std::string& name, const std::vector<UrlStatus>& urls);
// The URL list becomes the given one, statuses as given.
[[nodiscard]] StoreStatus replaceUrls(const std::string& name, const std::vector<UrlStatus>& urls);
// As replaceUrls, but URLs already stored keep their check results.
[[nodiscard]] StoreStatus rewriteUrls(const std::string& name, const std::vector<UrlStatus>& urls);

// Deletes exactly the given URLs; a URL "all" is a URL like any other here,
// so this never removes the group itself. kNotFound for no group, kRefusedName,
// else as the storing operations.
[[nodiscard]] StoreStatus deleteUrls(const std::string& name,
                                     const std::vector<std::string_view>& urls);

// Removes the group file of the name as given (the empty name is the file
// ".dat"), under its lock so that a change being written is not brought back
// by its rename. kOk; kRefusedName; kNotFound; kLockRefused; kCannotRemove.
[[nodiscard]] StoreStatus removeGroup(const std::string& name);

// Writes the stored part of urls[index] back into the file of handle.name,
// only ever at the start of that URL's record. When the file at the path is
// still the handle's, the entry's offset is used as it is; otherwise (the
// group was replaced since, or no file is known, or the entry's offset is
// kUnknownFileOffset) the file is read under the lock, every entry's offset is
// taken from it and the handle keeps it. Either way the record keeps its
// stored check switches, so a check never undoes a change of them made
// meanwhile. An entry whose URL is no longer stored writes nothing. The
// caller serialises calls on one handle.
// kOk; kNoSuchEntry; kRefusedNameToStore; kCannotOpen; kLockRefused;
// kDamaged; kShortWrite.
[[nodiscard]] StoreStatus writeUrlStatus(GroupHandle& handle, std::vector<UrlStatus>& urls,
                                         size_t index);

}  // namespace vy

#endif  // VANTRY_STORE_GROUP_STORE_H_
