// The group file codec: header, URL records and content areas; see
// group_codec.h for the layout.
#include "store/group_codec.h"

#include <algorithm>
#include <utility>

#include "common/le.h"
#include "common/text.h"

namespace vy {
namespace {

constexpr size_t kMinUrlRecordSize = kUrlStatusSize + 1;

// count NUL-terminated texts from the start of area; false when one lacks
// its NUL inside the area.
bool decodeTexts(std::string_view area, int32_t count, std::vector<std::string_view>& texts) {
  size_t pos = 0;
  for (int32_t i = 0; i < count; ++i) {
    size_t nul = area.find('\0', pos);
    if (nul == std::string_view::npos) return false;
    texts.push_back(area.substr(pos, nul - pos));
    pos = nul + 1;
  }
  return true;
}

bool decodeUrlRecords(std::string_view image, GroupLayout& layout, std::vector<UrlStatus>& urls) {
  size_t pos = layout.urlStart();
  for (int32_t i = 0; i < layout.header.urlCount; ++i) {
    if (image.size() - pos < kMinUrlRecordSize) return false;
    size_t nul = image.find('\0', pos + kUrlStatusSize);
    if (nul == std::string_view::npos) return false;
    UrlStatus& entry =
        urls.emplace_back(decodeUrlStatus(reinterpret_cast<const uint8_t*>(image.data() + pos)));
    entry.url = image.substr(pos + kUrlStatusSize, nul - pos - kUrlStatusSize);
    entry.fileOffset = static_cast<uint32_t>(pos);
    pos = nul + 1;
  }
  layout.urlEnd = pos;
  return true;
}

// Checks every count and area of the header against the image before any
// list is allocated from it.
bool headerFitsImage(const GroupHeader& h, size_t imageSize) {
  if (h.urlCount < 0 || h.banCount < 0 || h.presCount < 0 || h.banBytes < 0 || h.presBytes < 0) {
    return false;
  }
  uint64_t start = uint64_t{kGroupHeaderSize} + static_cast<uint64_t>(h.banBytes) +
                   static_cast<uint64_t>(h.presBytes);
  if (start > imageSize) return false;
  // Each text takes at least its NUL, each URL record at least 29 bytes.
  if (h.banCount > h.banBytes || h.presCount > h.presBytes) return false;
  return static_cast<uint64_t>(h.urlCount) <= (imageSize - start) / kMinUrlRecordSize;
}

}  // namespace

void encodeGroupHeader(const GroupHeader& h, uint8_t* out) {
  std::fill(out, out + kGroupHeaderSize, 0);
  le::putI32(out + kGroupCheckIntervalOffset, h.checkInterval);
  le::putText(out + kGroupInformOffset, kGroupInformSize, h.inform);
  le::putU8(out + kGroupOptionsOffset, h.options);
  le::putU8(out + kGroupMoreOptionsOffset, h.moreOptions & kMoreStoredMask);
  le::putU8(out + kGroupPublicFlagsOffset, h.publicFlags & kPublicStoredMask);
  le::putI32(out + kGroupUrlCountOffset, h.urlCount);
  le::putI32(out + kGroupBanCountOffset, h.banCount);
  le::putI32(out + kGroupPresCountOffset, h.presCount);
  le::putI32(out + kGroupBanBytesOffset, h.banBytes);
  le::putI32(out + kGroupPresBytesOffset, h.presBytes);
}

GroupHeader decodeGroupHeader(const uint8_t* in) {
  GroupHeader h;
  h.checkInterval = le::getI32(in + kGroupCheckIntervalOffset);
  h.inform = le::getText(in + kGroupInformOffset, kGroupInformSize).substr(0, kMaxInformLength);
  h.options = le::getU8(in + kGroupOptionsOffset);
  h.moreOptions = le::getU8(in + kGroupMoreOptionsOffset);
  h.publicFlags = le::getU8(in + kGroupPublicFlagsOffset);
  h.urlCount = le::getI32(in + kGroupUrlCountOffset);
  h.banCount = le::getI32(in + kGroupBanCountOffset);
  h.presCount = le::getI32(in + kGroupPresCountOffset);
  h.banBytes = le::getI32(in + kGroupBanBytesOffset);
  h.presBytes = le::getI32(in + kGroupPresBytesOffset);
  return h;
}

void encodeUrlStatus(const UrlStatus& s, uint8_t* out) {
  std::fill(out, out + kUrlStatusSize, 0);
  le::putU32(out + kStatusLastCheckOffset, s.lastCheck);
  le::putI16(out + kStatusResultCodeOffset, s.resultCode);
  le::putU8(out + kStatusFlagsOffset, s.flags & kUrlStoredFlagsMask);
  le::putU32(out + kStatusResponseMsOffset, s.responseMs);
  le::putI16(out + kStatusBanIndexOffset, s.banIndex);
  le::putI16(out + kStatusPresIndexOffset, s.presIndex);
  le::putU32(out + kStatusCertExpiryOffset, s.certExpiry);
  le::putU16(out + kStatusCertWarnedDaysOffset, s.certWarnedDays);
}

UrlStatus decodeUrlStatus(const uint8_t* in) {
  UrlStatus s;
  s.lastCheck = le::getU32(in + kStatusLastCheckOffset);
  s.resultCode = le::getI16(in + kStatusResultCodeOffset);
  s.flags = le::getU8(in + kStatusFlagsOffset);
  s.responseMs = le::getU32(in + kStatusResponseMsOffset);
  s.banIndex = le::getI16(in + kStatusBanIndexOffset);
  s.presIndex = le::getI16(in + kStatusPresIndexOffset);
  s.certExpiry = le::getU32(in + kStatusCertExpiryOffset);
  s.certWarnedDays = le::getU16(in + kStatusCertWarnedDaysOffset);
  return s;
}

bool decodeGroupImage(FileImage image, GroupConfig& group, GroupLayout& layout) {
  group.fileImage = std::move(image);
  std::string_view bytes(group.fileImage.data(), group.fileImage.size());
  if (bytes.size() < kGroupHeaderSize) return false;
  GroupHeader& h = layout.header;
  h = decodeGroupHeader(reinterpret_cast<const uint8_t*>(bytes.data()));
  if (!headerFitsImage(h, bytes.size())) return false;
  group.banContents.reserve(static_cast<size_t>(h.banCount));
  group.presContents.reserve(static_cast<size_t>(h.presCount));
  group.urls.reserve(static_cast<size_t>(h.urlCount));
  size_t presStart = kGroupHeaderSize + static_cast<size_t>(h.banBytes);
  if (!decodeTexts(bytes.substr(kGroupHeaderSize, static_cast<size_t>(h.banBytes)), h.banCount,
                   group.banContents) ||
      !decodeTexts(bytes.substr(presStart, static_cast<size_t>(h.presBytes)), h.presCount,
                   group.presContents) ||
      !decodeUrlRecords(bytes, layout, group.urls)) {
    return false;
  }
  group.checkInterval = h.checkInterval;
  group.inform = h.inform;
  group.options = h.options;
  group.moreOptions = h.moreOptions & kMoreStoredMask;
  group.publicFlags = h.publicFlags & kPublicStoredMask;
  return true;
}

StoreStatus decodeGroupFile(std::string_view bytes, GroupConfig& group) {
  group = GroupConfig();
  GroupLayout layout;
  if (!decodeGroupImage(FileImage(bytes.begin(), bytes.end()), group, layout)) {
    return StoreCode::kDamaged;
  }
  return StoreCode::kOk;
}

void appendUrlRecords(std::string& out, const std::vector<UrlStatus>& urls) {
  for (const UrlStatus& entry : urls) {
    size_t at = out.size();
    out.resize(at + kUrlStatusSize);
    encodeUrlStatus(entry, reinterpret_cast<uint8_t*>(out.data() + at));
    out += entry.url;
    out += '\0';
  }
}

ContentArea appendContentArea(std::string& out, const std::vector<std::string_view>& contents) {
  const size_t start = out.size();
  int32_t count = 0;
  for (std::string_view content : contents) {
    std::string_view text = content.substr(0, content.find('\0'));
    if (text.empty()) continue;
    out += lowerCopy(text);
    out += '\0';
    ++count;
  }
  return {count, static_cast<int32_t>(out.size() - start)};
}

}  // namespace vy
