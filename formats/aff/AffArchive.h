#pragma once

#include "plugin/Archive.h"

UInt32 WINAPI IsArc_AFF(const Byte *p, size_t size);

class Tvor7zAffArchive : public Tvor7zArchive {
public:
  static GUID GetClassID() { return GUID{0xE5A282EBu, 0x4D34u, 0x4EE6u, {0x94, 0x07, 0x87, 0xE7, 0x94, 0x8D, 0x32, 0xA8}}; }
  static UString GetName() { return L"AFF"; }
  static UString GetExtension() { return L"aff"; }
  static AString GetSignature() { return AString("AFF10\r\n\0", 8); }
  static Func_IsArc GetIsArcFunc() { return IsArc_AFF; }
};
