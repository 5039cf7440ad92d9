#include "formats/ewf/L01Archive.h"

#include <cstring>

#include "streams/ByteOrder.h"

namespace {
constexpr UInt32 kLtreeHeaderSize = 48;
}  // namespace

UString Tvor7zL01Archive::GetSegmentExtension(Int32 index, const UString &firstExtension) {
  return GetEwf1SegmentExtension(index, firstExtension, L'L');
}

void Tvor7zL01Archive::EndOpen() {
  FinishTables();
  // Every chunk counts whole: the volume section's sector count is not the data's size.
  FBlocks->SetTotalSize(FBlocks->GetCount() * FBlocks->GetChunkSize());
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
