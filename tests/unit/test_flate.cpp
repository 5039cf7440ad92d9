#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

#include <zlib.h>

#include "blocks/FlateDecoder.h"
#include "fixtures/TestStreams.h"

namespace {

// Text-like data: words from a small vocabulary give matches and dynamic Huffman blocks.
std::vector<Byte> SampleData(size_t size, unsigned seed) {
  static const char *const words[] = {"block ", "chunk ", "image ", "sector ", "evidence ", "0123456789 ",
                                      "\x00\x00\x00\x00", "\xFF\xFE", "segment\n"};
  std::mt19937 rng(seed);
  std::vector<Byte> v;
  v.reserve(size);
  while (v.size() < size) {
    if (rng() % 5 == 0) {
      v.push_back(static_cast<Byte>(rng()));
      continue;
    }
    const char *w = words[rng() % std::size(words)];
    const size_t n = w[0] == 0 ? 4 : std::strlen(w);
    v.insert(v.end(), w, w + n);
  }
  v.resize(size);
  return v;
}

std::vector<Byte> Zlib(const std::vector<Byte> &data, int level = 6) {
  uLongf size = compressBound(static_cast<uLong>(data.size()));
  std::vector<Byte> out(size);
  EXPECT_EQ(compress2(out.data(), &size, data.data(), static_cast<uLong>(data.size()), level), Z_OK);
  out.resize(size);
  return out;
}

// Raw deflate (no zlib wrapper), or a zlib stream that needs a preset dictionary.
std::vector<Byte> Deflate(const std::vector<Byte> &data, int windowBits, const std::string &dictionary = {}) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, 6, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY), Z_OK);
  if (!dictionary.empty())
    deflateSetDictionary(&z, reinterpret_cast<const Bytef *>(dictionary.data()), static_cast<uInt>(dictionary.size()));
  std::vector<Byte> out(deflateBound(&z, static_cast<uLong>(data.size())));
  z.next_in = const_cast<Bytef *>(data.data());
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

struct TResult {
  HRESULT Hr;
  std::vector<Byte> Data;
  bool operator==(const TResult &o) const { return Hr == o.Hr && Data == o.Data; }
};

std::ostream &operator<<(std::ostream &os, const TResult &r) {
  return os << "{hr " << std::hex << r.Hr << std::dec << ", " << r.Data.size() << " bytes}";
}

TResult RunCode(TvorFlateDecodeDecoder *decoder, const std::vector<Byte> &input, std::optional<UInt64> outSize = {},
                UInt32 readChunk = 0) {
  ComPtr<TTestInStream> in(new TTestInStream(input));
  in->MaxChunk = readChunk;
  ComPtr<TTestOutStream> out(new TTestOutStream());
  const HRESULT hr = decoder->Code(in, out, nullptr, outSize ? &*outSize : nullptr, nullptr);
  return {hr, out->Data};
}

TResult RunBuffer(TvorFlateDecodeDecoder *decoder, const std::vector<Byte> &input, size_t capacity) {
  std::vector<Byte> out(capacity);
  size_t written = 12345;
  const HRESULT hr = decoder->DecodeBuffer(input.data(), input.size(), out.data(), out.size(), &written);
  EXPECT_LE(written, capacity);
  out.resize(std::min(written, capacity));
  return {hr, out};
}

std::vector<Byte> Prefix(const std::vector<Byte> &v, size_t n) { return std::vector<Byte>(v.begin(), v.begin() + n); }

// An output stream that claims success but takes nothing.
class TStuckOutStream : public TvorInterfacedObject, public ISequentialOutStream {
public:
  VOR_UNKNOWN_IMP
  HRESULT QueryInterfaceImpl(REFIID iid, void **out) override {
    if (iid == IID_IVorUnknown || iid == IID_ISequentialOutStream)
      return Offer<ISequentialOutStream>(this, out);
    return NoInterface(out);
  }
  HRESULT STDMETHODCALLTYPE Write(const void *, UInt32, UInt32 *processed) noexcept override {
    if (processed)
      *processed = 0;
    return S_OK;
  }
};

class FlateTest : public ::testing::Test {
protected:
  ComPtr<TvorFlateDecodeDecoder> FDecoder{new TvorFlateDecodeDecoder()};
};

} // namespace

TEST_F(FlateTest, ChunkWithExactAndShortOutSize) {
  const auto data = SampleData(32768, 1);
  const auto z = Zlib(data);
  EXPECT_EQ(RunCode(FDecoder, z, 32768), (TResult{S_OK, data}));
  EXPECT_EQ(RunCode(FDecoder, z, 1000), (TResult{S_OK, Prefix(data, 1000)}));
  EXPECT_EQ(RunCode(FDecoder, z), (TResult{S_OK, data}));
  EXPECT_EQ(RunCode(FDecoder, z, 0), (TResult{S_OK, {}}));
  // A stream that ends before OutSize: success with fewer bytes, the caller compares.
  EXPECT_EQ(RunCode(FDecoder, z, 40000), (TResult{S_OK, data}));
  // Stored and best-compressed streams, and a reader that delivers a few bytes at a time.
  EXPECT_EQ(RunCode(FDecoder, Zlib(data, 0), 32768), (TResult{S_OK, data}));
  EXPECT_EQ(RunCode(FDecoder, Zlib(data, 9), 32768, 7), (TResult{S_OK, data}));
}

TEST_F(FlateTest, TrailingInputIsIgnored) {
  const auto data = SampleData(32768, 2);
  auto z = Zlib(data);
  z.insert(z.end(), {0xDE, 0xAD, 0xBE, 0xEF});
  EXPECT_EQ(RunCode(FDecoder, z, 32768), (TResult{S_OK, data}));
  EXPECT_EQ(RunCode(FDecoder, z), (TResult{S_OK, data}));
  // Plenty of trailing bytes, past the first input buffer.
  z.resize(z.size() + 200000, 0x5A);
  EXPECT_EQ(RunCode(FDecoder, z), (TResult{S_OK, data}));
}

TEST_F(FlateTest, BadStreamsFailWithSFalse) {
  const auto data = SampleData(32768, 3);
  EXPECT_EQ(RunCode(FDecoder, Deflate(data, -15), 32768), (TResult{S_FALSE, {}}));  // no zlib header
  EXPECT_EQ(RunCode(FDecoder, {}), (TResult{S_FALSE, {}}));
  EXPECT_EQ(RunCode(FDecoder, {}, 0), (TResult{S_FALSE, {}}));
  // A preset dictionary the decoder cannot supply ends the call instead of looping.
  EXPECT_EQ(RunCode(FDecoder, Deflate(data, 15, "chunk block image"), 32768), (TResult{S_FALSE, {}}));

  // A wrong checksum fails the chunk even when OutSize is reached by the same window.
  auto badCheck = Zlib(data);
  badCheck.back() ^= 1;
  EXPECT_EQ(RunCode(FDecoder, badCheck, 32768).Hr, S_FALSE);
  EXPECT_EQ(RunCode(FDecoder, badCheck).Hr, S_FALSE);

  // The decoder stays usable after failures.
  EXPECT_EQ(RunCode(FDecoder, Zlib(data), 32768), (TResult{S_OK, data}));
}

TEST_F(FlateTest, TruncatedStreamWritesWhatWasDecoded) {
  const auto data = SampleData(300000, 4);
  const auto z = Zlib(data);
  for (size_t cut : {z.size() / 2, z.size() - 4, z.size() - 1, size_t{1}}) {
    const TResult r = RunCode(FDecoder, Prefix(z, cut));
    EXPECT_EQ(r.Hr, S_FALSE) << cut;
    EXPECT_EQ(r.Data, Prefix(data, r.Data.size())) << cut;
  }
  // Cut inside the data: what came before the cut is all written.
  const TResult half = RunCode(FDecoder, Prefix(z, z.size() / 2));
  EXPECT_GT(half.Data.size(), data.size() / 3);
  // Only the checksum is missing: every byte is out, and still an error.
  EXPECT_EQ(RunCode(FDecoder, Prefix(z, z.size() - 4)), (TResult{S_FALSE, data}));
}

TEST_F(FlateTest, LargeOutputIsWrittenIn64KPiecesInOrder) {
  const auto data = SampleData(200000, 5);
  ComPtr<TTestInStream> in(new TTestInStream(Zlib(data)));
  ComPtr<TTestOutStream> out(new TTestOutStream());
  ASSERT_EQ(FDecoder->Code(in, out, nullptr, nullptr, nullptr), S_OK);
  EXPECT_EQ(out->Data, data);
  ASSERT_GE(out->WriteSizes.size(), 4u);
  for (UInt32 n : out->WriteSizes)
    EXPECT_LE(n, 65536u);
  EXPECT_EQ(out->WriteSizes[0], 65536u);
  // A highly compressible stream whose output is far larger than its input.
  const std::vector<Byte> zeros(1 << 20, 0);
  EXPECT_EQ(RunCode(FDecoder, Zlib(zeros)), (TResult{S_OK, zeros}));
  EXPECT_EQ(RunCode(FDecoder, Zlib(zeros), 70000), (TResult{S_OK, Prefix(zeros, 70000)}));
}

TEST_F(FlateTest, StreamFailuresPassThrough) {
  const auto data = SampleData(200000, 6);
  const auto z = Zlib(data);

  ComPtr<TTestOutStream> failing(new TTestOutStream());
  failing->FailAfter = 70000;
  failing->FailCode = static_cast<HRESULT>(0x80070070u);  // disk full
  ComPtr<TTestInStream> in(new TTestInStream(z));
  EXPECT_EQ(FDecoder->Code(in, failing, nullptr, nullptr, nullptr), static_cast<HRESULT>(0x80070070u));
  EXPECT_EQ(failing->Data, Prefix(data, 65536));

  ComPtr<TTestInStream> badRead(new TTestInStream(z));
  badRead->ReadFailAt = 5000;
  badRead->ReadFailCode = static_cast<HRESULT>(0x80070017u);
  ComPtr<TTestOutStream> out(new TTestOutStream());
  EXPECT_EQ(FDecoder->Code(badRead, out, nullptr, nullptr, nullptr), static_cast<HRESULT>(0x80070017u));

  // A stream that accepts nothing must not pass for a written one.
  ComPtr<TTestInStream> in2(new TTestInStream(z));
  ComPtr<TStuckOutStream> stuck(new TStuckOutStream());
  EXPECT_EQ(FDecoder->Code(in2, stuck, nullptr, nullptr, nullptr), E_FAIL);

  EXPECT_EQ(FDecoder->Code(nullptr, out, nullptr, nullptr, nullptr), E_POINTER);
  EXPECT_EQ(RunCode(FDecoder, z), (TResult{S_OK, data}));
}

TEST_F(FlateTest, DecodeBufferMatchesCode) {
  const auto chunk = SampleData(32768, 7);
  const auto big = SampleData(300000, 8);
  const auto zChunk = Zlib(chunk);
  const auto zBig = Zlib(big);
  struct TCase {
    std::string Name;
    std::vector<Byte> Input;
    size_t Capacity;
  };
  std::vector<TCase> cases = {
      {"chunk", zChunk, 32768},
      {"chunk, room to spare", zChunk, 100000},
      {"chunk, short OutSize", zChunk, 1000},
      {"chunk, no room", zChunk, 0},
      {"big", zBig, big.size()},
      {"big, short OutSize", zBig, 150000},
      {"big, truncated", Prefix(zBig, zBig.size() / 2), big.size()},
      {"big, no checksum", Prefix(zBig, zBig.size() - 4), big.size()},
      {"raw deflate", Deflate(chunk, -15), 32768},
      {"dictionary", Deflate(chunk, 15, "segment"), 32768},
      {"empty", {}, 32768},
      {"stored", Zlib(big, 0), big.size()},
  };
  auto trailing = zChunk;
  trailing.insert(trailing.end(), {1, 2, 3, 4});
  cases.push_back({"trailing bytes", trailing, 32768});
  auto badCheck = zBig;
  badCheck.back() ^= 0x40;
  cases.push_back({"big, bad checksum", badCheck, big.size()});

  // Damage at random places, with OutSize exact, short and roomy: the results must agree byte for byte.
  std::mt19937 rng(9);
  for (int i = 0; i < 150; i++) {
    const auto &base = i % 2 ? zBig : zChunk;
    auto damaged = base;
    const int flips = 1 + static_cast<int>(rng() % 3);
    for (int k = 0; k < flips; k++)
      damaged[rng() % damaged.size()] ^= static_cast<Byte>(1 + rng() % 255);
    const size_t full = i % 2 ? big.size() : chunk.size();
    const size_t capacity = i % 3 == 0 ? full : i % 3 == 1 ? full / 3 : full * 2;
    cases.push_back({"damaged " + std::to_string(i), damaged, capacity});
  }

  ComPtr<TvorFlateDecodeDecoder> other(new TvorFlateDecodeDecoder());
  for (const auto &c : cases) {
    const TResult viaCode = RunCode(other, c.Input, c.Capacity);
    EXPECT_EQ(RunBuffer(FDecoder, c.Input, c.Capacity), viaCode) << c.Name;
  }
  EXPECT_EQ(RunBuffer(FDecoder, zChunk, 32768), (TResult{S_OK, chunk}));
  EXPECT_EQ(RunBuffer(FDecoder, zBig, big.size() + 10), (TResult{S_OK, big}));

  size_t written = 99;
  EXPECT_EQ(FDecoder->DecodeBuffer(nullptr, 0, nullptr, 0, &written), S_FALSE);
  EXPECT_EQ(written, 0u);
}
