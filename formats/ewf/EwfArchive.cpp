#include "formats/ewf/EwfArchive.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "formats/ewf/EwfChunk.h"
#include "formats/ewf/EwfText.h"
#include "hashers/Hashers.h"
#include "streams/ByteOrder.h"
#include "streams/Progress.h"
#include "streams/TempStream.h"

namespace {
constexpr UInt32 kFileHeaderSize = 13;
constexpr UInt32 kDescriptorSize = 76;
constexpr UInt32 kVolumeSmall = 94;
constexpr UInt32 kVolumeLarge = 1052;
constexpr UInt32 kTableHeaderSize = 24;
// Table entries are checked through this much at a time.
constexpr UInt32 kTableReadSize = 64u << 10;
// A header text is read up to its fourth line, each at most 65536 UTF-16 characters: more inflated
// bytes than this can never be looked at, so a compression bomb stops here.
constexpr UInt64 kHeaderInflateLimit = 1u << 20;

bool IsHeaderTrimmed(Byte c) { return c <= 0x20; }

// The type name: the bytes before the first NUL.
std::string SectionType(const Byte *d) {
  size_t n = 0;
  while (n < 16 && d[n] != 0)
    n++;
  return std::string(reinterpret_cast<const char *>(d), n);
}

// Header and ltree types are recognised with surrounding blanks and control bytes removed.
std::string TrimmedSectionType(const std::string &type) {
  size_t b = 0, e = type.size();
  while (b < e && IsHeaderTrimmed(static_cast<Byte>(type[b])))
    b++;
  while (e > b && IsHeaderTrimmed(static_cast<Byte>(type[e - 1])))
    e--;
  return type.substr(b, e - b);
}

// The section types writers use; a scan for a lost descriptor looks for these only.
bool IsKnownSectionType(const std::string &type) {
  static const char *const kTypes[] = {"header", "header2", "volume", "disk",   "data",    "sectors", "table", "table2",
                                       "next",   "done",    "hash",   "digest", "xhash",   "session", "error2",
                                       "ltree",  "ltypes"};
  const std::string trimmed = TrimmedSectionType(type);
  return std::any_of(std::begin(kTypes), std::end(kTypes), [&](const char *t) { return trimmed == t; });
}

bool IsTerminal(const std::string &type) { return type == "next" || type == "done"; }

// A "next" or "done" descriptor points at itself; the SMART-style files of some writers point just
// past it instead, and both are sound.
bool IsSelfLink(UInt64 next, UInt64 start) { return next == start || next == start + kDescriptorSize; }
} // namespace

void Tvor7zEwfArchive::DoClose() {
  Tvor7zBaseEwfArchive::DoClose();
  FMediaType = 0;
}

void Tvor7zEwfArchive::InitOpen() {
  Tvor7zBaseEwfArchive::InitOpen();
  FHeaderRead = false;
  FHeader2Read = false;
  FVolumeRead = false;
  FVolumeSize = 0;
  FBytesPerSector = 0;
  FVolumeChunkCount = 0;
  FChunkAreas.clear();
  FTables.clear();
  FMedia = TMedia();
  FHavePendingTable = false;
  FFoundChunks = 0;
}

void Tvor7zEwfArchive::ReadHashSection(IInStream *, UInt32) {}
void Tvor7zEwfArchive::ReadDigestSection(IInStream *, UInt32) {}
void Tvor7zEwfArchive::ReadXhashSection(IInStream *, UInt32) {}
void Tvor7zEwfArchive::ReadSessionSection(IInStream *, UInt32) {}
void Tvor7zEwfArchive::ReadLtreeSection(IInStream *, UInt32) {}

bool Tvor7zEwfArchive::ReadSegmentHeader(IInStream *stream, Int32 &segmentNumber) {
  Byte header[kFileHeaderSize];
  if (!ReadFileHeader(stream, header, sizeof(header), SegmentIsArc()))
    return false;
  segmentNumber = GetUi16(header + 9);
  return true;
}

// ---- the descriptor chain ----

bool Tvor7zEwfArchive::ReadDescriptor(IInStream *stream, UInt64 at, UInt64 fileSize, TDescriptor &d) {
  Byte b[kDescriptorSize];
  if (at > fileSize || fileSize - at < kDescriptorSize || ReadAt(stream, at, b, sizeof(b)) < sizeof(b))
    return false;
  d.Type = SectionType(b);
  d.Next = GetUi64(b + 16);
  d.Size = GetUi64(b + 24);
  d.Intact = CalcAdler32(b, 72) == GetUi32(b + 72);
  return true;
}

bool Tvor7zEwfArchive::IsDescriptorAt(IInStream *stream, UInt64 at, UInt64 fileSize) {
  TDescriptor d;
  return ReadDescriptor(stream, at, fileSize, d) && d.Intact && IsKnownSectionType(d.Type);
}

UInt64 Tvor7zEwfArchive::FindDescriptor(IInStream *stream, UInt64 from, UInt64 fileSize) {
  return ScanStream(stream, from, fileSize, kDescriptorSize, [&](UInt64 p, const Byte *d) {
    // Cheap tests first: a type writers use, then its checksum, then where it leads.
    if (d[0] == 0 || !std::strchr("dehlnstvx", d[0]) || !IsKnownSectionType(SectionType(d)) ||
        CalcAdler32(d, 72) != GetUi32(d + 72))
      return false;
    const UInt64 next = GetUi64(d + 16);
    return IsTerminal(SectionType(d)) ? IsSelfLink(next, p)
                                      : next >= p + kDescriptorSize && IsDescriptorAt(stream, next, fileSize);
  });
}

UInt64 Tvor7zEwfArchive::NextDescriptor(IInStream *stream, UInt64 at, const TDescriptor &d, UInt64 fileSize) {
  // An intact descriptor is followed where it says, if that can be: damage there shows there.
  if (d.Intact && d.Next >= at + kDescriptorSize && d.Next <= fileSize)
    return d.Next;
  SetErrorFlag(d.Intact ? kpv_ErrorFlags_HeadersError : kpv_ErrorFlags_CRCError);
  // Else its next offset, or where its section size ends it, when a valid descriptor lies there.
  for (const UInt64 candidate : {d.Next, d.Size <= fileSize ? at + d.Size : 0})
    if (candidate >= at + kDescriptorSize && IsDescriptorAt(stream, candidate, fileSize))
      return candidate;
  // Else the next valid descriptor after it; a descriptor too damaged to name its section may
  // begin anywhere.
  return FindDescriptor(stream, IsKnownSectionType(d.Type) ? at + kDescriptorSize : at + 1, fileSize);
}

Tvor7zBaseEwfArchive::TEwfSegmentEnd Tvor7zEwfArchive::ReadSegment(IInStream *stream, bool headerIntact) {
  const UInt64 fileSize = SeekTo(stream, 0, STREAM_SEEK_END);
  const size_t firstTable = FTables.size();
  FHavePendingTable = false;
  FSectorAreas.clear();
  TEwfSegmentEnd end = TEwfSegmentEnd::kUnknown;
  // A destroyed file header may have taken the first descriptor with it.
  UInt64 at = kFileHeaderSize;
  if (!headerIntact && !IsDescriptorAt(stream, at, fileSize))
    at = FindDescriptor(stream, at, fileSize);
  // A file opened under a segment's name that holds no section at all is no segment file.
  if (!headerIntact && at >= fileSize && FSegmentNumber == 1)
    RaiseHResult(S_FALSE);
  for (TDescriptor d; at < fileSize;) {
    if (!ReadDescriptor(stream, at, fileSize, d)) {
      SetErrorFlag(kpv_ErrorFlags_UnexpectedEnd);
      break;
    }
    if (IsTerminal(d.Type)) {
      if (!d.Intact)
        SetErrorFlag(kpv_ErrorFlags_CRCError);
      if (!IsSelfLink(d.Next, at))
        SetErrorFlag(kpv_ErrorFlags_HeadersError);
      end = d.Type == "done" ? TEwfSegmentEnd::kDone : TEwfSegmentEnd::kNext;
      break;
    }
    const UInt64 next = NextDescriptor(stream, at, d, fileSize);
    // A section whose type is damaged is skipped; its payload runs up to the next descriptor found.
    if (d.Intact || IsKnownSectionType(d.Type))
      ReadSection(stream, d.Type, at + kDescriptorSize, next);
    if (next >= fileSize) {
      SetErrorFlag(kpv_ErrorFlags_UnexpectedEnd);
      break;
    }
    at = next;
  }
  if (FHavePendingTable)
    CommitTable(FPendingTable, nullptr);
  FHavePendingTable = false;

  // Chunk areas no table covers: their chunks are found by walking them. The tables of a segment
  // are then put in file order, which is image order.
  for (const TChunkArea &area : FSectorAreas) {
    if (std::none_of(FTables.begin() + static_cast<std::ptrdiff_t>(firstTable), FTables.end(), [&](const TTable &t) {
          return !t.Gap && t.FirstOffset >= area.Start && t.FirstOffset < area.End;
        }))
      FindAreaChunks(stream, area);
  }
  std::stable_sort(FTables.begin() + static_cast<std::ptrdiff_t>(firstTable), FTables.end(),
                   [](const TTable &a, const TTable &b) { return a.FirstOffset < b.FirstOffset; });
  // A damaged segment that gave no chunks at all lost them.
  if (end == TEwfSegmentEnd::kUnknown && FTables.size() == firstTable)
    SegmentLost();
  return end;
}

void Tvor7zEwfArchive::SegmentLost() {
  TTable gap;
  gap.Gap = true;
  gap.FirstOffset = FSegmentBase;
  FTables.push_back(gap);
}

void Tvor7zEwfArchive::ReadSection(IInStream *stream, const std::string &type, UInt64 payload, UInt64 end) {
  // The payload never runs past the end of the file: a damaged pointer must not make a section
  // claim more bytes than exist.
  const UInt32 size = end > payload ? static_cast<UInt32>(std::min<UInt64>(end - payload, 0xFFFFFFFFu)) : 0;
  const std::string trimmed = TrimmedSectionType(type);
  SeekTo(stream, payload);
  if (type == "table" || type == "table2" || type == "sectors") {
    AddChunkArea(FSegmentBase + payload, FSegmentBase + end);
    if (type == "sectors")
      FSectorAreas.push_back({FSegmentBase + payload, FSegmentBase + end});
    TTableRead t;
    if (type == "sectors" || !ReadTable(stream, payload, end - payload, t)) {
      if (FHavePendingTable)
        CommitTable(FPendingTable, nullptr);
      FHavePendingTable = false;
    } else if (type == "table") {
      if (FHavePendingTable)
        CommitTable(FPendingTable, nullptr);
      FPendingTable = t;
      FHavePendingTable = true;
    } else {
      // A table2 copies the table just before it; one standing alone takes its place.
      const bool pairs = FHavePendingTable && (FPendingTable.Base == t.Base || !FPendingTable.HeaderIntact ||
                                               !t.HeaderIntact);
      if (FHavePendingTable && !pairs)
        CommitTable(FPendingTable, nullptr);
      CommitTable(pairs ? FPendingTable : t, pairs ? &t : nullptr);
      FHavePendingTable = false;
    }
  } else if (trimmed == "header") {
    ReadHeaderSection(stream, size);
  } else if (trimmed == "header2") {
    ReadHeader2Section(stream, size);
  } else if (type == "volume" || type == "disk" || type == "data") {
    ReadVolumeSection(stream, size, type == "data");
  } else if (type == "hash") {
    ReadHashSection(stream, size);
  } else if (type == "digest") {
    ReadDigestSection(stream, size);
  } else if (type == "xhash") {
    ReadXhashSection(stream, size);
  } else if (type == "session") {
    ReadSessionSection(stream, size);
  } else if (trimmed == "ltree") {
    ReadLtreeSection(stream, size);
  }
}

ComPtr<IInStream> Tvor7zEwfArchive::OpenZlibSection(IInStream *stream, UInt32 size, UInt64 outLimit) {
  Tvor7zLimitSequentialInStream *limit = LimitStream();
  limit->SetStream(stream, size);
  ComPtr<Tvor7zTempStream> temp(new Tvor7zTempStream());
  const HRESULT hr =
      DeflateDecoder()->Code(limit, temp.Get(), nullptr, outLimit != 0 ? &outLimit : nullptr, nullptr);
  limit->SetStream(nullptr, 0);
  if (CheckHResult(hr) == S_FALSE)
    return nullptr;
  CheckHResult(temp->Seek(0, STREAM_SEEK_SET, nullptr));
  return ComPtr<IInStream>(static_cast<IInStream *>(temp.Get()));
}

bool Tvor7zEwfArchive::ReadHeaderText(IInStream *stream, UInt32 size, Tvor7zEwfInfo &info) {
  const ComPtr<IInStream> text = OpenZlibSection(stream, size, kHeaderInflateLimit);
  if (text && ReadEwf1HeaderText(text.Get(), info))
    return true;
  // Case metadata locates no data: a copy that does not inflate or parse is skipped, and the next
  // intact one (writers store header2 twice) takes its place.
  SetMetadataErrorFlag(kpv_ErrorFlags_HeadersError);
  return false;
}

// The old single-byte header keeps local times and loses characters its code page lacks, while
// header2 holds UTF-16 text and true Unix times: header2 wins wherever it has a value, whichever
// section comes first in the file. Of each kind the first intact copy counts; every copy is
// checked, so that damage shows wherever it is.
void Tvor7zEwfArchive::ReadHeaderSection(IInStream *stream, UInt32 size) {
  Tvor7zEwfInfo header;
  if (ReadHeaderText(stream, size, header) && !FHeaderRead) {
    FHeaderRead = true;
    FillMissingHeaderValues(*FBlocks->GetInfo(), header);
  }
}

void Tvor7zEwfArchive::ReadHeader2Section(IInStream *stream, UInt32 size) {
  Tvor7zEwfInfo merged = *FBlocks->GetInfo();
  if (ReadHeaderText(stream, size, merged) && !FHeader2Read) {
    FHeader2Read = true;
    *FBlocks->GetInfo() = std::move(merged);
  }
}

void Tvor7zEwfArchive::ReadVolumeSection(IInStream *stream, UInt32 size, bool copy) {
  // The first intact copy of the media values counts; a copy is read only while there is none.
  if (FMedia.Read && (FMedia.Intact || !copy)) {
    if (!copy && static_cast<Int32>(size) != FMedia.Size)
      SetErrorFlag(kpv_ErrorFlags_HeadersError);
    return;
  }
  if (size != kVolumeSmall && size != kVolumeLarge) {
    SetErrorFlag(kpv_ErrorFlags_HeadersError);
    return;
  }
  Byte *p = GetBuffer(size);
  if (ReadUpTo(stream, p, size) < size) {
    SetErrorFlag(kpv_ErrorFlags_UnexpectedEnd);
    return;
  }
  TMedia m;
  m.Read = true;
  m.Intact = CalcAdler32(p, size - 4) == GetUi32(p + size - 4);
  if (!m.Intact)
    SetErrorFlag(kpv_ErrorFlags_CRCError);
  if (FMedia.Read && !m.Intact)
    return;
  m.Size = static_cast<Int32>(size);
  // Both factors are 32-bit: their product is taken whole.
  m.ChunkSize = static_cast<UInt64>(GetUi32(p + 8)) * GetUi32(p + 12);
  m.BytesPerSector = GetUi32(p + 12);
  m.ChunkCount = GetUi32(p + 4);
  if (size == kVolumeLarge) {
    m.MediaType = p[0];
    std::memcpy(&m.ID, p + 64, sizeof(GUID));
    m.Sectors = GetUi64(p + 16);
  } else {
    m.Sectors = GetUi32(p + 16);
  }
  FMedia = m;
}

bool Tvor7zEwfArchive::ReadTable(IInStream *stream, UInt64 payload, UInt64 size, TTableRead &t) {
  if (size < 28) {
    SetErrorFlag(kpv_ErrorFlags_HeadersError);
    return false;
  }
  Byte h[kTableHeaderSize];
  if (ReadAt(stream, payload, h, sizeof(h)) < sizeof(h)) {
    SetErrorFlag(kpv_ErrorFlags_UnexpectedEnd);
    return false;
  }
  t.HeaderIntact = CalcAdler32(h, 20) == GetUi32(h + 20);
  if (!t.HeaderIntact)
    SetErrorFlag(kpv_ErrorFlags_CRCError);
  UInt64 count = GetUi32(h);
  // The large volume layout follows the entries with their checksum. 64-bit: (count + 6) * 4 wraps
  // around in 32 bits for large counts.
  const bool entryChecksum = FMedia.Read ? FMedia.Size == static_cast<Int32>(kVolumeLarge)
                                         : size >= kTableHeaderSize + (count + 1) * 4;
  const UInt64 room = (size - kTableHeaderSize - (entryChecksum ? 4 : 0)) / 4;
  if (count > room || (count == 0 && !t.HeaderIntact)) {
    // A table claiming more entries than its section holds (or a damaged count) has those there.
    if (t.HeaderIntact)
      SetErrorFlag(kpv_ErrorFlags_HeadersError);
    count = room;
  }
  if (count == 0) {
    SetErrorFlag(kpv_ErrorFlags_HeadersError);
    return false;
  }
  // The entries go through their checksum a buffer at a time and are not kept: the blocks read
  // them again when they are needed.
  UInt32 adler = 1;
  UInt64 read = 0;
  SeekTo(stream, payload + kTableHeaderSize);
  while (read < count * 4) {
    const UInt32 n = static_cast<UInt32>(std::min<UInt64>(count * 4 - read, kTableReadSize));
    Byte *p = GetBuffer(n);
    const size_t got = ReadUpTo(stream, p, n);
    if (read == 0 && got >= 4)
      t.FirstEntry = GetUi32(p);
    adler = UpdateAdler32(adler, p, got);
    read += got;
    if (got < n)
      break;
  }
  Byte stored[4] = {};
  const bool whole = read == count * 4 && (!entryChecksum || ReadUpTo(stream, stored, 4) == 4);
  if (!whole)
    SetErrorFlag(kpv_ErrorFlags_UnexpectedEnd);
  t.Count = read / 4;
  t.EntriesIntact = whole && (entryChecksum ? adler == GetUi32(stored) : t.HeaderIntact);
  if (!t.EntriesIntact && whole)
    SetErrorFlag(kpv_ErrorFlags_CRCError);
  t.Entries = FSegmentBase + payload + kTableHeaderSize;
  t.Base = FSegmentBase + GetUi64(h + 8);
  return t.Count > 0;
}

void Tvor7zEwfArchive::CommitTable(const TTableRead &table, const TTableRead *copy) {
  // The count and base of a header whose checksum holds; the entries of a copy whose checksum
  // holds, else both copies, mended entry by entry.
  const TTableRead &head = table.HeaderIntact || !copy || !copy->HeaderIntact ? table : *copy;
  const TTableRead &entries = table.EntriesIntact || !copy || !copy->EntriesIntact ? table : *copy;
  TTable t;
  t.Base = head.Base;
  t.Entries = entries.Entries;
  t.Count = std::min(head.Count, entries.Count);
  t.Checked = !entries.EntriesIntact;
  if (t.Checked && copy && &entries == &table && copy->Count >= t.Count)
    t.Entries2 = copy->Entries;
  t.FirstOffset = t.Base + (entries.FirstEntry & 0x7FFFFFFFu);
  FTables.push_back(t);
}

void Tvor7zEwfArchive::FindAreaChunks(IInStream *stream, const TChunkArea &area) {
  // The tables that located these chunks are lost: that is damage, whatever else was flagged.
  SetErrorFlag(kpv_ErrorFlags_HeadersError);
  const UInt64 chunk = FMedia.ChunkSize;
  UInt64 pos = area.Start;
  auto found = std::make_shared<std::vector<UInt64>>();
  if (chunk != 0 && chunk <= kMaxChunkSize && FFoundChunks < kMaxFoundChunks) {
    std::vector<TEwfFoundChunk> chunks;
    pos = FSegmentBase + FindEwfChunks(stream, area.Start - FSegmentBase, area.End - FSegmentBase,
                                       static_cast<UInt32>(chunk), true, false, kMaxFoundChunks - FFoundChunks,
                                       *DeflateDecoder(), chunks);
    FFoundChunks += chunks.size();
    found->reserve(chunks.size());
    for (const TEwfFoundChunk &c : chunks)
      found->push_back((FSegmentBase + c.Offset) | (c.Compressed ? kFoundCompressed : 0));
  }
  if (!found->empty()) {
    TTable t;
    t.Count = found->size();
    t.FirstOffset = found->front() & ~kFoundCompressed;
    t.Found = std::move(found);
    FTables.push_back(t);
  }
  if (pos < area.End) {
    TTable gap;
    gap.Gap = true;
    gap.FirstOffset = pos;
    FTables.push_back(gap);
  }
}

void Tvor7zEwfArchive::AddChunkArea(UInt64 start, UInt64 end) {
  // Sections follow each other forward, so the list stays sorted; anything else is ignored.
  if (end <= start || (!FChunkAreas.empty() && start < FChunkAreas.back().End))
    return;
  FChunkAreas.push_back({start, end});
}

namespace {
// Reads the entries of the version-1 tables when their chunks are first needed.
class TEwf1TablePager : public Tvor7zBlockPager {
public:
  TEwf1TablePager(std::vector<Tvor7zEwfArchive::TTable> tables, std::vector<Tvor7zEwfArchive::TChunkArea> areas,
                  ComPtr<Tvor7zLimitInStream> stream, UInt32 chunkSize)
      : FTables(std::move(tables)), FAreas(std::move(areas)), FStream(std::move(stream)), FChunkSize(chunkSize),
        FJoinedLength(FStream->Size()) {}

  void LoadPage(const Tvor7zBlockPage &page, Tvor7zBlock_ *blocks) override {
    const Tvor7zEwfArchive::TTable &t = FTables[page.Table];
    // One entry more where the table goes on: the chunk after the page ends the page's last one.
    // A checked table reads one before too, for its first entry's neighbour.
    const UInt64 n = page.Count + (page.Skip + page.Count < t.Count ? 1 : 0);
    const UInt64 before = t.Checked && page.Skip > 0 ? 1 : 0;
    LoadEntries(t, page.Skip - before, n + before);
    for (UInt64 i = 0; i < page.Count; i++) {
      const TEntry &e = FChosen[before + i];
      Tvor7zBlock_ &b = blocks[i];
      b.Valid = e.Valid;
      b.Offset = e.Offset;
      b.Flags = e.Compressed ? kEwfChunkCompressed : 0;
      const UInt64 next = i + 1 < n ? (FChosen[before + i + 1].Valid ? FChosen[before + i + 1].Offset : FJoinedLength)
                          : page.Table + 1 < FTables.size() ? FTables[page.Table + 1].FirstOffset
                                                             : FJoinedLength;
      b.StoredSize = StoredSize(b, next);
    }
  }

private:
  struct TEntry {
    UInt64 Offset = 0;
    bool Compressed = false;
    bool Valid = true;
  };

  // The chosen entries `from` .. `from + count` of table `t` into FChosen.
  void LoadEntries(const Tvor7zEwfArchive::TTable &t, UInt64 from, UInt64 count) {
    FChosen.assign(static_cast<size_t>(count), TEntry{});
    if (t.Found) {
      for (UInt64 i = 0; i < count; i++) {
        const UInt64 v = (*t.Found)[static_cast<size_t>(from + i)];
        FChosen[i] = {v & ~Tvor7zEwfArchive::kFoundCompressed, (v & Tvor7zEwfArchive::kFoundCompressed) != 0, true};
      }
      return;
    }
    ReadRaw(t.Entries + from * 4, count, FRaw);
    const auto entry = [&](UInt32 raw) { return TEntry{t.Base + (raw & 0x7FFFFFFFu), (raw & 0x80000000u) != 0, true}; };
    if (!t.Checked) {
      for (UInt64 i = 0; i < count; i++)
        FChosen[i] = entry(GetUi32(FRaw.data() + i * 4));
      return;
    }
    // Damaged entries: each copy's entry is taken where it lies in a chunk area, after the entry
    // before it and before the next one; where the copies agree, theirs.
    const bool copy = t.Entries2 != 0;
    if (copy)
      ReadRaw(t.Entries2 + from * 4, count, FRaw2);
    const auto raw = [&](int which, UInt64 i) { return GetUi32((which == 0 || !copy ? FRaw : FRaw2).data() + i * 4); };
    for (UInt64 i = 0; i < count; i++) {
      const TEntry a = entry(raw(0, i)), b = entry(raw(1, i));
      const TEntry *prev = i > 0 && FChosen[i - 1].Valid ? &FChosen[i - 1] : nullptr;
      const UInt64 nextMost = i + 1 < count ? std::max(entry(raw(0, i + 1)).Offset, entry(raw(1, i + 1)).Offset) : ~0ull;
      const auto fits = [&](const TEntry &e) {
        return InArea(e.Offset) && (!prev || e.Offset > prev->Offset) && e.Offset < nextMost;
      };
      if (!copy)
        FChosen[i] = {a.Offset, a.Compressed, fits(a)};
      else if (raw(0, i) == raw(1, i))
        FChosen[i] = a;
      else if (a.Offset == b.Offset)
        FChosen[i] = {a.Offset, IsCompressedChunk(a.Offset), fits(a)};  // only the flag differs
      else if (fits(a) != fits(b))  // one copy's entry can be right
        FChosen[i] = fits(a) ? a : b;
      else if (fits(a) && StartsChunk(a))  // both can: the chunk's own bytes tell
        FChosen[i] = a;
      else if (fits(b) && StartsChunk(b))
        FChosen[i] = b;
      else
        FChosen[i] = {a.Offset, a.Compressed, false};
    }
  }

  void ReadRaw(UInt64 at, UInt64 count, std::vector<Byte> &raw) {
    raw.resize(static_cast<size_t>(count) * 4);
    if (ReadAt(FStream, at, raw.data(), raw.size()) != raw.size())
      RaiseHResult(S_FALSE);  // read whole when the set was opened
  }

  bool InArea(UInt64 offset) const {
    if (FAreas.empty())
      return offset < FJoinedLength;
    auto it = std::upper_bound(FAreas.begin(), FAreas.end(), offset,
                               [](UInt64 value, const Tvor7zEwfArchive::TChunkArea &area) { return value < area.Start; });
    return it != FAreas.begin() && offset < (it - 1)->End;
  }

  // A chunk whose two entries differ in the compression flag only: stored when its bytes are
  // followed by their own checksum.
  bool IsCompressedChunk(UInt64 offset) {
    std::vector<Byte> stored(static_cast<size_t>(FChunkSize) + 4);
    if (ReadAt(FStream, offset, stored.data(), stored.size()) != stored.size())
      return true;
    return CalcAdler32(stored.data(), FChunkSize) != GetUi32(stored.data() + FChunkSize);
  }

  // Whether an entry's chunk begins as its kind does: a zlib header, or bytes with their checksum.
  bool StartsChunk(const TEntry &e) {
    if (!e.Compressed)
      return !IsCompressedChunk(e.Offset);
    Byte h[2];
    return ReadAt(FStream, e.Offset, h, 2) == 2 && (h[0] & 0x0F) == 8 && (h[0] * 256u + h[1]) % 31 == 0;
  }

  // The stored bytes of a chunk run up to the next chunk and never past the data area that holds
  // it (the last chunk of a segment is followed by the table and other sections), nor beyond what
  // a chunk may occupy (EwfMaxStoredSize) or the set holds from the chunk on: a size no file backs
  // must not size a buffer.
  UInt32 StoredSize(const Tvor7zBlock_ &b, UInt64 next) const {
    if (next > b.Offset) {
      auto it = std::upper_bound(FAreas.begin(), FAreas.end(), b.Offset,
                                 [](UInt64 value, const Tvor7zEwfArchive::TChunkArea &area) { return value < area.Start; });
      if (it != FAreas.begin() && b.Offset < (it - 1)->End)
        next = std::min(next, (it - 1)->End);
    }
    const UInt32 limit = EwfMaxStoredSize(FChunkSize, EwfChunkMethod(b));
    const UInt64 held = b.Offset < FJoinedLength ? FJoinedLength - b.Offset : 0;
    const UInt64 stored = next > b.Offset ? std::min<UInt64>(next - b.Offset, limit) : limit;
    return static_cast<UInt32>(std::min(stored, held));
  }

  const std::vector<Tvor7zEwfArchive::TTable> FTables;
  const std::vector<Tvor7zEwfArchive::TChunkArea> FAreas;
  const ComPtr<Tvor7zLimitInStream> FStream;
  const UInt32 FChunkSize;
  const UInt64 FJoinedLength;
  std::vector<Byte> FRaw, FRaw2;
  std::vector<TEntry> FChosen;
};
} // namespace

void Tvor7zEwfArchive::FinishTables() {
  // The media values, from the volume section or the copy that took its place.
  if (FMedia.Read) {
    FVolumeRead = true;
    FVolumeSize = FMedia.Size;
    // A chunk size of 0 or one no writer produces makes the set unreadable.
    if (FMedia.ChunkSize == 0 || FMedia.ChunkSize > kMaxChunkSize)
      RaiseHResult(S_FALSE);
    FBlocks->SetChunkSize(static_cast<UInt32>(FMedia.ChunkSize));
    FBytesPerSector = FMedia.BytesPerSector;
    FVolumeChunkCount = FMedia.ChunkCount;
    FMediaType = FMedia.MediaType;
    FBlocks->GetInfo()->ID = FMedia.ID;
    // An image larger than 16 EiB is damage; keep it empty rather than wrap the size around.
    if (FMedia.Sectors > UINT64_MAX / FMedia.BytesPerSector)
      SetErrorFlag(kpv_ErrorFlags_HeadersError);
    else
      FBlocks->SetTotalSize(FMedia.Sectors * FMedia.BytesPerSector);
  }
  if (!FBlocks || !FJoinedStream || FTables.empty())
    return;
  // Chunks only make sense once a volume section gave their size.
  const UInt32 chunkSize = FBlocks->GetChunkSize();
  if (chunkSize == 0) {
    SetErrorFlag(kpv_ErrorFlags_HeadersError);
    return;
  }
  // No more chunks are kept than the image can hold, so a damaged table cannot grow the block list
  // without bound. Media of whole chunks plus less than a sector: writers put the surplus bytes
  // into a chunk of their own and count it in the volume section. That one chunk is kept;
  // FitLastChunk decides.
  const UInt64 total = FBlocks->GetTotalSize();
  UInt64 maxBlocks = total / chunkSize + (total % chunkSize != 0);
  if (total % chunkSize == 0 && FVolumeChunkCount == maxBlocks + 1)
    maxBlocks++;
  // Tables before the first gap lie from the image's start; those after the last gap end where the
  // image ends (the volume section counts its chunks), since nothing says how many chunks a lost
  // segment held. Tables between two gaps cannot be placed.
  const auto firstGap = std::find_if(FTables.begin(), FTables.end(), [](const TTable &t) { return t.Gap; });
  const auto lastGap = std::find_if(FTables.rbegin(), FTables.rend(), [](const TTable &t) { return t.Gap; }).base();
  const auto place = [&](std::vector<TTable>::const_iterator from, std::vector<TTable>::const_iterator to, UInt64 at) {
    for (auto it = from; it != to; ++it) {
      const UInt64 take = std::min<UInt64>(it->Count, maxBlocks > at ? maxBlocks - at : 0);
      if (take > 0)
        FBlocks->PlaceEntries(at, take, static_cast<UInt32>(it - FTables.cbegin()), 0);
      at += take;
    }
    return at;
  };
  const UInt64 placed = place(FTables.cbegin(), firstGap, 0);
  if (firstGap != FTables.end()) {
    UInt64 after = 0;
    for (auto it = lastGap; it != FTables.end(); ++it)
      after += it->Count;
    const UInt64 end = FVolumeChunkCount != 0 ? std::min<UInt64>(FVolumeChunkCount, maxBlocks) : maxBlocks;
    place(lastGap, FTables.cend(), std::max(placed, end > after ? end - after : 0));
    if (std::any_of(firstGap, lastGap, [](const TTable &t) { return !t.Gap && t.Count > 0; }))
      SetErrorFlag(kpv_ErrorFlags_HeadersError);
  }
  FBlocks->SetMaxStoredSize(static_cast<UInt32>(
      std::min<UInt64>(EwfMaxStoredSize(chunkSize, TEwfChunkMethod::Deflate), JoinedLength())));
  FBlocks->SetPager(std::make_unique<TEwf1TablePager>(std::move(FTables), std::move(FChunkAreas),
                                                      FJoinedStream->Clone(), chunkSize));
  FTables.clear();
  FChunkAreas.clear();
}

void Tvor7zEwfArchive::FitLastChunk() {
  if (!FBlocks || !FJoinedStream)
    return;
  const UInt64 count = FBlocks->GetCount();
  if (count == 0)
    return;
  const Tvor7zBlock_ last = FBlocks->GetBlock(count - 1);
  const UInt64 total = FBlocks->GetTotalSize();
  // Only the chunk that ends the image: with chunks missing, the last one read is somewhere inside.
  const bool endsImage = last.Position + last.Size == total;
  const UInt32 length = endsImage ? MeasureLastChunk(last) : 0;
  if (length > last.Size) {
    // The last block holds what remains of the image.
    FBlocks->SetTotalSize(total + (length - last.Size));
  } else if (last.Size == 0) {
    // The surplus chunk kept for the table did not prove to hold the tail: it is no part of the image.
    FBlocks->Truncate(count - 1);
  }
}

UInt32 Tvor7zEwfArchive::MeasureLastChunk(const Tvor7zBlock_ &block) {
  const UInt32 chunk = FBlocks->GetChunkSize();
  if (!block.Valid || block.Size >= chunk || FBytesPerSector < 2)
    return 0;
  // The media ends before the next whole sector, and the chunk can hold no more than its size.
  const UInt32 most = static_cast<UInt32>(std::min<UInt64>(static_cast<UInt64>(block.Size) + FBytesPerSector - 1, chunk));
  const bool compressed = EwfChunkMethod(block) == TEwfChunkMethod::Deflate;
  // A stored chunk with no more room than its size and checksum has nothing to add.
  if (!compressed && block.StoredSize <= static_cast<UInt64>(block.Size) + 4)
    return 0;
  std::vector<Byte> stored(block.StoredSize);
  size_t got = 0;
  if (FJoinedStream->Seek(static_cast<Int64>(block.Offset), STREAM_SEEK_SET, nullptr) != S_OK ||
      ReadStream(FJoinedStream.Get(), stored.data(), stored.size(), &got) != S_OK)
    return 0;
  TEwfChunkCoders coders;
  TEwfChunk decoded;
  // One byte more room than may be taken, so that a longer stream shows as too long.
  std::vector<Byte> room(compressed ? static_cast<size_t>(most) + 1 : 0);
  if (compressed) {
    decoded = DecodeEwfChunk(TEwfChunkMethod::Deflate, stored.data(), got, block.StoredSize, most + 1, room.data(),
                             room.size(), coders);
  } else {
    // The bytes before the checksum that ends the data, when that checksum is theirs.
    if (got < 4 || got - 4 > most)
      return 0;
    decoded = DecodeEwfChunk(TEwfChunkMethod::Stored, stored.data(), got, static_cast<UInt32>(got),
                             static_cast<UInt32>(got - 4), nullptr, 0, coders);
  }
  const size_t length = decoded.Size;
  return decoded.Result == NOperationResult::kOK && length > block.Size && length <= most ? static_cast<UInt32>(length) : 0;
}
