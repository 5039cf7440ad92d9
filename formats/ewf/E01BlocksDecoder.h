// Whole-image decoder of EWF version-1 chunks: deflate chunks are inflated on the workers, stored
// chunks are checked against their Adler-32 (a mismatch is reported after the whole image).
#pragma once

#include "blocks/FlateDecoder.h"
#include "blocks/MtBlocksDecoder.h"
#include "hashers/Hashers.h"

struct Tvor7zE01BlockJob : Tvor7zBlockJob {
  ComPtr<TvorFlateDecodeDecoder> FlateDecoder;
  ComPtr<Tvor7zAdler32Hasher> ChecksumHasher;
  ComPtr<Tvor7zHashSequentialInStream> ChecksumStream;
};

class Tvor7zE01ArchiveBlocksDecoder : public Tvor7zMtBlocksDecoder {
public:
  static constexpr UInt32 kCompressed = 0x80000000u;

  Int32 DecodeBlock(Tvor7zBlockJob &job, ISequentialInStream *inStream, ISequentialOutStream *outStream) override;
  bool DecodeJob(Tvor7zBlockJob &job) override;
  bool WriteJob(Tvor7zBlockJob &job) override;

protected:
  std::unique_ptr<Tvor7zBlockJob> NewJob() override;

private:
  Int32 DecodeStoredBlock(Tvor7zE01BlockJob &job, ISequentialInStream *inStream, ISequentialOutStream *outStream);
};
