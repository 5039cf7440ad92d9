#include "formats/ewf/E01BlocksDecoder.h"

#include <algorithm>

#include "streams/ByteOrder.h"
#include "host/Errors.h"
#include "streams/Progress.h"

using namespace NOperationResult;

namespace {
void SetDeferred(Tvor7zBlockJob &job, Int32 result) {
  if (job.DeferredResult == 0)
    job.DeferredResult = result;
}
} // namespace

std::unique_ptr<Tvor7zBlockJob> Tvor7zE01ArchiveBlocksDecoder::NewJob() { return std::make_unique<Tvor7zE01BlockJob>(); }

Int32 Tvor7zE01ArchiveBlocksDecoder::DecodeBlock(Tvor7zBlockJob &job, ISequentialInStream *inStream,
                                                 ISequentialOutStream *outStream) {
  auto &j = static_cast<Tvor7zE01BlockJob &>(job);
  const Tvor7zBlock_ &block = *job.Block;
  if (!(block.Flags & kCompressed))
    return DecodeStoredBlock(j, inStream, outStream);
  if (!j.FlateDecoder)
    j.FlateDecoder = new TvorFlateDecodeDecoder();
  if (job.Buffered) {
    // The stored bytes are already in memory: inflate them in one pass into the output buffer.
    size_t written = 0;
    const HRESULT hr = j.FlateDecoder->DecodeBuffer(job.InBuffer.get(), job.InSize, job.OutBuffer.get(),
                                                    std::min<size_t>(block.Size, job.OutCapacity), &written);
    job.SetDirectOutput(written);
    return CoderResultToOperationResult(hr);
  }
  const UInt64 size = block.Size;
  return CoderResultToOperationResult(j.FlateDecoder->Code(inStream, outStream, nullptr, &size, nullptr));
}

Int32 Tvor7zE01ArchiveBlocksDecoder::DecodeStoredBlock(Tvor7zE01BlockJob &job, ISequentialInStream *inStream,
                                                       ISequentialOutStream *outStream) {
  const Tvor7zBlock_ &block = *job.Block;
  if (!job.ChecksumHasher) {
    job.ChecksumHasher = new Tvor7zAdler32Hasher();
    job.ChecksumStream = new Tvor7zHashSequentialInStream(job.ChecksumHasher.Get(), nullptr);
  }
  job.ChecksumStream->SetStream(inStream);
  job.ChecksumHasher->Init();
  if (!job.OutBuffer) {
    job.OutBuffer.reset(new Byte[65536]);
    job.OutCapacity = 65536;
  }
  const UInt32 n = std::min(block.Size, block.StoredSize);
  UInt64 copied = 0;
  CheckHResult(CopyStream(job.OutBuffer.get(), job.OutCapacity, nullptr, job.ChecksumStream.Get(), outStream, n,
                          &copied));
  job.ChecksumStream->SetStream(nullptr);
  if (copied < block.Size)
    return kUnexpectedEnd;
  if (block.StoredSize - n > 3) {
    Byte stored[4];
    size_t got = 0;
    CheckHResult(ReadStream(inStream, stored, 4, &got));
    if (got < 4)
      SetDeferred(job, kUnexpectedEnd);
    else if (GetUi32(stored) != job.ChecksumHasher->Value())
      SetDeferred(job, kCRCError);
  } else {
    SetDeferred(job, kHeadersError);
  }
  return kOK;
}

bool Tvor7zE01ArchiveBlocksDecoder::DecodeJob(Tvor7zBlockJob &job) {
  const Tvor7zBlock_ &block = *job.Block;
  if (block.Flags & kCompressed)
    return Tvor7zMtBlocksDecoder::DecodeJob(job);
  // A stored chunk is written from the input buffer as it is. Its checksum is compared here, on the
  // worker, so that the ordered write stage does nothing but write.
  const UInt32 n = std::min(block.Size, job.InSize);
  if (static_cast<UInt64>(block.StoredSize) < static_cast<UInt64>(block.Size) + 4)
    SetDeferred(job, kHeadersError);
  else if (job.InSize >= static_cast<UInt64>(block.Size) + 4 &&
           CalcAdler32(job.InBuffer.get(), block.Size) != GetUi32(job.InBuffer.get() + block.Size))
    SetDeferred(job, kCRCError);
  job.OutSize = n;
  if (n < block.Size)
    SetJobResult(job, kUnexpectedEnd);
  return true;
}

bool Tvor7zE01ArchiveBlocksDecoder::WriteJob(Tvor7zBlockJob &job) {
  if (job.Block->Flags & kCompressed)
    return Tvor7zMtBlocksDecoder::WriteJob(job);
  return WriteJobFrom(job, job.InBuffer.get());
}
