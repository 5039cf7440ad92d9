// L01 logical evidence files: the entry tree of the ltree section, item properties, extraction with
// digest checks, streams into the data image, sparse files, and damaged or hostile trees.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "ArchiveHarness.h"
#include "EwfTestSupport.h"
#include "fixtures/L01Writer.h"
#include "fixtures/TestStreams.h"
#include "formats/ewf/L01Archive.h"

namespace {

const TArchiveClassOf<Tvor7zL01Archive> kL01Class;
constexpr UInt32 kHeaders = 1u << kpv_ErrorFlags_HeadersError;

std::vector<Byte> Bytes(size_t size, UInt32 seed) {
  std::mt19937 rng(seed);
  std::vector<Byte> v(size);
  for (size_t i = 0; i < size; i++)
    v[i] = (i / 300) % 2 ? static_cast<Byte>(rng()) : static_cast<Byte>(i / 5);
  return v;
}

constexpr auto File = &L01FileEntry;
constexpr auto Dir = &L01FolderEntry;

// LogicalEntries/{a.bin (2.5 chunks), docs/{b.txt, empty}, c.bin}
TL01Entry Tree() {
  return Dir("LogicalEntries", {File("a.bin", Bytes(80000, 1)),
                                Dir("docs", {File("b.txt", Bytes(5000, 2)), File("empty", {})}),
                                File("c.bin", Bytes(40000, 3))});
}

using TOpened = TOpenedArchive<Tvor7zL01Archive>;

TOpened Open(const std::vector<TEwfSegmentFile> &files, const std::string &first = "") {
  return OpenArchive<Tvor7zL01Archive>(kL01Class, files, first);
}

// A set whose tree text is `entries` (count and values lines) after a minimal preamble, over the
// data image of `root`'s files.
TOpened OpenWithEntries(const std::string &identifiers, const std::string &entries, const TL01Entry &root = Tree(),
                        TL01Options options = {}) {
  options.TreeText = L01Utf16("entry\n2\t1\n" + identifiers + "\n" + entries);
  return Open(WriteL01(root, options));
}

TL01Entry Sparse(TL01Entry e, TL01Entry::TSparse form, const std::string &extentPrefix = "") {
  e.Sparse = form;
  e.ExtentPrefix = extentPrefix;
  return e;
}

ComPtr<IInStream> ItemStream(TOpenedArchive<Tvor7zL01Archive> &o, UInt32 index) {
  ComPtr<ISequentialInStream> s;
  EXPECT_EQ(o.Archive->GetStream(index, s.Put()), S_OK);
  return QueryAs<IInStream>(s.Get(), IID_IInStream);
}


}  // namespace

// Each stored digest of a file is checked, in the one pass that writes it.
TEST(L01Archive, EveryStoredDigestOfAFileIsChecked) {
  TL01Entry root = Tree();
  root.Children[0].StoreSHA1 = true;
  for (const auto &[id, length] : {std::pair<std::string, size_t>{"", 0}, {"ha", 32}, {"sha", 40}}) {
    root.Children[0].Values.clear();
    if (length)
      root.Children[0].Values[id] = std::string(length, 'A');  // a wrong digest beside a right one
    auto cb = Open(WriteL01(root, TL01Options())).ExtractAll(true);
    EXPECT_EQ(cb->Items[1].Result, length ? NOperationResult::kCRCError : NOperationResult::kOK) << id;
  }
}

TEST(L01Archive, EntriesBecomeItemsInTreeOrderAndExtractChecked) {
  TL01Entry root = Tree();
  root.Children[0].StoreSHA1 = true;
  root.Children[0].Attributes = 0x23;
  root.Children[0].ShortName = "8 A~1.BIN";
  root.Children[0].CTime = 1600000000;
  TL01Options options;
  options.ChunksPerSegment = 1;  // one 32 KiB chunk per segment: a set of several files
  const auto files = WriteL01(root, options);
  ASSERT_GT(files.size(), 3u);
  for (const std::string first : {files[0].Name, files[2].Name}) {
    TOpened o = Open(files, first);
    ASSERT_EQ(o.Result, S_OK) << first;
    EXPECT_EQ(o.ErrorFlags(), 0u);
    EXPECT_EQ(o.Paths(), (std::vector<UString>{L"LogicalEntries", HostPath("LogicalEntries\\a.bin"),
                                               HostPath("LogicalEntries\\docs"), HostPath("LogicalEntries\\docs\\b.txt"),
                                               HostPath("LogicalEntries\\docs\\empty"),
                                               HostPath("LogicalEntries\\c.bin")}));
  }
  TOpened o = Open(files);
  EXPECT_EQ(o.Prop(0, kpidIsDir).boolVal, VARIANT_TRUE);
  EXPECT_EQ(o.Prop(0, kpidSize).vt, VT_EMPTY);
  EXPECT_EQ(o.Prop(1, kpidSize).uhVal.QuadPart, 80000u);
  EXPECT_EQ(o.Text(1, kpidCharacts), L"Read Only, Hidden, 00000020");
  EXPECT_EQ(o.Text(1, kpidShortName), L"A~1.BIN");
  const PROPVARIANT c = o.Prop(1, kpidCTime);
  ASSERT_EQ(c.vt, VT_FILETIME);
  EXPECT_EQ(static_cast<UInt64>(c.filetime.dwHighDateTime) << 32 | c.filetime.dwLowDateTime,
            1600000000ull * 10000000 + 116444736000000000ull);
  const void *data = nullptr;
  UInt32 size = 0, type = 0;
  ASSERT_EQ(o.Archive->GetRawProp(1, kpidSha1, &data, &size, &type), S_OK);
  EXPECT_EQ(size, 20u);

  auto cb = o.ExtractAll();
  EXPECT_EQ(cb->Total, 80000u + 5000 + 40000);
  EXPECT_EQ(cb->Items[1].Data(), root.Children[0].Data);
  EXPECT_EQ(cb->Items[3].Data(), root.Children[1].Children[0].Data);
  EXPECT_EQ(cb->Items[5].Data(), root.Children[2].Data);
  for (auto &[index, item] : cb->Items)
    EXPECT_EQ(item.Result, NOperationResult::kOK) << index;

  // The stream of a file is its extent of the data image.
  ComPtr<ISequentialInStream> s;
  o.Archive->GetStream(5, s.Put());
  ASSERT_TRUE(s);
  EXPECT_EQ(HarnessReadAll(s), root.Children[2].Data);
  ComPtr<ISequentialInStream> none;
  o.Archive->GetStream(2, none.Put());
  EXPECT_FALSE(none);
}

TEST(L01Archive, ValuesOfTheTreeText) {
  // Extents in hexadecimal, "p" of any value, names below an unnamed folder, a 31-digit MD5.
  const std::string ids = "n\tls\tbe\tp\tha\tdu";
  const std::string entries = "0\t5\n"
                              "root\t\t0\t1\t\t\n"
                              "0\t0\n"
                              "part\t512\t1 1000 200\t\t\t\n"
                              "0\t0\n"
                              "zero\t0\t0\t\t\t\n"
                              "0\t0\n"
                              "nowhere\t10\t0\t\t\t\n"
                              "0\t1\n"
                              "\t\t\t0\t\t\n"
                              "0\t0\n"
                              "under\t3\t\t\t" + std::string(31, 'A') + "\t2\n"
                              "0\t0\n"
                              "last\t\t\t\t\t\n";
  TL01Entry root = Dir("LogicalEntries", {File("big", Bytes(8000, 7))});
  TOpened o = OpenWithEntries(ids, entries, root);
  ASSERT_EQ(o.Result, S_OK);
  EXPECT_EQ(o.Paths(), (std::vector<UString>{L"root", HostPath("root\\part"), HostPath("root\\zero"),
                                             HostPath("root\\nowhere"), L"", HostPath("\\under"),
                                             HostPath("root\\last")}));
  EXPECT_EQ(o.Prop(4, kpidIsDir).boolVal, VARIANT_TRUE);  // "p" = 0 still makes a folder
  EXPECT_EQ(o.ErrorFlags(), 0u);

  ComPtr<ISequentialInStream> s;
  o.Archive->GetStream(1, s.Put());
  ASSERT_TRUE(s);
  const auto big = root.Children[0].Data;
  EXPECT_EQ(HarnessReadAll(s), std::vector<Byte>(big.begin() + 4096, big.begin() + 4096 + 512));

  auto cb = o.ExtractAll();
  EXPECT_EQ(cb->Items[1].Result, NOperationResult::kOK);
  EXPECT_EQ(cb->Items[2].Result, NOperationResult::kOK);
  EXPECT_TRUE(cb->Items[2].Data().empty());
  EXPECT_EQ(cb->Items[3].Result, NOperationResult::kHeadersError);
  // A duplicate points at other bytes; its short MD5 is no digest, so nothing is compared.
  EXPECT_EQ(cb->Items[5].Result, NOperationResult::kOK);
  EXPECT_EQ(cb->Items[5].Data(), std::vector<Byte>(big.begin() + 2, big.begin() + 5));
}

TEST(L01Archive, DamagedTreesKeepWhatWasReadAndSaySo) {
  // Values lines end with a non-empty "id" field: a line keeps no empty field after its last TAB.
  const std::string ids = "n\tls\tbe\tp\tha\tid";
  const std::string good = "0\t1\nroot\t\t0\t1\t\t1\n0\t0\nfile\t0\t0\t\t\t2\n";
  {  // the tree's digest does not match its text
    TL01Options options;
    options.BreakTreeMD5 = true;
    TOpened o = Open(WriteL01(Tree(), options));
    ASSERT_EQ(o.Result, S_OK);
    EXPECT_EQ(o.Count(), 6u);
    EXPECT_EQ(o.ErrorFlags(), kHeaders);
  }
  {  // the tree's digest or header checksum is wrong in the first segment: the later ones hold the
     // file data and are read all the same
    const TL01Entry root = Tree();
    for (const bool md5 : {true, false}) {
      TL01Options options;
      options.ChunksPerSegment = 1;
      options.TreeInFirstSegment = true;
      options.BreakTreeMD5 = md5;
      options.BreakTreeHeaderChecksum = !md5;
      TOpened o = Open(WriteL01(root, options));
      ASSERT_EQ(o.Result, S_OK) << md5;
      EXPECT_EQ(o.ErrorFlags(), kHeaders) << md5;
      auto cb = o.ExtractAll();
      EXPECT_EQ(cb->Items[5].Data(), root.Children[2].Data) << md5;
      for (auto &[index, item] : cb->Items)
        EXPECT_EQ(item.Result, NOperationResult::kOK) << md5 << " " << index;
    }
  }
  {  // a count line that is no count, after two good entries
    TOpened o = OpenWithEntries(ids, "0\t2\nroot\t\t0\t1\t\t1\n0\t0\nfile\t0\t0\t\t\t2\nx\n");
    ASSERT_EQ(o.Result, S_OK);
    EXPECT_EQ(o.Count(), 2u);
    EXPECT_EQ(o.ErrorFlags() & kHeaders, kHeaders);
  }
  {  // more children announced than written, text after the tree, too few identifiers
    EXPECT_EQ(OpenWithEntries(ids, "0\t4000000000\nroot\t\t0\t1\t\t1\n").ErrorFlags() & kHeaders, kHeaders);
    EXPECT_EQ(OpenWithEntries(ids, good + "junk\n").ErrorFlags() & kHeaders, kHeaders);
    EXPECT_EQ(OpenWithEntries("n\tls", good).ErrorFlags() & kHeaders, kHeaders);
    EXPECT_EQ(OpenWithEntries(ids, good).ErrorFlags(), 0u);
  }
  {  // a line longer than any real one
    TOpened o = OpenWithEntries(ids, "0\t1\n" + std::string(70000, 'n') + "\t\t0\t1\t\t1\n");
    ASSERT_EQ(o.Result, S_OK);
    EXPECT_EQ(o.ErrorFlags() & kHeaders, kHeaders);
  }
  {  // 100,000 nested folders: neither the stack nor the memory of their paths runs out
    std::string deep;
    for (int i = 0; i < 100000; i++)
      deep += "0\t1\nd\t\t0\t1\t\t1\n";
    deep += "0\t0\nf\t0\t0\t\t\t2\n";
    TOpened o = OpenWithEntries(ids, deep);
    ASSERT_EQ(o.Result, S_OK);
    EXPECT_GT(o.Count(), 1000u);
    EXPECT_EQ(o.ErrorFlags() & kHeaders, kHeaders);
  }
}

TEST(L01Archive, WrongDigestsAndBadChunksFailTheirFilesOnly) {
  TL01Entry root = Tree();
  root.Children[2].Values["ha"] = std::string(31, '0') + "1";  // c.bin: a wrong MD5
  TL01Options options;
  TL01Layout layout;
  auto files = WriteL01(root, options, &layout);
  // Damage a.bin's second chunk (bytes 32768..65535 of the data image).
  const TL01Chunk &chunk = layout.Chunks.at(1);
  files[chunk.Segment].Data[chunk.Offset + chunk.Size / 2] ^= 0x5A;
  TOpened o = Open(files);
  ASSERT_EQ(o.Result, S_OK);
  auto cb = o.ExtractAll();
  EXPECT_EQ(cb->Items[1].Result, NOperationResult::kDataError);
  // Everything before the bad chunk was written.
  const auto &a = root.Children[0].Data;
  ASSERT_GE(cb->Items[1].Data().size(), 32768u);
  EXPECT_TRUE(std::equal(a.begin(), a.begin() + 32768, cb->Items[1].Data().begin()));
  EXPECT_EQ(cb->Items[3].Result, NOperationResult::kOK);
  EXPECT_EQ(cb->Items[5].Result, NOperationResult::kCRCError);
  EXPECT_EQ(cb->Items[5].Data(), root.Children[2].Data);
}

// Case metadata locates no file: a damaged header2 or header is flagged, and the tree, which the
// set keeps in its last segment, is still read in full.
TEST(L01Archive, DamagedCaseMetadataKeepsTheWholeTree) {
  const TL01Entry root = Tree();
  TL01Options options;
  options.ChunksPerSegment = 1;
  options.Header2Text = EwfText16(u"3\nmain\nc\tav\nwide\t22.3\n", false);
  options.HeaderText = EwfText("1\nmain\nc\te\nnarrow\texaminer\n");
  for (const char *damaged : {"header2", "header"}) {
    auto files = WriteL01(root, options);
    ASSERT_GT(files.size(), 3u);
    TEwfSectionPlace place;
    ASSERT_TRUE(EwfFindSection(files[0].Data, damaged, 0, place));
    files[0].Data[place.Offset + place.Size / 2] ^= 0x01;
    TOpened o = Open(files);
    ASSERT_EQ(o.Result, S_OK) << damaged;
    EXPECT_EQ(o.ErrorFlags(), kHeaders) << damaged;
    ASSERT_EQ(o.Count(), 6u) << damaged;
    auto cb = o.ExtractAll();
    EXPECT_EQ(cb->Items[1].Data(), root.Children[0].Data) << damaged;
    EXPECT_EQ(cb->Items[5].Data(), root.Children[2].Data) << damaged;
    for (auto &[index, item] : cb->Items)
      EXPECT_EQ(item.Result, NOperationResult::kOK) << damaged << " " << index;
    PROPVARIANT v{};
    ASSERT_EQ(o.Archive->GetArchiveProperty(0x10000, &v), S_OK);
    UString caseName;
    PropVariantToString(v, caseName);
    PropVariantClearValue(v);
    EXPECT_EQ(caseName, std::string(damaged) == "header2" ? L"narrow" : L"wide") << damaged;
  }
}

TEST(L01Archive, StoredChunksAreCheckedEvenWithoutDigests) {
  TL01Entry root = Tree();
  root.Children[0].StoreMD5 = false;
  root.Children[1].Children[0].StoreMD5 = false;
  root.Children[2].StoreMD5 = false;
  TL01Options options;
  options.Compress = [](UInt32) { return false; };
  TL01Layout layout;
  auto files = WriteL01(root, options, &layout);
  {
    TOpened o = Open(files);
    ASSERT_EQ(o.Result, S_OK);
    auto cb = o.ExtractAll(true);
    for (auto &[index, item] : cb->Items)
      EXPECT_EQ(item.Result, NOperationResult::kOK) << index;
  }
  // One byte of the third chunk (the end of a.bin, then b.txt and c.bin's start) changes.
  const TL01Chunk &chunk = layout.Chunks.at(2);
  files[chunk.Segment].Data[chunk.Offset + 20000] ^= 1;
  TOpened o = Open(files);
  ASSERT_EQ(o.Result, S_OK);
  auto cb = o.ExtractAll();
  EXPECT_EQ(cb->Items[1].Result, NOperationResult::kDataError);
  EXPECT_EQ(cb->Items[1].Data().size(), 65536u);  // its first two chunks were fine
  EXPECT_EQ(cb->Items[3].Result, NOperationResult::kDataError);
  EXPECT_EQ(cb->Items[5].Result, NOperationResult::kDataError);
  // Reading the damaged part through a stream fails as well.
  ComPtr<ISequentialInStream> s;
  o.Archive->GetStream(3, s.Put());
  ASSERT_TRUE(s);
  Byte buf[100];
  UInt32 got = 0;
  EXPECT_NE(s->Read(buf, sizeof(buf), &got), S_OK);
}

// Sparse files: one byte repeated (with the type letter "S" before the offset, apart or joined, or
// without it), an extent as long as the file, and a duplicate that holds the data while its single
// byte is ignored. Each extracts whole under its digest and serves reads through its own stream;
// the files stored after them keep their own bytes.
TEST(L01Archive, SparseFilesGiveTheirWholeBytes) {
  using enum TL01Entry::TSparse;
  const TL01Entry a = File("a.bin", Bytes(80000, 1));
  TL01Entry dup = Sparse(a, OneByte);
  dup.Name = "dup";
  dup.DuplicateOf = "LogicalEntries\\a.bin";
  TL01Entry joined = Sparse(File("joined", std::vector<Byte>(5, 0xEE)), OneByte, "S");
  joined.StoreSHA1 = true;
  joined.StoreMD5 = false;
  TL01Entry lettered = Sparse(File("lettered", std::vector<Byte>(3000, 0x11)), OneByte, "S ");
  lettered.Values["opr"] = "";  // the letter alone marks it
  TL01Entry wrongDigest = Sparse(File("wrong", std::vector<Byte>(100, 0x22)), OneByte);
  wrongDigest.Values["ha"] = L01Hex(EwfMD5({0x22}));
  const TL01Entry root =
      Dir("LogicalEntries", {a, Sparse(File("fill", std::vector<Byte>(70000, 0x5A)), OneByte),
                             Sparse(File("whole", Bytes(9000, 4)), WholeExtent), dup, joined, lettered, wrongDigest,
                             File("c.bin", Bytes(40000, 3))});
  TOpened o = Open(WriteL01(root, {}));
  ASSERT_EQ(o.Result, S_OK);
  ASSERT_EQ(o.Count(), 9u);
  EXPECT_EQ(o.ErrorFlags(), 0u);
  EXPECT_EQ(o.Text(2, kpidCharacts), L"04000000");

  auto cb = o.ExtractAll();
  for (UInt32 i = 1; i < 9; i++) {
    EXPECT_EQ(cb->Items[i].Data(), root.Children[i - 1].Data) << i;
    EXPECT_EQ(cb->Items[i].Result, i == 7 ? NOperationResult::kCRCError : NOperationResult::kOK) << i;
  }

  // Streams of several files open at once, read in turns: each keeps its own position.
  std::vector<ComPtr<IInStream>> streams;
  for (UInt32 i = 2; i <= 5; i++) {
    streams.push_back(ItemStream(o, i));
    ASSERT_TRUE(streams.back()) << i;
  }
  std::vector<std::vector<Byte>> read(streams.size());
  for (bool more = true; more;) {
    more = false;
    for (size_t k = 0; k < streams.size(); k++) {
      Byte buf[4099];
      UInt32 got = 0;
      ASSERT_EQ(streams[k]->Read(buf, sizeof(buf), &got), S_OK);
      read[k].insert(read[k].end(), buf, buf + got);
      more = more || got > 0;
    }
  }
  for (size_t k = 0; k < streams.size(); k++)
    EXPECT_EQ(read[k], root.Children[k + 1].Data) << k;
  // Seeking back into the repeated byte; the last bytes of the file.
  Byte tail[5];
  UInt32 got = 0;
  ASSERT_EQ(streams[0]->Seek(69997, STREAM_SEEK_SET, nullptr), S_OK);
  ASSERT_EQ(streams[0]->Read(tail, sizeof(tail), &got), S_OK);
  EXPECT_EQ(std::vector<Byte>(tail, tail + got), std::vector<Byte>(3, 0x5A));
}

// Extent forms in the text: a type letter apart from the offset or joined to it; a hexadecimal
// letter is the offset itself; a letter without an offset is a damaged extent.
TEST(L01Archive, ExtentsWithATypeLetter) {
  const std::string ids = "n\tls\tbe\topr\tid";
  const std::string entries = "0\t4\n"
                              "root\t\t0\t\t1\n"
                              "0\t0\n"
                              "apart\t3000\t1 S 100 1\t\t2\n"
                              "0\t0\n"
                              "joined\t10\t1 s100 1\t67108864\t3\n"
                              "0\t0\n"
                              "hex\t16\t1 A 10\t\t4\n"
                              "0\t0\n"
                              "cut\t4\t1 T\t\t5\n";
  TL01Entry root = Dir("LogicalEntries", {File("big", Bytes(8000, 7))});
  const auto &big = root.Children[0].Data;
  TOpened o = OpenWithEntries(ids, entries, root);
  ASSERT_EQ(o.Result, S_OK);
  ASSERT_EQ(o.Count(), 5u);
  EXPECT_EQ(o.ErrorFlags(), kHeaders);
  auto cb = o.ExtractAll();
  EXPECT_EQ(cb->Items[1].Data(), std::vector<Byte>(3000, big[0x100]));
  EXPECT_EQ(cb->Items[2].Data(), std::vector<Byte>(10, big[0x100]));
  EXPECT_EQ(cb->Items[3].Data(), std::vector<Byte>(big.begin() + 10, big.begin() + 26));
  EXPECT_EQ(cb->Items[4].Result, NOperationResult::kHeadersError);
}

// The one byte of a sparse file in a chunk that does not decode, or past the image's end: that file
// fails, by extraction and by stream, and the others are whole.
TEST(L01Archive, SparseByteThatCannotBeRead) {
  using enum TL01Entry::TSparse;
  TL01Entry lost = Sparse(File("lost", std::vector<Byte>(50, 1)), OneByte);
  lost.Values["be"] = "1 7fffffff00000000 1";
  const TL01Entry root = Dir("LogicalEntries", {File("a.bin", Bytes(40000, 1)),
                                                Sparse(File("fill", std::vector<Byte>(90000, 0x33)), OneByte),
                                                lost, File("c.bin", Bytes(40000, 3))});
  TL01Layout layout;
  auto files = WriteL01(root, {}, &layout);
  const TL01Chunk &chunk = layout.Chunks.at(layout.DataOffsets.at("LogicalEntries\\fill") / 32768);
  files[chunk.Segment].Data[chunk.Offset + chunk.Size / 2] ^= 0x5A;
  TOpened o = Open(files);
  ASSERT_EQ(o.Result, S_OK);
  auto cb = o.ExtractAll();
  EXPECT_EQ(cb->Items[2].Result, NOperationResult::kDataError);
  EXPECT_EQ(cb->Items[3].Result, NOperationResult::kUnexpectedEnd);
  EXPECT_EQ(cb->Items[4].Result, NOperationResult::kDataError);  // c.bin shares the chunk
  Byte buf[10];
  UInt32 got = 0;
  EXPECT_NE(ItemStream(o, 2)->Read(buf, sizeof(buf), &got), S_OK);
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(ItemStream(o, 3)->Read(buf, sizeof(buf), &got), S_OK);
  EXPECT_EQ(got, 0u);
}

// A tree text as EnCase writes it in its newer files: UTF-16LE without a byte-order mark, the
// categories rec, perm, srce and sub before "entry". Its "Secondary FAT" is sparse: one byte
// stored, and a duplicate of the "Primary FAT" bytes, which are the file's.
TEST(L01EntryTree, RealTreeTextWithoutByteOrderMark) {
  const std::vector<Byte> bytes = EwfFragment("single_files.1");
  if (bytes.empty())
    GTEST_SKIP() << "no shared ewf-fragments";
  ComPtr<TTestInStream> s(new TTestInStream(bytes));
  Tvor7zEwfText text(s, false);
  EXPECT_EQ(text.Encoding(), Tvor7zEwfText::kUtf16LE);
  ComPtr<Tvor7zLItems> items(new Tvor7zLItems());
  const TvorLEntryTreeResult tree = ReadLEntryTree(text, *items, bytes.size());
  EXPECT_TRUE(tree.FoundEntry);
  EXPECT_EQ(tree.ErrorFlags, 0u);
  ASSERT_EQ(items->GetItemCount(), 7);
  const struct {
    const wchar_t *Name;
    Int64 Size, Offset, ExtentSize;
  } kExpected[] = {{L"LogicalEntries", 0, -1, 0},
                   {L"LogicalEntries\\Test", 0, 0, 1},  // an empty file, "ls" left out
                   {L"LogicalEntries\\testfile.txt", 20, 1, 0x14},
                   {L"LogicalEntries\\Volume Boot", 4096, 0x15, 0x1000},
                   {L"LogicalEntries\\Primary FAT", 131072, 0x1015, 0x20000},
                   {L"LogicalEntries\\Secondary FAT", 131072, 0x21015, 1},
                   {L"LogicalEntries\\Unallocated Clusters", 261857280, 0x21016, 0xf9ba000}};
  for (Int32 i = 0; i < 7; i++) {
    const Tvor7zLItem &item = *items->GetItem(i);
    EXPECT_EQ(item.Name, kExpected[i].Name) << i;
    EXPECT_EQ(item.Size, kExpected[i].Size) << i;
    EXPECT_EQ(item.DataOffset, kExpected[i].Offset) << i;
    EXPECT_EQ(item.DataSize, kExpected[i].ExtentSize) << i;
    EXPECT_EQ(item.IsDir, i == 0) << i;
  }
  const Tvor7zLItem &testFile = *items->GetItem(2);
  EXPECT_EQ(L01Hex({testFile.MD5, testFile.MD5 + 16}), "5DD39CAB1C53C2C77CD352983F9641E1");
  EXPECT_EQ(testFile.MTime, 1577689816ull * 10000000 + 116444736000000000ull);
  const Tvor7zLItem &secondary = *items->GetItem(5);
  EXPECT_EQ(LItemAttributesText(secondary.Attributes), L"00400000, 04000000");
  EXPECT_EQ(secondary.DuplicateOffset, 0x1015);
  EXPECT_EQ(std::memcmp(secondary.MD5, items->GetItem(4)->MD5, 16), 0);

  std::vector<Byte> image(0x21017);
  for (size_t i = 0; i < image.size(); i++)
    image[i] = static_cast<Byte>(i * 7 + i / 251);
  ComPtr<TTestInStream> imageStream(new TTestInStream(image));
  const ComPtr<IInStream> data = OpenLItemData(secondary, imageStream, true);
  ASSERT_TRUE(data);
  EXPECT_EQ(HarnessReadAll(data), std::vector<Byte>(image.begin() + 0x1015, image.begin() + 0x21015));
}
