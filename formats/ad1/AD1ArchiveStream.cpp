#include "formats/ad1/AD1ArchiveStream.h"

#include "host/Errors.h"

Tvor7zAD1ArchiveStream2::Tvor7zAD1ArchiveStream2(IInStream *dataStream, Tvor7zBlocks *blocks)
    : Tvor7zBlockCacheStream2(dataStream, blocks, 0) {}

void Tvor7zAD1ArchiveStream2::ReadBlock(const Tvor7zBlock_ &block, const Tvor7zBlockInfo &,
                                        ISequentialInStream *inStream, ISequentialOutStream *outStream) {
  if (!FDecoder)
    FDecoder = new TvorFlateDecodeDecoder();
  // Streamed: the stored size comes from the file and is not trusted for an allocation.
  const UInt64 size = block.Size;
  const HRESULT hr = FDecoder->Code(inStream, outStream, nullptr, &size, nullptr);
  if (hr != S_OK)
    RaiseHResult(hr);
}
