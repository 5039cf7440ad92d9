// Fixed-size numbers as containers store them: little-endian, and big-endian where a format says so.
#pragma once

#include "host/HostAbi.h"

inline UInt16 GetUi16(const Byte *p) noexcept { return static_cast<UInt16>(p[0] | (p[1] << 8)); }
inline UInt32 GetUi32(const Byte *p) noexcept {
  return static_cast<UInt32>(p[0]) | (static_cast<UInt32>(p[1]) << 8) | (static_cast<UInt32>(p[2]) << 16) |
         (static_cast<UInt32>(p[3]) << 24);
}
inline UInt64 GetUi64(const Byte *p) noexcept {
  return static_cast<UInt64>(GetUi32(p)) | (static_cast<UInt64>(GetUi32(p + 4)) << 32);
}
inline UInt32 GetBe32(const Byte *p) noexcept {
  return (static_cast<UInt32>(p[0]) << 24) | (static_cast<UInt32>(p[1]) << 16) | (static_cast<UInt32>(p[2]) << 8) |
         p[3];
}
inline void SetUi64(Byte *p, UInt64 x) noexcept {
  for (int i = 0; i < 8; i++)
    p[i] = static_cast<Byte>(x >> (8 * i));
}
