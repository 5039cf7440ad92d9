// A seekable stream over a decoded image: each block a reader touches is decoded once into a cache
// slot, and later reads of it copy out of the cache. Formats derive from it and supply ReadBlock.
#pragma once

#include <memory>
#include <unordered_map>
#include <vector>

#include "blocks/Blocks.h"
#include "streams/InStreams.h"
#include "streams/OutStreams.h"

// Cache bookkeeping of one block.
struct Tvor7zBlockInfo {
  UInt32 Hits;       // reads served from the block while it is cached
  UInt32 CacheSlot;  // 0 = not cached, else slot index + 1
};

// One cache slot. Its buffer stays with the slot and is reused across evictions.
struct Tvor7zCacheBlock {
  static constexpr UInt64 kFree = ~0ull;
  UInt64 BlockIndex = kFree;  // block whose decoded bytes the slot holds
  UInt32 Hits = 0;            // reads served from it since it came in
  std::unique_ptr<Byte[]> Buffer;
  UInt32 Capacity = 0;  // bytes allocated at Buffer
  UInt32 Length = 0;    // decoded bytes held
  Int32 Result = 0;     // the block's operation result as ReadBlock gave it
  bool Lost = false;    // its bytes did not decode: it reads as zeros
};

class Tvor7zBlockCacheStream2 : public Tvor7zBaseInStream {
public:
  // cacheSize 0 = kDefaultCacheLimit. Keeps both references; the size is the table's total size.
  Tvor7zBlockCacheStream2(IInStream *inStream, Tvor7zBlocks *blocks, UInt32 cacheSize);
  ~Tvor7zBlockCacheStream2() override;

  // Reads deliver every byte up to the stream's size. What a block cannot give (it is missing, cut
  // short or does not decode) reads as zeros, and what went wrong joins LostResult. Failures of
  // the container stream itself give their HRESULT, the position advanced by the bytes delivered.
  HRESULT STDMETHODCALLTYPE Read(void *data, UInt32 size, UInt32 *processed) noexcept override;
  // The base's seek; a changed position makes the next read look its block up again.
  HRESULT STDMETHODCALLTYPE Seek(Int64 offset, UInt32 origin, UInt64 *newPosition) noexcept override;

  UInt32 GetChunkSize() const { return FBlocks->GetChunkSize(); }
  // The worst operation result of the blocks read since the last call (kOK: all were whole and
  // checked out), for a reader that copies an item through the stream; starts over at kOK.
  Int32 TakeLostResult() noexcept {
    const Int32 r = FLostResult;
    FLostResult = 0;
    return r;
  }
  // Bookkeeping, for inspection.
  Tvor7zBlockInfo GetBlockInfo(UInt64 index) const;
  Int64 GetCurrentBlock() const { return FCurrentBlock; }
  UInt64 GetCacheAllocated() const { return FCacheAllocated; }
  Int32 GetCacheCount() const { return static_cast<Int32>(FCache.size()); }

  static constexpr UInt32 kDefaultCacheLimit = 8u << 20;

protected:
  // Index of the block holding `position` (position div chunk size).
  virtual UInt64 GetBlockIndex(UInt64 position);
  // Decodes one block: `inStream` is positioned at the stored bytes and ends after StoredSize of
  // them; write at most block.Size decoded bytes to `outStream` (the count written becomes the
  // cached length) and return the block's operation result: kDataError or kUnsupportedMethod make
  // the block read as zeros, other results keep what was written. Failures of the streams raise.
  // Keep coder objects in the derived class.
  virtual Int32 ReadBlock(const Tvor7zBlock_ &block, ISequentialInStream *inStream, ISequentialOutStream *outStream) = 0;
  // Most decoded bytes the block's stored bytes can give; its cache slot is allocated to this,
  // never to more than the table's block size. The default trusts the block size.
  virtual UInt32 MaxDecodedSize(const Tvor7zBlock_ &block) const { return block.Size; }
  // Copies `size` bytes of block `index` (a valid block) starting at `offset` into `data` and sets
  // `processed`; bytes it does not deliver read as zeros. The default serves them from the cache,
  // decoding the block first when it is not cached. Override to serve blocks without the cache
  // (stored, pattern or zero blocks): seek FInStream to Offset + offset and read; pass other
  // blocks to this implementation. Raise on failures of the streams; note a checksum that fails
  // with NoteResult.
  virtual void ReadFromBlock(UInt64 index, const Tvor7zBlock_ &block, UInt32 offset, void *data, UInt32 size,
                             UInt32 &processed);

  // Adds a block's operation result to LostResult.
  void NoteResult(Int32 result) noexcept;
  // Hands a block decoded in memory to ReadBlock's output unless its result says its bytes are not
  // to be trusted; returns the result.
  static Int32 WriteBlock(ISequentialOutStream *outStream, const Byte *data, size_t size, Int32 result);
  // Slot for a block of `size` decoded bytes, with a buffer of at least that size.
  Int32 AllocCacheSlot(UInt32 size);
  Int32 FindCacheSlot(UInt32 size);

  ComPtr<IInStream> FInStream;
  ComPtr<Tvor7zBlocks> FBlocks;
  UInt64 FBlockCount;  // the table's count when the stream was made
  UInt32 FCacheLimit;
  std::vector<Tvor7zCacheBlock> FCache;
  // Slot of each cached block; only cached blocks have bookkeeping, whatever the image's size.
  std::unordered_map<UInt64, size_t> FSlotOf;
  Int64 FCurrentBlock = -1;
  UInt64 FCacheAllocated = 0;
  Int32 FLostResult = 0;
  ComPtr<Tvor7zLimitSequentialInStream> FLimitStream;
};
