#include "formats/ad1/AD1Archive.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>

#include "blocks/FlateDecoder.h"
#include "blocks/MtBlocksDecoder.h"
#include "formats/ad1/AD1ArchiveStream.h"
#include "hashers/StoredDigests.h"
#include "host/PropVariant.h"
#include "platform/Platform.h"
#include "plugin/Registry.h"
#include "streams/ByteOrder.h"
#include "streams/OutStreams.h"
#include "streams/Progress.h"

using namespace NAD1Layout;
using namespace NOperationResult;

namespace {
constexpr UInt32 kDataBufferSize = 65536;
constexpr UInt32 kUtf8CodePage = 65001;
constexpr PROPID kpidSource = 0x10006;

const TvorPropertyInfo kArchiveProps[] = {
    {L"Case", 0x10000, VT_BSTR},        {L"Evidence", 0x10001, VT_BSTR},
    {L"Description", 0x10002, VT_BSTR}, {L"Examiner", 0x10003, VT_BSTR},
    {nullptr, kpidComment, VT_BSTR},    {L"Date acquired", 0x10004, VT_FILETIME},
    {L"ID", 0x10005, VT_BSTR},          {L"Source", kpidSource, VT_BSTR},
};

// Path and folder flag are listed too, so that a detailed listing shows them.
const TvorPropertyInfo kItemProps[] = {
    {nullptr, kpidPath, VT_BSTR},       {nullptr, kpidIsDir, VT_BOOL},      {nullptr, kpidSize, VT_UI8},
    {nullptr, kpidCTime, VT_FILETIME}, {nullptr, kpidMTime, VT_FILETIME}, {nullptr, kpidATime, VT_FILETIME},
};

bool IsUsedKey(UInt32 key) {
  switch (key) {
  case NAD1Key::kFileSize:
  case NAD1Key::kAccessTime:
  case NAD1Key::kCreationTime:
  case NAD1Key::kModificationTime:
  case NAD1Key::kMD5:
  case NAD1Key::kSHA1:
  case NAD1Key::kFolderPath:
    return true;
  default:
    return false;
  }
}

bool IsInteger(const AString &text) {
  Int64 value = 0;
  const char *end = text.data() + text.size();
  const auto [p, ec] = std::from_chars(text.data(), end, value);
  return ec == std::errc() && p == end;
}

UString Widen(const AString &text) { return UString(text.begin(), text.end()); }

// A folder path as stored (written with backslashes, perhaps with one at the end) in the host's form.
UString FolderPath(UString path) {
  std::replace(path.begin(), path.end(), L'\\', kPlatformPathDelimiter);
  if (!path.empty() && path.back() == kPlatformPathDelimiter)
    path.pop_back();
  return path;
}
}  // namespace

// ---- open ----

bool Tvor7zAD1Archive::ReadSegmentHeader(IInStream *stream, TSegmentHeader &header) {
  Byte b[kSegmentHeaderSize];
  size_t got = 0;
  CheckHResult(stream->Seek(0, STREAM_SEEK_SET, nullptr));
  CheckHResult(ReadStream(stream, b, sizeof(b), &got));
  if (IsArc_AD1(b, got) != 1 || got < sizeof(b))
    return false;
  header.Number = GetUi32(b + kSegmentNumber);
  header.Count = GetUi32(b + kSegmentCount);
  header.SegmentSize = GetUi32(b + kSegmentSize);
  header.DataOffset = GetUi32(b + kDataOffset);
  return true;
}

UString Tvor7zAD1Archive::SegmentName(UInt32 number) { return FBaseName + L".ad" + std::to_wstring(number); }

UString Tvor7zAD1Archive::DoGetVolumeName(UInt32 index) {
  const UString name = GetArchiveName();
  if (index == 0 || name.empty())
    return name;
  return ChangeExtension(name, UString()) + L".ad" + std::to_wstring(static_cast<UInt64>(index) + 1);
}

void Tvor7zAD1Archive::DoOpen(const UInt64 *, IArchiveOpenCallback *openCallback) {
  FItems = new Tvor7zAD1Items();
  FVisitedItems.clear();
  FVisitedMeta.clear();
  TSegmentHeader header;
  if (!ReadSegmentHeader(FStream, header))
    RaiseHResult(S_FALSE);
  FBaseName = ChangeExtension(GetArchiveName(), UString());

  ComPtr<IInStream> first(FStream);
  if (header.Number == 1) {
    // Segment 1 under another name: its fellows cannot be named, so it stands alone. A set of one
    // is whole under any name.
    if (GetArchiveExtension() != L".ad1" && header.Count > 1) {
      header.Count = 1;
      SetErrorFlag(kpv_ErrorFlags_HeadersError);
    }
  } else {
    if (!QueryAs<IArchiveOpenVolumeCallback>(openCallback, IID_IArchiveOpenVolumeCallback))
      RaiseHResult(S_FALSE);
    first = OpenVolume(openCallback, SegmentName(1));
    if (!first) {
      // Opened, but with nothing to show: that must not pass for an empty image.
      SetErrorFlag(kpv_ErrorFlags_UnexpectedEnd);
      return;
    }
    if (!ReadSegmentHeader(first, header))
      RaiseHResult(S_FALSE);
  }
  JoinSegments(first, header, openCallback);
  FDataStream = new Tvor7zBufferedInStream(FJoined, kDataBufferSize);
  FCodePage = kUtf8CodePage;
  if (!ReadImage())
    RaiseHResult(S_FALSE);
}

void Tvor7zAD1Archive::JoinSegments(IInStream *first, const TSegmentHeader &header,
                                    IArchiveOpenCallback *openCallback) {
  FJoined = new Tvor7zLimitInStream();
  FPresent = 0;
  // Bytes of a segment file of `length` bytes that belong to the data space. A file shorter than its
  // data offset holds none (the difference would wrap around).
  const auto dataIn = [&](UInt64 length) -> UInt64 {
    return length > header.DataOffset ? length - header.DataOffset : 0;
  };
  // Positions run across the segments: one missing, damaged or cut short keeps its place in the
  // data space as zeros, so that everything after it is still found where it lies.
  ComPtr<IInStream> stream(first);
  UInt32 missing = 0;  // segment files missing in a row: after a few, the set is taken to end
  for (UInt64 number = 1;;) {
    UInt64 length = 0;
    if (stream)
      CheckHResult(stream->Seek(0, STREAM_SEEK_END, &length));
    const bool last = number >= header.Count;
    if (stream && length > header.SegmentSize) {
      FJoined->AddSegment(stream, header.DataOffset, dataIn(header.SegmentSize));
      FPresent += dataIn(header.SegmentSize);
      SetErrorFlag(kpv_ErrorFlags_DataAfterEnd);
      return;
    }
    if (stream) {
      FJoined->AddSegment(stream, header.DataOffset, dataIn(length));
      FPresent += dataIn(length);
    }
    if (!stream || length < header.DataOffset || (!last && length < header.SegmentSize)) {
      SetErrorFlag(kpv_ErrorFlags_UnexpectedEnd);
      missing = stream ? 0 : missing + 1;
      if (last || missing > kMaxMissingSegments)
        return;
      FJoined->AddZeros(dataIn(header.SegmentSize) - dataIn(stream ? length : 0));
    } else {
      missing = 0;
    }
    if (++number > header.Count)
      return;
    stream = OpenVolume(openCallback, SegmentName(static_cast<UInt32>(number)));
    TSegmentHeader next;
    if (stream && !ReadSegmentHeader(stream, next)) {
      // A header destroyed: the segment is placed by its name, its data where every segment's is.
      SetErrorFlag(kpv_ErrorFlags_HeadersError);
    } else if (stream && (next.Number != number || next.Count != header.Count ||
                          next.SegmentSize != header.SegmentSize || next.DataOffset != header.DataOffset)) {
      SetErrorFlag(kpv_ErrorFlags_HeadersError);
      return;
    }
  }
}

UInt64 Tvor7zAD1Archive::DataSpaceLength() {
  UInt64 length = 0;
  CheckHResult(FJoined->Seek(0, STREAM_SEEK_END, &length));
  return length;
}

bool Tvor7zAD1Archive::ReadText(UInt64 position, UInt64 length, AString &text) {
  const size_t wanted = static_cast<size_t>(std::min<UInt64>(length, kMaxTextLength));
  text.resize(wanted);
  text.resize(ReadAt(FDataStream, position, text.data(), wanted));
  if (text.size() < wanted) {
    SetErrorFlag(kpv_ErrorFlags_UnexpectedEnd);
    return false;
  }
  if (length > kMaxTextLength)
    SetErrorFlag(kpv_ErrorFlags_HeadersError);
  return true;
}

bool Tvor7zAD1Archive::ReadImage() {
  Byte h[kV4HeaderSize] = {};
  if (ReadAt(FDataStream, 0, h, kImageStartSize) < kImageStartSize ||
      std::memcmp(h, kImageSignature, kImageSignatureSize) != 0)
    return false;
  const UInt32 version = GetUi32(h + kVersion);
  if (version != 3 && version != 4)
    return false;
  const UInt32 headerSize = version == 3 ? kV3HeaderSize : kV4HeaderSize;
  if (ReadAt(FDataStream, kImageStartSize, h + kImageStartSize, headerSize - kImageStartSize) < headerSize - kImageStartSize)
    SetErrorFlag(kpv_ErrorFlags_UnexpectedEnd);
  const UInt32 nameLength = GetUi32(h + kNameLength);
  if (nameLength != 0) {
    AString name;
    ReadText(version == 3 ? kV3HeaderSize : GetUi32(h + kV4NamePosition), nameLength, name);
    FItems->GetInfo()->SourceName = AnsiToUnicode(name);
  }
  FItems->SetChunkSize(GetUi32(h + kChunkSize));
  const UInt32 firstItem = GetUi32(h + kFirstItem);
  if (firstItem != 0)
    WalkItems(firstItem);
  return true;
}

// Writers lay an item out as its record, name, data and metadata, then its children, then its next
// sibling: where a pointer is damaged, the item it should name begins where what was read before
// it ends. Nothing in a record is checksummed, so a record is judged by its structure.
Tvor7zAD1Archive::TRecordKind Tvor7zAD1Archive::ClassifyRecord(UInt64 position, Byte *record) {
  const UInt64 space = DataSpaceLength();
  if (position == 0)
    return TRecordKind::kUnusable;
  if (ReadAt(FDataStream, position, record, kItemRecordSize) < kItemRecordSize)
    return position < space ? TRecordKind::kCut : TRecordKind::kUnusable;
  const UInt32 type = GetUi32(record + kItemType);
  const UInt32 nameLength = GetUi32(record + kItemNameLength);
  // Every pointer a writer sets leads forward, into the data space.
  const auto forward = [&](UInt32 field) {
    const UInt64 p = GetUi64(record + field);
    return p == 0 || (p >= position + kItemRecordSize && p < space);
  };
  const bool laidOut = nameLength > 0 && nameLength <= kMaxTextLength && space - position - kItemRecordSize >= nameLength &&
                       forward(kItemNext) && forward(kItemFirstChild) && forward(kItemFirstMeta) && forward(kItemData);
  if (type == kTypeFile || type == kTypeFolder)
    return nameLength > 0 ? (laidOut ? TRecordKind::kLaidOut : TRecordKind::kUsable) : TRecordKind::kUnusable;
  // A damaged type in a record laid out as writers do, with metadata.
  return laidOut && GetUi64(record + kItemFirstMeta) != 0 ? TRecordKind::kTypeLost : TRecordKind::kUnusable;
}

UInt64 Tvor7zAD1Archive::ReadEnd() {
  // The chunks of the last file read end where its chunk table's last position says.
  UInt64 end = FReadEnd;
  Byte b[8];
  if (FLastData != 0 && ReadAt(FDataStream, FLastData, b, sizeof(b)) == sizeof(b) && GetUi64(b) < DataSpaceLength() / 8 &&
      ReadAt(FDataStream, FLastData + 8 + 8 * GetUi64(b), b, sizeof(b)) == sizeof(b) && GetUi64(b) < DataSpaceLength())
    end = std::max(end, GetUi64(b));
  return end;
}

UInt64 Tvor7zAD1Archive::FindRecord(UInt64 from) {
  // Cheap tests first: a type and a name length a record can have, metadata.
  const UInt64 space = DataSpaceLength();
  Byte record[kItemRecordSize];
  const UInt64 at = ScanStream(
      FDataStream, from, space, kItemRecordSize,
      [&](UInt64 p, const Byte *r) {
        const UInt32 type = GetUi32(r + kItemType), nameLength = GetUi32(r + kItemNameLength);
        return (type == kTypeFile || type == kTypeFolder) && nameLength - 1 < kMaxScannedName &&
               GetUi64(r + kItemFirstMeta) != 0 && FVisitedItems.count(p) == 0 &&
               ClassifyRecord(p, record) == TRecordKind::kLaidOut;
      },
      &FScanBudget);
  return at < space ? at : 0;
}

void Tvor7zAD1Archive::WalkItems(UInt64 firstItem) {
  // Pre-order without recursion, so that deep nesting cannot exhaust the stack: an item's next
  // sibling waits below its first child, as a mark that is taken up once the item's subtree is done.
  struct TPending {
    UInt64 Position;
    UString ParentPath;
    bool Sibling = false;  // the next pointer of an item whose subtree is done
    // The level was found past damage: where its chain ends, more of the level may follow.
    bool Recovered = false;
  };
  std::vector<TPending> pending{{firstItem, UString()}};
  // Every item keeps its whole path, so a deep tree costs the square of its depth: a hostile image
  // could ask for far more memory than it is large. Real trees stay well within a few characters
  // of path per byte of image.
  const UInt64 pathBudget = kPathCharsPerDataByte * FPresent + kMaxTextLength;
  UInt64 pathChars = 0;
  FReadEnd = 0;
  FLastData = 0;
  // Scans cost at most twice the bytes the segment files hold over the whole walk (the zeros of
  // lost segments do not count), so that damage cannot make the open quadratic or long.
  FScanBudget = 2 * FPresent + kMaxTextLength;
  Byte record[kItemRecordSize];
  const auto waiting = [&](UInt64 at) {
    return FVisitedItems.count(at) != 0 ||
           std::any_of(pending.begin(), pending.end(), [&](const TPending &p) { return p.Position == at; });
  };
  // Where the item a damaged pointer (or record, at `damaged`) should name is looked for: where
  // what was read ends, else the next record laid out as writers do after it; never one a walk has
  // reached or waits for.
  const auto fallback = [&](UInt64 damaged) -> UInt64 {
    SetErrorFlag(kpv_ErrorFlags_HeadersError);
    const UInt64 end = ReadEnd();
    if (end != damaged && !waiting(end) && ClassifyRecord(end, record) == TRecordKind::kLaidOut)
      return end;
    const UInt64 at = FindRecord(damaged < DataSpaceLength() ? std::max(end, damaged + 1) : end);
    return at != 0 && !waiting(at) ? at : 0;
  };
  // A pointer leads to an item when it names a record no walk has reached that can be one.
  const auto leadsToItem = [&](UInt64 at) {
    return FVisitedItems.count(at) == 0 && ClassifyRecord(at, record) != TRecordKind::kUnusable;
  };
  while (!pending.empty()) {
    TPending level = std::move(pending.back());
    pending.pop_back();
    if (level.Sibling) {
      const UInt64 next = level.Position;
      UInt64 at = next;
      if (next == 0) {
        // A level found past damage may go on after the end of its chain: a destroyed folder's
        // children, then its siblings, are found one after the other.
        const UInt64 end = level.Recovered ? ReadEnd() : 0;
        at = end != 0 && ClassifyRecord(end, record) == TRecordKind::kLaidOut && !waiting(end) ? end : 0;
      } else if (!leadsToItem(next)) {
        at = fallback(next);
        level.Recovered = true;
      }
      if (at != 0)
        pending.push_back({at, level.ParentPath, false, level.Recovered});
      continue;
    }
    // A position seen before would repeat a part of the tree, possibly for ever.
    if (!FVisitedItems.insert(level.Position).second) {
      SetErrorFlag(kpv_ErrorFlags_HeadersError);
      continue;
    }
    const TRecordKind kind = ClassifyRecord(level.Position, record);
    if (kind == TRecordKind::kUnusable || kind == TRecordKind::kCut) {
      // A record that cannot be read whole or makes no sense is no item: listing it would add an
      // unnamed empty file. The level goes on at the next record found after it.
      if (kind == TRecordKind::kCut) {
        SetErrorFlag(kpv_ErrorFlags_UnexpectedEnd);
      } else if (const UInt64 at = fallback(level.Position)) {
        pending.push_back({at, level.ParentPath, false, true});
      }
      continue;
    }
    Tvor7zAD1Item item;
    UInt64 next = 0, firstChild = 0;
    ReadItem(level.Position, record, kind == TRecordKind::kTypeLost, level.ParentPath, item, next, firstChild);
    pathChars += item.Path.size();
    if (pathChars > pathBudget) {
      SetErrorFlag(kpv_ErrorFlags_HeadersError);
      return;
    }
    *FItems->Add() = item;
    pending.push_back({next, level.ParentPath, true, level.Recovered});
    if (firstChild != 0 && !leadsToItem(firstChild)) {
      const UInt64 at = fallback(firstChild);
      firstChild = at != next ? at : 0;
    }
    if (firstChild != 0)
      pending.push_back({firstChild, item.Path});
  }
}

void Tvor7zAD1Archive::ReadItem(UInt64 position, const Byte *r, bool typeLost, const UString &parentPath,
                                Tvor7zAD1Item &item, UInt64 &next, UInt64 &firstChild) {
  next = GetUi64(r + kItemNext);
  firstChild = GetUi64(r + kItemFirstChild);
  item.Size = GetUi64(r + kItemSize);
  item.DataOffset = GetUi64(r + kItemData);
  FLastData = item.DataOffset;
  // A lost type is told by what the record holds: a folder has children or holds nothing.
  if (typeLost) {
    SetErrorFlag(kpv_ErrorFlags_HeadersError);
    item.IsFolder = firstChild != 0 || (item.DataOffset == 0 && item.Size == 0);
  } else {
    item.IsFolder = GetUi32(r + kItemType) == kTypeFolder;
  }

  const UInt32 nameLength = GetUi32(r + kItemNameLength);
  AString name;
  ReadText(position + kItemRecordSize, nameLength, name);
  FReadEnd = std::max(FReadEnd, position + kItemRecordSize + name.size());
  const UString n = AnsiToUnicode(name);
  item.Path = parentPath.empty() ? n : parentPath + kPlatformPathDelimiter + n;

  const UInt64 firstMeta = GetUi64(r + kItemFirstMeta);
  if (firstMeta == 0)
    SetErrorFlag(kpv_ErrorFlags_HeadersError);
  else
    ReadMetadata(firstMeta, item);
}

void Tvor7zAD1Archive::ReadMetadata(UInt64 position, Tvor7zAD1Item &item) {
  const UInt64 spaceLength = DataSpaceLength();
  UInt64 metaSize = item.Size;  // the file's size as its metadata states it
  for (; position != 0;) {
    // Entries belong to one item each; one seen before means the chain loops or is shared.
    if (!FVisitedMeta.insert(position).second) {
      SetErrorFlag(kpv_ErrorFlags_HeadersError);
      return;
    }
    Byte e[kMetaEntrySize];
    if (ReadAt(FDataStream, position, e, sizeof(e)) < sizeof(e)) {
      SetErrorFlag(kpv_ErrorFlags_UnexpectedEnd);
      return;
    }
    const UInt64 next = GetUi64(e + kMetaNext);
    const UInt32 key = GetUi32(e + kMetaKey);
    const UInt32 length = GetUi32(e + kMetaValueLength);
    const UInt64 valuePosition = position + kMetaEntrySize;
    if (valuePosition <= spaceLength && spaceLength - valuePosition >= length)
      FReadEnd = std::max(FReadEnd, valuePosition + length);
    if (length == 0) {
      SetErrorFlag(kpv_ErrorFlags_HeadersError);
    } else if (!IsUsedKey(key)) {
      // Not read, but a value cut off by the end of the data still shows.
      if (valuePosition > spaceLength || spaceLength - valuePosition < length)
        SetErrorFlag(kpv_ErrorFlags_UnexpectedEnd);
    } else {
      AString value;
      ReadText(valuePosition, length, value);
      switch (key) {
      case NAD1Key::kFileSize:
        if (!item.IsFolder && !IsInteger(value))
          SetErrorFlag(kpv_ErrorFlags_HeadersError);
        else if (!item.IsFolder)
          std::from_chars(value.data(), value.data() + value.size(), metaSize);
        break;
      case NAD1Key::kAccessTime:
        item.ATime = AD1DateTimeToFileTime(value);
        break;
      case NAD1Key::kCreationTime:
        item.CTime = AD1DateTimeToFileTime(value);
        break;
      case NAD1Key::kModificationTime:
        item.MTime = AD1DateTimeToFileTime(value);
        break;
      case NAD1Key::kMD5:
        HexToDigest(Widen(value), item.MD5, sizeof(item.MD5));
        break;
      case NAD1Key::kSHA1:
        HexToDigest(Widen(value), item.SHA1, sizeof(item.SHA1));
        break;
      case NAD1Key::kFolderPath:
        if (item.IsFolder)
          item.Path = FolderPath(AnsiToUnicode(value));
        else
          SetErrorFlag(kpv_ErrorFlags_HeadersError);
        break;
      default:
        break;
      }
    }
    position = next;
  }
  // The record's size and the metadata's disagree: the one the chunk table agrees with counts.
  if (!item.IsFolder && metaSize != item.Size) {
    SetErrorFlag(kpv_ErrorFlags_HeadersError);
    const UInt32 chunk = FItems->GetChunkSize();
    Byte b[8];
    if (chunk != 0 && item.DataOffset != 0 && ReadAt(FDataStream, item.DataOffset, b, sizeof(b)) == sizeof(b)) {
      const UInt64 count = GetUi64(b);
      const auto chunks = [&](UInt64 size) { return size / chunk + (size % chunk != 0); };
      if (chunks(metaSize) == count && chunks(item.Size) != count)
        item.Size = metaSize;
    }
  }
}

void Tvor7zAD1Archive::DoClose() {
  FItems = nullptr;
  FDataStream = nullptr;
  FJoined = nullptr;
  FVisitedItems.clear();
  FVisitedMeta.clear();
}

// ---- listing ----

TvorPropertyTable Tvor7zAD1Archive::DoGetArchivePropertyTable() { return kArchiveProps; }

void Tvor7zAD1Archive::DoGetArchiveProperty(PROPID propID, PROPVARIANT &value) {
  if (propID == kpidSource && FItems)
    PropSetStringIfAny(value, FItems->GetInfo()->SourceName);
}

void Tvor7zAD1Archive::DoGetNumberOfItems(UInt32 &count) { count = FItems ? FItems->GetCount() : 0; }

TvorPropertyTable Tvor7zAD1Archive::DoGetPropertyTable() { return kItemProps; }

void Tvor7zAD1Archive::DoGetProperty(UInt32 index, PROPID propID, PROPVARIANT &value) {
  if (!FItems || index >= FItems->GetCount())
    return;
  const Tvor7zAD1Item &item = *FItems->GetItem(index);
  const auto setTime = [&](UInt64 t) {
    if (t != 0)
      PropSetFileTime(value, t);
  };
  switch (propID) {
  case kpidPath:
    PropSetStringIfAny(value, item.Path);
    break;
  case kpidIsDir:
    PropSetBool(value, item.IsFolder);
    break;
  case kpidSize:
    if (!item.IsFolder)
      PropSetUInt64(value, item.Size);
    break;
  case kpidCTime:
    setTime(item.CTime);
    break;
  case kpidMTime:
    setTime(item.MTime);
    break;
  case kpidATime:
    setTime(item.ATime);
    break;
  default:
    break;
  }
}

UInt32 Tvor7zAD1Archive::DoGetDigestKinds() { return 2; }

TvorStoredDigests Tvor7zAD1Archive::DoGetStoredDigests(UInt32 index) {
  const Tvor7zAD1Item &item = *FItems->GetItem(index);
  return item.IsFolder ? TvorStoredDigests{} : TvorStoredDigests{item.MD5, item.SHA1};
}

// ---- data ----

namespace {
// Reads a file's chunk positions when its chunks are first needed: N + 1 of 8 bytes follow the
// count, chunk i running from position i to position i + 1.
class TAd1ChunkPager : public Tvor7zBlockPager {
public:
  TAd1ChunkPager(IInStream *data, UInt64 positions) : FData(data), FPositions(positions) {}

  void LoadPage(const Tvor7zBlockPage &page, Tvor7zBlock_ *blocks) override {
    FRaw.resize(static_cast<size_t>(page.Count + 1) * 8);
    if (ReadAt(FData, FPositions + page.Skip * 8, FRaw.data(), FRaw.size()) != FRaw.size())
      RaiseHResult(S_FALSE);  // inside the data space, as checked when the table was made
    for (UInt64 i = 0; i < page.Count; i++) {
      const UInt64 from = GetUi64(FRaw.data() + i * 8), to = GetUi64(FRaw.data() + i * 8 + 8);
      blocks[i].Offset = from;
      blocks[i].StoredSize =
          static_cast<UInt32>(std::min<UInt64>(to > from ? to - from : 0, std::numeric_limits<UInt32>::max()));
      blocks[i].Flags = 0;
    }
  }

private:
  const ComPtr<IInStream> FData;
  const UInt64 FPositions;
  std::vector<Byte> FRaw;
};
} // namespace

ComPtr<Tvor7zBlocks> Tvor7zAD1Archive::OpenChunkTable(const Tvor7zAD1Item &item, UInt64 most) {
  const UInt64 spaceLength = DataSpaceLength();
  if (item.DataOffset == 0 || item.DataOffset >= spaceLength)
    return nullptr;
  Byte b[8];
  if (ReadAt(FDataStream, item.DataOffset, b, sizeof(b)) < sizeof(b))
    return nullptr;
  const UInt64 count = GetUi64(b);
  // N + 1 positions of 8 bytes must lie in the data space, where the pages are read later.
  const UInt64 room = spaceLength - item.DataOffset < 8 ? 0 : (spaceLength - item.DataOffset - 8) / 8;
  if (count == 0 || count >= room)
    return nullptr;
  ComPtr<Tvor7zBlocks> blocks(new Tvor7zBlocks(item.Size, FItems->GetChunkSize(), 0));
  blocks->SetPager(std::make_unique<TAd1ChunkPager>(FDataStream.Get(), item.DataOffset + 8));
  blocks->PlaceEntries(0, std::min(count, most), 0, 0);
  return blocks;
}

void Tvor7zAD1Archive::DoGetStream(UInt32 index, ComPtr<ISequentialInStream> &stream) {
  if (!FItems || !FDataStream || index >= FItems->GetCount())
    return;
  const Tvor7zAD1Item &item = *FItems->GetItem(index);
  const UInt32 chunk = FItems->GetChunkSize();
  if (item.IsFolder || item.DataOffset == 0 || chunk == 0 || chunk > kMaxStreamChunkSize)
    return;
  // Chunks past the file's end hold none of its bytes.
  const UInt64 needed = item.Size / chunk + (item.Size % chunk != 0 ? 1 : 0);
  const ComPtr<Tvor7zBlocks> blocks =
      item.Size != 0 ? OpenChunkTable(item, needed) : ComPtr<Tvor7zBlocks>(new Tvor7zBlocks(0, chunk, 0));
  if (!blocks)
    return;
  stream = static_cast<ISequentialInStream *>(
      static_cast<IInStream *>(new Tvor7zAD1ArchiveStream2(FDataStream.Get(), blocks.Get())));
}

Tvor7zArchive::TExtractItemInfo Tvor7zAD1Archive::DoGetExtractItemInfo(UInt32 index) {
  const Tvor7zAD1Item &item = *FItems->GetItem(index);
  return {item.IsFolder ? 0 : item.Size, item.IsFolder};
}

Int32 Tvor7zAD1Archive::DoExtractItem(UInt32 index, ISequentialOutStream *stream, Tvor7zProgress &progress) {
  const Tvor7zAD1Item &item = *FItems->GetItem(index);
  // Every stored digest (MD5, SHA-1) is checked in the one pass that writes the file.
  const ComPtr<ISequentialOutStream> target = FDigest.Wrap(stream, {item.MD5, item.SHA1});
  ComPtr<Tvor7zSizeSequentialOutStream> counter(new Tvor7zSizeSequentialOutStream(target));
  ComPtr<Tvor7zProgressSequentialOutStream> out(
      new Tvor7zProgressSequentialOutStream(&progress, static_cast<ISequentialOutStream *>(counter.Get())));

  // A chunk that cannot be located or decoded costs its own bytes: they are zeros, and the file is
  // written whole with the worst problem met.
  Int32 result = kOK;
  const auto lose = [&](UInt64 size, Int32 why) {
    CheckHResult(WriteZeros(out, size));
    result = WorseOperationResult(result, why);
  };
  if (item.Size != 0) {
    const ComPtr<Tvor7zBlocks> blocks = OpenChunkTable(item, ~0ull);
    if (!blocks) {
      result = kHeadersError;
    } else {
      if (!FLimit)
        FLimit = new Tvor7zLimitSequentialInStream();
      const UInt64 chunk = FItems->GetChunkSize();
      // Chunks are decoded in memory first, so that one that fails leaves no bytes of its own;
      // chunks too large for that go out as they come.
      const bool buffered = chunk <= kMaxStreamChunkSize;
      if (buffered && (!FChunkOut || FChunkBuffer.size() < chunk)) {
        FChunkBuffer.resize(static_cast<size_t>(chunk));
        FChunkOut = new Tvor7zFixedMemorySequentialOutStream();
      }
      for (UInt64 i = 0; i < blocks->GetCount() && counter->Count() < item.Size; i++) {
        const Tvor7zBlock_ b = blocks->GetBlock(i);
        const UInt64 want = std::min(chunk, item.Size - counter->Count());
        if (!b.Valid) {
          lose(want, kUnexpectedEnd);
          continue;
        }
        // A chunk the data space cannot hold reads as empty and fails to decode.
        const bool inside = b.Offset <= static_cast<UInt64>(std::numeric_limits<Int64>::max());
        if (inside)
          CheckHResult(FDataStream->Seek(static_cast<Int64>(b.Offset), STREAM_SEEK_SET, nullptr));
        FLimit->SetStream(FDataStream, inside ? b.StoredSize : 0);
        const UInt64 before = counter->Count();
        Int32 r;
        if (buffered) {
          FChunkOut->SetBuffer(FChunkBuffer.data(), static_cast<UInt32>(want));
          r = DecodeAd1Chunk(FDecoder, FLimit, FChunkOut, want);
          if (r == kOK)
            CheckHResult(WriteStream(out, FChunkBuffer.data(), static_cast<size_t>(FChunkOut->Written())));
        } else {
          r = DecodeAd1Chunk(FDecoder, FLimit, out, want);
        }
        const UInt64 got = counter->Count() - before;
        if (got < want)
          lose(want - got, r != kOK ? r : kDataError);
        else
          result = WorseOperationResult(result, r);
      }
      FLimit->SetStream(nullptr, 0);
    }
  }
  // What the chunks do not reach of the file's size.
  if (result != kHeadersError && counter->Count() < item.Size)
    lose(item.Size - counter->Count(), kUnexpectedEnd);
  return FDigest.Verify(result);
}

void RegisterAd1Classes(Tvor7zRegistry &registry) {
  static const TArchiveClassOf<Tvor7zAD1Archive> ad1;
  registry.RegisterArchiveClass(&ad1);
}
