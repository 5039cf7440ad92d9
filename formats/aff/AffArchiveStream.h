// Random access over an AFF image: compressed and encrypted pages are decoded through the block
// cache, stored pages are read straight from the files and zero pages are produced without reading
// anything.
#pragma once

#include "blocks/BlockCacheStream.h"
#include "formats/aff/AffCoders.h"
#include "formats/aff/AffInfo.h"

class Tvor7zAffArchiveStream : public Tvor7zBlockCacheStream2 {
public:
  // `codecs` is the host's list held by the archive (may be nil); the stream keeps its own reference.
  Tvor7zAffArchiveStream(IInStream *joinedStream, Tvor7zAffInfo *info, ICompressCodecsInfo *codecs);

protected:
  Int32 ReadBlock(const Tvor7zBlock_ &block, ISequentialInStream *inStream,
                  ISequentialOutStream *outStream) override;
  void ReadFromBlock(UInt64 index, const Tvor7zBlock_ &block, UInt32 offset, void *data,
                     UInt32 size, UInt32 &processed) override;
  // A zlib page gives at most what its stored bytes inflate to.
  UInt32 MaxDecodedSize(const Tvor7zBlock_ &block) const override;

private:
  Tvor7zCompressCodecsInfo FLocalCodecs;
  TAffPageCoders FCoders{&FLocalCodecs};
};
