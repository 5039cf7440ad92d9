// Whole-image decoder of EWF chunks (E01 and Ex01): each chunk goes through the one EWF chunk rule
// on the workers; a stored chunk is written from its stored bytes, and a checksum it fails is
// reported after the whole image.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "blocks/MtBlocksDecoder.h"
#include "formats/ewf/EwfChunk.h"

struct Tvor7zE01BlockJob : Tvor7zBlockJob {
  // A chunk too large for the job buffers, whole in memory.
  std::vector<Byte> Stored;
  std::vector<Byte> Decoded;
};

class Tvor7zE01ArchiveBlocksDecoder : public Tvor7zMtBlocksDecoder {
public:
  // `codecs`: the archive's host codec list for bzip2 chunks (may be nil); read by every worker.
  explicit Tvor7zE01ArchiveBlocksDecoder(Tvor7zCompressCodecsInfo *codecs = nullptr) : FCodecs(codecs) {}
  // A pattern-fill chunk reads nothing: its pattern takes the place of the stored bytes.
  bool ReadJob(Tvor7zBlockJob &job) override;
  Int32 DecodeBlock(Tvor7zBlockJob &job, ISequentialInStream *inStream, ISequentialOutStream *outStream) override;

protected:
  std::unique_ptr<Tvor7zBlockJob> NewJob() override;

private:
  // Decoders are lent to a job while it decodes, so that there are as many as chunks decode at
  // once (one per worker), not one per job: a host bzip2 decoder holds megabytes.
  std::unique_ptr<TEwfChunkCoders> TakeCoders();
  void ReturnCoders(std::unique_ptr<TEwfChunkCoders> coders);

  Tvor7zCompressCodecsInfo *FCodecs;
  std::mutex FCodersLock;
  std::vector<std::unique_ptr<TEwfChunkCoders>> FFreeCoders;
};
