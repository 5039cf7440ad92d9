#include "formats/ewf/Ewf2Archive.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "formats/ewf/EwfText.h"
#include "hashers/Hashers.h"
#include "streams/ByteOrder.h"
#include "streams/InStreams.h"

using namespace NOperationResult;

namespace {
constexpr UInt32 kSectorTableHeaderSize = 32;
constexpr UInt32 kSectorTableEntrySize = 16;
// No real segment holds anywhere near this many sections; a chain that does is damage, and the
// walk must not collect without bound.
constexpr size_t kMaxSections = 1u << 16;
// The chunk size EnCase writes unless told otherwise, taken when the texts give none.
constexpr UInt32 kDefaultBytesPerSector = 512;
constexpr UInt32 kDefaultSectorsPerChunk = 64;

// Table entry flags.
constexpr UInt32 kEntryCompressed = 1;
constexpr UInt32 kEntryChecksum = 2;
constexpr UInt32 kEntryPattern = 4;

// A decimal number of digits only; 0 for anything else or more than 64 bits.
UInt64 ParseDecimal(const UString &text) {
  if (text.empty() || text.size() > 20)
    return 0;
  UInt64 v = 0;
  for (wchar_t c : text) {
    if (c < L'0' || c > L'9')
      return 0;
    const UInt64 d = static_cast<UInt64>(c - L'0');
    if (v > (UINT64_MAX - d) / 10)
      return 0;
    v = v * 10 + d;
  }
  return v;
}

UInt32 ParseDecimal32(const UString &text) {
  const UInt64 v = ParseDecimal(text);
  return v > 0xFFFFFFFFu ? 0 : static_cast<UInt32>(v);
}
} // namespace

UString GetEwf2SegmentExtension(Int32 index, const UString &firstExtension, const wchar_t *prefix) {
  UString head = firstExtension.size() >= 3 ? firstExtension.substr(0, 3) : UString(prefix);
  if (index < 1)
    return UString();
  if (index <= 99) {
    if (index < 10)
      head += L'0';
    return head + std::to_wstring(index);
  }
  // As for version 1, the set goes on with letters: .Ex99, .ExAA ... .ExZZ, .EyAA ...
  const wchar_t first = head[1];
  const bool lower = first >= L'a' && first <= L'z';
  const wchar_t a = lower ? L'a' : L'A';
  const UInt32 n = static_cast<UInt32>(index - 100);
  const UInt32 lead = static_cast<UInt32>(head[2]) + n / 676;
  const bool leadLower = head[2] >= L'a' && head[2] <= L'z';
  if (lead > static_cast<UInt32>(leadLower ? L'z' : L'Z'))
    return UString();
  UString result = L".";
  result += first;
  result += static_cast<wchar_t>(lead);
  result += static_cast<wchar_t>(a + (n / 26) % 26);
  result += static_cast<wchar_t>(a + n % 26);
  return result;
}

UInt64 Tvor7zEwf2Archive::TEwf2Section::UsableSize() const {
  const UInt64 declared = SectionSize > PaddingSize ? SectionSize - PaddingSize : 0;
  const UInt64 held = DescriptorOffset > DataStart ? DescriptorOffset - DataStart : 0;
  return std::min(declared, held);
}

void Tvor7zEwf2Archive::DoClose() {
  Tvor7zBaseEwfArchive::DoClose();
  FDeviceType.clear();
}

void Tvor7zEwf2Archive::InitOpen() {
  Tvor7zBaseEwfArchive::InitOpen();
  FDeviceInfoRead = false;
  FCaseDataRead = false;
  FBytesPerSector = 0;
  FSectorsPerChunk = 0;
  FDeviceSectors = 0;
  FDeviceType.clear();
  FTextCoders.Codecs = &FCodecsInfo;
  FTables.clear();
  FFoundChunks = 0;
}

void Tvor7zEwf2Archive::ReadSessionSection(IInStream *, const TEwf2Section &) {}
void Tvor7zEwf2Archive::ReadMD5Section(IInStream *, const TEwf2Section &) {}
void Tvor7zEwf2Archive::ReadSHA1Section(IInStream *, const TEwf2Section &) {}
void Tvor7zEwf2Archive::ReadSingleFilesSection(IInStream *, const TEwf2Section &) {}

bool Tvor7zEwf2Archive::ReadSegmentHeader(IInStream *stream, Int32 &segmentNumber) {
  Byte header[kFileHeaderSize];
  if (!ReadFileHeader(stream, header, sizeof(header), SegmentIsArc()))
    return false;
  const UInt32 number = GetUi32(header + 12);
  segmentNumber = number > 0x7FFFFFFFu ? 0 : static_cast<Int32>(number);
  FBlocks->GetInfo()->CompressionMethod = GetUi16(header + 10);
  return true;
}

bool Tvor7zEwf2Archive::ReadDescriptor(IInStream *stream, UInt64 at, TEwf2Section &s) {
  Byte d[kDescriptorSize];
  if (ReadAt(stream, at, d, sizeof(d)) < sizeof(d))
    return false;
  s.Type = GetUi32(d);
  s.DataFlags = GetUi32(d + 4);
  s.PreviousOffset = GetUi64(d + 8);
  s.SectionSize = GetUi64(d + 16);
  s.PaddingSize = GetUi32(d + 28);
  std::memcpy(s.DataHash, d + 32, 16);
  s.DescriptorOffset = at;
  s.Intact = CalcAdler32(d, 60) == GetUi32(d + 60);
  s.DataStart = s.PreviousOffset == 0 ? kFileHeaderSize : s.PreviousOffset + kDescriptorSize;
  return true;
}

namespace {
// Section types writers use; a descriptor found by a scan must be one of them.
bool IsKnownEwf2Type(UInt32 type) { return (type >= 1 && type <= 16) || type == 0x20 || type == 0x21; }
} // namespace

bool Tvor7zEwf2Archive::IsSectorTableAt(IInStream *stream, const TEwf2Section &section) {
  Byte h[20];
  return section.UsableSize() >= sizeof(h) && ReadAt(stream, section.DataStart, h, sizeof(h)) == sizeof(h) &&
         CalcAdler32(h, 16) == GetUi32(h + 16);
}

bool Tvor7zEwf2Archive::IsDescriptorAt(IInStream *stream, UInt64 at) {
  // Positions come from damaged fields: never one a seek of the host's file could refuse.
  TEwf2Section s;
  return at >= kFileHeaderSize && at <= FSegmentSize - kDescriptorSize && ReadDescriptor(stream, at, s) && s.Intact &&
         IsKnownEwf2Type(s.Type) &&
         (s.PreviousOffset == 0 || (s.PreviousOffset >= kFileHeaderSize && s.PreviousOffset + kDescriptorSize <= at));
}

std::vector<Tvor7zEwf2Archive::TEwf2Section> Tvor7zEwf2Archive::FindDescriptors(IInStream *stream, UInt64 end) {
  // One pass over the bytes before `end`; cheap tests first: a known type in a little-endian word,
  // flags that fit a byte, then the checksum. A find must start the chain or continue one.
  std::vector<TEwf2Section> found;
  std::unordered_set<UInt64> offsets;
  ScanStream(stream, kFileHeaderSize, end, kDescriptorSize, [&](UInt64 at, const Byte *d) {
    if (!IsKnownEwf2Type(GetUi32(d)) || GetUi32(d + 4) > 0xFF || CalcAdler32(d, 60) != GetUi32(d + 60))
      return false;
    TEwf2Section s;
    ReadDescriptor(stream, at, s);
    if (s.PreviousOffset == 0 || offsets.count(s.PreviousOffset) != 0) {
      found.push_back(s);
      offsets.insert(s.DescriptorOffset);
    }
    return found.size() >= kMaxSections;
  });
  return found;
}

// The descriptors are found from the end of the file backwards, each naming the one before; the
// sections are then read forwards. A descriptor that cannot be followed is passed by its previous
// offset or its data size when a valid descriptor lies there, else the descriptors before it are
// found by a scan from the file header.
Tvor7zBaseEwfArchive::TEwfSegmentEnd Tvor7zEwf2Archive::ReadSegment(IInStream *stream, bool headerIntact) {
  FSegmentSize = SeekTo(stream, 0, STREAM_SEEK_END);
  std::vector<TEwf2Section> sections;
  if (FSegmentSize < kFileHeaderSize + kDescriptorSize) {
    SetErrorFlag(kpv_ErrorFlags_UnexpectedEnd);
    return TEwfSegmentEnd::kUnknown;
  }
  UInt64 at = FSegmentSize - kDescriptorSize;
  bool whole = false;
  while (sections.size() < kMaxSections) {
    TEwf2Section s;
    if (!ReadDescriptor(stream, at, s)) {
      SetErrorFlag(kpv_ErrorFlags_UnexpectedEnd);
      break;
    }
    // A descriptor whose checksum fails is followed where the chain rule keeps it in bounds and a
    // valid descriptor lies before it: the data it locates is checked by its own readers.
    const bool previousBelow = s.PreviousOffset == 0 ||
                               (s.PreviousOffset >= kFileHeaderSize && s.PreviousOffset + kDescriptorSize <= at);
    if (!s.Intact)
      SetMetadataErrorFlag(kpv_ErrorFlags_CRCError);
    // A file that does not end with a descriptor was cut short (or has lost its end).
    if (at + kDescriptorSize == FSegmentSize && !s.Intact && !IsKnownEwf2Type(s.Type))
      SetErrorFlag(kpv_ErrorFlags_UnexpectedEnd);
    const bool followable = s.Intact || (s.PreviousOffset == 0 ? at == kFileHeaderSize + s.SectionSize
                                                               : IsDescriptorAt(stream, s.PreviousOffset));
    if (s.Type <= 255 && previousBelow && followable) {
      sections.push_back(s);
      if (s.PreviousOffset == 0) {
        whole = true;
        break;
      }
      at = s.PreviousOffset;
      continue;
    }
    // The chain loops, points forward, runs into the file header or names a type no writer uses.
    SetErrorFlag(kpv_ErrorFlags_HeadersError);
    const UInt64 bySize = s.SectionSize <= at - kFileHeaderSize - kDescriptorSize ? at - s.SectionSize - kDescriptorSize : 0;
    const UInt64 before = IsDescriptorAt(stream, s.PreviousOffset) ? s.PreviousOffset : IsDescriptorAt(stream, bySize) ? bySize : 0;
    if (before != 0) {
      s.DataStart = before + kDescriptorSize;
      // A sector table is known by its own header's checksum, whatever its descriptor says.
      if (!IsKnownEwf2Type(s.Type) && IsSectorTableAt(stream, s))
        s.Type = kSectionSectorTable;
      if (IsKnownEwf2Type(s.Type))
        sections.push_back(s);
      at = before;
      continue;
    }
    const std::vector<TEwf2Section> found = FindDescriptors(stream, at);
    sections.insert(sections.end(), found.rbegin(), found.rend());
    whole = !found.empty();
    break;
  }
  // A file opened under a segment's name that holds no section at all is no segment file.
  if (!headerIntact && sections.empty() && FSegmentNumber == 1)
    RaiseHResult(S_FALSE);
  const size_t tables = FTables.size();
  const TEwfSegmentEnd end = ProcessSections(stream, sections);
  // A damaged segment that gave no table: its chunks lie after the last section found.
  if ((!whole || end == TEwfSegmentEnd::kUnknown) && FTables.size() == tables) {
    UInt64 from = kFileHeaderSize;
    for (const TEwf2Section &s : sections)
      from = std::max(from, s.DescriptorOffset + kDescriptorSize);
    FindChunks(stream, from);
  }
  return whole ? end : TEwfSegmentEnd::kUnknown;
}

void Tvor7zEwf2Archive::FindChunks(IInStream *stream, UInt64 from) {
  UInt64 chunk = static_cast<UInt64>(FBytesPerSector) * FSectorsPerChunk;
  if (chunk == 0 || chunk > kMaxChunkSize)
    chunk = static_cast<UInt64>(kDefaultBytesPerSector) * kDefaultSectorsPerChunk;
  if (FFoundChunks >= kMaxFoundChunks)
    return;
  // Chunks lie one after the other, each perhaps padded to 16 bytes.
  auto found = std::make_shared<std::vector<TEwfFoundChunk>>();
  FindEwfChunks(stream, from, FSegmentSize, static_cast<UInt32>(chunk), FBlocks->GetInfo()->CompressionMethod == 1,
                true, kMaxFoundChunks - FFoundChunks, *DeflateDecoder(), *found);
  if (found->empty())
    return;
  FFoundChunks += found->size();
  SetErrorFlag(kpv_ErrorFlags_HeadersError);
  const UInt64 n = found->size();
  TTable t{0, FSegmentBase, FSegmentSize, FBlocks->GetInfo()->CompressionMethod, n, std::move(found)};
  FTables.push_back(std::move(t));
  FBlocks->PlaceEntries(FBlocks->GetCount(), n, static_cast<UInt32>(FTables.size() - 1), 0);
}

Tvor7zBaseEwfArchive::TEwfSegmentEnd Tvor7zEwf2Archive::ProcessSections(IInStream *stream,
                                                                       const std::vector<TEwf2Section> &sections) {
  // Collected from the end of the file: the first in the file is the last collected.
  for (size_t k = sections.size(); k-- > 0;) {
    const TEwf2Section &s = sections[k];
    const bool last = k == 0;
    switch (s.Type) {
    case kSectionDeviceInformation:
      ReadDeviceInformation(stream, s);
      break;
    case kSectionCaseData:
      ReadCaseData(stream, s);
      break;
    case kSectionSectorTable:
      ReadSectorTable(stream, s);
      break;
    case kSectionSessionTable:
      ReadSessionSection(stream, s);
      break;
    case kSectionMD5:
      ReadMD5Section(stream, s);
      break;
    case kSectionSHA1:
      ReadSHA1Section(stream, s);
      break;
    case kSectionSingleFiles:
      ReadSingleFilesSection(stream, s);
      break;
    case kSectionNext:
    case kSectionDone:
      if (!last)
        SetErrorFlag(kpv_ErrorFlags_HeadersError);
      return s.Type == kSectionNext ? TEwfSegmentEnd::kNext : TEwfSegmentEnd::kDone;
    default:
      // Sector data, error tables, restart and analytical data, memory extents, keys ...: nothing
      // the image needs beyond the tables.
      break;
    }
  }
  return TEwfSegmentEnd::kUnknown;
}

bool Tvor7zEwf2Archive::ReadCompressedSection(IInStream *stream, const TEwf2Section &section, UInt32 outLimit,
                                              std::vector<Byte> &out) {
  const UInt32 method = FBlocks->GetInfo()->CompressionMethod;
  if (method != 1 && method != 2) {
    SetMetadataErrorFlag(kpv_ErrorFlags_UnsupportedMethod);
    return false;
  }
  const UInt64 usable = section.UsableSize();
  if (usable == 0 || usable > kMaxTextSectionSize) {
    SetMetadataErrorFlag(kpv_ErrorFlags_HeadersError);
    return false;
  }
  std::vector<Byte> stored(static_cast<size_t>(usable));
  const size_t got = ReadAt(stream, section.DataStart, stored.data(), stored.size());
  out.resize(outLimit);
  const TEwfChunk text = DecodeEwfChunk(method == 1 ? TEwfChunkMethod::Deflate : TEwfChunkMethod::BZip2,
                                        stored.data(), got, static_cast<UInt32>(usable), outLimit, out.data(),
                                        out.size(), FTextCoders);
  if (text.Result == kUnsupportedMethod) {
    SetMetadataErrorFlag(kpv_ErrorFlags_UnsupportedMethod);
    return false;
  }
  // What decoded is judged by the text reader: a stream that only fails behind the text (padding
  // a writer left inside the usable size) still gives its text.
  out.resize(text.Size);
  return true;
}

bool Tvor7zEwf2Archive::ReadTextSection(IInStream *stream, const TEwf2Section &section, bool &read,
                                        const std::function<void(const UString &, const UString &)> &apply) {
  // The first intact copy of the set counts; later ones are not decoded.
  if (read)
    return false;
  std::vector<Byte> text;
  if (!ReadCompressedSection(stream, section, kMaxTextSize, text))
    return false;
  ComPtr<Tvor7zFixedMemoryInStream> in(new Tvor7zFixedMemoryInStream(text.data(), static_cast<UInt32>(text.size()), false));
  // Case metadata locates no data beyond the chunk size: a copy that does not decode or parse is
  // skipped with a flag, and a later intact copy takes its place.
  Tvor7zEwfHeaderLine ids, values;
  if (!ReadEwfTextTable(in, ids, values)) {
    SetMetadataErrorFlag(kpv_ErrorFlags_HeadersError);
    return false;
  }
  read = true;
  // Values pair with the identifiers at their places; extra ones on either line are ignored.
  const size_t n = std::min(ids.size(), values.size());
  for (size_t i = 0; i < n; i++)
    if (!values[i].empty())
      apply(ids[i], values[i]);
  return true;
}

void Tvor7zEwf2Archive::ReadDeviceInformation(IInStream *stream, const TEwf2Section &section) {
  Tvor7zEwfInfo &info = *FBlocks->GetInfo();
  ReadTextSection(stream, section, FDeviceInfoRead, [&](const UString &id, const UString &value) {
    if (id == L"sn")
      info.DeviceSerialNumber = value;
    else if (id == L"md")
      info.DeviceModel = value;
    else if (id == L"lb")
      info.DeviceLabel = value;
    else if (id == L"ts")
      FDeviceSectors = ParseDecimal(value);
    else if (id == L"dt")
      FDeviceType = value;
    else if (id == L"bp")
      FBytesPerSector = ParseDecimal32(value);
  });
}

void Tvor7zEwf2Archive::ReadCaseData(IInStream *stream, const TEwf2Section &section) {
  Tvor7zEwfInfo &info = *FBlocks->GetInfo();
  ReadTextSection(stream, section, FCaseDataRead, [&](const UString &id, const UString &value) {
    if (id == L"nm")
      info.Description = value;
    else if (id == L"cn")
      info.Case = value;
    else if (id == L"en")
      info.Evidence = value;
    else if (id == L"ex")
      info.Examiner = value;
    else if (id == L"nt")
      info.Notes = value;
    else if (id == L"av")
      info.CreatorApp = value;
    else if (id == L"os")
      info.AcquisitionPlatform = value;
    else if (id == L"tt")
      info.DateAcquired = ParseHeaderDate(value);
    else if (id == L"at")
      info.SystemDate = ParseHeaderDate(value);
    else if (id == L"sb")
      FSectorsPerChunk = ParseDecimal32(value);
  });
}

UInt32 Tvor7zEwf2Archive::ChunkFlags(UInt32 entryFlags, UInt32 method) {
  if ((entryFlags & (kEntryCompressed | kEntryPattern)) == (kEntryCompressed | kEntryPattern))
    return kEwfChunkPattern;
  if (entryFlags & kEntryCompressed) {
    switch (method) {
    case 1:
      return kEwfChunkCompressed;
    case 2:
      return kEwfChunkBZip2;
    default:
      return kEwfChunkUnsupported;
    }
  }
  return (entryFlags & kEntryChecksum) ? 0 : kEwfChunkPlain;
}

void Tvor7zEwf2Archive::ReadSectorTable(IInStream *stream, const TEwf2Section &section) {
  const UInt64 usable = section.UsableSize();
  if (usable < 20) {
    SetErrorFlag(kpv_ErrorFlags_HeadersError);
    return;
  }
  Byte h[kSectorTableHeaderSize] = {};
  const size_t got = ReadAt(stream, section.DataStart, h, std::min<UInt64>(usable, sizeof(h)));
  if (got < 20) {
    SetErrorFlag(kpv_ErrorFlags_UnexpectedEnd);
    return;
  }
  UInt64 first = GetUi64(h);
  UInt64 count = GetUi32(h + 8);
  // Only entries the section holds count; it lies whole before its descriptor.
  const UInt64 room = usable > kSectorTableHeaderSize ? (usable - kSectorTableHeaderSize) / kSectorTableEntrySize : 0;
  const UInt64 have = FBlocks->GetCount();
  if (CalcAdler32(h, 16) != GetUi32(h + 16)) {
    // A damaged header under a damaged descriptor may be no table at all. Else the table goes on
    // where the one before ended, with the entries its section holds; the entries themselves are
    // checked when they are read.
    SetErrorFlag(kpv_ErrorFlags_CRCError);
    if (!section.Intact)
      return;
    first = have;
    count = count > 0 && count <= room ? count : room;
  }
  const UInt64 n = std::min<UInt64>(count, room);
  if (n < count)
    SetErrorFlag(kpv_ErrorFlags_UnexpectedEnd);

  // A table past the chunks known leaves a hole (missing tables) that reads as missing data; the
  // hole can be no larger than the tables the set's bytes could have held.
  const UInt64 maxHole = JoinedLength() / kSectorTableEntrySize;
  if (first > have + maxHole) {
    SetErrorFlag(kpv_ErrorFlags_HeadersError);
    return;
  }
  if (n == 0)
    return;
  FTables.push_back({FSegmentBase + section.DataStart + kSectorTableHeaderSize, FSegmentBase, FSegmentSize,
                     FBlocks->GetInfo()->CompressionMethod, n, nullptr});
  FBlocks->PlaceEntries(first, n, static_cast<UInt32>(FTables.size() - 1), 0);
}

namespace {
// Reads the entries of the sector tables when their chunks are first needed.
class TEwf2TablePager : public Tvor7zBlockPager {
public:
  TEwf2TablePager(std::vector<Tvor7zEwf2Archive::TTable> tables, ComPtr<Tvor7zLimitInStream> stream, UInt32 chunkSize)
      : FTables(std::move(tables)), FStream(std::move(stream)), FChunkSize(chunkSize), FJoinedLength(FStream->Size()),
        FDamaged(FTables.size(), -1) {}

  void LoadPage(const Tvor7zBlockPage &page, Tvor7zBlock_ *blocks) override {
    const Tvor7zEwf2Archive::TTable &t = FTables[page.Table];
    if (t.Found) {
      for (UInt64 i = 0; i < page.Count; i++) {
        const TEwfFoundChunk &f = (*t.Found)[static_cast<size_t>(page.Skip + i)];
        blocks[i].Offset = t.SegmentBase + f.Offset;
        blocks[i].StoredSize = f.Size;
        blocks[i].Flags = f.Compressed ? kEwfChunkCompressed : 0;
      }
      return;
    }
    FEntries.resize(static_cast<size_t>(page.Count) * kSectorTableEntrySize);
    if (ReadAt(FStream, t.Entries + page.Skip * kSectorTableEntrySize, FEntries.data(), FEntries.size()) !=
        FEntries.size())
      RaiseHResult(S_FALSE);  // lay whole in the set when it was opened
    const bool damaged = IsDamaged(page.Table);
    UInt64 before = 0;  // the stored chunk before, in a damaged table
    for (UInt64 i = 0; i < page.Count; i++) {
      const Byte *e = FEntries.data() + i * kSectorTableEntrySize;
      Tvor7zBlock_ &b = blocks[i];
      const UInt64 offset = GetUi64(e);
      b.Flags = Tvor7zEwf2Archive::ChunkFlags(GetUi32(e + 12), t.Method);
      const TEwfChunkMethod method = EwfChunkMethod(b);
      if (method == TEwfChunkMethod::PatternFill) {
        b.Offset = offset;  // the pattern itself
        b.StoredSize = 0;
        b.Valid = !damaged || GetUi32(e + 12) <= 7;
        continue;
      }
      UInt64 stored = GetUi32(e + 8);
      // In a table whose checksum fails an entry counts only where it can be right: flags a writer
      // sets, and stored bytes inside its segment after those of the chunk before.
      if (damaged) {
        b.Valid = GetUi32(e + 12) <= 7 && stored > 0 && offset > before && offset >= kHeaderSize &&
                  offset < t.SegmentSize && stored <= t.SegmentSize - offset;
        if (b.Valid)
          before = offset;
      }
      if (offset < t.SegmentSize) {
        b.Offset = t.SegmentBase + offset;
      } else {
        // Data outside its own segment file: no bytes to read.
        b.Offset = t.SegmentBase + t.SegmentSize;
        stored = 0;
      }
      // Never more than a chunk may take or the set holds from the chunk on.
      const UInt64 held = b.Offset < FJoinedLength ? FJoinedLength - b.Offset : 0;
      b.StoredSize = static_cast<UInt32>(std::min<UInt64>({stored, EwfMaxStoredSize(FChunkSize, method), held}));
    }
  }

private:
  static constexpr UInt64 kHeaderSize = Tvor7zEwf2Archive::kFileHeaderSize;

  // Whether a table's entries fail their checksum; read through once, on its first page.
  bool IsDamaged(UInt32 table) {
    if (FDamaged[table] < 0 && FTables[table].Found)
      FDamaged[table] = 0;
    if (FDamaged[table] < 0) {
      const Tvor7zEwf2Archive::TTable &t = FTables[table];
      UInt32 adler = 1;
      std::vector<Byte> piece;
      bool whole = true;
      for (UInt64 at = 0, all = t.Count * kSectorTableEntrySize; whole && at < all;) {
        piece.resize(static_cast<size_t>(std::min<UInt64>(all - at, 64u << 10)));
        whole = ReadAt(FStream, t.Entries + at, piece.data(), piece.size()) == piece.size();
        adler = UpdateAdler32(adler, piece.data(), piece.size());
        at += piece.size();
      }
      Byte footer[4];
      whole = whole && ReadAt(FStream, t.Entries + t.Count * kSectorTableEntrySize, footer, 4) == 4;
      FDamaged[table] = !whole || adler != GetUi32(footer) ? 1 : 0;
    }
    return FDamaged[table] > 0;
  }

  const std::vector<Tvor7zEwf2Archive::TTable> FTables;
  const ComPtr<Tvor7zLimitInStream> FStream;
  const UInt32 FChunkSize;
  const UInt64 FJoinedLength;
  std::vector<Byte> FEntries;
  std::vector<signed char> FDamaged;  // per table: -1 not known yet, 0 intact, 1 damaged
};
} // namespace

void Tvor7zEwf2Archive::FinishChunks(UInt64 totalSize) {
  UInt64 chunk = static_cast<UInt64>(FBytesPerSector) * FSectorsPerChunk;
  if (chunk == 0 || chunk > kMaxChunkSize) {
    // Chunks still decode to their own size; only where the image's chunks lie would be a guess.
    SetErrorFlag(kpv_ErrorFlags_HeadersError);
    chunk = static_cast<UInt64>(FBytesPerSector != 0 && FBytesPerSector <= kMaxChunkSize / kDefaultSectorsPerChunk
                                    ? FBytesPerSector
                                    : kDefaultBytesPerSector) *
            kDefaultSectorsPerChunk;
  }
  FBlocks->SetChunkSize(static_cast<UInt32>(chunk));
  const UInt64 count = FBlocks->GetCount();
  if (totalSize == 0)
    totalSize = count * chunk;
  // Entries past the image's end are no part of it.
  FBlocks->Truncate(totalSize / chunk + (totalSize % chunk != 0));
  FBlocks->SetTotalSize(totalSize);
  if (FTables.empty() || !FJoinedStream)
    return;
  FBlocks->SetMaxStoredSize(static_cast<UInt32>(
      std::min<UInt64>(EwfMaxStoredSize(static_cast<UInt32>(chunk), TEwfChunkMethod::Deflate), JoinedLength())));
  FBlocks->SetPager(std::make_unique<TEwf2TablePager>(std::move(FTables), FJoinedStream->Clone(), static_cast<UInt32>(chunk)));
  FTables.clear();
}
