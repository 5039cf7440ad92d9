#pragma once

#include "formats/ewf/EwfFormats.h"

class Tvor7zL01Archive : public Tvor7zArchive {
public:
  static GUID GetClassID() { return GUID{0x33B807B9u, 0xD114u, 0x4FDFu, {0xAA, 0x15, 0x0E, 0xE8, 0xD8, 0x08, 0x05, 0x38}}; }
  static UString GetName() { return L"L01"; }
  static UString GetExtension() { return L"l01"; }
  static AString GetSignature() { return AString(NEwfSignature::kL01, 8); }
  static Func_IsArc GetIsArcFunc() { return IsArc_L01; }
};
