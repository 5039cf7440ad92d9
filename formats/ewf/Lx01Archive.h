#pragma once

#include "formats/ewf/EwfFormats.h"

class Tvor7zLx01Archive : public Tvor7zArchive {
public:
  static GUID GetClassID() { return GUID{0x7CE10BFFu, 0x369Du, 0x46E4u, {0x89, 0x13, 0xEF, 0x3B, 0x1E, 0xD7, 0x9E, 0x34}}; }
  static UString GetName() { return L"Lx01"; }
  static UString GetExtension() { return L"lx01"; }
  static AString GetSignature() { return AString(NEwfSignature::kLx01, 8); }
  static Func_IsArc GetIsArcFunc() { return IsArc_Lx01; }
};
