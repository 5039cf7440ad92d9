#include "formats/ewf/EwfFormats.h"

#include "plugin/Registry.h"

// Version 1 files also carry 0x01 right after the signature.
static UInt32 IsArcEwf1(const Byte *p, size_t size, const char *sig) {
  if (size < 9)
    return 2;
  return std::memcmp(p, sig, 8) == 0 && p[8] == 0x01 ? 1 : 0;
}

UInt32 WINAPI IsArc_E01(const Byte *p, size_t size) { return IsArcEwf1(p, size, NEwfSignature::kE01); }
UInt32 WINAPI IsArc_L01(const Byte *p, size_t size) { return IsArcEwf1(p, size, NEwfSignature::kL01); }
UInt32 WINAPI IsArc_Ex01(const Byte *p, size_t size) { return IsArcSignature(p, size, NEwfSignature::kEx01, 8, 8); }
UInt32 WINAPI IsArc_Lx01(const Byte *p, size_t size) { return IsArcSignature(p, size, NEwfSignature::kLx01, 8, 8); }
