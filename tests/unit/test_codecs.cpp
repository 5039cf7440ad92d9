// The bridge to the host's codecs and hashers: real host decoders and hashers reached through the
// SetCodecs export, the handler's list searched before the library's, filters turned into coders.
#include <gtest/gtest.h>

#include <random>

#include "fixtures/HostCodecs.h"
#include "hashers/Hashers.h"
#include "host/CodecsInfo.h"
#include "host/Errors.h"
#include "host/PropVariant.h"

extern "C" HRESULT SetCodecs(ICompressCodecsInfo *codecs);

namespace {

std::vector<Byte> Bytes(std::initializer_list<int> values) {
  std::vector<Byte> r;
  for (int v : values)
    r.push_back(static_cast<Byte>(v));
  return r;
}

std::vector<Byte> Text(const char *s) { return std::vector<Byte>(s, s + std::strlen(s)); }

// Compressible but not trivial: runs of words with random noise.
std::vector<Byte> SampleData(size_t size, unsigned seed) {
  std::mt19937 rng(seed);
  static const char *const words[] = {"sector ", "chunk ", "image ", "evidence ", "table "};
  std::vector<Byte> r;
  while (r.size() < size) {
    if (rng() % 4 == 0) {
      r.push_back(static_cast<Byte>(rng()));
    } else {
      const char *w = words[rng() % 5];
      r.insert(r.end(), w, w + std::strlen(w));
    }
  }
  r.resize(size);
  return r;
}

HRESULT RaisedBy(const std::function<void()> &f) {
  try {
    f();
  } catch (const EOleSysError &e) {
    return e.Code();
  }
  return S_OK;
}

// "hello world\n" compressed by the system's bzip2 -9.
const std::vector<Byte> kBzip2Hello = Bytes(
    {0x42, 0x5a, 0x68, 0x39, 0x31, 0x41, 0x59, 0x26, 0x53, 0x59, 0x4e, 0xec, 0xe8, 0x36, 0x00, 0x00, 0x02, 0x51,
     0x80, 0x00, 0x10, 0x40, 0x00, 0x06, 0x44, 0x90, 0x80, 0x20, 0x00, 0x31, 0x06, 0x4c, 0x41, 0x01, 0xa7, 0xa9,
     0xa5, 0x80, 0xbb, 0x94, 0x31, 0xf8, 0xbb, 0x92, 0x29, 0xc2, 0x84, 0x82, 0x77, 0x67, 0x41, 0xb0});

// "hello world\n" in the system's .lzma format: 5 property bytes, 8 size bytes (unknown), the stream
// with its end marker.
const std::vector<Byte> kLzmaHello = Bytes({0x5d, 0x00, 0x00, 0x00, 0x04, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
                                            0xff, 0xff, 0x00, 0x34, 0x19, 0x49, 0xee, 0x8d, 0xe9, 0x17, 0x89,
                                            0x3a, 0x33, 0x5f, 0xfc, 0xb2, 0x09, 0x82, 0x2f, 0xff, 0xfd, 0xe2,
                                            0x80, 0x00});

// ---------------- a codec list of our own ----------------

// In-place filter that XORs every byte with a key; it works on whole groups of 4 bytes and leaves a
// shorter tail to the caller, as the host's filters do.
class TXorFilter : public TvorInterfacedObject, public ICompressFilter {
public:
  explicit TXorFilter(Byte key) : FKey(key) {}
  VOR_UNKNOWN_IMP
  HRESULT QueryInterfaceImpl(REFIID iid, void **out) override {
    if (iid == IID_IVorUnknown || iid == IID_ICompressFilter)
      return Offer<ICompressFilter>(this, out);
    return NoInterface(out);
  }
  HRESULT STDMETHODCALLTYPE Init() noexcept override {
    Inits++;
    return S_OK;
  }
  UInt32 STDMETHODCALLTYPE Filter(Byte *data, UInt32 size) noexcept override {
    const UInt32 n = size & ~3u;
    for (UInt32 i = 0; i < n; i++)
      data[i] ^= FKey;
    return n;
  }
  int Inits = 0;

private:
  Byte FKey;
};

// Decoder that copies its input; `Tag` tells instances of different lists apart.
class TCopyCoder : public TvorInterfacedObject, public ICompressCoder {
public:
  explicit TCopyCoder(int tag) : Tag(tag) {}
  VOR_UNKNOWN_IMP
  HRESULT QueryInterfaceImpl(REFIID iid, void **out) override {
    if (iid == IID_IVorUnknown || iid == IID_ICompressCoder)
      return Offer<ICompressCoder>(this, out);
    return NoInterface(out);
  }
  HRESULT STDMETHODCALLTYPE Code(ISequentialInStream *in, ISequentialOutStream *out, const UInt64 *, const UInt64 *,
                                 ICompressProgressInfo *) noexcept override {
    Byte buf[256];
    for (;;) {
      UInt32 n = 0;
      if (in->Read(buf, sizeof buf, &n) != S_OK)
        return E_FAIL;
      if (n == 0)
        return S_OK;
      UInt32 w = 0;
      if (out->Write(buf, n, &w) != S_OK || w != n)
        return E_FAIL;
    }
  }
  const int Tag;
};

// Hasher whose digest is one byte: its tag.
class TTagHasher : public TvorInterfacedObject, public IHasher {
public:
  explicit TTagHasher(Byte tag) : FTag(tag) {}
  VOR_UNKNOWN_IMP
  HRESULT QueryInterfaceImpl(REFIID iid, void **out) override {
    if (iid == IID_IVorUnknown || iid == IID_IHasher)
      return Offer<IHasher>(this, out);
    return NoInterface(out);
  }
  void STDMETHODCALLTYPE Init() noexcept override {}
  void STDMETHODCALLTYPE Update(const void *, UInt32) noexcept override {}
  void STDMETHODCALLTYPE Final(Byte *digest) noexcept override { digest[0] = FTag; }
  UInt32 STDMETHODCALLTYPE GetDigestSize() noexcept override { return 1; }

private:
  Byte FTag;
};

// A host-style list: methods offered as coder and/or filter, hashers, and entries with odd kIDs.
class TTestCodecsList : public TvorInterfacedObject, public ICompressCodecsInfo, public IHashers {
public:
  struct TMethod {
    UInt64 ID = 0;
    bool IDAsText = false;  // kID answered as VT_BSTR "abc", which no conversion accepts
    std::function<ComPtr<ICompressCoder>()> Coder;
    std::function<ComPtr<ICompressFilter>()> Filter;
  };
  struct THasherEntry {
    UInt64 ID = 0;
    std::function<ComPtr<IHasher>()> Make;
  };

  VOR_UNKNOWN_IMP
  HRESULT QueryInterfaceImpl(REFIID iid, void **out) override {
    if (iid == IID_IVorUnknown || iid == IID_ICompressCodecsInfo)
      return Offer<ICompressCodecsInfo>(this, out);
    if (iid == IID_IHashers && OfferHashers)
      return Offer<IHashers>(this, out);
    return NoInterface(out);
  }
  HRESULT STDMETHODCALLTYPE GetNumMethods(UInt32 *n) noexcept override {
    *n = static_cast<UInt32>(Methods.size());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetProperty(UInt32 index, PROPID propID, PROPVARIANT *value) noexcept override {
    if (index >= Methods.size())
      return E_INVALIDARG;
    if (propID == NMethodPropID::kID) {
      if (Methods[index].IDAsText)
        PropSetString(*value, L"abc");
      else
        PropSetUInt64(*value, Methods[index].ID);
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE CreateDecoder(UInt32 index, const GUID *iid, void **coder) noexcept override {
    DecoderRequests++;
    const TMethod &m = Methods.at(index);
    if (*iid == IID_ICompressCoder && m.Coder) {
      m.Coder().CopyTo(reinterpret_cast<ICompressCoder **>(coder));
      return S_OK;
    }
    if (*iid == IID_ICompressFilter && m.Filter) {
      m.Filter().CopyTo(reinterpret_cast<ICompressFilter **>(coder));
      return S_OK;
    }
    // As the host does for a direction the method lacks: success, out pointer untouched.
    return (m.Coder || m.Filter) ? E_NOINTERFACE : S_OK;
  }
  HRESULT STDMETHODCALLTYPE CreateEncoder(UInt32, const GUID *, void **) noexcept override { return E_NOTIMPL; }
  UInt32 STDMETHODCALLTYPE GetNumHashers() noexcept override { return static_cast<UInt32>(Hashers.size()); }
  HRESULT STDMETHODCALLTYPE GetHasherProp(UInt32 index, PROPID propID, PROPVARIANT *value) noexcept override {
    if (index >= Hashers.size())
      return E_INVALIDARG;
    if (propID == NMethodPropID::kID)
      PropSetUInt64(*value, Hashers[index].ID);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE CreateHasher(UInt32 index, IHasher **hasher) noexcept override {
    Hashers.at(index).Make().CopyTo(hasher);
    return S_OK;
  }

  std::vector<TMethod> Methods;
  std::vector<THasherEntry> Hashers;
  bool OfferHashers = true;
  int DecoderRequests = 0;
};

ComPtr<IHasher> MakeTagHasher(Byte tag) { return ComPtr<IHasher>(new TTagHasher(tag)); }

// Whatever a test hands to SetCodecs is taken back afterwards.
class CodecsTest : public ::testing::Test {
protected:
  void TearDown() override { SetCodecs(nullptr); }
};

class HostCodecsTest : public CodecsTest {
protected:
  void SetUp() override {
    std::string why;
    FHost = THostCodecs::Load(kHostCodecsPath, &why);
    if (!FHost)
      GTEST_SKIP() << "host codec library not available: " << why;
    ASSERT_EQ(SetCodecs(FHost), S_OK);
  }
  ComPtr<THostCodecs> FHost;
};

// ---------------- the real host's codecs ----------------

TEST_F(HostCodecsTest, Bzip2DecoderDecodesForeignAndHostEncodedData) {
  ComPtr<ICompressCoder> decoder = FindDecoder(nullptr, kMethodBZip2);
  ASSERT_TRUE(decoder);
  HRESULT hr = E_FAIL;
  EXPECT_EQ(CodeBuffer(decoder, kBzip2Hello, &hr), Text("hello world\n"));
  EXPECT_EQ(hr, S_OK);

  // Several bzip2 blocks made by the host's own encoder; the decoder found anew each time.
  const std::vector<Byte> original = SampleData(1200000, 7);
  ComPtr<ICompressCoder> encoder = FHost->CreateEncoderByID(kMethodBZip2);
  ASSERT_TRUE(encoder);
  const std::vector<Byte> packed = CodeBuffer(encoder, original, &hr);
  ASSERT_EQ(hr, S_OK);
  ASSERT_LT(packed.size(), original.size());
  decoder = FindDecoder(nullptr, kMethodBZip2);
  EXPECT_TRUE(CodeBuffer(decoder, packed, &hr) == original);
  EXPECT_EQ(hr, S_OK);

  // Damage is reported by the decoder, not passed on as good data.
  std::vector<Byte> damaged = packed;
  damaged[damaged.size() / 2] ^= 0x55;
  decoder = FindDecoder(nullptr, kMethodBZip2);
  const std::vector<Byte> out = CodeBuffer(decoder, damaged, &hr);
  EXPECT_TRUE(hr != S_OK || out != original);
}

TEST_F(HostCodecsTest, LzmaDecoderTakesPropertiesAndDecodes) {
  ComPtr<ICompressCoder> decoder = FindDecoder(nullptr, kMethodLzma);
  ASSERT_TRUE(decoder);
  auto props = decoder.As<ICompressSetDecoderProperties2>(IID_ICompressSetDecoderProperties2);
  ASSERT_TRUE(props);
  ASSERT_EQ(props->SetDecoderProperties2(kLzmaHello.data(), 5), S_OK);
  HRESULT hr = E_FAIL;
  const std::vector<Byte> stream(kLzmaHello.begin() + 13, kLzmaHello.end());
  EXPECT_EQ(CodeBuffer(decoder, stream, &hr), Text("hello world\n"));
  EXPECT_EQ(hr, S_OK);
}

TEST_F(HostCodecsTest, HostHashersGiveKnownDigests) {
  bool fellBack = false;
  auto fallback = [&] {
    fellBack = true;
    return MakeTagHasher(0);
  };
  const std::vector<Byte> abc = Text("abc");

  ComPtr<IHasher> sha256 = FindHasher(nullptr, kHasherSHA256, fallback);
  ASSERT_TRUE(sha256);
  EXPECT_EQ(HashBuffer(sha256, abc),
            Bytes({0xba, 0x78, 0x16, 0xbf, 0x8f, 0x01, 0xcf, 0xea, 0x41, 0x41, 0x40, 0xde, 0x5d, 0xae, 0x22, 0x23,
                   0xb0, 0x03, 0x61, 0xa3, 0x96, 0x17, 0x7a, 0x9c, 0xb4, 0x10, 0xff, 0x61, 0xf2, 0x00, 0x15, 0xad}));

  ComPtr<IHasher> sha1 = FindHasher(nullptr, kHasherSHA1, fallback);
  EXPECT_EQ(HashBuffer(sha1, abc), Bytes({0xa9, 0x99, 0x3e, 0x36, 0x47, 0x06, 0x81, 0x6a, 0xba, 0x3e,
                                          0x25, 0x71, 0x78, 0x50, 0xc2, 0x6c, 0x9c, 0xd0, 0xd8, 0x9d}));

  // CRC-32 of "123456789" is CBF43926, stored little-endian; the split over Update calls is free.
  ComPtr<IHasher> crc = FindHasher(nullptr, kHasherCRC32, fallback);
  EXPECT_EQ(HashBuffer(crc, Text("123456789"), 2), Bytes({0x26, 0x39, 0xF4, 0xCB}));
  EXPECT_FALSE(fellBack);
}

TEST_F(HostCodecsTest, OwnHashersAgreeWithTheHost) {
  const std::vector<Byte> data = SampleData(100003, 11);
  using TFactory = ComPtr<IHasher> (*)(Tvor7zCompressCodecsInfo *);
  for (TFactory make : {&CreateCRC32Hasher, &CreateSHA1Hasher, &CreateSHA256Hasher}) {
    ASSERT_EQ(SetCodecs(FHost), S_OK);
    const std::vector<Byte> host = HashBuffer(make(nullptr), data, 4097);
    ASSERT_EQ(SetCodecs(nullptr), S_OK);
    const std::vector<Byte> own = HashBuffer(make(nullptr), data, 1000);
    EXPECT_FALSE(host.empty());
    EXPECT_EQ(host, own);
  }
}

TEST_F(HostCodecsTest, HostFilterBecomesAWorkingCoder) {
  // The host offers Swap4 (ID 0x020304) only as an in-place filter; a tail shorter than 4 bytes stays.
  ComPtr<ICompressCoder> coder = FindDecoder(nullptr, 0x020304);
  ASSERT_TRUE(coder);
  std::vector<Byte> in(10003), expected(10003);
  for (size_t i = 0; i < in.size(); i++)
    in[i] = static_cast<Byte>(i * 7);
  const size_t whole = in.size() & ~size_t(3);
  for (size_t i = 0; i < in.size(); i++)
    expected[i] = i < whole ? in[(i & ~size_t(3)) + 3 - (i & 3)] : in[i];
  HRESULT hr = E_FAIL;
  EXPECT_TRUE(CodeBuffer(coder, in, &hr) == expected);
  EXPECT_EQ(hr, S_OK);
}

TEST_F(HostCodecsTest, HandlerListIsSearchedBeforeTheLibraryList) {
  ComPtr<TTestCodecsList> mine(new TTestCodecsList());
  mine->Methods.push_back({kMethodBZip2, false, [] { return ComPtr<ICompressCoder>(new TCopyCoder(1)); }, nullptr});
  mine->Hashers.push_back({kHasherCRC32, [] { return MakeTagHasher(0x11); }});
  Tvor7zCompressCodecsInfo handler;
  handler.SetCodecsInfo(mine);
  auto noFallback = [] { return MakeTagHasher(0xEE); };

  // The handler's own entry wins over the host's bzip2.
  ComPtr<ICompressCoder> coder = FindDecoder(&handler, kMethodBZip2);
  ASSERT_TRUE(coder);
  EXPECT_EQ(CodeBuffer(coder, kBzip2Hello), kBzip2Hello);
  EXPECT_EQ(HashBuffer(FindHasher(&handler, kHasherCRC32, noFallback), Text("x")), Bytes({0x11}));

  // What the handler's list lacks comes from the library's.
  coder = FindDecoder(&handler, kMethodLzma);
  EXPECT_TRUE(coder.As<ICompressSetDecoderProperties2>(IID_ICompressSetDecoderProperties2));
  EXPECT_EQ(HashBuffer(FindHasher(&handler, kHasherSHA256, noFallback), Text("abc")).size(), 32u);

  // Lookups are not cached: a second search asks the list again.
  const int before = mine->DecoderRequests;
  FindDecoder(&handler, kMethodBZip2);
  EXPECT_EQ(mine->DecoderRequests, before + 1);
}

// ---------------- lists of our own only ----------------

TEST_F(CodecsTest, MethodOfferedOnlyAsFilterIsWrappedIntoACoder) {
  ComPtr<TTestCodecsList> list(new TTestCodecsList());
  ComPtr<TXorFilter> filter(new TXorFilter(0x5A));
  list->Methods.push_back({kMethodBZip2, false, nullptr, [&] { return ComPtr<ICompressFilter>(filter.Get()); }});
  Tvor7zCompressCodecsInfo handler;
  handler.SetCodecsInfo(list);

  ComPtr<ICompressCoder> coder = FindDecoder(&handler, kMethodBZip2);
  ASSERT_TRUE(coder);
  // Larger than one buffer of the wrapper and not a whole number of filter groups.
  std::vector<Byte> in = SampleData(300001, 3), expected = in;
  for (size_t i = 0; i < (in.size() & ~size_t(3)); i++)
    expected[i] ^= 0x5A;
  HRESULT hr = E_FAIL;
  EXPECT_TRUE(CodeBuffer(coder, in, &hr) == expected);
  EXPECT_EQ(hr, S_OK);
  EXPECT_GE(filter->Inits, 1);
  // The coder is reusable: each Code starts the filter anew.
  EXPECT_EQ(CodeBuffer(coder, std::vector<Byte>(8, 0x5A)), std::vector<Byte>(8, 0));
}

TEST_F(CodecsTest, LibraryListFromSetCodecsIsUsedAndReplaced) {
  ComPtr<TTestCodecsList> first(new TTestCodecsList()), second(new TTestCodecsList());
  first->Methods.push_back({kMethodLzma, false, [] { return ComPtr<ICompressCoder>(new TCopyCoder(1)); }, nullptr});
  first->Hashers.push_back({kHasherSHA256, [] { return MakeTagHasher(1); }});
  second->Methods.push_back({kMethodLzma, false, [] { return ComPtr<ICompressCoder>(new TCopyCoder(2)); }, nullptr});
  second->OfferHashers = false;
  auto fallback = [] { return MakeTagHasher(0xFB); };

  ASSERT_EQ(SetCodecs(first), S_OK);
  EXPECT_EQ(static_cast<TCopyCoder *>(FindDecoder(nullptr, kMethodLzma).Get())->Tag, 1);
  EXPECT_EQ(HashBuffer(FindHasher(nullptr, kHasherSHA256, fallback), {}), Bytes({1}));
  // The library keeps its references (the list and its IHashers) until replaced.
  EXPECT_GT(first->RefCount(), 1u);

  ASSERT_EQ(SetCodecs(second), S_OK);
  EXPECT_EQ(first->RefCount(), 1u);
  EXPECT_EQ(static_cast<TCopyCoder *>(FindDecoder(nullptr, kMethodLzma).Get())->Tag, 2);
  // The new list has no hashers, and the old one's are gone with it.
  EXPECT_EQ(HashBuffer(FindHasher(nullptr, kHasherSHA256, fallback), {}), Bytes({0xFB}));

  ASSERT_EQ(SetCodecs(nullptr), S_OK);
  EXPECT_EQ(second->RefCount(), 1u);
}

TEST_F(CodecsTest, NeitherListGivesNotImplementedAndTheOwnHasher) {
  ASSERT_EQ(SetCodecs(nullptr), S_OK);
  Tvor7zCompressCodecsInfo empty;
  EXPECT_EQ(empty.GetNumMethods(), 0);
  EXPECT_EQ(empty.GetNumHashers(), 0);
  EXPECT_EQ(RaisedBy([&] { FindDecoder(&empty, kMethodBZip2); }), E_NOTIMPL);
  EXPECT_EQ(RaisedBy([] { FindDecoder(nullptr, kMethodLzma); }), E_NOTIMPL);
  EXPECT_EQ(HashBuffer(FindHasher(&empty, kHasherSHA256, [] { return MakeTagHasher(0x0A); }), {}), Bytes({0x0A}));

  // A list without hashers and without the method behaves the same.
  ComPtr<TTestCodecsList> list(new TTestCodecsList());
  list->OfferHashers = false;
  list->Methods.push_back({0x21, false, [] { return ComPtr<ICompressCoder>(new TCopyCoder(1)); }, nullptr});
  ASSERT_EQ(SetCodecs(list), S_OK);
  EXPECT_EQ(RaisedBy([] { FindDecoder(nullptr, kMethodBZip2); }), E_NOTIMPL);
  EXPECT_EQ(HashBuffer(FindHasher(nullptr, kHasherCRC32, [] { return MakeTagHasher(1); }), {}), Bytes({1}));
}

TEST_F(CodecsTest, BrokenEntriesRaise) {
  ComPtr<TTestCodecsList> list(new TTestCodecsList());
  Tvor7zCompressCodecsInfo handler;
  handler.SetCodecsInfo(list);

  // A kID that does not convert stops the search with the conversion error.
  list->Methods.push_back({0, true, nullptr, nullptr});
  list->Methods.push_back({kMethodBZip2, false, [] { return ComPtr<ICompressCoder>(new TCopyCoder(1)); }, nullptr});
  EXPECT_EQ(RaisedBy([&] { FindDecoder(&handler, kMethodBZip2); }), E_INVALIDARG);

  // An entry with neither a coder nor a filter decoder gives no coder.
  list->Methods = {{kMethodBZip2, false, nullptr, nullptr}};
  EXPECT_EQ(RaisedBy([&] { FindDecoder(&handler, kMethodBZip2); }), E_NOTIMPL);
}

}  // namespace
