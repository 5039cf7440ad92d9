// Writes the seed corpus of the fuzz targets with the test writers: small sound containers of each
// format, one file per seed for fuzz_<format> and the same sets split into volumes (the framing of
// tests/fuzz/FuzzVolumes.h) for fuzz_<format>_multi.
//   fuzz_seeds tests/fuzz/seeds
#include <sys/stat.h>

#include <cstdio>
#include <exception>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "fixtures/AdCryptWriter.h"
#include "fixtures/Ad1Writer.h"
#include "fixtures/Aff4Writer.h"
#include "fixtures/AffWriter.h"
#include "fixtures/Ewf2Writer.h"
#include "fixtures/EwfWriter.h"
#include "fixtures/L01Writer.h"
#include "fixtures/WhxWriter.h"
#include "fuzz/FuzzVolumes.h"

namespace {

std::string gRoot;

// Half runs of text-like bytes, half noise: compressible enough to stay small, varied enough to
// give the decoders something to do.
std::vector<Byte> Bytes(size_t size, UInt32 seed) {
  std::mt19937 rng(seed);
  std::vector<Byte> v(size);
  for (size_t i = 0; i < size; i++)
    v[i] = (i / 256) % 4 == 3 ? static_cast<Byte>(rng()) : static_cast<Byte>('a' + (i / 3) % 26);
  return v;
}

void Put(const std::string &target, const std::string &name, const std::vector<Byte> &data) {
  const std::string folder = gRoot + "/" + target;
  ::mkdir(gRoot.c_str(), 0755);
  ::mkdir(folder.c_str(), 0755);
  const std::string path = folder + "/" + name;
  std::FILE *f = std::fopen(path.c_str(), "wb");
  if (!f || std::fwrite(data.data(), 1, data.size(), f) != data.size() || std::fclose(f) != 0)
    throw std::runtime_error("cannot write " + path);
  std::cout << path << " (" << data.size() << " bytes)\n";
}

template <class TFile>
std::vector<std::vector<Byte>> Contents(const std::vector<TFile> &files) {
  std::vector<std::vector<Byte>> r;
  for (const auto &f : files)
    r.push_back(f.Data);
  return r;
}

// A set as one input of the multi-volume target; at most 4 files fit the framing.
template <class TFile>
void PutSet(const std::string &target, const std::string &name, const std::vector<TFile> &files,
            bool laterFirst = false) {
  auto contents = Contents(files);
  if (contents.size() > 4)
    throw std::runtime_error(name + ": more than 4 volumes");
  if (laterFirst)
    std::swap(contents[0], contents[1]);
  Put(target + "_multi", name, FuzzJoinVolumes(contents, laterFirst));
}

void E01Seeds() {
  const std::vector<Byte> image = Bytes(3 * 2048 + 512, 1);
  TEwfWriterOptions o;
  o.SectorsPerChunk = 4;
  o.Compress = [](UInt32 i) { return i % 2 == 0; };
  o.HeaderText = EwfText("1\nmain\nc\tn\ta\te\tt\tm\tu\tav\tov\n"
                         "case\tev\tdesc\texaminer\tnotes\t2020 2 29 23 59 58\t0\t7.1\tLinux\n");
  o.Header2Text = EwfText16(u"1\nmain\nc\tmd\tsn\tl\n\tModel\tSN-1\tLabel\n", false);
  o.Digest = true;
  Put("fuzz_e01", "large_volume.E01", WriteE01(image, o)[0].Data);

  // A multi-session disc: listed as a .bin image with its cue sheet.
  TEwfWriterOptions d = o;
  d.MediaType = 0x03;
  d.SectorsPerChunk = 16;
  d.Sessions = {16, 24};
  Put("fuzz_e01", "optical_sessions.E01", WriteE01(Bytes(32 * 512, 6), d)[0].Data);

  TEwfWriterOptions s = o;
  s.LargeVolume = false;
  s.Digest = false;
  s.Sessions.clear();
  s.HeaderText.clear();
  Put("fuzz_e01", "small_volume_odd_size.E01", WriteE01(Bytes(2048 + 700, 2), s)[0].Data);

  TEwfWriterOptions m = o;
  m.ChunksPerSegment = 1;
  const auto set = WriteE01(image, m);
  PutSet("fuzz_e01", "four_segments", set);
  PutSet("fuzz_e01", "four_segments_from_second", set, true);
}

void Ex01Seeds() {
  std::vector<Byte> image = Bytes(6 * 2048 + 512, 7);
  for (size_t i = 2048; i < 2 * 2048; i++)
    image[i] = static_cast<Byte>(0xA0 + i % 8);  // a pattern-fill chunk
  TEwf2WriterOptions o;
  o.SectorsPerChunk = 4;
  o.Kind = [](UInt32 i) { return i % 3 == 0 ? TEwf2ChunkKind::Compressed : i % 3 == 1 ? TEwf2ChunkKind::Stored : TEwf2ChunkKind::StoredNoChecksum; };
  Put("fuzz_ex01", "deflate_all_kinds.Ex01", WriteEx01(image, o)[0].Data);
  TEwf2WriterOptions b = o;
  b.Method = 2;
  b.Kind = nullptr;
  Put("fuzz_ex01", "bzip2_headerless.Ex01", WriteEx01(image, b)[0].Data);
  b.HeaderlessBZip2 = false;
  Put("fuzz_ex01", "bzip2_streams.Ex01", WriteEx01(image, b)[0].Data);
  TEwf2WriterOptions d = o;
  d.DeviceType = "c";
  d.SectorsPerChunk = 16;
  d.Sessions = {16, 24};
  d.PadTexts = false;
  Put("fuzz_ex01", "optical_sessions.Ex01", WriteEx01(Bytes(32 * 512, 6), d)[0].Data);

  TEwf2WriterOptions m = o;
  m.ChunksPerSegment = 2;
  const auto set = WriteEx01(image, m);
  PutSet("fuzz_ex01", "four_segments", set);
  PutSet("fuzz_ex01", "four_segments_from_second", set, true);
}

TL01Entry L01File(const std::string &name, std::vector<Byte> data) {
  TL01Entry e;
  e.Name = name;
  e.Data = std::move(data);
  e.MTime = 1717550268;
  e.StoreSHA1 = true;
  return e;
}

// The same tree as an Lx01 set: every chunk kind, bzip2 in both forms, the tree text with and
// without its hash and byte-order mark, several segments.
void Lx01Seeds(const TL01Entry &root) {
  TLx01Options o;
  o.Set.SectorsPerChunk = 4;
  o.Set.Kind = [](UInt32 i) {
    return i % 3 == 0 ? TEwf2ChunkKind::Compressed : i % 3 == 1 ? TEwf2ChunkKind::Stored : TEwf2ChunkKind::StoredNoChecksum;
  };
  Put("fuzz_lx01", "tree.Lx01", WriteLx01(root, o)[0].Data);
  TLx01Options b = o;
  b.Set.Method = 2;
  b.Set.Kind = nullptr;
  b.IntegrityHash = false;
  Put("fuzz_lx01", "bzip2_headerless_no_hash.Lx01", WriteLx01(root, b)[0].Data);
  b.Set.HeaderlessBZip2 = false;
  b.ByteOrderMark = true;
  Put("fuzz_lx01", "bzip2_streams_marked.Lx01", WriteLx01(root, b)[0].Data);

  TLx01Options m = o;
  m.Set.ChunksPerSegment = 2;
  PutSet("fuzz_lx01", "segments", WriteLx01(root, m));
  m.TreeInFirstSegment = true;
  PutSet("fuzz_lx01", "tree_in_first_segment_from_second", WriteLx01(root, m), true);
}

void L01Seeds() {
  TL01Entry root;
  root.Name = "LogicalEntries";
  root.IsDir = true;
  TL01Entry docs;
  docs.Name = "docs";
  docs.IsDir = true;
  docs.Children = {L01File("b.txt", Bytes(1500, 2)), L01File("empty", {})};
  root.Children = {L01File("a.bin", Bytes(5000, 1)), docs, L01File("c.bin", Bytes(700, 3))};

  TL01Options o;
  o.SectorsPerChunk = 4;
  o.Compress = [](UInt32 i) { return i % 3 != 1; };
  o.Header2Text = EwfText16(u"1\nmain\nc\tn\ta\te\tt\n1\tcase\tev\tdesc\texaminer\tnotes\n", false);
  Put("fuzz_l01", "tree.L01", WriteL01(root, o)[0].Data);

  TL01Options m = o;
  m.ChunksPerSegment = 1;
  PutSet("fuzz_l01", "four_segments", WriteL01(root, m));
  m.TreeInFirstSegment = true;
  PutSet("fuzz_l01", "tree_in_first_segment_from_second", WriteL01(root, m), true);

  // Sparse files in every form: one byte repeated (with and without a type letter), stored whole,
  // and a duplicate of a.bin.
  TL01Entry fill = L01File("fill", std::vector<Byte>(3000, 0x41));
  fill.Sparse = TL01Entry::TSparse::OneByte;
  TL01Entry typed = L01File("typed", std::vector<Byte>(900, 0x42));
  typed.Sparse = TL01Entry::TSparse::OneByte;
  typed.ExtentPrefix = "S ";
  TL01Entry whole = L01File("whole", Bytes(800, 4));
  whole.Sparse = TL01Entry::TSparse::WholeExtent;
  TL01Entry dup = L01File("dup", Bytes(5000, 1));
  dup.Sparse = TL01Entry::TSparse::OneByte;
  dup.DuplicateOf = "LogicalEntries\\a.bin";
  TL01Entry sparse = root;
  sparse.Children = {root.Children[0], fill, typed, whole, dup, root.Children[2]};
  Put("fuzz_l01", "sparse.L01", WriteL01(sparse, o)[0].Data);
  Lx01Seeds(sparse);
}

TAd1Node Ad1File(const std::string &name, std::vector<Byte> data, unsigned digests) {
  TAd1Node n;
  n.Name = name;
  n.Data = std::move(data);
  const UInt64 t = Ad1FileTime(2021, 6, 30, 12, 34, 56, 789);
  n.Meta = Ad1StandardMeta(n, {t, t, t}, digests);
  return n;
}

void Ad1Seeds() {
  TAd1Node docs;
  docs.Name = "docs";
  docs.IsFolder = true;
  docs.Children = {Ad1File("a.txt", Bytes(900, 2), kAd1MD5), Ad1File("empty", {}, kAd1SHA1)};
  docs.Meta = Ad1StandardMeta(docs, {0, 0, Ad1FileTime(2020, 1, 2)});
  docs.Meta.push_back({1, NAd1Key::kFolderPath, "C:\\evidence\\docs\\"});
  const std::vector<TAd1Node> tree = {Ad1File("big.bin", Bytes(3 * 1024 + 100, 1), kAd1BothDigests), docs};

  TAd1Options o;
  o.ChunkSize = 1024;
  Put("fuzz_ad1", "v3.ad1", WriteAd1(tree, o)[0].Data);
  o.Version = 4;
  Put("fuzz_ad1", "v4.ad1", WriteAd1(tree, o)[0].Data);

  TAd1Options m;
  m.ChunkSize = 1024;
  m.DataOffset = 64;
  m.SegmentSize = 1200;
  const auto set = WriteAd1(tree, m);
  PutSet("fuzz_ad1", "three_segments", set);
  PutSet("fuzz_ad1", "three_segments_from_second", set, true);
}

void AffSeeds() {
  const std::vector<Byte> image = Bytes(4 * 1024, 4);
  TAffImageOptions o;
  o.PageSize = 1024;
  o.Sha1 = true;
  o.Texts = {{"case_num", "case"}, {"acquisition_date", "2020-02-29 23:59:58"}, {"device_sn", "SN-1"}};
  const struct {
    TAffCompression Compression;
    const char *Name;
  } kinds[] = {{TAffCompression::kZlib, "zlib.aff"},
               {TAffCompression::kStored, "stored.aff"},
               {TAffCompression::kBZip2, "bzip2.aff"},
               {TAffCompression::kLzma, "lzma.aff"}};
  for (const auto &k : kinds) {
    TAffImageOptions ko = o;
    ko.Compression = k.Compression;
    Put("fuzz_aff", k.Name, WriteAff(image, ko)[0].Data);
  }
  std::vector<Byte> sparse(3 * 1024, 0);
  sparse.insert(sparse.end(), image.begin(), image.begin() + 1000);
  TAffImageOptions z = o;
  z.SkipPages = {1};
  Put("fuzz_aff", "zero_and_missing_pages.aff", WriteAff(sparse, z)[0].Data);

  TAffImageOptions m = o;
  m.Compression = TAffCompression::kStored;
  m.MaxFileSize = 2000;
  m.Name = "image.aff";
  PutSet("fuzz_aff", "three_files", WriteAff(image, m));
}

// The encrypted forms, with the password the crypt targets give ("password").
void CryptSeeds() {
  const std::vector<Byte> image = Bytes(4 * 1024, 8);
  TAffImageOptions o;
  o.PageSize = 1024;
  o.Passphrase = "password";
  Put("fuzz_aff_crypt", "zlib.aff", WriteAff(image, o)[0].Data);
  o.Compression = TAffCompression::kStored;
  o.EncryptPagesOnly = true;
  o.ImageSize = false;
  Put("fuzz_aff_crypt", "stored_pages_only.aff", WriteAff(image, o)[0].Data);
  o.EncryptPagesOnly = false;
  o.ImageSize = true;
  o.MaxFileSize = 2000;
  PutSet("fuzz_aff_crypt", "three_files", WriteAff(image, o));

  // Few key derivation rounds keep every input fast; the fuzzer finds other counts itself.
  TAdCryptOptions a;
  a.Iterations = 2;
  const auto encrypted = [&](const std::vector<std::vector<Byte>> &files) {
    std::vector<TAffFile> set;
    for (auto &f : WriteAdCrypt(files, a))
      set.push_back({"", std::move(f)});
    return set;
  };
  Put("fuzz_adcrypt", "aes256_sha512.001", encrypted({image})[0].Data);
  a.Cipher = 1;
  a.Hash = 1;
  PutSet("fuzz_adcrypt", "two_files", encrypted({image, Bytes(700, 9)}));

  TEwfWriterOptions e;
  e.SectorsPerChunk = 4;
  e.Digest = true;
  a.Cipher = 3;
  Put("fuzz_e01_crypt", "one_segment.E01", encrypted(Contents(WriteE01(Bytes(3 * 2048, 1), e)))[0].Data);
  e.ChunksPerSegment = 1;
  PutSet("fuzz_e01_crypt", "three_segments", encrypted(Contents(WriteE01(Bytes(3 * 2048, 1), e))));
}

void WhxSeeds() {
  const std::vector<Byte> image = Bytes(6 * 512, 5);
  TWhxWriterOptions o;
  o.Checks = NWhxCheck::kAll;
  Put("fuzz_whx", "stored_all_checks.whx", WriteWhx(image, o)[0].Data);
  o.Deflate = true;
  o.Checks = NWhxCheck::kCrc32 | NWhxCheck::kSha256;
  o.E1 = 3;
  o.E2 = 5;
  Put("fuzz_whx", "deflate.whx", WriteWhx(image, o)[0].Data);

  TWhxWriterOptions m;
  m.Volumes = 3;
  m.Checks = NWhxCheck::kMd5 | NWhxCheck::kCrc16;
  PutSet("fuzz_whx", "three_volumes", WriteWhx(image, m));
  m.Deflate = true;
  PutSet("fuzz_whx", "three_deflated_volumes", WriteWhx(image, m));
}

void Aff4Seeds() {
  std::vector<Byte> image = Bytes(6 * 1024, 6);
  image.insert(image.end(), 2048, 0);  // zero chunks, mapped to aff4:Zero
  TAff4WriterOptions o;
  o.ChunkSize = 1024;
  o.ChunksPerBevy = 3;
  o.BlockHashes = {"MD5"};
  o.StreamHashes = {"SHA1"};
  o.BlockMapHash = true;
  const struct {
    TAff4WriterCompression Compression;
    const char *Name;
  } kinds[] = {{TAff4WriterCompression::kSnappy, "snappy.aff4"},
               {TAff4WriterCompression::kLz4, "lz4.aff4"},
               {TAff4WriterCompression::kDeflate, "deflate.aff4"},
               {TAff4WriterCompression::kZlib, "zlib.aff4"},
               {TAff4WriterCompression::kStored, "stored.aff4"}};
  for (const auto &k : kinds) {
    TAff4WriterOptions ko = o;
    ko.Compression = k.Compression;
    Put("fuzz_aff4", k.Name, WriteAff4(image, ko)[0].Data);
  }
  TAff4WriterOptions r = o;
  r.Ranges = {{0, 1024, "FF"}, {2048, 2048, "UnknownData"}, {5120, 1024, ""}};
  r.GapStream = "UnreadableData";
  r.UnsortedMap = true;
  r.StoredTurtle = true;
  Put("fuzz_aff4", "ranges_unsorted.aff4", WriteAff4(image, r)[0].Data);
  Put("fuzz_aff4", "logical.aff4",
      WriteAff4Logical({{"dir/a.txt", Bytes(300, 7), true, true}, {"b.bin", Bytes(700, 8), false, false}}));

  TAff4WriterOptions m = o;
  m.Stripes = 3;
  m.Name = "image.aff4";
  PutSet("fuzz_aff4", "three_stripes", WriteAff4(image, m));
  PutSet("fuzz_aff4", "three_stripes_from_second", WriteAff4(image, m), true);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::cerr << "usage: fuzz_seeds FOLDER   (writes FOLDER/fuzz_<format>[_multi]/...)\n";
    return 2;
  }
  gRoot = argv[1];
  try {
    E01Seeds();
    Ex01Seeds();
    L01Seeds();
    Ad1Seeds();
    AffSeeds();
    WhxSeeds();
    Aff4Seeds();
    CryptSeeds();
  } catch (const std::exception &e) {
    std::cerr << "fuzz_seeds: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
