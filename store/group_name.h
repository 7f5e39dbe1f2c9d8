// The rule for group names and the paths built from them.
//
// A group name becomes part of a file path (./vydata/vydb/<name>.dat and
// ./vydata/vychklog/<name>.log) and, further on, of command lines, so every
// caller in both programs checks it here before using it: 1 to 64 bytes of
// A-Z a-z 0-9 . - _, not beginning with "." (no hidden files, no "..", no
// path separators, nothing a shell or an HTML page would interpret) and not
// containing ".dat" (a directory walk finds a group by its name up to the
// first ".dat" of a file name). The empty name is not a valid name; where an
// empty name has a meaning of its own (the default group "general" of the
// group database), the caller maps it first.
#ifndef VANTRY_STORE_GROUP_NAME_H_
#define VANTRY_STORE_GROUP_NAME_H_

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vy {

inline constexpr size_t kMaxGroupNameLength = 64;
inline constexpr const char* kDefaultGroupName = "general";
inline constexpr const char* kGroupDir = "./vydata/vydb";
inline constexpr const char* kCheckLogDir = "./vydata/vychklog";

bool isValidGroupName(std::string_view name);

// "general" for the empty name, the name itself otherwise.
std::string effectiveGroupName(std::string_view name);

// ./vydata/vydb/<name>.dat and ./vydata/vychklog/<name>.log; the name is used
// as given (REQUIRES: isValidGroupName(name)).
std::string groupFilePath(std::string_view name);
std::string checkLogPath(std::string_view name);

// The groups of ./vydata/vydb in the order the system lists them: every entry
// not beginning with "." whose name contains ".dat", named by what comes
// before its first ".dat" (so a backup "shop.dat.bak" stands for "shop"),
// each valid name once. None when the directory cannot be read.
std::optional<std::vector<std::string>> listGroups();

}  // namespace vy

#endif  // VANTRY_STORE_GROUP_NAME_H_
