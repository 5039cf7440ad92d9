// Random-access stream over the image of an EWF set (E01 and Ex01): compressed chunks are decoded
// through the block cache, stored chunks are read straight from the segments, pattern-fill chunks
// are produced from their pattern.
#pragma once

#include <vector>

#include "blocks/BlockCacheStream.h"
#include "formats/ewf/EwfChunk.h"

class Tvor7zE01ArchiveStream : public Tvor7zBlockCacheStream2 {
public:
  // With `checkStoredChunks` stored chunks are read whole through the cache and their Adler-32 is
  // checked (a mismatch joins LostResult, the bytes are read as they are); without it they are
  // read straight from the segments, unchecked, for the cheapest random access. `codecs` is the host's
  // list held by the archive, for bzip2 chunks (may be nil); the stream keeps its own reference.
  Tvor7zE01ArchiveStream(IInStream *joinedStream, Tvor7zBlocks *blocks, bool checkStoredChunks = false,
                         ICompressCodecsInfo *codecs = nullptr);

protected:
  Int32 ReadBlock(const Tvor7zBlock_ &block, ISequentialInStream *inStream,
                  ISequentialOutStream *outStream) override;
  void ReadFromBlock(UInt64 index, const Tvor7zBlock_ &block, UInt32 offset, void *data,
                     UInt32 size, UInt32 &processed) override;
  // A deflate chunk gives at most what its stored bytes inflate to, a stored one its bytes.
  UInt32 MaxDecodedSize(const Tvor7zBlock_ &block) const override;

private:
  bool FCheckStoredChunks;
  Tvor7zCompressCodecsInfo FLocalCodecs;
  TEwfChunkCoders FCoders;
  // One chunk's stored and decoded bytes, so that a chunk decodes in one pass.
  std::vector<Byte> FStored;
  std::vector<Byte> FDecoded;
};
