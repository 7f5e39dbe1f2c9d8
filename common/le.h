// Little-endian fixed-width integers for every on-disk record of the system.
//
// Records are encoded and decoded field by field through these helpers and
// never by copying a C++ struct's memory, so padding, alignment and the host's
// byte order never reach a file. The caller checks that the bytes exist
// (REQUIRES: p points at width bytes).
#ifndef VANTRY_COMMON_LE_H_
#define VANTRY_COMMON_LE_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace vy::le {

inline void putU8(uint8_t* p, uint8_t v) { p[0] = v; }
inline void putU16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void putU32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}
inline void putU24(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
}
// The low 48 bits of v.
inline void putU48(uint8_t* p, uint64_t v) {
  putU32(p, static_cast<uint32_t>(v));
  putU16(p + 4, static_cast<uint16_t>(v >> 32));
}
inline void putU64(uint8_t* p, uint64_t v) {
  putU32(p, static_cast<uint32_t>(v));
  putU32(p + 4, static_cast<uint32_t>(v >> 32));
}
inline void putI16(uint8_t* p, int16_t v) { putU16(p, static_cast<uint16_t>(v)); }
inline void putI32(uint8_t* p, int32_t v) { putU32(p, static_cast<uint32_t>(v)); }
inline void putI64(uint8_t* p, int64_t v) { putU64(p, static_cast<uint64_t>(v)); }

inline uint8_t getU8(const uint8_t* p) { return p[0]; }
inline uint16_t getU16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (static_cast<uint16_t>(p[1]) << 8));
}
inline uint32_t getU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint32_t getU24(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16);
}
inline uint64_t getU48(const uint8_t* p) {
  return static_cast<uint64_t>(getU32(p)) | (static_cast<uint64_t>(getU16(p + 4)) << 32);
}
inline uint64_t getU64(const uint8_t* p) {
  return static_cast<uint64_t>(getU32(p)) | (static_cast<uint64_t>(getU32(p + 4)) << 32);
}
inline int16_t getI16(const uint8_t* p) { return static_cast<int16_t>(getU16(p)); }
inline int32_t getI32(const uint8_t* p) { return static_cast<int32_t>(getU32(p)); }
inline int64_t getI64(const uint8_t* p) { return static_cast<int64_t>(getU64(p)); }

// A zero-terminated text inside a fixed field of `width` bytes: at most
// width - 1 bytes of the text are stored, the rest of the field is zero.
inline void putText(uint8_t* p, size_t width, std::string_view text) {
  std::memset(p, 0, width);
  size_t n = text.size() < width ? text.size() : width - 1;
  std::memcpy(p, text.data(), n);
}

// The text of a fixed field: up to its first zero byte, or the whole field
// when a damaged record holds none.
inline std::string getText(const uint8_t* p, size_t width) {
  const void* nul = std::memchr(p, 0, width);
  size_t n = nul ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - p) : width;
  return std::string(reinterpret_cast<const char*>(p), n);
}

}  // namespace vy::le

#endif  // VANTRY_COMMON_LE_H_
