#include "blocks/MtBlocksDecoder.h"

#include <algorithm>

#include "host/Errors.h"
#include "platform/Platform.h"

using namespace NOperationResult;

Tvor7zBlockJob::~Tvor7zBlockJob() = default;

Tvor7zMtBlocksDecoder::Tvor7zMtBlocksDecoder() = default;
Tvor7zMtBlocksDecoder::~Tvor7zMtBlocksDecoder() = default;

std::unique_ptr<Tvor7zBlockJob> Tvor7zMtBlocksDecoder::NewJob() { return std::make_unique<Tvor7zBlockJob>(); }

std::unique_ptr<Tvor7zMtThread> Tvor7zMtBlocksDecoder::NewThread() {
  const UInt64 perWorker = static_cast<UInt64>(FMaxStoredSize) + FMaxSize;
  return std::make_unique<Tvor7zMtBlocksDecoderThread>(
      *this, FMaxStoredSize, FMaxSize,
      FJobsPerTurn != 0 ? FJobsPerTurn : Tvor7zMtBlocksDecoderThread::GetJobsPerTurn(perWorker), FStreaming);
}

Int32 Tvor7zMtBlocksDecoder::GetWorkerCount(Int32 requested, UInt32 processors, UInt64 blockCount, UInt64 perWorker) {
  Int64 count = requested;
  if (count <= 0)
    count = std::min<Int64>(processors, kMaxAutoThreads);
  count = std::clamp<Int64>(count, 1, kMaxThreads);
  if (static_cast<UInt64>(count) > blockCount)
    count = static_cast<Int64>(std::max<UInt64>(blockCount, 1));
  // 64-bit product: two 32-bit buffer sizes times the count overflow 32 bits easily.
  if (perWorker > 0 && static_cast<UInt64>(count) * perWorker > kMaxJobMemory)
    count = std::max<Int64>(static_cast<Int64>(kMaxJobMemory / perWorker), 1);
  return static_cast<Int32>(count);
}

HRESULT Tvor7zMtBlocksDecoder::ReportProgress(UInt64 bytes) { return FProgress ? FProgress->Add(bytes) : S_OK; }

void Tvor7zMtBlocksDecoder::ReserveBuffers(Tvor7zBlockJob &job, UInt32 inSize, UInt32 outSize) {
  // Uninitialised: every byte is written before it is read.
  if (!job.InBuffer || job.InCapacity < inSize) {
    job.InBuffer.reset();
    job.InCapacity = 0;
    job.InBuffer.reset(new Byte[inSize]);
    job.InCapacity = inSize;
  }
  if (!job.OutBuffer || job.OutCapacity < outSize) {
    job.OutBuffer.reset();
    job.OutCapacity = 0;
    job.OutBuffer.reset(new Byte[outSize]);
    job.OutCapacity = outSize;
  }
  if (!job.InStream)
    job.InStream = new Tvor7zFixedMemoryInStream();
  if (!job.OutMemStream)
    job.OutMemStream = new Tvor7zFixedMemorySequentialOutStream();
  if (!job.OutCounter)
    job.OutCounter = new Tvor7zSizeSequentialOutStream();
}

Int32 Tvor7zMtBlocksDecoder::Decode(Tvor7zBlocks *blocks, IInStream *inStream, ISequentialOutStream *outStream,
                                    Tvor7zProgress *progress, Int32 threadCount) {
  CheckPointer(blocks);
  if (blocks->GetTotalSize() == 0)
    return kOK;
  const UInt64 count = blocks->GetCount();
  CheckPointer(inStream);

  FBlocks = blocks;
  FInStream = inStream;
  if (!FOutCounter)
    FOutCounter = new Tvor7zSizeSequentialOutStream();
  FOutCounter->SetStream(outStream);
  FProgress = progress;
  // Let go of the caller's objects on every way out.
  struct TRelease {
    Tvor7zMtBlocksDecoder &D;
    ~TRelease() {
      D.FBlocks = nullptr;
      D.FInStream = nullptr;
      D.FOutCounter->SetStream(nullptr);
      if (D.FLimitStream)
        D.FLimitStream->SetStream(nullptr, 0);
      D.FProgressStream = nullptr;
      D.FProgress = nullptr;
    }
  } release{*this};

  // Known before any block is read: a paged table reads its pages as the blocks are fetched.
  FMaxStoredSize = blocks->GetMaxStoredSize();
  FMaxSize = blocks->GetMaxSize();
  const UInt64 perWorker = static_cast<UInt64>(FMaxStoredSize) + FMaxSize;
  const UInt32 processors = PlatformProcessorCount();
  const Int32 workers = GetWorkerCount(threadCount, processors > FBusyProcessors ? processors - FBusyProcessors : 1,
                                       count, perWorker);
  FStreaming = perWorker > kMaxJobMemory;
  if (count > 0 && workers >= 2) {
    Run(workers);
  } else if (count > 0) {
    // One job, never a thread: its stages run here, and one job's buffers stay in the cache.
    Tvor7zMtBlocksDecoderThread worker(*this, FMaxStoredSize, FMaxSize, 1, FStreaming);
    RunInCaller(worker);
  }

  // The final result from what the jobs recorded in image order.
  const HRESULT hr = ErrorCode();
  CheckHResult(hr);
  // A stage that raised a success code stopped the run: never report that as complete.
  Int32 result = WorseOperationResult(FWorstResult, hr != S_OK ? kDataError : kOK);
  // The image keeps its size: what no block reaches reads as missing.
  const UInt64 total = FOutCounter->Count();
  if (hr == S_OK && total < blocks->GetTotalSize()) {
    WriteLost(blocks->GetTotalSize() - total);
    result = WorseOperationResult(result, kUnexpectedEnd);
  } else if (total > blocks->GetTotalSize()) {
    result = WorseOperationResult(result, kDataError);
  }
  return result;
}

void Tvor7zMtBlocksDecoder::RunInCaller(Tvor7zMtBlocksDecoderThread &worker) {
  while (!Stopped() && worker.DoFetch()) {
    worker.DoProcess();
    if (!worker.DoWrite())
      break;
  }
}

bool Tvor7zMtBlocksDecoder::NextJob(Tvor7zBlockJob &job) {
  if (FFetchEnded || FNextBlock >= FBlocks->GetCount())
    return false;
  job.Index = FNextBlock++;
  job.Block = FBlocks->GetBlock(job.Index);
  // A block that cannot be located or read costs itself only: it is written as zeros at its place
  // in the write order. A block too large to buffer is read at its write.
  if (!job.Block.Valid || (job.Buffered && !ReadJob(job))) {
    SetJobResult(job, kUnexpectedEnd);
    job.FLost = true;
  }
  return true;
}

bool Tvor7zMtBlocksDecoder::ReadJob(Tvor7zBlockJob &job) {
  const Tvor7zBlock_ &block = job.Block;
  if (!job.InBuffer || job.InCapacity < block.StoredSize) {
    job.InBuffer.reset();
    job.InCapacity = 0;
    job.InBuffer.reset(new Byte[block.StoredSize]);
    job.InCapacity = block.StoredSize;
  }
  job.InSize = static_cast<UInt32>(ReadAt(FInStream, block.Offset, job.InBuffer.get(), block.StoredSize));
  if (job.InSize == 0)
    return false;
  if (job.InSize != block.StoredSize)
    SetJobResult(job, kUnexpectedEnd);
  return true;
}

Int32 Tvor7zMtBlocksDecoder::DecodeBlock(Tvor7zBlockJob &, ISequentialInStream *, ISequentialOutStream *) {
  return kUnsupportedMethod;
}

void Tvor7zMtBlocksDecoder::DecodeJob(Tvor7zBlockJob &job) {
  ReserveBuffers(job, 0, job.Block.Size);
  job.InStream->SetData(job.InBuffer.get(), job.InSize, false);
  job.OutMemStream->SetBuffer(job.OutBuffer.get(), job.OutCapacity);
  job.OutCounter->SetStream(job.OutMemStream);
  job.FHasDirectOutput = false;
  job.FOutData = nullptr;
  const Int32 r = DecodeBlock(job, job.InStream, job.OutCounter);
  job.OutSize = std::min<UInt64>(job.FHasDirectOutput ? job.FDirectOutput : job.OutCounter->Count(), job.OutCapacity);
  SetJobResult(job, r);
}

void Tvor7zMtBlocksDecoder::StreamJob(Tvor7zBlockJob &job) {
  const Tvor7zBlock_ &block = job.Block;
  if (!FLimitStream)
    FLimitStream = new Tvor7zLimitSequentialInStream();
  // Progress, and with it the host's cancel, as the bytes go out: one block here may claim
  // gigabytes (a sparse page, a chunk of zeros).
  if (!FProgressStream)
    FProgressStream = new Tvor7zProgressSequentialOutStream(FProgress, FOutCounter);
  if (!job.OutCounter)
    job.OutCounter = new Tvor7zSizeSequentialOutStream();
  // A block with nothing stored (a pattern, zeros) is made by its format's hook without reading;
  // its Offset may then hold something else than a position.
  if (block.StoredSize > 0)
    SeekTo(FInStream, static_cast<Int64>(block.Offset));
  FLimitStream->SetStream(FInStream, block.StoredSize);
  job.OutCounter->SetStream(FProgressStream);
  const Int32 r = DecodeBlock(job, FLimitStream, job.OutCounter);
  job.OutSize = job.OutCounter->Count();
  SetJobResult(job, r);
  SetJobResult(job, job.OutSize < block.Size ? kUnexpectedEnd : job.OutSize > block.Size ? kDataError : kOK);
}

void Tvor7zMtBlocksDecoder::WriteJob(Tvor7zBlockJob &job) {
  const UInt64 size = job.Block.Size;
  UInt64 written = 0;
  if (job.FLost) {
    job.OutSize = 0;
  } else if (!job.Buffered) {
    StreamJob(job);
    written = job.OutSize;
  } else if (job.Result != kDataError && job.Result != kUnsupportedMethod) {
    // Bytes of a block that fails to decode are not trusted; a short block's are its own.
    written = std::min(job.OutSize, size);
    const Byte *data = job.FOutData ? job.FOutData : job.OutBuffer.get();
    CheckHResult(WriteStream(FOutCounter, data, static_cast<size_t>(written)));
    CheckHResult(ReportProgress(written));
  }
  if (written < size)
    WriteLost(size - written);
  TakeResult(job);
}

void Tvor7zMtBlocksDecoder::WriteLost(UInt64 size) { CheckHResult(WriteZerosWithProgress(FProgress, FOutCounter, size)); }

void Tvor7zMtBlocksDecoder::TakeResult(Tvor7zBlockJob &job) {
  const Int32 result = job.Result == kOK && !job.FLost && job.OutSize != job.Block.Size ? kDataError : job.Result;
  FWorstResult = WorseOperationResult(WorseOperationResult(FWorstResult, result), job.DeferredResult);
}

// ---- worker ----

UInt32 Tvor7zMtBlocksDecoderThread::GetJobsPerTurn(UInt64 perWorker) {
  if (perWorker == 0)
    return kMaxJobsPerTurn;
  return static_cast<UInt32>(std::clamp<UInt64>(kTurnBytes / perWorker, 1, kMaxJobsPerTurn));
}

Tvor7zMtBlocksDecoderThread::Tvor7zMtBlocksDecoderThread(Tvor7zMtBlocksDecoder &decoder, UInt32 maxStoredSize,
                                                         UInt32 maxSize, UInt32 jobCount, bool streaming)
    : Tvor7zMtThread(decoder), FDecoder(decoder) {
  FJobs.resize(streaming ? 1 : std::max<UInt32>(jobCount, 1));
  for (auto &job : FJobs) {
    job = decoder.NewJob();
    job->Buffered = !streaming;
    if (!streaming)
      Tvor7zMtBlocksDecoder::ReserveBuffers(*job, maxStoredSize, maxSize);
  }
}

bool Tvor7zMtBlocksDecoderThread::DoFetch() {
  FFetched = 0;
  for (auto &p : FJobs) {
    Tvor7zBlockJob &job = *p;
    job.Result = 0;
    job.DeferredResult = 0;
    job.InSize = 0;
    job.OutSize = 0;
    job.FLost = false;
    job.FEnded = false;
    job.FFailure = nullptr;
    try {
      if (!FDecoder.NextJob(job))
        break;
    } catch (...) {
      // Raised at this job's write, after the blocks read before it; nothing more is read.
      FDecoder.FFetchEnded = true;
      job.FFailure = std::current_exception();
      job.FEnded = true;
    }
    ++FFetched;
    if (job.FEnded)
      break;
  }
  return FFetched > 0;
}

bool Tvor7zMtBlocksDecoderThread::DoProcess() {
  for (UInt32 k = 0; k < FFetched; ++k) {
    Tvor7zBlockJob &job = *FJobs[k];
    if (job.FEnded || !job.Buffered)
      break;
    if (job.FLost)
      continue;
    try {
      FDecoder.DecodeJob(job);
    } catch (...) {
      job.FFailure = std::current_exception();
      break;  // nothing after a failed job is decoded or written
    }
  }
  return true;
}

bool Tvor7zMtBlocksDecoderThread::DoWrite() {
  for (UInt32 k = 0; k < FFetched; ++k) {
    Tvor7zBlockJob &job = *FJobs[k];
    if (job.FFailure)
      std::rethrow_exception(job.FFailure);
    if (FData.Stopped())
      return false;
    FDecoder.WriteJob(job);
  }
  return true;
}
