// The items of an open AD1 image, in the order of the tree walk (each folder before its contents),
// and what the image says of itself.
#pragma once

#include <vector>

#include "host/Com.h"

struct Tvor7zAD1Item {
  bool IsFolder = false;
  UString Path;
  UInt64 CTime = 0;  // FILETIME ticks, 0 = none
  UInt64 MTime = 0;
  UInt64 ATime = 0;
  UInt64 Size = 0;
  Byte MD5[16] = {};   // all zero = none
  Byte SHA1[20] = {};  // all zero = none
  UInt64 DataOffset = 0;  // the file's chunk table; 0 = no data
};

struct Tvor7zAD1MetaInfo {
  UString SourceName;
};

// Identity of the item list for QueryInterface: {0079F77C-5F3B-4E17-981B-2DE300D9395B}.
inline constexpr GUID IID_Ivor7zAD1Items = {0x0079F77Cu, 0x5F3Bu, 0x4E17u, {0x98, 0x1B, 0x2D, 0xE3, 0x00, 0xD9, 0x39, 0x5B}};

class Tvor7zAD1Items : public TvorInterfacedObject, public IUnknown {
public:
  VOR_UNKNOWN_IMP
  HRESULT QueryInterfaceImpl(REFIID iid, void **out) override;

  // A new empty item at the end; the pointer stays valid until the next Add.
  Tvor7zAD1Item *Add();
  UInt32 GetCount() const { return static_cast<UInt32>(FList.size()); }
  Tvor7zAD1Item *GetItem(UInt32 index) { return &FList.at(index); }
  UInt32 GetChunkSize() const { return FChunkSize; }
  void SetChunkSize(UInt32 value) { FChunkSize = value; }
  Tvor7zAD1MetaInfo *GetInfo() { return &FInfo; }

private:
  std::vector<Tvor7zAD1Item> FList;
  UInt32 FChunkSize = 0;
  Tvor7zAD1MetaInfo FInfo;
};
