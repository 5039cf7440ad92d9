#include "hashers/StoredDigests.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "hashers/BackgroundHasher.h"
#include "host/Errors.h"
#include "host/PropVariant.h"

namespace {
bool IsAllZero(const Byte *p, UInt32 size) {
  return std::all_of(p, p + size, [](Byte b) { return b == 0; });
}

const Byte *Stored(const TvorStoredDigests &d, unsigned kind) {
  const Byte *p = kind == kDigestMD5 ? d.MD5 : kind == kDigestSHA1 ? d.SHA1 : d.SHA256;
  return p && !IsAllZero(p, kDigestSizes[kind]) ? p : nullptr;
}
}  // namespace

// ---- TvorDigestCopies ----

bool TvorDigestCopies::Take(unsigned kind, const Byte *value, bool intact) {
  const UInt32 size = kDigestSizes[kind];
  if (IsAllZero(value, size))
    return true;
  TKind &k = FKinds[kind];
  if (!k.Present || (intact && !k.Intact)) {
    std::memcpy(k.Value, value, size);
    k.Present = true;
    k.Intact = intact;
    return true;
  }
  if (!intact || !k.Intact || std::memcmp(k.Value, value, size) == 0)
    return true;
  const bool known = std::any_of(FDisagreeing.begin(), FDisagreeing.end(), [&](const TvorDigestValue &v) {
    return v.Kind == kind && std::memcmp(v.Value, value, size) == 0;
  });
  if (!known) {
    TvorDigestValue v;
    v.Kind = kind;
    std::memcpy(v.Value, value, size);
    FDisagreeing.push_back(v);
  }
  return false;
}

TvorStoredDigests TvorDigestCopies::Stored() const {
  auto value = [this](unsigned kind) { return FKinds[kind].Present ? FKinds[kind].Value : nullptr; };
  return {value(kDigestMD5), value(kDigestSHA1), value(kDigestSHA256), FDisagreeing};
}

// ---- raw properties ----

void GetDigestRawPropInfo(UInt32 index, UInt32 kinds, BSTR *name, PROPID *propID) {
  if (index >= kinds)
    RaiseHResult(E_INVALIDARG);
  switch (index) {
  case kDigestMD5:
    *name = AllocBstr(L"MD5");
    *propID = kpidMD5Raw;
    break;
  case kDigestSHA1:
    *propID = kpidSha1;
    break;
  case kDigestSHA256:
    *propID = kpidSha256;
    break;
  default:
    RaiseHResult(E_INVALIDARG);
  }
}

void GetDigestRawProp(const TvorStoredDigests &digests, PROPID propID, const void **data, UInt32 *dataSize,
                      UInt32 *propType) {
  const unsigned kind = propID == kpidMD5Raw  ? kDigestMD5
                        : propID == kpidSha1   ? kDigestSHA1
                        : propID == kpidSha256 ? kDigestSHA256
                                               : kDigestKinds;
  if (kind == kDigestKinds)
    return;
  if (const Byte *p = Stored(digests, kind)) {
    *data = p;
    *dataSize = kDigestSizes[kind];
    *propType = NPropDataType::kRaw;
  }
}

// ---- Tvor7zStoredDigestCheck ----

ComPtr<IHasher> &Tvor7zStoredDigestCheck::Hasher(unsigned kind) {
  ComPtr<IHasher> &h = FHashers[kind];
  if (!h) {
    if (kind == kDigestMD5)
      h = new Tvor7zWinCryptMD5Hasher();
    else if (kind == kDigestSHA1)
      h = CreateSHA1Hasher(FCodecs);
    else
      h = CreateSHA256Hasher(FCodecs);
    if (FInBackground)
      h = HashInBackground(h, Tvor7zBackgroundHasher::QueueFor(FBlockSize));
  }
  return h;
}

ComPtr<ISequentialOutStream> Tvor7zStoredDigestCheck::Wrap(ISequentialOutStream *stream,
                                                          const TvorStoredDigests &digests) {
  FChecks.clear();
  for (unsigned kind = 0; kind < kDigestKinds; kind++) {
    TCheck check{kind, nullptr, {}};
    if (const Byte *p = Stored(digests, kind))
      check.Expected.push_back(p);
    for (const TvorDigestValue &v : digests.Disagreeing)
      if (v.Kind == kind)
        check.Expected.push_back(v.Value);
    if (!check.Expected.empty())
      FChecks.push_back(std::move(check));
  }
  // One pass-through stream per digest, chained in front of `stream`.
  ComPtr<ISequentialOutStream> out(stream);
  for (TCheck &check : FChecks) {
    check.Stream = new Tvor7zHashSequentialOutStream(Hasher(check.Kind).Get(), out.Get());  // initialises it
    out = ComPtr<ISequentialOutStream>(static_cast<ISequentialOutStream *>(check.Stream.Get()));
  }
  return out;
}

Int32 Tvor7zStoredDigestCheck::Verify(Int32 result) {
  const std::vector<TCheck> checks = std::move(FChecks);
  FChecks.clear();
  if (result != NOperationResult::kOK)
    return result;
  for (const TCheck &check : checks) {
    const UInt32 size = kDigestSizes[check.Kind];
    // A digest the hasher cannot produce cannot be confirmed either.
    if (check.Stream->Hasher()->GetDigestSize() != size)
      return NOperationResult::kCRCError;
    Byte digest[32] = {};
    check.Stream->GetHash(digest);
    for (const Byte *expected : check.Expected)
      if (std::memcmp(digest, expected, size) != 0)
        result = NOperationResult::kCRCError;
  }
  return result;
}
