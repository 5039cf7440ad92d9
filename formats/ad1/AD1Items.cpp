#include "formats/ad1/AD1Items.h"

HRESULT Tvor7zAD1Items::QueryInterfaceImpl(REFIID iid, void **out) {
  if (iid == IID_IVorUnknown || iid == IID_Ivor7zAD1Items)
    return Offer<IUnknown>(this, out);
  return NoInterface(out);
}

Tvor7zAD1Item *Tvor7zAD1Items::Add() { return &FList.emplace_back(); }
