// The public titles' files and the notice; see public_title.h.
#include "store/public_title.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/le.h"
#include "common/locked_file.h"
#include "common/replace_file.h"
#include "store/group_name.h"

namespace vy {
namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
  return text;
}

// Where a UTF-8 text may be cut at or before `at`: not before a continuation byte.
size_t characterBoundary(std::string_view text, size_t at) {
  while (at > 0 && at < text.size() && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) {
    --at;
  }
  return at;
}

StoreStatus removeTitleFile(const std::string& path) {
  LockedFile locked;
  const FileStatus opened = openLocked(path, LockedOpen::kChange, locked);
  if (opened == FileCode::kNotFound) return StoreCode::kOk;
  if (!opened.ok()) return storeStatusOf(opened);
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) return {StoreCode::kCannotRemove, path};
  return StoreCode::kOk;
}

}  // namespace

std::string publicTitlePath(std::string_view group) {
  return std::string(kPublicDir) + "/" + std::string(group) + ".dat";
}

std::string storablePublicTitle(std::string_view title) {
  if (title.size() <= kMaxPublicTitleLength) return std::string(title);
  return std::string(title.substr(0, characterBoundary(title, kMaxPublicTitleLength)));
}

std::string encodePublicTitle(std::string_view title) {
  const std::string text = storablePublicTitle(title);
  std::string out(kPublicTitleTextOffset, '\0');
  auto* bytes = reinterpret_cast<uint8_t*>(out.data());
  std::memcpy(bytes + kPublicTitleMagicOffset, kPublicTitleMagic, kPublicTitleMagicSize);
  le::putU16(bytes + kPublicTitleVersionOffset, kPublicTitleVersion);
  le::putU16(bytes + kPublicTitleLengthOffset, static_cast<uint16_t>(text.size()));
  return out + text;
}

std::optional<std::string> decodePublicTitle(std::string_view bytes) {
  if (bytes.size() < kPublicTitleTextOffset) return std::nullopt;
  const auto* in = reinterpret_cast<const uint8_t*>(bytes.data());
  if (bytes.substr(kPublicTitleMagicOffset, kPublicTitleMagicSize) != kPublicTitleMagic ||
      le::getU16(in + kPublicTitleVersionOffset) != kPublicTitleVersion) {
    return std::nullopt;
  }
  const size_t length = le::getU16(in + kPublicTitleLengthOffset);
  if (length > kMaxPublicTitleLength || length > bytes.size() - kPublicTitleTextOffset) {
    return std::nullopt;
  }
  return std::string(bytes.substr(kPublicTitleTextOffset, length));
}

StoreStatus readPublicTitle(const std::string& group, std::string& out) {
  out.clear();
  if (!isValidGroupName(group)) return StoreCode::kRefusedName;
  const std::string path = publicTitlePath(group);
  LockedFile locked;
  const FileStatus opened = openLocked(path, LockedOpen::kRead, locked);
  if (opened == FileCode::kNotFound) return StoreCode::kOk;
  if (!opened.ok()) return storeStatusOf(opened);
  // A title file is small; a larger one is not one of ours.
  const size_t size = static_cast<size_t>(locked.size());
  if (size > kPublicTitleTextOffset + kMaxPublicTitleLength) return {StoreCode::kDamaged, path};
  std::string bytes(size, '\0');
  if (readFully(locked.fd.get(), bytes.data(), size) != static_cast<ssize_t>(size)) {
    return {StoreCode::kDamaged, path};
  }
  std::optional<std::string> title = decodePublicTitle(bytes);
  if (!title) return {StoreCode::kDamaged, path};
  out = std::move(*title);
  return StoreCode::kOk;
}

StoreStatus storePublicTitle(const std::string& group, std::string_view title) {
  if (!isValidGroupName(group)) return StoreCode::kRefusedNameToStore;
  const std::string path = publicTitlePath(group);
  if (title.empty()) return removeTitleFile(path);
  const FileStatus made = makeDirectory(kPublicDir, kDirectoryMode);
  if (!made.ok()) return storeStatusOf(made);
  LockedFile locked;
  const FileStatus opened = openLocked(path, LockedOpen::kCreate, locked, kFileMode);
  if (!opened.ok()) return storeStatusOf(opened);
  return storeStatusOf(replaceLockedFile(path, locked, encodePublicTitle(title), kFileMode));
}

std::string readPublicNotice() {
  UniqueFd fd = openFd(kPublicNoticePath, O_RDONLY);
  if (!fd) return "";
  // A few bytes more than shown, to see where the last character ends.
  std::string text(kMaxPublicNoticeLength + 4, '\0');
  const ssize_t n = readFully(fd.get(), text.data(), text.size());
  if (n <= 0) return "";
  text.resize(static_cast<size_t>(n));
  text.resize(characterBoundary(text, std::min(text.size(), kMaxPublicNoticeLength)));
  return std::string(trimmed(std::string_view(text).substr(0, text.find('\0'))));
}

}  // namespace vy
