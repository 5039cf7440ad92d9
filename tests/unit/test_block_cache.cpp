// Block cache stream over a test format whose blocks are zlib data.
#include <gtest/gtest.h>

#include <map>

#include "BlockImage.h"
#include "blocks/BlockCacheStream.h"
#include "blocks/FlateDecoder.h"
#include "fixtures/TestStreams.h"
#include "host/CodecsInfo.h"
#include "host/Errors.h"

using namespace blockimage;

namespace {

class TZCacheStream : public Tvor7zBlockCacheStream2 {
public:
  using Tvor7zBlockCacheStream2::Tvor7zBlockCacheStream2;
  std::map<UInt32, int> Decodes;  // ReadBlock calls per block
  UInt32 FailBlock = ~0u;
  using Tvor7zBlockCacheStream2::FCache;

protected:
  Int32 ReadBlock(const Tvor7zBlock_ &block, ISequentialInStream *in, ISequentialOutStream *out) override {
    const UInt32 index = static_cast<UInt32>(block.Position / FBlocks->GetChunkSize());
    ++Decodes[index];
    if (index == FailBlock)
      RaiseHResult(E_FAIL);
    if (!FDecoder)
      FDecoder = new TvorFlateDecodeDecoder();
    const UInt64 size = block.Size;
    return CoderResultToOperationResult(FDecoder->Code(in, out, nullptr, &size, nullptr));
  }

private:
  ComPtr<TvorFlateDecodeDecoder> FDecoder;
};

struct TCache {
  TImage Img;
  ComPtr<TZCacheStream> Stream;
  explicit TCache(TImage img, UInt32 limit = 0) : Img(std::move(img)) {
    Stream = new TZCacheStream(new TTestInStream(Img.Container), Img.Blocks, limit);
  }
  // Reads `size` bytes at `pos`; returns the HRESULT and the bytes delivered.
  HRESULT ReadAt(UInt64 pos, UInt32 size, std::vector<Byte> &got) {
    if (Stream->Seek(static_cast<Int64>(pos), STREAM_SEEK_SET, nullptr) != S_OK)
      return E_FAIL;
    got.assign(size, 0);
    UInt32 n = 0;
    const HRESULT hr = Stream->Read(got.data(), size, &n);
    got.resize(n);
    return hr;
  }
  std::vector<Byte> Expected(UInt64 pos, UInt32 size) const {
    const UInt64 end = std::min<UInt64>(pos + size, Img.Plain.size());
    return {Img.Plain.begin() + static_cast<std::ptrdiff_t>(pos), Img.Plain.begin() + static_cast<std::ptrdiff_t>(end)};
  }
};

constexpr UInt32 kChunk = 32768;

TEST(BlockCacheStream, ReadsSpanningBlocksAndAtTheEnd) {
  TCache c(MakeImage(10, kChunk, 1000));
  std::vector<Byte> got;
  // Three whole blocks in one call, ending on the block after them.
  EXPECT_EQ(c.ReadAt(kChunk, 3 * kChunk, got), S_OK);
  EXPECT_EQ(got, c.Expected(kChunk, 3 * kChunk));
  EXPECT_EQ(c.Stream->GetCurrentBlock(), 4);
  // The last 10 bytes of a block, then 20 bytes taken from the next.
  EXPECT_EQ(c.ReadAt(6 * kChunk - 10, 10, got), S_OK);
  EXPECT_EQ(got, c.Expected(6 * kChunk - 10, 10));
  UInt32 n = 0;
  std::vector<Byte> more(20);
  EXPECT_EQ(c.Stream->Read(more.data(), 20, &n), S_OK);
  EXPECT_EQ(n, 20u);
  EXPECT_EQ(more, c.Expected(6 * kChunk, 20));
  // A seek to the current position keeps the current block; elsewhere it is looked up again.
  const Int32 current = c.Stream->GetCurrentBlock();
  c.Stream->Seek(0, STREAM_SEEK_CUR, nullptr);
  EXPECT_EQ(c.Stream->GetCurrentBlock(), current);
  c.Stream->Seek(5, STREAM_SEEK_SET, nullptr);
  EXPECT_EQ(c.Stream->GetCurrentBlock(), -1);
  // Across the short last block to the end, then at and beyond the end.
  const UInt64 size = c.Img.Plain.size();
  EXPECT_EQ(c.ReadAt(size - 5000, 100000, got), S_OK);
  EXPECT_EQ(got, c.Expected(size - 5000, 5000));
  EXPECT_EQ(c.ReadAt(size, 10, got), S_OK);
  EXPECT_TRUE(got.empty());
  EXPECT_EQ(c.ReadAt(size + 12345, 10, got), S_OK);
  EXPECT_TRUE(got.empty());
  // Every block was decoded once however it was read.
  for (const auto &[index, count] : c.Stream->Decodes)
    EXPECT_EQ(count, 1) << index;

  ComPtr<Tvor7zBlocks> empty = new Tvor7zBlocks(0, kChunk, 0);
  ComPtr<TZCacheStream> none = new TZCacheStream(new TTestInStream({}), empty, 0);
  UInt32 m = 7;
  Byte b[4];
  EXPECT_EQ(none->Read(b, 4, &m), S_OK);
  EXPECT_EQ(m, 0u);
}

TEST(BlockCacheStream, SmallPiecesOfABlockDecodeItOnce) {
  TCache c(MakeImage(4, kChunk));
  std::vector<Byte> all;
  c.Stream->Seek(0, STREAM_SEEK_SET, nullptr);
  Byte piece[333];
  for (;;) {
    UInt32 n = 0;
    ASSERT_EQ(c.Stream->Read(piece, sizeof(piece), &n), S_OK);
    if (n == 0)
      break;
    all.insert(all.end(), piece, piece + n);
  }
  EXPECT_TRUE(all == c.Img.Plain);
  EXPECT_EQ(c.Stream->Decodes.size(), 4u);
  for (const auto &[index, count] : c.Stream->Decodes)
    EXPECT_EQ(count, 1) << index;
  EXPECT_GT(c.Stream->GetBlockInfo(0).Hits, 90u);
}

TEST(BlockCacheStream, EvictionKeepsFrequentlyReadBlocks) {
  // 8 MiB hold 256 blocks of 32 KiB; 300 distinct blocks overflow it.
  TCache c(MakeImage(300, kChunk));
  std::vector<Byte> got;
  for (int i = 0; i < 5; ++i)
    ASSERT_EQ(c.ReadAt(100 * static_cast<UInt64>(kChunk) + 7, 100, got), S_OK);
  auto sweep = [&](UInt32 from, UInt32 to) {
    for (UInt32 b = from; b < to; ++b) {
      ASSERT_EQ(c.ReadAt(static_cast<UInt64>(b) * kChunk, 64, got), S_OK);
      ASSERT_EQ(got, c.Expected(static_cast<UInt64>(b) * kChunk, 64));
    }
  };
  sweep(0, 256);
  EXPECT_EQ(c.Stream->GetCacheCount(), 256);
  EXPECT_EQ(c.Stream->GetCacheAllocated(), UInt64{Tvor7zBlockCacheStream2::kDefaultCacheLimit});
  // The 257th distinct block takes the slot of the least-read block in the lowest slot: block 0
  // (block 100, read 5 times, holds slot 0).
  sweep(256, 257);
  EXPECT_EQ(c.Stream->GetBlockInfo(0).CacheSlot, 0u);
  EXPECT_EQ(c.Stream->GetBlockInfo(256).CacheSlot, 2u);
  sweep(257, 300);
  EXPECT_EQ(c.Stream->GetCacheCount(), 256);
  EXPECT_EQ(c.Stream->Decodes[100], 1);  // survived the sweep
  EXPECT_EQ(c.Stream->GetBlockInfo(100).CacheSlot, 1u);
  // An evicted block is decoded again when read.
  ASSERT_EQ(c.ReadAt(0, 64, got), S_OK);
  EXPECT_EQ(got, c.Expected(0, 64));
  EXPECT_EQ(c.Stream->Decodes[0], 2);
}

TEST(BlockCacheStream, FailingBlockStaysUncachedAndIsRetried) {
  TCache c(MakeImage(12, kChunk));
  c.Stream->FailBlock = 7;
  std::vector<Byte> got;
  // A read running into block 7 keeps the bytes before it.
  EXPECT_EQ(c.ReadAt(7 * kChunk - 100, 300, got), E_FAIL);
  EXPECT_EQ(got, c.Expected(7 * kChunk - 100, 100));
  UInt64 pos = 0;
  c.Stream->Seek(0, STREAM_SEEK_CUR, &pos);
  EXPECT_EQ(pos, 7u * kChunk);
  EXPECT_EQ(c.Stream->GetBlockInfo(7).CacheSlot, 0u);
  EXPECT_EQ(c.ReadAt(8 * kChunk, 500, got), S_OK);
  EXPECT_EQ(got, c.Expected(8 * kChunk, 500));
  // The free slot left behind is reused, and block 7 decodes once its data reads.
  c.Stream->FailBlock = ~0u;
  EXPECT_EQ(c.ReadAt(7 * kChunk, 500, got), S_OK);
  EXPECT_EQ(got, c.Expected(7 * kChunk, 500));
  EXPECT_EQ(c.Stream->Decodes[7], 2);
  EXPECT_EQ(c.Stream->GetCacheCount(), 3);
}

TEST(BlockCacheStream, DamagedShortAndMissingBlocksReadAsZeros) {
  TImage img = MakeImage(6, kChunk);
  // Block 2 decodes to half its size; block 4 is corrupt.
  const Tvor7zBlock_ b2 = img.Blocks->GetBlock(2);
  std::vector<Byte> half = Compress(img.Plain.data() + b2.Position, kChunk / 2);
  std::copy(half.begin(), half.end(), img.Container.begin() + static_cast<std::ptrdiff_t>(b2.Offset));
  const Tvor7zBlock_ b4 = img.Blocks->GetBlock(4);
  for (UInt32 k = 0; k < b4.StoredSize; ++k)
    img.Container[b4.Offset + k] ^= 0xA5;
  img.Blocks->EditBlock(5)->Valid = false;
  img.Blocks->SetTotalSize(img.Blocks->GetTotalSize() + 1000);  // a tail no block holds
  TCache c(std::move(img));
  std::vector<Byte> got;
  EXPECT_EQ(c.ReadAt(2 * kChunk + 100, 200, got), S_OK);
  EXPECT_EQ(got, c.Expected(2 * kChunk + 100, 200));
  EXPECT_EQ(c.Stream->TakeLostResult(), NOperationResult::kOK);
  // Each read delivers all it asks for: what a block cannot give is zeros, its trouble noted.
  const struct {
    UInt64 Pos;
    UInt32 Size;
    size_t Good;  // bytes from the image before the zeros
    Int32 Lost;
  } kCases[] = {
      {2 * kChunk + kChunk / 2 - 10, 100, 10, NOperationResult::kUnexpectedEnd},  // short block
      {4 * kChunk, 90, 0, NOperationResult::kDataError},                         // corrupt block
      {4 * kChunk + 10, 90, 0, NOperationResult::kDataError},                    // from the cache
      {5 * kChunk - 10, 100, 10, NOperationResult::kUnexpectedEnd},              // invalid block
      {6 * kChunk + 910, 100, 0, NOperationResult::kUnexpectedEnd},              // past the table
  };
  for (const auto &k : kCases) {
    EXPECT_EQ(c.ReadAt(k.Pos, k.Size, got), S_OK);
    ASSERT_EQ(got.size(), std::min<UInt64>(k.Size, 6 * kChunk + 1000 - k.Pos)) << k.Pos;
    if (k.Good > 0)
      EXPECT_TRUE(std::equal(got.begin(), got.begin() + static_cast<std::ptrdiff_t>(k.Good), c.Expected(k.Pos, k.Size).begin()));
    EXPECT_TRUE(std::all_of(got.begin() + static_cast<std::ptrdiff_t>(k.Good), got.end(), [](Byte b) { return b == 0; }));
    EXPECT_EQ(c.Stream->TakeLostResult(), k.Lost) << k.Pos;
  }
  EXPECT_EQ(c.Stream->Decodes[4], 1);
  // The container's seek failing surfaces as the read's result.
  TCache f(MakeImage(3, kChunk));
  ComPtr<TTestInStream> bad = new TTestInStream(f.Img.Container);
  bad->SeekFailCode = E_INVALIDARG;
  f.Stream = new TZCacheStream(bad, f.Img.Blocks, 0);
  EXPECT_EQ(f.ReadAt(10, 10, got), E_INVALIDARG);
}

}  // namespace
