#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <random>
#include <thread>
#include <string>
#include <vector>

#include "fixtures/HostCodecs.h"
#include "fixtures/TestStreams.h"
#include "hashers/BackgroundHasher.h"
#include "hashers/Hashers.h"
#include "hashers/StoredDigests.h"
#include "streams/Progress.h"

namespace {

std::vector<Byte> Text(const std::string &s) { return std::vector<Byte>(s.begin(), s.end()); }

std::vector<Byte> FromHex(const std::string &hex) {
  std::vector<Byte> r;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    r.push_back(static_cast<Byte>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return r;
}

// Init, then Update in the given piece sizes (cycled), then Final.
std::vector<Byte> Digest(IHasher *h, const std::vector<Byte> &data, std::vector<UInt32> pieces = {}) {
  h->Init();
  size_t pos = 0, k = 0;
  while (pos < data.size()) {
    UInt32 n = pieces.empty() ? static_cast<UInt32>(data.size()) : pieces[k++ % pieces.size()];
    n = static_cast<UInt32>(std::min<size_t>(n, data.size() - pos));
    h->Update(data.data() + pos, n);
    pos += n;
  }
  std::vector<Byte> d(h->GetDigestSize());
  h->Final(d.data());
  return d;
}

std::vector<Byte> RandomBytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<Byte> v(n);
  for (auto &b : v)
    b = static_cast<Byte>(rng());
  return v;
}

// Adler-32 exactly as RFC 1950 defines it, to check the fast routine against.
UInt32 ReferenceAdler32(const std::vector<Byte> &data) {
  UInt32 a = 1, b = 0;
  for (Byte c : data) {
    a = (a + c) % 65521;
    b = (b + a) % 65521;
  }
  return b << 16 | a;
}

template <class T>
ComPtr<IHasher> Make() {
  return ComPtr<IHasher>(new T());
}

} // namespace

TEST(WordSums, KnownAnswersAndSplitsAcrossUpdates) {
  auto c16 = Make<Tvor7zChecksum16Hasher>();
  const std::vector<Byte> three = {0x01, 0x02, 0x03};
  EXPECT_EQ(Digest(c16, three), FromHex("0402"));
  EXPECT_EQ(Digest(c16, three, {1}), FromHex("0402"));
  EXPECT_EQ(Digest(c16, {0xFF, 0xFF, 0x02, 0x00}), FromHex("0100"));  // wraps modulo 2^16

  auto c32 = Make<Tvor7zChecksum32Hasher>();
  EXPECT_EQ(Digest(c32, {0x01, 0x00, 0x00, 0x00, 0xFF}), FromHex("00010000"));
  EXPECT_EQ(Digest(c32, {0x01, 0x00, 0x00, 0x00, 0xFF}, {3, 1}), FromHex("00010000"));

  auto c8 = Make<Tvor7zChecksum8Hasher>();
  EXPECT_EQ(Digest(c8, std::vector<Byte>(200, 0x02)), FromHex("90"));
  EXPECT_EQ(Digest(c8, std::vector<Byte>(200, 0x02), {7}), FromHex("90"));

  auto c64 = Make<Tvor7zChecksum64Hasher>();
  std::vector<Byte> wrap(8, 0xFF);
  wrap.push_back(0x02);
  EXPECT_EQ(Digest(c64, wrap), FromHex("0100000000000000"));
  EXPECT_EQ(c16->GetDigestSize(), 2u);
  EXPECT_EQ(c32->GetDigestSize(), 4u);
  EXPECT_EQ(c64->GetDigestSize(), 8u);

  // Any split gives the one-call result, for every word width.
  const auto data = RandomBytes(10007, 1);
  for (IHasher *h : {c8.Get(), c16.Get(), c32.Get(), c64.Get()}) {
    const auto whole = Digest(h, data);
    for (std::vector<UInt32> pieces : {std::vector<UInt32>{1}, {3}, {5, 2, 9}, {4096, 1, 7}})
      EXPECT_EQ(Digest(h, data, pieces), whole);
  }
}

TEST(WordSums, FinalKeepsStateAndInitResets) {
  auto c32 = Make<Tvor7zChecksum32Hasher>();
  c32->Init();
  const Byte part1[] = {0x10, 0x20};
  c32->Update(part1, 2);
  Byte d1[4], d2[4];
  c32->Final(d1);
  c32->Final(d2);
  EXPECT_EQ(std::vector<Byte>(d1, d1 + 4), std::vector<Byte>(d2, d2 + 4));
  EXPECT_EQ(std::vector<Byte>(d1, d1 + 4), FromHex("10200000"));
  // The pending half word is still open: more data completes it.
  const Byte part2[] = {0x30, 0x40};
  c32->Update(part2, 2);
  c32->Final(d1);
  EXPECT_EQ(std::vector<Byte>(d1, d1 + 4), FromHex("10203040"));
  c32->Init();
  c32->Final(d1);
  EXPECT_EQ(std::vector<Byte>(d1, d1 + 4), FromHex("00000000"));
}

TEST(Adler32, KnownAnswersAndLargeBuffers) {
  auto h = Make<Tvor7zAdler32Hasher>();
  EXPECT_EQ(Digest(h, {}), FromHex("01000000"));
  EXPECT_EQ(Digest(h, Text("abc")), FromHex("27014d02"));
  EXPECT_EQ(CalcAdler32(nullptr, 0), 1u);
  EXPECT_EQ(CalcAdler32("abc", 3), 0x024D0127u);

  // Long runs of 0xFF push both sums through many reductions.
  for (const auto &data : {RandomBytes(200000, 2), std::vector<Byte>(100000, 0xFF)}) {
    const UInt32 expected = ReferenceAdler32(data);
    EXPECT_EQ(CalcAdler32(data.data(), data.size()), expected);
    const UInt32 split = UpdateAdler32(CalcAdler32(data.data(), 12345), data.data() + 12345, data.size() - 12345);
    EXPECT_EQ(split, expected);
    Byte le[4] = {static_cast<Byte>(expected), static_cast<Byte>(expected >> 8), static_cast<Byte>(expected >> 16),
                  static_cast<Byte>(expected >> 24)};
    EXPECT_EQ(Digest(h, data, {777}), std::vector<Byte>(le, le + 4));
  }
}

TEST(Crc, KnownAnswersInAnySplit) {
  const auto digits = Text("123456789");
  auto crc32 = Make<Tvor7zCRC32Hasher>();
  EXPECT_EQ(Digest(crc32, digits), FromHex("2639f4cb"));
  EXPECT_EQ(Digest(crc32, digits, {2}), FromHex("2639f4cb"));
  EXPECT_EQ(Digest(crc32, {}), FromHex("00000000"));
  auto crc16 = Make<Tvor7zCRC16Hasher>();
  EXPECT_EQ(Digest(crc16, digits), FromHex("3dbb"));
  EXPECT_EQ(Digest(crc16, digits, {4, 1}), FromHex("3dbb"));
  EXPECT_EQ(Digest(crc16, {}), FromHex("0000"));
}

TEST(Digests, KnownAnswersSizesAndSplits) {
  struct TCase {
    ComPtr<IHasher> Hasher;
    UInt32 Size;
    const char *Abc;
    const char *Empty;
  };
  const TCase cases[] = {
      {Make<Tvor7zWinCryptMD4Hasher>(), 16, "a448017aaf21d8525fc10ae87aa6729d", "31d6cfe0d16ae931b73c59d7e0c089c0"},
      {Make<Tvor7zWinCryptMD5Hasher>(), 16, "900150983cd24fb0d6963f7d28e17f72", "d41d8cd98f00b204e9800998ecf8427e"},
      {Make<Tvor7zWinCryptSHA1Hasher>(), 20, "a9993e364706816aba3e25717850c26c9cd0d89d",
       "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
      {Make<Tvor7zWinCryptSHA256Hasher>(), 32, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
       "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(c.Hasher->GetDigestSize(), c.Size);
    EXPECT_EQ(Digest(c.Hasher, Text("abc")), FromHex(c.Abc));
    EXPECT_EQ(Digest(c.Hasher, Text("abc"), {1}), FromHex(c.Abc));
    EXPECT_EQ(Digest(c.Hasher, {}), FromHex(c.Empty));  // Init restarts after a finished digest
  }
  // A million 'a' in uneven pieces.
  EXPECT_EQ(Digest(Make<Tvor7zWinCryptMD5Hasher>(), std::vector<Byte>(1000000, 'a'), {4093, 64, 1}),
            FromHex("7707d6ae4e027c70eea2a935c2296f21"));
}

TEST(Digests, RepeatedFinalGivesTheSameDigestAndIgnoresLaterData) {
  auto sha1 = Make<Tvor7zWinCryptSHA1Hasher>();
  sha1->Init();
  sha1->Update("abc", 3);
  Byte d1[20], d2[20];
  sha1->Final(d1);
  sha1->Update("more", 4);
  sha1->Final(d2);
  EXPECT_EQ(std::vector<Byte>(d1, d1 + 20), FromHex("a9993e364706816aba3e25717850c26c9cd0d89d"));
  EXPECT_EQ(std::vector<Byte>(d2, d2 + 20), std::vector<Byte>(d1, d1 + 20));
}

TEST(HexToDigest, AcceptsExactHexOnly) {
  Byte d[16];
  HexToDigest(L"900150983CD24FB0d6963f7d28e17f72", d, 16);
  EXPECT_EQ(std::vector<Byte>(d, d + 16), FromHex("900150983cd24fb0d6963f7d28e17f72"));

  const std::vector<Byte> zero(16, 0);
  for (const wchar_t *bad : {L"900150983cd24fb0d6963f7d28e17f7",     // 31 characters
                             L"900150983cd24fb0d6963f7d28e17f722",   // 33
                             L"900150983cd24fb0d6963f7d28e17fg2",    // g
                             L"900150983cd24fb0d6963f7d28e17f 2",    // space
                             L"",
                             L"\x0660\x0661" L"0150983cd24fb0d6963f7d28e17f72"}) {  // other digits
    std::memset(d, 0xAA, sizeof d);
    HexToDigest(bad, d, 16);
    EXPECT_EQ(std::vector<Byte>(d, d + 16), zero) << "input length " << std::wcslen(bad);
  }
}

TEST(Factories, OwnHashersWithoutAHostList) {
  EXPECT_EQ(Digest(CreateCRC32Hasher(nullptr), Text("123456789")), FromHex("2639f4cb"));
  EXPECT_EQ(Digest(CreateSHA1Hasher(nullptr), Text("abc")), FromHex("a9993e364706816aba3e25717850c26c9cd0d89d"));
  EXPECT_EQ(Digest(CreateSHA256Hasher(nullptr), Text("abc")),
            FromHex("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
  Tvor7zCompressCodecsInfo empty;  // a handler whose host gave no list
  EXPECT_EQ(Digest(CreateCRC32Hasher(&empty), Text("123456789")), FromHex("2639f4cb"));
}

TEST(Factories, HostHashersAgreeWithOwn) {
  std::string why;
  ComPtr<THostCodecs> host = THostCodecs::Load(kHostCodecsPath, &why);
  if (!host)
    GTEST_SKIP() << "host codec library not available: " << why;
  Tvor7zCompressCodecsInfo handler;
  handler.SetCodecsInfo(host);
  const auto data = RandomBytes(300000, 3);
  ComPtr<IHasher> pairs[][2] = {
      {CreateCRC32Hasher(&handler), Make<Tvor7zCRC32Hasher>()},
      {CreateSHA1Hasher(&handler), Make<Tvor7zWinCryptSHA1Hasher>()},
      {CreateSHA256Hasher(&handler), Make<Tvor7zWinCryptSHA256Hasher>()},
  };
  for (auto &p : pairs) {
    ASSERT_TRUE(p[0]);
    EXPECT_EQ(Digest(p[0], data, {65536, 3}), Digest(p[1], data));
  }
}

namespace {
// Keeps every byte it is given, optionally slowly, so that order, losses and the queue filling up
// show. The digest is the byte count.
class TRecordingHasher : public Tvor7zHasherBase {
public:
  explicit TRecordingHasher(std::chrono::microseconds delay = {}) : FDelay(delay) {}
  void STDMETHODCALLTYPE Init() noexcept override { Seen.clear(); }
  void STDMETHODCALLTYPE Update(const void *data, UInt32 size) noexcept override {
    if (FDelay.count() > 0)
      std::this_thread::sleep_for(FDelay);
    const Byte *p = static_cast<const Byte *>(data);
    Seen.insert(Seen.end(), p, p + size);
  }
  void STDMETHODCALLTYPE Final(Byte *digest) noexcept override {
    const UInt64 n = Seen.size();
    std::memcpy(digest, &n, sizeof(n));
  }
  UInt32 STDMETHODCALLTYPE GetDigestSize() noexcept override { return 8; }
  std::vector<Byte> Seen;

private:
  std::chrono::microseconds FDelay;
};
} // namespace

TEST(BackgroundHasher, SameDigestAsTheInnerHasherWhateverTheSplit) {
  constexpr size_t kBuf = Tvor7zBackgroundHasher::kBufferSize;
  const auto data = RandomBytes(3 * kBuf + 12345, 11);
  const auto expected = Digest(Make<Tvor7zWinCryptMD5Hasher>(), data);
  ComPtr<IHasher> h = HashInBackground(Make<Tvor7zWinCryptMD5Hasher>());
  ASSERT_EQ(h->GetDigestSize(), 16u);
  // Pieces that end exactly on, just before and across the buffer boundaries, one larger than all
  // buffers together, and single bytes; the same object is reused for every pattern.
  const std::vector<std::vector<UInt32>> splits = {
      {}, {1}, {4096}, {static_cast<UInt32>(kBuf)}, {static_cast<UInt32>(kBuf - 1), 2}, {32768, 7, 65536}};
  for (const auto &pieces : splits)
    EXPECT_EQ(Digest(h, data, pieces), expected) << "first piece " << (pieces.empty() ? 0 : pieces[0]);
  EXPECT_EQ(Digest(h, {}), Digest(Make<Tvor7zWinCryptMD5Hasher>(), {}));
  EXPECT_FALSE(HashInBackground(nullptr));
}

TEST(BackgroundHasher, SlowInnerHasherGetsEveryByteInOrderAndInitDropsQueuedBytes) {
  constexpr size_t kBuf = Tvor7zBackgroundHasher::kBufferSize;
  ComPtr<TRecordingHasher> inner(new TRecordingHasher(std::chrono::milliseconds(2)));
  ComPtr<IHasher> h = HashInBackground(ComPtr<IHasher>(inner.Get()));
  // More than all buffers hold, so Update has to wait for the slow thread.
  const auto data = RandomBytes(Tvor7zBackgroundHasher::kMinQueue + 3 * kBuf + 99, 12);
  EXPECT_EQ(Digest(h, data, {100000}), Digest(ComPtr<IHasher>(new TRecordingHasher()), data));
  EXPECT_EQ(inner->Seen, data);

  // A digest dropped half way: none of its bytes may reach the next one.
  h->Init();
  const auto junk = RandomBytes(3 * kBuf, 13);
  h->Update(junk.data(), static_cast<UInt32>(junk.size()));
  const auto second = RandomBytes(kBuf / 2, 14);
  EXPECT_EQ(Digest(h, second, {5000}), Digest(ComPtr<IHasher>(new TRecordingHasher()), second));
  EXPECT_EQ(inner->Seen, second);

  // Released with bytes still queued: the thread ends without touching a freed hasher.
  h->Init();
  h->Update(junk.data(), static_cast<UInt32>(junk.size()));
  h = nullptr;
}

TEST(StoredDigests, EveryStoredDigestIsCheckedAndOfferedRaw) {
  const auto data = RandomBytes(70000, 21);
  const auto md5 = Digest(Make<Tvor7zWinCryptMD5Hasher>(), data);
  const auto sha1 = Digest(Make<Tvor7zWinCryptSHA1Hasher>(), data);
  const auto sha256 = Digest(Make<Tvor7zWinCryptSHA256Hasher>(), data);
  std::vector<Byte> wrong(32, 0x11), zero(32, 0);
  TvorDigestValue otherMD5;  // a second stored copy of the MD5 that disagrees
  std::memcpy(otherMD5.Value, wrong.data(), 16);
  const TvorDigestValue disagreeing[] = {otherMD5};
  ComPtr<TTestOutStream> sink(new TTestOutStream());
  for (const bool background : {false, true}) {
    Tvor7zStoredDigestCheck check(nullptr, background);
    const auto run = [&](const TvorStoredDigests &d, Int32 before = NOperationResult::kOK) {
      sink->Data.clear();
      const ComPtr<ISequentialOutStream> out = check.Wrap(sink, d);
      EXPECT_EQ(WriteStream(out, data.data(), data.size()), S_OK);
      EXPECT_EQ(sink->Data, data);  // everything passes on
      return check.Verify(before);
    };
    const struct {
      TvorStoredDigests Digests;
      Int32 Result;
    } cases[] = {
        {{md5.data(), sha1.data(), sha256.data()}, NOperationResult::kOK},
        {{md5.data(), wrong.data(), nullptr}, NOperationResult::kCRCError},  // a wrong SHA-1 beside a right MD5
        {{md5.data(), sha1.data(), wrong.data()}, NOperationResult::kCRCError},
        {{wrong.data(), sha1.data(), sha256.data()}, NOperationResult::kCRCError},
        {{zero.data(), sha1.data(), nullptr}, NOperationResult::kOK},  // all zero = not stored
        {{nullptr, zero.data(), wrong.data()}, NOperationResult::kCRCError},
        {{md5.data(), sha1.data(), nullptr, disagreeing}, NOperationResult::kCRCError},
        {{}, NOperationResult::kOK},
    };
    for (const auto &c : cases)
      EXPECT_EQ(run(c.Digests), c.Result) << &c - cases << (background ? " in background" : "");
    EXPECT_EQ(check.Count(), 0u);
    // An earlier failure stands, whatever the digest.
    EXPECT_EQ(run({md5.data()}, NOperationResult::kDataError), NOperationResult::kDataError);
  }

  // Raw properties: the stored bytes; nothing for a digest that is all zero.
  const void *p = nullptr;
  UInt32 size = 0, type = 0;
  GetDigestRawProp({md5.data(), zero.data()}, kpidMD5Raw, &p, &size, &type);
  EXPECT_EQ(p, md5.data());
  EXPECT_EQ(size, 16u);
  p = nullptr;
  GetDigestRawProp({md5.data(), zero.data()}, kpidSha1, &p, &size, &type);
  EXPECT_EQ(p, nullptr);
}
