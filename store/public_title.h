// What the public status page reads besides the groups and their history:
// each public group's title, ./vydata/vypublic/<group>.dat, and the
// administrator's notice, ./vydata/vypublic/notice.txt.
//
// A title file, little-endian:
//
//   offset  size    content
//   0       4       magic "VYPT"
//   4       2       version, u16: 1
//   6       2       title length, u16 (at most kMaxPublicTitleLength)
//   8       length  the title, UTF-8 as the console's form sent it
//
// A title is written whole by replacing its file under the file's lock and
// read under a shared lock, so a reader sees the old title or the new one.
// A group without a title file shows its name. The notice is plain text the
// administrator writes by hand (for a maintenance); the page shows its first
// kMaxPublicNoticeLength bytes in place of the overall state while it is
// there and not blank.
#ifndef VANTRY_STORE_PUBLIC_TITLE_H_
#define VANTRY_STORE_PUBLIC_TITLE_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "store/store_code.h"

namespace vy {

inline constexpr const char* kPublicDir = "./vydata/vypublic";
inline constexpr const char* kPublicNoticePath = "./vydata/vypublic/notice.txt";

inline constexpr size_t kPublicTitleMagicOffset = 0;
inline constexpr size_t kPublicTitleMagicSize = 4;
inline constexpr const char* kPublicTitleMagic = "VYPT";
inline constexpr size_t kPublicTitleVersionOffset = 4;
inline constexpr uint16_t kPublicTitleVersion = 1;
inline constexpr size_t kPublicTitleLengthOffset = 6;
inline constexpr size_t kPublicTitleTextOffset = 8;

inline constexpr size_t kMaxPublicTitleLength = 120;
inline constexpr size_t kMaxPublicNoticeLength = 1000;

// ./vydata/vypublic/<group>.dat (REQUIRES: isValidGroupName(group)).
std::string publicTitlePath(std::string_view group);

// The title cut to kMaxPublicTitleLength bytes, never inside a UTF-8
// character.
std::string storablePublicTitle(std::string_view title);

// The file's bytes of a title (cut as storablePublicTitle cuts it).
std::string encodePublicTitle(std::string_view title);
// None for another magic or version, or a length beyond the bytes or the
// maximum.
std::optional<std::string> decodePublicTitle(std::string_view bytes);

// The group's title; the empty text when it has none. kOk; kRefusedName;
// kCannotRead; kLockRefused; kDamaged (out empty).
[[nodiscard]] StoreStatus readPublicTitle(const std::string& group, std::string& out);

// Stores the title, creating the directory; an empty title removes the
// file. kOk; kRefusedNameToStore; kCannotOpen; kLockRefused; kShortWrite;
// kCannotRemove.
[[nodiscard]] StoreStatus storePublicTitle(const std::string& group, std::string_view title);

// The administrator's notice without its surrounding blanks, at most
// kMaxPublicNoticeLength bytes; empty when there is none.
std::string readPublicNotice();

}  // namespace vy

#endif  // VANTRY_STORE_PUBLIC_TITLE_H_
