#include "blocks/Blocks.h"

#include <algorithm>
#include <limits>
#include <new>

#include "host/Errors.h"

Tvor7zBlocks::Tvor7zBlocks(UInt64 totalSize, UInt32 chunkSize, UInt64 capacity)
    : FTotalSize(totalSize), FChunkSize(chunkSize) {
  SetCapacity(capacity);
}

Tvor7zBlocks::~Tvor7zBlocks() = default;

HRESULT Tvor7zBlocks::QueryInterfaceImpl(REFIID iid, void **out) {
  if (iid == IID_IVorUnknown || iid == IID_Ivor7zBlocks)
    return Offer<IUnknown>(this, out);
  return NoInterface(out);
}

void Tvor7zBlocks::SetCapacity(UInt64 count) {
  if (FBlocks.size() < count)
    FBlocks.resize(static_cast<size_t>(count), Tvor7zBlock_{});
}

Tvor7zBlock_ *Tvor7zBlocks::Add() {
  if (FCount == FBlocks.size())
    FBlocks.resize(FBlocks.size() + kGrowBy, Tvor7zBlock_{});
  Tvor7zBlock_ *block = &FBlocks[static_cast<size_t>(FCount++)];
  *block = Tvor7zBlock_{};
  return block;
}

Tvor7zBlock_ *Tvor7zBlocks::AddBlock(UInt64 offset, UInt32 storedSize, UInt32 size, UInt32 flags) {
  Tvor7zBlock_ *block = Add();
  block->Offset = offset;
  block->StoredSize = storedSize;
  // Correct only when blocks are added in image order, which is how this is used.
  if (FCount > 1) {
    const Tvor7zBlock_ &prev = FBlocks[static_cast<size_t>(FCount - 2)];
    block->Position = prev.Position + prev.Size;
  }
  block->Size = size;
  block->Flags = flags;
  block->Valid = true;
  return block;
}

Tvor7zBlock_ *Tvor7zBlocks::AddChunk(UInt64 offset, UInt32 storedSize, UInt32 flags) {
  return AddBlock(offset, storedSize, FChunkSize, flags);
}

// ---- paged tables ----

void Tvor7zBlocks::SetPager(std::unique_ptr<Tvor7zBlockPager> pager) {
  const std::lock_guard<std::mutex> lock(FLock);
  FPager = std::move(pager);
  FLoaded.clear();
}

void Tvor7zBlocks::AppendPages(Tvor7zBlockPage page) {
  while (page.Count > 0) {
    Tvor7zBlockPage part = page;
    part.Count = std::min(page.Count, kPageBlocks);
    FPages.push_back(part);
    page.First += part.Count;
    page.Skip += part.Count;
    page.Count -= part.Count;
  }
}

void Tvor7zBlocks::PlaceEntries(UInt64 first, UInt64 count, UInt32 table, UInt64 skip) {
  FLoaded.clear();
  const UInt64 end = first + count;
  if (first > FCount)
    AppendPages({FCount, first - FCount, 0, 0, false});
  // Holes below the end of the table are filled where this table reaches them; every other block
  // keeps the entry it has. Tables come in order, so this starts at the page holding `first`.
  const auto from0 = std::upper_bound(FPages.begin(), FPages.end(), first,
                                      [](UInt64 value, const Tvor7zBlockPage &page) { return value < page.First; });
  for (size_t i = from0 == FPages.begin() ? 0 : static_cast<size_t>(from0 - FPages.begin()) - 1;
       i < FPages.size() && FPages[i].First < end; i++) {
    const Tvor7zBlockPage hole = FPages[i];
    const UInt64 from = std::max(first, hole.First), to = std::min(end, hole.First + hole.Count);
    if (hole.Valid || from >= to)
      continue;
    std::vector<Tvor7zBlockPage> parts;
    if (from > hole.First)
      parts.push_back({hole.First, from - hole.First, 0, 0, false});
    for (UInt64 at = from; at < to; at += kPageBlocks)
      parts.push_back({at, std::min(kPageBlocks, to - at), table, skip + (at - first), true});
    if (to < hole.First + hole.Count)
      parts.push_back({to, hole.First + hole.Count - to, 0, 0, false});
    FPages.erase(FPages.begin() + static_cast<std::ptrdiff_t>(i));
    FPages.insert(FPages.begin() + static_cast<std::ptrdiff_t>(i), parts.begin(), parts.end());
    i += parts.size() - 1;
  }
  if (end > FCount) {
    const UInt64 from = std::max(first, FCount);
    AppendPages({from, end - from, table, skip + (from - first), true});
    FCount = end;
  }
}

Tvor7zBlock_ Tvor7zBlocks::PlacedBlock(UInt64 index, bool valid) const {
  Tvor7zBlock_ b{};
  b.Position = index * FChunkSize;
  b.Size = static_cast<UInt32>(b.Position < FTotalSize ? std::min<UInt64>(FChunkSize, FTotalSize - b.Position) : 0);
  b.Valid = valid;
  return b;
}

const std::vector<Tvor7zBlock_> &Tvor7zBlocks::LoadedPage(size_t page) const {
  ++FUseClock;
  for (TLoadedPage &loaded : FLoaded)
    if (loaded.Page == page) {
      loaded.LastUse = FUseClock;
      return loaded.Blocks;
    }
  const Tvor7zBlockPage &p = FPages[page];
  if (!FPager)
    RaiseHResult(E_FAIL);
  // Make room first: the least recently used pages go.
  UInt64 held = 0;
  for (const TLoadedPage &loaded : FLoaded)
    held += loaded.Blocks.size();
  while (!FLoaded.empty() && held + p.Count > FCacheLimit) {
    auto oldest = std::min_element(FLoaded.begin(), FLoaded.end(),
                                   [](const TLoadedPage &a, const TLoadedPage &b) { return a.LastUse < b.LastUse; });
    held -= oldest->Blocks.size();
    FLoaded.erase(oldest);
  }
  TLoadedPage loaded;
  loaded.Page = page;
  loaded.LastUse = FUseClock;
  loaded.Blocks.resize(static_cast<size_t>(p.Count));
  for (UInt64 i = 0; i < p.Count; i++)
    loaded.Blocks[static_cast<size_t>(i)] = PlacedBlock(p.First + i, true);
  try {
    FPager->LoadPage(p, loaded.Blocks.data());
  } catch (const EOleSysError &e) {
    // Entries that can no longer be read locate nothing: the page's blocks read as missing, and
    // the page is kept so, not read again for each of its blocks.
    if (e.Code() != S_FALSE)
      throw;
    for (UInt64 i = 0; i < p.Count; i++)
      loaded.Blocks[static_cast<size_t>(i)] = PlacedBlock(p.First + i, false);
  }
  FLoaded.push_back(std::move(loaded));
  return FLoaded.back().Blocks;
}

Tvor7zBlock_ Tvor7zBlocks::GetBlock(UInt64 index) const {
  if (FPages.empty())
    return FBlocks[static_cast<size_t>(index)].Valid ? FBlocks[static_cast<size_t>(index)] : PlacedBlock(index, false);
  const auto it = std::upper_bound(FPages.begin(), FPages.end(), index,
                                   [](UInt64 value, const Tvor7zBlockPage &page) { return value < page.First; });
  const Tvor7zBlockPage &page = *(it - 1);
  if (!page.Valid)
    return PlacedBlock(index, false);
  const std::lock_guard<std::mutex> lock(FLock);
  return LoadedPage(static_cast<size_t>(it - 1 - FPages.begin()))[static_cast<size_t>(index - page.First)];
}

// ---- both ----

void Tvor7zBlocks::SetTotalSize(UInt64 value) {
  const std::lock_guard<std::mutex> lock(FLock);
  FTotalSize = value;
  FLoaded.clear();
}

void Tvor7zBlocks::SetChunkSize(UInt32 value) {
  const std::lock_guard<std::mutex> lock(FLock);
  FChunkSize = value;
  FLoaded.clear();
}

void Tvor7zBlocks::Truncate(UInt64 count) {
  if (count >= FCount)
    return;
  FCount = count;
  const std::lock_guard<std::mutex> lock(FLock);
  FLoaded.clear();
  while (!FPages.empty() && FPages.back().First >= count)
    FPages.pop_back();
  if (!FPages.empty())
    FPages.back().Count = count - FPages.back().First;
}

bool Tvor7zBlocks::IsComplete() const {
  if (!FPages.empty())
    return std::all_of(FPages.begin(), FPages.end(), [](const Tvor7zBlockPage &page) { return page.Valid; });
  for (UInt64 i = 0; i < FCount; i++)
    if (!FBlocks[static_cast<size_t>(i)].Valid)
      return false;
  return true;
}

UInt32 Tvor7zBlocks::GetMaxStoredSize() const {
  if (!FPages.empty())
    return FMaxStoredSize;
  UInt32 most = 0;
  for (UInt64 i = 0; i < FCount; i++)
    most = std::max(most, FBlocks[static_cast<size_t>(i)].StoredSize);
  return most;
}

UInt32 Tvor7zBlocks::GetMaxSize() const {
  if (!FPages.empty())
    return static_cast<UInt32>(std::min<UInt64>(FChunkSize, FTotalSize));
  UInt32 most = 0;
  for (UInt64 i = 0; i < FCount; i++)
    most = std::max(most, FBlocks[static_cast<size_t>(i)].Size);
  return most;
}
