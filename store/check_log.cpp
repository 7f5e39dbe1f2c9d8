// Check log records: codec, append and read; see check_log.h.
#include "store/check_log.h"

#include <unistd.h>

#include <cerrno>

#include "common/fd.h"
#include "common/files.h"
#include "common/le.h"
#include "store/group_name.h"

namespace vy {

CheckLogEntry checkLogEntryFor(const UrlStatus& status) {
  CheckLogEntry entry;
  entry.time = status.lastCheck;
  entry.status = status.resultCode;
  entry.flags = stateBits(status);
  entry.url = std::string(status.url);
  return entry;
}

std::string encodeCheckLogEntry(const CheckLogEntry& entry) {
  std::string_view url(entry.url);
  url = url.substr(0, url.find('\0'));
  std::string record(kCheckLogHeadSize, '\0');
  uint8_t* head = reinterpret_cast<uint8_t*>(record.data());
  le::putU32(head + kCheckLogTimeOffset, entry.time);
  le::putI16(head + kCheckLogStatusOffset, entry.status);
  le::putU8(head + kCheckLogFlagsOffset, entry.flags & (kStateUp | kStateBanFound | kStatePresOk));
  record += url;
  record += '\0';
  return record;
}

std::vector<CheckLogEntry> parseCheckLog(std::string_view bytes) {
  std::vector<CheckLogEntry> entries;
  size_t pos = 0;
  while (bytes.size() - pos > kCheckLogHeadSize) {
    size_t nul = bytes.find('\0', pos + kCheckLogHeadSize);
    if (nul == std::string_view::npos) break;
    const uint8_t* head = reinterpret_cast<const uint8_t*>(bytes.data() + pos);
    CheckLogEntry& entry = entries.emplace_back();
    entry.time = le::getU32(head + kCheckLogTimeOffset);
    entry.status = le::getI16(head + kCheckLogStatusOffset);
    entry.flags = le::getU8(head + kCheckLogFlagsOffset);
    entry.url = std::string(bytes.substr(pos + kCheckLogHeadSize, nul - pos - kCheckLogHeadSize));
    pos = nul + 1;
  }
  return entries;
}

StoreStatus appendCheckLog(const std::string& groupName, const UrlStatus& entry) {
  if (!isValidGroupName(groupName)) return StoreCode::kCannotAppend;
  std::string record = encodeCheckLogEntry(checkLogEntryFor(entry));
  const std::string path = checkLogPath(groupName);
  UniqueFd fd = openFd(path.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0666);
  if (!fd) return {StoreCode::kCannotAppend, path};
  ssize_t n;
  do {
    n = ::write(fd.get(), record.data(), record.size());
  } while (n < 0 && errno == EINTR);
  if (n != static_cast<ssize_t>(record.size())) return {StoreCode::kShortWrite, path};
  return StoreCode::kOk;
}

StoreStatus readCheckLog(const std::string& groupName, std::vector<CheckLogEntry>& entries) {
  entries.clear();
  if (!isValidGroupName(groupName)) return StoreCode::kRefusedName;
  std::string bytes;
  const FileStatus read = readFileBytes(checkLogPath(groupName), bytes);
  if (!read.ok()) return storeStatusOf(read);
  entries = parseCheckLog(bytes);
  return StoreCode::kOk;
}

}  // namespace vy
