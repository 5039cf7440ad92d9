// The two registries of class references: objects (searched by CreateObject) and formats (whose
// order is the format index the host sees).
#pragma once

#include <vector>

#include "plugin/Archive.h"

class Tvor7zRegistry {
public:
  static Tvor7zRegistry &Instance();

  void RegisterArchiveClass(const Tvor7zArchiveClass *cls);
  UInt32 FormatCount() const { return static_cast<UInt32>(FFormats.size()); }
  const Tvor7zArchiveClass *Format(UInt32 index) const { return FFormats[index]; }
  const std::vector<const Tvor7zObjectClass *> &Objects() const { return FObjects; }

private:
  Tvor7zRegistry();
  std::vector<const Tvor7zObjectClass *> FObjects;
  std::vector<const Tvor7zArchiveClass *> FFormats;
};

// Registration of each format unit, in the fixed order of the format indexes.
void RegisterEwfClasses(Tvor7zRegistry &registry);  // 0 E01, 1 L01, 2 Ex01, 3 Lx01
void RegisterAd1Classes(Tvor7zRegistry &registry);  // 4 AD1
void RegisterAffClasses(Tvor7zRegistry &registry);  // 5 AFF
void RegisterWhxClasses(Tvor7zRegistry &registry);  // 6 WHX
void RegisterAff4Classes(Tvor7zRegistry &registry);  // 7 AFF4
void RegisterAdCryptClasses(Tvor7zRegistry &registry);  // 8 ADCrypt

// Signature test shared by the IsArc functions: 1 when `p` starts with `sig`, 0 when it differs,
// 2 when fewer than `need` bytes are given.
UInt32 IsArcSignature(const Byte *p, size_t size, const char *sig, size_t sigSize, size_t need);
