// EWF version-1 segment sets: naming, the walk over segments and sections, the tables and what
// damaged or hostile sections do to the open.
#include "EwfTestSupport.h"

#include "blocks/BlockCacheStream.h"
#include "formats/ewf/BaseEwfArchive.h"
#include "streams/ByteOrder.h"

namespace {

constexpr UInt32 kSpc = 8, kBps = 512, kChunk = kSpc * kBps;

// Appends a "sectors" section holding chunks [first, first + count) of `image` and returns their
// table entries (offsets within the segment, base 0).
std::vector<UInt32> AddChunks(TEwfSegmentBuilder &b, const std::vector<Byte> &image, UInt32 first, UInt32 count,
                              bool compress = true) {
  std::vector<Byte> data;
  std::vector<UInt32> entries;
  const size_t start = b.Size() + 76;
  for (UInt32 c = first; c < first + count; c++) {
    const size_t from = static_cast<size_t>(c) * kChunk;
    const std::vector<Byte> plain(image.begin() + static_cast<ptrdiff_t>(from),
                                  image.begin() + static_cast<ptrdiff_t>(std::min(image.size(), from + kChunk)));
    const auto stored = compress ? EwfDeflate(plain) : EwfStoredChunk(plain);
    entries.push_back(static_cast<UInt32>(start + data.size()) | (compress ? 0x80000000u : 0));
    data.insert(data.end(), stored.begin(), stored.end());
  }
  b.AddSection("sectors", data);
  return entries;
}

const GUID kSetID{0x01020304u, 0x0506u, 0x0708u, {9, 10, 11, 12, 13, 14, 15, 16}};

std::vector<Byte> Volume(UInt64 sectors, bool large = true) {
  return EwfVolumePayload(kSpc, kBps, sectors, large, 1, kSetID);
}

// A valid one-segment image of `chunks` chunks.
std::vector<Byte> SimpleSegment(const std::vector<Byte> &image) {
  TEwfSegmentBuilder b(1);
  b.AddSection("volume", Volume(image.size() / kBps));
  const auto e = AddChunks(b, image, 0, static_cast<UInt32>((image.size() + kChunk - 1) / kChunk));
  b.AddSection("table", EwfTablePayload(e, 0, true));
  b.AddEnd("done");
  return b.Data();
}

TE01Opened Open1(const std::vector<Byte> &segment, const std::string &name = "disk.E01") {
  return OpenE01({{name, segment}});
}

} // namespace

TEST(Ewf1, SegmentNames) {
  EXPECT_EQ(GetEwf1SegmentExtension(1, L".E01", L'E'), L".E01");
  EXPECT_EQ(GetEwf1SegmentExtension(5, L".e01", L'E'), L".e05");
  EXPECT_EQ(GetEwf1SegmentExtension(10, L".E01", L'E'), L".E10");
  EXPECT_EQ(GetEwf1SegmentExtension(99, L".E01", L'E'), L".E99");
  EXPECT_EQ(GetEwf1SegmentExtension(7, L".s01", L'E'), L".s07");
  EXPECT_EQ(GetEwf1SegmentExtension(3, L"", L'E'), L".E03");
  EXPECT_EQ(GetEwf1SegmentExtension(3, L"", L'L'), L".L03");
  // After 99 real sets go on with letters, starting at AA and keeping the letter case.
  EXPECT_EQ(GetEwf1SegmentExtension(100, L".E01", L'E'), L".EAA");
  EXPECT_EQ(GetEwf1SegmentExtension(101, L".E01", L'E'), L".EAB");
  EXPECT_EQ(GetEwf1SegmentExtension(125, L".E01", L'E'), L".EAZ");
  EXPECT_EQ(GetEwf1SegmentExtension(126, L".E01", L'E'), L".EBA");
  EXPECT_EQ(GetEwf1SegmentExtension(775, L".E01", L'E'), L".EZZ");
  EXPECT_EQ(GetEwf1SegmentExtension(776, L".E01", L'E'), L".FAA");
  EXPECT_EQ(GetEwf1SegmentExtension(100, L".e01", L'E'), L".eaa");
  EXPECT_EQ(GetEwf1SegmentExtension(127, L".s01", L'E'), L".sbb");
  EXPECT_EQ(GetEwf1SegmentExtension(100, L".EAB", L'E'), L".EAA");  // opened on a letter segment
  EXPECT_EQ(GetEwf1SegmentExtension(100, L"", L'E'), L".EAA");
  // The letters run out at ZZZ; nothing is named past it, nor below segment 1.
  EXPECT_EQ(GetEwf1SegmentExtension(100 + 21 * 676 + 675, L".E01", L'E'), L".ZZZ");
  EXPECT_EQ(GetEwf1SegmentExtension(100 + 22 * 676, L".E01", L'E'), L"");
  EXPECT_EQ(GetEwf1SegmentExtension(0, L".E01", L'E'), L"");
  EXPECT_EQ(GetEwf1SegmentExtension(100, L".101", L'E'), L"");
  EXPECT_EQ(ExtractExtensionKeepCase(L"case.e05"), L".e05");
  EXPECT_EQ(ExtractExtensionKeepCase(L"dir.X/Case.Ab.E01"), L".E01");
  EXPECT_EQ(ExtractExtensionKeepCase(L".E01"), L".E01");
  EXPECT_EQ(ExtractExtensionKeepCase(L"noext"), L"");
}

TEST(Ewf1, OneSegmentSetStopsAtDone) {
  const auto image = EwfTestImage(5 * kChunk + 1024);
  for (bool large : {true, false}) {
    TEwfSegmentBuilder b(1);
    b.AddSection("volume", Volume(image.size() / kBps, large));
    const auto e = AddChunks(b, image, 0, 6);
    b.AddSection("table", EwfTablePayload(e, 0, large));  // the entry checksum only with the large volume
    b.AddEnd("done");
    auto a = Open1(b.Data());
    ASSERT_EQ(a.Result, S_OK);
    EXPECT_EQ(a.ErrorFlags(), 0u) << large;
    EXPECT_TRUE(a.Callback->Requested.empty());
    EXPECT_EQ(a.Size(), image.size());
    EXPECT_EQ(a.ArchiveText(0x10006), large ? L"{01020304-0506-0708-090A-0B0C0D0E0F10}" : L"<empty>");
    auto x = a.Extract();
    EXPECT_EQ(x.OpResult(), NOperationResult::kOK);
    EXPECT_TRUE(x.Data() == image);
  }
}

TEST(Ewf1, TableEntriesBecomeOffsetsInTheJoinedStream) {
  const auto image = EwfTestImage(2 * kChunk);
  // Segment 1: exactly 1,000,000 bytes with chunk 0; segment 2: chunk 1 at 0x1000 of its file.
  TEwfSegmentBuilder s1(1);
  s1.AddSection("volume", Volume(image.size() / kBps));
  const auto e1 = AddChunks(s1, image, 0, 1);
  s1.AddSection("table", EwfTablePayload(e1, 0, true));
  s1.AddSection("padding", std::vector<Byte>(1000000 - s1.Size() - 2 * 76, 0));
  s1.AddEnd("next");
  ASSERT_EQ(s1.Size(), 1000000u);

  TEwfSegmentBuilder s2(2);
  s2.AddSection("padding", std::vector<Byte>(0x1000 - 13 - 2 * 76, 0));
  const auto e2 = AddChunks(s2, image, 1, 1);
  ASSERT_EQ(e2[0], 0x80001000u);
  s2.AddSection("table", EwfTablePayload(e2, 0, true));
  s2.AddEnd("done");

  auto a = OpenE01({{"disk.E01", s1.Data()}, {"disk.E02", s2.Data()}});
  ASSERT_EQ(a.Result, S_OK);
  EXPECT_EQ(a.ErrorFlags(), 0u);
  auto *blocks = a.Archive->Blocks();
  ASSERT_EQ(blocks->GetCount(), 2u);
  const Tvor7zBlock_ b = blocks->GetBlock(1);
  EXPECT_EQ(b.Offset, 1004096u);
  EXPECT_EQ(b.Flags, 0x80000000u);
  EXPECT_EQ(b.Position, kChunk);
  EXPECT_EQ(b.Size, kChunk);
  EXPECT_TRUE(b.Valid);
  EXPECT_TRUE(a.Extract().Data() == image);
}

TEST(Ewf1, TableBaseOffsetIsAdded) {
  const auto image = EwfTestImage(kChunk);
  TEwfSegmentBuilder b(1);
  b.AddSection("volume", Volume(image.size() / kBps));
  auto e = AddChunks(b, image, 0, 1);
  // Entries relative to a base offset of 100 bytes before the chunk.
  const UInt32 at = e[0] & 0x7FFFFFFFu;
  b.AddSection("table", EwfTablePayload({100u | 0x80000000u}, at - 100, true));
  b.AddEnd("done");
  auto a = Open1(b.Data());
  ASSERT_EQ(a.Result, S_OK);
  EXPECT_EQ(a.Archive->Blocks()->GetBlock(0).Offset, at);
  EXPECT_TRUE(a.Extract().Data() == image);
}

TEST(Ewf1, SectionWalkDamageSetsFlags) {
  const auto image = EwfTestImage(3 * kChunk);
  struct TCase {
    const char *Name;
    std::function<void(TEwfSegmentBuilder &)> Build;
    UInt32 Flags;
  };
  auto volumeAndTable = [&](TEwfSegmentBuilder &b) {
    b.AddSection("volume", Volume(image.size() / kBps));
    const auto e = AddChunks(b, image, 0, 3);
    return b.AddSection("table", EwfTablePayload(e, 0, true));
  };
  const std::vector<TCase> cases = {
      {"descriptor checksum", [&](TEwfSegmentBuilder &b) {
         const size_t v = b.AddSection("volume", Volume(image.size() / kBps));
         b.BreakDescriptorChecksum(v);
         b.AddSection("table", EwfTablePayload(AddChunks(b, image, 0, 3), 0, true));
         b.AddEnd("done");
       }, kFlagCRC},
      {"no end section", [&](TEwfSegmentBuilder &b) { volumeAndTable(b); }, kFlagEnd},
      {"next pointer behind", [&](TEwfSegmentBuilder &b) {
         volumeAndTable(b);
         const size_t x = b.AddSection("unknown", {1, 2, 3});
         b.SetNext(x, x + 10);
         b.AddEnd("done");
       }, kFlagHeaders},
      {"next pointer past the file", [&](TEwfSegmentBuilder &b) {
         volumeAndTable(b);
         const size_t x = b.AddSection("unknown", {1, 2, 3});
         b.SetNext(x, 0x7FFFFFFFFFFFFFFFull);
       }, kFlagHeaders | kFlagEnd},
      {"done elsewhere", [&](TEwfSegmentBuilder &b) {
         volumeAndTable(b);
         const size_t d = b.AddEnd("done");
         b.SetNext(d, 13);
       }, kFlagHeaders},
      {"done just past itself", [&](TEwfSegmentBuilder &b) {
         volumeAndTable(b);
         const size_t d = b.AddEnd("done");
         b.SetNext(d, d + 76);
       }, 0},
      {"volume of another size", [&](TEwfSegmentBuilder &b) {
         b.AddSection("volume", std::vector<Byte>(100, 0));
         b.AddEnd("done");
       }, kFlagHeaders},
      {"volume checksum", [&](TEwfSegmentBuilder &b) {
         auto v = Volume(image.size() / kBps);
         v[3] ^= 1;
         b.AddSection("volume", v);
         b.AddSection("table", EwfTablePayload(AddChunks(b, image, 0, 3), 0, true));
         b.AddEnd("done");
       }, kFlagCRC},
      {"second volume differs", [&](TEwfSegmentBuilder &b) {
         volumeAndTable(b);
         b.AddSection("disk", Volume(image.size() / kBps, false));
         b.AddEnd("done");
       }, kFlagHeaders},
      {"second volume alike", [&](TEwfSegmentBuilder &b) {
         volumeAndTable(b);
         b.AddSection("disk", Volume(1));
         b.AddEnd("done");
       }, 0},
      {"table too small", [&](TEwfSegmentBuilder &b) {
         b.AddSection("volume", Volume(image.size() / kBps));
         b.AddSection("table", std::vector<Byte>(27, 0));
         b.AddEnd("done");
       }, kFlagHeaders},
      {"table count 0", [&](TEwfSegmentBuilder &b) {
         b.AddSection("volume", Volume(image.size() / kBps));
         b.AddSection("table", EwfTablePayload({}, 0, true));
         b.AddEnd("done");
       }, kFlagHeaders},
      {"table entries beyond payload", [&](TEwfSegmentBuilder &b) {
         b.AddSection("volume", Volume(image.size() / kBps));
         b.AddSection("table", EwfTablePayload(AddChunks(b, image, 0, 3), 0, true, 4));
         b.AddEnd("done");
       }, kFlagHeaders},
      {"table header checksum", [&](TEwfSegmentBuilder &b) {
         b.AddSection("volume", Volume(image.size() / kBps));
         auto t = EwfTablePayload(AddChunks(b, image, 0, 3), 0, true);
         t[20] ^= 1;
         b.AddSection("table", t);
         b.AddEnd("done");
       }, kFlagCRC},
      {"table entry checksum", [&](TEwfSegmentBuilder &b) {
         b.AddSection("volume", Volume(image.size() / kBps));
         auto t = EwfTablePayload(AddChunks(b, image, 0, 3), 0, true);
         t.back() ^= 1;
         b.AddSection("table", t);
         b.AddEnd("done");
       }, kFlagCRC},
      {"table before volume", [&](TEwfSegmentBuilder &b) {  // placed once the volume is known
         const auto e = AddChunks(b, image, 0, 3);
         b.AddSection("table", EwfTablePayload(e, 0, false));
         b.AddSection("volume", Volume(image.size() / kBps));
         b.AddEnd("done");
       }, 0},
      {"no volume at all", [&](TEwfSegmentBuilder &b) { b.AddEnd("done"); }, kFlagHeaders},
  };
  for (const auto &c : cases) {
    TEwfSegmentBuilder b(1);
    c.Build(b);
    auto a = Open1(b.Data());
    ASSERT_EQ(a.Result, S_OK) << c.Name;
    EXPECT_EQ(a.ErrorFlags(), c.Flags) << c.Name;
    if (c.Flags == kFlagCRC) {
      // Checksum damage does not stop the data from being used.
      auto x = a.Extract();
      EXPECT_EQ(x.OpResult(), NOperationResult::kOK) << c.Name;
      EXPECT_TRUE(x.Data() == image) << c.Name;
    }
  }
}

TEST(Ewf1, UnusableChunkSizeFailsTheOpen) {
  struct TCase {
    const char *Name;
    UInt32 Spc, Bps;
  };
  // 0x10001 * 0x10000 wraps to 0x10000 in 32 bits: it must not pass as a 64 KiB chunk.
  for (const TCase &c : {TCase{"zero", 0, 512}, TCase{"wraps to zero", 0x10000, 0x10000},
                         TCase{"wraps to 64 KiB", 0x10001, 0x10000}, TCase{"512 MiB", 0x100000, 512}}) {
    TEwfSegmentBuilder b(1);
    b.AddSection("volume", EwfVolumePayload(c.Spc, c.Bps, 100, true));
    b.AddEnd("done");
    EXPECT_EQ(Open1(b.Data()).Result, S_FALSE) << c.Name;
  }
  // A header that does not inflate is only flagged (case metadata locates no data).
  TEwfSegmentBuilder b(1);
  auto header = EwfDeflate(EwfText("1\nmain\nc\nx\n"));
  header[header.size() / 2] ^= 0xFF;
  b.AddSection("header", header);
  b.AddSection("volume", Volume(8));
  b.AddEnd("done");
  auto damaged = Open1(b.Data());
  EXPECT_EQ(damaged.Result, S_OK);
  EXPECT_EQ(damaged.ErrorFlags(), kFlagHeaders);
  // Not an E01 file at all.
  EXPECT_EQ(Open1(EwfText("EVF\x09\x0D\x0A\xFF not really")).Result, S_FALSE);
  EXPECT_EQ(Open1(EwfText("EVF")).Result, S_FALSE);
}

TEST(Ewf1, SectionTypes) {
  const auto image = EwfTestImage(kChunk);
  TEwfSegmentBuilder b(1);
  // Header names are recognised with blanks around them; the others only exactly.
  b.AddSection("header\x20\x20\x20", EwfDeflate(EwfText("1\nmain\nc\nspaced\n")));
  b.AddSection(" header2", EwfDeflate(EwfText16(u"1\nmain\nn\nwide\n", false)));
  b.AddSection("Volume", Volume(1000));  // wrong case: skipped
  b.AddSection("volume", Volume(image.size() / kBps));
  b.AddSection("volume ", Volume(1000));  // trailing blank: skipped
  b.AddSection("table", EwfTablePayload(AddChunks(b, image, 0, 1), 0, true));
  b.AddSection("header", EwfDeflate(EwfText("1\nmain\nc\nsecond\n")));  // only the first one counts
  b.AddEnd("done");
  auto a = Open1(b.Data());
  ASSERT_EQ(a.Result, S_OK);
  EXPECT_EQ(a.ErrorFlags(), 0u);
  EXPECT_EQ(a.ArchiveText(0x10000), L"spaced");
  EXPECT_EQ(a.ArchiveText(0x10001), L"wide");
  EXPECT_EQ(a.Size(), image.size());
}

TEST(Ewf1, HostileTablesStayBounded) {
  const auto image = EwfTestImage(2 * kChunk);
  // (count + 6) * 4 is 0 in 32 bits for this count.
  for (UInt32 count : {0x3FFFFFFAu, 0xFFFFFFFFu, 0x40000000u}) {
    TEwfSegmentBuilder b(1);
    b.AddSection("volume", Volume(image.size() / kBps));
    auto t = EwfTablePayload(AddChunks(b, image, 0, 2), 0, true);
    EwfPut32(t, 0, count);
    EwfFixChecksum(t, 20);
    b.AddSection("table", t);
    b.AddEnd("done");
    auto a = Open1(b.Data());
    ASSERT_EQ(a.Result, S_OK) << count;
    // The entries the section holds are taken; the count is flagged.
    EXPECT_EQ(a.ErrorFlags(), kFlagHeaders) << count;
    EXPECT_EQ(a.Archive->Blocks()->GetCount(), 2u);
    EXPECT_TRUE(a.Extract().Data() == image) << count;
  }
  {
    // A table section claiming to run far past the end of the file.
    TEwfSegmentBuilder b(1);
    b.AddSection("volume", Volume(image.size() / kBps));
    auto t = EwfTablePayload(AddChunks(b, image, 0, 2), 0, true);
    // Its entries would need almost 4 GiB, less than the section claims.
    EwfPut32(t, 0, 0x3FFFFE00u);
    EwfFixChecksum(t, 20);
    const size_t at = b.AddSection("table", t);
    b.SetNext(at, 0xFFFFFFF0ull);
    auto a = Open1(b.Data());
    ASSERT_EQ(a.Result, S_OK);
    EXPECT_EQ(a.ErrorFlags(), kFlagHeaders | kFlagEnd);
  }
  {
    // More entries than the image has chunks: the extra ones are not kept.
    TEwfSegmentBuilder b(1);
    b.AddSection("volume", Volume(image.size() / kBps));
    auto e = AddChunks(b, image, 0, 2);
    std::vector<UInt32> many(5000, e[1]);
    many[0] = e[0];
    b.AddSection("table", EwfTablePayload(many, 0, true));
    b.AddSection("table", EwfTablePayload(many, 0, true));
    b.AddEnd("done");
    auto a = Open1(b.Data());
    ASSERT_EQ(a.Result, S_OK);
    EXPECT_EQ(a.Archive->Blocks()->GetCount(), 2u);
    EXPECT_TRUE(a.Extract().Data() == image);
  }
  {
    // A volume whose size overflows 64 bits is kept empty.
    TEwfSegmentBuilder b(1);
    b.AddSection("volume", EwfVolumePayload(1, 0x08000000u, 1ull << 40, true));
    b.AddEnd("done");
    auto a = Open1(b.Data());
    ASSERT_EQ(a.Result, S_OK);
    EXPECT_EQ(a.ErrorFlags(), kFlagHeaders);
    EXPECT_EQ(a.Size(), 0u);
  }
}

// Offsets that do not grow at the very end of a file, and one past its end: the stored size a
// chunk gets (and the buffers it sizes) never reaches beyond the bytes the set holds.
TEST(Ewf1, StoredSizesNeverReachPastTheEndOfTheSet) {
  const auto image = EwfTestImage(3 * kChunk);
  TEwfSegmentBuilder b(1);
  b.AddSection("volume", Volume(image.size() / kBps));
  auto c = AddChunks(b, image, 0, 2, true);
  b.AddSection("table", EwfTablePayload({c[1], c[0], 0xFFFFFF00u}, 0, true));
  b.AddEnd("done");
  const UInt64 size = b.Data().size();
  auto a = Open1(b.Data());
  ASSERT_EQ(a.Result, S_OK);
  auto *blocks = a.Archive->Blocks();
  ASSERT_EQ(blocks->GetCount(), 3u);
  for (UInt32 i = 0; i < 3; i++) {
    const Tvor7zBlock_ block = blocks->GetBlock(i);
    EXPECT_LE(block.StoredSize, block.Offset < size ? size - block.Offset : 0) << i;
  }
  EXPECT_EQ(blocks->GetBlock(2).StoredSize, 0u);
  EXPECT_NE(a.Extract().OpResult(), NOperationResult::kOK);
}

// A volume that states chunks far larger than the file: reading the image allocates for what the
// stored chunk can inflate to, never for the chunk size the volume claims.
TEST(Ewf1, ClaimedChunkSizesAllocateOnlyWhatTheStoredChunksCanHold) {
  const auto data = EwfTestImage(4096);
  const UInt32 sectorsPerChunk = 1u << 19;  // 256 MiB chunks
  TEwfSegmentBuilder b(1);
  b.AddSection("volume", EwfVolumePayload(sectorsPerChunk, kBps, sectorsPerChunk, true));
  const auto packed = EwfDeflate(data);
  const size_t at = b.AddSection("sectors", packed) + 76;
  b.AddSection("table", EwfTablePayload({static_cast<UInt32>(at) | 0x80000000u}, 0, true));
  b.AddEnd("done");
  auto a = Open1(b.Data());
  ASSERT_EQ(a.Result, S_OK);
  // What the chunk gives, then zeros for the rest of its claimed size.
  std::vector<Byte> expected = data;
  expected.resize(2 * data.size());
  ComPtr<ISequentialInStream> s;
  ASSERT_EQ(a.Archive->GetStream(0, s.Put()), S_OK);
  EXPECT_TRUE(EwfReadAll(s, 4096, expected.size()) == expected);
  auto *cache = dynamic_cast<Tvor7zBlockCacheStream2 *>(s.Get());
  ASSERT_NE(cache, nullptr);
  EXPECT_LE(cache->GetCacheAllocated(), MaxInflatedSize(packed.size()));
  EXPECT_EQ(a.Extract(true).OpResult(), NOperationResult::kUnexpectedEnd);
}

TEST(Ewf1, StoredSizesAreBoundedByTheChunk) {
  const auto image = EwfTestImage(3 * kChunk);
  TEwfSegmentBuilder b(1);
  b.AddSection("volume", Volume(image.size() / kBps));
  auto compressed = AddChunks(b, image, 0, 2, true);
  auto stored = AddChunks(b, image, 2, 1, false);
  b.AddSection("table", EwfTablePayload({compressed[0], compressed[1], stored[0]}, 0, true));
  b.AddSection("padding", std::vector<Byte>(1 << 20, 0));
  b.AddEnd("done");
  auto a = Open1(b.Data());
  ASSERT_EQ(a.Result, S_OK);
  auto *blocks = a.Archive->Blocks();
  // A compressed chunk runs up to the next one (here across the next section's descriptor).
  EXPECT_EQ(blocks->GetBlock(0).StoredSize, (compressed[1] & 0x7FFFFFFFu) - (compressed[0] & 0x7FFFFFFFu));
  // The last chunk is followed by 1 MiB of other sections: a stored one takes its bytes and checksum.
  EXPECT_EQ(blocks->GetBlock(2).StoredSize, kChunk + 4);
  EXPECT_TRUE(a.Extract().Data() == image);

  // Offsets that do not grow, and a compressed last chunk before 1 MiB of other data.
  TEwfSegmentBuilder h(1);
  h.AddSection("volume", Volume(image.size() / kBps));
  auto c = AddChunks(h, image, 0, 3, true);
  h.AddSection("table", EwfTablePayload({c[2], c[1], c[0]}, 0, true));
  h.AddSection("padding", std::vector<Byte>(1 << 20, 0));
  h.AddEnd("done");
  auto r = Open1(h.Data());
  ASSERT_EQ(r.Result, S_OK);
  const UInt32 limit = kChunk + kChunk / 4 + 1024;
  for (UInt32 i = 0; i < 3; i++)
    EXPECT_LE(r.Archive->Blocks()->GetBlock(i).StoredSize, limit) << i;
  EXPECT_EQ(r.Archive->Blocks()->GetBlock(0).StoredSize, limit);  // chunk 2 first: next is lower
  // The chunks decode from their own offsets, in the order the table gives.
  auto x = r.Extract();
  EXPECT_EQ(x.OpResult(), NOperationResult::kOK);
  std::vector<Byte> expected(image.begin() + 2 * kChunk, image.end());
  expected.insert(expected.end(), image.begin() + kChunk, image.begin() + 2 * kChunk);
  expected.insert(expected.end(), image.begin(), image.begin() + kChunk);
  EXPECT_TRUE(x.Data() == expected);
}

TEST(Ewf1, SegmentSetsAndRestart) {
  const auto image = EwfTestImage(10 * kChunk);
  TEwfWriterOptions o;
  o.SectorsPerChunk = kSpc;
  o.ChunksPerSegment = 4;
  o.HeaderText = EwfText("1\nmain\nc\nset\n");
  const auto files = WriteE01(image, o);
  ASSERT_EQ(files.size(), 3u);
  for (const char *first : {"disk.E01", "disk.E02", "disk.E03"}) {
    auto a = OpenE01(files, first);
    ASSERT_EQ(a.Result, S_OK) << first;
    EXPECT_EQ(a.ErrorFlags(), 0u) << first;
    EXPECT_EQ(a.ArchiveText(0x10000), L"set") << first;
    EXPECT_EQ(a.Path(), L"disk.img");
    EXPECT_EQ(a.Archive->JoinedStream()->GetSegmentCount(), 3) << first;
    auto x = a.Extract(true);
    EXPECT_EQ(x.OpResult(), NOperationResult::kOK) << first;
    EXPECT_TRUE(a.Extract().Data() == image) << first;
  }
  {
    // The walk from a later segment goes back to segment 1 first.
    auto a = OpenE01(files, "disk.E03");
    ASSERT_GE(a.Callback->Requested.size(), 1u);
    EXPECT_EQ(a.Callback->Requested.front(), L"disk.E01");
  }
  {
    // Lower-case names are looked for in lower case.
    TEwfWriterOptions lo = o;
    lo.Extension = "e01";
    auto a = OpenE01(WriteE01(image, lo));
    ASSERT_EQ(a.Result, S_OK);
    EXPECT_EQ(a.Callback->Requested, (std::vector<UString>{L"disk.e02", L"disk.e03"}));
  }
  {
    // A missing second segment: segment 1 only, flagged, and the image still has its full size.
    auto a = OpenE01({files[0], files[2]});
    ASSERT_EQ(a.Result, S_OK);
    EXPECT_EQ(a.ErrorFlags(), kFlagEnd);
    EXPECT_EQ(a.Size(), image.size());
    auto x = a.Extract();
    EXPECT_EQ(x.OpResult(), NOperationResult::kUnexpectedEnd);
    const auto data = x.Data();
    EXPECT_EQ(data.size(), image.size());
    EXPECT_TRUE(std::equal(data.begin(), data.begin() + 4 * kChunk, image.begin()));
    // Random access still works over what is there.
    ComPtr<ISequentialInStream> s;
    ASSERT_EQ(a.Archive->GetStream(0, s.Put()), S_OK);
    EXPECT_TRUE(EwfReadAll(s) == data);
  }
  {
    // A later segment opened while segment 1 is missing: nothing can be read, and that shows.
    auto a = OpenE01({files[1], files[2]}, "disk.E02");
    ASSERT_EQ(a.Result, S_OK);
    EXPECT_EQ(a.ErrorFlags(), kFlagEnd);
    EXPECT_EQ(a.Size(), 0u);
  }
  {
    // A file named as segment 1 that says it is segment 2 is not the start of a set.
    auto renamed = files;
    renamed[1].Name = "disk.E01";
    renamed.erase(renamed.begin());
    EXPECT_EQ(OpenE01(renamed, "disk.E01").Result, S_FALSE);
  }
  {
    // The second file carries another number: the walk ends after segment 1, cut short.
    auto mixed = files;
    mixed[1].Data[9] = 3;
    auto a = OpenE01(mixed);
    ASSERT_EQ(a.Result, S_OK);
    EXPECT_EQ(a.Archive->JoinedStream()->GetSegmentCount(), 1);
    EXPECT_EQ(a.ErrorFlags(), kFlagEnd);
  }
  {
    // A later segment whose file header is destroyed is still read, placed by its name.
    auto broken = files;
    broken[1].Data[0] = 'X';
    auto a = OpenE01(broken);
    ASSERT_EQ(a.Result, S_OK);
    EXPECT_EQ(a.ErrorFlags(), kFlagHeaders);
    EXPECT_TRUE(a.Extract().Data() == image);
    // A truncated one holds nothing: its chunks read as zeros, those of segment 3 at their place.
    broken[1].Data.resize(10);
    auto t = OpenE01(broken);
    EXPECT_EQ(t.ErrorFlags(), kFlagHeaders | kFlagEnd);
    auto lost = image;
    std::fill_n(lost.begin() + 4 * kChunk, 4 * kChunk, Byte{0});
    EXPECT_TRUE(t.Extract().Data() == lost);
  }
  {
    // Without the volume callback only the opened file is read, and the set shows as cut short.
    auto a = OpenE01(files, "", false);
    ASSERT_EQ(a.Result, S_OK);
    EXPECT_TRUE(a.Callback->Requested.empty());
    EXPECT_EQ(a.Archive->JoinedStream()->GetSegmentCount(), 1);
    EXPECT_EQ(a.ErrorFlags(), kFlagEnd);
  }
  {
    // A damaged descriptor in segment 1 is flagged, and the segments after it are read.
    auto damaged = files;
    damaged[0].Data[13 + 72] ^= 1;
    auto a = OpenE01(damaged);
    ASSERT_EQ(a.Result, S_OK);
    EXPECT_EQ(a.ErrorFlags(), kFlagCRC);
    EXPECT_TRUE(a.Extract().Data() == image);
  }
}

// One fault at a time in a set laid out as real writers do it (table2 and data copies): each costs
// the chunks whose own bytes it destroys, no more, and is flagged.
TEST(Ewf1, SingleFaultsCostOnlyTheChunksTheyDestroy) {
  const auto image = EwfTestImage(10 * kChunk);
  TEwfWriterOptions o;
  o.SectorsPerChunk = kSpc;
  o.ChunksPerSegment = 4;
  o.Copies = true;
  o.Compress = [](UInt32 c) { return c % 3 != 1; };
  const auto files = WriteE01(image, o);
  ASSERT_EQ(files.size(), 3u);
  const auto at = [&](size_t segment, const char *type, UInt32 nth = 0) {
    TEwfSectionPlace p;
    EXPECT_TRUE(EwfFindSection(files[segment].Data, type, nth, p)) << type;
    return p.Offset;
  };
  using TFiles = std::vector<TEwfSegmentFile>;
  const struct {
    const char *Name;
    std::function<void(TFiles &)> Damage;
    UInt32 Flags;
    std::vector<UInt32> Lost;  // chunks that read as zeros
  } kCases[] = {
      {"volume next offset", [&](TFiles &f) { f[0].Data[at(0, "volume") - 76 + 17] ^= 0x10; }, kFlagCRC, {}},
      {"volume chunk size", [&](TFiles &f) { f[0].Data[at(0, "volume") + 8] ^= 0x02; }, kFlagCRC, {}},
      {"sectors next offset", [&](TFiles &f) { f[1].Data[at(1, "sectors") - 76 + 18] ^= 0x10; }, kFlagCRC, {}},
      {"table entry", [&](TFiles &f) { f[1].Data[at(1, "table") + 24 + 4 * 2 + 1] ^= 0x10; }, kFlagCRC, {}},
      {"table count", [&](TFiles &f) { f[1].Data[at(1, "table")] ^= 0x04; }, kFlagCRC, {}},
      {"an entry of each table", [&](TFiles &f) {  // mended entry by entry
         f[1].Data[at(1, "table") + 24 + 4 * 2 + 1] ^= 0x10;
         f[1].Data[at(1, "table2") + 24 + 4 * 1] ^= 0x10;
       }, kFlagCRC, {}},
      {"both tables zeroed", [&](TFiles &f) {
         const size_t t = at(1, "table") - 76;
         std::fill(f[1].Data.begin() + static_cast<ptrdiff_t>(t), f[1].Data.begin() + static_cast<ptrdiff_t>(at(1, "next") - 76), Byte{0});
       }, kFlagHeaders | kFlagCRC, {}},
      {"segment start zeroed", [&](TFiles &f) { std::fill_n(f[1].Data.begin(), at(1, "sectors") - 76, Byte{0}); },
       kFlagHeaders, {}},
      {"next type", [&](TFiles &f) { f[0].Data[at(0, "next") - 76 + 1] ^= 0x10; }, kFlagCRC | kFlagEnd, {}},
      {"segment cut in chunk 6", [&](TFiles &f) {
         f[1].Data.resize((GetUi32(f[1].Data.data() + at(1, "table") + 24 + 4 * 2) & 0x7FFFFFFFu) + 10);
       }, kFlagHeaders | kFlagEnd, {6, 7}},
      {"segment lost", [&](TFiles &f) { f.erase(f.begin() + 1); }, kFlagEnd, {4, 5, 6, 7}},
  };
  for (const auto &c : kCases) {
    TFiles damaged = files;
    c.Damage(damaged);
    auto a = OpenE01(damaged);
    ASSERT_EQ(a.Result, S_OK) << c.Name;
    EXPECT_EQ(a.ErrorFlags(), c.Flags) << c.Name;
    auto expected = image;
    for (const UInt32 lost : c.Lost)
      std::fill_n(expected.begin() + lost * kChunk, kChunk, Byte{0});
    auto x = a.Extract();
    EXPECT_TRUE(x.Data() == expected) << c.Name;
    EXPECT_EQ(x.OpResult(), c.Lost.empty() ? NOperationResult::kOK : NOperationResult::kUnexpectedEnd) << c.Name;
    ComPtr<ISequentialInStream> s;
    ASSERT_EQ(a.Archive->GetStream(0, s.Put()), S_OK) << c.Name;
    EXPECT_TRUE(EwfReadAll(s, 5000) == expected) << c.Name;
  }
}
