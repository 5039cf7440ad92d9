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

bool Tvor7zEwfArchive::ReadSegment(IInStream *stream) {
  UInt64 fileSize = 0;
  CheckHResult(stream->Seek(0, STREAM_SEEK_END, &fileSize));
  UInt64 start = kFileHeaderSize;
  for (;;) {
    SeekTo(stream, start);
    Byte d[kDescriptorSize];
    if (ReadUpTo(stream, d, sizeof(d)) < sizeof(d)) {
      SetErrorFlag(kpv_ErrorFlags_UnexpectedEnd);
      return false;
    }
    if (CalcAdler32(d, 72) != GetUi32(d + 72))
      SetErrorFlag(kpv_ErrorFlags_CRCError);
    const UInt64 pos = start + kDescriptorSize;
    const UInt64 next = GetUi64(d + 16);
    // The payload runs up to the next descriptor, but never past the end of the file: a damaged
    // pointer must not make a section claim more bytes than exist.
    const UInt64 end = std::min(next, fileSize);
    const UInt32 size = end > pos ? static_cast<UInt32>(std::min<UInt64>(end - pos, 0xFFFFFFFFu)) : 0;
    const std::string type = SectionType(d);
    const std::string trimmed = TrimmedSectionType(type);

    if (trimmed == "header")
      ReadHeaderSection(stream, size);
    else if (trimmed == "header2")
      ReadHeader2Section(stream, size);
    else if (type == "volume" || type == "disk")
      ReadVolumeSection(stream, size);
    else if (type == "sectors")
      AddChunkArea(FSegmentBase + pos, FSegmentBase + end);
    else if (type == "table") {
      AddChunkArea(FSegmentBase + pos, FSegmentBase + end);
      if (!ReadTableSection(stream, pos, size, FSegmentBase))
        return false;
    } else if (type == "hash")
      ReadHashSection(stream, size);
    else if (type == "digest")
      ReadDigestSection(stream, size);
    else if (type == "xhash")
      ReadXhashSection(stream, size);
    else if (type == "session")
      ReadSessionSection(stream, size);
    else if (trimmed == "ltree")
      ReadLtreeSection(stream, size);
    else if (type == "next") {
      if (!IsSelfLink(next, start))
        SetErrorFlag(kpv_ErrorFlags_HeadersError);
      return true;
    } else if (type == "done") {
      if (!IsSelfLink(next, start))
        SetErrorFlag(kpv_ErrorFlags_HeadersError);
      return false;
    }

    if (next < pos) {
      SetErrorFlag(kpv_ErrorFlags_HeadersError);
      return false;
    }
    if (next > fileSize) {
      SetErrorFlag(kpv_ErrorFlags_UnexpectedEnd);
      return false;
    }
    start = next;
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

void Tvor7zEwfArchive::ReadVolumeSection(IInStream *stream, UInt32 size) {
  if (FVolumeRead) {
    if (static_cast<Int32>(size) != FVolumeSize)
      SetErrorFlag(kpv_ErrorFlags_HeadersError);
    return;
  }
  FVolumeRead = true;
  FVolumeSize = static_cast<Int32>(size);
  if (size != kVolumeSmall && size != kVolumeLarge) {
    SetErrorFlag(kpv_ErrorFlags_HeadersError);
    return;
  }
  Byte *p = GetBuffer(size);
  if (ReadUpTo(stream, p, size) < size) {
    SetErrorFlag(kpv_ErrorFlags_UnexpectedEnd);
    return;
  }
  if (CalcAdler32(p, size - 4) != GetUi32(p + size - 4))
    SetErrorFlag(kpv_ErrorFlags_CRCError);
  // Both factors are 32-bit: their product is taken whole, and a chunk size of 0 or one no writer
  // produces makes the set unreadable.
  const UInt64 chunkSize = static_cast<UInt64>(GetUi32(p + 8)) * GetUi32(p + 12);
  if (chunkSize == 0 || chunkSize > kMaxChunkSize)
    RaiseHResult(S_FALSE);
  FBlocks->SetChunkSize(static_cast<UInt32>(chunkSize));
  const UInt32 bytesPerSector = GetUi32(p + 12);
  FBytesPerSector = bytesPerSector;
  FVolumeChunkCount = GetUi32(p + 4);
  UInt64 sectors;
  if (size == kVolumeLarge) {
    FMediaType = p[0];
    std::memcpy(&FBlocks->GetInfo()->ID, p + 64, sizeof(GUID));
    sectors = GetUi64(p + 16);
  } else {
    sectors = GetUi32(p + 16);
  }
  if (sectors > UINT64_MAX / bytesPerSector) {
    // An image larger than 16 EiB is damage; keep it empty rather than wrap the size around.
    SetErrorFlag(kpv_ErrorFlags_HeadersError);
    return;
  }
  FBlocks->SetTotalSize(sectors * bytesPerSector);
}

bool Tvor7zEwfArchive::ReadTableSection(IInStream *stream, UInt64 payload, UInt32 size, UInt64 base) {
  if (size < 28) {
    SetErrorFlag(kpv_ErrorFlags_HeadersError);
    return false;
  }
  Byte h[kTableHeaderSize];
  if (ReadUpTo(stream, h, 4) < 4) {
    SetErrorFlag(kpv_ErrorFlags_UnexpectedEnd);
    return false;
  }
  const UInt32 count = GetUi32(h);
  // 64-bit: (count + 6) * 4 wraps around in 32 bits for large counts.
  const bool entryChecksum = FVolumeSize == static_cast<Int32>(kVolumeLarge);
  const UInt64 need = (static_cast<UInt64>(count) + 6) * 4 + (entryChecksum ? 4 : 0);
  if (need > size) {
    SetErrorFlag(kpv_ErrorFlags_HeadersError);
    return false;
  }
  // The entries go through their checksum a buffer at a time and are not kept: the blocks read
  // them again when they are needed.
  UInt32 firstEntry = 0;
  UInt32 adler = 1;
  Byte stored[4] = {};
  bool whole = ReadUpTo(stream, h + 4, kTableHeaderSize - 4) == kTableHeaderSize - 4;
  for (UInt64 left = static_cast<UInt64>(count) * 4; whole && left > 0;) {
    const UInt32 n = static_cast<UInt32>(std::min<UInt64>(left, kTableReadSize));
    Byte *p = GetBuffer(n);
    whole = ReadUpTo(stream, p, n) == n;
    if (left == static_cast<UInt64>(count) * 4)
      firstEntry = GetUi32(p);
    adler = UpdateAdler32(adler, p, n);
    left -= n;
  }
  if (!whole || (entryChecksum && ReadUpTo(stream, stored, 4) < 4)) {
    SetErrorFlag(kpv_ErrorFlags_UnexpectedEnd);
    return false;
  }
  if (count == 0) {
    SetErrorFlag(kpv_ErrorFlags_HeadersError);
    return false;
  }
  if (CalcAdler32(h, 20) != GetUi32(h + 20))
    SetErrorFlag(kpv_ErrorFlags_CRCError);
  if (entryChecksum && adler != GetUi32(stored))
    SetErrorFlag(kpv_ErrorFlags_CRCError);

  // Chunks only make sense once a volume section gave their size; and no more chunks are kept
  // than the image can hold, so a damaged table cannot grow the block list without bound.
  const UInt32 chunkSize = FBlocks->GetChunkSize();
  if (chunkSize == 0) {
    SetErrorFlag(kpv_ErrorFlags_HeadersError);
    return false;
  }
  UInt64 maxBlocks = FBlocks->GetTotalSize() / chunkSize + (FBlocks->GetTotalSize() % chunkSize != 0);
  // Media of whole chunks plus less than a sector: writers put the surplus bytes into a chunk of
  // their own and count it in the volume section. That one chunk is kept; FitLastChunk decides.
  if (FBlocks->GetTotalSize() % chunkSize == 0 && FVolumeChunkCount == maxBlocks + 1)
    maxBlocks++;
  const UInt64 have = FBlocks->GetCount();
  const UInt64 take = std::min<UInt64>(count, maxBlocks > have ? maxBlocks - have : 0);
  if (take > 0) {
    const UInt64 b = base + GetUi64(h + 8);
    FTables.push_back({FSegmentBase + payload + kTableHeaderSize, take, b, b + (firstEntry & 0x7FFFFFFFu)});
    FBlocks->PlaceEntries(have, take, static_cast<UInt32>(FTables.size() - 1), 0);
  }
  return true;
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
    const UInt64 n = page.Count + (page.Skip + page.Count < t.Count ? 1 : 0);
    FEntries.resize(static_cast<size_t>(n) * 4);
    if (ReadAt(FStream, t.Entries + page.Skip * 4, FEntries.data(), FEntries.size()) != FEntries.size())
      RaiseHResult(S_FALSE);  // read whole when the set was opened
    const auto offset = [&](UInt64 i) { return t.Base + (GetUi32(FEntries.data() + i * 4) & 0x7FFFFFFFu); };
    for (UInt64 i = 0; i < page.Count; i++) {
      Tvor7zBlock_ &b = blocks[i];
      b.Offset = offset(i);
      b.Flags = GetUi32(FEntries.data() + i * 4) & kEwfChunkCompressed;
      const UInt64 next = i + 1 < n                          ? offset(i + 1)
                          : page.Table + 1 < FTables.size() ? FTables[page.Table + 1].FirstOffset
                                                             : FJoinedLength;
      b.StoredSize = StoredSize(b, next);
    }
  }

private:
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
  std::vector<Byte> FEntries;
};
} // namespace

void Tvor7zEwfArchive::FinishTables() {
  if (!FBlocks || !FJoinedStream || FTables.empty())
    return;
  const UInt32 chunk = FBlocks->GetChunkSize();
  FBlocks->SetMaxStoredSize(static_cast<UInt32>(
      std::min<UInt64>(EwfMaxStoredSize(chunk, TEwfChunkMethod::Deflate), JoinedLength())));
  FBlocks->SetPager(std::make_unique<TEwf1TablePager>(std::move(FTables), std::move(FChunkAreas),
                                                      FJoinedStream->Clone(), chunk));
  FTables.clear();
  FChunkAreas.clear();
}

// The volume section counts whole sectors only. A writer whose source ends inside a sector stores
// the count rounded down, yet puts every byte into the last chunk and hashes them all: without
// this the image would lose its tail and fail its own digest. Only the last chunk is looked at,
// and only a length that ends inside the sector after the counted ones is taken.
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
