#include "formats/ewf/LItemArchive.h"

#include <algorithm>

#include "formats/ewf/E01ArchiveStream.h"
#include "host/PropVariant.h"
#include "platform/Platform.h"
#include "streams/InStreams.h"

namespace {
constexpr PROPID kpidChangeTime = 0x10001;
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

Tvor7zLItems *TvorLItemArchiveSide::Create() {
  FItems = new Tvor7zLItems();
  FDataStream = nullptr;
  return FItems.Get();
}

void TvorLItemArchiveSide::Close() {
  FItems = nullptr;
  FDataStream = nullptr;
}

TvorLEntryTreeResult TvorLItemArchiveSide::ReadTree(ISequentialInStream *stream, UInt64 size, bool forceUnicode,
                                                    Byte md5[16]) {
  ComPtr<IHasher> hasher(new Tvor7zWinCryptMD5Hasher());
  hasher->Init();
  ComPtr<Tvor7zHashSequentialInStream> hashed(new Tvor7zHashSequentialInStream(hasher, stream));
  ComPtr<Tvor7zLimitSequentialInStream> limited(new Tvor7zLimitSequentialInStream());
  limited->SetStream(hashed, size);
  Tvor7zEwfText text(limited, forceUnicode);
  const TvorLEntryTreeResult tree = ReadLEntryTree(text, *FItems, kNameCharsPerTreeByte * size);
  if (!tree.FoundEntry)
    return tree;
  // The digest covers the whole text, also what the entries did not use.
  Byte rest[kDrainSize];
  for (;;) {
    size_t got = 0;
    CheckHResult(ReadStream(limited, rest, sizeof(rest), &got));
    if (got == 0)
      break;
  }
  hasher->Final(md5);
  return tree;
}

TvorPropertyTable TvorLItemArchiveSide::PropertyTable() { return kItemProps; }

void TvorLItemArchiveSide::GetProperty(UInt32 index, PROPID propID, PROPVARIANT &value) const {
  if (index >= Count())
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

TvorStoredDigests TvorLItemArchiveSide::StoredDigests(UInt32 index) const {
  const Tvor7zLItem &item = *FItems->GetItem(static_cast<Int32>(index));
  return item.IsDir ? TvorStoredDigests{} : TvorStoredDigests{item.MD5, item.SHA1};
}

IInStream *TvorLItemArchiveSide::DataStream(IInStream *joinedStream) {
  if (!FDataStream)
    // Stored chunks are checked too: many files carry no digest, and nothing else would notice.
    FDataStream = static_cast<IInStream *>(
        new Tvor7zE01ArchiveStream(joinedStream, FItems.Get(), true, FCodecs->GetCodecsInfo()));
  return FDataStream.Get();
}

ComPtr<ISequentialInStream> TvorLItemArchiveSide::Stream(UInt32 index, IInStream *joinedStream) {
  if (!joinedStream || index >= Count())
    return nullptr;
  const Tvor7zLItem &item = *FItems->GetItem(static_cast<Int32>(index));
  if (item.IsDir)
    return nullptr;
  const ComPtr<IInStream> data = OpenLItemData(item, DataStream(joinedStream), true);
  return data ? ComPtr<ISequentialInStream>(static_cast<ISequentialInStream *>(data.Get())) : nullptr;
}

Tvor7zArchive::TExtractItemInfo TvorLItemArchiveSide::ExtractInfo(UInt32 index) const {
  const Tvor7zLItem &item = *FItems->GetItem(static_cast<Int32>(index));
  return {!item.IsDir && item.Size > 0 ? static_cast<UInt64>(item.Size) : 0, item.IsDir};
}

Int32 TvorLItemArchiveSide::Extract(UInt32 index, IInStream *joinedStream, ISequentialOutStream *stream,
                                    Tvor7zProgress &progress) {
  const Tvor7zLItem &item = *FItems->GetItem(static_cast<Int32>(index));
  // Every stored digest (MD5, SHA-1) is checked in the one pass that writes the file.
  const ComPtr<ISequentialOutStream> target = FDigest.Wrap(stream, {item.MD5, item.SHA1});
  return FDigest.Verify(WriteLItemData(item, DataStream(joinedStream), target, progress, FCopyBuffer));
}
