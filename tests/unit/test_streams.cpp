// Input streams (seek rules, buffered, memory, joined, limited) and the output pass-through streams.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>

#include "fixtures/TestStreams.h"
#include "host/Errors.h"
#include "streams/InStreams.h"
#include "streams/OutStreams.h"
#include "streams/Progress.h"

namespace {

constexpr HRESULT kAccessDenied = static_cast<HRESULT>(0x80070005u);

std::vector<Byte> Pattern(size_t n, unsigned seed = 1) {
  std::vector<Byte> v(n);
  std::mt19937 rng(seed);
  for (auto &b : v)
    b = static_cast<Byte>(rng());
  return v;
}

ComPtr<TTestInStream> MakeIn(const std::vector<Byte> &data) { return ComPtr<TTestInStream>(new TTestInStream(data)); }

// Reads exactly `n` bytes at the current position; fails the test on an error.
std::vector<Byte> ReadN(ISequentialInStream *s, size_t n) {
  std::vector<Byte> out(n);
  size_t got = 0;
  const HRESULT hr = ReadStream(s, out.data(), n, &got);
  EXPECT_TRUE(hr == S_OK || hr == S_FALSE) << std::hex << hr;
  out.resize(got);
  return out;
}

// Records every byte it is given, so a test sees exactly what was hashed.
class TRecordingHasher : public TvorInterfacedObject, public IHasher {
public:
  VOR_UNKNOWN_IMP
  HRESULT QueryInterfaceImpl(REFIID iid, void **out) override {
    if (iid == IID_IVorUnknown || iid == IID_IHasher)
      return Offer<IHasher>(this, out);
    return NoInterface(out);
  }
  void STDMETHODCALLTYPE Init() noexcept override {
    Inits++;
    Bytes.clear();
  }
  void STDMETHODCALLTYPE Update(const void *data, UInt32 size) noexcept override {
    const auto *p = static_cast<const Byte *>(data);
    Bytes.insert(Bytes.end(), p, p + size);
  }
  // The digest is the byte count, little-endian.
  void STDMETHODCALLTYPE Final(Byte *digest) noexcept override {
    const UInt32 n = static_cast<UInt32>(Bytes.size());
    std::memcpy(digest, &n, 4);
  }
  UInt32 STDMETHODCALLTYPE GetDigestSize() noexcept override { return 4; }
  std::vector<Byte> Bytes;
  int Inits = 0;
};

// A stream that claims to deliver more than it was asked for.
class TOverDeliveringStream : public TTestInStream {
public:
  TOverDeliveringStream() : TTestInStream(std::vector<Byte>(64)) {}
  HRESULT STDMETHODCALLTYPE Read(void *, UInt32 size, UInt32 *processed) noexcept override {
    *processed = size + 1;
    return S_OK;
  }
};

}  // namespace

// ---- Seek rules (shared by every input stream and the temporary stream) ----

TEST(SeekRule, TableOfOriginsAndOffsets) {
  struct Case {
    UInt64 start;
    Int64 offset;
    UInt32 origin;
    HRESULT result;
    UInt64 position;
  };
  constexpr Int64 kMax = std::numeric_limits<Int64>::max();
  constexpr Int64 kMin = std::numeric_limits<Int64>::min();
  const Case cases[] = {
      {30, 0, STREAM_SEEK_SET, S_OK, 0},
      {30, 250, STREAM_SEEK_SET, S_OK, 250},  // beyond the size is allowed
      {30, -1, STREAM_SEEK_SET, HRESULT_ERROR_NEGATIVE_SEEK, 0},
      {30, 5, STREAM_SEEK_CUR, S_OK, 35},
      {30, -30, STREAM_SEEK_CUR, S_OK, 0},
      {30, -31, STREAM_SEEK_CUR, HRESULT_ERROR_NEGATIVE_SEEK, 0},
      {30, 10, STREAM_SEEK_END, S_OK, 110},
      {30, -100, STREAM_SEEK_END, S_OK, 0},
      {30, -101, STREAM_SEEK_END, HRESULT_ERROR_NEGATIVE_SEEK, 0},
      {30, kMin, STREAM_SEEK_END, HRESULT_ERROR_NEGATIVE_SEEK, 0},
      {30, kMax, STREAM_SEEK_SET, S_OK, static_cast<UInt64>(kMax)},
      // Past the signed range is what a host stream would see as a negative target.
      {30, kMax, STREAM_SEEK_END, HRESULT_ERROR_NEGATIVE_SEEK, 0},
      {30, 7, 3, HRESULT_ERROR_INVALID_FUNCTION, 30},  // unknown origin leaves the position alone
  };
  for (const Case &c : cases) {
    UInt64 pos = c.start, reported = 12345;
    EXPECT_EQ(Tvor7zBaseInStream::SeekRule(pos, 100, c.offset, c.origin, &reported), c.result)
        << c.offset << " from " << c.origin;
    EXPECT_EQ(pos, c.position) << c.offset << " from " << c.origin;
    EXPECT_EQ(reported, c.position) << "reported also on failure";
  }
  UInt64 pos = 3;
  EXPECT_EQ(Tvor7zBaseInStream::SeekRule(pos, 100, 4, STREAM_SEEK_CUR, nullptr), S_OK);
  EXPECT_EQ(pos, 7u);
}

TEST(SeekRule, ThroughTheStreamInterface) {
  std::vector<Byte> data = Pattern(100);
  ComPtr<Tvor7zFixedMemoryInStream> m(new Tvor7zFixedMemoryInStream(data.data(), 100, false));
  ComPtr<IInStream> s = m.As<IInStream>(IID_IInStream);
  ASSERT_TRUE(s);
  UInt64 pos = 0;
  EXPECT_EQ(s->Seek(-101, STREAM_SEEK_END, &pos), HRESULT_ERROR_NEGATIVE_SEEK);
  EXPECT_EQ(pos, 0u);
  EXPECT_EQ(s->Seek(10, STREAM_SEEK_END, &pos), S_OK);
  EXPECT_EQ(pos, 110u);
  Byte b[4];
  UInt32 got = 99;
  EXPECT_EQ(s->Read(b, 4, &got), S_OK);  // beyond the size: nothing, no error
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(s->Seek(-3, STREAM_SEEK_END, &pos), S_OK);
  EXPECT_EQ(s->Read(b, 4, &got), S_OK);
  EXPECT_EQ(got, 3u);
  EXPECT_EQ(std::memcmp(b, data.data() + 97, 3), 0);

  ComPtr<IStreamGetSize> gs = m.As<IStreamGetSize>(IID_IStreamGetSize);
  ASSERT_TRUE(gs);
  UInt64 size = 0;
  EXPECT_EQ(gs->GetSize(&size), S_OK);
  EXPECT_EQ(size, 100u);
  EXPECT_EQ(gs->GetSize(nullptr), S_OK);
  EXPECT_FALSE(m.As<ISequentialOutStream>(IID_ISequentialOutStream));
}

// ---- Memory stream ----

TEST(FixedMemoryInStream, OwnedDataIsFreedAndReplacedSafely) {
  auto *block = static_cast<Byte *>(std::malloc(8));
  std::memcpy(block, "abcdefgh", 8);
  ComPtr<Tvor7zFixedMemoryInStream> m(new Tvor7zFixedMemoryInStream(block, 8, true));
  EXPECT_EQ(ReadN(m, 5), std::vector<Byte>({'a', 'b', 'c', 'd', 'e'}));
  // Taking the same block again must neither free it nor lose it (the sanitizer build sees both).
  m->SetData(block, 4, true);
  EXPECT_EQ(m->Position(), 0u);
  EXPECT_EQ(ReadN(m, 8).size(), 4u);
  auto *other = static_cast<Byte *>(std::malloc(2));
  other[0] = 'x';
  other[1] = 'y';
  m->SetData(other, 2, true);
  EXPECT_EQ(ReadN(m, 8), std::vector<Byte>({'x', 'y'}));
}

// ---- Buffered stream ----

TEST(BufferedInStream, StartsWhereTheHostStreamIsAndLeavesItThere) {
  const auto data = Pattern(1000);
  auto host = MakeIn(data);
  ASSERT_EQ(host->Seek(500, STREAM_SEEK_SET, nullptr), S_OK);
  ComPtr<Tvor7zBufferedInStream> b(new Tvor7zBufferedInStream(host, 64));
  EXPECT_EQ(b->Position(), 500u);
  EXPECT_EQ(b->Size(), 1000u);
  EXPECT_EQ(host->Position(), 500u);
  EXPECT_EQ(ReadN(b, 3), std::vector<Byte>(data.begin() + 500, data.begin() + 503));

  b->SetStream(nullptr);
  EXPECT_EQ(b->Position(), 0u);
  EXPECT_EQ(b->Size(), 0u);
  UInt32 got = 7;
  Byte x;
  EXPECT_EQ(b->Read(&x, 1, &got), S_OK);
  EXPECT_EQ(got, 0u);

  host->SeekFailCode = kAccessDenied;
  EXPECT_THROW(b->SetStream(host), EOleSysError);
}

TEST(BufferedInStream, ReadsStopAtBlockBoundariesAndReuseTheBlock) {
  const auto data = Pattern(100);
  auto host = MakeIn(data);
  host->MaxChunk = 7;  // the block must still be filled completely
  ComPtr<Tvor7zBufferedInStream> b(new Tvor7zBufferedInStream(host, 16));
  ASSERT_EQ(b->Seek(12, STREAM_SEEK_SET, nullptr), S_OK);
  Byte buf[10];
  UInt32 got = 0;
  ASSERT_EQ(b->Read(buf, 10, &got), S_OK);
  EXPECT_EQ(got, 4u);  // never crosses into the next block
  EXPECT_EQ(std::memcmp(buf, data.data() + 12, 4), 0);
  ASSERT_EQ(b->Read(buf, 10, &got), S_OK);
  EXPECT_EQ(got, 10u);
  EXPECT_EQ(std::memcmp(buf, data.data() + 16, 10), 0);

  // Another read inside the same block does not touch the host.
  const UInt32 calls = host->ReadCalls;
  ASSERT_EQ(b->Seek(17, STREAM_SEEK_SET, nullptr), S_OK);
  ASSERT_EQ(b->Read(buf, 3, &got), S_OK);
  EXPECT_EQ(host->ReadCalls, calls);
  EXPECT_EQ(std::memcmp(buf, data.data() + 17, 3), 0);

  // Whole content through ReadStream, including the short last block.
  ASSERT_EQ(b->Seek(0, STREAM_SEEK_SET, nullptr), S_OK);
  EXPECT_EQ(ReadN(b, 200), data);
}

TEST(BufferedInStream, HostStreamShorterThanClaimedGivesFail) {
  auto host = MakeIn(Pattern(40));
  host->ClaimedSize = 100;
  ComPtr<Tvor7zBufferedInStream> b(new Tvor7zBufferedInStream(host, 32));
  ASSERT_EQ(b->Seek(50, STREAM_SEEK_SET, nullptr), S_OK);
  Byte buf[4];
  UInt32 got = 9;
  EXPECT_EQ(b->Read(buf, 4, &got), E_FAIL);
  EXPECT_EQ(got, 0u);
  // Within what does exist the data is still served.
  ASSERT_EQ(b->Seek(33, STREAM_SEEK_SET, nullptr), S_OK);
  EXPECT_EQ(b->Read(buf, 4, &got), S_OK);
  EXPECT_EQ(got, 4u);
}

TEST(BufferedInStream, FailedBlockLoadDoesNotCorruptTheBufferedBlock) {
  const auto data = Pattern(64);
  auto host = MakeIn(data);
  ComPtr<Tvor7zBufferedInStream> b(new Tvor7zBufferedInStream(host, 32));
  EXPECT_EQ(ReadN(b, 8), std::vector<Byte>(data.begin(), data.begin() + 8));

  // Loading block 1 fails after some bytes arrived into the shared buffer.
  host->ReadFailAt = 40;
  host->ReadFailCode = HRESULT_ERROR_INVALID_DATA;
  ASSERT_EQ(b->Seek(35, STREAM_SEEK_SET, nullptr), S_OK);
  Byte buf[8];
  UInt32 got = 9;
  EXPECT_EQ(b->Read(buf, 8, &got), HRESULT_ERROR_INVALID_DATA);
  EXPECT_EQ(got, 0u);

  // Block 0 must be read afresh, not served from the overwritten buffer.
  ASSERT_EQ(b->Seek(0, STREAM_SEEK_SET, nullptr), S_OK);
  host->ReadFailAt = ~0ull;
  EXPECT_EQ(ReadN(b, 64), data);
}

// ---- Joined stream ----

TEST(LimitInStream, AddSegmentMergesOnlyContiguousPiecesOfTheSameStream) {
  auto s = MakeIn(Pattern(400));
  auto t = MakeIn(Pattern(400, 2));
  ComPtr<Tvor7zLimitInStream> j(new Tvor7zLimitInStream);
  j->AddSegment(s, 0, 100);
  j->AddSegment(s, 100, 50);
  ASSERT_EQ(j->GetSegmentCount(), 1);
  UInt64 off = 9, size = 9;
  j->GetSegment(0, off, size);
  EXPECT_EQ(off, 0u);
  EXPECT_EQ(size, 150u);
  j->AddSegment(s, 200, 50);  // a gap: a new piece
  j->AddSegment(s, 250, 0);   // nothing
  j->AddSegment(t, 250, 10);  // contiguous offset, other stream: a new piece
  EXPECT_EQ(j->GetSegmentCount(), 3);
  EXPECT_EQ(j->Size(), 210u);
  EXPECT_EQ(j->GetItem(2)->Stream.Get(), static_cast<IInStream *>(t.Get()));
  EXPECT_THROW(j->GetItem(3), std::out_of_range);
  EXPECT_THROW(j->GetSegment(-1, off, size), std::out_of_range);

  j->AddStream(t);
  EXPECT_EQ(j->Size(), 610u);
  EXPECT_EQ(j->GetSegmentCount(), 4);

  j->Clear();
  EXPECT_EQ(j->GetSegmentCount(), 0);
  EXPECT_EQ(j->Size(), 0u);
  EXPECT_EQ(j->Position(), 0u);
  EXPECT_EQ(t->RefCount(), 1u) << "segments release their streams";
}

TEST(LimitInStream, SizesThatWouldWrapAreRefused) {
  auto s = MakeIn(Pattern(10));
  ComPtr<Tvor7zLimitInStream> j(new Tvor7zLimitInStream);
  constexpr UInt64 kMax = static_cast<UInt64>(std::numeric_limits<Int64>::max());
  EXPECT_THROW(j->AddSegment(s, ~0ull - 5, 10), std::invalid_argument);
  EXPECT_THROW(j->AddSegment(s, 0, ~0ull), std::invalid_argument);
  j->AddSegment(s, 0, kMax - 10);
  EXPECT_THROW(j->AddSegment(s, 0, 11), std::invalid_argument);  // total beyond any position
  EXPECT_EQ(j->Size(), kMax - 10);
  EXPECT_THROW(j->AddSegment(nullptr, 0, 5), EInvalidPointer);
}

TEST(LimitInStream, JoinedReadCrossesSegmentsInOneCall) {
  const auto a = Pattern(200, 3), b = Pattern(200, 4);
  auto sa = MakeIn(a), sb = MakeIn(b);
  ComPtr<Tvor7zLimitInStream> j(new Tvor7zLimitInStream);
  j->AddSegment(sa, 0, 100);
  j->AddSegment(sb, 7, 50);
  ASSERT_EQ(j->Seek(80, STREAM_SEEK_SET, nullptr), S_OK);
  Byte buf[60];
  UInt32 got = 0;
  ASSERT_EQ(j->Read(buf, 60, &got), S_OK);
  ASSERT_EQ(got, 60u);
  EXPECT_EQ(std::memcmp(buf, a.data() + 80, 20), 0);
  EXPECT_EQ(std::memcmp(buf + 20, b.data() + 7, 40), 0);
  EXPECT_EQ(j->Position(), 140u);

  // Short reads from the pieces are joined as well; the end of the stream stops the read.
  sa->MaxChunk = 3;
  sb->MaxChunk = 5;
  ASSERT_EQ(j->Seek(95, STREAM_SEEK_SET, nullptr), S_OK);
  ASSERT_EQ(j->Read(buf, 60, &got), S_OK);
  EXPECT_EQ(got, 55u);
  EXPECT_EQ(std::memcmp(buf, a.data() + 95, 5), 0);
  EXPECT_EQ(std::memcmp(buf + 5, b.data() + 7, 50), 0);
  EXPECT_EQ(j->Read(buf, 60, &got), S_OK);
  EXPECT_EQ(got, 0u);

  EXPECT_EQ(j->MapPosition(120), 27u);
  EXPECT_EQ(j->MapPosition(99), 99u);
  EXPECT_EQ(j->MapPosition(100), 7u);
  EXPECT_EQ(j->MapPosition(150), 0u);
}

TEST(LimitInStream, RandomReadsOverManyPiecesMatchTheirSource) {
  std::mt19937 rng(7);
  std::vector<ComPtr<TTestInStream>> files;
  std::vector<std::vector<Byte>> contents;
  for (unsigned i = 0; i < 5; i++) {
    contents.push_back(Pattern(5000, 10 + i));
    files.push_back(MakeIn(contents.back()));
    files.back()->MaxChunk = 1 + i * 97;
  }
  ComPtr<Tvor7zLimitInStream> j(new Tvor7zLimitInStream);
  std::vector<Byte> expected;
  for (int k = 0; k < 300; k++) {
    const unsigned f = rng() % 5;
    const UInt64 off = rng() % 4000, size = 1 + rng() % 300;
    j->AddSegment(files[f], off, size);
    expected.insert(expected.end(), contents[f].begin() + off, contents[f].begin() + off + size);
  }
  ASSERT_EQ(j->Size(), expected.size());
  for (int k = 0; k < 500; k++) {
    const UInt64 pos = rng() % (expected.size() + 50);
    const UInt32 want = rng() % 2000;
    ASSERT_EQ(j->Seek(static_cast<Int64>(pos), STREAM_SEEK_SET, nullptr), S_OK);
    std::vector<Byte> buf(want);
    UInt32 got = 0;
    ASSERT_EQ(j->Read(buf.data(), want, &got), S_OK);
    const UInt64 avail = pos < expected.size() ? expected.size() - pos : 0;
    ASSERT_EQ(got, std::min<UInt64>(want, avail)) << "at " << pos;
    ASSERT_TRUE(std::equal(buf.begin(), buf.begin() + got, expected.begin() + static_cast<ptrdiff_t>(pos)))
        << "at " << pos;
  }
}

TEST(LimitInStream, FailuresOfThePieces) {
  const auto a = Pattern(100);
  auto sa = MakeIn(a), sb = MakeIn(Pattern(100, 2));
  ComPtr<Tvor7zLimitInStream> j(new Tvor7zLimitInStream);
  j->AddSegment(sa, 0, 50);
  j->AddSegment(sb, 0, 50);
  Byte buf[80];
  UInt32 got = 0;

  // A seek failure of the second piece is returned with what the first delivered.
  sb->SeekFailCode = kAccessDenied;
  ASSERT_EQ(j->Seek(40, STREAM_SEEK_SET, nullptr), S_OK);
  EXPECT_EQ(j->Read(buf, 20, &got), kAccessDenied);
  EXPECT_EQ(got, 10u);
  EXPECT_EQ(j->Position(), 50u);
  sb->SeekFailCode = S_OK;

  // Bytes delivered together with an error count; the next call that brings nothing ends the read.
  sa->ReadFailAt = 30;
  ASSERT_EQ(j->Seek(20, STREAM_SEEK_SET, nullptr), S_OK);
  EXPECT_EQ(j->Read(buf, 20, &got), E_FAIL);
  EXPECT_EQ(got, 10u);
  EXPECT_EQ(std::memcmp(buf, a.data() + 20, 10), 0);
  sa->ReadFailAt = ~0ull;

  // A piece whose file ends early gives a short read without an error.
  ComPtr<Tvor7zLimitInStream> k(new Tvor7zLimitInStream);
  k->AddSegment(sa, 90, 30);
  k->AddSegment(sb, 0, 10);
  EXPECT_EQ(k->Read(buf, 40, &got), S_OK);
  EXPECT_EQ(got, 10u);

  ComPtr<TOverDeliveringStream> over(new TOverDeliveringStream);
  ComPtr<Tvor7zLimitInStream> o(new Tvor7zLimitInStream);
  o->AddSegment(over, 0, 64);
  EXPECT_EQ(o->Read(buf, 8, &got), E_FAIL);
}

// ---- Byte-limited sequential stream ----

TEST(LimitSequentialInStream, StopsAtTheLimit) {
  const auto data = Pattern(100);
  auto host = MakeIn(data);
  host->MaxChunk = 6;
  ComPtr<Tvor7zLimitSequentialInStream> l(new Tvor7zLimitSequentialInStream(host, 20));
  EXPECT_EQ(ReadN(l, 50), std::vector<Byte>(data.begin(), data.begin() + 20));
  EXPECT_EQ(l->Remaining(), 0u);
  EXPECT_EQ(host->Position(), 20u);

  // Bytes delivered with an error still use up the limit.
  host->ReadFailAt = 25;
  l->SetStream(host, 10);
  Byte buf[10];
  UInt32 got = 0;
  EXPECT_EQ(l->Read(buf, 10, &got), E_FAIL);
  EXPECT_EQ(got, 5u);
  EXPECT_EQ(l->Remaining(), 5u);

  ComPtr<TOverDeliveringStream> over(new TOverDeliveringStream);
  l->SetStream(over, 10);
  EXPECT_EQ(l->Read(buf, 4, &got), E_FAIL);
  EXPECT_EQ(l->Remaining(), 10u);
}

// ---- Output streams ----

TEST(FixedMemoryOutStream, OverflowFailsOrIsCutAsChosen) {
  for (const bool fail : {true, false}) {
    Byte mem[4] = {};
    ComPtr<Tvor7zFixedMemorySequentialOutStream> o(new Tvor7zFixedMemorySequentialOutStream(mem, 4, fail));
    UInt32 done = 9;
    EXPECT_EQ(o->Write("abcdef", 6, &done), S_OK);
    EXPECT_EQ(done, 4u);
    EXPECT_EQ(std::memcmp(mem, "abcd", 4), 0);
    EXPECT_EQ(o->Write("gh", 2, &done), fail ? E_FAIL : S_OK);
    EXPECT_EQ(done, 0u);
    EXPECT_EQ(o->Write("gh", 0, &done), S_OK);
    UInt64 size = 0;
    EXPECT_EQ(o->GetSize(&size), S_OK);
    EXPECT_EQ(size, 4u);

    // WriteStream sees the silent cut as "accepted nothing".
    EXPECT_EQ(WriteStream(o, "x", 1), fail ? E_FAIL : S_FALSE);

    Byte more[2];
    o->SetBuffer(more, 2);
    EXPECT_EQ(o->Write("xyz", 3, &done), S_OK);
    EXPECT_EQ(done, 2u);
    EXPECT_EQ(o->Written(), 2u);
  }
  ComPtr<Tvor7zFixedMemorySequentialOutStream> none(new Tvor7zFixedMemorySequentialOutStream(nullptr, 100, true));
  UInt32 done = 0;
  EXPECT_EQ(none->Write("a", 1, &done), E_FAIL) << "a missing buffer holds nothing";
}

TEST(SizeOutStream, CountsWhatTheWrappedStreamAccepted) {
  ComPtr<Tvor7zSizeSequentialOutStream> alone(new Tvor7zSizeSequentialOutStream);
  UInt32 done = 0;
  EXPECT_EQ(alone->Write("abc", 3, &done), S_OK);
  EXPECT_EQ(done, 3u);
  EXPECT_EQ(alone->Count(), 3u);

  ComPtr<TTestOutStream> out(new TTestOutStream);
  out->MaxChunk = 2;
  out->FailAfter = 5;
  ComPtr<Tvor7zSizeSequentialOutStream> s(new Tvor7zSizeSequentialOutStream(out));
  EXPECT_EQ(WriteStream(s, "abcd", 4), S_OK);
  EXPECT_EQ(s->Count(), 4u);
  EXPECT_EQ(s->Write("efgh", 4, &done), E_FAIL);
  EXPECT_EQ(s->Count(), 4u);
  UInt64 size = 0;
  EXPECT_EQ(s->GetSize(&size), S_OK);
  EXPECT_EQ(size, 4u);
  s->SetStream(nullptr);
  EXPECT_EQ(s->Count(), 0u);
}

TEST(HashStreams, HashExactlyTheBytesThatPassed) {
  // Output without a wrapped stream: everything is hashed and counted.
  ComPtr<TRecordingHasher> h(new TRecordingHasher);
  ComPtr<Tvor7zHashSequentialOutStream> o(new Tvor7zHashSequentialOutStream(h, nullptr));
  EXPECT_EQ(h->Inits, 1);
  ASSERT_EQ(WriteStream(o, "hello", 5), S_OK);
  EXPECT_EQ(o->Count(), 5u);
  EXPECT_EQ(h->Bytes, std::vector<Byte>({'h', 'e', 'l', 'l', 'o'}));
  Byte digest[4];
  o->GetHash(digest);
  EXPECT_EQ(digest[0], 5);

  // Short writes of the wrapped stream: only accepted bytes, each once.
  ComPtr<TRecordingHasher> h2(new TRecordingHasher);
  ComPtr<TTestOutStream> out(new TTestOutStream);
  out->MaxChunk = 3;
  ComPtr<Tvor7zHashSequentialOutStream> o2(new Tvor7zHashSequentialOutStream(h2, out));
  const auto data = Pattern(50);
  ASSERT_EQ(WriteStream(o2, data.data(), data.size()), S_OK);
  EXPECT_EQ(h2->Bytes, data);
  EXPECT_EQ(out->Data, data);
  out->FailAfter = 51;
  UInt32 done = 0;
  EXPECT_EQ(o2->Write("zz", 2, &done), E_FAIL);
  EXPECT_EQ(o2->Count(), 50u);
  UInt64 size = 0;
  EXPECT_EQ(o2->GetSize(&size), S_OK);
  EXPECT_EQ(size, 50u);

  // Input with short reads of the wrapped stream.
  ComPtr<TRecordingHasher> h3(new TRecordingHasher);
  auto in = MakeIn(data);
  in->MaxChunk = 7;
  ComPtr<Tvor7zHashSequentialInStream> i(new Tvor7zHashSequentialInStream(h3, in));
  EXPECT_EQ(ReadN(i, 100), data);
  EXPECT_EQ(h3->Bytes, data);
  EXPECT_EQ(i->Count(), 50u);
  // A new stream resets the count, not the hash.
  i->SetStream(nullptr);
  EXPECT_EQ(i->Count(), 0u);
  Byte buf[3] = {'q', 'r', 's'};
  UInt32 got = 0;
  EXPECT_EQ(i->Read(buf, 3, &got), S_OK);
  EXPECT_EQ(got, 3u);
  EXPECT_EQ(i->Count(), 3u);
  EXPECT_EQ(h3->Bytes.size(), 53u);

  ComPtr<TOverDeliveringStream> over(new TOverDeliveringStream);
  i->SetStream(over);
  EXPECT_EQ(i->Read(buf, 3, &got), E_FAIL);
  EXPECT_EQ(h3->Bytes.size(), 53u) << "nothing beyond the buffer is hashed";

  ComPtr<Tvor7zHashSequentialOutStream> noHasher(new Tvor7zHashSequentialOutStream(nullptr, nullptr));
  EXPECT_EQ(noHasher->Write("ab", 2, &done), S_OK);
  EXPECT_EQ(noHasher->Count(), 2u);
  EXPECT_THROW(noHasher->GetHash(digest), EOleSysError);
}
