#include "formats/ewf/L01Archive.h"

#include <algorithm>
#include <cstring>

#include "formats/ewf/E01ArchiveStream.h"
#include "hashers/StoredDigests.h"
#include "host/PropVariant.h"
#include "platform/Platform.h"
#include "streams/ByteOrder.h"
#include "streams/OutStreams.h"

namespace {
constexpr PROPID kpidChangeTime = 0x10001;
constexpr UInt32 kLtreeHeaderSize = 48;
constexpr UInt32 kDrainSize = 256;

// Path and folder flag are listed too, so that a detailed listing shows them.
const TvorPropertyInfo kItemProps[] = {
    {nullptr, kpidPath, VT_BSTR},        {nullptr, kpidIsDir, VT_BOOL},      {nullptr, kpidSize, VT_UI8},
    {nullptr, kpidCTime, VT_FILETIME},   {nullptr, kpidMTime, VT_FILETIME}, {nullptr, kpidATime, VT_FILETIME},
    {L"Change time", kpidChangeTime, VT_FILETIME}, {nullptr, kpidShortName, VT_BSTR},
    {nullptr, kpidCharacts, VT_BSTR},
};

// Entry names join folders with backslashes; the host splits paths at its own delimiter.
UString HostPath(UString name) {
  std::replace(name.begin(), name.end(), L'\\', kPlatformPathDelimiter);
  return name;
}
}  // namespace

void Tvor7zL01Archive::CreateBlocks() {
  FItems = new Tvor7zLItems();
  FBlocks = FItems.Get();
}

UString Tvor7zL01Archive::GetSegmentExtension(Int32 index, const UString &firstExtension) {
  return GetEwf1SegmentExtension(index, firstExtension, L'L');
}

void Tvor7zL01Archive::DoClose() {
  Tvor7zEwfArchive::DoClose();
  FItems = nullptr;
  FDataStream = nullptr;
}

void Tvor7zL01Archive::EndOpen() {
  // Every chunk counts whole: the volume section's sector count is not the data's size.
  FBlocks->SetTotalSize(static_cast<UInt64>(FBlocks->GetCount()) * FBlocks->GetChunkSize());
  SetChunkPackSizes();
  SetBlockOffsets();
}

// ---- the entry tree ----

void Tvor7zL01Archive::ReadLtreeSection(IInStream *stream, UInt32 size) {
  if (size < kLtreeHeaderSize) {
    SetErrorFlag(kpv_ErrorFlags_HeadersError);
    return;
  }
  Byte h[kLtreeHeaderSize];
  if (ReadUpTo(stream, h, sizeof(h)) < sizeof(h)) {
    SetErrorFlag(kpv_ErrorFlags_UnexpectedEnd);
    return;
  }
  const UInt64 treeSize = GetUi64(h + 16);
  if (size - kLtreeHeaderSize < treeSize) {
    SetErrorFlag(kpv_ErrorFlags_HeadersError);
    return;
  }
  // The tree's own checksum and digest locate nothing, and the tree is used whatever they say: a
  // mismatch is flagged without ending the set, whose later segments hold file data.
  const UInt32 stored = GetUi32(h + 24);
  std::memset(h + 24, 0, 4);
  if (CalcAdler32(h, sizeof(h)) != stored)
    SetMetadataErrorFlag(kpv_ErrorFlags_HeadersError);

  ComPtr<IHasher> md5(new Tvor7zWinCryptMD5Hasher());
  md5->Init();
  ComPtr<Tvor7zHashSequentialInStream> hashed(new Tvor7zHashSequentialInStream(md5, stream));
  ComPtr<Tvor7zLimitSequentialInStream> limited(new Tvor7zLimitSequentialInStream());
  limited->SetStream(hashed, treeSize);
  Tvor7zEwfText text(limited, true);
  const TvorLEntryTreeResult tree = ReadLEntryTree(text, *FItems, kNameCharsPerTreeByte * treeSize);
  for (unsigned bit = 0; bit < 16; bit++)
    if (tree.ErrorFlags & (1u << bit))
      SetErrorFlag(bit);
  if (!tree.FoundEntry)
    return;
  // The digest covers the whole text, also what the entries did not use.
  Byte rest[kDrainSize];
  for (;;) {
    size_t got = 0;
    CheckHResult(ReadStream(limited, rest, sizeof(rest), &got));
    if (got == 0)
      break;
  }
  Byte digest[16] = {};
  md5->Final(digest);
  if (std::memcmp(digest, h, sizeof(digest)) != 0)
    SetMetadataErrorFlag(kpv_ErrorFlags_HeadersError);
}

// ---- listing ----

void Tvor7zL01Archive::DoGetNumberOfItems(UInt32 &count) {
  count = FItems ? static_cast<UInt32>(FItems->GetItemCount()) : 0;
}

TvorPropertyTable Tvor7zL01Archive::DoGetPropertyTable() { return kItemProps; }

void Tvor7zL01Archive::DoGetProperty(UInt32 index, PROPID propID, PROPVARIANT &value) {
  if (!FItems || index >= static_cast<UInt32>(FItems->GetItemCount()))
    return;
  const Tvor7zLItem &item = *FItems->GetItem(static_cast<Int32>(index));
  const auto setTime = [&](UInt64 t) {
    if (t != 0)
      PropSetFileTime(value, t);
  };
  switch (propID) {
  case kpidPath:
    PropSetStringIfAny(value, HostPath(item.Name));
    break;
  case kpidIsDir:
    PropSetBool(value, item.IsDir);
    break;
  case kpidSize:
    if (!item.IsDir && item.Size != -1)
      PropSetUInt64(value, static_cast<UInt64>(item.Size));
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
  case kpidChangeTime:
    setTime(item.ChangeTime);
    break;
  case kpidShortName:
    PropSetStringIfAny(value, item.ShortName);
    break;
  case kpidCharacts:
    PropSetStringIfAny(value, LItemAttributesText(item.Attributes));
    break;
  default:
    break;
  }
}

UInt32 Tvor7zL01Archive::DoGetDigestKinds() { return 2; }

TvorStoredDigests Tvor7zL01Archive::DoGetStoredDigests(UInt32 index) {
  const Tvor7zLItem &item = *FItems->GetItem(static_cast<Int32>(index));
  return item.IsDir ? TvorStoredDigests{} : TvorStoredDigests{item.MD5, item.SHA1};
}

// ---- data ----

IInStream *Tvor7zL01Archive::DataStream() {
  if (!FDataStream)
    // Stored chunks are checked too: many files carry no digest, and nothing else would notice.
    FDataStream = static_cast<IInStream *>(new Tvor7zE01ArchiveStream(FJoinedStream.Get(), FBlocks.Get(), true));
  return FDataStream.Get();
}

void Tvor7zL01Archive::DoGetStream(UInt32 index, ComPtr<ISequentialInStream> &stream) {
  if (!FItems || !FJoinedStream || index >= static_cast<UInt32>(FItems->GetItemCount()))
    return;
  const Tvor7zLItem &item = *FItems->GetItem(static_cast<Int32>(index));
  if (item.IsDir)
    return;
  const ComPtr<IInStream> data = OpenLItemData(item, DataStream(), true);
  if (data)
    stream = static_cast<ISequentialInStream *>(data.Get());
}

Tvor7zArchive::TExtractItemInfo Tvor7zL01Archive::DoGetExtractItemInfo(UInt32 index) {
  const Tvor7zLItem &item = *FItems->GetItem(static_cast<Int32>(index));
  return {!item.IsDir && item.Size > 0 ? static_cast<UInt64>(item.Size) : 0, item.IsDir};
}

Int32 Tvor7zL01Archive::DoExtractItem(UInt32 index, ISequentialOutStream *stream, Tvor7zProgress &progress) {
  const Tvor7zLItem &item = *FItems->GetItem(static_cast<Int32>(index));
  // The stored digest: MD5 when there is one, else SHA-1.
  const ComPtr<ISequentialOutStream> target = FDigest.Wrap(stream, {item.MD5, item.SHA1});
  return FDigest.Verify(WriteLItemData(item, DataStream(), target, progress, FCopyBuffer));
}
