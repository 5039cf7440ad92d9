#include "blocks/Blocks.h"

#include <limits>
#include <new>

Tvor7zBlocks::Tvor7zBlocks(UInt64 totalSize, UInt32 chunkSize, UInt32 capacity)
    : FTotalSize(totalSize), FChunkSize(chunkSize) {
  SetCapacity(capacity);
}

HRESULT Tvor7zBlocks::QueryInterfaceImpl(REFIID iid, void **out) {
  if (iid == IID_IVorUnknown || iid == IID_Ivor7zBlocks)
    return Offer<IUnknown>(this, out);
  return NoInterface(out);
}

void Tvor7zBlocks::SetCapacity(UInt32 count) {
  if (FBlocks.size() < count)
    FBlocks.resize(count, Tvor7zBlock_{});
}

Tvor7zBlock_ *Tvor7zBlocks::Add() {
  if (FCount == std::numeric_limits<UInt32>::max())
    throw std::bad_alloc();  // block indexes are 32-bit
  if (FCount == FBlocks.size()) {
    const UInt64 grown = static_cast<UInt64>(FBlocks.size()) + kGrowBy;
    FBlocks.resize(static_cast<size_t>(grown > std::numeric_limits<UInt32>::max() ? std::numeric_limits<UInt32>::max()
                                                                                  : grown),
                   Tvor7zBlock_{});
  }
  Tvor7zBlock_ *block = &FBlocks[FCount++];
  *block = Tvor7zBlock_{};
  return block;
}

Tvor7zBlock_ *Tvor7zBlocks::AddBlock(UInt64 offset, UInt32 storedSize, UInt32 size, UInt32 flags) {
  Tvor7zBlock_ *block = Add();
  block->Offset = offset;
  block->StoredSize = storedSize;
  // Correct only when blocks are added in image order, which is how this is used.
  if (FCount > 1) {
    const Tvor7zBlock_ &prev = FBlocks[FCount - 2];
    block->Position = prev.Position + prev.Size;
  }
  block->Size = size;
  block->Flags = flags;
  block->Valid = true;
  return block;
}

Tvor7zBlock_ *Tvor7zBlocks::AddChunk(UInt64 offset, UInt32 storedSize, UInt32 flags) {
  return AddBlock(offset, storedSize, FChunkSize, flags);
}

bool Tvor7zBlocks::IsComplete() const {
  for (UInt32 i = 0; i < FCount; i++)
    if (!FBlocks[i].Valid)
      return false;
  return true;
}
