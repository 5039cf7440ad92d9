#include "formats/aff/AffCrypto.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "host/Errors.h"
#include "streams/ByteOrder.h"
#include "streams/InStreams.h"

namespace {
constexpr UInt32 kBlock = 16;

// The chaining starts from the plain segment name: its first 15 bytes, zero-padded.
void InitialVector(std::string_view name, Byte *iv) {
  std::memset(iv, 0, kBlock);
  std::memcpy(iv, name.data(), std::min<size_t>(name.size(), kBlock - 1));
}

// The plain bytes of an encrypted segment, decrypted a piece at a time as they are read.
class TAffDecryptStream : public TvorInterfacedObject, public ISequentialInStream {
public:
  TAffDecryptStream(TvorAes &aes, std::string_view name, UInt32 stored, ISequentialInStream *in)
      : FAes(aes), FIn(in), FStoredLeft(stored / kBlock * kBlock) {
    InitialVector(name, FIv);
    AffPlainLength(stored, FPlainLeft);
  }
  VOR_UNKNOWN_IMP
  HRESULT QueryInterfaceImpl(REFIID iid, void **out) override {
    if (iid == IID_IVorUnknown || iid == IID_ISequentialInStream)
      return Offer<ISequentialInStream>(this, out);
    return NoInterface(out);
  }
  HRESULT STDMETHODCALLTYPE Read(void *data, UInt32 size, UInt32 *processed) noexcept override {
    if (processed)
      *processed = 0;
    return GuardHResult([&]() -> HRESULT {
      if (FAt == FHave) {
        // The next whole blocks; a cut-off file ends the text at its last whole block.
        const size_t want = static_cast<size_t>(std::min<UInt64>(sizeof(FBuffer), FStoredLeft));
        const size_t got = ReadUpTo(FIn, FBuffer, want) / kBlock * kBlock;
        if (got && !FAes.DecryptChained(FIv, FBuffer, FBuffer, got))
          return E_FAIL;
        FStoredLeft = got < want ? 0 : FStoredLeft - got;
        FAt = 0;
        FHave = std::min<size_t>(got, FPlainLeft);
        FPlainLeft -= static_cast<UInt32>(FHave);
      }
      const size_t n = std::min<size_t>(size, FHave - FAt);
      std::memcpy(data, FBuffer + FAt, n);
      FAt += n;
      if (processed)
        *processed = static_cast<UInt32>(n);
      return S_OK;
    });
  }

private:
  TvorAes &FAes;
  ComPtr<ISequentialInStream> FIn;
  UInt64 FStoredLeft;  // whole blocks not read yet
  UInt32 FPlainLeft = 0;
  Byte FIv[kBlock];
  Byte FBuffer[65536];
  size_t FAt = 0, FHave = 0;
};
}  // namespace

bool StripAffCryptoSuffix(std::string &name) {
  if (name.size() <= NAffCrypto::kSuffix.size() ||
      std::string_view(name).substr(name.size() - NAffCrypto::kSuffix.size()) != NAffCrypto::kSuffix)
    return false;
  name.resize(name.size() - NAffCrypto::kSuffix.size());
  return true;
}

bool AffPlainLength(UInt32 stored, UInt32 &plain) {
  if (stored % kBlock == 0) {
    plain = stored;
    return true;
  }
  if (stored < kBlock)
    return false;
  plain = stored - kBlock;
  return true;
}

TAffKeyUnlock UnlockAffKey(const Byte *segment, size_t size, const TvorSecret &passphrase, TvorSecret &key) {
  if ((size != NAffCrypto::kKeySegmentSize && size != NAffCrypto::kOldKeySegmentSize) || GetBe32(segment) != 1)
    return TAffKeyUnlock::kDamaged;
  // The key that seals the image key: the SHA-256 of the passphrase.
  TvorSecret sealing(NAffCrypto::kKeySize);
  const std::unique_ptr<TvorDigestEngine> sha256 = CreateDigestEngine(TvorDigestAlgorithm::SHA256);
  if (!sha256 || !sha256->Init())
    RaiseHResult(E_FAIL);
  sha256->Update(passphrase.data(), static_cast<UInt32>(passphrase.size()));
  sha256->Final(sealing.data());
  const std::unique_ptr<TvorAes> aes = CreateAes(sealing.data(), sealing.size());
  TvorSecret plain(NAffCrypto::kKeySize + kBlock);
  if (!aes || !aes->DecryptBlocks(segment + 4, plain.data(), plain.size()))
    RaiseHResult(E_FAIL);
  const Byte *check = plain.data() + NAffCrypto::kKeySize;
  if (std::any_of(check, check + kBlock, [](Byte b) { return b != 0; }))
    return TAffKeyUnlock::kWrongPassphrase;
  key = TvorSecret(plain.data(), NAffCrypto::kKeySize);
  return TAffKeyUnlock::kOk;
}

size_t TAffDecryptor::Decrypt(std::string_view name, UInt32 stored, Byte *data, size_t size) {
  UInt32 plain = 0;
  if (!AffPlainLength(stored, plain))
    return 0;
  Byte iv[kBlock];
  InitialVector(name, iv);
  const size_t whole = std::min<size_t>(size, stored) / kBlock * kBlock;
  if (whole && !FAes->DecryptChained(iv, data, data, whole))
    RaiseHResult(E_FAIL);
  return std::min<size_t>(whole, plain);
}

ComPtr<ISequentialInStream> TAffDecryptor::DecryptStream(std::string_view name, UInt32 stored, ISequentialInStream *in) {
  return ComPtr<ISequentialInStream>(new TAffDecryptStream(*FAes, name, stored, in));
}
