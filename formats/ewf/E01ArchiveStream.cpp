#include "formats/ewf/E01ArchiveStream.h"

#include <algorithm>

#include "host/Errors.h"
#include "streams/InStreams.h"

Tvor7zE01ArchiveStream::Tvor7zE01ArchiveStream(IInStream *joinedStream, Tvor7zBlocks *blocks, bool checkStoredChunks,
                                               ICompressCodecsInfo *codecs)
    : Tvor7zBlockCacheStream2(joinedStream, blocks, 0), FCheckStoredChunks(checkStoredChunks) {
  FLocalCodecs.SetCodecsInfo(codecs);
  FCoders.Codecs = &FLocalCodecs;
}

Int32 Tvor7zE01ArchiveStream::ReadBlock(const Tvor7zBlock_ &block, ISequentialInStream *inStream, ISequentialOutStream *outStream) {
  if (FStored.size() < block.StoredSize)
    FStored.resize(block.StoredSize);
  const size_t got = ReadUpTo(inStream, FStored.data(), block.StoredSize);
  const TEwfChunkMethod method = EwfChunkMethod(block);
  const UInt32 most = EwfChunkIsCompressed(method) ? MaxDecodedSize(block) : 0;
  if (FDecoded.size() < most)
    FDecoded.resize(most);
  const TEwfChunk chunk =
      DecodeEwfChunk(method, FStored.data(), got, block.StoredSize, block.Size, FDecoded.data(), most, FCoders);
  return WriteBlock(outStream, chunk.Data, chunk.Size, chunk.Result);
}

UInt32 Tvor7zE01ArchiveStream::MaxDecodedSize(const Tvor7zBlock_ &block) const {
  return EwfMaxDecodedSize(EwfChunkMethod(block), block.StoredSize, block.Size);
}

void Tvor7zE01ArchiveStream::ReadFromBlock(UInt64 index, const Tvor7zBlock_ &block, UInt32 offset, void *data, UInt32 size, UInt32 &processed) {
  const TEwfChunkMethod method = EwfChunkMethod(block);
  if (method == TEwfChunkMethod::PatternFill) {
    // Nothing stored: the pattern, from the phase the position gives.
    Byte pattern[8];
    EwfChunkPattern(block, pattern);
    FillEwfPattern(pattern, offset, static_cast<Byte *>(data), size);
    processed = size;
    return;
  }
  const bool stored = method == TEwfChunkMethod::Stored || method == TEwfChunkMethod::Plain;
  if (!stored || (FCheckStoredChunks && method == TEwfChunkMethod::Stored)) {
    Tvor7zBlockCacheStream2::ReadFromBlock(index, block, offset, data, size, processed);
    return;
  }
  // Stored chunks need no decoding and bypass the cache (their checksum is not checked here). Never
  // past the chunk's own bytes: behind a chunk cut short lie other sections, not image data.
  processed = 0;
  if (offset >= block.StoredSize)
    return;
  processed = static_cast<UInt32>(ReadAt(FInStream, block.Offset + offset, data, std::min(size, block.StoredSize - offset)));
}
