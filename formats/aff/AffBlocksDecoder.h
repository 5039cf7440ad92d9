// Whole-image decoder of AFF pages: zlib pages are inflated on the workers, bzip2 and LZMA pages go
// through the host's decoders, stored pages are written as they are read and zero pages are made
// without reading their data.
#pragma once

#include <memory>

#include "blocks/FlateDecoder.h"
#include "blocks/MtBlocksDecoder.h"
#include "host/CodecsInfo.h"

struct Tvor7zAffBlockJob : Tvor7zBlockJob {
  ComPtr<TvorFlateDecodeDecoder> FlateDecoder;
  ComPtr<ICompressCoder> BZip2Decoder;
  ComPtr<ICompressCoder> LzmaDecoder;
};

class Tvor7zAffArchiveBlocksDecoder : public Tvor7zMtBlocksDecoder {
public:
  // `codecs`: the archive's host codec list (may be nil); it must outlive Decode.
  explicit Tvor7zAffArchiveBlocksDecoder(Tvor7zCompressCodecsInfo *codecs) : FLocalCodecs(codecs) {}

  bool ReadJob(Tvor7zBlockJob &job) override;
  bool DecodeJob(Tvor7zBlockJob &job) override;
  Int32 DecodeBlock(Tvor7zBlockJob &job, ISequentialInStream *inStream, ISequentialOutStream *outStream) override;

  static constexpr UInt32 kZeroBufferSize = 65536;

protected:
  std::unique_ptr<Tvor7zBlockJob> NewJob() override;

private:
  Int32 DecodeCompressed(Tvor7zAffBlockJob &job, ISequentialInStream *inStream, ISequentialOutStream *outStream);
  Int32 DecodeStored(Tvor7zAffBlockJob &job, ISequentialInStream *inStream, ISequentialOutStream *outStream);

  Tvor7zCompressCodecsInfo *FLocalCodecs;
  std::unique_ptr<Byte[]> FZeroBuffer;
};
