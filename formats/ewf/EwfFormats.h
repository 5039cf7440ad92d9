// Class-level answers of the four EWF formats: names, class IDs, extensions, signatures, IsArc.
#pragma once

#include "plugin/Archive.h"

namespace NEwfSignature {
inline constexpr char kE01[] = {'E', 'V', 'F', 0x09, 0x0D, 0x0A, static_cast<char>(0xFF), 0x00};
inline constexpr char kL01[] = {'L', 'V', 'F', 0x09, 0x0D, 0x0A, static_cast<char>(0xFF), 0x00};
inline constexpr char kEx01[] = {'E', 'V', 'F', '2', 0x0D, 0x0A, static_cast<char>(0x81), 0x00};
inline constexpr char kLx01[] = {'L', 'E', 'F', '2', 0x0D, 0x0A, static_cast<char>(0x81), 0x00};
} // namespace NEwfSignature

UInt32 WINAPI IsArc_E01(const Byte *p, size_t size);
UInt32 WINAPI IsArc_L01(const Byte *p, size_t size);
UInt32 WINAPI IsArc_Ex01(const Byte *p, size_t size);
UInt32 WINAPI IsArc_Lx01(const Byte *p, size_t size);
