#include "formats/aff/AffSegments.h"

#include <algorithm>
#include <cstring>

#include "formats/aff/AffCrypto.h"
#include "formats/aff/AffInfo.h"
#include "streams/ByteOrder.h"
#include "streams/InStreams.h"

namespace {
// Longest segment name read: every name the reader knows is far shorter, and a longer one must not
// make us allocate what its length field claims.
constexpr UInt32 kMaxNameLength = 1024;

// Reads up to `size` bytes at `position`, none at or past `end`.
size_t ReadBefore(IInStream *stream, UInt64 position, UInt64 end, void *data, size_t size) {
  if (position >= end)
    return 0;
  return ReadAt(stream, position, data, static_cast<size_t>(std::min<UInt64>(size, end - position)));
}
}  // namespace

TAffSegmentRead ReadAffSegmentHeader(IInStream *stream, UInt64 start, UInt64 end, TAffSegmentHeader &header,
                                     UInt32 &errors) {
  Byte h[NAffLayout::kHeaderSize];
  const size_t got = ReadBefore(stream, start, end, h, sizeof(h));
  if (got == 0)
    return TAffSegmentRead::kEnd;
  if (got < sizeof(h)) {
    errors |= 1u << kpv_ErrorFlags_UnexpectedEnd;
    return TAffSegmentRead::kDamaged;
  }
  if (std::memcmp(h, NAffLayout::kSegmentMagic, 4) != 0) {
    errors |= 1u << kpv_ErrorFlags_HeadersError;
    return TAffSegmentRead::kDamaged;
  }
  header.Start = start;
  header.NameLength = GetBe32(h + 4);
  header.DataLength = GetBe32(h + 8);
  header.Argument = GetBe32(h + 12);
  header.Name.clear();
  // A segment without a name is free space the writer left where it deleted one: skipped.
  if (header.NameLength > 0 && header.NameLength <= kMaxNameLength) {
    header.Name.resize(header.NameLength);
    const size_t n = ReadBefore(stream, start + sizeof(h), end, header.Name.data(), header.NameLength);
    if (n < header.NameLength) {
      errors |= 1u << kpv_ErrorFlags_UnexpectedEnd;
      header.Name.resize(n);
    }
  }
  // A longer name matches nothing the reader knows: the segment is skipped like any unknown one.
  return TAffSegmentRead::kOk;
}

namespace {
// Whether a trailer closes a segment at `start` with these lengths: its magic, and the segment's
// length from its start.
bool TrailerCloses(IInStream *stream, UInt64 start, UInt64 nameLength, UInt64 dataLength, UInt64 end) {
  const UInt64 trailer = start + NAffLayout::kHeaderSize + nameLength + dataLength;
  Byte t[NAffLayout::kTrailerSize];
  return trailer + sizeof(t) <= end && ReadAt(stream, trailer, t, sizeof(t)) == sizeof(t) &&
         std::memcmp(t, NAffLayout::kTrailerMagic, 4) == 0 && GetBe32(t + 4) == trailer + sizeof(t) - start;
}

// A segment whose header and trailer agree lies at `at`.
bool IsSegmentAt(IInStream *stream, UInt64 at, UInt64 end) {
  Byte h[NAffLayout::kHeaderSize];
  if (ReadBefore(stream, at, end, h, sizeof(h)) < sizeof(h) || std::memcmp(h, NAffLayout::kSegmentMagic, 4) != 0)
    return false;
  const UInt32 nameLength = GetBe32(h + 4);
  return nameLength > 0 && nameLength <= kMaxNameLength && TrailerCloses(stream, at, nameLength, GetBe32(h + 8), end);
}
}  // namespace

TAffSegmentRead NextAffSegment(IInStream *stream, UInt64 start, UInt64 end, TAffSegmentHeader &header, UInt32 &errors) {
  UInt32 found = 0;
  const TAffSegmentRead read = ReadAffSegmentHeader(stream, start, end, header, found);
  if (read == TAffSegmentRead::kEnd)
    return read;
  // A header cut short by the file's end: nothing follows it.
  if (read == TAffSegmentRead::kDamaged && (found & (1u << kpv_ErrorFlags_UnexpectedEnd))) {
    errors |= found;
    return TAffSegmentRead::kEnd;
  }
  if (read == TAffSegmentRead::kOk && found == 0) {
    if (TrailerCloses(stream, start, header.NameLength, header.DataLength, end))
      return read;
    // The trailer alone is damaged: the lengths lead to the next segment.
    if (header.End() == end || (header.End() < end && IsSegmentAt(stream, header.End(), end))) {
      errors |= 1u << kpv_ErrorFlags_HeadersError;
      return read;
    }
    // A length with one flipped bit: the trailer closes the segment at the length mended.
    for (UInt32 bit = 0; bit < 32; bit++) {
      const UInt32 data = header.DataLength ^ (1u << bit), name = header.NameLength ^ (1u << bit);
      const bool dataFits = TrailerCloses(stream, start, header.NameLength, data, end);
      if (dataFits || (name > 0 && name <= kMaxNameLength && TrailerCloses(stream, start, name, header.DataLength, end))) {
        errors |= 1u << kpv_ErrorFlags_CRCError;
        if (dataFits) {
          header.DataLength = data;
        } else {
          header.NameLength = name;
          header.Name.resize(name);
          header.Name.resize(ReadBefore(stream, start + NAffLayout::kHeaderSize, end, header.Name.data(), name));
        }
        return read;
      }
    }
    // A segment the file's end cuts short (its walk ends there).
    if (header.TrailerStart() > end)
      return read;
  }
  // Damage: the next segment whose header and trailer agree.
  errors |= 1u << kpv_ErrorFlags_HeadersError;
  const UInt64 at = ScanStream(stream, start + 1, end, 4, [&](UInt64 p, const Byte *b) {
    return std::memcmp(b, NAffLayout::kSegmentMagic, 4) == 0 && IsSegmentAt(stream, p, end);
  });
  if (at < end) {
    UInt32 ignored = 0;
    return ReadAffSegmentHeader(stream, at, end, header, ignored);
  }
  errors |= 1u << kpv_ErrorFlags_UnexpectedEnd;
  return TAffSegmentRead::kEnd;
}

bool TAffPageSegment::IsTruncated() const { return (Flags & NAffPage::kTruncated) != 0; }

bool GetAffPageSegment(const TAffSegmentHeader &header, UInt64 end, TAffPageSegment &page) {
  std::string name = header.Name;
  const bool encrypted = StripAffCryptoSuffix(name);
  if (!ParseAffPageName(name, page.Number))
    return false;
  page.Offset = header.DataStart();
  page.Flags = (header.Argument & NAffPage::kFileBits) | (encrypted ? NAffPage::kEncrypted : 0);
  page.StoredSize = header.DataLength;
  if (header.TrailerStart() > end) {
    page.StoredSize = static_cast<UInt32>(end > page.Offset ? end - page.Offset : 0);
    page.Flags |= NAffPage::kTruncated;
  }
  return true;
}
