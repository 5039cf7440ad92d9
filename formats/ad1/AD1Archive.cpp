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
  // Bytes of a segment file of `length` bytes that belong to the data space. A file shorter than its
  // data offset holds none (the difference would wrap around).
  const auto dataIn = [&](UInt64 length) -> UInt64 {
    return length > header.DataOffset ? length - header.DataOffset : 0;
  };
  ComPtr<IInStream> stream(first);
  for (UInt64 number = 1;;) {
    UInt64 length = 0;
    CheckHResult(stream->Seek(0, STREAM_SEEK_END, &length));
    if (length > header.SegmentSize) {
      FJoined->AddSegment(stream, header.DataOffset, dataIn(header.SegmentSize));
      SetErrorFlag(kpv_ErrorFlags_DataAfterEnd);
      return;
    }
    FJoined->AddSegment(stream, header.DataOffset, dataIn(length));
    if (length < header.DataOffset || (number < header.Count && length < header.SegmentSize)) {
      SetErrorFlag(kpv_ErrorFlags_UnexpectedEnd);
      return;
    }
    if (++number > header.Count)
      return;
    stream = OpenVolume(openCallback, SegmentName(static_cast<UInt32>(number)));
    TSegmentHeader next;
    if (!stream || !ReadSegmentHeader(stream, next)) {
      SetErrorFlag(kpv_ErrorFlags_UnexpectedEnd);
      return;
    }
    if (next.Number != number || next.Count != header.Count || next.SegmentSize != header.SegmentSize ||
        next.DataOffset != header.DataOffset) {
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

void Tvor7zAD1Archive::WalkItems(UInt64 firstItem) {
  // Pre-order without recursion, so that deep nesting cannot exhaust the stack: an item's next
  // sibling waits below its first child.
  struct TPending {
    UInt64 Position;
    UString ParentPath;
  };
  std::vector<TPending> pending{{firstItem, UString()}};
  // Every item keeps its whole path, so a deep tree costs the square of its depth: a hostile image
  // could ask for far more memory than it is large. Real trees stay well within a few characters
  // of path per byte of image.
  const UInt64 pathBudget = kPathCharsPerDataByte * DataSpaceLength() + kMaxTextLength;
  UInt64 pathChars = 0;
  while (!pending.empty()) {
    TPending level = std::move(pending.back());
    pending.pop_back();
    // A position seen before would repeat a part of the tree, possibly for ever.
    if (!FVisitedItems.insert(level.Position).second) {
      SetErrorFlag(kpv_ErrorFlags_HeadersError);
      continue;
    }
    // A record that cannot be read whole is no item: listing it would add an unnamed empty file.
    Byte record[kItemRecordSize];
    if (ReadAt(FDataStream, level.Position, record, sizeof(record)) < sizeof(record)) {
      SetErrorFlag(kpv_ErrorFlags_UnexpectedEnd);
      continue;
    }
    Tvor7zAD1Item &item = *FItems->Add();
    UInt64 next = 0, firstChild = 0;
    if (!ReadItem(level.Position, record, level.ParentPath, item, next, firstChild))
      continue;
    pathChars += item.Path.size();
    if (pathChars > pathBudget) {
      SetErrorFlag(kpv_ErrorFlags_HeadersError);
      return;
    }
    if (next != 0)
      pending.push_back({next, level.ParentPath});
    if (firstChild != 0)
      pending.push_back({firstChild, item.Path});
  }
}

bool Tvor7zAD1Archive::ReadItem(UInt64 position, const Byte *r, const UString &parentPath, Tvor7zAD1Item &item,
                                UInt64 &next, UInt64 &firstChild) {
  const UInt32 type = GetUi32(r + kItemType);
  if (type != kTypeFile && type != kTypeFolder) {
    SetErrorFlag(kpv_ErrorFlags_HeadersError);
    return false;
  }
  next = GetUi64(r + kItemNext);
  firstChild = GetUi64(r + kItemFirstChild);
  item.IsFolder = type == kTypeFolder;
  item.Size = GetUi64(r + kItemSize);
  item.DataOffset = GetUi64(r + kItemData);

  const UInt32 nameLength = GetUi32(r + kItemNameLength);
  if (nameLength == 0) {
    SetErrorFlag(kpv_ErrorFlags_HeadersError);
  } else {
    AString name;
    ReadText(position + kItemRecordSize, nameLength, name);
    const UString n = AnsiToUnicode(name);
    item.Path = parentPath.empty() ? n : parentPath + kPlatformPathDelimiter + n;
  }

  const UInt64 firstMeta = GetUi64(r + kItemFirstMeta);
  if (firstMeta == 0)
    SetErrorFlag(kpv_ErrorFlags_HeadersError);
  else
    ReadMetadata(firstMeta, item);
  return true;
}

void Tvor7zAD1Archive::ReadMetadata(UInt64 position, Tvor7zAD1Item &item) {
  const UInt64 spaceLength = DataSpaceLength();
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

  Int32 result = kOK;
  if (item.Size != 0) {
    const ComPtr<Tvor7zBlocks> blocks = OpenChunkTable(item, ~0ull);
    if (!blocks) {
      result = kHeadersError;
    } else {
      if (!FLimit)
        FLimit = new Tvor7zLimitSequentialInStream();
      const UInt64 chunk = FItems->GetChunkSize();
      for (UInt64 i = 0; i < blocks->GetCount() && result == kOK; i++) {
        const Tvor7zBlock_ b = blocks->GetBlock(i);
        // A chunk the data space cannot hold reads as empty and fails to decode.
        const bool inside = b.Offset <= static_cast<UInt64>(std::numeric_limits<Int64>::max());
        if (inside)
          CheckHResult(FDataStream->Seek(static_cast<Int64>(b.Offset), STREAM_SEEK_SET, nullptr));
        FLimit->SetStream(FDataStream, inside ? b.StoredSize : 0);
        result = DecodeAd1Chunk(FDecoder, FLimit, out, chunk);
      }
      FLimit->SetStream(nullptr, 0);
    }
  }
  if (result == kOK) {
    if (counter->Count() < item.Size)
      result = kUnexpectedEnd;
    else if (counter->Count() > item.Size)
      result = kDataError;
  }
  return FDigest.Verify(result);
}

void RegisterAd1Classes(Tvor7zRegistry &registry) {
  static const TArchiveClassOf<Tvor7zAD1Archive> ad1;
  registry.RegisterArchiveClass(&ad1);
}
