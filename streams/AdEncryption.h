// AD encryption: an image file (AD1, E01, raw ...) encrypted whole with AES in counter mode. The
// first file of a set starts with a header that seals the image key with a password; every file of
// the set is cipher text from its data start on, with the file's index in the counter.
#pragma once

#include <vector>

#include "platform/Platform.h"
#include "streams/InStreams.h"

// The header at the start of the first file (numbers little-endian).
namespace NAdCrypt {
inline constexpr char kSignature[] = "ADCRYPT";  // followed by a 0 byte
constexpr UInt32 kSignatureSize = 8;
constexpr UInt32 kFixedSize = 48;  // the fields before salt, encrypted key and MAC
constexpr UInt32 kBlock = 16;      // of the counter
}  // namespace NAdCrypt

struct TAdCryptHeader {
  UInt32 Version = 0;
  UInt32 DataStart = 0;       // header size: where the cipher text of the first file begins
  int16_t Passwords = -1;     // keys sealed with a password (-1: none)
  int16_t RawKeys = -1;       // keys given as raw key files (-1: none)
  int16_t Certificates = -1;  // keys sealed with a certificate's public key (-1: none)
  UInt32 Cipher = 0;          // 1 AES-128, 2 AES-192, 3 AES-256
  UInt32 Hash = 0;            // 1 SHA-256, 2 SHA-512: the MAC that checks the password
  UInt32 Iterations = 0;      // of the password's key derivation (PBKDF2 with HMAC-SHA1)
  std::vector<Byte> Salt;
  std::vector<Byte> EncryptedKey;  // the image key, encrypted under the password's key
  std::vector<Byte> Mac;           // of the encrypted key under the password's key

  UInt32 KeySize() const { return Cipher * 8 + 8; }
};

enum class TAdCryptRead {
  kPlain,        // no header: the file is not encrypted
  kOk,
  kUnsupported,  // a key sealed otherwise than by a password, or algorithms this does not know
  kDamaged,      // sizes that no writer gives
};

// Reads the header at the start of `stream`; `why` says what is unsupported.
TAdCryptRead ReadAdCryptHeader(IInStream *stream, TAdCryptHeader &header, UString &why);

// The image key sealed in `header` for one byte form of the password; false when the form fails
// the password check.
bool UnlockAdCryptKey(const TAdCryptHeader &header, const TvorSecret &password, TvorSecret &key);
// Asks `callback` (an open or extract callback) for the password and unseals the key with its byte
// forms; false when none passes the check or the host gives none.
bool AskAdCryptKey(const TAdCryptHeader &header, IUnknown *callback, TvorSecret &key);

// One file of an encrypted set as its plain bytes: the first (index 0) from the end of its header
// on, the others whole.
class Tvor7zAdCryptInStream : public Tvor7zBaseInStream {
public:
  // `dataStart`: where the cipher text begins in `file`.
  Tvor7zAdCryptInStream(IInStream *file, const TvorSecret &key, UInt64 index, UInt64 dataStart);
  HRESULT STDMETHODCALLTYPE Read(void *data, UInt32 size, UInt32 *processed) noexcept override;

private:
  ComPtr<IInStream> FFile;
  std::unique_ptr<TvorAes> FAes;
  UInt64 FIndex;
  UInt64 FDataStart;
  std::vector<Byte> FPad;  // key stream of the blocks being read
};

// The raw key stream for blocks `first`.. of file `index` into `pad` (a whole number of blocks):
// the counter of a block is the file index in its high 64 bits and the block number in its low 64
// bits, little-endian.
bool AdCryptKeyStream(TvorAes &aes, UInt64 index, UInt64 first, Byte *pad, size_t size);
