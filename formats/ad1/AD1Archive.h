#pragma once

#include "plugin/Archive.h"

UInt32 WINAPI IsArc_AD1(const Byte *p, size_t size);

class Tvor7zAD1Archive : public Tvor7zArchive {
public:
  static GUID GetClassID() { return GUID{0xD0DA279Au, 0x1D09u, 0x4D8Fu, {0xBA, 0xE0, 0xE6, 0xFC, 0x4A, 0xAA, 0x90, 0xD2}}; }
  static UString GetName() { return L"AD1"; }
  static UString GetExtension() { return L"AD1"; }
  static AString GetSignature() { return AString("ADSEGMENTEDFILE", 15); }
  static Func_IsArc GetIsArcFunc() { return IsArc_AD1; }
};
