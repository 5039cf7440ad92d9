#pragma once

#include "plugin/Archive.h"

UInt32 WINAPI IsArc_WHX(const Byte *p, size_t size);

class Tvor7zWhxArchive : public Tvor7zArchive {
public:
  static GUID GetClassID() { return GUID{0x8F9E0239u, 0x0E43u, 0x4B41u, {0x90, 0x5E, 0xA1, 0x4A, 0x09, 0xE6, 0x32, 0x0C}}; }
  static UString GetName() { return L"WHX"; }
  static UString GetExtension() { return L"whx"; }
  static AString GetSignature() { return AString("WHX Backup v1.0", 15); }
  static Func_IsArc GetIsArcFunc() { return IsArc_WHX; }
};
