#include "formats/aff/AffBlocksDecoder.h"

#include "formats/aff/AffInfo.h"

using namespace NOperationResult;

std::unique_ptr<Tvor7zBlockJob> Tvor7zAffArchiveBlocksDecoder::NewJob() {
  auto job = std::make_unique<Tvor7zAffBlockJob>(FLocalCodecs);
  // Each worker decrypts its own pages.
  const auto *info = static_cast<const Tvor7zAffInfo *>(FBlocks.Get());
  job->Coders.Key = info->GetKey();
  job->Coders.PageSize = info->GetChunkSize();
  return job;
}

bool Tvor7zAffArchiveBlocksDecoder::ReadJob(Tvor7zBlockJob &job) {
  // A zero page stores nothing the image needs.
  if (NAffPage::IsZero(job.Block.Flags)) {
    job.InSize = 0;
    return true;
  }
  if (!Tvor7zMtBlocksDecoder::ReadJob(job))
    return false;
  if (job.Block.Flags & NAffPage::kTruncated)
    SetJobResult(job, kUnexpectedEnd);
  return true;
}

Int32 Tvor7zAffArchiveBlocksDecoder::DecodeBlock(Tvor7zBlockJob &job, ISequentialInStream *inStream,
                                                 ISequentialOutStream *outStream) {
  TAffPageCoders &coders = static_cast<Tvor7zAffBlockJob &>(job).Coders;
  if (!job.Buffered)
    return DecodeAffPage(job.Block, inStream, outStream, coders);
  // Decoded on the worker straight from and into the job's buffers where the page allows.
  TAffPageMemory memory;
  memory.Stored = job.InBuffer.get();
  memory.Got = job.InSize;
  memory.Room = job.OutBuffer.get();
  memory.RoomSize = job.OutCapacity;
  const Int32 result = DecodeAffPage(job.Block, inStream, outStream, coders, &memory);
  if (memory.Data)
    job.SetOutput(memory.Data, memory.Size);
  return result;
}
