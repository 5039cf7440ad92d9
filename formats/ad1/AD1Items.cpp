#include "formats/ad1/AD1Items.h"

#include <algorithm>

namespace {
template <size_t N>
bool AnySet(const Byte (&digest)[N]) {
  return std::any_of(digest, digest + N, [](Byte b) { return b != 0; });
}
}  // namespace

bool Tvor7zAD1Item::HasMD5() const { return AnySet(MD5); }
bool Tvor7zAD1Item::HasSHA1() const { return AnySet(SHA1); }

HRESULT Tvor7zAD1Items::QueryInterfaceImpl(REFIID iid, void **out) {
  if (iid == IID_IVorUnknown || iid == IID_Ivor7zAD1Items)
    return Offer<IUnknown>(this, out);
  return NoInterface(out);
}

Tvor7zAD1Item *Tvor7zAD1Items::Add() { return &FList.emplace_back(); }
