#include "hashers/StoredDigests.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "hashers/BackgroundHasher.h"
#include "host/Errors.h"
#include "host/PropVariant.h"

namespace {
constexpr UInt32 kDigestSizes[3] = {16, 20, 32};

const Byte *Stored(const TvorStoredDigests &d, unsigned kind) {
  const Byte *p = kind == 0 ? d.MD5 : kind == 1 ? d.SHA1 : d.SHA256;
  if (!p || std::all_of(p, p + kDigestSizes[kind], [](Byte b) { return b == 0; }))
    return nullptr;
  return p;
}
}  // namespace

void GetDigestRawPropInfo(UInt32 index, UInt32 kinds, BSTR *name, PROPID *propID) {
  if (index >= kinds)
    RaiseHResult(E_INVALIDARG);
  switch (index) {
  case 0:
    *name = AllocBstr(L"MD5");
    *propID = kpidMD5Raw;
    break;
  case 1:
    *propID = kpidSha1;
    break;
  case 2:
    *propID = kpidSha256;
    break;
  default:
    RaiseHResult(E_INVALIDARG);
  }
}

void GetDigestRawProp(const TvorStoredDigests &digests, PROPID propID, const void **data, UInt32 *dataSize,
                      UInt32 *propType) {
  const unsigned kind = propID == kpidMD5Raw ? 0 : propID == kpidSha1 ? 1 : propID == kpidSha256 ? 2 : 3;
  if (kind > 2)
    return;
  if (const Byte *p = Stored(digests, kind)) {
    *data = p;
    *dataSize = kDigestSizes[kind];
    *propType = NPropDataType::kRaw;
  }
}

ComPtr<IHasher> &Tvor7zStoredDigestCheck::Hasher(unsigned kind) {
  ComPtr<IHasher> &h = FHashers[kind];
  if (!h) {
    if (kind == 0)
      h = new Tvor7zWinCryptMD5Hasher();
    else if (kind == 1)
      h = CreateSHA1Hasher(FCodecs);
    else
      h = CreateSHA256Hasher(FCodecs);
    if (FInBackground)
      h = HashInBackground(h);
  }
  return h;
}

ComPtr<ISequentialOutStream> Tvor7zStoredDigestCheck::Wrap(ISequentialOutStream *stream,
                                                          const TvorStoredDigests &digests) {
  FHashStream = nullptr;
  FHasher = nullptr;
  for (unsigned kind = 0; kind < 3; kind++) {
    if (const Byte *expected = Stored(digests, kind)) {
      FHasher = Hasher(kind).Get();
      FExpected = expected;
      FExpectedSize = kDigestSizes[kind];
      FHashStream = new Tvor7zHashSequentialOutStream(FHasher, stream);  // initialises the hasher
      return ComPtr<ISequentialOutStream>(static_cast<ISequentialOutStream *>(FHashStream.Get()));
    }
  }
  return ComPtr<ISequentialOutStream>(stream);
}

Int32 Tvor7zStoredDigestCheck::Verify(Int32 result) {
  const ComPtr<Tvor7zHashSequentialOutStream> hashStream = std::move(FHashStream);
  if (result != NOperationResult::kOK || !hashStream)
    return result;
  // A digest the hasher cannot produce cannot be confirmed either.
  if (FHasher->GetDigestSize() != FExpectedSize)
    return NOperationResult::kCRCError;
  Byte digest[32] = {};
  hashStream->GetHash(digest);
  return std::memcmp(digest, FExpected, FExpectedSize) == 0 ? NOperationResult::kOK : NOperationResult::kCRCError;
}
