#include "formats/ad1/AD1ArchiveStream.h"

#include <algorithm>

#include "host/CodecsInfo.h"
#include "host/Errors.h"

Tvor7zAD1ArchiveStream2::Tvor7zAD1ArchiveStream2(IInStream *dataStream, Tvor7zBlocks *blocks)
    : Tvor7zBlockCacheStream2(dataStream, blocks, 0) {}

Int32 DecodeAd1Chunk(ComPtr<TvorFlateDecodeDecoder> &decoder, ISequentialInStream *stored, ISequentialOutStream *out,
                     UInt64 most) {
  if (!decoder)
    decoder = new TvorFlateDecodeDecoder();
  return CoderResultToOperationResult(decoder->Code(stored, out, nullptr, &most, nullptr));
}

Int32 Tvor7zAD1ArchiveStream2::ReadBlock(const Tvor7zBlock_ &block, ISequentialInStream *inStream, ISequentialOutStream *outStream) {
  return DecodeAd1Chunk(FDecoder, inStream, outStream, block.Size);
}

UInt32 Tvor7zAD1ArchiveStream2::MaxDecodedSize(const Tvor7zBlock_ &block) const {
  return static_cast<UInt32>(std::min<UInt64>(block.Size, MaxInflatedSize(block.StoredSize)));
}
