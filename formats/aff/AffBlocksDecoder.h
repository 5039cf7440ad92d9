// Whole-image decoder of AFF pages: each page goes through the one AFF page rule on the workers;
// stored pages are written from their stored bytes and zero pages are made without reading them.
#pragma once

#include <memory>

#include "blocks/MtBlocksDecoder.h"
#include "formats/aff/AffCoders.h"

struct Tvor7zAffBlockJob : Tvor7zBlockJob {
  explicit Tvor7zAffBlockJob(Tvor7zCompressCodecsInfo *codecs) : Coders(codecs) {}
  TAffPageCoders Coders;
};

class Tvor7zAffArchiveBlocksDecoder : public Tvor7zMtBlocksDecoder {
public:
  // `codecs`: the archive's host codec list (may be nil); it must outlive Decode.
  explicit Tvor7zAffArchiveBlocksDecoder(Tvor7zCompressCodecsInfo *codecs) : FLocalCodecs(codecs) {}

  bool ReadJob(Tvor7zBlockJob &job) override;
  Int32 DecodeBlock(Tvor7zBlockJob &job, ISequentialInStream *inStream, ISequentialOutStream *outStream) override;

protected:
  std::unique_ptr<Tvor7zBlockJob> NewJob() override;

private:
  Tvor7zCompressCodecsInfo *FLocalCodecs;
};
