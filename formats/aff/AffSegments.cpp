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
