// AD1 logical images: date-time text, the item tree and its properties, segment sets, extraction
// with digest checks, random access, and hostile or damaged images.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "ArchiveHarness.h"
#include "fixtures/Ad1Writer.h"
#include "formats/ad1/AD1Archive.h"

namespace {

const TArchiveClassOf<Tvor7zAD1Archive> kAd1Class;
constexpr UInt32 kHeaders = 1u << kpv_ErrorFlags_HeadersError;
constexpr UInt32 kUnexpected = 1u << kpv_ErrorFlags_UnexpectedEnd;

std::vector<Byte> Bytes(size_t size, UInt32 seed) {
  std::mt19937 rng(seed);
  std::vector<Byte> v(size);
  for (size_t i = 0; i < size; i++)
    v[i] = (i / 512) % 2 ? static_cast<Byte>(rng()) : static_cast<Byte>(i / 7);
  return v;
}

const UInt64 kTime = Ad1FileTime(2021, 6, 30, 12, 34, 56, 789);

TAd1Node File(const std::string &name, std::vector<Byte> data, unsigned digests = kAd1MD5) {
  TAd1Node n;
  n.Name = name;
  n.Data = std::move(data);
  n.Meta = Ad1StandardMeta(n, {kTime, kTime + 10000000, kTime + 20000000}, digests);
  return n;
}

TAd1Node Folder(const std::string &name, std::vector<TAd1Node> children) {
  TAd1Node n;
  n.Name = name;
  n.IsFolder = true;
  n.Children = std::move(children);
  n.Meta = Ad1StandardMeta(n, {0, 0, kTime});
  return n;
}

// big.bin (3 chunks of 4 KiB and a tail), docs/{a.txt, empty, sub/deep.txt}, Grüße.txt
std::vector<TAd1Node> Tree() {
  return {File("big.bin", Bytes(3 * 4096 + 100, 1), kAd1BothDigests),
          Folder("docs", {File("a.txt", Bytes(4096, 2)), File("empty", {}),
                          Folder("sub", {File("deep.txt", Bytes(10, 3), kAd1SHA1)})}),
          File("Gr\xC3\xBC\xC3\x9F" "e.txt", Bytes(5000, 4))};
}

using TOpened = TOpenedArchive<Tvor7zAD1Archive>;

TOpened Open(const std::vector<TAd1File> &files, const std::string &first = "") {
  return OpenArchive<Tvor7zAD1Archive>(kAd1Class, files, first);
}

TOpened OpenSpace(const std::vector<Byte> &space, const TAd1Options &options = {}) {
  return Open(Ad1Segments(space, options));
}

void PutUi64(std::vector<Byte> &space, UInt64 position, UInt64 value) {
  for (int i = 0; i < 8; i++)
    space.at(position + i) = static_cast<Byte>(value >> (8 * i));
}

}  // namespace

TEST(AD1DateTime, TextToFileTime) {
  EXPECT_EQ(AD1DateTimeToFileTime("20130415T101530.5"), Ad1FileTime(2013, 4, 15, 10, 15, 30, 500));
  EXPECT_EQ(AD1DateTimeToFileTime("20130415T101530.123456"), Ad1FileTime(2013, 4, 15, 10, 15, 30, 123));
  EXPECT_EQ(AD1DateTimeToFileTime("20130415T101530"), Ad1FileTime(2013, 4, 15, 10, 15, 30));
  EXPECT_EQ(AD1DateTimeToFileTime("20130415"), Ad1FileTime(2013, 4, 15));
  EXPECT_EQ(AD1DateTimeToFileTime("20130415X1015"), Ad1FileTime(2013, 4, 15));
  // An impossible or unreadable time keeps the date; a bad fraction keeps the time.
  EXPECT_EQ(AD1DateTimeToFileTime("20130415T256000"), Ad1FileTime(2013, 4, 15));
  EXPECT_EQ(AD1DateTimeToFileTime("20130415T10x530"), Ad1FileTime(2013, 4, 15));
  EXPECT_EQ(AD1DateTimeToFileTime("20130415T101530.x"), Ad1FileTime(2013, 4, 15, 10, 15, 30));
  EXPECT_EQ(AD1DateTimeToFileTime("20131341"), 0u);
  EXPECT_EQ(AD1DateTimeToFileTime("2013041"), 0u);
  EXPECT_EQ(AD1DateTimeToFileTime(""), 0u);
  EXPECT_EQ(AD1DateTimeToFileTime("2013-04-15"), 0u);
}

TEST(AD1Archive, ListsTheTreeInWalkOrderWithItsProperties) {
  for (UInt32 version : {3u, 4u}) {
    TAd1Options options;
    options.Version = version;
    options.ChunkSize = 4096;
    options.SourceName = "D:\\Quelle \xC3\xA4";
    TOpened o = Open(WriteAd1(Tree(), options));
    ASSERT_EQ(o.Result, S_OK) << version;
    EXPECT_EQ(o.ErrorFlags(), 0u);
    const std::vector<UString> expected = {L"big.bin",  HostPath("docs"), HostPath("docs\\a.txt"),
                                           HostPath("docs\\empty"), HostPath("docs\\sub"),
                                           HostPath("docs\\sub\\deep.txt"), L"Gr\u00FC\u00DFe.txt"};
    EXPECT_EQ(o.Paths(), expected);

    PROPVARIANT v{};
    ASSERT_EQ(o.Archive->GetArchiveProperty(0x10006, &v), S_OK);
    UString source;
    PropVariantToString(v, source);
    PropVariantClearValue(v);
    EXPECT_EQ(source, L"D:\\Quelle \u00E4");

    // Folders: a folder flag, no size, no digests; files: size and times.
    EXPECT_EQ(o.Prop(1, kpidIsDir).boolVal, VARIANT_TRUE);
    EXPECT_EQ(o.Prop(1, kpidSize).vt, VT_EMPTY);
    EXPECT_EQ(o.Prop(0, kpidIsDir).boolVal, VARIANT_FALSE);
    EXPECT_EQ(o.Prop(0, kpidSize).uhVal.QuadPart, 3u * 4096 + 100);
    const PROPVARIANT m = o.Prop(0, kpidMTime), a = o.Prop(0, kpidATime), c = o.Prop(0, kpidCTime);
    ASSERT_EQ(m.vt, VT_FILETIME);
    const auto ticks = [](const PROPVARIANT &p) {
      return static_cast<UInt64>(p.filetime.dwHighDateTime) << 32 | p.filetime.dwLowDateTime;
    };
    EXPECT_EQ(ticks(a), kTime);
    EXPECT_EQ(ticks(c), kTime + 10000000);
    EXPECT_EQ(ticks(m), kTime + 20000000);
    EXPECT_EQ(o.Prop(1, kpidATime).vt, VT_EMPTY);  // the folder has only a modification time

    const void *data = nullptr;
    UInt32 size = 0, type = 0;
    ASSERT_EQ(o.Archive->GetRawProp(0, 0x10000, &data, &size, &type), S_OK);
    EXPECT_EQ(size, 16u);
    ASSERT_EQ(o.Archive->GetRawProp(5, kpidSha1, &data, &size, &type), S_OK);
    EXPECT_EQ(size, 20u);
    data = nullptr;
    ASSERT_EQ(o.Archive->GetRawProp(5, 0x10000, &data, &size, &type), S_OK);
    EXPECT_EQ(data, nullptr);  // deep.txt carries only a SHA-1
    ASSERT_EQ(o.Archive->GetRawProp(1, 0x10000, &data, &size, &type), S_OK);
    EXPECT_EQ(data, nullptr);

    // Every file comes out whole and checked; folders get no stream and pass.
    ComPtr<TTestExtractCallback> cb = o.ExtractAll();
    const auto tree = Tree();
    EXPECT_EQ(cb->Total, tree[0].Data.size() + 4096 + 10 + 5000);
    EXPECT_EQ(cb->Items[0].Data(), tree[0].Data);
    EXPECT_EQ(cb->Items[2].Data(), tree[1].Children[0].Data);
    EXPECT_TRUE(cb->Items[3].GaveStream);
    EXPECT_TRUE(cb->Items[3].Data().empty());
    EXPECT_EQ(cb->Items[5].Data(), tree[1].Children[2].Children[0].Data);
    EXPECT_EQ(cb->Items[6].Data(), tree[2].Data);
    for (auto &[index, item] : cb->Items)
      EXPECT_EQ(item.Result, NOperationResult::kOK) << index;
    EXPECT_TRUE(cb->Items[1].Data().empty());
    EXPECT_EQ(cb->Items[1].PrepareMode, NAskMode::kExtract);
  }
}

TEST(AD1Archive, FolderPathMetadataRenamesTheFolderAndItsContents) {
  auto tree = Tree();
  tree[1].Meta.push_back({1, NAd1Key::kFolderPath, "Root\\Sub\\"});
  // On a file the same key is a headers error and changes nothing.
  tree[2].Meta.push_back({1, NAd1Key::kFolderPath, "Elsewhere"});
  TOpened o = Open(WriteAd1(tree, {}));
  ASSERT_EQ(o.Result, S_OK);
  EXPECT_EQ(o.Path(1), HostPath("Root\\Sub"));
  EXPECT_EQ(o.Path(2), HostPath("Root\\Sub\\a.txt"));
  EXPECT_EQ(o.Path(5), HostPath("Root\\Sub\\sub\\deep.txt"));
  EXPECT_EQ(o.Path(6), L"Gr\u00FC\u00DFe.txt");
  EXPECT_EQ(o.ErrorFlags(), kHeaders);
}

TEST(AD1Archive, SegmentSetsOpenFromAnySegmentAndReportWhatIsMissing) {
  TAd1Options options;
  options.ChunkSize = 4096;
  options.SegmentSize = 4000;
  const auto files = WriteAd1(Tree(), options);
  ASSERT_GE(files.size(), 5u);
  TOpened whole = Open(files);
  ASSERT_EQ(whole.Result, S_OK);
  EXPECT_EQ(whole.ErrorFlags(), 0u);
  const auto paths = whole.Paths();
  ASSERT_EQ(paths.size(), 7u);

  TOpened fromSecond = Open(files, "image.ad2");
  ASSERT_EQ(fromSecond.Result, S_OK);
  EXPECT_EQ(fromSecond.Paths(), paths);
  ASSERT_GE(fromSecond.Callback->Requested.size(), 3u);
  EXPECT_EQ(fromSecond.Callback->Requested[0], L"image.ad1");
  EXPECT_EQ(fromSecond.Callback->Requested[1], L"image.ad2");
  EXPECT_EQ(fromSecond.Callback->Requested[2], L"image.ad3");
  auto tested = fromSecond.ExtractAll(true);
  for (auto &[index, item] : tested->Items)
    EXPECT_EQ(item.Result, NOperationResult::kOK) << index;

  // The last segment missing: what lies before it still extracts, the rest fails, nothing crashes.
  auto cut = files;
  cut.pop_back();
  TOpened partial = Open(cut);
  ASSERT_EQ(partial.Result, S_OK);
  EXPECT_EQ(partial.ErrorFlags(), kUnexpected);
  auto cb = partial.ExtractAll();
  EXPECT_EQ(cb->Items[0].Result, NOperationResult::kOK);
  const Int32 last = cb->Items[partial.Count() - 1].Result;
  EXPECT_TRUE(last == NOperationResult::kUnexpectedEnd || last == NOperationResult::kDataError ||
              last == NOperationResult::kHeadersError)
      << last;

  // Segment 1 under another name stands alone and says so.
  auto renamed = files;
  renamed[0].Name = "image.bin";
  TOpened alone = Open(renamed);
  ASSERT_EQ(alone.Result, S_OK);
  EXPECT_EQ(alone.ErrorFlags() & kHeaders, kHeaders);
  EXPECT_EQ(alone.Callback->Requested.size(), 0u);

  // Opened from a later segment whose first one is missing: an error, not an empty image.
  auto headless = files;
  headless.erase(headless.begin());
  TOpened none = Open(headless, "image.ad3");
  ASSERT_EQ(none.Result, S_OK);
  EXPECT_EQ(none.Count(), 0u);
  EXPECT_EQ(none.ErrorFlags(), kUnexpected);

  // A later segment of another set (other segment size) is not joined.
  auto mixed = files;
  mixed[2].Data[32] ^= 1;  // its segment size
  TOpened foreign = Open(mixed);
  ASSERT_EQ(foreign.Result, S_OK);
  EXPECT_EQ(foreign.ErrorFlags() & kHeaders, kHeaders);
}

TEST(AD1Archive, DigestsAndDamagedChunksGiveTheirResultsPerFile) {
  auto tree = Tree();
  tree[0].Meta.back().Value = std::string(40, '0') + "1";  // big.bin: a wrong SHA-1 beside its MD5
  tree[0].Meta.back().Value.resize(40);
  tree[0].Meta.back().Value[39] = '1';
  tree[2].Meta.back().Value = std::string(31, 'a') + "b";   // Grüße.txt: a wrong MD5
  tree[1].Children[2].Children[0].Meta.back().Value = std::string(39, 'c') + "d";  // deep.txt: wrong SHA-1
  TAd1Options options;
  options.ChunkSize = 4096;
  TAd1Layout layout;
  auto space = Ad1DataSpace(tree, options, &layout);
  // docs\a.txt: a byte in the middle of its only chunk.
  const auto &p = layout.ChunkPositions.at("docs\\a.txt");
  space[(p[0] + p[1]) / 2] ^= 0x55;
  TOpened o = OpenSpace(space, options);
  ASSERT_EQ(o.Result, S_OK);
  auto cb = o.ExtractAll();
  EXPECT_EQ(cb->Items[0].Result, NOperationResult::kCRCError);  // its right MD5 does not hide it
  EXPECT_EQ(cb->Items[2].Result, NOperationResult::kDataError);
  EXPECT_EQ(cb->Items[3].Result, NOperationResult::kOK);
  EXPECT_EQ(cb->Items[5].Result, NOperationResult::kCRCError);
  EXPECT_EQ(cb->Items[6].Result, NOperationResult::kCRCError);
  EXPECT_EQ(cb->Items[6].Data(), tree[2].Data);  // written before the digest failed
}

TEST(AD1Archive, StreamsReadFilesAtAnyOffset) {
  TAd1Options options;
  options.ChunkSize = 4096;
  options.SegmentSize = 5000;
  TOpened o = Open(WriteAd1(Tree(), options));
  ASSERT_EQ(o.Result, S_OK);
  const auto data = Tree()[0].Data;
  ComPtr<ISequentialInStream> s;
  ASSERT_EQ(o.Archive->GetStream(0, s.Put()), S_OK);
  ASSERT_TRUE(s);
  EXPECT_EQ(HarnessReadAll(s), data);
  auto in = QueryAs<IInStream>(s.Get(), IID_IInStream);
  ASSERT_TRUE(in);
  std::mt19937 rng(5);
  for (int i = 0; i < 300; i++) {
    const UInt64 at = rng() % (data.size() + 10), want = rng() % 9000;
    ASSERT_EQ(in->Seek(static_cast<Int64>(at), STREAM_SEEK_SET, nullptr), S_OK);
    std::vector<Byte> got(want);
    size_t n = 0;
    ReadStream(in, got.data(), got.size(), &n);
    const size_t expect = at >= data.size() ? 0 : std::min<size_t>(want, data.size() - at);
    ASSERT_EQ(n, expect) << at << " " << want;
    ASSERT_TRUE(std::equal(got.begin(), got.begin() + static_cast<ptrdiff_t>(n), data.begin() + static_cast<ptrdiff_t>(std::min<UInt64>(at, data.size()))));
  }
  // Folders and empty files have no stream.
  ComPtr<ISequentialInStream> none;
  o.Archive->GetStream(1, none.Put());
  EXPECT_FALSE(none);
  o.Archive->GetStream(3, none.Put());
  EXPECT_FALSE(none);
}

TEST(AD1Archive, ChunkTablesLongerThanAPageReadAsTheyAreNeeded) {
  // 9,000 chunks of 512 bytes: the file's positions are read a few pages at a time.
  const auto data = Bytes(9000 * 512 + 77, 11);
  TAd1Options options;
  options.ChunkSize = 512;
  TOpened o = Open(WriteAd1({File("long.bin", data)}, options));
  ASSERT_EQ(o.Result, S_OK);
  ComPtr<ISequentialInStream> s;
  ASSERT_EQ(o.Archive->GetStream(0, s.Put()), S_OK);
  auto in = QueryAs<IInStream>(s.Get(), IID_IInStream);
  ASSERT_TRUE(in);
  std::mt19937 rng(3);
  for (int i = 0; i < 200; i++) {
    const UInt64 at = rng() % data.size();
    std::vector<Byte> got(1 + rng() % 2000);
    size_t n = 0;
    ASSERT_EQ(in->Seek(static_cast<Int64>(at), STREAM_SEEK_SET, nullptr), S_OK);
    ReadStream(in, got.data(), got.size(), &n);
    ASSERT_EQ(n, std::min<size_t>(got.size(), data.size() - at));
    ASSERT_TRUE(std::equal(got.begin(), got.begin() + static_cast<ptrdiff_t>(n), data.begin() + static_cast<ptrdiff_t>(at)));
  }
  auto cb = o.ExtractAll();
  EXPECT_EQ(cb->Items[0].Result, NOperationResult::kOK);
  EXPECT_EQ(cb->Items[0].Data(), data);
}

TEST(AD1Archive, HostileTreesEndWithAFlagInsteadOfLoopingOrExhaustingMemory) {
  TAd1Layout layout;
  auto space = Ad1DataSpace(Tree(), {}, &layout);
  const UInt64 docs = layout.ItemPositions.at("docs");
  const UInt64 deep = layout.ItemPositions.at("docs\\sub\\deep.txt");

  {  // deep.txt's next points back at its grandparent: the walk must not go round for ever
    auto s = space;
    PutUi64(s, deep, docs);
    TOpened o = OpenSpace(s);
    ASSERT_EQ(o.Result, S_OK);
    EXPECT_EQ(o.Count(), 7u);
    EXPECT_EQ(o.ErrorFlags() & kHeaders, kHeaders);
  }
  {  // a folder that is its own first child
    auto s = space;
    PutUi64(s, docs + 8, docs);
    TOpened o = OpenSpace(s);
    ASSERT_EQ(o.Result, S_OK);
    EXPECT_EQ(o.ErrorFlags() & kHeaders, kHeaders);
  }
  {  // a chunk count far beyond the file: no allocation of it, a headers error for that file only
    auto s = space;
    PutUi64(s, layout.ChunkTablePositions.at("big.bin"), UInt64(1) << 60);
    TOpened o = OpenSpace(s);
    ASSERT_EQ(o.Result, S_OK);
    auto cb = o.ExtractAll();
    EXPECT_EQ(cb->Items[0].Result, NOperationResult::kHeadersError);
    EXPECT_EQ(cb->Items[2].Result, NOperationResult::kOK);
    ComPtr<ISequentialInStream> none;
    o.Archive->GetStream(0, none.Put());
    EXPECT_FALSE(none);
  }
  {  // the data ends inside the last record: no unnamed empty item for it
    const UInt64 last = layout.ItemPositions.at("Gr\xC3\xBC\xC3\x9F" "e.txt");
    TOpened o = OpenSpace(std::vector<Byte>(space.begin(), space.begin() + static_cast<ptrdiff_t>(last + 20)));
    ASSERT_EQ(o.Result, S_OK);
    EXPECT_EQ(o.Count(), 6u);
    EXPECT_EQ(o.ErrorFlags(), kUnexpected);
  }
  {  // an unknown item type: the item stays, empty, and its level ends
    auto s = space;
    s[layout.ItemPositions.at("docs\\a.txt") + 40] = 9;
    TOpened o = OpenSpace(s);
    ASSERT_EQ(o.Result, S_OK);
    EXPECT_EQ(o.Paths(), (std::vector<UString>{L"big.bin", HostPath("docs"), L"", L"Gr\u00FC\u00DFe.txt"}));
    EXPECT_EQ(o.ErrorFlags(), kHeaders);
  }
}

TEST(AD1Archive, DeepNestingExhaustsNeitherStackNorMemory) {
  // 200,000 folders, each the first child of the one before.
  constexpr UInt64 kDepth = 200000;
  std::vector<Byte> space(48 + 1);
  std::memcpy(space.data(), "ADLOGICALIMAGE\0\0", 16);
  space[16] = 3;
  space[24] = 0x00, space[25] = 0x10;  // chunk size 4096
  space[36] = 49;                      // first item
  const UInt64 meta = space.size();
  space.resize(space.size() + 20 + 8);
  space[meta + 12] = 9;  // a modification time
  space[meta + 16] = 8;
  std::memcpy(&space[meta + 20], "20200101", 8);
  const UInt64 first = space.size();
  space.resize(first + kDepth * 49);
  space[36] = static_cast<Byte>(first), space[37] = static_cast<Byte>(first >> 8);
  for (UInt64 i = 0; i < kDepth; i++) {
    const UInt64 at = first + i * 49;
    PutUi64(space, at + 8, i + 1 < kDepth ? at + 49 : 0);
    PutUi64(space, at + 16, meta);
    space[at + 40] = 5;
    space[at + 44] = 1;
    space[at + 48] = 'd';
  }
  TOpened o = OpenSpace(space);
  ASSERT_EQ(o.Result, S_OK);
  // Each level's path repeats all above it: the walk stops once the paths outgrow the image, long
  // before the tree's end, and says so.
  EXPECT_GT(o.Count(), 1000u);
  EXPECT_LT(o.Count(), kDepth);
  EXPECT_EQ(o.ErrorFlags(), kHeaders);
  EXPECT_EQ(o.Path(2), HostPath("d\\d\\d"));
}

TEST(AD1Archive, CutOrFlippedImagesNeverCrash) {
  TAd1Options options;
  options.ChunkSize = 4096;
  const auto space = Ad1DataSpace(Tree(), options);
  std::mt19937 rng(9);
  for (size_t cut = 0; cut < space.size(); cut += 1 + cut / 8) {
    std::vector<Byte> s(space.begin(), space.begin() + static_cast<ptrdiff_t>(cut));
    if (rng() % 2 && !s.empty())
      s[rng() % s.size()] ^= static_cast<Byte>(1 + rng() % 255);
    TOpened o = OpenSpace(s.empty() ? std::vector<Byte>(1) : s, options);
    if (o.Result != S_OK)
      continue;
    o.ExtractAll();
    for (UInt32 i = 0; i < o.Count(); i++) {
      ComPtr<ISequentialInStream> st;
      if (o.Archive->GetStream(i, st.Put()) == S_OK && st)
        HarnessReadAll(st);
    }
  }
}

TEST(AD1Archive, NotAnImageAndAnEmptyImage) {
  auto space = Ad1DataSpace({}, {});
  TOpened empty = OpenSpace(space);
  ASSERT_EQ(empty.Result, S_OK);
  EXPECT_EQ(empty.Count(), 0u);
  auto cb = empty.ExtractAll();
  EXPECT_TRUE(cb->TotalSet);
  EXPECT_EQ(cb->Total, 0u);

  space[16] = 5;  // an unknown version
  EXPECT_EQ(OpenSpace(space).Result, S_FALSE);
  auto files = WriteAd1(Tree(), {});
  files[0].Data[3] = 'x';
  EXPECT_EQ(Open(files).Result, S_FALSE);
}

// The logical image starts with the name and two zero bytes; all sixteen are compared, and the
// constant holds all sixteen (a shorter one was read past its end).
TEST(AD1Archive, LogicalImageSignatureIsTheNameAndTwoZeroBytes) {
  static const Byte expected[] = "ADLOGICALIMAGE\0";
  ASSERT_EQ(NAD1Layout::kImageSignatureSize, sizeof(expected));
  ASSERT_EQ(sizeof(NAD1Layout::kImageSignature), NAD1Layout::kImageSignatureSize);
  EXPECT_EQ(std::memcmp(NAD1Layout::kImageSignature, expected, NAD1Layout::kImageSignatureSize), 0);

  const auto space = Ad1DataSpace(Tree(), {});
  EXPECT_EQ(OpenSpace(space).Result, S_OK);
  for (size_t at : {0u, 13u, 14u, 15u}) {
    auto bad = space;
    bad[at] ^= 0x20;
    EXPECT_EQ(OpenSpace(bad).Result, S_FALSE) << "byte " << at;
  }
}
