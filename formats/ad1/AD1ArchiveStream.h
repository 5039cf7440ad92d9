// Random-access stream over one file of an AD1 image: its zlib chunks decoded through the block
// cache.
#pragma once

#include "blocks/BlockCacheStream.h"
#include "blocks/FlateDecoder.h"

class Tvor7zAD1ArchiveStream2 : public Tvor7zBlockCacheStream2 {
public:
  Tvor7zAD1ArchiveStream2(IInStream *dataStream, Tvor7zBlocks *blocks);

protected:
  void ReadBlock(const Tvor7zBlock_ &block, const Tvor7zBlockInfo &info, ISequentialInStream *inStream,
                 ISequentialOutStream *outStream) override;
  // A chunk gives at most what its stored bytes inflate to.
  UInt32 MaxDecodedSize(const Tvor7zBlock_ &block) const override;

private:
  ComPtr<TvorFlateDecodeDecoder> FDecoder;
};
