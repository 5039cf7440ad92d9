// AFF4 containers: the writer's variants (compressions, maps with symbolic ranges and gaps, striping,
// digests) read back whole and at random places, the damage each check must catch, logical
// containers, and the small parsers (Turtle layouts, dates, names, symbolic streams).
#include <gtest/gtest.h>

#include <random>

#include "ArchiveHarness.h"
#include "fixtures/Aff4Writer.h"
#include "fixtures/TestStreams.h"
#include "formats/aff4/Aff4Archive.h"

using namespace NOperationResult;

namespace {
const TArchiveClassOf<Tvor7zAff4Archive> kAff4Class;

// Zero runs, text and noise in 32 KiB regions, and an odd tail.
std::vector<Byte> MakeImage(size_t size, UInt32 seed = 7) {
  std::mt19937 rng(seed);
  std::vector<Byte> image(size);
  for (size_t i = 0; i < size; i++) {
    const size_t region = (i / 32768) % 3;
    image[i] = region == 0 ? 0 : region == 1 ? static_cast<Byte>('a' + (i / 5) % 26) : static_cast<Byte>(rng());
  }
  return image;
}

using TOpened = TOpenedArchive<Tvor7zAff4Archive>;

TOpened Open(const std::vector<TAff4WrittenFile> &files, const std::string &first = "") {
  return OpenArchive<Tvor7zAff4Archive>(kAff4Class, files, first);
}

// Random reads through the item's stream against the expected bytes.
void ExpectRandomReads(TOpened &o, UInt32 index, const std::vector<Byte> &want) {
  ComPtr<ISequentialInStream> s;
  ASSERT_EQ(o.Archive->GetStream(index, s.Put()), S_OK);
  ASSERT_TRUE(s);
  auto in = QueryAs<IInStream>(s.Get(), IID_IInStream);
  std::mt19937 rng(3);
  for (int k = 0; k < 40 && !want.empty(); k++) {
    const UInt64 at = rng() % want.size();
    std::vector<Byte> got(std::min<size_t>(9000, want.size() - at));
    ASSERT_EQ(in->Seek(static_cast<Int64>(at), STREAM_SEEK_SET, nullptr), S_OK);
    UInt32 n = 0;
    ASSERT_EQ(in->Read(got.data(), static_cast<UInt32>(got.size()), &n), S_OK);
    ASSERT_EQ(n, got.size());
    ASSERT_TRUE(std::equal(got.begin(), got.end(), want.begin() + static_cast<std::ptrdiff_t>(at))) << "at " << at;
  }
}

struct TVariant {
  const char *Name;
  TAff4WriterOptions Options;
  size_t Size;
};

TAff4WriterOptions With(std::function<void(TAff4WriterOptions &)> f) {
  TAff4WriterOptions o;
  f(o);
  return o;
}
}  // namespace

TEST(Aff4, WriterVariantsReadBackWholeAndAtRandom) {
  using C = TAff4WriterCompression;
  const TVariant variants[] = {
      {"snappy", {}, 1 << 20},
      {"lz4 odd size", With([](auto &o) { o.Compression = C::kLz4; }), (1 << 20) + 1234},
      {"deflate small bevies", With([](auto &o) { o.Compression = C::kDeflate; o.ChunksPerBevy = 5; }), 700000},
      {"zlib 4 KiB chunks", With([](auto &o) { o.Compression = C::kZlib; o.ChunkSize = 4096; }), 300000},
      {"stored, zeros stored", With([](auto &o) { o.Compression = C::kStored; o.ZeroChunksSymbolic = false; }), 500000},
      {"symbolic ranges and gaps", With([](auto &o) {
         o.Ranges = {{0, 65536, "FF"}, {131072, 32768 * 40, "UnknownData"}, {32768 * 50, 65536, "UnreadableData"},
                     {32768 * 60, 98304, ""}};
         o.GapStream = "UnknownData";
       }), 3 << 20},
      {"unsorted map", With([](auto &o) { o.UnsortedMap = true; o.Ranges = {{65536, 65536, "Zero"}}; }), 1 << 20},
      {"every digest", With([](auto &o) {
         o.ImageHashes = {"MD5", "SHA1", "SHA256", "SHA512", "Blake2b"};
         o.StreamHashes = {"MD5", "SHA1"};
         o.BlockHashes = {"MD5", "SHA1", "SHA256", "SHA512", "Blake2b"};
         o.BlockMapHash = true;
         o.ChunksPerBevy = 7;
       }), 1 << 20},
      {"striped over three volumes", With([](auto &o) {
         o.Stripes = 3;
         o.BlockHashes = {"MD5"};
         o.StreamHashes = {"SHA1"};
         o.BlockMapHash = true;
       }), (2 << 20) + 99},
      {"memory image", With([](auto &o) { o.MemoryImage = true; }), 100000},
  };
  for (const TVariant &v : variants) {
    SCOPED_TRACE(v.Name);
    std::vector<Byte> want;
    const auto files = WriteAff4(MakeImage(v.Size), v.Options, &want);
    // Any volume of a striped set opens the image.
    TOpened o = Open(files, files.back().Name);
    ASSERT_EQ(o.Result, S_OK);
    EXPECT_EQ(o.ErrorFlags(), 0u);
    ASSERT_EQ(o.Count(), 1u);
    EXPECT_EQ(o.Path(0), HarnessWide(files.back().Name.substr(0, files.back().Name.rfind('.')) +
                                     (v.Options.MemoryImage ? ".ram" : ".img")));
    auto cb = o.ExtractAll();
    EXPECT_EQ(cb->Items[0].Result, kOK);
    EXPECT_TRUE(cb->Items[0].Data() == want);
    ExpectRandomReads(o, 0, want);
  }
}

TEST(Aff4, DamageIsReportedWhereItLies) {
  const std::vector<Byte> image = MakeImage(1 << 20);
  TAff4WriterOptions digests;
  digests.BlockHashes = {"SHA1"};
  digests.StreamHashes = {"MD5"};
  digests.BlockMapHash = true;
  const auto find = [](const std::vector<Byte> &d, const std::string &s) {
    return static_cast<size_t>(std::search(d.begin(), d.end(), s.begin(), s.end()) - d.begin());
  };
  struct TCase {
    const char *Name;
    TAff4WriterOptions Options;
    std::function<void(std::vector<TAff4WrittenFile> &)> Damage;
    Int32 Result;
    UInt32 Flags;
  } cases[] = {
      {"wrong image digest", With([](auto &o) { o.WrongImageHash = true; }), nullptr, kCRCError, 0},
      // A chunk byte: its block hash fails, the stream digest too; the data still comes out.
      {"chunk byte", digests, [&](auto &f) { f[0].Data[find(f[0].Data, "/00000000") + 40 + 20000] ^= 0x40; },
       kCRCError, 0},
      // A byte of a block hash member: the chunk seems wrong, and the block-map hash fails.
      {"block hash byte", digests, [&](auto &f) { f[0].Data[find(f[0].Data, ".blockHash.sha1") + 15 + 20 + 3] ^= 1; },
       kCRCError, 0},
      // The map's target list no longer names the stream (and fails its CRC): its chunks read as missing.
      {"stream gone from the target list", {}, [&](auto &f) { f[0].Data[find(f[0].Data, "-000000000073\n") + 1] = 'X'; },
       kUnexpectedEnd, 1u << kpv_ErrorFlags_UnexpectedEnd | 1u << kpv_ErrorFlags_HeadersError},
      // A map hash of other bytes protects nothing the data needs: flagged when the map is read.
      {"wrong map hash", With([&](auto &o) { o = digests, o.WrongMapHash = true; }), nullptr, kOK,
       1u << kpv_ErrorFlags_HeadersError},
      // Metadata: the turtle is cut short. What it says before the cut is kept.
      {"turtle damaged", {}, [&](auto &f) {
         const size_t at = find(f[0].Data, "information.turtle");
         f[0].Data[at + 18 + 100] ^= 0xFF;  // inside its deflated bytes
       }, -1, 0},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.Name);
    auto files = WriteAff4(image, c.Options);
    if (c.Damage)
      c.Damage(files);
    TOpened o = Open(files);
    if (c.Result < 0) {
      // No image left to list, but the volume opened with its damage flagged.
      EXPECT_NE(o.ErrorFlags() & (1u << kpv_ErrorFlags_HeadersError), 0u);
      continue;
    }
    ASSERT_EQ(o.Result, S_OK);
    EXPECT_EQ(o.ErrorFlags(), c.Flags);
    auto cb = o.ExtractAll(true);
    EXPECT_EQ(cb->Items[0].Result, c.Result);
  }
}

TEST(Aff4, StripedSetWithAVolumeMissing) {
  TAff4WriterOptions o;
  o.Stripes = 2;
  auto files = WriteAff4(MakeImage(1 << 20), o);
  files.pop_back();
  TOpened a = Open(files);
  ASSERT_EQ(a.Result, S_OK);
  EXPECT_NE(a.ErrorFlags() & (1u << kpv_ErrorFlags_UnexpectedEnd), 0u);
  EXPECT_EQ(a.ExtractAll(true)->Items[0].Result, kUnexpectedEnd);
}

TEST(Aff4, LogicalFilesWithTimesAndDigests) {
  const std::vector<TAff4LogicalFile> files = {
      {"docs/a.txt", {'h', 'e', 'l', 'l', 'o'}, true, true},
      {"docs/deep/b.bin", MakeImage(100000), false, false, "2020-01-02T03:04:05Z"},
      {"c.txt", {'x'}, false, false, "2020-01-02T03:04:05Z", true},
  };
  const std::vector<TAff4WrittenFile> volume = {{"logical.aff4", WriteAff4Logical(files)}};
  TOpened o = Open(volume);
  ASSERT_EQ(o.Result, S_OK);
  EXPECT_EQ(o.Paths(), (std::vector<UString>{HostPath("docs"), HostPath("docs\\deep"), HostPath("docs\\a.txt"),
                                              HostPath("docs\\deep\\b.bin"), L"c.txt"}));
  PROPVARIANT t = o.Prop(3, kpidMTime);
  ASSERT_EQ(t.vt, VT_FILETIME);
  UInt64 want = 0;
  PlatformSystemTimeToFileTime(2020, 1, 2, 3, 4, 5, 0, want);
  EXPECT_EQ(static_cast<UInt64>(t.filetime.dwHighDateTime) << 32 | t.filetime.dwLowDateTime, want);
  auto cb = o.ExtractAll();
  EXPECT_EQ(cb->Items[2].Result, kOK);
  EXPECT_TRUE(cb->Items[2].Data() == files[0].Data);
  EXPECT_EQ(cb->Items[3].Result, kOK);
  EXPECT_TRUE(cb->Items[3].Data() == files[1].Data);
  EXPECT_EQ(cb->Items[4].Result, kCRCError);
  ComPtr<ISequentialInStream> s;
  ASSERT_EQ(o.Archive->GetStream(3, s.Put()), S_OK);
  EXPECT_TRUE(HarnessReadAll(s) == files[1].Data);
}

TEST(Aff4, TurtleLayoutsGiveTheSameStatements) {
  const struct {
    const char *Text;
  } layouts[] = {
      {"@prefix aff4: <http://aff4.org/Schema#> .\n<aff4://x/s> aff4:chunkSize \"4096\"^^<http://www.w3.org/2001/XMLSchema#int> ;"
       " aff4:hash \"00\"^^aff4:MD5 , \"11\"^^aff4:SHA1 .\n"},
      {"@base <aff4://x/> .\nPREFIX a: <http://afflib.org/2009/aff4#>\n<s>\n  a:chunk_size 4096 ;\n"
       "  a:hash \"00\"^^a:MD5,\n    \"11\"^^a:SHA1\n  .\n"},
      {"@prefix : <aff4://x/> . @prefix aff4: <http://aff4.org/Schema#> .\n:s aff4:chunkSize '''4096''' ; aff4:hash"
       " \"00\"^^aff4:MD5 . :s aff4:hash \"11\"^^aff4:SHA1 .\n# a comment\n"},
  };
  for (const auto &l : layouts) {
    SCOPED_TRACE(l.Text);
    TAff4Graph g;
    const std::string text = l.Text;
    ComPtr<TTestInStream> s(new TTestInStream(std::vector<Byte>(text.begin(), text.end())));
    g.Parse(s, "aff4://x/");
    EXPECT_EQ(g.Errors, 0u);
    EXPECT_EQ(g.First("aff4://x/s", TAff4Predicate::kChunkSize), "4096");
    const auto hashes = g.Values("aff4://x/s", TAff4Predicate::kHash);
    ASSERT_EQ(hashes.size(), 2u);
    EXPECT_EQ(hashes[0]->Datatype, "aff4:md5");
    EXPECT_EQ(hashes[1]->Text, "11");
  }
  // A broken statement is flagged; the ones around it stay.
  TAff4Graph g;
  const std::string text = "<aff4://x/s> <http://aff4.org/Schema#size> \"1\" .\n<aff4://x/t> <junk .\n"
                           "<aff4://x/u> <http://aff4.org/Schema#size> \"2\" .\n";
  ComPtr<TTestInStream> s(new TTestInStream(std::vector<Byte>(text.begin(), text.end())));
  g.Parse(s, "aff4://x/");
  EXPECT_NE(g.Errors, 0u);
  EXPECT_EQ(g.First("aff4://x/s", TAff4Predicate::kSize), "1");
}

TEST(Aff4, SmallParsers) {
  const struct {
    const char *Text;
    int Year, Month, Day, Hour, Minute, Second;
    UInt64 Extra;  // 100 ns units
  } dates[] = {
      {"2016-12-07T03:40:14.127Z", 2016, 12, 7, 3, 40, 14, 1270000},
      {"2018-09-17T13:42:20+10:00", 2018, 9, 17, 3, 42, 20, 0},
      {"2018-09-17T13:42:20-01:30", 2018, 9, 17, 15, 12, 20, 0},
      {"2018-09-17", 0, 0, 0, 0, 0, 0, 0},
  };
  for (const auto &d : dates) {
    UInt64 want = 0;
    if (d.Year)
      PlatformSystemTimeToFileTime(d.Year, d.Month, d.Day, d.Hour, d.Minute, d.Second, 0, want);
    EXPECT_EQ(ParseAff4DateTime(d.Text), want ? want + d.Extra : 0) << d.Text;
  }
  EXPECT_EQ(Aff4PercentDecode("aff4%3A%2F%2Fab/x%2"), "aff4://ab/x%2");
  EXPECT_EQ(NormalizeAff4Urn("aff4://v/"), "aff4://v");
  std::string pattern;
  ASSERT_TRUE(ParseAff4Symbolic(FoldAff4Iri("http://afflib.org/2012/SymbolicStream#61"), pattern));
  EXPECT_EQ(pattern, "a");
  ASSERT_TRUE(ParseAff4Symbolic("aff4:unknowndata", pattern));
  // The string starts again with each 1 MiB chunk of the stream.
  Byte b[10];
  FillAff4Symbolic(pattern, (1u << 20) - 3, b, sizeof b);
  EXPECT_EQ(std::string(b, b + 10), "NKNUNKNOWN");
}

// The Standard's 9 EB sparse image (skipped without the shared samples): both ends hold 1 MiB of
// 0xFF, the gaps read as zeros, and nothing of its size is allocated.
TEST(Aff4, ExabyteSparseReferenceImage) {
  std::vector<Byte> data;
  for (const char *dir : {"../shared", "../../shared", "/work/shared"}) {
    FILE *f = std::fopen((std::string(dir) + "/samples/aff4/aff4-ReferenceImages/Errata/Base-ExabyteSparse.aff4").c_str(), "rb");
    if (!f)
      continue;
    for (int c; (c = std::fgetc(f)) != EOF;)
      data.push_back(static_cast<Byte>(c));
    std::fclose(f);
    break;
  }
  if (data.empty())
    GTEST_SKIP() << "no shared samples";
  TOpened o = Open({{"Base-ExabyteSparse.aff4", data}});
  ASSERT_EQ(o.Result, S_OK);
  ComPtr<ISequentialInStream> s;
  ASSERT_EQ(o.Archive->GetStream(0, s.Put()), S_OK);
  auto in = QueryAs<IInStream>(s.Get(), IID_IInStream);
  const struct {
    UInt64 At;
    Byte Value;
  } places[] = {{0, 0xFF}, {0x7fffffffffeffe00ull, 0xFF}, {0x7fffffffffeffe00ull - 4096, 0}, {1ull << 40, 0}};
  for (const auto &p : places) {
    std::vector<Byte> got(4096);
    UInt32 n = 0;
    ASSERT_EQ(in->Seek(static_cast<Int64>(p.At), STREAM_SEEK_SET, nullptr), S_OK);
    ASSERT_EQ(in->Read(got.data(), 4096, &n), S_OK);
    ASSERT_EQ(n, 4096u);
    EXPECT_TRUE(std::all_of(got.begin(), got.end(), [&](Byte b) { return b == p.Value; })) << p.At;
  }
}
