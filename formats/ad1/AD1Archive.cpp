#include "formats/ad1/AD1Archive.h"

#include "plugin/Registry.h"

// The signature's terminating zero is part of the test, so 16 bytes are needed in the end.
UInt32 WINAPI IsArc_AD1(const Byte *p, size_t size) {
  if (size < 8)
    return 2;
  if (std::memcmp(p, "ADSEGMEN", 8) != 0)
    return 0;
  if (size < 16)
    return 2;
  return std::memcmp(p + 8, "TEDFILE\0", 8) == 0 ? 1 : 0;
}

void RegisterAd1Classes(Tvor7zRegistry &registry) {
  static const TArchiveClassOf<Tvor7zAD1Archive> ad1;
  registry.RegisterArchiveClass(&ad1);
}
