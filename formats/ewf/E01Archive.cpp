#include "formats/ewf/E01Archive.h"

#include <cstring>
#include <vector>

#include "formats/ewf/EwfImageItems.h"
#include "streams/ByteOrder.h"

using namespace NOperationResult;

namespace {
constexpr UInt32 kHashSectionSize = 36;
constexpr UInt32 kDigestSectionSize = 80;
constexpr UInt32 kSessionHeaderSize = 36;
constexpr UInt32 kSessionEntrySize = 32;

// A stored digest from a section whose checksum holds wins over one whose checksum fails, in
// whichever order they come; among equals the later section wins.
void TakeStoredDigest(Byte *field, const Byte *value, size_t size, bool intact, bool &fieldIntact) {
  if (!intact && fieldIntact)
    return;
  std::memcpy(field, value, size);
  fieldIntact = intact;
}
} // namespace

// ---- open ----

void Tvor7zE01Archive::CreateBlocks() {
  FItems = new Tvor7zE01Items();
  FBlocks = FItems.Get();
}

void Tvor7zE01Archive::InitOpen() {
  Tvor7zEwfArchive::InitOpen();
  FItems->SetItemCount(0);
  FItems->SetItemCount(1);
  FItems->GetItem(0)->Name = ChangeExtension(GetArchiveName(), L".img");
  FHashRead = false;
  FDigestRead = false;
  FMD5Intact = false;
  FSHA1Intact = false;
  FSessionRead = false;
}

UString Tvor7zE01Archive::GetSegmentExtension(Int32 index, const UString &firstExtension) {
  return GetEwf1SegmentExtension(index, firstExtension, L'E');
}

void Tvor7zE01Archive::DoClose() {
  Tvor7zEwfArchive::DoClose();
  FItems = nullptr;
}

void Tvor7zE01Archive::EndOpen() {
  FinishTables();
  FitLastChunk();
  FItems->GetItem(0)->Size = FBlocks->GetTotalSize();
  if (FMediaType == 0x03)
    SetEwfImageExtension(*FItems, L".iso");
  else if (FMediaType == 0x10)
    SetEwfImageExtension(*FItems, L".ram");
  // Segments were read but none described the image: what is listed would be an empty image
  // reported as intact.
  if (FJoinedStream && !FVolumeRead)
    SetErrorFlag(kpv_ErrorFlags_HeadersError);
}

// Stored digests verify the image and locate nothing: damage to their sections is flagged and the
// image is read on.
const Byte *Tvor7zE01Archive::ReadDigestPayload(IInStream *stream, UInt32 size, UInt32 expected, bool &intact) {
  if (size != expected) {
    SetMetadataErrorFlag(kpv_ErrorFlags_HeadersError);
    return nullptr;
  }
  Byte *b = GetBuffer(expected);
  if (ReadUpTo(stream, b, expected) < expected) {
    SetMetadataErrorFlag(kpv_ErrorFlags_UnexpectedEnd);
    return nullptr;
  }
  intact = CalcAdler32(b, expected - 4) == GetUi32(b + expected - 4);
  if (!intact)
    SetMetadataErrorFlag(kpv_ErrorFlags_CRCError);
  return b;
}

void Tvor7zE01Archive::ReadHashSection(IInStream *stream, UInt32 size) {
  if (FHashRead)
    return;
  bool intact = false;
  const Byte *b = ReadDigestPayload(stream, size, kHashSectionSize, intact);
  if (!b)
    return;
  // A damaged copy is used until an intact one comes.
  FHashRead = intact;
  TakeStoredDigest(FItems->GetItem(0)->MD5, b, 16, intact, FMD5Intact);
}

void Tvor7zE01Archive::ReadDigestSection(IInStream *stream, UInt32 size) {
  if (FDigestRead)
    return;
  bool intact = false;
  const Byte *b = ReadDigestPayload(stream, size, kDigestSectionSize, intact);
  if (!b)
    return;
  FDigestRead = intact;
  Tvor7zEItem *image = FItems->GetItem(0);
  TakeStoredDigest(image->MD5, b, 16, intact, FMD5Intact);
  TakeStoredDigest(image->SHA1, b + 16, 20, intact, FSHA1Intact);
}

void Tvor7zE01Archive::ReadSessionSection(IInStream *stream, UInt32 size) {
  if (FSessionRead)
    return;
  FSessionRead = true;
  if (size < kSessionHeaderSize) {
    SetMetadataErrorFlag(kpv_ErrorFlags_HeadersError);
    return;
  }
  Byte h[kSessionHeaderSize];
  if (ReadUpTo(stream, h, sizeof(h)) < sizeof(h)) {
    SetMetadataErrorFlag(kpv_ErrorFlags_UnexpectedEnd);
    return;
  }
  if (CalcAdler32(h, 32) != GetUi32(h + 32))
    SetMetadataErrorFlag(kpv_ErrorFlags_CRCError);
  const UInt32 count = GetUi32(h);
  // 64-bit: count * 32 + 36 wraps around in 32 bits.
  if (static_cast<UInt64>(count) * kSessionEntrySize + kSessionHeaderSize > size) {
    SetMetadataErrorFlag(kpv_ErrorFlags_HeadersError);
    return;
  }
  if (count < 2)
    return;
  if (count > kEwfMaxSessions) {
    SetMetadataErrorFlag(kpv_ErrorFlags_HeadersError);
    return;
  }
  const UInt32 entriesSize = count * kSessionEntrySize;
  Byte *e = GetBuffer(entriesSize);
  if (ReadUpTo(stream, e, entriesSize) < entriesSize) {
    SetMetadataErrorFlag(kpv_ErrorFlags_UnexpectedEnd);
    return;
  }
  if (GetUi32(e + 4) != kEwfFirstSessionSector) {
    SetMetadataErrorFlag(kpv_ErrorFlags_HeadersError);
    return;
  }
  std::vector<UInt64> starts(count);
  for (UInt32 i = 0; i < count; i++)
    starts[i] = GetUi32(e + static_cast<size_t>(i) * kSessionEntrySize + 4);
  SetEwfImageSessions(*FItems, starts);
}

// ---- listing ----

void Tvor7zE01Archive::DoGetNumberOfItems(UInt32 &count) {
  count = FItems ? static_cast<UInt32>(FItems->GetItemCount()) : 0;
}

TvorPropertyTable Tvor7zE01Archive::DoGetPropertyTable() { return PathAndSizeProperties(); }

void Tvor7zE01Archive::DoGetProperty(UInt32 index, PROPID propID, PROPVARIANT &value) {
  if (FItems)
    GetEwfImageProperty(*FItems, index, propID, value);
}

UInt32 Tvor7zE01Archive::DoGetDigestKinds() { return 2; }

TvorStoredDigests Tvor7zE01Archive::DoGetStoredDigests(UInt32 index) { return GetEwfImageDigests(*FItems, index); }

void Tvor7zE01Archive::DoGetStream(UInt32 index, ComPtr<ISequentialInStream> &stream) {
  if (FItems)
    stream = OpenEwfImageStream(*FItems, index, FJoinedStream.Get(), FCodecsInfo);
}

// ---- extraction ----

Tvor7zArchive::TExtractItemInfo Tvor7zE01Archive::DoGetExtractItemInfo(UInt32 index) {
  return {FItems->GetItem(static_cast<Int32>(index))->Size, false};
}

Int32 Tvor7zE01Archive::DoExtractItem(UInt32 index, ISequentialOutStream *stream, Tvor7zProgress &progress) {
  return ExtractEwfImageItem(*FItems, index, FJoinedStream.Get(), FCodecsInfo, stream, progress);
}
