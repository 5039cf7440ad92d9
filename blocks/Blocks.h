// The format-neutral table of an image's stored chunks: where each lies in the container stream,
// where it belongs in the decoded image, and the format's flags for it.
#pragma once

#include <vector>

#include "host/Com.h"

struct Tvor7zBlock_ {
  UInt64 Offset;      // stored bytes in the container stream
  UInt32 StoredSize;  // bytes a reader reads at Offset
  UInt64 Position;    // first decoded byte in the image
  UInt32 Size;        // decoded bytes
  UInt32 Flags;       // the format's own
  bool Valid;         // defined; an invalid block reads as missing data
};

// Cache bookkeeping of one block (kept by the block cache stream).
struct Tvor7zBlockInfo {
  UInt32 Hits;
  UInt32 CacheSlot;  // 0 = not cached, else slot index + 1
};

// Identity of the block table for QueryInterface: {9D23A5A5-805A-4AE5-BCBD-794DF0C50F52}.
inline constexpr GUID IID_Ivor7zBlocks = {0x9D23A5A5u, 0x805Au, 0x4AE5u, {0xBC, 0xBD, 0x79, 0x4D, 0xF0, 0xC5, 0x0F, 0x52}};

class Tvor7zBlocks : public TvorInterfacedObject, public IUnknown {
public:
  Tvor7zBlocks() = default;
  Tvor7zBlocks(UInt64 totalSize, UInt32 chunkSize, UInt32 capacity);
  VOR_UNKNOWN_IMP
  HRESULT QueryInterfaceImpl(REFIID iid, void **out) override;

  // Reserves room; never shrinks.
  void SetCapacity(UInt32 count);
  // Appends a zero block (not valid). Pointers stay valid until the next Add that grows the table.
  Tvor7zBlock_ *Add();
  // Appends a valid block placed right after the previous one.
  Tvor7zBlock_ *AddBlock(UInt64 offset, UInt32 storedSize, UInt32 size, UInt32 flags);
  Tvor7zBlock_ *AddChunk(UInt64 offset, UInt32 storedSize, UInt32 flags);
  bool IsComplete() const;
  UInt64 GetTotalSize() const { return FTotalSize; }
  void SetTotalSize(UInt64 value) { FTotalSize = value; }
  UInt32 GetChunkSize() const { return FChunkSize; }
  void SetChunkSize(UInt32 value) { FChunkSize = value; }
  UInt32 GetCount() const { return FCount; }
  Tvor7zBlock_ *GetBlock(UInt32 index) { return &FBlocks[index]; }
  const Tvor7zBlock_ *GetBlock(UInt32 index) const { return &FBlocks[index]; }
  UInt32 GetCapacity() const { return static_cast<UInt32>(FBlocks.size()); }

  // Growth step of Add.
  static constexpr UInt32 kGrowBy = 1024;

protected:
  UInt64 FTotalSize = 0;
  UInt32 FChunkSize = 0;
  std::vector<Tvor7zBlock_> FBlocks;
  UInt32 FCount = 0;
};
