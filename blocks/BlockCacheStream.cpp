#include "blocks/BlockCacheStream.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "host/Errors.h"
#include "host/StreamIo.h"

namespace {
// A slot starts at most this large and grows as its block's bytes arrive.
constexpr UInt32 kFirstSlotSize = 1u << 20;

// Writes a block's decoded bytes into its cache slot, growing the slot as they arrive up to `most`
// bytes (more is cut): a block that claims more than it decodes to costs what it decodes to.
class TSlotOutStream : public TvorInterfacedObject, public ISequentialOutStream {
public:
  TSlotOutStream(Tvor7zCacheBlock &slot, UInt32 most, UInt64 &allocated)
      : FSlot(slot), FMost(most), FAllocated(allocated) {}
  VOR_UNKNOWN_IMP
  HRESULT QueryInterfaceImpl(REFIID iid, void **out) override {
    if (iid == IID_IVorUnknown || iid == IID_ISequentialOutStream)
      return Offer<ISequentialOutStream>(this, out);
    return NoInterface(out);
  }
  HRESULT STDMETHODCALLTYPE Write(const void *data, UInt32 size, UInt32 *processed) noexcept override {
    if (processed)
      *processed = 0;
    return GuardHResult([&]() -> HRESULT {
      const UInt32 n = std::min(size, FMost - FSlot.Length);
      if (n == 0)
        return S_OK;
      if (n > FSlot.Capacity - FSlot.Length)
        Grow(FSlot.Length + n);
      std::memcpy(FSlot.Buffer.get() + FSlot.Length, data, n);
      FSlot.Length += n;
      if (processed)
        *processed = n;
      return S_OK;
    });
  }

private:
  void Grow(UInt32 needed) {
    const UInt32 capacity = static_cast<UInt32>(
        std::min<UInt64>(FMost, std::max<UInt64>(needed, static_cast<UInt64>(FSlot.Capacity) * 2)));
    std::unique_ptr<Byte[]> buffer(new Byte[capacity]);
    if (FSlot.Length > 0)
      std::memcpy(buffer.get(), FSlot.Buffer.get(), FSlot.Length);
    FAllocated += capacity - FSlot.Capacity;
    FSlot.Buffer = std::move(buffer);
    FSlot.Capacity = capacity;
  }

  Tvor7zCacheBlock &FSlot;
  const UInt32 FMost;
  UInt64 &FAllocated;
};
}  // namespace

Tvor7zBlockCacheStream2::Tvor7zBlockCacheStream2(IInStream *inStream, Tvor7zBlocks *blocks, UInt32 cacheSize)
    : FInStream(inStream), FBlocks(blocks), FCacheLimit(cacheSize != 0 ? cacheSize : kDefaultCacheLimit) {
  CheckPointer(blocks);
  FBlockCount = blocks->GetCount();
  FSize = blocks->GetTotalSize();
}

Tvor7zBlockCacheStream2::~Tvor7zBlockCacheStream2() = default;

Tvor7zBlockInfo Tvor7zBlockCacheStream2::GetBlockInfo(UInt64 index) const {
  const auto it = FSlotOf.find(index);
  if (it == FSlotOf.end())
    return Tvor7zBlockInfo{0, 0};
  return Tvor7zBlockInfo{FCache[it->second].Hits, static_cast<UInt32>(it->second + 1)};
}

UInt64 Tvor7zBlockCacheStream2::GetBlockIndex(UInt64 position) {
  const UInt64 count = FBlockCount;
  const UInt32 chunk = FBlocks->GetChunkSize();
  if (chunk != 0)
    return std::min<UInt64>(position / chunk, count);
  // No chunk size to divide by: look the block up by its image position (blocks are in order).
  UInt64 lo = 0, hi = count;
  while (lo < hi) {
    const UInt64 mid = lo + (hi - lo) / 2;
    if (FBlocks->GetBlock(mid).Position <= position)
      lo = mid + 1;
    else
      hi = mid;
  }
  return lo == 0 ? count : lo - 1;
}

HRESULT Tvor7zBlockCacheStream2::Seek(Int64 offset, UInt32 origin, UInt64 *newPosition) noexcept {
  const UInt64 old = FPosition;
  const HRESULT hr = Tvor7zBaseInStream::Seek(offset, origin, newPosition);
  if (FPosition != old)
    FCurrentBlock = -1;
  return hr;
}

HRESULT Tvor7zBlockCacheStream2::Read(void *data, UInt32 size, UInt32 *processed) noexcept {
  if (processed)
    *processed = 0;
  return GuardHResult([&]() -> HRESULT {
    if (FSize == 0 || size == 0 || FPosition >= FSize)
      return S_OK;
    const UInt64 count = std::min(FBlocks->GetCount(), FBlockCount);
    if (FCurrentBlock < 0)
      FCurrentBlock = static_cast<Int64>(std::min<UInt64>(GetBlockIndex(FPosition), count));
    Byte *out = static_cast<Byte *>(data);
    UInt32 remaining = size;
    while (remaining > 0) {
      if (FPosition >= FSize)
        break;
      remaining = static_cast<UInt32>(std::min<UInt64>(remaining, FSize - FPosition));
      // Past the blocks of the table the image keeps its size: the rest reads as missing.
      UInt32 want = remaining, got = 0;
      if (static_cast<UInt64>(FCurrentBlock) < count) {
        const UInt64 index = static_cast<UInt64>(FCurrentBlock);
        const Tvor7zBlock_ block = FBlocks->GetBlock(index);
        // A table whose block does not hold the position reads as ending here.
        if (FPosition < block.Position || FPosition - block.Position > block.Size)
          break;
        const UInt32 inBlock = static_cast<UInt32>(FPosition - block.Position);
        const UInt32 avail = block.Size - inBlock;
        const bool last = want >= avail;
        if (last)
          want = avail;
        if (want > 0 && block.Valid)
          ReadFromBlock(index, block, inBlock, out, want, got);
        got = std::min(got, want);
        if (last)
          ++FCurrentBlock;
      }
      if (got < want) {
        // What a block cannot give reads as zeros, at its place.
        std::memset(out + got, 0, want - got);
        NoteResult(NOperationResult::kUnexpectedEnd);
        got = want;
      }
      FPosition += got;
      out += got;
      remaining -= got;
      if (processed)
        *processed += got;
      if (got < want)
        break;
    }
    return S_OK;
  });
}

void Tvor7zBlockCacheStream2::NoteResult(Int32 result) noexcept {
  FLostResult = WorseOperationResult(FLostResult, result);
}

void Tvor7zBlockCacheStream2::ReadFromBlock(UInt64 index, const Tvor7zBlock_ &block, UInt32 offset, void *data,
                                            UInt32 size, UInt32 &processed) {
  processed = 0;
  auto cached = FSlotOf.find(index);
  if (cached == FSlotOf.end()) {
    const UInt32 most = std::min(block.Size, MaxDecodedSize(block));
    const Int32 slotIndex = AllocCacheSlot(std::min(most, kFirstSlotSize));
    Tvor7zCacheBlock &slot = FCache[static_cast<size_t>(slotIndex)];
    Int32 result;
    try {
      if (!FLimitStream)
        FLimitStream = new Tvor7zLimitSequentialInStream();
      SeekTo(FInStream, static_cast<Int64>(block.Offset));
      FLimitStream->SetStream(FInStream, block.StoredSize);
      const ComPtr<TSlotOutStream> out(new TSlotOutStream(slot, most, FCacheAllocated));
      result = ReadBlock(block, FLimitStream, out);
      FLimitStream->SetStream(nullptr, 0);
    } catch (...) {
      // The slot stays free and the block uncached, so a later read decodes it again.
      if (FLimitStream)
        FLimitStream->SetStream(nullptr, 0);
      throw;
    }
    // A block that does not decode is kept as lost, so that reading on through it does not
    // decode it again for every read.
    slot.Lost = result == NOperationResult::kDataError || result == NOperationResult::kUnsupportedMethod;
    if (slot.Lost)
      slot.Length = 0;
    slot.Result = result;
    slot.BlockIndex = index;
    slot.Hits = 0;
    cached = FSlotOf.emplace(index, static_cast<size_t>(slotIndex)).first;
  }
  Tvor7zCacheBlock &slot = FCache[cached->second];
  // A block cut short counts only where a read reaches past its bytes (noted by Read).
  if (slot.Result != NOperationResult::kUnexpectedEnd)
    NoteResult(slot.Result);
  if (slot.Lost) {
    std::memset(data, 0, size);
    processed = size;
    ++slot.Hits;
    return;
  }
  if (slot.Length >= offset) {
    const UInt32 n = std::min(size, slot.Length - offset);
    if (n > 0)
      std::memcpy(data, slot.Buffer.get() + offset, n);
    processed = n;
    ++slot.Hits;
  }
}

Int32 Tvor7zBlockCacheStream2::AllocCacheSlot(UInt32 size) {
  const Int32 index = FindCacheSlot(size);
  Tvor7zCacheBlock &slot = FCache[static_cast<size_t>(index)];
  if (slot.BlockIndex != Tvor7zCacheBlock::kFree)
    FSlotOf.erase(slot.BlockIndex);
  slot.BlockIndex = Tvor7zCacheBlock::kFree;
  slot.Length = 0;
  if (slot.Buffer && slot.Capacity >= size)
    return index;
  FCacheAllocated -= slot.Capacity;
  slot.Buffer.reset();
  slot.Capacity = 0;
  slot.Buffer.reset(new Byte[size]);
  slot.Capacity = size;
  FCacheAllocated += size;
  return index;
}

Int32 Tvor7zBlockCacheStream2::FindCacheSlot(UInt32 size) {
  const size_t n = FCache.size();
  for (size_t i = 0; i < n; ++i)
    if (FCache[i].BlockIndex == Tvor7zCacheBlock::kFree && FCache[i].Buffer && FCache[i].Capacity >= size)
      return static_cast<Int32>(i);
  for (size_t i = 0; i < n; ++i)
    if (FCache[i].BlockIndex == Tvor7zCacheBlock::kFree)
      return static_cast<Int32>(i);
  if (FCacheAllocated < FCacheLimit || n == 0) {
    if (FCache.size() == FCache.capacity())
      FCache.reserve(FCache.size() + 64);
    FCache.emplace_back();
    return static_cast<Int32>(n);
  }
  // Evict the least-read block; ties go to the lowest slot.
  size_t victim = 0;
  UInt32 fewest = std::numeric_limits<UInt32>::max();
  for (size_t i = 0; i < n; ++i) {
    if (FCache[i].Hits < fewest) {
      fewest = FCache[i].Hits;
      victim = i;
    }
  }
  return static_cast<Int32>(victim);
}

Int32 Tvor7zBlockCacheStream2::WriteBlock(ISequentialOutStream *outStream, const Byte *data, size_t size, Int32 result) {
  if (result != NOperationResult::kDataError && result != NOperationResult::kUnsupportedMethod)
    WriteExact(outStream, data, size);
  return result;
}
