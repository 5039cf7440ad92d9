// Layout of AD1 logical images: segment files joined into one data space that holds the logical
// image header, a tree of item records with metadata chains, and per-file tables of zlib chunks.
// All numbers are little-endian; positions other than the segment header's are data-space ones.
#pragma once

#include "host/HostAbi.h"

namespace NAD1Layout {
// Segment file header.
constexpr UInt32 kSegmentHeaderSize = 44;
constexpr UInt32 kSegmentNumber = 24;
constexpr UInt32 kSegmentCount = 28;
constexpr UInt32 kSegmentSize = 32;
constexpr UInt32 kDataOffset = 40;
// Logical image header.
// The name and the two zero bytes after it, all compared.
inline constexpr Byte kImageSignature[] = {'A', 'D', 'L', 'O', 'G', 'I', 'C', 'A',
                                           'L', 'I', 'M', 'A', 'G', 'E', 0,   0};
constexpr UInt32 kImageSignatureSize = sizeof(kImageSignature);
constexpr UInt32 kImageStartSize = 20;  // signature and version
constexpr UInt32 kVersion = 16;
constexpr UInt32 kChunkSize = 24;
constexpr UInt32 kFirstItem = 36;
constexpr UInt32 kNameLength = 44;
constexpr UInt32 kV3HeaderSize = 48;  // the name follows
constexpr UInt32 kV4NamePosition = 52;
constexpr UInt32 kV4HeaderSize = 84;
// Item record.
constexpr UInt32 kItemRecordSize = 48;
constexpr UInt32 kItemNext = 0;
constexpr UInt32 kItemFirstChild = 8;
constexpr UInt32 kItemFirstMeta = 16;
constexpr UInt32 kItemData = 24;
constexpr UInt32 kItemSize = 32;
constexpr UInt32 kItemType = 40;
constexpr UInt32 kItemNameLength = 44;
constexpr UInt32 kTypeFile = 0;
constexpr UInt32 kTypeFolder = 5;
// Metadata entry.
constexpr UInt32 kMetaEntrySize = 20;
constexpr UInt32 kMetaNext = 0;
constexpr UInt32 kMetaKey = 12;
constexpr UInt32 kMetaValueLength = 16;
}  // namespace NAD1Layout

// Metadata keys the archive uses; the others are skipped.
namespace NAD1Key {
enum : UInt32 {
  kFileSize = 3,
  kAccessTime = 7,
  kCreationTime = 8,
  kModificationTime = 9,
  kMD5 = 0x5001,
  kSHA1 = 0x5002,
  kFolderPath = 0x10002
};
}  // namespace NAD1Key

UInt32 WINAPI IsArc_AD1(const Byte *p, size_t size);

// "YYYYMMDD[THHMMSS[.fraction]]" (UTC) as FILETIME ticks: 0 when the date is not a valid date; the
// date at midnight when the time is missing or invalid; the time without milliseconds when the
// fraction is missing. A part that is not a number ends the conversion with what was computed.
UInt64 AD1DateTimeToFileTime(const AString &text);
