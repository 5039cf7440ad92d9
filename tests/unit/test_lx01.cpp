// Lx01 logical evidence files: the single files data section with and without its integrity hash,
// files over the chunked data image for every chunk kind (bzip2 through the real host decoder),
// sparse files and duplicates, random access from streams used in turns, segment names, and damage
// to the tree text (damage to file data is left to the end-to-end test in both hosts).
#include "ArchiveHarness.h"
#include "EwfTestSupport.h"

#include <random>

#include "fixtures/Ewf2Writer.h"
#include "fixtures/HostCodecs.h"
#include "formats/ewf/Lx01Archive.h"

using namespace NOperationResult;

namespace {

const TArchiveClassOf<Tvor7zLx01Archive> kLx01Class;
using TOpened = TOpenedArchive<Tvor7zLx01Archive>;

ComPtr<THostCodecs> HostCodecs() {
  static const ComPtr<THostCodecs> codecs = THostCodecs::Load();
  return codecs;
}

TOpened Open(const std::vector<TEwfSegmentFile> &files, const std::string &first = "") {
  return OpenArchive<Tvor7zLx01Archive>(kLx01Class, files, first, HostCodecs().Get());
}

constexpr auto File = &L01FileEntry;
constexpr auto Dir = &L01FolderEntry;

TL01Entry Sparse(TL01Entry e, TL01Entry::TSparse form) {
  e.Sparse = form;
  return e;
}

// Files across chunk borders, a folder, an empty file, a sparse file of one byte (a run of pattern
// fill chunks), one stored whole, and a duplicate whose one stored byte is not its data.
TL01Entry Tree() {
  using enum TL01Entry::TSparse;
  TL01Entry copy = Sparse(File("copy.bin", EwfTestImage(70000, 4)), OneByte);
  copy.DuplicateOf = "LogicalEntries\\a.bin";
  copy.StoreMD5 = false;
  copy.StoreSHA1 = true;
  return Dir("LogicalEntries", {File("a.bin", EwfTestImage(70000, 4)),
                                Dir("docs", {File("b.txt", EwfTestImage(5000, 2)), File("empty", {})}),
                                Sparse(File("fill", std::vector<Byte>(150000, 0x41)), OneByte),
                                Sparse(File("whole", EwfTestImage(9000, 5)), WholeExtent), copy,
                                File("c.bin", EwfTestImage(40000, 3))});
}

// The files of `root` by path, as the host names them.
void Collect(const TL01Entry &e, const std::string &prefix, std::map<UString, const TL01Entry *> &out) {
  const std::string path = prefix.empty() ? e.Name : prefix + "\\" + e.Name;
  out[HostPath(path)] = &e;
  for (const TL01Entry &c : e.Children)
    Collect(c, path, out);
}

ComPtr<IInStream> ItemStream(TOpened &o, UInt32 index) {
  ComPtr<ISequentialInStream> s;
  EXPECT_EQ(o.Archive->GetStream(index, s.Put()), S_OK);
  return QueryAs<IInStream>(s.Get(), IID_IInStream);
}

// Every file extracts whole with its digest checked, and reads the same through streams that are
// used in turns, each at its own random places.
void ExpectFilesWhole(TOpened &o, const TL01Entry &root) {
  std::map<UString, const TL01Entry *> want;
  Collect(root, "", want);
  ASSERT_EQ(o.Count(), want.size());
  auto cb = o.ExtractAll();
  std::vector<std::pair<ComPtr<IInStream>, const std::vector<Byte> *>> streams;
  for (UInt32 i = 0; i < o.Count(); i++) {
    const TL01Entry &e = *want.at(o.Path(i));
    EXPECT_EQ(cb->Items[i].Result, kOK) << i;
    if (e.IsDir)
      continue;
    EXPECT_EQ(cb->Items[i].Data(), e.Data) << i;
    const ComPtr<IInStream> s = ItemStream(o, i);
    ASSERT_TRUE(s) << i;
    streams.emplace_back(s, &e.Data);
  }
  std::mt19937 rng(3);
  for (int k = 0; k < 200; k++) {
    auto &[s, data] = streams[rng() % streams.size()];
    if (data->empty())
      continue;
    const UInt64 at = rng() % data->size();
    const UInt32 size = 1 + rng() % 40000;
    ASSERT_EQ(s->Seek(static_cast<Int64>(at), STREAM_SEEK_SET, nullptr), S_OK);
    std::vector<Byte> got(size);
    UInt32 done = 0, n = 0;
    while (done < size && s->Read(got.data() + done, size - done, &n) == S_OK && n > 0)
      done += n;
    const size_t expect = std::min<size_t>(size, data->size() - at);
    ASSERT_EQ(done, expect) << at;
    ASSERT_TRUE(std::equal(got.begin(), got.begin() + static_cast<ptrdiff_t>(expect),
                           data->begin() + static_cast<ptrdiff_t>(at)));
  }
}

TLx01Options Options(UInt16 method, TEwf2ChunkKind kind, bool headerless = true) {
  TLx01Options o;
  o.Set.Method = method;
  o.Set.HeaderlessBZip2 = headerless;
  o.Set.Kind = [kind](UInt32) { return kind; };
  o.Set.ChunksPerSegment = 2;
  return o;
}

} // namespace

TEST(Lx01Archive, EveryChunkKindGivesEveryFileWhole) {
  using enum TEwf2ChunkKind;
  const TL01Entry root = Tree();
  struct {
    const char *Name;
    TLx01Options Options;
  } cases[] = {{"deflate", Options(1, Compressed)},
               {"bzip2 blocks", Options(2, Compressed)},
               {"bzip2 streams", Options(2, Compressed, false)},
               {"stored", Options(1, Stored)},
               {"stored without checksum", Options(1, StoredNoChecksum)}};
  for (auto &c : cases) {
    SCOPED_TRACE(c.Name);
    if (c.Options.Set.Method == 2 && !HostCodecs())
      continue;
    const auto files = WriteLx01(root, c.Options);
    ASSERT_EQ(files.size(), 2u);
    TOpened o = Open(files, files[1].Name);
    ASSERT_EQ(o.Result, S_OK);
    EXPECT_EQ(o.ErrorFlags(), 0u);
    ExpectFilesWhole(o, root);
  }
}

// The integrity hash and the tree text locate nothing: damage to them is flagged, the files read on.
TEST(Lx01Archive, SingleFilesSectionWithAndWithoutItsHash) {
  const TL01Entry root = Tree();
  for (const bool hash : {true, false})
    for (const bool mark : {false, true}) {
      TLx01Options options;
      options.IntegrityHash = hash;
      options.ByteOrderMark = mark;
      TOpened o = Open(WriteLx01(root, options));
      ASSERT_EQ(o.Result, S_OK);
      EXPECT_EQ(o.ErrorFlags(), 0u) << hash << mark;
      EXPECT_EQ(o.Count(), 9u);
    }

  TLx01Options wrong;
  wrong.WrongIntegrityHash = true;
  wrong.Set.ChunksPerSegment = 2;
  wrong.TreeInFirstSegment = true;
  TOpened o = Open(WriteLx01(root, wrong));
  EXPECT_EQ(o.ErrorFlags(), kFlagHeaders);
  ExpectFilesWhole(o, root);

  // A byte after the last entry, inside the section: only the hash sees it.
  for (const bool hash : {true, false}) {
    TLx01Options tail;
    tail.IntegrityHash = hash;
    tail.TreeText = L01TreeText(root) + u"\n";
    auto files = WriteLx01(root, tail);
    TOpened intact = Open(files);
    EXPECT_EQ(intact.ErrorFlags(), 0u);
    auto &last = files.back().Data;
    const size_t at = last.size() - 64 /* done */ - 64 /* its descriptor */ - 2;
    ASSERT_EQ(last[at], '\n');
    last[at] = '\r';
    TOpened changed = Open(files);
    EXPECT_EQ(changed.ErrorFlags(), hash ? kFlagHeaders : 0u) << hash;
    EXPECT_EQ(changed.Count(), 9u);
  }
}

TEST(Lx01Archive, DamagedTreeTextsKeepWhatWasRead) {
  const TL01Entry root = Tree();
  const auto open = [&](const std::string &text) {
    TLx01Options o;
    o.TreeText = L01Utf16(text);
    return Open(WriteLx01(root, o));
  };
  TOpened none = open("rec\ntb\n1\n\n");
  EXPECT_EQ(none.Result, S_OK);
  EXPECT_EQ(none.ErrorFlags(), kFlagHeaders);
  EXPECT_EQ(none.Count(), 0u);
  TOpened four = open("entry\n2\t1\np\tn\tls\tbe\n0\t1\tLogicalEntries\t0\t0\n");
  EXPECT_EQ(four.ErrorFlags(), kFlagHeaders);
  EXPECT_EQ(four.Count(), 0u);

  // The text ends before the last entry: the entries before it stay and read whole.
  TLx01Options cut;
  const std::u16string text = L01TreeText(root);
  cut.TreeText = text.substr(0, text.rfind(u'\n', text.find(u"c.bin")) + 1);
  TOpened o = Open(WriteLx01(root, cut));
  EXPECT_EQ(o.ErrorFlags(), kFlagHeaders);
  EXPECT_EQ(o.Count(), 8u);
  auto cb = o.ExtractAll();
  EXPECT_EQ(cb->Items[1].Data(), root.Children[0].Data);
  EXPECT_EQ(cb->Items[7].Data(), root.Children[4].Data);
}

// Section types no reader needs (analytical data, restart data, memory extents ...) pass unflagged.
TEST(Lx01Archive, OtherSectionsAreSkipped) {
  TLx01Options o;
  o.Set.BeforeEnd = [](TEwf2SegmentBuilder &b, UInt32, bool) {
    for (UInt32 type : {0x10u, 0x11u, 0x21u, 0x22u, 0x23u, 0x30u})
      b.AddSection(type, std::vector<Byte>(48, 0x21));
  };
  const TL01Entry root = Tree();
  TOpened opened = Open(WriteLx01(root, o));
  ASSERT_EQ(opened.Result, S_OK);
  EXPECT_EQ(opened.ErrorFlags(), 0u);
  ExpectFilesWhole(opened, root);
}

TEST(Lx01Archive, SegmentNamesGoOnWithLetters) {
  EXPECT_EQ(GetEwf2SegmentExtension(2, L".lx01", L".Lx"), L".lx02");
  EXPECT_EQ(GetEwf2SegmentExtension(99, L".Lx01", L".Lx"), L".Lx99");
  EXPECT_EQ(GetEwf2SegmentExtension(100, L".Lx01", L".Lx"), L".LxAA");
  EXPECT_EQ(GetEwf2SegmentExtension(101, L".lx01", L".Lx"), L".lxab");

  // 101 segments of one chunk each, found by those names.
  TL01Entry root = Dir("LogicalEntries", {File("big", EwfTestImage(101 * 4096 - 100, 9))});
  TLx01Options o;
  o.Set.SectorsPerChunk = 8;
  o.Set.ChunksPerSegment = 1;
  o.Set.Extension = "lx01";
  const auto files = WriteLx01(root, o);
  ASSERT_EQ(files.size(), 101u);
  EXPECT_EQ(files[100].Name, "logical.lxab");
  TOpened opened = Open(files);
  ASSERT_EQ(opened.Result, S_OK);
  EXPECT_EQ(opened.ErrorFlags(), 0u);
  EXPECT_EQ(opened.ExtractAll()->Items[1].Data(), root.Children[0].Data);
}

// The tree text of a real file, in a single files data section with and without its hash.
TEST(Lx01Archive, RealSingleFilesData) {
  const std::vector<Byte> bytes = EwfFragment("single_files.1");
  if (bytes.empty())
    GTEST_SKIP() << "no shared ewf-fragments";
  std::u16string text;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2)
    text += static_cast<char16_t>(bytes[i] | bytes[i + 1] << 8);
  for (const bool hash : {true, false}) {
    TLx01Options o;
    o.TreeText = text;
    o.IntegrityHash = hash;
    TOpened opened = Open(WriteLx01(Tree(), o));
    ASSERT_EQ(opened.Result, S_OK);
    EXPECT_EQ(opened.ErrorFlags(), 0u) << hash;
    ASSERT_EQ(opened.Count(), 7u);
    EXPECT_EQ(opened.Path(2), HostPath("LogicalEntries\\testfile.txt"));
    EXPECT_EQ(opened.Prop(6, kpidSize).uhVal.QuadPart, 261857280u);
    EXPECT_EQ(opened.Text(5, kpidCharacts), L"00400000, 04000000");
  }
}
