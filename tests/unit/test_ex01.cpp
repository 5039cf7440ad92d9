// Ex01 images: the walk over the descriptors, every section reader, every chunk kind (bzip2 through
// the real host decoder, whole streams and header-less blocks), segment names, random access, and
// damage that must be flagged without losing readable bytes.
#include "ArchiveHarness.h"
#include "EwfTestSupport.h"

#include <fstream>
#include <iterator>

#include "fixtures/Ewf2Writer.h"
#include "fixtures/HostCodecs.h"
#include "formats/ewf/Ex01Archive.h"
#include "hashers/Hashers.h"
#include "streams/ByteOrder.h"

using namespace NOperationResult;

namespace {

const TArchiveClassOf<Tvor7zEx01Archive> kEx01Class;
constexpr UInt32 kChunk = 64 * 512;

struct TEx01Opened : TOpenedArchive<Tvor7zEx01Archive> {
  UString ArchiveText(PROPID id) {
    PROPVARIANT v{};
    EXPECT_EQ(Archive->GetArchiveProperty(id, &v), S_OK);
    UString s = L"<empty>";
    if (v.vt == VT_BSTR)
      PropVariantToString(v, s);
    PropVariantClearValue(v);
    return s;
  }
  UInt64 Size(UInt32 index = 0) { return Prop(index, kpidSize).uhVal.QuadPart; }
  ComPtr<ISequentialInStream> Stream() {
    ComPtr<ISequentialInStream> s;
    Archive->GetStream(0, s.Put());
    return s;
  }
};

ComPtr<THostCodecs> HostCodecs() {
  static const ComPtr<THostCodecs> codecs = THostCodecs::Load();
  return codecs;
}

TEx01Opened OpenEx01(const std::vector<TEwfSegmentFile> &files, const std::string &first = "", bool codecs = true) {
  return {OpenArchive<Tvor7zEx01Archive>(kEx01Class, files, first, codecs ? HostCodecs().Get() : nullptr)};
}

// Compressible runs, noise, and whole chunks of one repeated 8-byte value (pattern fill).
std::vector<Byte> Ex01Image(size_t size) {
  std::vector<Byte> image = EwfTestImage(size);
  for (size_t c = 2 * kChunk; c + kChunk <= size; c += 5 * kChunk)
    for (size_t i = 0; i < kChunk; i++)
      image[c + i] = static_cast<Byte>(0xA0 + i % 8);
  return image;
}

// Reads at offsets that cross chunk and segment borders and compares with the image.
void ExpectRandomReads(ISequentialInStream *s, const std::vector<Byte> &image) {
  ASSERT_TRUE(s);
  auto *in = static_cast<IInStream *>(s);
  std::mt19937 rng(7);
  for (int k = 0; k < 60; k++) {
    const UInt64 at = k < 6 ? (k + 1) * kChunk - 3 - k : rng() % image.size();
    const UInt32 size = 1 + rng() % (k % 3 == 0 ? 3 * kChunk : 5000);
    ASSERT_EQ(in->Seek(static_cast<Int64>(at), STREAM_SEEK_SET, nullptr), S_OK);
    std::vector<Byte> got(size);
    UInt32 done = 0, n = 0;
    while (done < size && in->Read(got.data() + done, size - done, &n) == S_OK && n > 0)
      done += n;
    const size_t want = std::min<size_t>(size, image.size() - at);
    ASSERT_EQ(done, want) << at;
    ASSERT_TRUE(std::equal(got.begin(), got.begin() + want, image.begin() + static_cast<ptrdiff_t>(at))) << at;
  }
}

std::vector<Byte> ExtractImage(TEx01Opened &a, Int32 &result, bool test = false) {
  auto cb = a.ExtractAll(test);
  result = cb->Items[0].Result;
  return cb->Items[0].Data();
}

} // namespace

TEST(Ex01, EveryChunkKindAcrossSegmentsExtractsAndReads) {
  const auto image = Ex01Image(17 * kChunk + 3 * 512);
  TEwf2WriterOptions o;
  o.Kind = [](UInt32 c) { return c % 3 == 0 ? TEwf2ChunkKind::Compressed : c % 3 == 1 ? TEwf2ChunkKind::Stored : TEwf2ChunkKind::StoredNoChecksum; };
  o.ChunksPerSegment = 6;
  o.ChunksPerTable = 4;
  const auto files = WriteEx01(image, o);
  ASSERT_EQ(files.size(), 3u);
  for (const std::string first : {"disk.Ex01", "disk.Ex02", "disk.Ex03"}) {
    auto a = OpenEx01(files, first);
    ASSERT_EQ(a.Result, S_OK) << first;
    EXPECT_EQ(a.ErrorFlags(), 0u);
    EXPECT_EQ(a.Count(), 1u);
    EXPECT_EQ(a.Path(0), L"disk.img");
    EXPECT_EQ(a.Size(), image.size());
    Int32 r = -1;
    EXPECT_TRUE(ExtractImage(a, r) == image);
    EXPECT_EQ(r, kOK);
    ExpectRandomReads(a.Stream(), image);
  }
}

TEST(Ex01, TextsFillTheArchiveProperties) {
  TEwf2WriterOptions o;
  o.DeviceType = "c";
  auto a = OpenEx01(WriteEx01(Ex01Image(3 * kChunk), o));
  ASSERT_EQ(a.Result, S_OK);
  EXPECT_EQ(a.Path(0), L"disk.iso");
  EXPECT_EQ(a.ArchiveText(0x10000), L"case#");
  EXPECT_EQ(a.ArchiveText(0x10001), L"evid#");
  EXPECT_EQ(a.ArchiveText(0x10002), L"name");
  EXPECT_EQ(a.ArchiveText(0x10003), L"examiner");
  EXPECT_EQ(a.ArchiveText(kpidComment), L"notes");
  EXPECT_EQ(a.ArchiveText(kpidCreatorApp), L"7.09.05");
  EXPECT_EQ(a.ArchiveText(0x10007), L"Windows 7");
  EXPECT_EQ(a.ArchiveText(0x10008), L"Flash Disk");
  EXPECT_EQ(a.ArchiveText(0x10009), L"5120000");
  PROPVARIANT v{};
  ASSERT_EQ(a.Archive->GetArchiveProperty(0x10004, &v), S_OK);
  ASSERT_EQ(v.vt, VT_FILETIME);
  const UInt64 t = (static_cast<UInt64>(v.filetime.dwHighDateTime) << 32) | v.filetime.dwLowDateTime;
  EXPECT_EQ(t, 1401736207ull * 10000000ull + 0x019DB1DED53E8000ull);
  // Memory images get .ram; texts without padding read the same.
  o.DeviceType = "m";
  o.PadTexts = false;
  auto m = OpenEx01(WriteEx01(Ex01Image(kChunk), o));
  EXPECT_EQ(m.Path(0), L"disk.ram");
  EXPECT_EQ(m.ErrorFlags(), 0u);
}

TEST(Ex01, BZip2ChunksBothFormsThroughTheHostDecoder) {
  if (!HostCodecs())
    GTEST_SKIP() << "no host codec library";
  const auto image = Ex01Image(9 * kChunk + 1000 * 0 + 512);
  for (bool headerless : {true, false}) {
    TEwf2WriterOptions o;
    o.Method = 2;
    o.HeaderlessBZip2 = headerless;
    o.ChunksPerSegment = 4;
    const auto files = WriteEx01(image, o);
    if (headerless) {
      // The chunk begins at the block magic: no "BZh".
      auto a = OpenEx01(files);
      const Tvor7zBlock_ b = a.Archive->Blocks()->GetBlock(0);
      EXPECT_EQ(files[0].Data[b.Offset], 0x31);
    }
    auto a = OpenEx01(files);
    ASSERT_EQ(a.Result, S_OK);
    EXPECT_EQ(a.ErrorFlags(), 0u);
    EXPECT_EQ(a.ArchiveText(0x10000), L"case#");  // the texts are bzip2 too
    Int32 r = -1;
    EXPECT_TRUE(ExtractImage(a, r) == image) << headerless;
    EXPECT_EQ(r, kOK);
    ExpectRandomReads(a.Stream(), image);
  }
}

TEST(Ex01, BZip2DamageIsADataErrorAndNoDecoderIsUnsupported) {
  if (!HostCodecs())
    GTEST_SKIP() << "no host codec library";
  const auto image = EwfTestImage(3 * kChunk);
  TEwf2WriterOptions o;
  o.Method = 2;
  auto files = WriteEx01(image, o);
  auto a = OpenEx01(files);
  const Tvor7zBlock_ b = a.Archive->Blocks()->GetBlock(1);
  files[0].Data[b.Offset + b.StoredSize / 2] ^= 0x10;
  auto d = OpenEx01(files);
  Int32 r = -1;
  const auto got = ExtractImage(d, r);
  EXPECT_EQ(r, kDataError);
  EXPECT_TRUE(std::equal(image.begin(), image.begin() + kChunk, got.begin()));  // what came before
  // Without the host's decoder: the texts are flagged, the image is an unsupported method.
  auto n = OpenEx01(files, "", false);
  ASSERT_EQ(n.Result, S_OK);
  EXPECT_EQ(n.ErrorFlags() & (1u << kpv_ErrorFlags_UnsupportedMethod), 1u << kpv_ErrorFlags_UnsupportedMethod);
  ExtractImage(n, r);
  EXPECT_EQ(r, kUnsupportedMethod);
}

TEST(Ex01, SegmentNamesPast99FollowTheLetters) {
  auto ext = [](Int32 n, const wchar_t *first) { return GetEwf2SegmentExtension(n, first, L".Ex"); };
  EXPECT_EQ(ext(9, L".Ex01"), L".Ex09");
  EXPECT_EQ(ext(99, L".Ex01"), L".Ex99");
  EXPECT_EQ(ext(100, L".Ex01"), L".ExAA");
  EXPECT_EQ(ext(101, L".Ex01"), L".ExAB");
  EXPECT_EQ(ext(775, L".Ex01"), L".ExZZ");
  EXPECT_EQ(ext(776, L".Ex01"), L".EyAA");
  EXPECT_EQ(ext(2, L".ex01"), L".ex02");
  EXPECT_EQ(ext(100, L".ex01"), L".exaa");
  EXPECT_EQ(ext(3, L""), L".Ex03");
  // A set of 101 segments opens whole from its last file.
  TEwf2WriterOptions o;
  o.SectorsPerChunk = 1;
  o.ChunksPerSegment = 1;
  o.MD5 = false;
  const auto image = EwfTestImage(101 * 512);
  const auto files = WriteEx01(image, o);
  ASSERT_EQ(files.back().Name, "disk.ExAB");
  auto a = OpenEx01(files, "disk.ExAB");
  ASSERT_EQ(a.Result, S_OK);
  EXPECT_EQ(a.ErrorFlags(), 0u);
  Int32 r = -1;
  EXPECT_TRUE(ExtractImage(a, r) == image);
}

TEST(Ex01, SessionsMakeABinAndACue) {
  TEwf2WriterOptions o;
  o.DeviceType = "c";
  o.BytesPerSector = 2048;
  o.SectorsPerChunk = 16;
  o.Sessions = {16, 40};
  auto a = OpenEx01(WriteEx01(EwfTestImage(4 * 2048 * 16), o));
  ASSERT_EQ(a.Result, S_OK);
  EXPECT_EQ(a.Paths(), (std::vector<UString>{L"disk.bin", L"disk.cue"}));
  auto cb = a.ExtractAll();
  const auto cue = cb->Items[1].Data();
  EXPECT_NE(std::string(cue.begin(), cue.end()).find("FILE \"disk.bin\" BINARY"), std::string::npos);
  // A first session away from sector 16 is damage: one image, flagged.
  o.Sessions = {0, 40};
  auto d = OpenEx01(WriteEx01(EwfTestImage(4 * 2048 * 16), o));
  EXPECT_EQ(d.Count(), 1u);
  EXPECT_EQ(d.Path(0), L"disk.iso");
  EXPECT_EQ(d.ErrorFlags(), kFlagHeaders);
}

TEST(Ex01, DigestSectionsAreCheckedAndTheirDamageOnlyFlagged) {
  const auto image = EwfTestImage(3 * kChunk);
  TEwf2WriterOptions o;
  // Both stored digests count, whichever of them is wrong.
  for (const auto [md5, sha1] : {std::pair{true, false}, {false, true}, {true, true}}) {
    o.WrongMD5 = md5;
    o.WrongSHA1 = sha1;
    auto w = OpenEx01(WriteEx01(image, o));
    Int32 r = -1;
    EXPECT_TRUE(ExtractImage(w, r) == image);
    EXPECT_EQ(r, kCRCError) << md5 << sha1;
  }
  o.WrongSHA1 = false;
  Int32 r = -1;
  // An MD5 section of 24 usable bytes: flagged, no digest, the SHA-1 checks the image.
  o.WrongMD5 = false;
  o.MD5 = false;
  o.BeforeEnd = [&](TEwf2SegmentBuilder &b, UInt32, bool) {
    auto md5 = Ewf2DigestSection(std::vector<Byte>(16, 0x55), false);
    md5.resize(24, 0);
    b.AddSection(NEwf2Type::kMD5, md5);
  };
  auto a = OpenEx01(WriteEx01(image, o));
  ASSERT_EQ(a.Result, S_OK);
  EXPECT_EQ(a.ErrorFlags(), kFlagHeaders);
  EXPECT_TRUE(ExtractImage(a, r) == image);
  EXPECT_EQ(r, kOK);
  const void *data = nullptr;
  UInt32 size = 0, type = 0;
  EXPECT_EQ(a.Archive->GetRawProp(0, 0x10000, &data, &size, &type), S_OK);
  EXPECT_EQ(size, 0u);
}

TEST(Ex01, ChunkDamageGivesItsResultWithEveryReadableByte) {
  const auto image = EwfTestImage(6 * kChunk);
  TEwf2WriterOptions o;
  o.MD5 = o.SHA1 = false;
  o.Kind = [](UInt32 c) { return c == 2 ? TEwf2ChunkKind::Stored : TEwf2ChunkKind::Compressed; };
  const auto files = WriteEx01(image, o);
  auto a = OpenEx01(files);
  const Tvor7zBlock_ stored = a.Archive->Blocks()->GetBlock(2);
  const Tvor7zBlock_ deflate = a.Archive->Blocks()->GetBlock(4);
  // A stored chunk's checksum: all bytes written, CRC error; random access hands out the data.
  auto crc = files;
  crc[0].Data[stored.Offset + kChunk] ^= 1;
  auto c = OpenEx01(crc);
  Int32 r = -1;
  EXPECT_TRUE(ExtractImage(c, r) == image);
  EXPECT_EQ(r, kCRCError);
  ExpectRandomReads(c.Stream(), image);
  // A deflate chunk: the chunks before it are written, then a data error.
  auto bad = files;
  bad[0].Data[deflate.Offset + 40] ^= 0xFF;
  auto d = OpenEx01(bad);
  const auto got = ExtractImage(d, r);
  EXPECT_EQ(r, kDataError);
  ASSERT_GE(got.size(), 4 * kChunk);
  EXPECT_TRUE(std::equal(image.begin(), image.begin() + 4 * kChunk, got.begin()));
}

TEST(Ex01, MissingAndTruncatedSegmentsEndTheImageThere) {
  const auto image = EwfTestImage(9 * kChunk);
  TEwf2WriterOptions o;
  o.ChunksPerSegment = 3;
  auto files = WriteEx01(image, o);
  auto missing = files;
  missing.erase(missing.begin() + 1);
  auto a = OpenEx01(missing);
  ASSERT_EQ(a.Result, S_OK);
  EXPECT_EQ(a.ErrorFlags() & kFlagEnd, kFlagEnd);
  Int32 r = -1;
  auto got = ExtractImage(a, r);
  EXPECT_EQ(r, kUnexpectedEnd);
  EXPECT_TRUE(got.size() == 3 * kChunk && std::equal(got.begin(), got.end(), image.begin()));

  auto cut = files;
  cut[2].Data.resize(cut[2].Data.size() / 2);
  auto t = OpenEx01(cut);
  ASSERT_EQ(t.Result, S_OK);
  EXPECT_NE(t.ErrorFlags(), 0u);
  got = ExtractImage(t, r);
  EXPECT_EQ(r, kUnexpectedEnd);
  EXPECT_TRUE(got.size() >= 6 * kChunk && std::equal(image.begin(), image.begin() + 6 * kChunk, got.begin()));
}

TEST(Ex01, DescriptorChainsThatLoopOrPointForwardStop) {
  const auto image = EwfTestImage(2 * kChunk);
  for (int variant = 0; variant < 4; variant++) {
    TEwf2WriterOptions o;
    o.BeforeEnd = [&](TEwf2SegmentBuilder &b, UInt32, bool) {
      const size_t at = b.AddSection(NEwf2Type::kErrorTable, std::vector<Byte>(8, 1));
      if (variant == 0)
        b.SetDescriptor64(at, 8, at);  // points at itself
      else if (variant == 1)
        b.SetDescriptor64(at, 8, at + 64);  // forward
      else if (variant == 2)
        b.SetDescriptor32(at, 0, 256);  // no such type
      else
        b.SetDescriptor32(at, 4, 7, false);  // checksum only
    };
    auto a = OpenEx01(WriteEx01(image, o));
    ASSERT_EQ(a.Result, S_OK) << variant;
    EXPECT_EQ(a.ErrorFlags(), variant == 3 ? kFlagCRC : kFlagHeaders) << variant;
    if (variant == 3) {
      Int32 r = -1;
      EXPECT_TRUE(ExtractImage(a, r) == image);
      EXPECT_EQ(r, kOK);
    }
  }
}

TEST(Ex01, DamagedTextsAreFlaggedAndTheImageStillReads) {
  const auto image = EwfTestImage(3 * kChunk);
  for (int variant = 0; variant < 3; variant++) {
    TEwf2WriterOptions o;
    if (variant == 0)
      o.CaseText = {0xFF, 0xFE, '1', 0, '\n', 0};  // no table
    else if (variant == 1)
      o.CaseText = EwfText("1\nmain\nsb\n" + std::string(70000, '6') + "\n");  // over-long line
    auto files = WriteEx01(image, o);
    if (variant == 2)
      files[0].Data[32 + 4] ^= 0xFF;  // inside the compressed device information
    auto a = OpenEx01(files);
    ASSERT_EQ(a.Result, S_OK) << variant;
    EXPECT_EQ(a.ErrorFlags() & kFlagHeaders, kFlagHeaders) << variant;
    Int32 r = -1;
    // Without the device text the image is every chunk; without the case text the default chunk.
    EXPECT_TRUE(ExtractImage(a, r) == image) << variant;
  }
}

TEST(Ex01, SectorTablesWithHolesOrRepeatsStayInPlace) {
  const auto image = EwfTestImage(4 * kChunk);
  TEwf2WriterOptions o;
  o.MD5 = o.SHA1 = false;
  o.BeforeEnd = [&](TEwf2SegmentBuilder &b, UInt32, bool) {
    // A repeated table for chunk 1 pointing at garbage: the first entry wins.
    b.AddSection(NEwf2Type::kSectorTable, Ewf2SectorTable(1, {{40, 100, 1}}));
  };
  auto a = OpenEx01(WriteEx01(image, o));
  Int32 r = -1;
  EXPECT_TRUE(ExtractImage(a, r) == image);
  EXPECT_EQ(r, kOK);
  // A table far past any chunk the files could describe is damage, not a huge hole.
  o.BeforeEnd = [&](TEwf2SegmentBuilder &b, UInt32, bool) {
    b.AddSection(NEwf2Type::kSectorTable, Ewf2SectorTable(1ull << 40, {{40, 100, 1}}));
  };
  auto h = OpenEx01(WriteEx01(image, o));
  EXPECT_EQ(h.ErrorFlags(), kFlagHeaders);
  EXPECT_LT(h.Archive->Blocks()->GetCount(), 10u);
}

TEST(Ex01, PatternFillReadsFromAnyPhase) {
  const auto image = Ex01Image(5 * kChunk);
  auto a = OpenEx01(WriteEx01(image, TEwf2WriterOptions{}));
  ASSERT_EQ(EwfChunkMethod(a.Archive->Blocks()->GetBlock(2)), TEwfChunkMethod::PatternFill);
  auto s = a.Stream();
  auto *in = static_cast<IInStream *>(s.Get());
  for (UInt64 at : {2ull * kChunk + 5, 3ull * kChunk - 3}) {
    Byte got[16] = {};
    UInt32 n = 0;
    ASSERT_EQ(in->Seek(static_cast<Int64>(at), STREAM_SEEK_SET, nullptr), S_OK);
    ASSERT_EQ(in->Read(got, 16, &n), S_OK);
    EXPECT_TRUE(std::equal(got, got + n, image.begin() + static_cast<ptrdiff_t>(at)));
  }
}


// The writer's layouts against the real ones: file header, descriptor, session table, digests.
TEST(Ex01, WriterMatchesRealSections) {
  const auto header = EwfFragment("segment_file.2");
  if (header.empty())
    GTEST_SKIP() << "no shared ewf-fragments";
  TEwf2SegmentBuilder b(1, 1);
  EXPECT_TRUE(std::equal(header.begin(), header.begin() + 16, b.Data().begin()));
  const auto done = EwfFragment("section_descriptor.2");
  ASSERT_EQ(done.size(), 64u);
  EXPECT_EQ(CalcAdler32(done.data(), 60), GetUi32(done.data() + 60));
  EXPECT_EQ(GetUi32(done.data()), NEwf2Type::kDone);
  EXPECT_EQ(GetUi32(done.data() + 24), 64u);
  const auto session = EwfFragment("session_section.2");
  const auto ours = Ewf2SessionTable({16, 0x2DB6, 0x49D8, 0x65FA});
  ASSERT_GE(session.size(), ours.size());
  EXPECT_TRUE(std::equal(ours.begin(), ours.end(), session.begin()));
  for (const auto &[name, size] : {std::pair<const char *, size_t>{"md5_hash_section.1", 16}, {"sha1_hash_section.1", 20}}) {
    const auto real = EwfFragment(name);
    const auto digest = Ewf2DigestSection(std::vector<Byte>(real.begin(), real.begin() + static_cast<ptrdiff_t>(size)));
    EXPECT_EQ(digest, real) << name;
  }
}

// The section payloads of an EnCase 7 image, wrapped in a segment of our own.
TEST(Ex01, RealTextSectionsParse) {
  if (EwfFragment("case_data_section.1").empty())
    GTEST_SKIP() << "no shared ewf-fragments";
  auto read = [](const char *name) { return EwfFragment(name); };
  TEwf2SegmentBuilder b(1, 1);
  b.AddSection(NEwf2Type::kDeviceInformation, read("device_information_section.1"));
  b.AddSection(NEwf2Type::kCaseData, read("case_data_section.1"));
  const auto md5 = read("md5_hash_section.1");
  b.AddSection(NEwf2Type::kMD5, std::vector<Byte>(md5.begin(), md5.begin() + 20), 12);
  b.AddSection(NEwf2Type::kSessionTable, read("session_section.2"));
  b.AddSection(NEwf2Type::kDone, {});
  auto a = OpenEx01({{"real.Ex01", b.Data()}});
  ASSERT_EQ(a.Result, S_OK);
  EXPECT_EQ(a.ErrorFlags() & ~kFlagEnd, 0u);
  EXPECT_EQ(a.ArchiveText(0x10000), L"case#");
  EXPECT_EQ(a.ArchiveText(0x10003), L"examiner");
  EXPECT_EQ(a.ArchiveText(0x10007), L"Windows 7");
  EXPECT_EQ(a.Archive->BytesPerSector(), 512u);
  EXPECT_EQ(a.Archive->SectorsPerChunk(), 64u);
  EXPECT_EQ(a.Archive->DeviceType(), L"r");
  EXPECT_EQ(a.Size(), 2880u * 512);
  // Four sessions from sector 16.
  EXPECT_EQ(a.Count(), 2u);
}

// A chunk too large for the job buffers is streamed; a pattern-fill one has no position to seek to
// (its pattern, here negative as a signed offset, is no place in the files).
TEST(Ex01, HugePatternChunkIsWrittenWithoutReading) {
  TEwf2WriterOptions o;
  o.SectorsPerChunk = (129u << 20) / 512;
  o.MD5 = o.SHA1 = false;
  std::vector<Byte> image(129u << 20);
  for (size_t i = 0; i < image.size(); i++)
    image[i] = static_cast<Byte>(0xF8 + i % 8);
  auto a = OpenEx01(WriteEx01(image, o));
  ASSERT_EQ(a.Result, S_OK);
  ASSERT_EQ(EwfChunkMethod(a.Archive->Blocks()->GetBlock(0)), TEwfChunkMethod::PatternFill);
  Int32 r = -1;
  ExtractImage(a, r, true);
  EXPECT_EQ(r, kOK);
}
