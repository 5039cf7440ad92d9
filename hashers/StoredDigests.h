// The digests a container stores for an item: offered to the host as raw item properties and
// checked, every one of them, over the bytes extracted. Every format with stored digests shares this.
#pragma once

#include <span>
#include <vector>

#include "hashers/Hashers.h"
#include "streams/OutStreams.h"

// The digest kinds an item may store, in the order of their raw properties.
enum TvorDigestKind : unsigned { kDigestMD5 = 0, kDigestSHA1 = 1, kDigestSHA256 = 2, kDigestKinds = 3 };
inline constexpr UInt32 kDigestSizes[kDigestKinds] = {16, 20, 32};

// A value of one digest kind.
struct TvorDigestValue {
  unsigned Kind = kDigestMD5;
  Byte Value[32] = {};
};

// Pointers to an item's stored digests; nil or all zero = not stored.
struct TvorStoredDigests {
  TvorStoredDigests(const Byte *md5 = nullptr, const Byte *sha1 = nullptr, const Byte *sha256 = nullptr,
                    std::span<const TvorDigestValue> disagreeing = {})
      : MD5(md5), SHA1(sha1), SHA256(sha256), Disagreeing(disagreeing) {}
  const Byte *MD5 = nullptr;     // 16 bytes
  const Byte *SHA1 = nullptr;    // 20 bytes
  const Byte *SHA256 = nullptr;  // 32 bytes
  // Values from other places of the container that disagree with the ones above: the data is
  // checked against each of them too.
  std::span<const TvorDigestValue> Disagreeing;
};

// The copies of the digests a container keeps in several places (EWF "hash", "digest" and "xhash"
// sections): together they are one stored digest per kind. The first copy from an intact place
// gives the value shown; a copy from a damaged place stands in until an intact one comes; an intact
// copy that differs is kept as disagreeing.
class TvorDigestCopies {
public:
  // Takes one copy of digest `kind` (kDigestSizes[kind] bytes; all zero = the place stores none).
  // False when it is intact and differs from an intact copy taken before: the caller flags that.
  bool Take(unsigned kind, const Byte *value, bool intact);
  void Clear() { *this = TvorDigestCopies(); }
  // The digests to show and check.
  TvorStoredDigests Stored() const;

private:
  struct TKind {
    Byte Value[32] = {};
    bool Present = false;
    bool Intact = false;
  };
  TKind FKinds[kDigestKinds];
  std::vector<TvorDigestValue> FDisagreeing;
};

// Raw item properties, in this order: "MD5" (ID 0x10000), kpidSha1, kpidSha256. A format lists the
// first `kinds` of them; an index past those is E_INVALIDARG.
inline constexpr PROPID kpidMD5Raw = 0x10000;
void GetDigestRawPropInfo(UInt32 index, UInt32 kinds, BSTR *name, PROPID *propID);
// Answers GetRawProp for those properties: the stored bytes as raw data, nothing when not stored.
void GetDigestRawProp(const TvorStoredDigests &digests, PROPID propID, const void **data, UInt32 *dataSize,
                      UInt32 *propType);

// Checks every digest an item stores over the bytes written for it, in the one pass that writes
// them. One object serves the items of one extraction; its hashers are made once and reused.
class Tvor7zStoredDigestCheck {
public:
  // With `inBackground` each digest runs on a thread of its own (for whole images), so that
  // checking several costs what the slowest costs, not their sum; its queue holds what a writer of
  // blocks of `blockSize` bytes hands over.
  explicit Tvor7zStoredDigestCheck(Tvor7zCompressCodecsInfo *codecs, bool inBackground = false, UInt64 blockSize = 0)
      : FCodecs(codecs), FInBackground(inBackground), FBlockSize(blockSize) {}

  // The stream to write the item into: it hashes and passes everything on to `stream`; `stream`
  // itself when nothing is stored. `digests` must stay valid until Verify.
  ComPtr<ISequentialOutStream> Wrap(ISequentialOutStream *stream, const TvorStoredDigests &digests);
  // How many digests are computed for the item given to the last Wrap.
  UInt32 Count() const { return static_cast<UInt32>(FChecks.size()); }
  // The item's operation result: `result` when it is not kOK, kCRCError when the bytes written since
  // Wrap do not have one of the stored digests (or one cannot be computed), else kOK. Lets go of
  // the streams.
  Int32 Verify(Int32 result);

private:
  ComPtr<IHasher> &Hasher(unsigned kind);

  struct TCheck {
    unsigned Kind;
    ComPtr<Tvor7zHashSequentialOutStream> Stream;
    std::vector<const Byte *> Expected;
  };
  Tvor7zCompressCodecsInfo *FCodecs;
  bool FInBackground;
  UInt64 FBlockSize;
  ComPtr<IHasher> FHashers[kDigestKinds];
  std::vector<TCheck> FChecks;
};
