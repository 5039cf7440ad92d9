// AFF images: the name, date and set-name parsers, the segment walk and its damage flags, metadata
// properties, numbered sets, whole-image extraction with every page kind and digest, random access,
// and robustness against hostile files.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "blocks/BlockCacheStream.h"
#include "blocks/FlateDecoder.h"
#include "fixtures/AffWriter.h"
#include "fixtures/HostCodecs.h"
#include "fixtures/TestCallbacks.h"
#include "formats/aff/AffArchive.h"
#include "streams/ByteOrder.h"
#include "formats/aff/AffCoders.h"
#include "platform/Platform.h"
#include "host/PropVariant.h"

using namespace NOperationResult;

namespace {

const TArchiveClassOf<Tvor7zAffArchive> kAffClass;

std::vector<Byte> MakeImage(size_t size, UInt32 seed = 1) {
  std::mt19937 rng(seed);
  std::vector<Byte> image(size);
  // Zero runs (whole zero pages at 64 KiB), text-like runs and noise.
  for (size_t i = 0; i < size; i++) {
    const size_t region = (i / 65536) % 3;
    image[i] = region == 0 ? 0 : region == 1 ? static_cast<Byte>('a' + (i / 7) % 26) : static_cast<Byte>(rng());
  }
  return image;
}

UString Wide(const std::string &s) { return UString(s.begin(), s.end()); }

struct TOpened {
  ComPtr<Tvor7zAffArchive> Archive;
  HRESULT Result = E_FAIL;

  UInt32 ErrorFlags() {
    PROPVARIANT v{};
    EXPECT_EQ(Archive->GetArchiveProperty(kpidErrorFlags, &v), S_OK);
    return v.vt == VT_UI4 ? v.ulVal : 0;
  }
  UInt64 Size() {
    PROPVARIANT v{};
    Archive->GetProperty(0, kpidSize, &v);
    return v.vt == VT_UI8 ? v.uhVal.QuadPart : 0;
  }
  PROPVARIANT ArchiveProp(PROPID id) {
    PROPVARIANT v{};
    EXPECT_EQ(Archive->GetArchiveProperty(id, &v), S_OK);
    return v;
  }
  UString Text(PROPID id) {
    PROPVARIANT v = ArchiveProp(id);
    UString s;
    if (v.vt == VT_BSTR)
      PropVariantToString(v, s);
    PropVariantClearValue(v);
    return s;
  }
  struct TExtract {
    HRESULT Result;
    Int32 OpResult;
    std::vector<Byte> Data;
  };
  TExtract Extract(bool testMode = false) {
    const UInt32 zero = 0;
    ComPtr<TTestExtractCallback> cb(new TTestExtractCallback());
    const HRESULT hr = Archive->Extract(&zero, 1, testMode ? 1 : 0, cb);
    TExtract r{hr, -1, {}};
    if (auto it = cb->Items.find(0); it != cb->Items.end()) {
      r.OpResult = it->second.Result;
      r.Data = it->second.Data();
    }
    return r;
  }
  ComPtr<ISequentialInStream> Stream() {
    ComPtr<ISequentialInStream> s;
    Archive->GetStream(0, s.Put());
    return s;
  }
};

constexpr UInt32 kFlag(UInt32 bit) { return 1u << bit; }

TOpened OpenFiles(const std::vector<TAffFile> &files, ICompressCodecsInfo *codecs = nullptr) {
  TOpened o;
  o.Archive = static_cast<Tvor7zAffArchive *>(kAffClass.Create());
  if (codecs)
    o.Archive->SetCompressCodecsInfo(codecs);
  ComPtr<TTestOpenCallback> cb(new TTestOpenCallback(Wide(files.front().Name)));
  for (const auto &f : files)
    cb->AddVolume(Wide(f.Name), f.Data);
  ComPtr<TTestInStream> stream(new TTestInStream(files.front().Data));
  o.Result = o.Archive->Open(stream, nullptr, cb);
  return o;
}

TOpened OpenBytes(const std::vector<Byte> &bytes, const std::string &name = "x.aff") {
  return OpenFiles({TAffFile{name, bytes}});
}

std::vector<Byte> ReadAll(ISequentialInStream *s, UInt32 piece = 3000, size_t most = SIZE_MAX) {
  std::vector<Byte> out;
  std::vector<Byte> buf(piece);
  while (out.size() < most) {
    UInt32 got = 0;
    if (s->Read(buf.data(), piece, &got) != S_OK || got == 0)
      break;
    out.insert(out.end(), buf.begin(), buf.begin() + got);
  }
  return out;
}

std::vector<Byte> Zeros(size_t n) { return std::vector<Byte>(n, 0); }
std::vector<Byte> Ones(size_t n) { return std::vector<Byte>(n, 1); }

}  // namespace

// ---- parsers ----

TEST(AffParse, PageNames) {
  UInt32 n = 99;
  EXPECT_TRUE(ParseAffPageName("page0", n));
  EXPECT_EQ(n, 0u);
  EXPECT_TRUE(ParseAffPageName("page17", n));
  EXPECT_EQ(n, 17u);
  EXPECT_TRUE(ParseAffPageName("page4294967295", n));
  EXPECT_EQ(n, 4294967295u);
  for (const char *name : {"page", "pagesize", "page1x", "Page1", "page-1", "page4294967296", "apage1", ""})
    EXPECT_FALSE(ParseAffPageName(name, n)) << name;
}

TEST(AffParse, Dates) {
  UInt64 expected = 0;
  ASSERT_TRUE(PlatformSystemTimeToFileTime(2012, 7, 4, 13, 5, 9, 0, expected));
  EXPECT_EQ(ParseAffDate("2012-07-04 13:05:09"), expected);
  EXPECT_EQ(ParseAffDate("2012-07-04 13:05:09\n"), expected);  // as the peer tools write it
  ASSERT_TRUE(PlatformSystemTimeToFileTime(2012, 7, 4, 0, 0, 0, 0, expected));
  EXPECT_EQ(ParseAffDate("2012-07-04"), expected);
  EXPECT_EQ(ParseAffDate("2012-07-04 25:00:00"), expected);  // a bad time leaves the date
  EXPECT_EQ(ParseAffDate("2012-07-04T13:05:09"), expected);
  EXPECT_EQ(ParseAffDate("1979-12-31 10:00:00"), 0u);
  EXPECT_EQ(ParseAffDate("2012-13-01"), 0u);
  EXPECT_EQ(ParseAffDate("2012-02-30"), 0u);
  EXPECT_EQ(ParseAffDate("2012/07/04"), 0u);
  EXPECT_EQ(ParseAffDate("99999999999999999999-01-01"), 0u);
  EXPECT_EQ(ParseAffDate(""), 0u);
}

TEST(AffParse, SetNames) {
  EXPECT_EQ(TAffSetName(L"disk_000.aff").GetSetFileName(1), L"disk_001.aff");
  EXPECT_EQ(TAffSetName(L"disk_000.aff").GetSetFileName(12), L"disk_012.aff");
  EXPECT_EQ(TAffSetName(L"disk_001.aff").GetSetFileName(1), L"disk_002.aff");
  EXPECT_EQ(TAffSetName(L"disk_000.aff").GetSetFileName(1000), L"disk_1000.aff");
  EXPECT_EQ(TAffSetName(L"000.aff").GetSetFileName(1), L"001.aff");
  EXPECT_EQ(TAffSetName(L"x10.aff").GetSetFileName(1), L"x11.aff");
  EXPECT_EQ(TAffSetName(L"image.aff").GetSetFileName(1), L"image1.aff");
  EXPECT_EQ(TAffSetName(L"dir.0/image").GetSetFileName(2), L"dir.0/image2");
  EXPECT_EQ(TAffSetName(L"dir/0.aff").GetSetFileName(1), L"dir/1.aff");
}

// ---- open and metadata ----

TEST(AffOpen, SignatureTest) {
  const std::vector<Byte> h = AffFileHeader();
  EXPECT_EQ(IsArc_AFF(h.data(), 8), 1u);
  EXPECT_EQ(IsArc_AFF(h.data(), 7), 2u);
  EXPECT_EQ(IsArc_AFF(reinterpret_cast<const Byte *>("AFF10\r\n\1"), 8), 0u);
}

TEST(AffOpen, NoFirstPageIsNoArchive) {
  EXPECT_EQ(OpenBytes(TAffWriter().Bytes).Result, S_FALSE);  // header only
  TAffWriter w;
  w.PageSize(512).Page(1, Zeros(512), 0).ImageSize(1024);
  EXPECT_EQ(OpenBytes(w.Bytes).Result, S_FALSE);
  EXPECT_EQ(OpenBytes({'A', 'F', 'F'}).Result, S_FALSE);
  // A page but no page size (damage may have taken it): the size is what a page holds, flagged.
  TAffWriter sizeless;
  sizeless.Page(0, Ones(512), 0).Page(1, Ones(100), 0);
  TOpened o = OpenBytes(sizeless.Bytes);
  ASSERT_EQ(o.Result, S_OK);
  EXPECT_EQ(o.ErrorFlags(), kFlag(kpv_ErrorFlags_HeadersError));
  EXPECT_EQ(o.Extract().Data, Ones(612));  // without an image size: up to the last page's end
}

TEST(AffOpen, MetadataBecomesProperties) {
  TAffWriter w;
  const std::vector<Byte> gid = {0x4B, 0x30, 0xF3, 0x76, 0x5E, 0x4F, 0xC7, 0xC7,
                                 0x32, 0xC1, 0x4E, 0x83, 0xD2, 0x8B, 0x75, 0xAE};
  std::vector<Byte> md5a(16, 0x11), md5b(16, 0x22);
  w.Text("case_num", "first case")
      .Text("case_num", "case 42")
      .Text("ad_evidence_num", "ev-7")
      .Text("acquisition_tecnician", "Examiner Name")
      .Text("acquisition_notes", "some notes")
      .Text("acquisition_date", "2012-07-04 13:05:09\n")
      .Segment("image_gid", gid)
      .Text("device_model", "Disk Model")
      .Text("device_sn", "SN123")
      .Segment("acquisition_seconds", {}, 77)
      .Text("creator", "the acquirer")
      .Segment("md5", md5a)
      .Segment("md5", md5b)
      .PageSize(512)
      .Page(0, Zeros(512), 0)
      .Segment("imagesize", {0, 0, 0, 0x10, 0, 0, 0, 1}, 2);
  TOpened o = OpenBytes(w.Bytes, "case.aff");
  ASSERT_EQ(o.Result, S_OK);
  EXPECT_EQ(o.ErrorFlags(), 0u);
  EXPECT_EQ(o.Size(), 4294967312ull);
  EXPECT_EQ(o.Text(0x10000), L"case 42");  // the last text wins
  EXPECT_EQ(o.Text(0x10001), L"ev-7");
  EXPECT_EQ(o.Text(0x10003), L"Examiner Name");
  EXPECT_EQ(o.Text(kpidComment), L"some notes");
  EXPECT_EQ(o.Text(0x10005), L"{76F3304B-4F5E-C7C7-32C1-4E83D28B75AE}");
  EXPECT_EQ(o.Text(kpidCreatorApp), L"the acquirer");
  EXPECT_EQ(o.Text(0x1000E), L"Disk Model");
  EXPECT_EQ(o.Text(0x1000F), L"SN123");
  PROPVARIANT seconds = o.ArchiveProp(0x10009);
  EXPECT_EQ(seconds.vt, VT_UI4);
  EXPECT_EQ(seconds.ulVal, 77u);
  PROPVARIANT date = o.ArchiveProp(0x10004);
  ASSERT_EQ(date.vt, VT_FILETIME);
  UInt64 expected = 0;
  PlatformSystemTimeToFileTime(2012, 7, 4, 13, 5, 9, 0, expected);
  EXPECT_EQ((static_cast<UInt64>(date.filetime.dwHighDateTime) << 32) | date.filetime.dwLowDateTime, expected);
  // Unset rows and the device geometry stay empty.
  for (PROPID id : {0x10002u, 0x10006u, 0x10012u, 0x10013u, 0x10014u, 0x10015u, 0x10016u, 0x10017u})
    EXPECT_EQ(o.ArchiveProp(id).vt, VT_EMPTY) << id;

  // The first md5 wins; sha1 and sha256 are absent.
  const void *data = nullptr;
  UInt32 size = 0, type = 0;
  ASSERT_EQ(o.Archive->GetRawProp(0, 0x10000, &data, &size, &type), S_OK);
  ASSERT_EQ(size, 16u);
  EXPECT_EQ(std::vector<Byte>(static_cast<const Byte *>(data), static_cast<const Byte *>(data) + 16), md5a);
  data = nullptr;
  size = 0;
  EXPECT_EQ(o.Archive->GetRawProp(0, kpidSha256, &data, &size, &type), S_OK);
  EXPECT_EQ(size, 0u);

  UInt32 count = 0;
  o.Archive->GetNumberOfArchiveProperties(&count);
  EXPECT_EQ(count, 28u);
  PROPVARIANT path{};
  o.Archive->GetProperty(0, kpidPath, &path);
  UString p;
  PropVariantToString(path, p);
  PropVariantClearValue(path);
  EXPECT_EQ(p, L"case.img");
}

TEST(AffOpen, WalkDamage) {
  // Without an image size the image is every page entry times the page size.
  TAffWriter w;
  w.PageSize(512).Page(0, Zeros(512), 0).Page(2, Zeros(512), 0);
  TOpened o = OpenBytes(w.Bytes);
  ASSERT_EQ(o.Result, S_OK);
  EXPECT_EQ(o.Size(), 3u * 512);
  EXPECT_EQ(o.Extract().OpResult, kUnexpectedEnd);  // page 1 was never written

  // A trailer length off by one flags the headers and the walk goes on.
  TAffWriter off;
  off.PageSize(512).Page(0, Zeros(512), 0);
  off.Bytes.back() ^= 1;
  off.Text("case_num", "after").ImageSize(512);
  o = OpenBytes(off.Bytes);
  ASSERT_EQ(o.Result, S_OK);
  EXPECT_EQ(o.ErrorFlags(), kFlag(kpv_ErrorFlags_HeadersError));
  EXPECT_EQ(o.Text(0x10000), L"after");

  // A bad segment magic costs that segment: the walk goes on at the next segment it finds.
  TAffWriter bad;
  bad.PageSize(512).Page(0, Ones(512), 0);
  const size_t cut = bad.Bytes.size();
  bad.Page(1, Ones(512), 0).ImageSize(1024);
  bad.Bytes[cut] = 'X';
  o = OpenBytes(bad.Bytes);
  ASSERT_EQ(o.Result, S_OK);
  EXPECT_EQ(o.ErrorFlags(), kFlag(kpv_ErrorFlags_HeadersError));
  std::vector<Byte> lost = Ones(512);
  lost.resize(1024);
  EXPECT_EQ(o.Extract().Data, lost);

  // A short segment header is an unexpected end.
  TAffWriter shortHead;
  shortHead.PageSize(512).Page(0, Zeros(512), 0).Raw({'A', 'F', 'F', 0, 0});
  o = OpenBytes(shortHead.Bytes);
  ASSERT_EQ(o.Result, S_OK);
  EXPECT_EQ(o.ErrorFlags(), kFlag(kpv_ErrorFlags_UnexpectedEnd));
}

TEST(AffOpen, FreeSpaceAndALastPageShortOfAPage) {
  // A segment without a name is free space the writer left; without an image size the image ends
  // with the last page's bytes, stored or compressed.
  for (const auto c : {TAffCompression::kStored, TAffCompression::kZlib}) {
    const std::vector<Byte> tail(1000, 7);
    TAffWriter w;
    w.PageSize(4096).Segment("", std::vector<Byte>(82), 0).Page(0, std::vector<Byte>(4096, 1), 0);
    w.Page(1, CompressAffPage(c, tail), AffPageFlags(c));
    TOpened o = OpenBytes(w.Bytes);
    ASSERT_EQ(o.Result, S_OK);
    EXPECT_EQ(o.ErrorFlags(), 0u);
    std::vector<Byte> image(4096 + tail.size(), 1);
    std::fill(image.begin() + 4096, image.end(), 7);
    const auto x = o.Extract();
    EXPECT_EQ(x.OpResult, kOK);
    EXPECT_EQ(x.Data, image);
  }
}

// ---- extraction and random access ----

TEST(AffExtract, EveryPageKindAndDigest) {
  const auto image = MakeImage(5 * 65536 + 1234);
  struct TCase {
    TAffCompression Compression;
    bool Md5, Sha1, Sha256;
  } cases[] = {{TAffCompression::kZlib, true, false, false},
               {TAffCompression::kStored, false, true, false},
               {TAffCompression::kZlib, false, false, true},
               {TAffCompression::kZlib, true, true, true},
               {TAffCompression::kStored, false, false, false}};
  for (const TCase &c : cases) {
    TAffImageOptions opt;
    opt.Compression = c.Compression;
    opt.Md5 = c.Md5;
    opt.Sha1 = c.Sha1;
    opt.Sha256 = c.Sha256;
    TOpened o = OpenFiles(WriteAff(image, opt));
    ASSERT_EQ(o.Result, S_OK);
    EXPECT_EQ(o.ErrorFlags(), 0u);
    const auto x = o.Extract();
    EXPECT_EQ(x.OpResult, kOK);
    EXPECT_TRUE(x.Data == image);
    EXPECT_EQ(o.Extract(true).OpResult, kOK);
    // Random access serves the same bytes, read in pieces that cross page boundaries.
    ComPtr<ISequentialInStream> s = o.Stream();
    ASSERT_TRUE(s);
    EXPECT_TRUE(ReadAll(s, 7000) == image);

    // Every stored digest counts: one wrong beside right ones fails the image.
    for (const char *name : {"md5", "sha1", "sha256"}) {
      opt.WrongDigest = name;
      const bool stored = std::string(name) == "md5" ? c.Md5 : std::string(name) == "sha1" ? c.Sha1 : c.Sha256;
      EXPECT_EQ(OpenFiles(WriteAff(image, opt)).Extract(true).OpResult, stored ? kCRCError : kOK) << name;
    }
    opt.WrongDigest.clear();
    opt.WrongDigests = true;
    if (c.Md5 || c.Sha1 || c.Sha256) {
      TOpened w = OpenFiles(WriteAff(image, opt));
      const auto wx = w.Extract();
      EXPECT_EQ(wx.OpResult, kCRCError);
      EXPECT_TRUE(wx.Data == image);  // everything is written before the digest is compared
    }
  }
}

TEST(AffExtract, ZeroPagesAreNeverRead) {
  // A zero page whose data points nowhere useful still reads as zeros both ways.
  TAffWriter w;
  w.PageSize(4096).Segment("page0", {}, 0x31).Page(1, std::vector<Byte>(4096, 7), 0).ImageSize(8192);
  TOpened o = OpenBytes(w.Bytes);
  ASSERT_EQ(o.Result, S_OK);
  std::vector<Byte> expected(4096, 0);
  expected.resize(8192, 7);
  EXPECT_TRUE(o.Extract().Data == expected);
  EXPECT_TRUE(ReadAll(o.Stream()) == expected);
}

// An LZMA page's properties may state any dictionary, and the host decoder allocates what they
// state: it gets one no larger than the page, and a page that would still need more than the
// largest preset is reported as unsupported instead of allocated.
TEST(AffExtract, LzmaDictionariesAreCutToThePage) {
  const ComPtr<THostCodecs> codecs = THostCodecs::Load();
  if (!codecs)
    GTEST_SKIP() << "no host codec library";
  const auto data = MakeImage(65536, 6);
  const UInt32 lzma = AffPageFlags(TAffCompression::kLzma);
  std::vector<Byte> page = CompressAffPage(TAffCompression::kLzma, data);
  ASSERT_GT(page.size(), kAffLzmaHeaderSize);
  std::fill(page.begin() + 1, page.begin() + 5, 0xFF);  // a 4 GiB dictionary
  TAffWriter w;
  w.PageSize(65536).Page(0, page, lzma).ImageSize(65536);
  TOpened o = OpenFiles({TAffFile{"x.aff", w.Bytes}}, codecs);
  ASSERT_EQ(o.Result, S_OK);
  const auto x = o.Extract();
  EXPECT_EQ(x.OpResult, kOK);
  EXPECT_TRUE(x.Data == data);

  // A 128 MiB page of unknown length whose dictionary is all of it.
  std::fill(page.begin() + 5, page.begin() + kAffLzmaHeaderSize, 0xFF);
  TAffWriter big;
  big.PageSize(128u << 20).Page(0, page, lzma).ImageSize(128u << 20);
  TOpened b = OpenFiles({TAffFile{"x.aff", big.Bytes}}, codecs);
  ASSERT_EQ(b.Result, S_OK);
  EXPECT_EQ(b.Extract().OpResult, kUnsupportedMethod);
}

// A page size far beyond the file: random access allocates for what the page decodes to, however
// far a bzip2 or LZMA page could expand.
TEST(AffExtract, ClaimedPageSizesAllocateOnlyWhatThePagesCanHold) {
  const auto data = MakeImage(4096, 7);
  const std::vector<Byte> page = CompressAffPage(TAffCompression::kZlib, data);
  TAffWriter w;
  w.PageSize(256u << 20).Page(0, page, AffPageFlags(TAffCompression::kZlib)).ImageSize(256u << 20);
  TOpened o = OpenBytes(w.Bytes);
  ASSERT_EQ(o.Result, S_OK);
  // What the page gives, then zeros where it falls short of its size.
  std::vector<Byte> expected = data;
  expected.resize(2 * data.size());
  const ComPtr<ISequentialInStream> s = o.Stream();
  ASSERT_TRUE(s);
  EXPECT_TRUE(ReadAll(s, 4096, expected.size()) == expected);
  auto *cache = dynamic_cast<Tvor7zBlockCacheStream2 *>(s.Get());
  ASSERT_NE(cache, nullptr);
  EXPECT_LE(cache->GetCacheAllocated(), MaxInflatedSize(page.size()));

  const ComPtr<THostCodecs> codecs = THostCodecs::Load();
  if (!codecs)
    GTEST_SKIP() << "no host codec library";
  for (TAffCompression c : {TAffCompression::kBZip2, TAffCompression::kLzma}) {
    TAffWriter h;
    h.PageSize(256u << 20).Page(0, CompressAffPage(c, data), AffPageFlags(c));
    TOpened ho = OpenFiles({TAffFile{"h.aff", h.Bytes}}, codecs);
    ASSERT_EQ(ho.Result, S_OK);
    const ComPtr<ISequentialInStream> hs = ho.Stream();
    ASSERT_TRUE(hs);
    EXPECT_TRUE(ReadAll(hs, 4096) == data);  // without an image size: up to the page's end
    auto *hc = dynamic_cast<Tvor7zBlockCacheStream2 *>(hs.Get());
    ASSERT_NE(hc, nullptr);
    EXPECT_LE(hc->GetCacheAllocated(), 1u << 20);
  }
}

TEST(AffExtract, HostCodecPages) {
  const auto image = MakeImage(3 * 65536 + 100, 5);
  const ComPtr<THostCodecs> codecs = THostCodecs::Load();
  if (!codecs)
    GTEST_SKIP() << "no host codec library";
  for (TAffCompression c : {TAffCompression::kBZip2, TAffCompression::kLzma}) {
    TAffImageOptions opt;
    opt.Compression = c;
    opt.ZeroPages = false;
    const auto files = WriteAff(image, opt);
    TOpened o = OpenFiles(files, codecs);
    ASSERT_EQ(o.Result, S_OK);
    const auto x = o.Extract();
    EXPECT_EQ(x.OpResult, kOK);
    EXPECT_TRUE(x.Data == image);
    // Random access decodes these pages through the host's decoders too, at any offset and size.
    const ComPtr<ISequentialInStream> s = o.Stream();
    ASSERT_TRUE(s);
    auto *in = static_cast<IInStream *>(s.Get());
    for (UInt64 at : {0ull, 65530ull, 100000ull, 3ull * 65536 + 50, 2ull * 65536 - 1}) {
      std::vector<Byte> got(70000);
      UInt32 n = 0, done = 0;
      ASSERT_EQ(in->Seek(static_cast<Int64>(at), STREAM_SEEK_SET, nullptr), S_OK);
      while (done < got.size() && in->Read(got.data() + done, static_cast<UInt32>(got.size() - done), &n) == S_OK && n > 0)
        done += n;
      ASSERT_EQ(done, std::min<UInt64>(got.size(), image.size() - at)) << at;
      EXPECT_TRUE(std::equal(got.begin(), got.begin() + done, image.begin() + static_cast<ptrdiff_t>(at))) << at;
    }

    // Without the host's codecs the pages cannot be decoded.
    TOpened none = OpenFiles(files);
    EXPECT_EQ(none.Extract().OpResult, kUnsupportedMethod);

    // A damaged stream is bad data, after the pages before it were written.
    std::vector<TAffFile> broken = files;
    TAffWriter rebuilt;
    rebuilt.PageSize(65536).Page(0, CompressAffPage(TAffCompression::kZlib, std::vector<Byte>(65536, 1)), 0x1);
    std::vector<Byte> page = CompressAffPage(c, std::vector<Byte>(65536, 2));
    for (size_t i = page.size() / 2; i < page.size(); i++)
      page[i] ^= 0x5A;
    rebuilt.Page(1, page, AffPageFlags(c)).ImageSize(2 * 65536);
    broken.front().Data = rebuilt.Bytes;
    TOpened b = OpenFiles(broken, codecs);
    const auto bx = b.Extract();
    EXPECT_EQ(bx.OpResult, kDataError);
    EXPECT_GE(bx.Data.size(), 65536u);
  }
}

TEST(AffExtract, UnknownAlgorithmAndMissingPages) {
  TAffWriter w;
  w.PageSize(4096).Page(0, std::vector<Byte>(4096, 1), 0).Page(1, std::vector<Byte>(100, 2), 0x41).ImageSize(8192);
  TOpened o = OpenBytes(w.Bytes);
  ASSERT_EQ(o.Result, S_OK);
  const auto x = o.Extract();
  EXPECT_EQ(x.OpResult, kUnsupportedMethod);
  std::vector<Byte> expected(4096, 1);  // the page before it, then zeros in its place
  expected.resize(8192);
  EXPECT_EQ(x.Data, expected);
  EXPECT_FALSE(o.Stream());

  // A page no segment supplied reads as zeros, never as file bytes, and the image goes on.
  TAffImageOptions opt;
  opt.SkipPages = {2};
  const auto image = MakeImage(4 * 65536, 3);
  TOpened m = OpenFiles(WriteAff(image, opt));
  ASSERT_EQ(m.Result, S_OK);
  const auto mx = m.Extract();
  EXPECT_EQ(mx.OpResult, kUnexpectedEnd);
  std::vector<Byte> lost = image;
  std::fill_n(lost.begin() + 2 * 65536, 65536, Byte{0});
  EXPECT_TRUE(mx.Data == lost);
  ComPtr<ISequentialInStream> s = m.Stream();
  ASSERT_TRUE(s);
  EXPECT_TRUE(ReadAll(s) == lost);
}

TEST(AffExtract, StoredPageOfTheWrongSize) {
  // Longer than the page: a data error, its bytes not trusted, and the next page at its place.
  TAffWriter w;
  w.PageSize(4096).Page(0, std::vector<Byte>(5000, 3), 0).Page(1, std::vector<Byte>(4096, 4), 0).ImageSize(8192);
  TOpened o = OpenBytes(w.Bytes);
  ASSERT_EQ(o.Result, S_OK);
  auto x = o.Extract();
  EXPECT_EQ(x.OpResult, kDataError);
  std::vector<Byte> expected(4096, 0);
  expected.resize(8192, 4);
  EXPECT_EQ(x.Data, expected);
  // Shorter: a data error too, with what it holds and zeros for the rest, in both readers.
  TAffWriter s;
  s.PageSize(4096).Page(0, std::vector<Byte>(1000, 3), 0).Page(1, std::vector<Byte>(4096, 4), 0).ImageSize(8192);
  o = OpenBytes(s.Bytes);
  x = o.Extract();
  EXPECT_EQ(x.OpResult, kDataError);
  std::fill_n(expected.begin(), 1000, Byte{3});
  EXPECT_EQ(x.Data, expected);
  EXPECT_EQ(ReadAll(o.Stream()), expected);
}

TEST(AffExtract, TruncatedPage) {
  const auto image = MakeImage(4 * 65536, 9);
  TAffImageOptions opt;
  opt.Compression = TAffCompression::kStored;
  opt.ZeroPages = false;
  opt.ImageSize = false;
  opt.Md5 = false;
  auto files = WriteAff(image, opt);
  files.front().Data.resize(files.front().Data.size() - 1000);  // into the data of page 3
  TOpened o = OpenFiles(files);
  ASSERT_EQ(o.Result, S_OK);
  EXPECT_EQ(o.ErrorFlags(), kFlag(kpv_ErrorFlags_UnexpectedEnd));
  EXPECT_EQ(o.Size(), 4u * 65536);
  const auto x = o.Extract();
  EXPECT_EQ(x.OpResult, kUnexpectedEnd);
  ASSERT_GE(x.Data.size(), 3u * 65536);
  EXPECT_TRUE(std::equal(x.Data.begin(), x.Data.end(), image.begin()));
}

// ---- sets ----

TEST(AffSet, NumberedFilesAreJoined) {
  const auto image = MakeImage(10 * 65536 + 77, 4);
  TAffImageOptions opt;
  opt.Name = "x.aff";
  opt.MaxFileSize = 3 * 65536;
  opt.Compression = TAffCompression::kStored;
  opt.ZeroPages = false;
  const auto files = WriteAff(image, opt);
  ASSERT_GE(files.size(), 3u);
  EXPECT_EQ(files[1].Name, "x_001.aff");
  TOpened o = OpenFiles(files);
  ASSERT_EQ(o.Result, S_OK);
  EXPECT_EQ(o.ErrorFlags(), 0u);
  EXPECT_EQ(o.Size(), image.size());
  const auto x = o.Extract();
  EXPECT_EQ(x.OpResult, kOK);
  EXPECT_TRUE(x.Data == image);
  EXPECT_TRUE(ReadAll(o.Stream(), 50000) == image);

  // A missing later file costs its own pages, and says so; the files after it are read.
  std::vector<TAffFile> missing = files;
  missing.erase(missing.begin() + 1);
  o = OpenFiles(missing);
  ASSERT_EQ(o.Result, S_OK);
  EXPECT_EQ(o.ErrorFlags(), kFlag(kpv_ErrorFlags_UnexpectedEnd));
  const auto mx = o.Extract();
  EXPECT_EQ(mx.OpResult, kUnexpectedEnd);
  ASSERT_EQ(mx.Data.size(), image.size());
  size_t lostPages = 0;
  for (size_t at = 0; at < image.size(); at += 65536) {
    const size_t n = std::min<size_t>(65536, image.size() - at);
    const bool same = std::equal(image.begin() + at, image.begin() + at + n, mx.Data.begin() + at);
    lostPages += same ? 0 : 1;
    EXPECT_TRUE(same || std::all_of(mx.Data.begin() + at, mx.Data.begin() + at + n, [](Byte b) { return b == 0; })) << at;
  }
  EXPECT_TRUE(lostPages > 0 && lostPages <= 3);
  EXPECT_TRUE(std::equal(image.end() - 77, image.end(), mx.Data.end() - 77));

  // Without the "AFD" type only the first file is read.
  std::vector<TAffFile> single = files;
  std::vector<Byte> &first = single.front().Data;
  const std::string afd = "AFD";
  auto at = std::search(first.begin(), first.end(), afd.begin(), afd.end());
  ASSERT_NE(at, first.end());
  at[2] = 'F';
  o = OpenFiles(single);
  ASSERT_EQ(o.Result, S_OK);
  EXPECT_LT(o.Size(), image.size());

  // A later file that is not an AFF file is flagged; it holds no pages.
  std::vector<TAffFile> foreign = files;
  foreign[1].Data = {'n', 'o', 't', ' ', 'a', 'f', 'f', '!', 0};
  o = OpenFiles(foreign);
  EXPECT_TRUE(o.ErrorFlags() & kFlag(kpv_ErrorFlags_HeadersError));
}

// Digests and the image GUID locate nothing: one of the wrong size is flagged and left out, and the
// files of the set after it are read all the same. A file type no writer uses may be a damaged
// "AFD": it is flagged, since the files after the first are then not read.
TEST(AffSet, DamagedMetadataIsFlaggedAndTheSetReadOn) {
  const auto image = MakeImage(6 * 65536 + 5, 5);
  TAffImageOptions opt;
  opt.Name = "m.aff";
  opt.MaxFileSize = 2 * 65536;
  opt.Compression = TAffCompression::kStored;
  opt.ZeroPages = false;
  opt.Md5 = false;
  opt.Sha256 = true;
  opt.Texts = {{"md5", "not sixteen"}, {"sha1", "x"}, {"image_gid", "short"}, {"case_num", "case 1"}};
  auto files = WriteAff(image, opt);
  ASSERT_GE(files.size(), 3u);
  TOpened o = OpenFiles(files);
  ASSERT_EQ(o.Result, S_OK);
  EXPECT_EQ(o.ErrorFlags(), kFlag(kpv_ErrorFlags_HeadersError));
  EXPECT_EQ(o.Size(), image.size());
  EXPECT_EQ(o.Text(0x10000), L"case 1");
  EXPECT_EQ(o.ArchiveProp(0x10005).vt, VT_EMPTY);
  for (PROPID id : {0x10000u, static_cast<PROPID>(kpidSha1)}) {
    const void *data = nullptr;
    UInt32 size = 0, type = 0;
    ASSERT_EQ(o.Archive->GetRawProp(0, id, &data, &size, &type), S_OK);
    EXPECT_EQ(size, 0u) << id;
  }
  const auto x = o.Extract();
  EXPECT_EQ(x.OpResult, kOK);  // checked against the intact SHA-256
  EXPECT_TRUE(x.Data == image);

  std::vector<Byte> &first = files.front().Data;
  const std::string afd = "AFD";
  auto at = std::search(first.begin(), first.end(), afd.begin(), afd.end());
  ASSERT_NE(at, first.end());
  at[2] ^= 0x01;  // "AFE"
  o = OpenFiles(files);
  ASSERT_EQ(o.Result, S_OK);
  EXPECT_EQ(o.ErrorFlags(), kFlag(kpv_ErrorFlags_HeadersError));
  EXPECT_LT(o.Size(), image.size());
}

// One fault at a time, in a single file and in a set: each costs the pages whose own bytes it
// destroys, no more, and is flagged.
TEST(AffDamage, SingleFaultsCostOnlyThePagesTheyDestroy) {
  const auto image = MakeImage(12 * 4096, 21);
  TAffImageOptions opt;
  opt.PageSize = 4096;
  opt.Compression = TAffCompression::kStored;
  opt.ZeroPages = false;
  const std::vector<Byte> one = WriteAff(image, opt).front().Data;
  opt.Name = "d.aff";
  opt.MaxFileSize = 4 * 4100;
  const std::vector<TAffFile> set = WriteAff(image, opt);
  ASSERT_GE(set.size(), 3u);
  // Where the segment of a name starts in a file.
  const auto segment = [](const std::vector<Byte> &f, const std::string &name) {
    for (size_t at = NAffLayout::kSignatureSize; at + 16 <= f.size(); at += 24 + GetBe32(&f[at + 4]) + GetBe32(&f[at + 8]))
      if (std::string(f.begin() + at + 16, f.begin() + at + 16 + GetBe32(&f[at + 4])) == name)
        return at;
    return size_t{0};
  };
  const struct {
    const char *Name;
    std::function<void(std::vector<TAffFile> &)> Damage;
    UInt32 Flags;
    std::vector<UInt32> Lost;  // pages that read as zeros
    bool Set = false;
    size_t Pages = 12;  // in the image as listed: a cut takes the image size with it
  } kCases[] = {
      {"a page's data length", [&](auto &f) { f[0].Data[segment(one, "page5") + 10] ^= 0x04; },
       kFlag(kpv_ErrorFlags_CRCError), {}},
      {"a page's trailer", [&](auto &f) { f[0].Data[segment(one, "page6") - 3] ^= 0x01; },
       kFlag(kpv_ErrorFlags_HeadersError), {}},
      {"a page's magic", [&](auto &f) { f[0].Data[segment(one, "page5")] = 'X'; },
       kFlag(kpv_ErrorFlags_HeadersError), {5}},
      {"the file's start, through page 0", [&](auto &f) { std::fill_n(f[0].Data.begin() + 8, segment(one, "page0") + 40, Byte{0}); },
       kFlag(kpv_ErrorFlags_HeadersError), {0}},
      {"cut inside page 7's header", [&](auto &f) { f[0].Data.resize(segment(one, "page7") + 10); },
       kFlag(kpv_ErrorFlags_UnexpectedEnd), {}, false, 7},
      {"the set's second file lost", [&](auto &f) { f.erase(f.begin() + 1); }, kFlag(kpv_ErrorFlags_UnexpectedEnd),
       {}, true},
  };
  for (const auto &c : kCases) {
    std::vector<TAffFile> files = c.Set ? set : std::vector<TAffFile>{{"one.aff", one}};
    c.Damage(files);
    TOpened o = OpenFiles(files);
    ASSERT_EQ(o.Result, S_OK) << c.Name;
    EXPECT_EQ(o.ErrorFlags(), c.Flags) << c.Name;
    std::vector<UInt32> lost = c.Lost;
    if (c.Set)  // the pages the lost file held
      for (UInt32 p = 0; p < 12; p++)
        if (segment(set[1].Data, "page" + std::to_string(p)) != 0)
          lost.push_back(p);
    auto expected = image;
    expected.resize(c.Pages * 4096);
    for (const UInt32 p : lost)
      std::fill_n(expected.begin() + p * 4096, 4096, Byte{0});
    const auto x = o.Extract();
    EXPECT_TRUE(x.Data == expected) << c.Name;
    EXPECT_EQ(x.OpResult, lost.empty() && c.Pages == 12 ? kOK : kUnexpectedEnd) << c.Name;
  }
}

// ---- hostile input ----

TEST(AffHostile, LengthsAndNumbersFromTheFileAreBounded) {
  // A page number in the billions must not size the table.
  TAffWriter w;
  w.PageSize(512).Page(0, Zeros(512), 0).Page(4000000000u, Zeros(512), 0);
  TOpened o = OpenBytes(w.Bytes);
  ASSERT_EQ(o.Result, S_OK);
  EXPECT_EQ(o.ErrorFlags(), kFlag(kpv_ErrorFlags_HeadersError));
  EXPECT_LT(o.Archive->GetInfo()->GetCount(), 100u);

  // A page claiming 4 GiB of data at the end of a small file; a name claiming 4 GiB; a text
  // segment claiming 4 GiB.
  for (int variant = 0; variant < 3; variant++) {
    TAffWriter h;
    h.PageSize(512).Page(0, Zeros(512), 0);
    std::vector<Byte> seg = AffSegment(variant == 0 ? "page1" : variant == 1 ? "pageX" : "case_num", {1, 2, 3}, 0);
    const size_t field = variant == 1 ? 4 : 8;
    seg[field] = seg[field + 1] = seg[field + 2] = seg[field + 3] = 0xFF;
    h.Raw(seg);
    o = OpenBytes(h.Bytes);
    ASSERT_EQ(o.Result, S_OK) << variant;
    EXPECT_EQ(o.ErrorFlags(), kFlag(kpv_ErrorFlags_UnexpectedEnd)) << variant;
    EXPECT_NE(o.Extract().OpResult, -1);
  }

  // An image size with the page count overflows nothing: positions stay 64-bit.
  TAffWriter big;
  big.Segment("pagesize", {}, 0x80000000u).Segment("page0", {0, 0, 0, 0}, 0x31).Page(1, {1}, 0);
  big.ImageSize(0x100000000ull);
  o = OpenBytes(big.Bytes);
  ASSERT_EQ(o.Result, S_OK);
  ASSERT_EQ(o.Archive->GetInfo()->GetCount(), 2u);
  EXPECT_EQ(o.Archive->GetInfo()->GetBlock(1).Position, 0x80000000ull);
}

TEST(AffHostile, TruncationsAndByteFlipsNeverCrash) {
  const auto image = MakeImage(3 * 4096 + 10, 8);
  TAffImageOptions opt;
  opt.PageSize = 4096;
  opt.Sha1 = true;
  opt.Texts = {{"case_num", "c"}, {"acquisition_date", "2020-01-02 03:04:05"}};
  const std::vector<Byte> good = WriteAff(image, opt).front().Data;
  std::mt19937 rng(12345);
  for (int round = 0; round < 400; round++) {
    std::vector<Byte> bytes = good;
    if (round % 4 == 0) {
      bytes.resize(rng() % bytes.size());
    } else {
      for (int flips = 1 + static_cast<int>(rng() % 4); flips > 0; flips--) {
        // Favour the segment headers, where lengths and names live.
        const size_t pos = (round % 3 == 0) ? rng() % bytes.size() : rng() % std::min<size_t>(bytes.size(), 400);
        bytes[pos] = static_cast<Byte>(rng() % 3 == 0 ? 0xFF : rng());
      }
    }
    TOpened o = OpenBytes(bytes);
    // An image reads back at its full listed size, zeros where no page holds it: a flipped image
    // size may list more than this test holds in memory.
    if (o.Result != S_OK || o.Size() > (64u << 20))
      continue;
    const auto x = o.Extract();
    EXPECT_EQ(x.Result, S_OK);
    EXPECT_LE(x.Data.size(), o.Size());
    if (ComPtr<ISequentialInStream> s = o.Stream())
      EXPECT_LE(ReadAll(s).size(), o.Size());
  }
}

// ---- the page table read on first use ----

namespace {

std::vector<Byte> Slice(const std::vector<Byte> &v, UInt64 from, UInt64 to) {
  return std::vector<Byte>(v.begin() + static_cast<std::ptrdiff_t>(from), v.begin() + static_cast<std::ptrdiff_t>(to));
}

// Opens with a cache of one page of entries, so that every run is read again when it is needed again.
TOpened OpenPaged(const std::vector<TAffFile> &files) {
  TOpened o = OpenFiles(files);
  if (o.Result == S_OK)
    o.Archive->GetInfo()->SetCacheBlocks(Tvor7zBlocks::kPageBlocks);
  return o;
}

ComPtr<IInStream> ImageStream(TOpened &o) {
  ComPtr<ISequentialInStream> s = o.Stream();
  return s ? QueryAs<IInStream>(s.Get(), IID_IInStream) : ComPtr<IInStream>();
}

void ExpectWholeImage(TOpened &o, const std::vector<Byte> &image) {
  ASSERT_EQ(o.Result, S_OK);
  EXPECT_EQ(o.ErrorFlags(), 0u);
  EXPECT_EQ(o.Size(), image.size());
  const ComPtr<IInStream> in = ImageStream(o);
  ASSERT_TRUE(in);
  EXPECT_EQ(RandomReads(in, image, 7, 400), 0);
  EXPECT_EQ(o.Extract(true).OpResult, kOK);
  EXPECT_TRUE(o.Extract().Data == image);
}

}  // namespace

TEST(AffPagedTable, RunsAreReadAgainAfterOthersPushedThemOut) {
  // 10,001 pages of 512 bytes, the last one short: three runs.
  const auto image = MakeImage(10000 * 512 + 300, 11);
  TAffImageOptions opt;
  opt.PageSize = 512;
  TOpened o = OpenPaged(WriteAff(image, opt));
  ASSERT_EQ(o.Result, S_OK);
  const Tvor7zAffInfo *info = o.Archive->GetInfo();
  EXPECT_EQ(info->GetCount(), 10001u);
  EXPECT_TRUE(info->IsPaged());
  EXPECT_EQ(info->GetPages().size(), 3u);
  const Tvor7zBlock_ last = info->GetBlock(10000);
  EXPECT_EQ(last.Position, 10000u * 512);
  EXPECT_EQ(last.Size, 300u);
  ExpectWholeImage(o, image);
}

// Pages written out of order, runs interleaved, and pages repeated on both sides of run
// boundaries: the last segment of a page is the one read, whichever run is loaded when.
TEST(AffPagedTable, OutOfOrderAndRepeatedPagesAcrossRuns) {
  const UInt32 pages = 9000;
  const auto image = MakeImage(static_cast<size_t>(pages) * 512, 12);
  const auto page = [&](UInt32 n) { return Slice(image, n * 512ull, (n + 1) * 512ull); };
  const std::vector<Byte> junk(512, 0xEE);
  const auto write = [&](UInt32 lastFlags) {
    TAffWriter w;
    w.PageSize(512).Page(4095, junk, 0).Page(0, junk, 0).Page(5000, std::vector<Byte>(100, 1), 0x41);
    for (UInt32 n = 8191; n >= 4096; n--)  // the middle run backwards
      w.Page(n, page(n), 0);
    w.Page(4096, junk, 0);
    for (UInt32 n = 0; n < 4096; n++) {  // the first and the last run interleaved
      w.Page(n, page(n), 0);
      if (8192 + n < pages)
        w.Page(8192 + n, page(8192 + n), 0);
    }
    w.Page(4096, page(4096), 0).Page(8999, junk, 0).Page(8999, page(8999), 0);
    if (lastFlags != 0)
      w.Page(5000, std::vector<Byte>(100, 1), lastFlags);
    w.ImageSize(image.size());
    return std::vector<TAffFile>{{"o.aff", w.Bytes}};
  };
  TOpened o = OpenPaged(write(0));
  ASSERT_EQ(o.Result, S_OK);
  EXPECT_TRUE(o.Archive->GetInfo()->IsPaged());
  ExpectWholeImage(o, image);

  // A page of an algorithm nothing decodes that replaced a good one leaves the image to extraction.
  TOpened u = OpenPaged(write(0x41));
  ASSERT_EQ(u.Result, S_OK);
  EXPECT_FALSE(u.Stream());
  const auto x = u.Extract();
  EXPECT_EQ(x.OpResult, kUnsupportedMethod);
  std::vector<Byte> lost = image;
  std::fill_n(lost.begin() + 5000 * 512, 512, Byte{0});
  EXPECT_TRUE(x.Data == lost);
}

TEST(AffPagedTable, RunWithoutSegmentsReadsAsMissingPages) {
  // Pages 0 and 9,000 only, a long text making the file large enough to hold the numbers between.
  const auto image = MakeImage(9001 * 512, 13);
  TAffWriter w;
  w.PageSize(512).Text("acquisition_notes", std::string(300000, 'n'));
  w.Page(9000, Slice(image, 9000 * 512, 9001 * 512), 0).Page(0, Slice(image, 0, 512), 0).ImageSize(image.size());
  TOpened o = OpenPaged({TAffFile{"h.aff", w.Bytes}});
  ASSERT_EQ(o.Result, S_OK);
  EXPECT_EQ(o.ErrorFlags(), 0u);
  std::vector<Byte> expected(image.size(), 0);
  std::copy_n(image.begin(), 512, expected.begin());
  std::copy_n(image.begin() + 9000 * 512, 512, expected.begin() + 9000 * 512);
  const ComPtr<IInStream> in = ImageStream(o);
  ASSERT_TRUE(in);
  EXPECT_EQ(RandomReads(in, expected, 8, 20), 0);
  const auto x = o.Extract();
  EXPECT_EQ(x.OpResult, kUnexpectedEnd);
  EXPECT_TRUE(x.Data == expected);
}

TEST(AffPagedTable, RunsCrossTheFilesOfASet) {
  // About 370 stored pages to a file: every run spans a dozen files.
  const auto image = MakeImage(9000 * 512 + 17, 14);
  TAffImageOptions opt;
  opt.Name = "s.aff";
  opt.PageSize = 512;
  opt.MaxFileSize = 200000;
  opt.Compression = TAffCompression::kStored;
  opt.ZeroPages = false;
  const auto files = WriteAff(image, opt);
  ASSERT_GE(files.size(), 20u);
  TOpened o = OpenPaged(files);
  ExpectWholeImage(o, image);
}

// Runs written mixed with each other would each be walked across the whole file on every read of
// them: such a file is read once into a table in memory, with the same pages.
TEST(AffPagedTable, InterleavedRunsAreReadOnce) {
  const UInt32 pages = 6 * 4096;
  const auto image = MakeImage(static_cast<size_t>(pages) * 16, 15);
  TAffWriter w;
  w.PageSize(16);
  for (UInt32 i = 0; i < 4096; i++)
    for (UInt32 run = 0; run < 6; run++) {
      const UInt32 n = run * 4096 + i;
      w.Page(n, Slice(image, n * 16ull, (n + 1) * 16ull), 0);
    }
  w.Page(4096, std::vector<Byte>(16, 0xEE), 0).Page(4096, Slice(image, 4096 * 16, 4097 * 16), 0);
  w.ImageSize(image.size());
  TOpened o = OpenPaged({TAffFile{"i.aff", w.Bytes}});
  ASSERT_EQ(o.Result, S_OK);
  EXPECT_FALSE(o.Archive->GetInfo()->IsPaged());
  ExpectWholeImage(o, image);
}
