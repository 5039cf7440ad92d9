#include "formats/ewf/L01Archive.h"

#include <cstring>

#include "streams/ByteOrder.h"

namespace {
constexpr UInt32 kLtreeHeaderSize = 48;
}  // namespace

void Tvor7zL01Archive::CreateBlocks() { FBlocks = FSide.Create(); }

UString Tvor7zL01Archive::GetSegmentExtension(Int32 index, const UString &firstExtension) {
  return GetEwf1SegmentExtension(index, firstExtension, L'L');
}

void Tvor7zL01Archive::DoClose() {
  Tvor7zEwfArchive::DoClose();
  FSide.Close();
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

  Byte digest[16] = {};
  const TvorLEntryTreeResult tree = FSide.ReadTree(stream, treeSize, true, digest);
  for (unsigned bit = 0; bit < 16; bit++)
    if (tree.ErrorFlags & (1u << bit))
      SetErrorFlag(bit);
  if (tree.FoundEntry && std::memcmp(digest, h, sizeof(digest)) != 0)
    SetMetadataErrorFlag(kpv_ErrorFlags_HeadersError);
}

// ---- listing, random access and extraction: those of both logical formats ----

void Tvor7zL01Archive::DoGetNumberOfItems(UInt32 &count) { count = FSide.Count(); }

TvorPropertyTable Tvor7zL01Archive::DoGetPropertyTable() { return TvorLItemArchiveSide::PropertyTable(); }

void Tvor7zL01Archive::DoGetProperty(UInt32 index, PROPID propID, PROPVARIANT &value) {
  FSide.GetProperty(index, propID, value);
}

UInt32 Tvor7zL01Archive::DoGetDigestKinds() { return 2; }

TvorStoredDigests Tvor7zL01Archive::DoGetStoredDigests(UInt32 index) { return FSide.StoredDigests(index); }

void Tvor7zL01Archive::DoGetStream(UInt32 index, ComPtr<ISequentialInStream> &stream) {
  stream = FSide.Stream(index, FJoinedStream.Get());
}

Tvor7zArchive::TExtractItemInfo Tvor7zL01Archive::DoGetExtractItemInfo(UInt32 index) {
  return FSide.ExtractInfo(index);
}

Int32 Tvor7zL01Archive::DoExtractItem(UInt32 index, ISequentialOutStream *stream, Tvor7zProgress &progress) {
  return FSide.Extract(index, FJoinedStream.Get(), stream, progress);
}
