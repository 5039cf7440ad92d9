#pragma once

#include "formats/ewf/EwfFormats.h"

class Tvor7zE01Archive : public Tvor7zArchive {
public:
  static GUID GetClassID() { return GUID{0x59F7FE14u, 0xD608u, 0x47BCu, {0xAD, 0x0A, 0x80, 0x18, 0x4E, 0x3E, 0xDA, 0xAC}}; }
  static UString GetName() { return L"E01"; }
  static UString GetExtension() { return L"s01 e01"; }
  static AString GetSignature() { return AString(NEwfSignature::kE01, 8); }
  static Func_IsArc GetIsArcFunc() { return IsArc_E01; }
};
