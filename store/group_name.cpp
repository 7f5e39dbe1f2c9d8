// The group-name rule and group paths; see group_name.h.
#include "store/group_name.h"

namespace vy {
namespace {

bool isNameByte(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '-' || c == '_';
}

}  // namespace

bool isValidGroupName(std::string_view name) {
  if (name.empty() || name.size() > kMaxGroupNameLength || name.front() == '.') return false;
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

}  // namespace vy
