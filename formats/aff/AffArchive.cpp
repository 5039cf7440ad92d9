#include "formats/aff/AffArchive.h"

#include "plugin/Registry.h"

UInt32 WINAPI IsArc_AFF(const Byte *p, size_t size) { return IsArcSignature(p, size, "AFF10\r\n\0", 8, 8); }

void RegisterAffClasses(Tvor7zRegistry &registry) {
  static const TArchiveClassOf<Tvor7zAffArchive> aff;
  registry.RegisterArchiveClass(&aff);
}
