// The format-neutral table of an image's stored chunks: where each lies in the container stream,
// where it belongs in the decoded image, and the format's flags for it.
//
// A table is either resident (the format adds every block while it opens the container) or paged:
// the format adds pages, runs of blocks whose entries it reads from the container when a block of
// the run is first needed. Loaded pages are kept in a cache of a fixed number of blocks, so that a
// table of a terabyte image costs what a table of a gigabyte one does.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "host/Com.h"

struct Tvor7zBlock_ {
  UInt64 Offset;      // stored bytes in the container stream
  UInt32 StoredSize;  // bytes a reader reads at Offset
  UInt64 Position;    // first decoded byte in the image
  UInt32 Size;        // decoded bytes
  UInt32 Flags;       // the format's own
  bool Valid;         // defined; an invalid block reads as missing data
};

// A run of blocks of a paged table whose entries come from one table of the container.
struct Tvor7zBlockPage {
  UInt64 First = 0;   // index of the run's first block
  UInt64 Count = 0;   // blocks in the run
  UInt32 Table = 0;   // the format's own number for the container table that holds the entries
  UInt64 Skip = 0;    // entries of that table before the run's first one
  bool Valid = true;  // false: a hole no table covers; its blocks read as missing data
};

// Reads the entries of one page of a paged table. Runs under the table's lock, so one reader at a
// time, from whichever thread needs the blocks.
class Tvor7zBlockPager {
public:
  virtual ~Tvor7zBlockPager() = default;
  // Sets Offset, StoredSize and Flags of the page's blocks (`blocks` holds page.Count of them,
  // Position, Size and Valid already set). Entries that can no longer be read raise S_FALSE: the
  // page's blocks then read as missing. Other failures propagate.
  virtual void LoadPage(const Tvor7zBlockPage &page, Tvor7zBlock_ *blocks) = 0;
};

// Identity of the block table for QueryInterface: {9D23A5A5-805A-4AE5-BCBD-794DF0C50F52}.
inline constexpr GUID IID_Ivor7zBlocks = {0x9D23A5A5u, 0x805Au, 0x4AE5u, {0xBC, 0xBD, 0x79, 0x4D, 0xF0, 0xC5, 0x0F, 0x52}};

class Tvor7zBlocks : public TvorInterfacedObject, public IUnknown {
public:
  Tvor7zBlocks() = default;
  Tvor7zBlocks(UInt64 totalSize, UInt32 chunkSize, UInt64 capacity);
  ~Tvor7zBlocks() override;
  VOR_UNKNOWN_IMP
  HRESULT QueryInterfaceImpl(REFIID iid, void **out) override;

  // ---- resident tables, built while the container opens ----
  // Reserves room; never shrinks.
  void SetCapacity(UInt64 count);
  // Appends a zero block (not valid). Pointers stay valid until the next Add that grows the table.
  Tvor7zBlock_ *Add();
  // Appends a valid block placed right after the previous one.
  Tvor7zBlock_ *AddBlock(UInt64 offset, UInt32 storedSize, UInt32 size, UInt32 flags);
  Tvor7zBlock_ *AddChunk(UInt64 offset, UInt32 storedSize, UInt32 flags);
  // A block of a resident table, to fill in place.
  Tvor7zBlock_ *EditBlock(UInt64 index) { return &FBlocks[index]; }
  UInt64 GetCapacity() const { return FBlocks.size(); }

  // ---- paged tables ----
  // Who reads the pages' entries. Set before the first block is read.
  void SetPager(std::unique_ptr<Tvor7zBlockPager> pager);
  // Places `count` entries of container table `table`, from its entry `skip` on, at blocks `first`
  // on. Blocks that an earlier table already placed keep their entries (a repeated table fills
  // holes only); blocks between the last placed one and `first` are a hole.
  void PlaceEntries(UInt64 first, UInt64 count, UInt32 table, UInt64 skip);
  bool IsPaged() const { return !FPages.empty(); }
  // Pages of the table, in image order (for inspection).
  const std::vector<Tvor7zBlockPage> &GetPages() const { return FPages; }
  // Blocks of a paged table sit at index x chunk size and hold up to the chunk size, the last one
  // what remains of the total size. The largest stored size the format allows a block.
  void SetMaxStoredSize(UInt32 value) { FMaxStoredSize = value; }
  // Loaded pages drop out, least recently used first, beyond this many blocks.
  void SetCacheBlocks(UInt64 count) { FCacheLimit = count; }

  // ---- both ----
  // Forgets the blocks from `count` on.
  void Truncate(UInt64 count);
  bool IsComplete() const;
  UInt64 GetTotalSize() const { return FTotalSize; }
  // Both place the blocks of a paged table: set them before the first block is read, or pages
  // already read are read again.
  void SetTotalSize(UInt64 value);
  UInt32 GetChunkSize() const { return FChunkSize; }
  void SetChunkSize(UInt32 value);
  UInt64 GetCount() const { return FCount; }
  // A copy of the block at `index` (< GetCount). Safe from several threads at once. A block no
  // entry defines comes with its place in the image and Valid false.
  Tvor7zBlock_ GetBlock(UInt64 index) const;
  // Largest stored and decoded sizes of any block, for sizing buffers before the blocks are read.
  UInt32 GetMaxStoredSize() const;
  UInt32 GetMaxSize() const;

  // Growth step of Add.
  static constexpr UInt32 kGrowBy = 1024;
  // Most blocks in one page; a container table with more entries is read in several.
  static constexpr UInt64 kPageBlocks = 4096;
  // Blocks the page cache holds by default (16 pages, 2.5 MiB).
  static constexpr UInt64 kDefaultCacheBlocks = 16 * kPageBlocks;

protected:
  UInt64 FTotalSize = 0;
  UInt32 FChunkSize = 0;
  std::vector<Tvor7zBlock_> FBlocks;
  UInt64 FCount = 0;

private:
  struct TLoadedPage {
    size_t Page = 0;
    UInt64 LastUse = 0;
    std::vector<Tvor7zBlock_> Blocks;
  };
  // Appends a page of at most kPageBlocks blocks (longer runs are cut).
  void AppendPages(Tvor7zBlockPage page);
  // Block `index` of a paged table with its place in the image and nothing stored.
  Tvor7zBlock_ PlacedBlock(UInt64 index, bool valid) const;
  // The loaded blocks of page `page` (lock held).
  const std::vector<Tvor7zBlock_> &LoadedPage(size_t page) const;

  std::vector<Tvor7zBlockPage> FPages;
  std::unique_ptr<Tvor7zBlockPager> FPager;
  UInt32 FMaxStoredSize = 0;
  UInt64 FCacheLimit = kDefaultCacheBlocks;
  mutable std::mutex FLock;
  mutable std::vector<TLoadedPage> FLoaded;
  mutable UInt64 FUseClock = 0;
};
