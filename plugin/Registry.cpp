#include "plugin/Registry.h"

Tvor7zRegistry &Tvor7zRegistry::Instance() {
  static Tvor7zRegistry registry;
  return registry;
}

Tvor7zRegistry::Tvor7zRegistry() {
  RegisterEwfClasses(*this);
  RegisterAd1Classes(*this);
  RegisterAffClasses(*this);
  RegisterWhxClasses(*this);
  RegisterAff4Classes(*this);
  RegisterAdCryptClasses(*this);
}

void Tvor7zRegistry::RegisterArchiveClass(const Tvor7zArchiveClass *cls) {
  FObjects.push_back(cls);
  FFormats.push_back(cls);
}

UInt32 IsArcSignature(const Byte *p, size_t size, const char *sig, size_t sigSize, size_t need) {
  if (size < need)
    return 2;
  return std::memcmp(p, sig, sigSize) == 0 ? 1 : 0;
}
