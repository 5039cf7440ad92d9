#include "formats/aff/AffArchiveStream.h"

#include <algorithm>
#include <cstring>

#include "streams/InStreams.h"

Tvor7zAffArchiveStream::Tvor7zAffArchiveStream(IInStream *joinedStream, Tvor7zAffInfo *info, ICompressCodecsInfo *codecs)
    : Tvor7zBlockCacheStream2(joinedStream, info, 0) {
  FLocalCodecs.SetCodecsInfo(codecs);
  FCoders.Key = info->GetKey();
  FCoders.PageSize = info->GetChunkSize();
}

Int32 Tvor7zAffArchiveStream::ReadBlock(const Tvor7zBlock_ &block, ISequentialInStream *inStream,
                                        ISequentialOutStream *outStream) {
  return DecodeAffPage(block, inStream, outStream, FCoders);
}

UInt32 Tvor7zAffArchiveStream::MaxDecodedSize(const Tvor7zBlock_ &block) const {
  if (NAffPage::Algorithm(block.Flags) != NAffPage::kZlib)
    return block.Size;
  return static_cast<UInt32>(std::min<UInt64>(block.Size, MaxInflatedSize(block.StoredSize)));
}

void Tvor7zAffArchiveStream::ReadFromBlock(UInt64 index, const Tvor7zBlock_ &block, UInt32 offset,
                                           void *data, UInt32 size, UInt32 &processed) {
  processed = 0;
  if (NAffPage::IsZero(block.Flags)) {
    std::memset(data, 0, size);
    processed = size;
    return;
  }
  if (NAffPage::IsCompressed(block.Flags) || (block.Flags & NAffPage::kEncrypted)) {
    Tvor7zBlockCacheStream2::ReadFromBlock(index, block, offset, data, size, processed);
    return;
  }
  // Stored pages bypass the cache. Never read past the page's own bytes: beyond them lie the
  // trailer and the next segment, not image data (a short page, or one no segment supplied).
  if (offset >= block.StoredSize)
    return;
  const UInt32 n = std::min(size, block.StoredSize - offset);
  processed = static_cast<UInt32>(ReadAt(FInStream, block.Offset + offset, data, n));
}
