#pragma once

#include "formats/ewf/EwfFormats.h"

class Tvor7zEx01Archive : public Tvor7zArchive {
public:
  static GUID GetClassID() { return GUID{0xBF392321u, 0xB935u, 0x4BADu, {0xBC, 0x18, 0x90, 0x78, 0x6E, 0x12, 0x38, 0x09}}; }
  static UString GetName() { return L"Ex01"; }
  static UString GetExtension() { return L"ex01"; }
  static AString GetSignature() { return AString(NEwfSignature::kEx01, 8); }
  static Func_IsArc GetIsArcFunc() { return IsArc_Ex01; }
};
