#include <gtest/gtest.h>

#include "blocks/Blocks.h"

TEST(Blocks, EmptyTableAndReservedCapacity) {
  ComPtr<Tvor7zBlocks> empty(new Tvor7zBlocks());
  EXPECT_EQ(empty->GetCount(), 0u);
  EXPECT_EQ(empty->GetCapacity(), 0u);
  EXPECT_TRUE(empty->IsComplete());
  EXPECT_EQ(empty->GetTotalSize(), 0u);

  ComPtr<Tvor7zBlocks> sized(new Tvor7zBlocks(1 << 20, 32768, 32));
  EXPECT_EQ(sized->GetTotalSize(), 1u << 20);
  EXPECT_EQ(sized->GetChunkSize(), 32768u);
  EXPECT_EQ(sized->GetCapacity(), 32u);
  EXPECT_EQ(sized->GetCount(), 0u);
  sized->SetCapacity(8);  // never shrinks
  EXPECT_EQ(sized->GetCapacity(), 32u);
  sized->SetCapacity(40);
  EXPECT_EQ(sized->GetCapacity(), 40u);

  void *p = nullptr;
  ASSERT_EQ(sized->QueryInterface(IID_Ivor7zBlocks, &p), S_OK);
  static_cast<IUnknown *>(p)->Release();
  EXPECT_EQ(sized->QueryInterface(IID_IHasher, &p), E_NOINTERFACE);
}

TEST(Blocks, GrowsBy1024KeepingEarlierBlocks) {
  ComPtr<Tvor7zBlocks> t(new Tvor7zBlocks());
  t->SetChunkSize(512);
  for (UInt32 i = 0; i < 1024; i++)
    t->AddChunk(1000 + i * 600ull, 600 - (i % 7), i);
  EXPECT_EQ(t->GetCapacity(), 1024u);
  Tvor7zBlock_ *b = t->Add();  // the 1,025th block
  EXPECT_EQ(t->GetCapacity(), 2048u);
  EXPECT_EQ(t->GetCount(), 1025u);
  EXPECT_FALSE(b->Valid);
  EXPECT_EQ(b->Offset, 0u);
  EXPECT_EQ(b->Size, 0u);
  EXPECT_FALSE(t->IsComplete());
  for (UInt32 i : {0u, 1u, 511u, 1023u}) {
    const Tvor7zBlock_ e = t->GetBlock(i);
    EXPECT_EQ(e.Offset, 1000 + i * 600ull);
    EXPECT_EQ(e.StoredSize, 600 - (i % 7));
    EXPECT_EQ(e.Position, i * 512ull);
    EXPECT_EQ(e.Size, 512u);
    EXPECT_EQ(e.Flags, i);
    EXPECT_TRUE(e.Valid);
  }
}

TEST(Blocks, PositionsFollowThePreviousBlock) {
  ComPtr<Tvor7zBlocks> t(new Tvor7zBlocks(100000, 32768, 0));
  for (int i = 0; i < 3; i++)
    EXPECT_EQ(t->AddChunk(i * 20000ull, 20000, 0x80000000u)->Position, i * 32768ull);
  Tvor7zBlock_ *last = t->AddBlock(60000, 1700, 100000 - 3 * 32768, 0);
  EXPECT_EQ(last->Position, 98304u);
  EXPECT_EQ(last->Size, 1696u);
  EXPECT_EQ(last->Flags, 0u);
  EXPECT_EQ(t->GetBlock(1).Flags, 0x80000000u);
  EXPECT_TRUE(t->IsComplete());
}

TEST(Blocks, IndexedFillingWithGaps) {
  ComPtr<Tvor7zBlocks> t(new Tvor7zBlocks(5 * 4096, 4096, 0));
  // Chunk table entries arrive out of order: 4, then 0 and 2.
  auto fill = [&](UInt32 n) {
    while (t->GetCount() <= n)
      t->Add();
    Tvor7zBlock_ *b = t->EditBlock(n);
    b->Offset = 100 * n;
    b->StoredSize = 90;
    b->Position = n * 4096ull;
    b->Size = 4096;
    b->Flags = 1;
    b->Valid = true;
  };
  fill(4);
  EXPECT_EQ(t->GetCount(), 5u);
  fill(0);
  fill(2);
  EXPECT_EQ(t->GetCount(), 5u);
  EXPECT_FALSE(t->IsComplete());
  EXPECT_FALSE(t->GetBlock(1).Valid);
  EXPECT_FALSE(t->GetBlock(3).Valid);
  EXPECT_EQ(t->GetBlock(4).Offset, 400u);
  fill(1);
  fill(3);
  EXPECT_TRUE(t->IsComplete());
  // A table that grows past a gap at its end is incomplete again.
  t->Add();
  EXPECT_FALSE(t->IsComplete());
}
