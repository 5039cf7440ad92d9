// E01 image archives: items and names, digests and chunk checksums, CUE sheets of optical discs,
// archive and raw properties, random access, and the parallel decoder against the serial one.
#include "EwfTestSupport.h"

#include <cstring>
#include <thread>

#include "platform/Platform.h"

#include "formats/ewf/E01ArchiveStream.h"
#include "formats/ewf/E01BlocksDecoder.h"
#include "formats/ewf/EwfText.h"
#include "streams/ByteOrder.h"

using namespace NOperationResult;

namespace {

constexpr UInt32 kChunk = 64 * 512;

TEwfWriterOptions Options() {
  TEwfWriterOptions o;
  o.HeaderText = EwfText("1\nmain\nc\tn\ta\te\tt\tm\tu\tav\tov\n"
                         "case 7\tev 9\tdesc\tExaminer\tnotes\t2020 2 29 23 59 58\t0\t7.1\tLinux\n");
  return o;
}

std::vector<Byte> Slice(const std::vector<Byte> &v, size_t from, size_t to) {
  return std::vector<Byte>(v.begin() + static_cast<ptrdiff_t>(from), v.begin() + static_cast<ptrdiff_t>(to));
}

UString Ascii(const std::vector<Byte> &v) { return UString(v.begin(), v.end()); }

// Offset of chunk `index`'s stored bytes in the file of a one-segment set.
size_t ChunkOffset(const TE01Opened &a, UInt32 index) { return a.Archive->Blocks()->GetBlock(index).Offset; }

} // namespace

TEST(E01, MediaTypeNamesTheImage) {
  const auto image = EwfTestImage(3 * kChunk);
  for (auto [type, name] : {std::pair<Byte, const wchar_t *>{0x01, L"disk.img"}, {0x03, L"disk.iso"},
                            {0x10, L"disk.ram"}, {0x0E, L"disk.img"}}) {
    auto o = Options();
    o.MediaType = type;
    auto a = OpenE01(WriteE01(image, o));
    ASSERT_EQ(a.Result, S_OK);
    EXPECT_EQ(a.Archive->MediaType(), type);
    EXPECT_EQ(a.ItemCount(), 1u);
    EXPECT_EQ(a.Path(), name);
  }
  // The 94-byte volume carries no media type.
  auto o = Options();
  o.LargeVolume = false;
  o.MediaType = 0x03;
  EXPECT_EQ(OpenE01(WriteE01(image, o)).Path(), L"disk.img");
}

TEST(E01, ExtractsMixedChunksAndChecksTheMD5) {
  const auto image = EwfTestImage(7 * kChunk + 3 * 512);  // partial last chunk
  for (int variant = 0; variant < 3; variant++) {
    auto o = Options();
    o.Compress = [&](UInt32 c) { return variant == 0 ? true : variant == 1 ? false : c % 3 != 1; };
    auto a = OpenE01(WriteE01(image, o));
    ASSERT_EQ(a.Result, S_OK);
    EXPECT_EQ(a.ErrorFlags(), 0u);
    EXPECT_EQ(a.Size(), image.size());
    auto x = a.Extract();
    EXPECT_EQ(x.Result, S_OK);
    EXPECT_EQ(x.OpResult(), kOK) << variant;
    EXPECT_TRUE(x.Data() == image) << variant;
    auto t = a.Extract(true);
    EXPECT_EQ(t.OpResult(), kOK) << variant;
    EXPECT_TRUE(t.Data().empty());
  }
}

TEST(E01, WrongImageDigestIsACRCError) {
  const auto image = EwfTestImage(4 * kChunk);
  auto o = Options();
  o.WrongMD5 = true;
  auto a = OpenE01(WriteE01(image, o));
  auto x = a.Extract();
  EXPECT_EQ(x.OpResult(), kCRCError);
  EXPECT_TRUE(x.Data() == image);
  EXPECT_EQ(a.Extract(true).OpResult(), kCRCError);

  // SHA-1 is checked when there is no MD5; a digest section read after a hash section sets the MD5.
  o = Options();
  o.Hash = false;
  o.Digest = true;
  o.DigestWithoutMD5 = true;
  auto s = OpenE01(WriteE01(image, o));
  EXPECT_EQ(s.Extract(true).OpResult(), kOK);
  auto files = WriteE01(image, o);
  // Flip a byte of the stored SHA-1 (bytes 16..35 of the digest payload) and fix the checksum.
  auto &data = files[0].Data;
  const size_t done = data.size() - 76;
  const size_t payload = done - 80;
  data[payload + 20] ^= 1;
  std::vector<Byte> p(data.begin() + static_cast<ptrdiff_t>(payload), data.begin() + static_cast<ptrdiff_t>(done));
  EwfFixChecksum(p, 76);
  std::copy(p.begin(), p.end(), data.begin() + static_cast<ptrdiff_t>(payload));
  auto bad = OpenE01(files);
  EXPECT_EQ(bad.ErrorFlags(), 0u);
  EXPECT_EQ(bad.Extract(true).OpResult(), kCRCError);

  // Without any digest there is nothing to compare.
  o = Options();
  o.Hash = false;
  EXPECT_EQ(OpenE01(WriteE01(image, o)).Extract(true).OpResult(), kOK);
}

TEST(E01, StoredChunkChecksumIsReportedAfterTheWholeImage) {
  const auto image = EwfTestImage(12 * kChunk);
  auto o = Options();
  o.Compress = [](UInt32) { return false; };
  auto files = WriteE01(image, o);
  auto probe = OpenE01(files);
  const size_t at = ChunkOffset(probe, 5) + kChunk;  // the stored checksum of chunk 5
  files[0].Data[at] ^= 0xFF;
  auto a = OpenE01(files);
  auto x = a.Extract();
  EXPECT_EQ(x.OpResult(), kCRCError);
  EXPECT_TRUE(x.Data() == image);
  // Random access does not check stored chunks.
  ComPtr<ISequentialInStream> s;
  ASSERT_EQ(a.Archive->GetStream(0, s.Put()), S_OK);
  EXPECT_TRUE(EwfReadAll(s) == image);
}

TEST(E01, CorruptCompressedChunkStopsWithADataError) {
  const auto image = EwfTestImage(12 * kChunk);
  auto files = WriteE01(image, Options());
  auto probe = OpenE01(files);
  const size_t at = ChunkOffset(probe, 4);
  for (size_t i = 2; i < 60; i++)
    files[0].Data[at + i] ^= 0x5A;
  auto a = OpenE01(files);
  auto x = a.Extract();
  EXPECT_EQ(x.OpResult(), kDataError);
  const auto data = x.Data();
  ASSERT_GE(data.size(), 4u * kChunk);
  EXPECT_LT(data.size(), image.size());
  EXPECT_TRUE(std::equal(image.begin(), image.begin() + 4 * kChunk, data.begin()));
  // Random access fails on that chunk only.
  ComPtr<ISequentialInStream> s;
  ASSERT_EQ(a.Archive->GetStream(0, s.Put()), S_OK);
  ComPtr<IInStream> in = QueryAs<IInStream>(s.Get(), IID_IInStream);
  ASSERT_TRUE(in);
  std::vector<Byte> buf(100);
  UInt32 got = 0;
  ASSERT_EQ(in->Seek(4 * kChunk + 10, STREAM_SEEK_SET, nullptr), S_OK);
  EXPECT_EQ(in->Read(buf.data(), 100, &got), S_FALSE);
  ASSERT_EQ(in->Seek(5 * kChunk + 10, STREAM_SEEK_SET, nullptr), S_OK);
  EXPECT_EQ(in->Read(buf.data(), 100, &got), S_OK);
  EXPECT_EQ(got, 100u);
  EXPECT_TRUE(buf == Slice(image, 5 * kChunk + 10, 5 * kChunk + 110));
}

TEST(E01, RandomAccessAcrossChunksAndSegments) {
  const auto image = EwfTestImage(9 * kChunk + 512);
  auto o = Options();
  o.ChunksPerSegment = 3;
  o.Compress = [](UInt32 c) { return c % 2 == 0; };
  auto a = OpenE01(WriteE01(image, o));
  ASSERT_EQ(a.Result, S_OK);
  ComPtr<ISequentialInStream> s;
  ASSERT_EQ(a.Archive->GetStream(0, s.Put()), S_OK);
  EXPECT_TRUE(EwfReadAll(s, 7777) == image);
  ComPtr<IInStream> in = QueryAs<IInStream>(s.Get(), IID_IInStream);
  ASSERT_TRUE(in);
  const std::vector<std::pair<UInt64, UInt32>> reads = {
      {kChunk - 10, 20}, {3 * kChunk - 5, 2 * kChunk + 10}, {0, 1}, {image.size() - 7, 100}, {image.size(), 10}};
  for (auto [pos, size] : reads) {
    std::vector<Byte> buf(size);
    UInt32 got = 0;
    ASSERT_EQ(in->Seek(static_cast<Int64>(pos), STREAM_SEEK_SET, nullptr), S_OK);
    ASSERT_EQ(in->Read(buf.data(), size, &got), S_OK);
    const size_t expect = std::min<size_t>(size, image.size() - pos);
    ASSERT_EQ(got, expect) << pos;
    buf.resize(got);
    EXPECT_TRUE(buf == Slice(image, pos, pos + got)) << pos;
  }
  // The CUE item of a plain image does not exist; the stream is only for the image.
  ComPtr<ISequentialInStream> none;
  EXPECT_EQ(a.Archive->GetStream(1, none.Put()), S_FALSE);
}

TEST(E01, ParallelAndSerialDecodesAgree) {
  const auto image = EwfTestImage(40 * kChunk + 1024, 5);
  auto o = Options();
  o.Compress = [](UInt32 c) { return c % 5 != 2; };
  auto a = OpenE01(WriteE01(image, o));
  ASSERT_EQ(a.Result, S_OK);
  for (Int32 threads : {1, 2, 3}) {
    ComPtr<TTestOutStream> out(new TTestOutStream());
    Tvor7zE01ArchiveBlocksDecoder decoder;
    const Int32 r = decoder.Decode(a.Archive->Blocks(), a.Archive->JoinedStream(), out, nullptr, threads);
    EXPECT_EQ(r, kOK) << threads;
    EXPECT_TRUE(out->Data == image) << threads;
  }
}

TEST(E01, StoredChunkShortOfItsChecksum) {
  // The table's next chunk starts 2 bytes after the data of a stored chunk: the data is all there,
  // only the checksum is missing. Every decode path writes the whole chunk and reports it after.
  const auto image = EwfTestImage(2 * kChunk);
  TEwfSegmentBuilder b(1);
  b.AddSection("volume", EwfVolumePayload(64, 512, image.size() / 512, true));
  std::vector<Byte> data = Slice(image, 0, kChunk);
  data.push_back(0);
  data.push_back(0);
  const auto second = EwfStoredChunk(Slice(image, kChunk, 2 * kChunk));
  data.insert(data.end(), second.begin(), second.end());
  const size_t at = b.AddSection("sectors", data) + 76;
  b.AddSection("table", EwfTablePayload({static_cast<UInt32>(at), static_cast<UInt32>(at + kChunk + 2)}, 0, true));
  b.AddEnd("done");
  auto a = OpenE01({{"disk.E01", b.Data()}});
  ASSERT_EQ(a.Result, S_OK);
  for (Int32 threads : {1, 2}) {
    ComPtr<TTestOutStream> out(new TTestOutStream());
    Tvor7zE01ArchiveBlocksDecoder decoder;
    EXPECT_EQ(decoder.Decode(a.Archive->Blocks(), a.Archive->JoinedStream(), out, nullptr, threads), kHeadersError);
    EXPECT_TRUE(out->Data == image) << threads;
  }
}

TEST(E01, SessionsMakeABinAndACue) {
  const auto image = EwfTestImage(4 * kChunk);
  auto o = Options();
  o.MediaType = 0x03;
  o.BaseName = "disc";
  o.Sessions = {16, 20000, 40000};
  auto a = OpenE01(WriteE01(image, o));
  ASSERT_EQ(a.Result, S_OK);
  EXPECT_EQ(a.ErrorFlags(), 0u);
  ASSERT_EQ(a.ItemCount(), 2u);
  EXPECT_EQ(a.Path(0), L"disc.bin");
  EXPECT_EQ(a.Path(1), L"disc.cue");
  const std::string cue = "FILE \"disc.bin\" BINARY\r\n\r\n"
                          "  REM SESSION 01;\r\n    TRACK 01 MODE1/2048\r\n      INDEX 01 00:00:00\r\n\r\n"
                          "  REM SESSION 02;\r\n    TRACK 02 MODE1/2048\r\n      INDEX 01 04:26:50\r\n\r\n"
                          "  REM SESSION 03;\r\n    TRACK 03 MODE1/2048\r\n      INDEX 01 08:53:25\r\n\r\n";
  EXPECT_EQ(a.Size(1), cue.size());
  // All items: the image is verified, the sheet is copied as it is.
  auto x = a.Extract(false, {}, true);
  EXPECT_EQ(x.Result, S_OK);
  EXPECT_EQ(x.OpResult(0), kOK);
  EXPECT_EQ(x.OpResult(1), kOK);
  EXPECT_TRUE(x.Data(0) == image);
  const auto sheet = x.Data(1);
  EXPECT_EQ(std::string(sheet.begin(), sheet.end()), cue);
  // The sheet has no digests and no random-access stream.
  const void *data = nullptr;
  UInt32 size = 0, type = 0;
  EXPECT_EQ(a.Archive->GetRawProp(1, 0x10000, &data, &size, &type), S_OK);
  EXPECT_EQ(size, 0u);
  ComPtr<ISequentialInStream> s;
  EXPECT_EQ(a.Archive->GetStream(1, s.Put()), S_FALSE);
  // Item order as asked, sheet first.
  auto y = a.Extract(false, {1, 0});
  EXPECT_EQ(y.OpResult(1), kOK);
  EXPECT_EQ(y.OpResult(0), kOK);
}

TEST(E01, SessionSectionsThatDoNotMakeASheet) {
  const auto image = EwfTestImage(2 * kChunk);
  struct TCase {
    const char *Name;
    std::vector<UInt32> Sessions;
    UInt32 CountOverride;
    UInt32 Flags;
  };
  const std::vector<TCase> cases = {
      {"one session", {16}, 0, 0},
      {"first session at 0", {0, 3000}, 0, kFlagHeaders},
      {"count beyond the payload", {16, 3000}, 3, kFlagHeaders},
      {"count wrapping 32 bits", {16, 3000}, 0x08000000u, kFlagHeaders},  // * 32 + 36 = 36 in 32 bits
      {"more sessions than a disc holds", std::vector<UInt32>(100, 16), 0, kFlagHeaders},
  };
  for (const auto &c : cases) {
    TEwfSegmentBuilder b(1);
    b.AddSection("volume", EwfVolumePayload(64, 512, image.size() / 512, true, 0x03));
    std::vector<UInt32> entries;
    std::vector<Byte> data;
    const size_t at = b.Size() + 76;
    for (UInt32 i = 0; i < 2; i++) {
      entries.push_back(static_cast<UInt32>(at + data.size()) | 0x80000000u);
      const auto z = EwfDeflate(Slice(image, i * kChunk, (i + 1) * kChunk));
      data.insert(data.end(), z.begin(), z.end());
    }
    b.AddSection("sectors", data);
    b.AddSection("table", EwfTablePayload(entries, 0, true));
    b.AddSection("session", EwfSessionPayload(c.Sessions, c.CountOverride));
    b.AddEnd("done");
    auto a = OpenE01({{"disc.E01", b.Data()}});
    ASSERT_EQ(a.Result, S_OK) << c.Name;
    EXPECT_EQ(a.ErrorFlags(), c.Flags) << c.Name;
    EXPECT_EQ(a.ItemCount(), 1u) << c.Name;
    EXPECT_EQ(a.Path(), L"disc.iso") << c.Name;
  }
}

TEST(E01, HashAndDigestSections) {
  const auto image = EwfTestImage(2 * kChunk);
  const auto md5 = EwfMD5(image);
  const auto sha1 = EwfSHA1(image);
  auto o = Options();
  o.Digest = true;
  auto a = OpenE01(WriteE01(image, o));
  ASSERT_EQ(a.Result, S_OK);
  const void *data = nullptr;
  UInt32 size = 0, type = 0;
  ASSERT_EQ(a.Archive->GetRawProp(0, 0x10000, &data, &size, &type), S_OK);
  ASSERT_EQ(size, 16u);
  EXPECT_EQ(type, NPropDataType::kRaw);
  EXPECT_EQ(std::memcmp(data, md5.data(), 16), 0);
  ASSERT_EQ(a.Archive->GetRawProp(0, kpidSha1, &data, &size, &type), S_OK);
  ASSERT_EQ(size, 20u);
  EXPECT_EQ(std::memcmp(data, sha1.data(), 20), 0);
  UInt32 n = 0;
  EXPECT_EQ(a.Archive->GetNumRawProps(&n), S_OK);
  EXPECT_EQ(n, 2u);
  BSTR name = nullptr;
  PROPID id = 0;
  EXPECT_EQ(a.Archive->GetRawPropInfo(0, &name, &id), S_OK);
  EXPECT_EQ(id, 0x10000u);
  ASSERT_NE(name, nullptr);
  EXPECT_EQ(UString(name), L"MD5");
  BstrFree(name);
  EXPECT_EQ(a.Archive->GetRawPropInfo(1, &name, &id), S_OK);
  EXPECT_EQ(id, static_cast<PROPID>(kpidSha1));
  EXPECT_EQ(name, nullptr);

  // Only a hash section: no SHA-1.
  auto h = OpenE01(WriteE01(image, Options()));
  EXPECT_EQ(h.Archive->GetRawProp(0, kpidSha1, &data, &size, &type), S_OK);
  EXPECT_EQ(size, 0u);

  // Sections of the wrong size or with a wrong checksum.
  for (int variant = 0; variant < 3; variant++) {
    TEwfSegmentBuilder b(1);
    b.AddSection("volume", EwfVolumePayload(64, 512, image.size() / 512, true));
    const size_t at = b.Size() + 76;
    const auto z = EwfStoredChunk(Slice(image, 0, kChunk));
    const auto z2 = EwfStoredChunk(Slice(image, kChunk, 2 * kChunk));
    std::vector<Byte> chunks(z);
    chunks.insert(chunks.end(), z2.begin(), z2.end());
    b.AddSection("sectors", chunks);
    b.AddSection("table", EwfTablePayload({static_cast<UInt32>(at), static_cast<UInt32>(at + z.size())}, 0, true));
    auto hash = EwfHashPayload(md5.data());
    if (variant == 0)
      hash.push_back(0);
    if (variant == 1)
      hash[33] ^= 1;
    auto digest = EwfDigestPayload(md5.data(), sha1.data());
    if (variant == 2)
      digest.resize(79);
    b.AddSection("hash", hash);
    b.AddSection("digest", digest);
    b.AddEnd("done");
    auto d = OpenE01({{"disk.E01", b.Data()}});
    ASSERT_EQ(d.Result, S_OK);
    EXPECT_EQ(d.ErrorFlags(), variant == 1 ? kFlagCRC : kFlagHeaders) << variant;
    EXPECT_EQ(d.Extract(true).OpResult(), kOK) << variant;  // whichever section was taken holds the right MD5
  }
}

TEST(E01, CaseProperties) {
  const auto image = EwfTestImage(kChunk);
  auto o = Options();
  o.Header2Text = EwfText16(u"1\nmain\nc\tmd\tsn\tl\n\tModel X\tSN-1\tLabel\n", false);
  auto a = OpenE01(WriteE01(image, o));
  ASSERT_EQ(a.Result, S_OK);
  UInt32 count = 0;
  EXPECT_EQ(a.Archive->GetNumberOfArchiveProperties(&count), S_OK);
  ASSERT_EQ(count, 13u);
  const std::vector<std::pair<const wchar_t *, PROPID>> rows = {
      {L"Case", 0x10000},          {L"Evidence", 0x10001},    {L"Description", 0x10002},
      {L"Examiner", 0x10003},      {nullptr, kpidComment},    {L"Date acquired", 0x10004},
      {L"System date", 0x10005},   {L"ID", 0x10006},          {nullptr, kpidCreatorApp},
      {L"Acquisition platform", 0x10007}, {L"Device model", 0x10008}, {L"Device serial number", 0x10009},
      {L"Device label", 0x1000A}};
  for (UInt32 i = 0; i < count; i++) {
    BSTR name = nullptr;
    PROPID id = 0;
    VARTYPE vt = 0;
    ASSERT_EQ(a.Archive->GetArchivePropertyInfo(i, &name, &id, &vt), S_OK);
    EXPECT_EQ(id, rows[i].second) << i;
    EXPECT_EQ(vt, (i == 5 || i == 6) ? VT_FILETIME : VT_BSTR) << i;
    if (rows[i].first) {
      ASSERT_NE(name, nullptr) << i;
      EXPECT_EQ(UString(name), rows[i].first);
      BstrFree(name);
    } else {
      EXPECT_EQ(name, nullptr) << i;
    }
  }
  EXPECT_EQ(a.ArchiveText(0x10000), L"case 7");  // header2 has an empty case: the header's stays
  EXPECT_EQ(a.ArchiveText(0x10001), L"ev 9");
  EXPECT_EQ(a.ArchiveText(0x10002), L"desc");
  EXPECT_EQ(a.ArchiveText(0x10003), L"Examiner");
  EXPECT_EQ(a.ArchiveText(kpidComment), L"notes");
  EXPECT_EQ(a.ArchiveText(kpidCreatorApp), L"7.1");
  EXPECT_EQ(a.ArchiveText(0x10007), L"Linux");
  EXPECT_EQ(a.ArchiveText(0x10008), L"Model X");
  EXPECT_EQ(a.ArchiveText(0x10009), L"SN-1");
  EXPECT_EQ(a.ArchiveText(0x1000A), L"Label");
  EXPECT_EQ(a.ArchiveText(0x10006), L"{01020304-0506-0708-090A-0B0C0D0E0F10}");
  UInt64 leap = 0;
  ASSERT_TRUE(PlatformSystemTimeToFileTime(2020, 2, 29, 23, 59, 58, 0, leap));
  EXPECT_EQ(a.ArchiveTime(0x10004), leap);
  EXPECT_EQ(a.ArchiveTime(0x10005), 0u);  // "0" is no date
  // Error flags still come from the handler base.
  EXPECT_EQ(a.ErrorFlags(), 0u);
  // A set without header texts or ID answers empty values.
  auto bare = Options();
  bare.HeaderText.clear();
  bare.ID = GUID{};
  auto b = OpenE01(WriteE01(image, bare));
  for (PROPID id : {0x10000u, 0x10006u, static_cast<UInt32>(kpidComment)})
    EXPECT_EQ(b.ArchiveText(id), L"<empty>") << id;
  EXPECT_EQ(b.ArchiveTime(0x10004), 0u);
}

TEST(E01, ExtractProtocol) {
  const auto image = EwfTestImage(2 * kChunk);
  auto a = OpenE01(WriteE01(image, Options()));
  ASSERT_EQ(a.Result, S_OK);
  // An index past the items fails before anything is asked of the host.
  ComPtr<TTestExtractCallback> cb(new TTestExtractCallback());
  const UInt32 bad[] = {0, 2};
  EXPECT_EQ(a.Archive->Extract(bad, 2, 0, cb), E_INVALIDARG);
  EXPECT_TRUE(cb->Events.empty());
  // A skipped item counts as done.
  ComPtr<TTestExtractCallback> skip(new TTestExtractCallback());
  skip->SkipItems.insert(0);
  const UInt32 zero = 0;
  EXPECT_EQ(a.Archive->Extract(&zero, 1, 0, skip), S_OK);
  EXPECT_EQ(skip->Items[0].Result, kOK);
  EXPECT_EQ(skip->Total, image.size());
  // The host's cancel ends the extraction with its code.
  ComPtr<TTestExtractCallback> cancel(new TTestExtractCallback());
  cancel->CompletedResult = E_ABORT;
  const UInt32 saved = Tvor7zProgress::ProgressInterval;
  Tvor7zProgress::ProgressInterval = 0;
  EXPECT_EQ(a.Archive->Extract(&zero, 1, 0, cancel), E_ABORT);
  Tvor7zProgress::ProgressInterval = saved;
  // Properties of an index past the items are empty.
  PROPVARIANT v{};
  EXPECT_EQ(a.Archive->GetProperty(5, kpidPath, &v), S_OK);
  EXPECT_EQ(v.vt, VT_EMPTY);
}

TEST(E01, TruncatedSetsExtractWhatTheyHave) {
  const auto image = EwfTestImage(6 * kChunk);
  auto files = WriteE01(image, Options());
  auto probe = OpenE01(files);
  // Cut the file inside chunk 3. The table comes after the chunks and is lost with the cut, so nothing
  // is known about the chunks: the image keeps its size and is missing entirely.
  const size_t cut = ChunkOffset(probe, 3) + 10;
  auto &data = files[0].Data;
  std::vector<Byte> truncated(data.begin(), data.begin() + static_cast<ptrdiff_t>(cut));
  auto a = OpenE01({{"disk.E01", truncated}});
  ASSERT_EQ(a.Result, S_OK);
  EXPECT_EQ(a.ErrorFlags(), kFlagEnd);
  auto x = a.Extract();
  EXPECT_EQ(x.OpResult(), kUnexpectedEnd);
  EXPECT_TRUE(x.Data().empty());
}

TEST(E01, StreamingDecodeOfOneBlock) {
  // The path for blocks too large to buffer: the decoder reads from the container stream.
  const auto plain = EwfTestImage(kChunk, 3);
  struct TCase {
    const char *Name;
    std::vector<Byte> Stored;
    UInt32 Flags;
    Int32 Result, Deferred;
  };
  auto badSum = EwfStoredChunk(plain);
  badSum.back() ^= 1;
  auto shortSum = EwfStoredChunk(plain);
  shortSum.resize(kChunk + 2);
  auto corrupt = EwfDeflate(plain);
  corrupt.resize(corrupt.size() / 2);
  const std::vector<TCase> cases = {
      {"deflate", EwfDeflate(plain), 0x80000000u, kOK, 0},
      {"stored", EwfStoredChunk(plain), 0, kOK, 0},
      {"stored, wrong checksum", badSum, 0, kOK, kCRCError},
      {"stored, checksum cut", shortSum, 0, kOK, kHeadersError},
      {"stored, data cut", std::vector<Byte>(plain.begin(), plain.begin() + 100), 0, kUnexpectedEnd, 0},
      {"deflate, cut", corrupt, 0x80000000u, kDataError, 0},
  };
  for (const auto &c : cases) {
    Tvor7zBlock_ block{};
    block.StoredSize = static_cast<UInt32>(c.Name == std::string("stored, checksum cut") ? kChunk + 2 : c.Stored.size());
    block.Size = kChunk;
    block.Flags = c.Flags;
    block.Valid = true;
    Tvor7zE01BlockJob job;
    job.Block = block;
    job.Buffered = false;
    ComPtr<TTestInStream> in(new TTestInStream(c.Stored));
    ComPtr<TTestOutStream> out(new TTestOutStream());
    Tvor7zE01ArchiveBlocksDecoder decoder;
    EXPECT_EQ(decoder.DecodeBlock(job, in, out), c.Result) << c.Name;
    EXPECT_EQ(job.DeferredResult, c.Deferred) << c.Name;
    if (c.Result == kOK)
      EXPECT_TRUE(out->Data == plain) << c.Name;
  }
}

// ---- media that ends inside a sector ----

namespace {

// Reads the whole image back through every path a host uses and compares it with `image`; the
// archive carries exactly the error flags `flags`.
void ExpectWholeImage(TE01Opened &a, const std::vector<Byte> &image, const std::string &what, UInt32 flags = 0) {
  ASSERT_EQ(a.Result, S_OK) << what;
  EXPECT_EQ(a.ErrorFlags(), flags) << what;
  EXPECT_EQ(a.Size(), image.size()) << what;
  auto x = a.Extract();
  EXPECT_EQ(x.OpResult(), kOK) << what;
  EXPECT_TRUE(x.Data() == image) << what;
  EXPECT_EQ(a.Extract(true).OpResult(), kOK) << what;
  for (Int32 threads : {1, 2, 3}) {
    ComPtr<TTestOutStream> out(new TTestOutStream());
    Tvor7zE01ArchiveBlocksDecoder decoder;
    EXPECT_EQ(decoder.Decode(a.Archive->Blocks(), a.Archive->JoinedStream(), out, nullptr, threads), kOK)
        << what << ", threads " << threads;
    EXPECT_TRUE(out->Data == image) << what << ", threads " << threads;
  }
  ComPtr<ISequentialInStream> s;
  ASSERT_EQ(a.Archive->GetStream(0, s.Put()), S_OK) << what;
  EXPECT_TRUE(EwfReadAll(s, 1000) == image) << what;
  // A read across the end of the image stops at its last byte.
  ComPtr<IInStream> in = QueryAs<IInStream>(s.Get(), IID_IInStream);
  ASSERT_TRUE(in);
  const UInt64 from = image.size() > 3 ? image.size() - 3 : 0;
  std::vector<Byte> buf(10);
  UInt32 got = 0;
  ASSERT_EQ(in->Seek(static_cast<Int64>(from), STREAM_SEEK_SET, nullptr), S_OK);
  ASSERT_EQ(in->Read(buf.data(), 10, &got), S_OK);
  ASSERT_EQ(got, image.size() - from) << what;
  buf.resize(got);
  EXPECT_TRUE(buf == Slice(image, from, image.size())) << what;
}

// One segment built by hand: a volume counting `sectors` sectors and `chunkCount` chunks, each
// chunk's bytes stored (with its checksum) or deflated in one "sectors" section followed by
// `padding` zero bytes, the table, the MD5 of `hashed`, and "done".
std::vector<TEwfSegmentFile> OneSegment(UInt64 sectors, UInt32 chunkCount,
                                        const std::vector<std::pair<std::vector<Byte>, bool>> &chunks,
                                        const std::vector<Byte> &hashed, size_t padding = 0) {
  TEwfSegmentBuilder b(1);
  b.AddSection("volume", EwfVolumePayload(64, 512, sectors, true, 1, GUID{}, chunkCount));
  const size_t at = b.Size() + 76;
  std::vector<Byte> data;
  std::vector<UInt32> entries;
  for (const auto &[plain, compress] : chunks) {
    entries.push_back(static_cast<UInt32>(at + data.size()) | (compress ? 0x80000000u : 0));
    const auto stored = compress ? EwfDeflate(plain) : EwfStoredChunk(plain);
    data.insert(data.end(), stored.begin(), stored.end());
  }
  data.resize(data.size() + padding, 0);
  b.AddSection("sectors", data);
  b.AddSection("table", EwfTablePayload(entries, 0, true));
  b.AddSection("hash", EwfHashPayload(EwfMD5(hashed).data()));
  b.AddEnd("done");
  return {{"disk.E01", b.Data()}};
}

} // namespace

TEST(E01, MediaEndingInsideASectorIsReadWhole) {
  // The volume counts the sectors rounded down; the chunks hold every byte and the MD5 covers them.
  const std::vector<std::pair<const char *, size_t>> sizes = {
      {"one partial chunk", 4097},
      {"partial last chunk", 7 * kChunk + 3 * 512 + 100},
      {"whole chunks and one byte", 3 * kChunk + 1},
      {"less than a sector", 300},
  };
  const std::vector<std::pair<const char *, std::function<bool(UInt32)>>> storage = {
      {"stored", [](UInt32) { return false; }},
      {"deflate", [](UInt32) { return true; }},
      {"stored last", [](UInt32 c) { return c < 3; }},
  };
  for (const auto &[sizeName, size] : sizes) {
    const auto image = EwfTestImage(size, 11);
    for (const auto &[storageName, compress] : storage) {
      for (UInt32 perSegment : {0u, 2u}) {
        auto o = Options();
        o.Compress = compress;
        o.ChunksPerSegment = perSegment;
        o.LargeVolume = perSegment == 0;  // the 94-byte volume counts chunks too
        const std::string what = std::string(sizeName) + ", " + storageName + ", per segment " +
                                 std::to_string(perSegment);
        auto a = OpenE01(WriteE01(image, o));
        ExpectWholeImage(a, image, what);
        // Only the last chunk changed: it holds the tail, every other one a whole chunk.
        const auto *blocks = a.Archive->Blocks();
        const UInt32 count = blocks->GetCount();
        ASSERT_EQ(count, (size + kChunk - 1) / kChunk) << what;
        EXPECT_EQ(blocks->GetBlock(count - 1).Size, size - static_cast<size_t>(count - 1) * kChunk) << what;
      }
    }
  }
}

TEST(E01, ChunksEndWithTheirDataArea) {
  // Three chunks per segment, a partial one last: the last chunk of every segment is followed by
  // the table and other sections (and then the next segment), which are no part of its bytes.
  const auto image = EwfTestImage(8 * kChunk + 700, 4);
  for (bool compress : {true, false}) {
    auto o = Options();
    o.ChunksPerSegment = 3;
    o.Compress = [compress](UInt32) { return compress; };
    auto a = OpenE01(WriteE01(image, o));
    ExpectWholeImage(a, image, compress ? "deflate" : "stored");
    const auto *blocks = a.Archive->Blocks();
    ASSERT_EQ(blocks->GetCount(), 9u);
    for (UInt32 i : {2u, 5u, 8u}) {
      const auto plain = Slice(image, i * kChunk, std::min<size_t>(image.size(), (i + 1) * kChunk));
      const size_t stored = compress ? EwfDeflate(plain).size() : plain.size() + 4;
      EXPECT_EQ(blocks->GetBlock(i).StoredSize, stored) << i << (compress ? " deflate" : " stored");
    }
  }
}

TEST(E01, TailIsTakenOnlyWhenItsChunkVouchesForIt) {
  const auto image = EwfTestImage(4097, 2);
  const auto sectors = Slice(image, 0, 4096);
  {
    // A stored chunk of whole sectors with unrelated bytes after it in its section keeps its size.
    auto a = OpenE01(OneSegment(8, 1, {{sectors, false}}, sectors, 100));
    ExpectWholeImage(a, sectors, "padding after a stored chunk");
  }
  {
    // A stored tail whose checksum does not match: nothing vouches for the extra byte.
    auto files = OneSegment(8, 1, {{image, false}}, image);
    auto probe = OpenE01(files);
    ASSERT_EQ(probe.Size(), image.size());
    files[0].Data[ChunkOffset(probe, 0) + 4097] ^= 0x40;
    auto a = OpenE01(files);
    ASSERT_EQ(a.Result, S_OK);
    EXPECT_EQ(a.Size(), 4096u);
    EXPECT_EQ(a.Extract(true).OpResult(), kCRCError);
  }
  {
    // A deflate chunk holding a whole sector more than counted is not taken as the media's tail.
    auto longer = EwfTestImage(4096 + 512, 2);
    auto a = OpenE01(OneSegment(8, 1, {{longer, true}}, sectors));
    ASSERT_EQ(a.Result, S_OK);
    EXPECT_EQ(a.ErrorFlags(), 0u);
    EXPECT_EQ(a.Size(), 4096u);
    // A corrupt one is left to the extraction to report.
    auto bad = EwfDeflate(image);
    bad.resize(bad.size() - 8);
    TEwfSegmentBuilder b(1);
    b.AddSection("volume", EwfVolumePayload(64, 512, 8, true, 1, GUID{}, 1));
    const size_t at = b.AddSection("sectors", bad) + 76;
    b.AddSection("table", EwfTablePayload({static_cast<UInt32>(at) | 0x80000000u}, 0, true));
    b.AddEnd("done");
    auto c = OpenE01({{"disk.E01", b.Data()}});
    ASSERT_EQ(c.Result, S_OK);
    EXPECT_EQ(c.Size(), 4096u);
    EXPECT_EQ(c.Extract(true).OpResult(), kDataError);
  }
  const auto full = EwfTestImage(kChunk, 6);
  {
    // A chunk past the counted ones that holds a whole sector is no tail: it is dropped.
    auto a = OpenE01(OneSegment(64, 2, {{full, false}, {EwfTestImage(512, 7), false}}, full));
    ExpectWholeImage(a, full, "surplus chunk of a whole sector");
    EXPECT_EQ(a.Archive->Blocks()->GetCount(), 1u);
  }
  {
    // Without the volume counting it, a chunk past the counted sectors stays unread.
    auto withTail = full;
    withTail.push_back(0x5A);
    auto a = OpenE01(OneSegment(64, 1, {{full, true}, {Slice(withTail, kChunk, kChunk + 1), true}}, full));
    ExpectWholeImage(a, full, "uncounted surplus chunk");
    // Counted, it is the media's last byte.
    auto b = OpenE01(OneSegment(64, 2, {{full, true}, {Slice(withTail, kChunk, kChunk + 1), true}}, withTail));
    ExpectWholeImage(b, withTail, "counted surplus chunk");
  }
}

// ---- damaged metadata ----

namespace {

// Flips one bit in the middle of the payload of the `nth` section of `type` in segment 1.
void FlipInSection(std::vector<TEwfSegmentFile> &files, const std::string &type, UInt32 nth) {
  TEwfSectionPlace place;
  ASSERT_TRUE(EwfFindSection(files[0].Data, type, nth, place)) << type << " " << nth;
  files[0].Data[place.Offset + place.Size / 2] ^= 0x10;
}

}  // namespace

// Case metadata locates no data: a copy that does not inflate or parse is skipped with the headers
// flag and the next intact one supplies the values (header2 first, the header fills its gaps).
TEST(E01, DamagedCaseMetadataGivesWayToTheNextIntactCopy) {
  const auto image = EwfTestImage(3 * kChunk);
  auto o = Options();
  o.Header2Text = EwfText16(u"1\nmain\nc\ta\nwide case\twide desc\n", false);
  o.Header2Copies = 2;
  o.ChunksPerSegment = 1;  // three segments: damage in the first must not cut the set short
  struct TCase {
    const char *Name;
    std::vector<std::pair<std::string, UInt32>> Damaged;
    const wchar_t *Case, *Description, *Examiner;
  };
  const TCase cases[] = {
      {"nothing", {}, L"wide case", L"wide desc", L"Examiner"},
      {"first header2", {{"header2", 0}}, L"wide case", L"wide desc", L"Examiner"},
      {"second header2", {{"header2", 1}}, L"wide case", L"wide desc", L"Examiner"},
      {"both header2", {{"header2", 0}, {"header2", 1}}, L"case 7", L"desc", L"Examiner"},
      {"header", {{"header", 0}}, L"wide case", L"wide desc", L"<empty>"},
      {"all three", {{"header2", 0}, {"header2", 1}, {"header", 0}}, L"<empty>", L"<empty>", L"<empty>"},
  };
  for (const auto &c : cases) {
    auto files = WriteE01(image, o);
    ASSERT_EQ(files.size(), 3u);
    for (const auto &[type, nth] : c.Damaged)
      FlipInSection(files, type, nth);
    auto a = OpenE01(files);
    ExpectWholeImage(a, image, c.Name, c.Damaged.empty() ? 0u : kFlagHeaders);
    EXPECT_EQ(a.ArchiveText(0x10000), c.Case) << c.Name;
    EXPECT_EQ(a.ArchiveText(0x10002), c.Description) << c.Name;
    EXPECT_EQ(a.ArchiveText(0x10003), c.Examiner) << c.Name;
    // The set identifier comes from the volume section, whatever became of the headers.
    EXPECT_EQ(a.ArchiveText(0x10006), L"{01020304-0506-0708-090A-0B0C0D0E0F10}") << c.Name;
  }

  // Texts that inflate but are no header (the kinds are told apart by the text tests): skipped
  // alike, the other kind still counts.
  const std::string longNotes(Tvor7zEwfText::kMaxLine + 1, 'n');
  const std::pair<const char *, std::string> texts[] = {
      {"no values line", "1\nmain\nc\tn\n"},
      {"notes over the longest line", "1\nmain\nc\tt\nx\t" + longNotes + "\n"},
  };
  for (const auto &[name, text] : texts) {
    auto bad = Options();
    bad.HeaderText = EwfText(text);
    bad.Header2Text = EwfText16(u"1\nmain\nn\nev 2\n", false);
    auto a = OpenE01(WriteE01(image, bad));
    ExpectWholeImage(a, image, name, kFlagHeaders);
    EXPECT_EQ(a.ArchiveText(0x10000), L"<empty>") << name;
    EXPECT_EQ(a.ArchiveText(kpidComment), L"<empty>") << name;
    EXPECT_EQ(a.ArchiveText(0x10001), L"ev 2") << name;
  }
}

// Stored digests verify the image and locate nothing. One whose section checksum fails is flagged;
// an intact copy in the other kind of section decides, in whichever order they come, and with none
// the damaged one still does.
// Every place that stores a digest of the image counts: hash (MD5), digest (MD5, SHA-1) and xhash
// (MD5, SHA-1 as XML text). Copies that disagree are a headers error and the image fails.
TEST(E01, EveryStoredDigestCopyIsChecked) {
  const auto image = EwfTestImage(2 * kChunk);
  const auto md5 = EwfMD5(image), sha1 = EwfSHA1(image);
  auto wrong = [](std::vector<Byte> v) {
    v[5] ^= 0x20;
    return v;
  };
  auto hex = [](const std::vector<Byte> &v) {
    std::string t;
    for (Byte b : v)
      t += "0123456789ABCDEF"[b >> 4], t += "0123456789abcdef"[b & 15];
    return t;
  };
  auto xhash = [&](const std::vector<Byte> &m, const std::vector<Byte> &s) {
    return "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<xhash>\n\t<MD5>" + hex(m) + "</MD5>\n\t<sha1> " +
           hex(s) + " </sha1>\n</xhash>\n";
  };
  const std::vector<Byte> none;
  struct TCase {
    const char *Name;
    std::vector<Byte> HashMD5, DigestMD5, DigestSHA1;  // empty: no such section
    std::string Xhash;                                 // empty: no xhash section
    UInt32 Flags;
    Int32 Result;
  };
  const TCase cases[] = {
      {"all agree", md5, md5, sha1, xhash(md5, sha1), 0, kOK},
      {"wrong SHA-1 beside a right MD5", md5, md5, wrong(sha1), "", 0, kCRCError},
      {"xhash alone", none, none, none, xhash(md5, sha1), 0, kOK},
      {"xhash with a wrong SHA-1", md5, none, none, xhash(md5, wrong(sha1)), 0, kCRCError},
      {"hash and digest disagree", wrong(md5), md5, sha1, "", kFlagHeaders, kCRCError},
      {"xhash disagrees with digest", none, md5, sha1, xhash(md5, wrong(sha1)), kFlagHeaders, kCRCError},
      {"xhash that is no digest text", md5, none, none, "<xhash><md5>12</md5></xhash>", kFlagHeaders, kOK},
      {"xhash that is no xhash", md5, none, none, "garbage", kFlagHeaders, kOK},
  };
  for (const auto &c : cases) {
    auto o = Options();
    o.Hash = false;
    o.BeforeEnd = [&](TEwfSegmentBuilder &b, UInt32, bool) {
      if (!c.DigestMD5.empty() || !c.DigestSHA1.empty()) {
        const std::vector<Byte> zero(20, 0);
        b.AddSection("digest", EwfDigestPayload(c.DigestMD5.empty() ? zero.data() : c.DigestMD5.data(),
                                                c.DigestSHA1.empty() ? zero.data() : c.DigestSHA1.data()));
      }
      if (!c.HashMD5.empty())
        b.AddSection("hash", EwfHashPayload(c.HashMD5.data()));
      if (!c.Xhash.empty())
        b.AddSection("xhash", EwfDeflate(std::vector<Byte>(c.Xhash.begin(), c.Xhash.end())));
    };
    auto a = OpenE01(WriteE01(image, o));
    ASSERT_EQ(a.Result, S_OK) << c.Name;
    EXPECT_EQ(a.ErrorFlags(), c.Flags) << c.Name;
    EXPECT_EQ(a.Extract(true).OpResult(), c.Result) << c.Name;
  }
}

TEST(E01, DamagedStoredDigestsGiveWayToAnIntactCopy) {
  const auto image = EwfTestImage(3 * kChunk);
  const auto md5 = EwfMD5(image);
  struct TCase {
    const char *Name;
    bool Digest;
    const char *Damaged;
    size_t At;  // payload byte flipped: inside the MD5 unless said otherwise
    Int32 Result;
    bool RightMD5;  // the MD5 shown is the image's
  };
  const TCase cases[] = {
      {"hash damaged, digest intact", true, "hash", 3, kOK, true},
      {"digest damaged, hash intact", true, "digest", 3, kOK, true},
      {"digest's SHA-1 damaged, no other copy", true, "digest", 20, kCRCError, true},
      {"only a hash, damaged", false, "hash", 3, kCRCError, false},
      {"only a hash, its checksum damaged", false, "hash", 33, kOK, true},
  };
  for (const auto &c : cases) {
    auto o = Options();
    o.Digest = c.Digest;
    auto files = WriteE01(image, o);
    TEwfSectionPlace place;
    ASSERT_TRUE(EwfFindSection(files[0].Data, c.Damaged, 0, place)) << c.Name;
    files[0].Data[place.Offset + c.At] ^= 0x04;
    auto a = OpenE01(files);
    ASSERT_EQ(a.Result, S_OK) << c.Name;
    EXPECT_EQ(a.ErrorFlags(), kFlagCRC) << c.Name;
    const void *data = nullptr;
    UInt32 size = 0, type = 0;
    ASSERT_EQ(a.Archive->GetRawProp(0, 0x10000, &data, &size, &type), S_OK);
    ASSERT_EQ(size, 16u) << c.Name;
    EXPECT_EQ(std::memcmp(data, md5.data(), 16) == 0, c.RightMD5) << c.Name;
    auto x = a.Extract(true);
    EXPECT_EQ(x.OpResult(), c.Result) << c.Name;
  }

  // A digest section that does not fit, in the first segment of a set, is flagged and the segments
  // after it are read all the same.
  auto o = Options();
  o.ChunksPerSegment = 1;
  o.BeforeEnd = [](TEwfSegmentBuilder &b, UInt32 index, bool) {
    if (index == 0)
      b.AddSection("digest", std::vector<Byte>(79, 0));
  };
  auto a = OpenE01(WriteE01(image, o));
  ExpectWholeImage(a, image, "short digest in segment 1", kFlagHeaders);
}

// ---- chunk tables read on first use ----

namespace {

// An image of 10,000 chunks of 512 bytes and a short one in three segments: the tables of the first
// two have 5,000 entries and so more than one page of blocks each, and a cache of one page must
// read them again and again.
struct TPagedImage {
  std::vector<Byte> Image = EwfTestImage(10000 * 512 + 300, 9);
  std::vector<TEwfSegmentFile> Files;
  TPagedImage() {
    auto o = Options();
    o.SectorsPerChunk = 1;
    o.ChunksPerSegment = 5000;
    o.Compress = [](UInt32 c) { return c % 7 != 3; };
    Files = WriteE01(Image, o);
  }
  TE01Opened Open(const std::vector<TEwfSegmentFile> &files) const {
    TE01Opened a = OpenE01(files);
    if (a.Result == S_OK)
      a.Archive->Blocks()->SetCacheBlocks(Tvor7zBlocks::kPageBlocks);
    return a;
  }
};

ComPtr<IInStream> ImageStream(TE01Opened &a) {
  ComPtr<ISequentialInStream> s;
  EXPECT_EQ(a.Archive->GetStream(0, s.Put()), S_OK);
  return s ? QueryAs<IInStream>(s.Get(), IID_IInStream) : ComPtr<IInStream>();
}

} // namespace

TEST(E01PagedTables, PagesAreReadAgainAfterOthersPushedThemOut) {
  const TPagedImage p;
  auto a = p.Open(p.Files);
  ASSERT_EQ(a.Result, S_OK);
  EXPECT_EQ(a.ErrorFlags(), 0u);
  const auto *blocks = a.Archive->Blocks();
  ASSERT_EQ(blocks->GetCount(), 10001u);
  ASSERT_EQ(blocks->GetPages().size(), 5u);  // 4,096 + 904 entries of each big table, and the tail
  // Chunk 4,096 ends with the next page's first entry, 4,999 with the next table's.
  for (UInt64 i : {0ull, 4095ull, 4096ull, 4999ull, 5000ull, 9999ull, 10000ull, 17ull}) {
    const Tvor7zBlock_ b = blocks->GetBlock(i);
    EXPECT_EQ(b.Position, i * 512) << i;
    EXPECT_EQ(b.Size, i < 10000 ? 512u : 300u) << i;
    const size_t to = std::min<size_t>(p.Image.size(), (i + 1) * 512);
    const auto plain = Slice(p.Image, i * 512, to);
    EXPECT_EQ(b.StoredSize, i % 7 != 3 ? EwfDeflate(plain).size() : plain.size() + 4) << i;
  }
  const ComPtr<IInStream> in = ImageStream(a);
  ASSERT_TRUE(in);
  EXPECT_EQ(RandomReads(in, p.Image, 1, 400), 0);
  const auto t = a.Extract();
  EXPECT_EQ(t.OpResult(), kOK);
  EXPECT_TRUE(t.Data() == p.Image);
}

TEST(E01PagedTables, DamagedEntriesAreFlaggedAtOpenAndReadOnFirstUse) {
  const TPagedImage p;
  auto files = p.Files;
  TEwfSectionPlace table;
  ASSERT_TRUE(EwfFindSection(files[1].Data, "table", 0, table));
  // Entry 4,500 of the second table points 40 bytes into its chunk; the entries' checksum fails.
  const size_t at = table.Offset + 24 + 4500 * 4;
  EwfPut32(files[1].Data, at, GetUi32(files[1].Data.data() + at) + 40);
  auto a = p.Open(files);
  ASSERT_EQ(a.Result, S_OK);
  EXPECT_EQ(a.ErrorFlags(), kFlagCRC);
  const ComPtr<IInStream> in = ImageStream(a);
  ASSERT_TRUE(in);
  // Chunks on every page read, before and after the damaged one fails.
  EXPECT_EQ(RandomReads(in, Slice(p.Image, 0, 9500 * 512), 2, 100), 0);
  Byte buf[100];
  UInt32 got = 0;
  ASSERT_EQ(in->Seek(9500 * 512, STREAM_SEEK_SET, nullptr), S_OK);
  EXPECT_EQ(in->Read(buf, sizeof(buf), &got), S_FALSE);
  EXPECT_EQ(RandomReads(in, Slice(p.Image, 0, 9500 * 512), 3, 100), 0);
  EXPECT_EQ(a.Extract(true).OpResult(), kDataError);
}

TEST(E01PagedTables, TwoBlockCacheStreamsReadAtOnce) {
  const TPagedImage p;
  auto a = p.Open(p.Files);
  ASSERT_EQ(a.Result, S_OK);
  const ComPtr<IInStream> first = ImageStream(a), second = ImageStream(a);
  ASSERT_TRUE(first && second);
  int bad[2] = {-1, -1};
  std::thread other([&] { bad[1] = RandomReads(second, p.Image, 5, 1500); });
  bad[0] = RandomReads(first, p.Image, 4, 1500);
  other.join();
  EXPECT_EQ(bad[0], 0);
  EXPECT_EQ(bad[1], 0);
}

TEST(E01, ChunksStoredAlikeButForTheirBytesDecodeApart) {
  // Chunks of one repeated byte all deflate to the same number of bytes: a decoder that reuses
  // the chunk before for equal stored bytes must still tell 0x01 from 0x02.
  const std::vector<Byte> values = {1, 1, 2, 2, 1, 3, 3, 1, 1};
  std::vector<Byte> image;
  for (Byte v : values)
    image.insert(image.end(), kChunk, v);
  auto a = OpenE01(WriteE01(image, Options()));
  ASSERT_EQ(a.Result, S_OK);
  ASSERT_EQ(a.Archive->Blocks()->GetBlock(0).StoredSize, a.Archive->Blocks()->GetBlock(2).StoredSize);
  const auto t = a.Extract();
  EXPECT_EQ(t.OpResult(), kOK);
  EXPECT_TRUE(t.Data() == image);
  for (Int32 threads : {1, 2}) {
    ComPtr<TTestOutStream> out(new TTestOutStream());
    Tvor7zE01ArchiveBlocksDecoder decoder;
    EXPECT_EQ(decoder.Decode(a.Archive->Blocks(), a.Archive->JoinedStream(), out, nullptr, threads), kOK);
    EXPECT_TRUE(out->Data == image) << threads;
  }
  const ComPtr<IInStream> in = ImageStream(a);
  ASSERT_TRUE(in);
  EXPECT_EQ(RandomReads(in, image, 6, 300), 0);
}
