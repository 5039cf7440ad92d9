// Windows side of the platform layer: the real Windows APIs.
#include "platform/Platform.h"

#include <objbase.h>
#include <wincrypt.h>

#include <blake2.h>

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
