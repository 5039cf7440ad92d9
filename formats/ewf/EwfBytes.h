// Little-endian fields of EWF structures.
#pragma once


#include "host/HostAbi.h"

inline UInt16 EwfGetUi16(const Byte *p) noexcept { return static_cast<UInt16>(p[0] | (p[1] << 8)); }
inline UInt32 EwfGetUi32(const Byte *p) noexcept {
  return static_cast<UInt32>(p[0]) | (static_cast<UInt32>(p[1]) << 8) | (static_cast<UInt32>(p[2]) << 16) |
         (static_cast<UInt32>(p[3]) << 24);
}
inline UInt64 EwfGetUi64(const Byte *p) noexcept {
  return static_cast<UInt64>(EwfGetUi32(p)) | (static_cast<UInt64>(EwfGetUi32(p + 4)) << 32);
}
