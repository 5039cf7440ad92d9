#include "formats/aff4/Aff4Map.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <map>

#include "hashers/Hashers.h"
#include "host/Errors.h"
#include "streams/ByteOrder.h"

namespace {
constexpr UInt64 kRepeatChunk = 1u << 20;
constexpr size_t kPiece = 65536;
constexpr TvorDigestAlgorithm kMapAlgorithms[2] = {TvorDigestAlgorithm::SHA256, TvorDigestAlgorithm::SHA512};

void Flag(UInt32 &errors, UInt32 bit) { errors |= 1u << bit; }

TAff4MapEntry ParseEntry(const Byte *p) {
  return {GetUi64(p), GetUi64(p + 8), GetUi64(p + 16), GetUi32(p + 24)};
}

// Both digests of the map members at once.
struct TMapDigests {
  ComPtr<IHasher> H[2];
  TMapDigests() {
    for (int k = 0; k < 2; k++) {
      H[k] = new Tvor7zWinCryptHasher(kMapAlgorithms[k]);
      H[k]->Init();
    }
  }
  void Update(const Byte *p, size_t n) {
    for (auto &h : H)
      for (size_t at = 0; at < n; at += kPiece)
        h->Update(p + at, static_cast<UInt32>(std::min(kPiece, n - at)));
  }
  std::array<std::vector<Byte>, 2> Final() {
    std::array<std::vector<Byte>, 2> out;
    for (int k = 0; k < 2; k++) {
      out[k].resize(H[k]->GetDigestSize());
      H[k]->Final(out[k].data());
    }
    return out;
  }
};

// Whether every stored digest of SHA-256 or SHA-512 equals the computed one (other kinds are not
// asked of map members and are not checked).
bool Matches(const std::vector<TAff4Digest> &stored, const std::array<std::vector<Byte>, 2> &computed) {
  for (const TAff4Digest &d : stored) {
    const int k = d.Kind == TAff4HashKind::kSHA256 ? 0 : d.Kind == TAff4HashKind::kSHA512 ? 1 : -1;
    if (k >= 0 && d.Value != computed[k])
      return false;
  }
  return true;
}
}  // namespace

void FillAff4Symbolic(const std::string &pattern, UInt64 offset, Byte *out, size_t size) {
  if (pattern.size() == 1) {
    std::memset(out, static_cast<Byte>(pattern[0]), size);
    return;
  }
  for (size_t i = 0; i < size;) {
    // The string starts again with every 1 MiB chunk of the stream.
    const UInt64 inChunk = offset % kRepeatChunk;
    const size_t run = static_cast<size_t>(std::min<UInt64>(size - i, kRepeatChunk - inChunk));
    size_t at = static_cast<size_t>(inChunk % pattern.size());
    for (size_t k = 0; k < run; k++) {
      out[i + k] = static_cast<Byte>(pattern[at]);
      if (++at == pattern.size())
        at = 0;
    }
    i += run;
    offset += run;
  }
}

bool ParseAff4Symbolic(const std::string &folded, std::string &pattern) {
  if (folded == "aff4:zero") {
    pattern.assign(1, '\0');
  } else if (folded == "aff4:unknowndata") {
    pattern = "UNKNOWN";
  } else if (folded == "aff4:unreadabledata") {
    pattern = "UNREADABLEDATA";
  } else {
    // aff4:SymbolicStreamXX, and the earlier vocabulary's aff4:XX and SymbolicStream#XX.
    std::string_view hex(folded);
    if (hex.rfind("aff4:symbolicstream", 0) == 0)
      hex.remove_prefix(19);
    else if (hex.rfind("aff4:", 0) == 0)
      hex.remove_prefix(5);
    else
      return false;
    unsigned value = 0;
    if (hex.size() != 2 || std::from_chars(hex.data(), hex.data() + 2, value, 16).ptr != hex.data() + 2)
      return false;
    pattern.assign(1, static_cast<char>(value));
  }
  return true;
}

HRESULT Tvor7zAff4Map::QueryInterfaceImpl(REFIID iid, void **out) {
  if (iid == IID_IVorUnknown)
    return Offer<IUnknown>(this, out);
  return NoInterface(out);
}

bool Tvor7zAff4Map::DigestMember(const TAff4Segment &segment, std::array<std::vector<Byte>, 2> &digests,
                                 std::vector<Byte> *keep, const std::function<void(const Byte *, size_t)> &each) {
  const ComPtr<TAff4ZipMemberStream> s = FVolumes->MemberStream(segment);
  if (!s)
    return false;
  TMapDigests d;
  std::vector<Byte> buffer(kPiece);
  for (;;) {
    const size_t got = ReadUpTo(s, buffer.data(), buffer.size());
    if (got == 0)
      break;
    d.Update(buffer.data(), got);
    if (keep)
      keep->insert(keep->end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(got));
    if (each)
      each(buffer.data(), got);
  }
  digests = d.Final();
  return s->Complete();
}

bool Tvor7zAff4Map::Load(Tvor7zAff4Volumes *volumes, const std::string &urn) {
  FVolumes = volumes;
  Urn = urn;
  const TAff4Graph &g = volumes->Graph();
  TAff4Segment mapSegment, idxSegment, pathSegment;
  if (!volumes->Find(urn + "/map", mapSegment))
    return false;
  Volume = mapSegment.Volume;
  const std::string size = g.First(urn, TAff4Predicate::kSize);
  if (std::from_chars(size.data(), size.data() + size.size(), Size).ptr != size.data() + size.size() || size.empty())
    Flag(volumes->Errors, kpv_ErrorFlags_HeadersError);  // the entries decide it below
  Gap.Kind = TAff4Target::kSymbolic;
  const std::string gap = g.First(urn, TAff4Predicate::kMapGapDefaultStream);
  if (gap.empty() || !ParseAff4Symbolic(gap, Gap.Pattern))
    Gap.Pattern.assign(1, '\0');
  UInt32 bad = 0;
  MapHashes = ParseAff4Digests(g.Values(urn, TAff4Predicate::kMapHash), "aff4:", bad);
  IdxHashes = ParseAff4Digests(g.Values(urn, TAff4Predicate::kMapIdxHash), "aff4:", bad);
  PointHashes = ParseAff4Digests(g.Values(urn, TAff4Predicate::kMapPointHash), "aff4:", bad);
  PathHashes = ParseAff4Digests(g.Values(urn, TAff4Predicate::kMapPathHash), "aff4:", bad);
  BlockMapHashes = ParseAff4Digests(g.Values(urn, TAff4Predicate::kBlockMapHash), "aff4:", bad);
  // The earlier maps were the image, and stored the block-map hash under this name.
  for (TAff4Digest &d : ParseAff4Digests(g.Values(urn, TAff4Predicate::kBlockHashesHash), "aff4:", bad))
    BlockMapHashes.push_back(std::move(d));
  if (bad)
    Flag(volumes->MetadataErrors, kpv_ErrorFlags_HeadersError);

  // Targets, one a line.
  std::vector<Byte> idx;
  if (!volumes->Find(urn + "/idx", idxSegment) || volumes->Member(idxSegment).Size > kAff4MaxSmallMember ||
      !DigestMember(idxSegment, IdxDigest, &idx))
    Flag(volumes->Errors, kpv_ErrorFlags_HeadersError);
  for (size_t at = 0; at < idx.size();) {
    size_t end = std::find(idx.begin() + static_cast<std::ptrdiff_t>(at), idx.end(), '\n') - idx.begin();
    std::string line(idx.begin() + static_cast<std::ptrdiff_t>(at), idx.begin() + static_cast<std::ptrdiff_t>(end));
    at = end + 1;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
      line.pop_back();
    if (line.empty() && at >= idx.size())
      break;
    TAff4Target t;
    t.Urn = NormalizeAff4Urn(line);
    if (ParseAff4Symbolic(FoldAff4Iri(line), t.Pattern))
      t.Kind = TAff4Target::kSymbolic;
    Targets.push_back(std::move(t));
  }
  HasPath = volumes->Find(urn + "/mapPath", pathSegment);
  if (HasPath && !DigestMember(pathSegment, PathDigest, nullptr))
    Flag(volumes->MetadataErrors, kpv_ErrorFlags_HeadersError);
  if (!HasPath)
    PathDigest = TMapDigests().Final();

  // The entries, once through: digests, order, and where a sorted map can be searched in place.
  const TAff4ZipMember &mapMember = volumes->Member(mapSegment);
  bool sorted = true;
  UInt64 count = 0, end = 0, mappedEnd = 0;
  Byte partial[kAff4MapEntrySize];
  size_t partialSize = 0;
  std::vector<TAff4MapEntry> entries;
  bool collect = false;  // the second pass over a map that is not sorted
  const auto take = [&](const Byte *p) {
    const TAff4MapEntry e = ParseEntry(p);
    if (collect) {
      if (entries.size() < kMaxMemoryEntries)
        entries.push_back(e);
      return;
    }
    sorted = sorted && e.Length > 0 && e.Mapped >= end && e.Mapped + e.Length > e.Mapped;
    end = e.Mapped + e.Length;
    if (e.Mapped + e.Length > e.Mapped)
      mappedEnd = std::max(mappedEnd, e.Mapped + e.Length);
    count++;
  };
  const auto pass = [&](std::array<std::vector<Byte>, 2> &digests) {
    partialSize = 0;
    return DigestMember(mapSegment, digests, nullptr, [&](const Byte *p, size_t n) {
      if (partialSize > 0) {
        const size_t fill = std::min(n, kAff4MapEntrySize - partialSize);
        std::memcpy(partial + partialSize, p, fill);
        partialSize += fill;
        p += fill;
        n -= fill;
        if (partialSize < kAff4MapEntrySize)
          return;
        take(partial);
        partialSize = 0;
      }
      for (; n >= kAff4MapEntrySize; p += kAff4MapEntrySize, n -= kAff4MapEntrySize)
        take(p);
      std::memcpy(partial, p, n);
      partialSize = n;
    }) && partialSize == 0;
  };
  if (!pass(PointDigest))
    Flag(volumes->Errors, kpv_ErrorFlags_HeadersError);
  if (size.empty())
    Size = mappedEnd;

  FInPlace = sorted && mapMember.Method == NAff4Zip::kStored && volumes->DataOffset(mapSegment, FEntriesOffset);
  FCount = count;
  if (!FInPlace) {
    // Only a map that cannot be searched in place is held in memory (and only so much of it).
    collect = true;
    std::array<std::vector<Byte>, 2> unused;
    pass(unused);
    if (count > entries.size())
      Flag(volumes->Errors, kpv_ErrorFlags_HeadersError);  // beyond what is sorted in memory
    // A later entry wins where entries overlap: each cuts what it covers out of the ones before.
    std::map<UInt64, TAff4MapEntry> ranges;
    for (const TAff4MapEntry &e0 : entries) {
      TAff4MapEntry e = e0;
      if (e.Length == 0 || e.Mapped >= Size)
        continue;
      e.Length = std::min(e.Length, Size - e.Mapped);
      const UInt64 eEnd = e.Mapped + e.Length;
      auto it = ranges.lower_bound(e.Mapped);
      if (it != ranges.begin()) {
        auto before = std::prev(it);
        const UInt64 bEnd = before->second.Mapped + before->second.Length;
        if (bEnd > e.Mapped) {
          before->second.Length = e.Mapped - before->second.Mapped;
          if (bEnd > eEnd) {
            TAff4MapEntry tail = before->second;
            tail.Target += eEnd - tail.Mapped;
            tail.Mapped = eEnd;
            tail.Length = bEnd - eEnd;
            ranges.emplace(eEnd, tail);
          }
        }
      }
      for (it = ranges.lower_bound(e.Mapped); it != ranges.end() && it->first < eEnd;) {
        const UInt64 iEnd = it->second.Mapped + it->second.Length;
        if (iEnd > eEnd) {
          TAff4MapEntry tail = it->second;
          tail.Target += eEnd - tail.Mapped;
          tail.Mapped = eEnd;
          tail.Length = iEnd - eEnd;
          ranges.emplace(eEnd, tail);
        }
        it = ranges.erase(it);
      }
      ranges.emplace(e.Mapped, e);
    }
    FEntries.clear();
    for (auto &[at, e] : ranges)
      if (e.Length > 0)
        FEntries.push_back(e);
    FCount = FEntries.size();
  }

  // The metadata-only hashes of the map members.
  TMapDigests all;
  // H(map || idx || mapPath) needs the members again in that order; they are small beside the data.
  for (const TAff4Segment *s : {&mapSegment, &idxSegment, &pathSegment}) {
    if (s == &pathSegment && !HasPath)
      break;
    if (s == &idxSegment && idx.empty())
      continue;
    if (s == &idxSegment) {
      all.Update(idx.data(), idx.size());
      continue;
    }
    std::array<std::vector<Byte>, 2> unused;
    DigestMember(*s, unused, nullptr, [&](const Byte *p, size_t n) { all.Update(p, n); });
  }
  const auto full = all.Final();
  if (!Matches(MapHashes, full) || !Matches(IdxHashes, IdxDigest) || !Matches(PointHashes, PointDigest) ||
      !Matches(PathHashes, PathDigest))
    Flag(volumes->MetadataErrors, kpv_ErrorFlags_HeadersError);
  return true;
}

const TAff4MapEntry &Tvor7zAff4Map::Entry(UInt64 index) {
  const UInt64 first = index / kPageEntries * kPageEntries;
  for (auto it = FPages.begin(); it != FPages.end(); ++it)
    if (it->First == first) {
      FPages.splice(FPages.begin(), FPages, it);
      return FPages.front().Entries[static_cast<size_t>(index - first)];
    }
  const UInt64 n = std::min(kPageEntries, FCount - first);
  std::vector<Byte> bytes(static_cast<size_t>(n * kAff4MapEntrySize));
  const size_t got = ReadAt(FVolumes->Joined()->Clone(), FEntriesOffset + first * kAff4MapEntrySize, bytes.data(),
                            bytes.size());
  if (got < bytes.size())
    RaiseHResult(S_FALSE);  // read completely at open: the file changed since
  TPage page;
  page.First = first;
  for (UInt64 i = 0; i < n; i++)
    page.Entries.push_back(ParseEntry(&bytes[static_cast<size_t>(i * kAff4MapEntrySize)]));
  if (FPages.size() >= kCachedPages)
    FPages.pop_back();
  FPages.push_front(std::move(page));
  return FPages.front().Entries[static_cast<size_t>(index - first)];
}

TAff4Piece Tvor7zAff4Map::Resolve(UInt64 position) {
  const std::lock_guard<std::mutex> lock(FLock);
  const auto entry = [&](UInt64 i) -> TAff4MapEntry { return FInPlace ? Entry(i) : FEntries[static_cast<size_t>(i)]; };
  // The last entry starting at or before the position.
  UInt64 lo = 0, hi = FCount;
  while (lo < hi) {
    const UInt64 mid = lo + (hi - lo) / 2;
    if (entry(mid).Mapped <= position)
      lo = mid + 1;
    else
      hi = mid;
  }
  TAff4Piece piece;
  UInt64 next = Size;
  if (lo > 0) {
    const TAff4MapEntry e = entry(lo - 1);
    if (position - e.Mapped < e.Length) {
      piece.Target = e.TargetId < Targets.size() ? &Targets[e.TargetId] : &FMissing;
      piece.Offset = e.Target + (position - e.Mapped);
      piece.Length = std::min(e.Length - (position - e.Mapped), Size - position);
      return piece;
    }
  }
  if (lo < FCount)
    next = std::min(next, entry(lo).Mapped);
  piece.Target = &Gap;
  piece.Offset = position;
  piece.Length = next - position;
  return piece;
}
