// The few services that differ between Windows and Linux. Windows uses the real Windows APIs;
// Linux gives the same observable behaviour with its own means.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "host/HostAbi.h"

// Separator of the folders in an item path, as the host splits it.
#ifdef _WIN32
inline constexpr wchar_t kPlatformPathDelimiter = L'\\';
#else
inline constexpr wchar_t kPlatformPathDelimiter = L'/';
#endif

// Error code of the last failed system call (GetLastError; errno on Linux).
UInt32 PlatformLastError() noexcept;
// HRESULT of such a code in the form the host decodes: HRESULT_FROM_WIN32 on Windows, the host's
// errno form 0x8800nnnn on Linux (it prints "errno=N" with its text). Code 0 gives E_FAIL: a
// failed call must not turn into S_OK.
HRESULT PlatformErrorToHResult(UInt32 code) noexcept;
// Milliseconds of a monotonic clock (wraps like GetTickCount).
UInt32 PlatformTickCount() noexcept;
// Logical processors of the machine.
UInt32 PlatformProcessorCount() noexcept;

// BSTRs in the layout the host frees: SysAllocString on Windows, 7-Zip's malloc layout on Linux.
BSTR BstrAlloc(const wchar_t *text, size_t length);
BSTR BstrAllocBytes(const void *data, UInt32 byteLength);
void BstrFree(BSTR s) noexcept;
UInt32 BstrByteLength(BSTR s) noexcept;

// Converts a byte string from a Windows code page (0 = the default ANSI page).
UString PlatformMultiByteToUnicode(const char *data, size_t size, UInt32 codePage);
// Converts to the default ANSI page, replacing characters the page lacks.
AString PlatformUnicodeToAnsi(const UString &text);
// Lower-cases with the locale's rules.
UString PlatformLowerCase(const UString &text);

// Converts a calendar date and time (UTC, as given) to FILETIME ticks; false for an invalid date.
bool PlatformSystemTimeToFileTime(int year, int month, int day, int hour, int minute, int second,
                                  int millisecond, UInt64 &fileTime) noexcept;

// A temporary file that disappears when it is closed.
class TvorTempFile {
public:
  TvorTempFile() = default;
  ~TvorTempFile();
  TvorTempFile(const TvorTempFile &) = delete;
  TvorTempFile &operator=(const TvorTempFile &) = delete;

  bool IsOpen() const noexcept;
  // Creates the file; the system error on failure.
  HRESULT Create() noexcept;
  void Close() noexcept;
  // Whole transfers at an offset; E_FAIL when incomplete, the system error when the call fails.
  HRESULT WriteAt(UInt64 offset, const void *data, UInt32 size) noexcept;
  HRESULT ReadAt(UInt64 offset, void *data, UInt32 size) noexcept;

private:
#ifdef _WIN32
  HANDLE FFile = INVALID_HANDLE_VALUE;
#else
  int FFile = -1;
#endif
};

// Message digests MD4, MD5, SHA-1, SHA-256, SHA-512 (CryptoAPI on Windows, libcrypto on Linux) and
// BLAKE2b-512 (libb2 on Windows, libcrypto on Linux).
enum class TvorDigestAlgorithm { MD4, MD5, SHA1, SHA256, SHA512, BLAKE2b };

class TvorDigestEngine {
public:
  virtual ~TvorDigestEngine() = default;
  // Starts a new digest; false when the algorithm is not available.
  virtual bool Init() noexcept = 0;
  virtual void Update(const void *data, UInt32 size) noexcept = 0;
  // Writes DigestSize() bytes.
  virtual void Final(Byte *digest) noexcept = 0;
  virtual UInt32 DigestSize() const noexcept = 0;
};
std::unique_ptr<TvorDigestEngine> CreateDigestEngine(TvorDigestAlgorithm algorithm);

// ---- Keys and ciphers of encrypted containers (CNG on Windows, libcrypto on Linux) ----

// Overwrites memory that held a password or a key, in a way the compiler keeps.
void PlatformWipe(void *data, size_t size) noexcept;

// Bytes of a password or a key, wiped when they are freed. Its size is fixed when it is made.
class TvorSecret {
public:
  TvorSecret() = default;
  explicit TvorSecret(size_t size) : FData(size) {}
  TvorSecret(const void *data, size_t size)
      : FData(static_cast<const Byte *>(data), static_cast<const Byte *>(data) + size) {}
  TvorSecret(const TvorSecret &other) : TvorSecret(other.data(), other.size()) {}
  TvorSecret(TvorSecret &&other) noexcept : FData(std::move(other.FData)) {}
  TvorSecret &operator=(const TvorSecret &other) {
    if (this != &other)
      *this = TvorSecret(other);
    return *this;
  }
  TvorSecret &operator=(TvorSecret &&other) noexcept {
    Clear();
    FData = std::move(other.FData);
    return *this;
  }
  ~TvorSecret() { Clear(); }

  Byte *data() noexcept { return FData.data(); }
  const Byte *data() const noexcept { return FData.data(); }
  size_t size() const noexcept { return FData.size(); }
  bool empty() const noexcept { return FData.empty(); }
  bool operator==(const TvorSecret &other) const noexcept { return FData == other.FData; }
  void Clear() noexcept {
    PlatformWipe(FData.data(), FData.size());
    std::vector<Byte>().swap(FData);
  }

private:
  std::vector<Byte> FData;
};

// AES with a 16-, 24- or 32-byte key over whole 16-byte blocks; `in` may be `out`. One object per
// thread.
class TvorAes {
public:
  virtual ~TvorAes() = default;
  // Every block on its own (electronic code book).
  virtual bool EncryptBlocks(const Byte *in, Byte *out, size_t size) noexcept = 0;
  virtual bool DecryptBlocks(const Byte *in, Byte *out, size_t size) noexcept = 0;
  // Cipher block chaining from the 16 bytes at `iv`, which are left at the last cipher block, so
  // that the next piece of the same text goes on from there.
  virtual bool DecryptChained(Byte *iv, const Byte *in, Byte *out, size_t size) noexcept = 0;
};
// Nil when the key size is not 16, 24 or 32 or the provider fails.
std::unique_ptr<TvorAes> CreateAes(const Byte *key, size_t keySize);

// The digests HMAC and PBKDF2 are built on here.
enum class TvorMacAlgorithm { SHA1, SHA256, SHA512 };
// Size of the MAC (the digest): 20, 32 or 64.
inline size_t MacSize(TvorMacAlgorithm algorithm) noexcept {
  return algorithm == TvorMacAlgorithm::SHA1 ? 20 : algorithm == TvorMacAlgorithm::SHA256 ? 32 : 64;
}
// HMAC of `data` under `key` into `mac` (MacSize bytes); false when the provider fails.
bool PlatformHmac(TvorMacAlgorithm algorithm, const Byte *key, size_t keySize, const Byte *data, size_t size,
                  Byte *mac) noexcept;
// PBKDF2 (PKCS #5) with HMAC over `algorithm` as its pseudo-random function; false when the provider
// fails.
bool PlatformPbkdf2(TvorMacAlgorithm algorithm, const Byte *password, size_t passwordSize, const Byte *salt,
                    size_t saltSize, UInt32 iterations, Byte *key, size_t keySize) noexcept;
