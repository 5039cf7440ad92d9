#include "formats/ewf/E01ArchiveStream.h"

#include <algorithm>

#include "host/Errors.h"
#include "streams/InStreams.h"

Tvor7zE01ArchiveStream::Tvor7zE01ArchiveStream(IInStream *joinedStream, Tvor7zBlocks *blocks, bool checkStoredChunks)
    : Tvor7zBlockCacheStream2(joinedStream, blocks, 0), FCheckStoredChunks(checkStoredChunks) {}

void Tvor7zE01ArchiveStream::ReadBlock(const Tvor7zBlock_ &block, const Tvor7zBlockInfo &,
                                       ISequentialInStream *inStream, ISequentialOutStream *outStream) {
  if (FStored.size() < block.StoredSize)
    FStored.resize(block.StoredSize);
  const size_t got = ReadUpTo(inStream, FStored.data(), block.StoredSize);
  const TEwfChunkMethod method = EwfChunkMethod(block);
  const UInt32 most = method == TEwfChunkMethod::Stored ? 0 : MaxDecodedSize(block);
  if (FDecoded.size() < most)
    FDecoded.resize(most);
  const TEwfChunk chunk =
      DecodeEwfChunk(method, FStored.data(), got, block.StoredSize, block.Size, FDecoded.data(), most, FCoders);
  WriteBlock(outStream, chunk.Data, chunk.Size, chunk.Result);
}

UInt32 Tvor7zE01ArchiveStream::MaxDecodedSize(const Tvor7zBlock_ &block) const {
  const UInt64 most =
      EwfChunkMethod(block) == TEwfChunkMethod::Deflate ? MaxInflatedSize(block.StoredSize) : block.StoredSize;
  return static_cast<UInt32>(std::min<UInt64>(block.Size, most));
}

void Tvor7zE01ArchiveStream::ReadFromBlock(UInt32 index, const Tvor7zBlock_ *block, Tvor7zBlockInfo *info,
                                           UInt32 offset, void *data, UInt32 size, UInt32 &processed) {
  if (EwfChunkMethod(*block) != TEwfChunkMethod::Stored || FCheckStoredChunks) {
    Tvor7zBlockCacheStream2::ReadFromBlock(index, block, info, offset, data, size, processed);
    return;
  }
  // Stored chunks need no decoding and bypass the cache (their checksum is not checked here).
  processed = static_cast<UInt32>(ReadAt(FInStream, block->Offset + offset, data, size));
}
