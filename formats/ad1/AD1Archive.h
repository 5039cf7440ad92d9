// AD1 logical images: a tree of files and folders with their times and digests, the contents in
// zlib chunks, spread over one or more segment files. One archive item per file or folder.
#pragma once

#include <unordered_set>
#include <vector>

#include "blocks/Blocks.h"
#include "blocks/FlateDecoder.h"
#include "formats/ad1/AD1Format.h"
#include "formats/ad1/AD1Items.h"
#include "hashers/StoredDigests.h"
#include "plugin/Archive.h"
#include "streams/InStreams.h"

class Tvor7zAD1Archive : public Tvor7zArchive {
public:
  static GUID GetClassID() { return GUID{0xD0DA279Au, 0x1D09u, 0x4D8Fu, {0xBA, 0xE0, 0xE6, 0xFC, 0x4A, 0xAA, 0x90, 0xD2}}; }
  static UString GetName() { return L"AD1"; }
  static UString GetExtension() { return L"AD1"; }
  static AString GetSignature() { return AString("ADSEGMENTEDFILE", 15); }
  static Func_IsArc GetIsArcFunc() { return IsArc_AD1; }

  void DoOpen(const UInt64 *maxCheckStartPosition, IArchiveOpenCallback *openCallback) override;
  void DoClose() override;
  UString DoGetVolumeName(UInt32 index) override;
  void DoGetStream(UInt32 index, ComPtr<ISequentialInStream> &stream) override;
  TExtractItemInfo DoGetExtractItemInfo(UInt32 index) override;
  Int32 DoExtractItem(UInt32 index, ISequentialOutStream *stream, Tvor7zProgress &progress) override;
  TvorPropertyTable DoGetArchivePropertyTable() override;
  void DoGetArchiveProperty(PROPID propID, PROPVARIANT &value) override;
  void DoGetNumberOfItems(UInt32 &count) override;
  TvorPropertyTable DoGetPropertyTable() override;
  void DoGetProperty(UInt32 index, PROPID propID, PROPVARIANT &value) override;
  UInt32 DoGetDigestKinds() override;
  TvorStoredDigests DoGetStoredDigests(UInt32 index) override;

  Tvor7zAD1Items *GetItems() const { return FItems.Get(); }

  // Longest name, source name or metadata value read; anything longer is cut there and flagged.
  static constexpr UInt32 kMaxTextLength = 1u << 20;
  // Path characters the item list may hold per byte of the data space.
  static constexpr UInt64 kPathCharsPerDataByte = 4;
  // Largest chunk size a random-access stream accepts (each cached chunk is held whole).
  static constexpr UInt32 kMaxStreamChunkSize = 64u << 20;
  // Segment files missing in a row after which a set is taken to end.
  static constexpr UInt32 kMaxMissingSegments = 2;

private:
  struct TSegmentHeader {
    UInt32 Number = 0;
    UInt32 Count = 0;
    UInt32 SegmentSize = 0;
    UInt32 DataOffset = 0;
  };
  // Reads a segment file's header; false when it is not one.
  static bool ReadSegmentHeader(IInStream *stream, TSegmentHeader &header);
  // Joins the segments from `first` (segment 1) on into FJoined.
  void JoinSegments(IInStream *first, const TSegmentHeader &header, IArchiveOpenCallback *openCallback);
  UString SegmentName(UInt32 number);
  // Reads the logical image header and walks the item tree; false when it is not an AD1 image.
  bool ReadImage();
  // What a record read at a position can be taken for: nothing; nothing, since the data space
  // ends inside it; an item (type and name set); one laid out as writers do (forward pointers, its
  // name in the data space), which a damaged pointer may be led to; or one laid out so whose type
  // alone is damaged.
  enum class TRecordKind { kUnusable, kCut, kUsable, kLaidOut, kTypeLost };
  TRecordKind ClassifyRecord(UInt64 position, Byte *record);
  // The next record laid out as writers do from `from` on that no walk has reached; 0 for none.
  UInt64 FindRecord(UInt64 from);
  // Where what the walk read ends: records, names, metadata, and the chunks of the last file.
  UInt64 ReadEnd();
  // The tree from its first item. A record that makes no sense costs that item and what hangs only
  // below it; a damaged next or first-child pointer is passed where the item it should name begins
  // in the writers' layout. Flagged.
  void WalkItems(UInt64 firstItem);
  // Takes one item from its record `r` (read at `position`), with its name and metadata; with
  // `typeLost` its kind is told by what the record holds.
  void ReadItem(UInt64 position, const Byte *r, bool typeLost, const UString &parentPath, Tvor7zAD1Item &item,
                UInt64 &next, UInt64 &firstChild);
  void ReadMetadata(UInt64 position, Tvor7zAD1Item &item);
  // Reads up to `length` bytes at `position` (at most kMaxTextLength); false on a short read.
  bool ReadText(UInt64 position, UInt64 length, AString &text);
  UInt64 DataSpaceLength();

  // The table of a file's chunks, at most `most` of them, read a page at a time as they are needed;
  // nil when its positions do not lie in the data space.
  ComPtr<Tvor7zBlocks> OpenChunkTable(const Tvor7zAD1Item &item, UInt64 most);
  // Hashers, coder and input window of one Extract call, made on first use.
  // Made on the first extracted file and kept: the digest hashers and the chunk decoder.
  Tvor7zStoredDigestCheck FDigest{&FCodecsInfo};
  ComPtr<TvorFlateDecodeDecoder> FDecoder;
  ComPtr<Tvor7zLimitSequentialInStream> FLimit;
  // One chunk's bytes, decoded before they are written.
  std::vector<Byte> FChunkBuffer;
  ComPtr<Tvor7zFixedMemorySequentialOutStream> FChunkOut;

  ComPtr<Tvor7zAD1Items> FItems;
  ComPtr<IInStream> FDataStream;
  ComPtr<Tvor7zLimitInStream> FJoined;
  UString FBaseName;
  std::unordered_set<UInt64> FVisitedItems;  // bounds the walk of a tree whose positions loop
  std::unordered_set<UInt64> FVisitedMeta;
  UInt64 FReadEnd = 0;  // where the records, names and metadata read so far end
  UInt64 FLastData = 0;  // the chunk table of the last file read
  UInt64 FScanBudget = 0;  // bytes the walk's scans for records may still read
  UInt64 FPresent = 0;   // bytes of the data space that segment files hold (not zeros for lost ones)
  // Longest name a scan takes a record for (real names are far shorter).
  static constexpr UInt32 kMaxScannedName = 4096;
};
