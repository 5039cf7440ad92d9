#include "formats/ewf/E01BlocksDecoder.h"

#include <algorithm>

#include "host/Errors.h"
#include "host/StreamIo.h"
#include "streams/InStreams.h"

std::unique_ptr<Tvor7zBlockJob> Tvor7zE01ArchiveBlocksDecoder::NewJob() {
  auto job = std::make_unique<Tvor7zE01BlockJob>();
  job->Coders.Codecs = FCodecs;
  return job;
}

bool Tvor7zE01ArchiveBlocksDecoder::ReadJob(Tvor7zBlockJob &job) {
  if (EwfChunkMethod(*job.Block) != TEwfChunkMethod::PatternFill)
    return Tvor7zMtBlocksDecoder::ReadJob(job);
  if (!job.InBuffer || job.InCapacity < 8) {
    job.InBuffer.reset(new Byte[8]);
    job.InCapacity = 8;
  }
  EwfChunkPattern(*job.Block, job.InBuffer.get());
  job.InSize = 8;
  return true;
}

Int32 Tvor7zE01ArchiveBlocksDecoder::DecodeBlock(Tvor7zBlockJob &job, ISequentialInStream *inStream,
                                                 ISequentialOutStream *outStream) {
  auto &j = static_cast<Tvor7zE01BlockJob &>(job);
  const Tvor7zBlock_ &block = *job.Block;
  const TEwfChunkMethod method = EwfChunkMethod(block);
  if (job.Buffered) {
    // A stored chunk is written from the input buffer as it is; its checksum is compared here, on
    // the worker, so that the ordered write stage does nothing but write.
    const TEwfChunk chunk = DecodeEwfChunk(method, job.InBuffer.get(), job.InSize, block.StoredSize, block.Size,
                                           job.OutBuffer.get(), job.OutCapacity, j.Coders);
    job.SetOutput(chunk.Data, chunk.Size);
    return DeferChecksumResult(job, chunk.Result);
  }
  // A chunk too large for the job buffers: held whole in memory all the same, but the decoded
  // bytes only as far as the stored bytes can give them.
  size_t got;
  if (method == TEwfChunkMethod::PatternFill) {
    j.Stored.resize(8);
    EwfChunkPattern(block, j.Stored.data());
    got = 8;
  } else {
    j.Stored.resize(block.StoredSize);
    got = ReadUpTo(inStream, j.Stored.data(), j.Stored.size());
  }
  UInt64 most = 0;
  if (method == TEwfChunkMethod::Deflate)
    most = std::min<UInt64>(block.Size, MaxInflatedSize(got));
  else if (method == TEwfChunkMethod::BZip2 || method == TEwfChunkMethod::PatternFill)
    most = block.Size;
  j.Decoded.resize(most);
  const TEwfChunk chunk = DecodeEwfChunk(method, j.Stored.data(), got, block.StoredSize, block.Size, j.Decoded.data(),
                                         j.Decoded.size(), j.Coders);
  WriteExact(outStream, chunk.Data, chunk.Size);
  return DeferChecksumResult(job, chunk.Result);
}
