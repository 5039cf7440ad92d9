#include "formats/whx/WhxArchive.h"

#include "plugin/Registry.h"

UInt32 WINAPI IsArc_WHX(const Byte *p, size_t size) { return IsArcSignature(p, size, "WHX Backup v1.0", 15, 15); }

void RegisterWhxClasses(Tvor7zRegistry &registry) {
  static const TArchiveClassOf<Tvor7zWhxArchive> whx;
  registry.RegisterArchiveClass(&whx);
}
