// The entries of a logical evidence file (L01, and the version-2 logical files that share its tree
// text), which double as the block table of the logical data image, and the reader of the entry
// tree text.
#pragma once

#include <vector>

#include "blocks/BlockCacheStream.h"
#include "formats/ewf/EwfBlocks.h"
#include "formats/ewf/EwfText.h"
#include "streams/Progress.h"

// "opr" bit of a file whose data is sparse: its extent holds one byte that the whole file repeats,
// or, as long as the file, the data itself.
inline constexpr UInt32 kLItemSparse = 0x04000000;

struct Tvor7zLItem {
  bool IsDir = false;
  UString Name;  // parent path, backslash, name
  UString ShortName;
  Int64 Size = 0;  // -1 = unknown
  UInt64 CTime = 0;
  UInt64 MTime = 0;
  UInt64 ATime = 0;
  UInt64 ChangeTime = 0;
  Byte MD5[16] = {};   // all zero = none
  Byte SHA1[20] = {};  // all zero = none
  UInt32 Attributes = 0;
  Int64 DataOffset = -1;  // first extent in the data image
  Int64 DataSize = 0;
  wchar_t ExtentType = 0;  // the letter before the extent's offset ('S' = sparse); 0 = none
  Int64 DuplicateOffset = -1;
};
using Pvor7zLItem = Tvor7zLItem *;

class Tvor7zLItems : public Tvor7zBaseEwfBlocks {
public:
  // A new entry with the defaults; pointers from earlier calls may move.
  Pvor7zLItem AddItem() { return &FItems.emplace_back(); }
  Int32 GetItemCount() const noexcept { return static_cast<Int32>(FItems.size()); }
  // No range check; callers check against GetItemCount.
  Pvor7zLItem GetItem(Int32 index) { return &FItems[static_cast<size_t>(index)]; }

private:
  std::vector<Tvor7zLItem> FItems;
};

// Reads the entries of a tree text into an item list: after the identifiers line, the root entry and
// its subtree, depth first, parents before their children. Structural faults set HeadersError in
// ErrorFlags; the entries read before a fault stay.
class TvorLEntryReader {
public:
  TvorLEntryReader(Tvor7zLItems &items, Tvor7zEwfText &text, const Tvor7zEwfHeaderLine &identifiers,
                   UInt64 nameBudget)
      : FItems(items), FText(text), FIdentifiers(identifiers), FNameBudget(nameBudget) {}

  // Reads `count` entries and their subtrees below `pathPrefix`; false at the first fault.
  bool ParseEntries(UInt32 count, const UString &pathPrefix);
  // Reads a "be" value: "0" (no data) or "1 <offset> <size>" in hexadecimal, where the offset may
  // follow a type letter that is no hexadecimal digit ("1 S 21015 1", "1 S21015 1").
  void ParseExtents(Tvor7zLItem &item, const UString &value);

  UInt32 ErrorFlags = 0;

private:
  void SetError(UInt32 bit) { ErrorFlags |= 1u << bit; }
  void ApplyValues(Tvor7zLItem &item, const Tvor7zEwfHeaderLine &values, const UString &pathPrefix);

  Tvor7zLItems &FItems;
  Tvor7zEwfText &FText;
  const Tvor7zEwfHeaderLine &FIdentifiers;
  UInt64 FNameBudget;  // name characters the list may still take
};

// Reads a whole tree text into `items`: the lines up to "entry" (the other categories) are skipped,
// then one unused line, the identifiers and the root entry with its subtree; after it only an empty
// line may follow. `nameBudget` bounds the name characters the list may take. Structural faults set
// HeadersError in ErrorFlags; the entries read before a fault stay. Stream errors raise.
struct TvorLEntryTreeResult {
  bool FoundEntry = false;  // the "entry" line was there
  UInt32 ErrorFlags = 0;
};
TvorLEntryTreeResult ReadLEntryTree(Tvor7zEwfText &text, Tvor7zLItems &items, UInt64 nameBudget);

// The bytes of file `item` as a stream over `image`, the logical data image: `Size` bytes from the
// duplicate when there is one, else the one byte of a sparse extent repeated, else `Size` bytes
// from the extent. Nil for a folder, an unknown size or no data location, and with
// `exactExtentOnly` also for an extent that is not as long as the file (which extraction still
// reads). Each call gives a stream with its own position.
ComPtr<IInStream> OpenLItemData(const Tvor7zLItem &item, IInStream *image, bool exactExtentOnly);

// Writes file `item` from `image` to `target` through `buffer`, with progress, always at its full
// size: kOK, kHeadersError (no data location), or the worst trouble of the chunks it reads, which
// read as zeros when they are lost (kUnexpectedEnd: missing or past the image; kDataError: they do
// not decode) and as they are when only their checksum fails (kCRCError). Other failures raise.
Int32 WriteLItemData(const Tvor7zLItem &item, Tvor7zBlockCacheStream2 *image, ISequentialOutStream *target,
                     Tvor7zProgress &progress, std::vector<Byte> &buffer);

// The names of the set attribute bits ("Read Only", "Hidden", ... or the bit in hexadecimal), from
// the lowest bit up, joined by ", ".
UString LItemAttributesText(UInt32 attributes);
