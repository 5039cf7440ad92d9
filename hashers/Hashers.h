// Checksum and digest hashers behind the host's IHasher interface, Adler-32, and the factories that
// prefer the host's own hashers.
#pragma once

#include <memory>

#include "host/CodecsInfo.h"
#include "host/Com.h"
#include "platform/Platform.h"

// Common IUnknown part of the hashers.
class Tvor7zHasherBase : public TvorInterfacedObject, public IHasher {
public:
  VOR_UNKNOWN_IMP
  HRESULT QueryInterfaceImpl(REFIID iid, void **out) override;
};

class Tvor7zChecksum8Hasher : public Tvor7zHasherBase {
public:
  void STDMETHODCALLTYPE Init() noexcept override;
  void STDMETHODCALLTYPE Update(const void *data, UInt32 size) noexcept override;
  void STDMETHODCALLTYPE Final(Byte *digest) noexcept override;
  UInt32 STDMETHODCALLTYPE GetDigestSize() noexcept override { return 1; }

private:
  Byte FTotal = 0;
};

// Sums of little-endian words of W bytes modulo 2^(8W); the split over Update calls does not matter.
template <unsigned W>
class Tvor7zWordSumHasher : public Tvor7zHasherBase {
public:
  void STDMETHODCALLTYPE Init() noexcept override;
  void STDMETHODCALLTYPE Update(const void *data, UInt32 size) noexcept override;
  void STDMETHODCALLTYPE Final(Byte *digest) noexcept override;
  UInt32 STDMETHODCALLTYPE GetDigestSize() noexcept override { return W; }

private:
  UInt64 FTotal = 0;
  Byte FPending[W] = {};
  UInt32 FPendingCount = 0;
};
using Tvor7zChecksum16Hasher = Tvor7zWordSumHasher<2>;
using Tvor7zChecksum32Hasher = Tvor7zWordSumHasher<4>;
using Tvor7zChecksum64Hasher = Tvor7zWordSumHasher<8>;

class Tvor7zAdler32Hasher : public Tvor7zHasherBase {
public:
  void STDMETHODCALLTYPE Init() noexcept override;
  void STDMETHODCALLTYPE Update(const void *data, UInt32 size) noexcept override;
  void STDMETHODCALLTYPE Final(Byte *digest) noexcept override;
  UInt32 STDMETHODCALLTYPE GetDigestSize() noexcept override { return 4; }
  UInt32 Value() const noexcept { return FValue; }

private:
  UInt32 FValue = 1;
};

// CRC-16/ARC: reflected 0x8005, initial 0, no final XOR.
class Tvor7zCRC16Hasher : public Tvor7zHasherBase {
public:
  void STDMETHODCALLTYPE Init() noexcept override;
  void STDMETHODCALLTYPE Update(const void *data, UInt32 size) noexcept override;
  void STDMETHODCALLTYPE Final(Byte *digest) noexcept override;
  UInt32 STDMETHODCALLTYPE GetDigestSize() noexcept override { return 2; }

private:
  UInt16 FCrc = 0;
};

// CRC-32 (ISO-HDLC), digest little-endian.
class Tvor7zCRC32Hasher : public Tvor7zHasherBase {
public:
  void STDMETHODCALLTYPE Init() noexcept override;
  void STDMETHODCALLTYPE Update(const void *data, UInt32 size) noexcept override;
  void STDMETHODCALLTYPE Final(Byte *digest) noexcept override;
  UInt32 STDMETHODCALLTYPE GetDigestSize() noexcept override { return 4; }

private:
  UInt32 FCrc = 0;
};

// MD4, MD5, SHA-1, SHA-256 through the platform's digest provider (CryptoAPI on Windows). A missing
// algorithm gives digest size 0 and an empty digest; it never fails the caller.
class Tvor7zWinCryptHasher : public Tvor7zHasherBase {
public:
  explicit Tvor7zWinCryptHasher(TvorDigestAlgorithm algorithm);
  void STDMETHODCALLTYPE Init() noexcept override;
  void STDMETHODCALLTYPE Update(const void *data, UInt32 size) noexcept override;
  void STDMETHODCALLTYPE Final(Byte *digest) noexcept override;
  UInt32 STDMETHODCALLTYPE GetDigestSize() noexcept override { return FDigestSize; }

private:
  static constexpr UInt32 kMaxDigestSize = 64;
  std::unique_ptr<TvorDigestEngine> FEngine;
  bool FReady = false;
  bool FFinished = false;  // Final ran: the digest is kept in FDigest until the next Init
  UInt32 FDigestSize = 0;
  Byte FDigest[kMaxDigestSize] = {};
};

class Tvor7zWinCryptMD4Hasher : public Tvor7zWinCryptHasher {
public:
  Tvor7zWinCryptMD4Hasher() : Tvor7zWinCryptHasher(TvorDigestAlgorithm::MD4) {}
};
class Tvor7zWinCryptMD5Hasher : public Tvor7zWinCryptHasher {
public:
  Tvor7zWinCryptMD5Hasher() : Tvor7zWinCryptHasher(TvorDigestAlgorithm::MD5) {}
};
class Tvor7zWinCryptSHA1Hasher : public Tvor7zWinCryptHasher {
public:
  Tvor7zWinCryptSHA1Hasher() : Tvor7zWinCryptHasher(TvorDigestAlgorithm::SHA1) {}
};
class Tvor7zWinCryptSHA256Hasher : public Tvor7zWinCryptHasher {
public:
  Tvor7zWinCryptSHA256Hasher() : Tvor7zWinCryptHasher(TvorDigestAlgorithm::SHA256) {}
};

// Adler-32 of a buffer (1 for none).
UInt32 CalcAdler32(const void *data, size_t size);
// Continues an Adler-32 value.
UInt32 UpdateAdler32(UInt32 adler, const void *data, size_t size);

// CRC-32 as bzip2 blocks carry it (the same polynomial, most significant bit first).
UInt32 CalcBZip2Crc(const void *data, size_t size);

// Stores 2*size hex digits as bytes; anything else leaves `size` zero bytes.
void HexToDigest(const UString &text, Byte *digest, UInt32 size);

// Host hasher when offered (the handler's list, then the library's), else the library's own.
ComPtr<IHasher> CreateCRC32Hasher(Tvor7zCompressCodecsInfo *codecsInfo);
ComPtr<IHasher> CreateSHA1Hasher(Tvor7zCompressCodecsInfo *codecsInfo);
ComPtr<IHasher> CreateSHA256Hasher(Tvor7zCompressCodecsInfo *codecsInfo);
