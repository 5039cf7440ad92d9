#include "streams/AdEncryption.h"

#include <algorithm>
#include <cstring>

#include "host/Errors.h"
#include "host/Password.h"
#include "streams/ByteOrder.h"

namespace {
// Longest salt, key and MAC read: the writers use 16 to 64 bytes; longer claims are damage.
constexpr UInt32 kMaxField = 1024;
// Where the data may begin at the latest: the header is padded to 512 bytes, rarely more.
constexpr UInt32 kMaxDataStart = 1u << 20;
// Most key derivation rounds tried: the writers use a few thousand. A password is tried up to three
// times (two formats at the open, then the extraction), each up to a second on a busy machine at
// this bound; a file asking for billions would keep the host busy for hours.
constexpr UInt32 kMaxIterations = 250'000;
// Blocks of key stream made at once.
constexpr size_t kPadBlocks = 4096;
}  // namespace

TAdCryptRead ReadAdCryptHeader(IInStream *stream, TAdCryptHeader &header, UString &why) {
  Byte h[NAdCrypt::kFixedSize];
  const size_t got = ReadAt(stream, 0, h, sizeof(h));
  if (got < NAdCrypt::kSignatureSize || std::memcmp(h, NAdCrypt::kSignature, NAdCrypt::kSignatureSize) != 0)
    return TAdCryptRead::kPlain;
  if (got < sizeof(h))
    return TAdCryptRead::kDamaged;
  header.Version = GetUi32(h + 8);
  header.DataStart = GetUi32(h + 12);
  header.Passwords = static_cast<int16_t>(GetUi16(h + 16));
  header.RawKeys = static_cast<int16_t>(GetUi16(h + 18));
  header.Certificates = static_cast<int16_t>(GetUi16(h + 20));
  header.Cipher = GetUi32(h + 24);
  header.Hash = GetUi32(h + 28);
  header.Iterations = GetUi32(h + 32);
  const UInt32 saltSize = GetUi32(h + 36), keySize = GetUi32(h + 40), macSize = GetUi32(h + 44);
  if (saltSize > kMaxField || keySize > kMaxField || macSize > kMaxField)
    return TAdCryptRead::kDamaged;
  // Sealed with a certificate, the salt itself is encrypted with its public key.
  if (header.Certificates > 0) {
    why = L"The image key is sealed with a certificate; only password-sealed keys are supported";
    return TAdCryptRead::kUnsupported;
  }
  if (header.RawKeys > 0 && header.Passwords <= 0) {
    why = L"The image key is a raw key file; only password-sealed keys are supported";
    return TAdCryptRead::kUnsupported;
  }
  if (header.Cipher < 1 || header.Cipher > 3 || header.Hash < 1 || header.Hash > 2) {
    why = L"Unknown encryption or hash algorithm";
    return TAdCryptRead::kUnsupported;
  }
  if (header.Iterations > kMaxIterations) {
    why = L"Too many key derivation rounds";
    return TAdCryptRead::kUnsupported;
  }
  const size_t fields = NAdCrypt::kFixedSize + saltSize + keySize + macSize;
  const TvorMacAlgorithm mac = header.Hash == 1 ? TvorMacAlgorithm::SHA256 : TvorMacAlgorithm::SHA512;
  if (header.Iterations == 0 || keySize != header.KeySize() || macSize != MacSize(mac) ||
      header.DataStart < fields || header.DataStart > kMaxDataStart)
    return TAdCryptRead::kDamaged;
  std::vector<Byte> rest(fields - NAdCrypt::kFixedSize);
  if (ReadAt(stream, NAdCrypt::kFixedSize, rest.data(), rest.size()) < rest.size())
    return TAdCryptRead::kDamaged;
  header.Salt.assign(rest.begin(), rest.begin() + saltSize);
  header.EncryptedKey.assign(rest.begin() + saltSize, rest.begin() + saltSize + keySize);
  header.Mac.assign(rest.begin() + saltSize + keySize, rest.end());
  return TAdCryptRead::kOk;
}

bool AdCryptKeyStream(TvorAes &aes, UInt64 index, UInt64 first, Byte *pad, size_t size) {
  for (size_t i = 0; i < size / NAdCrypt::kBlock; i++) {
    SetUi64(pad + i * NAdCrypt::kBlock, first + i);
    SetUi64(pad + i * NAdCrypt::kBlock + 8, index);
  }
  return aes.EncryptBlocks(pad, pad, size);
}

bool UnlockAdCryptKey(const TAdCryptHeader &header, const TvorSecret &password, TvorSecret &key) {
  const size_t size = header.EncryptedKey.size();
  TvorSecret derived(size);
  if (!PlatformPbkdf2(TvorMacAlgorithm::SHA1, password.data(), password.size(), header.Salt.data(), header.Salt.size(),
                      header.Iterations, derived.data(), size))
    RaiseHResult(E_FAIL);
  const TvorMacAlgorithm algorithm = header.Hash == 1 ? TvorMacAlgorithm::SHA256 : TvorMacAlgorithm::SHA512;
  Byte mac[64];
  if (!PlatformHmac(algorithm, derived.data(), size, header.EncryptedKey.data(), size, mac))
    RaiseHResult(E_FAIL);
  if (std::memcmp(mac, header.Mac.data(), header.Mac.size()) != 0)
    return false;
  const std::unique_ptr<TvorAes> aes = CreateAes(derived.data(), size);
  TvorSecret pad((size + NAdCrypt::kBlock - 1) / NAdCrypt::kBlock * NAdCrypt::kBlock);
  if (!aes || !AdCryptKeyStream(*aes, 0, 0, pad.data(), pad.size()))
    RaiseHResult(E_FAIL);
  key = TvorSecret(size);
  for (size_t i = 0; i < size; i++)
    key.data()[i] = header.EncryptedKey[i] ^ pad.data()[i];
  return true;
}

bool AskAdCryptKey(const TAdCryptHeader &header, IUnknown *callback, TvorSecret &key) {
  TvorPassword password;
  if (!AskPassword(callback, password))
    return false;
  for (const TvorSecret &form : password.Forms)
    if (UnlockAdCryptKey(header, form, key))
      return true;
  return false;
}

Tvor7zAdCryptInStream::Tvor7zAdCryptInStream(IInStream *file, const TvorSecret &key, UInt64 index, UInt64 dataStart)
    : FFile(file), FAes(CreateAes(key.data(), key.size())), FIndex(index), FDataStart(dataStart) {
  CheckPointer(file);
  if (!FAes)
    RaiseHResult(E_FAIL);
  const UInt64 end = SeekTo(file, 0, STREAM_SEEK_END);
  FSize = end > dataStart ? end - dataStart : 0;
}

HRESULT Tvor7zAdCryptInStream::Read(void *data, UInt32 size, UInt32 *processed) noexcept {
  if (processed)
    *processed = 0;
  return GuardHResult([&]() -> HRESULT {
    if (size == 0 || FPosition >= FSize)
      return S_OK;
    auto *out = static_cast<Byte *>(data);
    const size_t got = ReadAt(FFile, FDataStart + FPosition, out, static_cast<size_t>(std::min<UInt64>(size, FSize - FPosition)));
    if (FPad.empty())
      FPad.resize(kPadBlocks * NAdCrypt::kBlock);
    // The key stream from the block holding the first byte on, a piece at a time.
    UInt64 block = FPosition / NAdCrypt::kBlock;
    size_t skip = static_cast<size_t>(FPosition % NAdCrypt::kBlock);
    for (size_t done = 0; done < got;) {
      const size_t blocks = std::min(kPadBlocks, (skip + got - done + NAdCrypt::kBlock - 1) / NAdCrypt::kBlock);
      if (!AdCryptKeyStream(*FAes, FIndex, block, FPad.data(), blocks * NAdCrypt::kBlock))
        return E_FAIL;
      const size_t n = std::min(got - done, blocks * NAdCrypt::kBlock - skip);
      for (size_t i = 0; i < n; i++)
        out[done + i] ^= FPad[skip + i];
      done += n;
      block += blocks;
      skip = 0;
    }
    FPosition += got;
    if (processed)
      *processed = static_cast<UInt32>(got);
    return S_OK;
  });
}
