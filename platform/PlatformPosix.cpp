// Linux side of the platform layer.
#include "platform/Platform.h"

// The direct digest routines: through EVP, OpenSSL 3 offers MD4 only with its legacy provider.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/md4.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/md5.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <iconv.h>
#include <new>
#include <string>
#include <thread>
#include <unistd.h>

UInt32 PlatformLastError() noexcept { return static_cast<UInt32>(errno); }

HRESULT PlatformErrorToHResult(UInt32 code) noexcept {
  return code == 0 ? E_FAIL : static_cast<HRESULT>(0x88000000u | (code & 0xFFFFu));
}

UInt32 PlatformTickCount() noexcept {
  using namespace std::chrono;
  return static_cast<UInt32>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

UInt32 PlatformProcessorCount() noexcept {
  const unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : n;
}

// ---- BSTR: [UInt32 byte length][data][zero padding to 4][4 zero bytes], freed by the host with free() ----

static BSTR AllocBstrBlock(UInt32 byteLength) {
  const size_t padded = (static_cast<size_t>(byteLength) + 3) & ~static_cast<size_t>(3);
  auto *block = static_cast<Byte *>(std::calloc(1, sizeof(UInt32) + padded + sizeof(wchar_t)));
  if (!block)
    throw std::bad_alloc();
  std::memcpy(block, &byteLength, sizeof(UInt32));
  return reinterpret_cast<BSTR>(block + sizeof(UInt32));
}

BSTR BstrAlloc(const wchar_t *text, size_t length) {
  if (length > 0x3FFFFFFF)
    throw std::bad_alloc();
  BSTR s = AllocBstrBlock(static_cast<UInt32>(length * sizeof(wchar_t)));
  if (length && text)
    std::memcpy(s, text, length * sizeof(wchar_t));
  return s;
}

BSTR BstrAllocBytes(const void *data, UInt32 byteLength) {
  BSTR s = AllocBstrBlock(byteLength);
  if (byteLength && data)
    std::memcpy(s, data, byteLength);
  return s;
}

void BstrFree(BSTR s) noexcept {
  if (s)
    std::free(reinterpret_cast<Byte *>(s) - sizeof(UInt32));
}

UInt32 BstrByteLength(BSTR s) noexcept {
  if (!s)
    return 0;
  UInt32 n;
  std::memcpy(&n, reinterpret_cast<Byte *>(s) - sizeof(UInt32), sizeof(UInt32));
  return n;
}

// ---- Code pages ----

static bool DecodeUtf8(const char *data, size_t size, UString &out, bool strict) {
  out.clear();
  out.reserve(size);
  const auto *p = reinterpret_cast<const unsigned char *>(data);
  size_t i = 0;
  while (i < size) {
    const unsigned c = p[i];
    unsigned need = 0;
    UInt32 cp = 0;
    if (c < 0x80) {
      out.push_back(static_cast<wchar_t>(c));
      i++;
      continue;
    } else if ((c & 0xE0) == 0xC0 && c >= 0xC2) {
      need = 1;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      need = 2;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0 && c <= 0xF4) {
      need = 3;
      cp = c & 0x07;
    } else {
      if (strict)
        return false;
      out.push_back(0xFFFD);
      i++;
      continue;
    }
    bool ok = true;
    for (unsigned k = 1; ok && k <= need; k++) {
      if (i + k >= size || (p[i + k] & 0xC0) != 0x80)
        ok = false;
      else
        cp = (cp << 6) | (p[i + k] & 0x3F);
    }
    if (ok && ((need == 2 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) || (need == 3 && (cp < 0x10000 || cp > 0x10FFFF))))
      ok = false;
    if (!ok) {
      if (strict)
        return false;
      out.push_back(0xFFFD);
      i++;
      continue;
    }
    out.push_back(static_cast<wchar_t>(cp));
    i += need + 1;
  }
  return true;
}

static bool DecodeWithIconv(const char *data, size_t size, UInt32 codePage, UString &out) {
  const std::string name = "CP" + std::to_string(codePage);
  iconv_t cd = iconv_open("UTF-32LE", name.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1))
    return false;
  out.assign(size, L'\0');
  char *in = const_cast<char *>(data);
  size_t inLeft = size;
  char *outPtr = reinterpret_cast<char *>(out.data());
  size_t outLeft = size * sizeof(wchar_t);
  bool ok = true;
  while (inLeft > 0) {
    if (iconv(cd, &in, &inLeft, &outPtr, &outLeft) == static_cast<size_t>(-1)) {
      if (errno == EILSEQ || errno == EINVAL) {
        // An unmapped byte becomes the replacement character, as the Windows conversion does.
        if (outLeft < sizeof(wchar_t)) {
          ok = false;
          break;
        }
        const wchar_t r = 0xFFFD;
        std::memcpy(outPtr, &r, sizeof r);
        outPtr += sizeof r;
        outLeft -= sizeof r;
        in++;
        inLeft--;
      } else {
        ok = false;
        break;
      }
    }
  }
  // Some pages (1255, 1258) hold back the last character for a combining mark that may follow.
  if (ok && iconv(cd, nullptr, nullptr, &outPtr, &outLeft) == static_cast<size_t>(-1))
    ok = false;
  iconv_close(cd);
  if (!ok)
    return false;
  out.resize(size - outLeft / sizeof(wchar_t));
  return true;
}

// Windows-1252: the default ANSI page of most Windows systems, used for bytes that are not UTF-8.
static UString DecodeCp1252(const char *data, size_t size) {
  static const UInt16 high[32] = {0x20AC, 0x81,   0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                  0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x8D,   0x017D, 0x8F,
                                  0x90,   0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                  0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x9D,   0x017E, 0x0178};
  UString out(size, L'\0');
  for (size_t i = 0; i < size; i++) {
    const unsigned char c = static_cast<unsigned char>(data[i]);
    out[i] = static_cast<wchar_t>(c >= 0x80 && c < 0xA0 ? high[c - 0x80] : c);
  }
  return out;
}

UString PlatformMultiByteToUnicode(const char *data, size_t size, UInt32 codePage) {
  UString out;
  if (size == 0)
    return out;
  if (codePage == 65001) {
    DecodeUtf8(data, size, out, false);
    return out;
  }
  if (codePage != 0 && codePage != 1252 && DecodeWithIconv(data, size, codePage, out))
    return out;
  // Default page on Linux: text that is valid UTF-8 is taken as such, anything else as Windows-1252.
  if (codePage == 0 && DecodeUtf8(data, size, out, true))
    return out;
  return DecodeCp1252(data, size);
}

AString PlatformUnicodeToAnsi(const UString &text) {
  // The Linux default page is UTF-8, which holds every character.
  AString out;
  for (wchar_t wc : text) {
    UInt32 c = static_cast<UInt32>(wc);
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
      c = '?';
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

UString PlatformLowerCase(const UString &text) {
  UString r(text);
  for (auto &c : r)
    c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
  return r;
}

// ---- Dates ----

bool PlatformSystemTimeToFileTime(int year, int month, int day, int hour, int minute, int second,
                                  int millisecond, UInt64 &fileTime) noexcept {
  static const int daysIn[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (year < 1601 || year > 30827 || month < 1 || month > 12 || hour < 0 || hour > 23 || minute < 0 ||
      minute > 59 || second < 0 || second > 59 || millisecond < 0 || millisecond > 999)
    return false;
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  const int dim = daysIn[month - 1] + (month == 2 && leap ? 1 : 0);
  if (day < 1 || day > dim)
    return false;
  // Days since 1601-01-01 (proleptic Gregorian).
  const Int64 y = year - 1601;
  Int64 days = y * 365 + y / 4 - y / 100 + y / 400;
  for (int m = 1; m < month; m++)
    days += daysIn[m - 1] + (m == 2 && leap ? 1 : 0);
  days += day - 1;
  const Int64 secs = days * 86400 + hour * 3600 + minute * 60 + second;
  fileTime = static_cast<UInt64>(secs) * 10000000u + static_cast<UInt64>(millisecond) * 10000u;
  return true;
}

// ---- Temporary file: created and unlinked at once, so it vanishes with its descriptor ----

TvorTempFile::~TvorTempFile() { Close(); }

bool TvorTempFile::IsOpen() const noexcept { return FFile >= 0; }

HRESULT TvorTempFile::Create() noexcept {
  if (FFile >= 0)
    return S_OK;
  const char *dir = std::getenv("TMPDIR");
  std::string path = (dir && *dir) ? dir : "/tmp";
  path += "/vor7z-XXXXXX";
  const int fd = mkstemp(path.data());
  if (fd < 0)
    return PlatformErrorToHResult(static_cast<UInt32>(errno));
  unlink(path.c_str());
  FFile = fd;
  return S_OK;
}

void TvorTempFile::Close() noexcept {
  if (FFile >= 0) {
    close(FFile);
    FFile = -1;
  }
}

HRESULT TvorTempFile::WriteAt(UInt64 offset, const void *data, UInt32 size) noexcept {
  const ssize_t n = pwrite(FFile, data, size, static_cast<off_t>(offset));
  if (n < 0)
    return PlatformErrorToHResult(static_cast<UInt32>(errno));
  return static_cast<UInt32>(n) == size ? S_OK : E_FAIL;
}

HRESULT TvorTempFile::ReadAt(UInt64 offset, void *data, UInt32 size) noexcept {
  const ssize_t n = pread(FFile, data, size, static_cast<off_t>(offset));
  if (n < 0)
    return PlatformErrorToHResult(static_cast<UInt32>(errno));
  return static_cast<UInt32>(n) == size ? S_OK : E_FAIL;
}

// ---- Digests through libcrypto ----

namespace {
template <class Ctx, int (*InitF)(Ctx *), int (*UpdateF)(Ctx *, const void *, size_t),
          int (*FinalF)(unsigned char *, Ctx *), UInt32 Size>
class TLibCryptoDigest final : public TvorDigestEngine {
public:
  bool Init() noexcept override { return InitF(&FCtx) == 1; }
  void Update(const void *data, UInt32 size) noexcept override {
    if (size)
      UpdateF(&FCtx, data, size);
  }
  void Final(Byte *digest) noexcept override { FinalF(digest, &FCtx); }
  UInt32 DigestSize() const noexcept override { return Size; }

private:
  Ctx FCtx{};
};

// BLAKE2b-512 has no direct routine; EVP offers it without a legacy provider.
class TEvpBlake2b final : public TvorDigestEngine {
public:
  ~TEvpBlake2b() override { EVP_MD_CTX_free(FCtx); }
  bool Init() noexcept override {
    if (!FCtx)
      FCtx = EVP_MD_CTX_new();
    return FCtx && EVP_DigestInit_ex(FCtx, EVP_blake2b512(), nullptr) == 1;
  }
  void Update(const void *data, UInt32 size) noexcept override {
    if (size)
      EVP_DigestUpdate(FCtx, data, size);
  }
  void Final(Byte *digest) noexcept override { EVP_DigestFinal_ex(FCtx, digest, nullptr); }
  UInt32 DigestSize() const noexcept override { return 64; }

private:
  EVP_MD_CTX *FCtx = nullptr;
};
} // namespace

std::unique_ptr<TvorDigestEngine> CreateDigestEngine(TvorDigestAlgorithm algorithm) {
  switch (algorithm) {
  case TvorDigestAlgorithm::MD4:
    return std::make_unique<TLibCryptoDigest<MD4_CTX, MD4_Init, MD4_Update, MD4_Final, 16>>();
  case TvorDigestAlgorithm::MD5:
    return std::make_unique<TLibCryptoDigest<MD5_CTX, MD5_Init, MD5_Update, MD5_Final, 16>>();
  case TvorDigestAlgorithm::SHA1:
    return std::make_unique<TLibCryptoDigest<SHA_CTX, SHA1_Init, SHA1_Update, SHA1_Final, 20>>();
  case TvorDigestAlgorithm::SHA256:
    return std::make_unique<TLibCryptoDigest<SHA256_CTX, SHA256_Init, SHA256_Update, SHA256_Final, 32>>();
  case TvorDigestAlgorithm::SHA512:
    return std::make_unique<TLibCryptoDigest<SHA512_CTX, SHA512_Init, SHA512_Update, SHA512_Final, 64>>();
  case TvorDigestAlgorithm::BLAKE2b:
    return std::make_unique<TEvpBlake2b>();
  }
  return nullptr;
}

// ---- Keys and ciphers through libcrypto ----

void PlatformWipe(void *data, size_t size) noexcept {
  if (data && size)
    OPENSSL_cleanse(data, size);
}

namespace {
const EVP_CIPHER *AesCipher(size_t keySize, bool chained) {
  switch (keySize) {
  case 16: return chained ? EVP_aes_128_cbc() : EVP_aes_128_ecb();
  case 24: return chained ? EVP_aes_192_cbc() : EVP_aes_192_ecb();
  case 32: return chained ? EVP_aes_256_cbc() : EVP_aes_256_ecb();
  default: return nullptr;
  }
}

// One context per direction and mode, each made with the key on first use; freeing a context
// clears its key schedule.
class TLibCryptoAes final : public TvorAes {
public:
  TLibCryptoAes(const Byte *key, size_t keySize) : FKey(key, keySize) {}
  ~TLibCryptoAes() override {
    for (EVP_CIPHER_CTX *c : FCtx)
      EVP_CIPHER_CTX_free(c);
  }
  bool EncryptBlocks(const Byte *in, Byte *out, size_t size) noexcept override {
    return Run(Context(kEncrypt), in, out, size);
  }
  bool DecryptBlocks(const Byte *in, Byte *out, size_t size) noexcept override {
    return Run(Context(kDecrypt), in, out, size);
  }
  bool DecryptChained(Byte *iv, const Byte *in, Byte *out, size_t size) noexcept override {
    EVP_CIPHER_CTX *c = Context(kChained);
    if (!c || size % 16 != 0 || EVP_DecryptInit_ex(c, nullptr, nullptr, nullptr, iv) != 1)
      return false;
    Byte next[16];
    if (size >= 16)
      std::memcpy(next, in + size - 16, 16);  // before `out` may overwrite it
    if (!Run(c, in, out, size))
      return false;
    if (size >= 16)
      std::memcpy(iv, next, 16);
    return true;
  }

private:
  enum { kEncrypt, kDecrypt, kChained };
  EVP_CIPHER_CTX *Context(int kind) noexcept {
    if (!FCtx[kind]) {
      EVP_CIPHER_CTX *c = EVP_CIPHER_CTX_new();
      const EVP_CIPHER *cipher = AesCipher(FKey.size(), kind == kChained);
      if (!c || !cipher || EVP_CipherInit_ex(c, cipher, nullptr, FKey.data(), nullptr, kind == kEncrypt ? 1 : 0) != 1) {
        EVP_CIPHER_CTX_free(c);
        return nullptr;
      }
      EVP_CIPHER_CTX_set_padding(c, 0);
      FCtx[kind] = c;
    }
    return FCtx[kind];
  }
  static bool Run(EVP_CIPHER_CTX *c, const Byte *in, Byte *out, size_t size) noexcept {
    if (!c || size % 16 != 0)
      return false;
    // EVP takes int lengths: long runs go in pieces.
    constexpr size_t kPiece = 1u << 30;
    for (size_t done = 0; done < size;) {
      const size_t n = std::min(size - done, kPiece);
      int got = 0;
      if (EVP_CipherUpdate(c, out + done, &got, in + done, static_cast<int>(n)) != 1 || static_cast<size_t>(got) != n)
        return false;
      done += n;
    }
    return true;
  }

  TvorSecret FKey;
  EVP_CIPHER_CTX *FCtx[3] = {};
};

const EVP_MD *MacDigest(TvorMacAlgorithm algorithm) {
  switch (algorithm) {
  case TvorMacAlgorithm::SHA1: return EVP_sha1();
  case TvorMacAlgorithm::SHA256: return EVP_sha256();
  case TvorMacAlgorithm::SHA512: return EVP_sha512();
  }
  return nullptr;
}
}  // namespace

std::unique_ptr<TvorAes> CreateAes(const Byte *key, size_t keySize) {
  if (!AesCipher(keySize, false))
    return nullptr;
  return std::make_unique<TLibCryptoAes>(key, keySize);
}

bool PlatformHmac(TvorMacAlgorithm algorithm, const Byte *key, size_t keySize, const Byte *data, size_t size,
                  Byte *mac) noexcept {
  static const Byte kNone = 0;
  unsigned length = 0;
  return HMAC(MacDigest(algorithm), keySize ? key : &kNone, static_cast<int>(keySize), size ? data : &kNone, size,
              mac, &length) != nullptr &&
         length == MacSize(algorithm);
}

bool PlatformPbkdf2(TvorMacAlgorithm algorithm, const Byte *password, size_t passwordSize, const Byte *salt,
                    size_t saltSize, UInt32 iterations, Byte *key, size_t keySize) noexcept {
  static const Byte kNone = 0;
  if (iterations == 0 || iterations > 0x7FFFFFFFu || passwordSize > 0x7FFFFFFF || saltSize > 0x7FFFFFFF ||
      keySize > 0x7FFFFFFF)
    return false;
  return PKCS5_PBKDF2_HMAC(reinterpret_cast<const char *>(passwordSize ? password : &kNone),
                           static_cast<int>(passwordSize), saltSize ? salt : &kNone, static_cast<int>(saltSize),
                           static_cast<int>(iterations), MacDigest(algorithm), static_cast<int>(keySize), key) == 1;
}
