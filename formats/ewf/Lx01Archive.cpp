#include "formats/ewf/Lx01Archive.h"

#include <algorithm>
#include <cstring>

UString Tvor7zLx01Archive::GetSegmentExtension(Int32 index, const UString &firstExtension) {
  return GetEwf2SegmentExtension(index, firstExtension, L".Lx");
}

void Tvor7zLx01Archive::EndOpen() {
  // Every chunk counts whole: the files' extents place them in the image, whatever size the device
  // information gives.
  FinishChunks(0);
}

// The tree text, uncompressed, as UTF-16LE without a byte-order mark in real files. Damage to it is
// flagged and the entries read so far stay; the set's other segments are still read, as they hold
// the files' data.
void Tvor7zLx01Archive::ReadSingleFilesSection(IInStream *stream, const TEwf2Section &section) {
  SeekTo(stream, section.DataStart, STREAM_SEEK_SET);
  // The hash covers the whole section, padding included; never more than lies before its descriptor.
  const UInt64 held = section.DescriptorOffset > section.DataStart ? section.DescriptorOffset - section.DataStart : 0;
  const UInt64 size = std::min(section.SectionSize, held);
  Byte digest[16] = {};
  const TvorLEntryTreeResult tree = FSide.ReadTree(stream, size, false, digest);
  for (unsigned bit = 0; bit < 16; bit++)
    if (tree.ErrorFlags & (1u << bit))
      SetMetadataErrorFlag(bit);
  if (tree.FoundEntry && (section.DataFlags & kDataFlagIntegrityHash) &&
      std::memcmp(digest, section.DataHash, sizeof(digest)) != 0)
    SetMetadataErrorFlag(kpv_ErrorFlags_HeadersError);
}
