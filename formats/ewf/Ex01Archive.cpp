#include "formats/ewf/Ex01Archive.h"

#include <cstring>
#include <vector>

#include "formats/ewf/EwfImageItems.h"
#include "hashers/Hashers.h"
#include "streams/ByteOrder.h"
#include "streams/InStreams.h"

namespace {
constexpr UInt32 kSessionHeaderSize = 32;
constexpr UInt32 kSessionEntrySize = 32;
} // namespace

// ---- open ----

void Tvor7zEx01Archive::CreateBlocks() {
  FItems = new Tvor7zE01Items();
  FBlocks = FItems.Get();
}

void Tvor7zEx01Archive::InitOpen() {
  Tvor7zEwf2Archive::InitOpen();
  FItems->SetItemCount(0);
  FItems->SetItemCount(1);
  FItems->GetItem(0)->Name = ChangeExtension(GetArchiveName(), L".img");
  FSessionRead = false;
}

UString Tvor7zEx01Archive::GetSegmentExtension(Int32 index, const UString &firstExtension) {
  return GetEwf2SegmentExtension(index, firstExtension, L".Ex");
}

void Tvor7zEx01Archive::DoClose() {
  Tvor7zEwf2Archive::DoClose();
  FItems = nullptr;
}

void Tvor7zEx01Archive::EndOpen() {
  // The device's sector count sizes the image; without an intact device information section every
  // chunk the tables list counts.
  UInt64 total = 0;
  if (FDeviceInfoRead && FBytesPerSector != 0) {
    if (FDeviceSectors > UINT64_MAX / FBytesPerSector)
      SetErrorFlag(kpv_ErrorFlags_HeadersError);
    else
      total = FDeviceSectors * FBytesPerSector;
  }
  if (FJoinedStream && !FDeviceInfoRead)
    SetMetadataErrorFlag(kpv_ErrorFlags_HeadersError);
  FinishChunks(total);
  FItems->GetItem(0)->Size = FBlocks->GetTotalSize();
  if (FDeviceType == L"c")
    SetEwfImageExtension(*FItems, L".iso");
  else if (FDeviceType == L"m")
    SetEwfImageExtension(*FItems, L".ram");
}

// Stored digests verify the image and locate nothing: damage to their sections is flagged and the
// image is read on.
void Tvor7zEx01Archive::ReadDigestSection(IInStream *stream, const TEwf2Section &section, unsigned kind) {
  const UInt32 size = kDigestSizes[kind];
  const UInt64 usable = section.UsableSize();
  const UInt32 exact = size + 4;
  if (usable != exact && usable != (exact + 15) / 16 * 16) {
    SetMetadataErrorFlag(kpv_ErrorFlags_HeadersError);
    return;
  }
  Byte b[24];
  if (ReadAt(stream, section.DataStart, b, exact) < exact) {
    SetMetadataErrorFlag(kpv_ErrorFlags_UnexpectedEnd);
    return;
  }
  const bool intact = CalcAdler32(b, size) == GetUi32(b + size);
  if (!intact)
    SetMetadataErrorFlag(kpv_ErrorFlags_CRCError);
  // Copies of one digest that disagree: the image is checked against each.
  if (!FItems->GetItem(0)->Digests.Take(kind, b, intact))
    SetMetadataErrorFlag(kpv_ErrorFlags_HeadersError);
}

void Tvor7zEx01Archive::ReadMD5Section(IInStream *stream, const TEwf2Section &section) {
  ReadDigestSection(stream, section, kDigestMD5);
}

void Tvor7zEx01Archive::ReadSHA1Section(IInStream *stream, const TEwf2Section &section) {
  ReadDigestSection(stream, section, kDigestSHA1);
}

void Tvor7zEx01Archive::ReadSessionSection(IInStream *stream, const TEwf2Section &section) {
  if (FSessionRead)
    return;
  const UInt64 usable = section.UsableSize();
  if (usable < 20) {
    SetMetadataErrorFlag(kpv_ErrorFlags_HeadersError);
    return;
  }
  FSessionRead = true;
  Byte h[20];
  if (ReadAt(stream, section.DataStart, h, sizeof(h)) < sizeof(h)) {
    SetMetadataErrorFlag(kpv_ErrorFlags_UnexpectedEnd);
    return;
  }
  if (CalcAdler32(h, 16) != GetUi32(h + 16))
    SetMetadataErrorFlag(kpv_ErrorFlags_CRCError);
  const UInt32 count = GetUi32(h);
  if (count < 2)
    return;  // a single-session disc stays one image
  if (count > kEwfMaxSessions || kSessionHeaderSize + static_cast<UInt64>(count) * kSessionEntrySize > usable) {
    SetMetadataErrorFlag(kpv_ErrorFlags_HeadersError);
    return;
  }
  std::vector<Byte> e(static_cast<size_t>(count) * kSessionEntrySize);
  if (ReadAt(stream, section.DataStart + kSessionHeaderSize, e.data(), e.size()) < e.size()) {
    SetMetadataErrorFlag(kpv_ErrorFlags_UnexpectedEnd);
    return;
  }
  if (GetUi64(e.data()) != kEwfFirstSessionSector) {
    SetMetadataErrorFlag(kpv_ErrorFlags_HeadersError);
    return;
  }
  std::vector<UInt64> starts(count);
  for (UInt32 i = 0; i < count; i++)
    starts[i] = GetUi64(e.data() + static_cast<size_t>(i) * kSessionEntrySize);
  SetEwfImageSessions(*FItems, starts);
}

// ---- listing, random access and extraction: those of every EWF image ----

void Tvor7zEx01Archive::DoGetNumberOfItems(UInt32 &count) {
  count = FItems ? static_cast<UInt32>(FItems->GetItemCount()) : 0;
}

TvorPropertyTable Tvor7zEx01Archive::DoGetPropertyTable() { return PathAndSizeProperties(); }

void Tvor7zEx01Archive::DoGetProperty(UInt32 index, PROPID propID, PROPVARIANT &value) {
  if (FItems)
    GetEwfImageProperty(*FItems, index, propID, value);
}

UInt32 Tvor7zEx01Archive::DoGetDigestKinds() { return 2; }

TvorStoredDigests Tvor7zEx01Archive::DoGetStoredDigests(UInt32 index) { return GetEwfImageDigests(*FItems, index); }

void Tvor7zEx01Archive::DoGetStream(UInt32 index, ComPtr<ISequentialInStream> &stream) {
  if (FItems)
    stream = OpenEwfImageStream(*FItems, index, FJoinedStream.Get(), FCodecsInfo);
}

Tvor7zArchive::TExtractItemInfo Tvor7zEx01Archive::DoGetExtractItemInfo(UInt32 index) {
  return {FItems->GetItem(static_cast<Int32>(index))->Size, false};
}

Int32 Tvor7zEx01Archive::DoExtractItem(UInt32 index, ISequentialOutStream *stream, Tvor7zProgress &progress) {
  return ExtractEwfImageItem(*FItems, index, FJoinedStream.Get(), FCodecsInfo, stream, progress);
}
