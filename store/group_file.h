// The group database: one binary file per group, ./vydata/vydb/<group>.dat.
//
// Both programs read and change groups only through accessGroupFile, whose
// mode selects the operation, and the worker writes each URL's new status in
// place with updateUrlStatus. Every change holds an exclusive flock on the
// file from open to close; a read (kRead, kListUrls) holds a shared one only
// while it reads the file, so readers never wait for each other. Console,
// check runs, the scheduler and service commands can therefore work on the
// same group at the same time.
//
// Crash safety: a 28-byte status is the only change ever written into a group
// file in place. Every other change writes the whole new image to a hidden
// temporary file in the same directory, flushes it to disk and renames it
// over the group file, all under the group's lock; a failure or a crash at
// any moment leaves either the old group or the new one. Since a replacement
// puts a new file (a new inode) at the path, whoever waited for the lock of
// the old file finds, once it has the lock, that the path now names another
// file, and opens and locks that one instead. And since records move only by
// a replacement, a status writer that finds at the path the very file it read
// (kept open, see SourceFile) may trust the offsets it read.
//
// Layout, little-endian, no padding:
//
//   offset                       size      content
//   0                            4         checkInterval, i32 (minutes)
//   4                            250       inform, NUL-terminated, at most 249 bytes
//   254                          1         options, u8
//   255                          1         moreOptions, u8 (bits 0-2; the rest zero)
//   256                          4         urlCount, i32
//   260                          4         banCount, i32
//   264                          4         presCount, i32
//   268                          4         banBytes, i32: size of the banned-content area
//   272                          4         presBytes, i32: size of the presence-content area
//   276                          12        reserved, zero
//   288                          banBytes  banCount NUL-terminated texts, lower case
//   288 + banBytes               presBytes presCount NUL-terminated texts, lower case
//   288 + banBytes + presBytes   rest      urlCount URL records
//
// A URL record is the 28-byte stored status followed by the URL and a NUL, so
// records are found only by walking from the first:
//
//   0   u32  lastCheck      4  i16  resultCode    6  u8  flags    7  u8 reserved
//   8   u32  responseMs    12  i16  banIndex     14  i16 presIndex
//   16  12   reserved, zero
//
// A file is data from disk: negative counts, counts or areas larger than the
// file, and texts without their NUL are refused with 12 before anything is
// allocated from them or read behind the image.
#ifndef VANTRY_STORE_GROUP_FILE_H_
#define VANTRY_STORE_GROUP_FILE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "store/group_config.h"

namespace vy {

inline constexpr size_t kGroupHeaderSize = 288;
inline constexpr size_t kGroupCheckIntervalOffset = 0;
inline constexpr size_t kGroupInformOffset = 4, kGroupInformSize = 250;
inline constexpr size_t kGroupOptionsOffset = 254;
inline constexpr size_t kGroupMoreOptionsOffset = 255;
inline constexpr size_t kGroupUrlCountOffset = 256;
inline constexpr size_t kGroupBanCountOffset = 260;
inline constexpr size_t kGroupPresCountOffset = 264;
inline constexpr size_t kGroupBanBytesOffset = 268;
inline constexpr size_t kGroupPresBytesOffset = 272;
inline constexpr size_t kGroupReservedOffset = 276, kGroupReservedSize = 12;

inline constexpr size_t kUrlStatusSize = 28;
inline constexpr size_t kStatusLastCheckOffset = 0;
inline constexpr size_t kStatusResultCodeOffset = 4;
inline constexpr size_t kStatusFlagsOffset = 6;
inline constexpr size_t kStatusResponseMsOffset = 8;
inline constexpr size_t kStatusBanIndexOffset = 12;
inline constexpr size_t kStatusPresIndexOffset = 14;
inline constexpr size_t kStatusReservedOffset = 16, kStatusReservedSize = 12;

// The 288-byte header as numbers.
struct GroupHeader {
  int32_t checkInterval = 0;
  std::string inform;
  uint8_t options = 0;
  uint8_t moreOptions = 0;
  int32_t urlCount = 0;
  int32_t banCount = 0;
  int32_t presCount = 0;
  int32_t banBytes = 0;
  int32_t presBytes = 0;
};

// REQUIRES: out / in point at kGroupHeaderSize bytes. Only bits 0-2 of
// moreOptions are written; the reserved words are zero.
void encodeGroupHeader(const GroupHeader& header, uint8_t* out);
GroupHeader decodeGroupHeader(const uint8_t* in);

// REQUIRES: out / in point at kUrlStatusSize bytes. decodeUrlStatus fills the
// stored part only.
void encodeUrlStatus(const UrlStatus& status, uint8_t* out);
UrlStatus decodeUrlStatus(const uint8_t* in);

// Decodes the bytes of a group file into group, replacing everything it held;
// its views point into its own copy of the bytes. kOk, or kShortRead for a
// damaged image (as accessGroupFile reports a damaged file).
[[nodiscard]] ErrAction decodeGroupFile(std::string_view bytes, GroupConfig& group);

// What accessGroupFile does with the group.
enum class GroupMode : char {
  kRead = 'r',           // config is replaced by the stored group (its views point
                         // into config.fileImage; groupName and urlFilter come
                         // back empty, config.source is the file read)
  kStoreSettings = 's',  // store settings and contents, keep the URL records byte for byte
  kStoreGroup = 'm',     // store the whole group: settings, contents, config's URLs
  kAddUrls = 'a',        // add config's URLs; URLs already stored keep their check
                         // results and move to the end in config's order
  kWriteUrls = 'w',      // replace the URL list by config's, statuses as given
  kRewriteUrls = 'f',    // like kWriteUrls, but URLs already stored keep their results
  kDeleteUrls = 'd',     // delete config's URLs; a first URL "all" removes the group file
  kListUrls = 'g',       // list the stored URLs (only config.urlFilter when set) as
                         // urlListingLine texts to *listing, or to standard output
};

// The group file of a name: the name is checked with isValidGroupName, an
// empty name means "general". The storing modes first drop every entry of
// config's list whose URL occurs again later in the list, and kAddUrls and
// kRewriteUrls copy the stored results into config's entries. kStoreSettings
// and kStoreGroup store each content cut at its first NUL and leave out every
// content that is empty then: an empty banned text would be found in every
// page, an empty required text in every page too.
//
// Returns kOk; kReadFile no such group (reading modes and kDeleteUrls; an
// empty file counts as none) or a refused name for them; kWriteFile cannot
// open or create (or replace), or a refused name for a storing mode;
// kRemoveFile the file could not be removed; kLockFile lock refused;
// kShortRead the file is damaged or shorter than its header says (nothing is
// written then); kShortWrite writing the new image failed (the group is left
// as it was).
[[nodiscard]] ErrAction accessGroupFile(const std::string& name, GroupConfig& config,
                                        GroupMode mode, std::string* listing = nullptr);

// Deletes exactly the given URLs from the group of a name (the empty name is
// "general"); a URL "all" is a URL like any other here, so this never removes
// the group itself. Codes as kDeleteUrls.
[[nodiscard]] ErrAction deleteUrls(const std::string& name, const std::vector<std::string>& urls);

// Removes a group file, under its lock so that a change being written is not
// brought back by its rename. kOk; kReadFile no such file; kRemoveFile.
[[nodiscard]] ErrAction removeGroupFile(const std::string& path);

// Writes the stored part of config.urls[index] back into the file of
// config.groupName (a valid name; the empty name is refused), only ever at the
// start of that URL's record. When the file at the path is still
// config.source, the entry's offset is used as it is; otherwise (the group was
// replaced since, or the entry came from a text with kUnknownFileOffset) the
// file is read under the lock, every entry's offset is taken from it and it
// becomes config.source. Either way the record keeps its stored check
// switches, so a check never undoes a change of them made meanwhile. An entry
// whose URL is no longer stored writes nothing. The caller serialises
// calls on one config.
// Returns kOk, kWriteFile (cannot open, refused name, bad index), kLockFile,
// kShortRead (damaged file) or kShortWrite.
[[nodiscard]] ErrAction updateUrlStatus(GroupConfig& config, int index);

// "<url> <stateWord>", then " f=<banIndex>" when banFound, " p=<presIndex>"
// when up and not presOk, and " c=<resultCode>"; no line break. A listing of
// the stored group shows the state word 0.
std::string urlListingLine(const UrlStatus& status, uint8_t stateWord);

}  // namespace vy

#endif  // VANTRY_STORE_GROUP_FILE_H_
