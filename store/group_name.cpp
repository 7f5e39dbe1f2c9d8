// The group-name rule and group paths; see group_name.h.
#include "store/group_name.h"

#include <dirent.h>

#include <memory>
#include <set>

namespace vy {
namespace {

bool isNameByte(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '-' || c == '_';
}

}  // namespace

bool isValidGroupName(std::string_view name) {
  if (name.empty() || name.size() > kMaxGroupNameLength || name.front() == '.') return false;
  if (name.find(".dat") != std::string_view::npos) return false;
  for (char c : name) {
    if (!isNameByte(c)) return false;
  }
  return true;
}

std::string effectiveGroupName(std::string_view name) {
  return name.empty() ? std::string(kDefaultGroupName) : std::string(name);
}

std::string groupFilePath(std::string_view name) {
  std::string path(kGroupDir);
  path += '/';
  path += name;
  path += ".dat";
  return path;
}

std::string checkLogPath(std::string_view name) {
  std::string path(kCheckLogDir);
  path += '/';
  path += name;
  path += ".log";
  return path;
}

std::optional<std::vector<std::string>> listGroups() {
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(kGroupDir), ::closedir);
  if (!dir) return std::nullopt;
  std::vector<std::string> groups;
  std::set<std::string> seen;
  while (const dirent* entry = ::readdir(dir.get())) {
    std::string_view fileName(entry->d_name);
    size_t dat = fileName.find(".dat");
    if (fileName.empty() || fileName.front() == '.' || dat == std::string_view::npos) continue;
    std::string name(fileName.substr(0, dat));
    if (isValidGroupName(name) && seen.insert(name).second) groups.push_back(std::move(name));
  }
  return groups;
}

}  // namespace vy
