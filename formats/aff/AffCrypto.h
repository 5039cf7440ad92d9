// AFF encryption: the image key sealed by a passphrase in the "affkey_aes256" segment, and segments
// whose name ends in "/aes256", encrypted with AES-256 in cipher block chaining mode.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "host/Com.h"
#include "platform/Platform.h"

namespace NAffCrypto {
inline constexpr std::string_view kSuffix = "/aes256";
inline constexpr std::string_view kKeySegment = "affkey_aes256";
inline constexpr std::string_view kSealedKeyPrefix = "affkey_evp";  // keys sealed with a public key
constexpr UInt32 kKeySize = 32;
// The key segment: a big-endian version (1), the image key and a zero block, both encrypted
// (electronic code book) with the SHA-256 of the passphrase. Older writers pad it to 56 bytes.
constexpr UInt32 kKeySegmentSize = 4 + kKeySize + 16;
constexpr UInt32 kOldKeySegmentSize = 56;
}  // namespace NAffCrypto

// Whether `name` names an encrypted segment; it becomes the name of the segment it stands for.
bool StripAffCryptoSuffix(std::string &name);

// Plain length of an encrypted segment of `stored` bytes: the cipher text is whole blocks; a plain
// text that ends inside a block is stored with that block and as many more bytes as it has in it.
// False for a length no writer gives.
bool AffPlainLength(UInt32 stored, UInt32 &plain);

enum class TAffKeyUnlock { kOk, kWrongPassphrase, kDamaged };
// The image key from the data of the key segment and one byte form of the passphrase.
TAffKeyUnlock UnlockAffKey(const Byte *segment, size_t size, const TvorSecret &passphrase, TvorSecret &key);

// Decrypts segments with the image key; one object per thread.
class TAffDecryptor {
public:
  // False from Ok() when the platform has no AES.
  explicit TAffDecryptor(const TvorSecret &key) : FAes(CreateAes(key.data(), key.size())) {}
  bool Ok() const { return FAes != nullptr; }
  // Decrypts in place the first `size` of the `stored` bytes of segment `name` (its plain name;
  // fewer than stored when the file is cut short) and answers how many of them are plain text.
  size_t Decrypt(std::string_view name, UInt32 stored, Byte *data, size_t size);
  // A stream of the plain bytes of segment `name`, whose `stored` bytes `in` gives.
  ComPtr<ISequentialInStream> DecryptStream(std::string_view name, UInt32 stored, ISequentialInStream *in);

private:
  std::unique_ptr<TvorAes> FAes;
};
