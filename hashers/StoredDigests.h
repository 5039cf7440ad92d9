// The digests a container stores for an item: offered to the host as raw item properties and
// checked over the bytes extracted. Every format with stored digests shares this.
#pragma once

#include "hashers/Hashers.h"
#include "streams/OutStreams.h"

// Pointers to an item's stored digests; nil or all zero = not stored.
struct TvorStoredDigests {
  const Byte *MD5 = nullptr;     // 16 bytes
  const Byte *SHA1 = nullptr;    // 20 bytes
  const Byte *SHA256 = nullptr;  // 32 bytes
};

// Raw item properties, in this order: "MD5" (ID 0x10000), kpidSha1, kpidSha256. A format lists the
// first `kinds` of them; an index past those is E_INVALIDARG.
inline constexpr PROPID kpidMD5Raw = 0x10000;
void GetDigestRawPropInfo(UInt32 index, UInt32 kinds, BSTR *name, PROPID *propID);
// Answers GetRawProp for those properties: the stored bytes as raw data, nothing when not stored.
void GetDigestRawProp(const TvorStoredDigests &digests, PROPID propID, const void **data, UInt32 *dataSize,
                      UInt32 *propType);

// Checks the first digest an item stores (MD5, else SHA-1, else SHA-256) over the bytes written for
// it. One object serves the items of one extraction; its hashers are made once and reused.
class Tvor7zStoredDigestCheck {
public:
  // With `inBackground` the digest runs on a thread of its own (for whole images).
  explicit Tvor7zStoredDigestCheck(Tvor7zCompressCodecsInfo *codecs, bool inBackground = false)
      : FCodecs(codecs), FInBackground(inBackground) {}

  // The stream to write the item into: it hashes and passes everything on to `stream`; `stream`
  // itself when nothing is stored.
  ComPtr<ISequentialOutStream> Wrap(ISequentialOutStream *stream, const TvorStoredDigests &digests);
  // A digest is computed for the item given to the last Wrap.
  bool Active() const { return FHashStream != nullptr; }
  // The item's operation result: `result` when it is not kOK, kCRCError when the bytes written since
  // Wrap do not have the stored digest (or it cannot be computed), else kOK. Lets go of the stream.
  Int32 Verify(Int32 result);

private:
  ComPtr<IHasher> &Hasher(unsigned kind);

  Tvor7zCompressCodecsInfo *FCodecs;
  bool FInBackground;
  ComPtr<IHasher> FHashers[3];
  ComPtr<Tvor7zHashSequentialOutStream> FHashStream;
  IHasher *FHasher = nullptr;
  const Byte *FExpected = nullptr;
  UInt32 FExpectedSize = 0;
};
