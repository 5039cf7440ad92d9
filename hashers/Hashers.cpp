#include "hashers/Hashers.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>

#include <zlib.h>

HRESULT Tvor7zHasherBase::QueryInterfaceImpl(REFIID iid, void **out) {
  if (iid == IID_IVorUnknown || iid == IID_IHasher)
    return Offer<IHasher>(this, out);
  return NoInterface(out);
}

// ---- Byte sum ----

void Tvor7zChecksum8Hasher::Init() noexcept { FTotal = 0; }

void Tvor7zChecksum8Hasher::Update(const void *data, UInt32 size) noexcept {
  const auto *p = static_cast<const Byte *>(data);
  UInt32 total = FTotal;
  for (UInt32 i = 0; i < size; i++)
    total += p[i];
  FTotal = static_cast<Byte>(total);
}

void Tvor7zChecksum8Hasher::Final(Byte *digest) noexcept { digest[0] = FTotal; }

// ---- Word sums ----

// Loads a little-endian word of W bytes (zero-extended).
template <unsigned W>
static inline UInt64 LoadWordLE(const Byte *p) noexcept {
  UInt64 v = 0;
  for (unsigned i = 0; i < W; i++)
    v |= static_cast<UInt64>(p[i]) << (8 * i);
  return v;
}

template <unsigned W>
void Tvor7zWordSumHasher<W>::Init() noexcept {
  FTotal = 0;
  FPendingCount = 0;
  std::memset(FPending, 0, sizeof FPending);
}

template <unsigned W>
void Tvor7zWordSumHasher<W>::Update(const void *data, UInt32 size) noexcept {
  if (size == 0)
    return;
  const auto *p = static_cast<const Byte *>(data);
  // A word left open by the previous call is completed first.
  if (FPendingCount > 0) {
    const UInt32 take = std::min<UInt32>(W - FPendingCount, size);
    std::memcpy(FPending + FPendingCount, p, take);
    FPendingCount += take;
    p += take;
    size -= take;
    if (FPendingCount < W)
      return;
    FTotal += LoadWordLE<W>(FPending);
    FPendingCount = 0;
  }
  // Whole words straight from the caller's buffer. The 64-bit total wraps modulo 2^64, and 2^(8W)
  // divides that, so truncating at Final gives the sum modulo 2^(8W).
  UInt64 total = FTotal;
  const UInt32 words = size / W;
  for (UInt32 i = 0; i < words; i++)
    total += LoadWordLE<W>(p + static_cast<size_t>(i) * W);
  FTotal = total;
  p += static_cast<size_t>(words) * W;
  size -= words * W;
  std::memcpy(FPending, p, size);  // fewer than W bytes
  FPendingCount = size;
}

template <unsigned W>
void Tvor7zWordSumHasher<W>::Final(Byte *digest) noexcept {
  // A trailing partial word counts as if padded with zero bytes; the state itself stays as it is.
  UInt64 total = FTotal;
  if (FPendingCount > 0) {
    Byte word[W] = {};
    std::memcpy(word, FPending, FPendingCount);
    total += LoadWordLE<W>(word);
  }
  for (unsigned i = 0; i < W; i++)
    digest[i] = static_cast<Byte>(total >> (8 * i));
}

template class Tvor7zWordSumHasher<2>;
template class Tvor7zWordSumHasher<4>;
template class Tvor7zWordSumHasher<8>;

// ---- Adler-32 ----

UInt32 UpdateAdler32(UInt32 adler, const void *data, size_t size) {
  const auto *p = static_cast<const Bytef *>(data);
  // zlib takes 32-bit lengths.
  while (size > 0) {
    const uInt n = size > 0x40000000u ? 0x40000000u : static_cast<uInt>(size);
    adler = static_cast<UInt32>(adler32(adler, p, n));
    p += n;
    size -= n;
  }
  return adler;
}

UInt32 CalcAdler32(const void *data, size_t size) { return UpdateAdler32(1, data, size); }

void Tvor7zAdler32Hasher::Init() noexcept { FValue = 1; }

void Tvor7zAdler32Hasher::Update(const void *data, UInt32 size) noexcept {
  if (size)
    FValue = UpdateAdler32(FValue, data, size);
}

static inline void StoreLE32(Byte *p, UInt32 v) noexcept {
  for (unsigned i = 0; i < 4; i++)
    p[i] = static_cast<Byte>(v >> (8 * i));
}

void Tvor7zAdler32Hasher::Final(Byte *digest) noexcept { StoreLE32(digest, FValue); }

// ---- CRC-16/ARC ----

static constexpr std::array<UInt16, 256> MakeCrc16Table() {
  std::array<UInt16, 256> table{};
  for (unsigned i = 0; i < 256; i++) {
    unsigned c = i;
    for (int k = 0; k < 8; k++)
      c = (c & 1) ? (c >> 1) ^ 0xA001u : c >> 1;
    table[i] = static_cast<UInt16>(c);
  }
  return table;
}
static constexpr std::array<UInt16, 256> kCrc16Table = MakeCrc16Table();

void Tvor7zCRC16Hasher::Init() noexcept { FCrc = 0; }

void Tvor7zCRC16Hasher::Update(const void *data, UInt32 size) noexcept {
  const auto *p = static_cast<const Byte *>(data);
  UInt16 crc = FCrc;
  for (UInt32 i = 0; i < size; i++)
    crc = static_cast<UInt16>((crc >> 8) ^ kCrc16Table[(crc ^ p[i]) & 0xFF]);
  FCrc = crc;
}

void Tvor7zCRC16Hasher::Final(Byte *digest) noexcept {
  digest[0] = static_cast<Byte>(FCrc);
  digest[1] = static_cast<Byte>(FCrc >> 8);
}

// ---- CRC-32: zlib's routine keeps the running value with the final XOR applied, starting at 0 ----

void Tvor7zCRC32Hasher::Init() noexcept { FCrc = 0; }

void Tvor7zCRC32Hasher::Update(const void *data, UInt32 size) noexcept {
  if (size)
    FCrc = static_cast<UInt32>(crc32(FCrc, static_cast<const Bytef *>(data), size));
}

void Tvor7zCRC32Hasher::Final(Byte *digest) noexcept { StoreLE32(digest, FCrc); }

// ---- CRC-32 of bzip2 blocks: most significant bit first, not reflected ----

static constexpr std::array<UInt32, 256> MakeBZip2CrcTable() {
  std::array<UInt32, 256> table{};
  for (UInt32 i = 0; i < 256; i++) {
    UInt32 c = i << 24;
    for (int k = 0; k < 8; k++)
      c = (c & 0x80000000u) ? (c << 1) ^ 0x04C11DB7u : c << 1;
    table[i] = c;
  }
  return table;
}
static constexpr std::array<UInt32, 256> kBZip2CrcTable = MakeBZip2CrcTable();

UInt32 CalcBZip2Crc(const void *data, size_t size) {
  const auto *p = static_cast<const Byte *>(data);
  UInt32 crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < size; i++)
    crc = (crc << 8) ^ kBZip2CrcTable[(crc >> 24) ^ p[i]];
  return ~crc;
}

// ---- Message digests over the platform's provider ----

Tvor7zWinCryptHasher::Tvor7zWinCryptHasher(TvorDigestAlgorithm algorithm) {
  try {
    FEngine = CreateDigestEngine(algorithm);
  } catch (...) {
    FEngine = nullptr;  // no provider: digest size 0, as documented
  }
  if (FEngine && FEngine->DigestSize() > kMaxDigestSize)
    FEngine = nullptr;
  Init();
  if (FReady)
    FDigestSize = FEngine->DigestSize();
}

void Tvor7zWinCryptHasher::Init() noexcept {
  FFinished = false;
  FReady = FEngine && FEngine->Init();
}

void Tvor7zWinCryptHasher::Update(const void *data, UInt32 size) noexcept {
  // A finished digest takes no more data, as a CryptoAPI hash refuses it.
  if (FReady && !FFinished && size > 0)
    FEngine->Update(data, size);
}

void Tvor7zWinCryptHasher::Final(Byte *digest) noexcept {
  if (FDigestSize == 0)
    return;
  std::memset(digest, 0, FDigestSize);
  if (!FReady)
    return;
  // The provider's final step ends its state, so a repeated Final gives the kept value.
  if (!FFinished) {
    FEngine->Final(FDigest);
    FFinished = true;
  }
  std::memcpy(digest, FDigest, FDigestSize);
}

// ---- Stored digests in hexadecimal ----

static int HexValue(wchar_t c) noexcept {
  if (c >= L'0' && c <= L'9')
    return c - L'0';
  if (c >= L'a' && c <= L'f')
    return c - L'a' + 10;
  if (c >= L'A' && c <= L'F')
    return c - L'A' + 10;
  return -1;
}

void HexToDigest(const UString &text, Byte *digest, UInt32 size) {
  std::memset(digest, 0, size);
  if (text.size() != static_cast<size_t>(size) * 2)
    return;
  for (UInt32 i = 0; i < size; i++) {
    const int hi = HexValue(text[2 * static_cast<size_t>(i)]);
    const int lo = HexValue(text[2 * static_cast<size_t>(i) + 1]);
    if (hi < 0 || lo < 0) {
      std::memset(digest, 0, size);
      return;
    }
    digest[i] = static_cast<Byte>(hi << 4 | lo);
  }
}

// ---- Factories ----

template <class T>
static ComPtr<IHasher> MakeHasher() {
  return ComPtr<IHasher>(new T());
}

ComPtr<IHasher> CreateCRC32Hasher(Tvor7zCompressCodecsInfo *codecsInfo) {
  return FindHasher(codecsInfo, kHasherCRC32, MakeHasher<Tvor7zCRC32Hasher>);
}

ComPtr<IHasher> CreateSHA1Hasher(Tvor7zCompressCodecsInfo *codecsInfo) {
  return FindHasher(codecsInfo, kHasherSHA1, MakeHasher<Tvor7zWinCryptSHA1Hasher>);
}

ComPtr<IHasher> CreateSHA256Hasher(Tvor7zCompressCodecsInfo *codecsInfo) {
  return FindHasher(codecsInfo, kHasherSHA256, MakeHasher<Tvor7zWinCryptSHA256Hasher>);
}
