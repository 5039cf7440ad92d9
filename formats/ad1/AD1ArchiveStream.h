// Random-access stream over one file of an AD1 image: its zlib chunks decoded through the block
// cache.
#pragma once

#include "blocks/BlockCacheStream.h"
#include "blocks/FlateDecoder.h"

// One zlib chunk of a file: the stored bytes `stored` gives (it ends after them) inflated into
// `out`, at most `most` bytes. Streamed, since the stored size comes from the file and is not
// trusted for an allocation. The operation result: kDataError for data that does not inflate; a
// chunk that inflates short is kOK (the caller compares sizes). `decoder` is made on first use.
Int32 DecodeAd1Chunk(ComPtr<TvorFlateDecodeDecoder> &decoder, ISequentialInStream *stored, ISequentialOutStream *out,
                     UInt64 most);

class Tvor7zAD1ArchiveStream2 : public Tvor7zBlockCacheStream2 {
public:
  Tvor7zAD1ArchiveStream2(IInStream *dataStream, Tvor7zBlocks *blocks);

protected:
  Int32 ReadBlock(const Tvor7zBlock_ &block, ISequentialInStream *inStream,
                  ISequentialOutStream *outStream) override;
  // A chunk gives at most what its stored bytes inflate to.
  UInt32 MaxDecodedSize(const Tvor7zBlock_ &block) const override;

private:
  ComPtr<TvorFlateDecodeDecoder> FDecoder;
};
