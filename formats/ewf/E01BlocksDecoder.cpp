#include "formats/ewf/E01BlocksDecoder.h"

#include <algorithm>

#include "host/Errors.h"
#include "host/StreamIo.h"
#include "streams/InStreams.h"

namespace {
// A pattern-fill chunk too large for the job buffers goes out in pieces of this size (a multiple of 8).
constexpr size_t kPatternPiece = 65536;
} // namespace

std::unique_ptr<Tvor7zBlockJob> Tvor7zE01ArchiveBlocksDecoder::NewJob() { return std::make_unique<Tvor7zE01BlockJob>(); }

std::unique_ptr<TEwfChunkCoders> Tvor7zE01ArchiveBlocksDecoder::TakeCoders() {
  {
    std::lock_guard<std::mutex> lock(FCodersLock);
    if (!FFreeCoders.empty()) {
      auto coders = std::move(FFreeCoders.back());
      FFreeCoders.pop_back();
      return coders;
    }
  }
  auto coders = std::make_unique<TEwfChunkCoders>();
  coders->Codecs = FCodecs;
  return coders;
}

void Tvor7zE01ArchiveBlocksDecoder::ReturnCoders(std::unique_ptr<TEwfChunkCoders> coders) {
  std::lock_guard<std::mutex> lock(FCodersLock);
  FFreeCoders.push_back(std::move(coders));
}

bool Tvor7zE01ArchiveBlocksDecoder::ReadJob(Tvor7zBlockJob &job) {
  if (EwfChunkMethod(job.Block) != TEwfChunkMethod::PatternFill)
    return Tvor7zMtBlocksDecoder::ReadJob(job);
  if (!job.InBuffer || job.InCapacity < 8) {
    job.InBuffer.reset(new Byte[8]);
    job.InCapacity = 8;
  }
  EwfChunkPattern(job.Block, job.InBuffer.get());
  job.InSize = 8;
  return true;
}

Int32 Tvor7zE01ArchiveBlocksDecoder::DecodeBlock(Tvor7zBlockJob &job, ISequentialInStream *inStream,
                                                 ISequentialOutStream *outStream) {
  auto &j = static_cast<Tvor7zE01BlockJob &>(job);
  const Tvor7zBlock_ &block = job.Block;
  const TEwfChunkMethod method = EwfChunkMethod(block);
  struct TLease {
    Tvor7zE01ArchiveBlocksDecoder &Owner;
    std::unique_ptr<TEwfChunkCoders> Coders;
    ~TLease() { Owner.ReturnCoders(std::move(Coders)); }
  } lease{*this, TakeCoders()};
  TEwfChunkCoders &coders = *lease.Coders;
  if (job.Buffered) {
    // A stored chunk is written from the input buffer as it is; its checksum is compared here, on
    // the worker, so that the ordered write stage does nothing but write.
    const TEwfChunk chunk = DecodeEwfChunk(method, job.InBuffer.get(), job.InSize, block.StoredSize, block.Size,
                                           job.OutBuffer.get(), job.OutCapacity, coders);
    job.SetOutput(chunk.Data, chunk.Size);
    return DeferChecksumResult(job, chunk.Result);
  }
  // A chunk too large for the job buffers. A pattern goes out in pieces; other chunks are held
  // whole in memory all the same, but the decoded bytes only as far as the stored bytes can give.
  if (method == TEwfChunkMethod::PatternFill) {
    Byte pattern[8];
    EwfChunkPattern(block, pattern);
    j.Decoded.resize(std::min<size_t>(block.Size, kPatternPiece));
    FillEwfPattern(pattern, 0, j.Decoded.data(), j.Decoded.size());
    for (UInt32 left = block.Size; left > 0;) {
      const UInt32 n = std::min<UInt32>(left, static_cast<UInt32>(j.Decoded.size()));
      WriteExact(outStream, j.Decoded.data(), n);
      left -= n;
    }
    return NOperationResult::kOK;
  }
  j.Stored.resize(block.StoredSize);
  const size_t got = ReadUpTo(inStream, j.Stored.data(), j.Stored.size());
  j.Decoded.resize(EwfChunkIsCompressed(method) ? EwfMaxDecodedSize(method, got, block.Size) : 0);
  const TEwfChunk chunk = DecodeEwfChunk(method, j.Stored.data(), got, block.StoredSize, block.Size, j.Decoded.data(),
                                         j.Decoded.size(), coders);
  WriteExact(outStream, chunk.Data, chunk.Size);
  return DeferChecksumResult(job, chunk.Result);
}
