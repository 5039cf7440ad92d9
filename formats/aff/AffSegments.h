// The segments of AFF files: the fixed layout, and the one reader of segment headers and page
// segments that both the open walk and the page table use.
#pragma once

#include <string>

#include "host/Com.h"

// Fixed layout of files and segments (all numbers big-endian).
namespace NAffLayout {
inline constexpr char kSignature[] = "AFF10\r\n";  // followed by a 0 byte
constexpr UInt32 kSignatureSize = 8;
inline constexpr char kSegmentMagic[] = "AFF";  // followed by a 0 byte
inline constexpr char kTrailerMagic[] = "ATT";  // followed by a 0 byte
constexpr UInt32 kHeaderSize = 16;              // magic, name length, data length, argument
constexpr UInt32 kTrailerSize = 8;              // magic, segment length
}  // namespace NAffLayout

struct TAffSegmentHeader {
  UInt64 Start = 0;  // of the header, in the stream read
  UInt32 NameLength = 0;
  UInt32 DataLength = 0;
  UInt32 Argument = 0;
  std::string Name;
  // Error flag bits (1 << kpv_ErrorFlags_...) of damage the walk goes on after.
  UInt32 Errors = 0;

  UInt64 DataStart() const { return Start + NAffLayout::kHeaderSize + NameLength; }
  UInt64 TrailerStart() const { return DataStart() + DataLength; }
  UInt64 End() const { return TrailerStart() + NAffLayout::kTrailerSize; }
};

// How the read of a segment header went: a segment, the end of the file, or damage that ends the
// walk (`errors` says which).
enum class TAffSegmentRead { kOk, kEnd, kDamaged };

// Reads the header of the segment at `start` of a file whose bytes end at `end` (both positions in
// `stream`). Damage is added to `errors` as error flag bits.
TAffSegmentRead ReadAffSegmentHeader(IInStream *stream, UInt64 start, UInt64 end, TAffSegmentHeader &header,
                                     UInt32 &errors);

// The segment the walk of a file meets at `start`: the one there when its trailer closes it (or
// the next segment begins where its lengths end it); else the one there with a length mended by one
// flipped bit; else one running past the file's end (a page that is cut short); else the next
// segment a scan finds, header and trailer agreeing. kEnd when the file holds no more. The open
// walk and the page table walk the same way, so they meet the same segments. Damage is added to
// `errors`.
TAffSegmentRead NextAffSegment(IInStream *stream, UInt64 start, UInt64 end, TAffSegmentHeader &header, UInt32 &errors);

// A page segment as the page table keeps it.
struct TAffPageSegment {
  UInt32 Number = 0;
  UInt64 Offset = 0;  // of its data, in the stream read
  UInt32 StoredSize = 0;
  UInt32 Flags = 0;  // NAffPage flags

  bool IsTruncated() const;
};

// The page a segment holds, false when it holds none; an encrypted one is marked so. A page whose
// data runs past the end of its file (`end`) keeps what is there, marked truncated, so that reading
// it neither takes the next file's bytes nor allocates what the length claims; the walk ends there.
bool GetAffPageSegment(const TAffSegmentHeader &header, UInt64 end, TAffPageSegment &page);
