// Windows side of the platform layer: the real Windows APIs.
#include "platform/Platform.h"

#include <objbase.h>
#include <bcrypt.h>
#include <wincrypt.h>

#include <blake2.h>

#include <algorithm>
#include <cstring>
#include <cwctype>
#include <new>

UInt32 PlatformLastError() noexcept { return GetLastError(); }

UInt32 PlatformTickCount() noexcept { return GetTickCount(); }

UInt32 PlatformProcessorCount() noexcept {
  SYSTEM_INFO si{};
  GetNativeSystemInfo(&si);
  return si.dwNumberOfProcessors == 0 ? 1 : si.dwNumberOfProcessors;
}

BSTR BstrAlloc(const wchar_t *text, size_t length) {
  if (length > 0x3FFFFFFF)
    throw std::bad_alloc();
  BSTR s = SysAllocStringLen(text, static_cast<UINT>(length));
  if (!s)
    throw std::bad_alloc();
  return s;
}

BSTR BstrAllocBytes(const void *data, UInt32 byteLength) {
  BSTR s = SysAllocStringByteLen(static_cast<LPCSTR>(data), byteLength);
  if (!s)
    throw std::bad_alloc();
  return s;
}

void BstrFree(BSTR s) noexcept { SysFreeString(s); }

UInt32 BstrByteLength(BSTR s) noexcept { return SysStringByteLen(s); }

UString PlatformMultiByteToUnicode(const char *data, size_t size, UInt32 codePage) {
  UString out;
  if (size == 0 || size > 0x7FFFFFFF)
    return out;
  const int n = static_cast<int>(size);
  UINT cp = codePage == 0 ? CP_ACP : codePage;
  int len = MultiByteToWideChar(cp, 0, data, n, nullptr, 0);
  if (len <= 0 && cp != CP_ACP) {
    // A page the system does not know falls back to the default conversion.
    cp = CP_ACP;
    len = MultiByteToWideChar(cp, 0, data, n, nullptr, 0);
  }
  if (len <= 0)
    return out;
  out.resize(static_cast<size_t>(len));
  MultiByteToWideChar(cp, 0, data, n, out.data(), len);
  return out;
}

AString PlatformUnicodeToAnsi(const UString &text) {
  AString out;
  if (text.empty())
    return out;
  const int len = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                      nullptr, nullptr);
  if (len <= 0)
    return out;
  out.resize(static_cast<size_t>(len));
  WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out.data(), len, nullptr, nullptr);
  return out;
}

UString PlatformLowerCase(const UString &text) {
  UString r(text);
  if (!r.empty())
    CharLowerBuffW(r.data(), static_cast<DWORD>(r.size()));
  return r;
}

bool PlatformSystemTimeToFileTime(int year, int month, int day, int hour, int minute, int second,
                                  int millisecond, UInt64 &fileTime) noexcept {
  if (year < 0 || year > 0xFFFF || month < 0 || month > 0xFFFF || day < 0 || day > 0xFFFF || hour < 0 ||
      minute < 0 || second < 0 || millisecond < 0)
    return false;
  SYSTEMTIME st{};
  st.wYear = static_cast<WORD>(year);
  st.wMonth = static_cast<WORD>(month);
  st.wDay = static_cast<WORD>(day);
  st.wHour = static_cast<WORD>(hour);
  st.wMinute = static_cast<WORD>(minute);
  st.wSecond = static_cast<WORD>(second);
  st.wMilliseconds = static_cast<WORD>(millisecond);
  FILETIME ft;
  if (!SystemTimeToFileTime(&st, &ft))
    return false;
  fileTime = (static_cast<UInt64>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  return true;
}

// ---- Temporary file: GUID-named in the temporary folder, deleted by the system on close ----

TvorTempFile::~TvorTempFile() { Close(); }

bool TvorTempFile::IsOpen() const noexcept { return FFile != INVALID_HANDLE_VALUE; }

HRESULT PlatformErrorToHResult(UInt32 code) noexcept { return code == 0 ? E_FAIL : HRESULT_FROM_WIN32(code); }

static HRESULT LastErrorHResult() noexcept { return PlatformErrorToHResult(GetLastError()); }

HRESULT TvorTempFile::Create() noexcept {
  if (IsOpen())
    return S_OK;
  wchar_t dir[MAX_PATH + 1];
  const DWORD n = GetTempPathW(MAX_PATH + 1, dir);
  if (n == 0 || n > MAX_PATH)
    return LastErrorHResult();
  GUID g;
  if (FAILED(CoCreateGuid(&g)))
    return E_FAIL;
  wchar_t guidText[64];
  if (StringFromGUID2(g, guidText, 64) == 0)
    return E_FAIL;
  std::wstring path(dir);
  path += guidText;
  FFile = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                      FILE_FLAG_DELETE_ON_CLOSE | FILE_ATTRIBUTE_NORMAL, nullptr);
  return IsOpen() ? S_OK : LastErrorHResult();
}

void TvorTempFile::Close() noexcept {
  if (IsOpen()) {
    CloseHandle(FFile);
    FFile = INVALID_HANDLE_VALUE;
  }
}

static HRESULT SeekTo(HANDLE h, UInt64 offset) noexcept {
  LARGE_INTEGER li;
  li.QuadPart = static_cast<LONGLONG>(offset);
  return SetFilePointerEx(h, li, nullptr, FILE_BEGIN) ? S_OK : LastErrorHResult();
}

HRESULT TvorTempFile::WriteAt(UInt64 offset, const void *data, UInt32 size) noexcept {
  HRESULT hr = SeekTo(FFile, offset);
  if (hr != S_OK)
    return hr;
  DWORD done = 0;
  if (!WriteFile(FFile, data, size, &done, nullptr))
    return LastErrorHResult();
  return done == size ? S_OK : E_FAIL;
}

HRESULT TvorTempFile::ReadAt(UInt64 offset, void *data, UInt32 size) noexcept {
  HRESULT hr = SeekTo(FFile, offset);
  if (hr != S_OK)
    return hr;
  DWORD done = 0;
  if (!ReadFile(FFile, data, size, &done, nullptr))
    return LastErrorHResult();
  return done == size ? S_OK : E_FAIL;
}

// ---- Digests through CryptoAPI ----

namespace {
// The AES provider type is used because the base RSA provider has no SHA-256; it offers MD4 to SHA-256.
class TWinCryptDigest final : public TvorDigestEngine {
public:
  explicit TWinCryptDigest(ALG_ID algId) : FAlgId(algId) {}
  ~TWinCryptDigest() override {
    if (FHash)
      CryptDestroyHash(FHash);
    if (FProvider)
      CryptReleaseContext(FProvider, 0);
  }
  bool Init() noexcept override {
    if (FHash) {
      CryptDestroyHash(FHash);
      FHash = 0;
    }
    if (!FProvider) {
      if (!CryptAcquireContextW(&FProvider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT | CRYPT_SILENT)) {
        FProvider = 0;
        return false;
      }
    }
    if (!CryptCreateHash(FProvider, FAlgId, 0, 0, &FHash)) {
      FHash = 0;
      return false;
    }
    if (FDigestSize == 0) {
      DWORD size = 0, len = sizeof(size);
      if (CryptGetHashParam(FHash, HP_HASHSIZE, reinterpret_cast<BYTE *>(&size), &len, 0))
        FDigestSize = size;
    }
    return true;
  }
  void Update(const void *data, UInt32 size) noexcept override {
    if (size > 0 && FHash)
      CryptHashData(FHash, static_cast<const BYTE *>(data), size, 0);
  }
  void Final(Byte *digest) noexcept override {
    if (FDigestSize == 0)
      return;
    std::memset(digest, 0, FDigestSize);
    if (FHash) {
      DWORD len = FDigestSize;
      CryptGetHashParam(FHash, HP_HASHVAL, digest, &len, 0);
    }
  }
  UInt32 DigestSize() const noexcept override { return FDigestSize; }

private:
  ALG_ID FAlgId;
  HCRYPTPROV FProvider = 0;
  HCRYPTHASH FHash = 0;
  UInt32 FDigestSize = 0;
};
} // namespace

// No provider of Windows has BLAKE2b: libb2, built into the DLL.
class TBlake2bDigest final : public TvorDigestEngine {
public:
  bool Init() noexcept override { return blake2b_init(&FState, 64) == 0; }
  void Update(const void *data, UInt32 size) noexcept override {
    blake2b_update(&FState, static_cast<const uint8_t *>(data), size);
  }
  void Final(Byte *digest) noexcept override { blake2b_final(&FState, digest, 64); }
  UInt32 DigestSize() const noexcept override { return 64; }

private:
  blake2b_state FState{};
};

std::unique_ptr<TvorDigestEngine> CreateDigestEngine(TvorDigestAlgorithm algorithm) {
  switch (algorithm) {
  case TvorDigestAlgorithm::MD4:
    return std::make_unique<TWinCryptDigest>(CALG_MD4);
  case TvorDigestAlgorithm::MD5:
    return std::make_unique<TWinCryptDigest>(CALG_MD5);
  case TvorDigestAlgorithm::SHA1:
    return std::make_unique<TWinCryptDigest>(CALG_SHA1);
  case TvorDigestAlgorithm::SHA256:
    return std::make_unique<TWinCryptDigest>(CALG_SHA_256);
  case TvorDigestAlgorithm::SHA512:
    return std::make_unique<TWinCryptDigest>(CALG_SHA_512);
  case TvorDigestAlgorithm::BLAKE2b:
    return std::make_unique<TBlake2bDigest>();
  }
  return nullptr;
}

// ---- Keys and ciphers through CNG ----

void PlatformWipe(void *data, size_t size) noexcept {
  if (data && size)
    SecureZeroMemory(data, size);
}

namespace {
bool NtSuccess(NTSTATUS status) { return status >= 0; }

// A provider of `algorithm`, opened for the process on first use (CNG providers may be shared by
// threads) and never closed.
BCRYPT_ALG_HANDLE Provider(const wchar_t *algorithm, ULONG flags) noexcept {
  BCRYPT_ALG_HANDLE handle = nullptr;
  return NtSuccess(BCryptOpenAlgorithmProvider(&handle, algorithm, nullptr, flags)) ? handle : nullptr;
}

BCRYPT_ALG_HANDLE AesProvider() noexcept {
  static const BCRYPT_ALG_HANDLE handle = Provider(BCRYPT_AES_ALGORITHM, 0);
  return handle;
}

BCRYPT_ALG_HANDLE MacProvider(TvorMacAlgorithm algorithm) noexcept {
  static const BCRYPT_ALG_HANDLE sha1 = Provider(BCRYPT_SHA1_ALGORITHM, BCRYPT_ALG_HANDLE_HMAC_FLAG);
  static const BCRYPT_ALG_HANDLE sha256 = Provider(BCRYPT_SHA256_ALGORITHM, BCRYPT_ALG_HANDLE_HMAC_FLAG);
  static const BCRYPT_ALG_HANDLE sha512 = Provider(BCRYPT_SHA512_ALGORITHM, BCRYPT_ALG_HANDLE_HMAC_FLAG);
  return algorithm == TvorMacAlgorithm::SHA1 ? sha1 : algorithm == TvorMacAlgorithm::SHA256 ? sha256 : sha512;
}

// One key object per mode (the chaining mode belongs to the key); destroying a key clears it.
class TCngAes final : public TvorAes {
public:
  ~TCngAes() override {
    if (FBlocks)
      BCryptDestroyKey(FBlocks);
    if (FChained)
      BCryptDestroyKey(FChained);
  }
  bool Init(const Byte *key, size_t keySize) noexcept {
    return MakeKey(FBlocks, BCRYPT_CHAIN_MODE_ECB, key, keySize) && MakeKey(FChained, BCRYPT_CHAIN_MODE_CBC, key, keySize);
  }
  bool EncryptBlocks(const Byte *in, Byte *out, size_t size) noexcept override {
    return Run(true, FBlocks, nullptr, in, out, size);
  }
  bool DecryptBlocks(const Byte *in, Byte *out, size_t size) noexcept override {
    return Run(false, FBlocks, nullptr, in, out, size);
  }
  bool DecryptChained(Byte *iv, const Byte *in, Byte *out, size_t size) noexcept override {
    return Run(false, FChained, iv, in, out, size);
  }

private:
  static bool MakeKey(BCRYPT_KEY_HANDLE &handle, const wchar_t *mode, const Byte *key, size_t keySize) noexcept {
    if (!AesProvider() ||
        !NtSuccess(BCryptGenerateSymmetricKey(AesProvider(), &handle, nullptr, 0, const_cast<PUCHAR>(key),
                                              static_cast<ULONG>(keySize), 0)))
      return false;
    return NtSuccess(BCryptSetProperty(handle, BCRYPT_CHAINING_MODE, reinterpret_cast<PUCHAR>(const_cast<wchar_t *>(mode)),
                                       static_cast<ULONG>((wcslen(mode) + 1) * sizeof(wchar_t)), 0));
  }
  static bool Run(bool encrypt, BCRYPT_KEY_HANDLE key, Byte *iv, const Byte *in, Byte *out, size_t size) noexcept {
    if (size % 16 != 0)
      return false;
    constexpr size_t kPiece = 1u << 30;
    for (size_t done = 0; done < size;) {
      const ULONG n = static_cast<ULONG>(std::min(size - done, kPiece));
      ULONG got = 0;
      auto *input = const_cast<PUCHAR>(in + done);
      // A chained piece goes on from the last cipher block before it, taken before `out` may
      // overwrite it (not left to the provider).
      Byte next[16];
      if (iv)
        std::memcpy(next, input + n - 16, 16);
      const NTSTATUS status = encrypt ? BCryptEncrypt(key, input, n, nullptr, iv, iv ? 16 : 0, out + done, n, &got, 0)
                                      : BCryptDecrypt(key, input, n, nullptr, iv, iv ? 16 : 0, out + done, n, &got, 0);
      if (!NtSuccess(status) || got != n)
        return false;
      if (iv)
        std::memcpy(iv, next, 16);
      done += n;
    }
    return true;
  }

  BCRYPT_KEY_HANDLE FBlocks = nullptr;
  BCRYPT_KEY_HANDLE FChained = nullptr;
};
}  // namespace

std::unique_ptr<TvorAes> CreateAes(const Byte *key, size_t keySize) {
  if (keySize != 16 && keySize != 24 && keySize != 32)
    return nullptr;
  auto aes = std::make_unique<TCngAes>();
  if (!aes->Init(key, keySize))
    return nullptr;
  return aes;
}

bool PlatformHmac(TvorMacAlgorithm algorithm, const Byte *key, size_t keySize, const Byte *data, size_t size,
                  Byte *mac) noexcept {
  static Byte none = 0;
  BCRYPT_HASH_HANDLE hash = nullptr;
  if (!MacProvider(algorithm) || keySize > 0xFFFFFFFFu ||
      !NtSuccess(BCryptCreateHash(MacProvider(algorithm), &hash, nullptr, 0, keySize ? const_cast<PUCHAR>(key) : &none,
                                  static_cast<ULONG>(keySize), 0)))
    return false;
  bool ok = true;
  for (size_t done = 0; ok && done < size;) {
    const ULONG n = static_cast<ULONG>(std::min<size_t>(size - done, 1u << 30));
    ok = NtSuccess(BCryptHashData(hash, const_cast<PUCHAR>(data + done), n, 0));
    done += n;
  }
  ok = ok && NtSuccess(BCryptFinishHash(hash, mac, static_cast<ULONG>(MacSize(algorithm)), 0));
  BCryptDestroyHash(hash);
  return ok;
}

bool PlatformPbkdf2(TvorMacAlgorithm algorithm, const Byte *password, size_t passwordSize, const Byte *salt,
                    size_t saltSize, UInt32 iterations, Byte *key, size_t keySize) noexcept {
  static Byte none = 0;
  if (!MacProvider(algorithm) || iterations == 0 || passwordSize > 0xFFFFFFFFu || saltSize > 0xFFFFFFFFu ||
      keySize > 0xFFFFFFFFu)
    return false;
  return NtSuccess(BCryptDeriveKeyPBKDF2(MacProvider(algorithm), passwordSize ? const_cast<PUCHAR>(password) : &none,
                                         static_cast<ULONG>(passwordSize), saltSize ? const_cast<PUCHAR>(salt) : &none,
                                         static_cast<ULONG>(saltSize), iterations, key, static_cast<ULONG>(keySize), 0));
}
