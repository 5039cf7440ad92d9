#include "blocks/MtBlocksDecoder.h"

#include <algorithm>
#include <utility>

#include "platform/Platform.h"
#include "host/Errors.h"

using namespace NOperationResult;

Tvor7zBlockJob::~Tvor7zBlockJob() = default;

Tvor7zMtBlocksDecoder::Tvor7zMtBlocksDecoder() = default;
Tvor7zMtBlocksDecoder::~Tvor7zMtBlocksDecoder() = default;

std::unique_ptr<Tvor7zBlockJob> Tvor7zMtBlocksDecoder::NewJob() { return std::make_unique<Tvor7zBlockJob>(); }

std::unique_ptr<Tvor7zMtThread> Tvor7zMtBlocksDecoder::NewThread() {
  const UInt64 perWorker = static_cast<UInt64>(FMaxStoredSize) + FMaxSize;
  return std::make_unique<Tvor7zMtBlocksDecoderThread>(*this, FMaxStoredSize, FMaxSize,
                                                       FJobsPerTurn != 0
                                                           ? FJobsPerTurn
                                                           : Tvor7zMtBlocksDecoderThread::GetJobsPerTurn(perWorker));
}

Int32 Tvor7zMtBlocksDecoder::GetWorkerCount(Int32 requested, UInt32 processors, UInt32 blockCount, UInt64 perWorker) {
  Int64 count = requested;
  if (count <= 0)
    count = std::min<Int64>(processors, kMaxAutoThreads);
  count = std::clamp<Int64>(count, 1, kMaxThreads);
  if (count > blockCount)
    count = std::max<UInt32>(blockCount, 1);
  // 64-bit product: two 32-bit buffer sizes times the count overflow 32 bits easily.
  if (perWorker > 0 && static_cast<UInt64>(count) * perWorker > kMaxJobMemory)
    count = std::max<Int64>(static_cast<Int64>(kMaxJobMemory / perWorker), 1);
  return static_cast<Int32>(count);
}

Int32 Tvor7zMtBlocksDecoder::CoderResultToOperationResult(HRESULT hr) {
  switch (hr) {
  case S_OK:
    return NOperationResult::kOK;
  case S_FALSE:
    return NOperationResult::kDataError;
  case E_NOTIMPL:
    return NOperationResult::kUnsupportedMethod;
  default:
    RaiseHResult(hr);
  }
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
  const UInt32 count = blocks->GetCount();
  if (count == 0)
    return kUnexpectedEnd;
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
      if (D.FSingleJob && D.FSingleJob->OutCounter)
        D.FSingleJob->OutCounter->SetStream(nullptr);
      if (D.FLimitStream)
        D.FLimitStream->SetStream(nullptr, 0);
      D.FProgress = nullptr;
    }
  } release{*this};

  FMaxStoredSize = 0;
  FMaxSize = 0;
  for (UInt32 i = 0; i < count; ++i) {
    const Tvor7zBlock_ *b = blocks->GetBlock(i);
    FMaxStoredSize = std::max(FMaxStoredSize, b->StoredSize);
    FMaxSize = std::max(FMaxSize, b->Size);
  }
  const UInt64 perWorker = static_cast<UInt64>(FMaxStoredSize) + FMaxSize;
  const UInt32 processors = PlatformProcessorCount();
  const Int32 workers = GetWorkerCount(threadCount, processors > FBusyProcessors ? processors - FBusyProcessors : 1,
                                       count, perWorker);

  Int32 result;
  if (workers >= 2) {
    Run(workers);
    const HRESULT hr = ErrorCode();
    if (hr < 0)
      RaiseHResult(hr);
    result = Result();
    // A stage that raised a success code still stopped the run: never report that as complete.
    if (result == kOK && hr != S_OK)
      result = kDataError;
  } else {
    result = perWorker <= kMaxJobMemory ? DecodeSingle() : DecodeSingleStreaming(*EnsureSingleJob());
  }

  if (result == kOK) {
    const UInt64 total = FOutCounter->Count();
    if (total < blocks->GetTotalSize())
      result = kUnexpectedEnd;
    else if (total > blocks->GetTotalSize())
      result = kDataError;
  }
  return result;
}

Tvor7zBlockJob *Tvor7zMtBlocksDecoder::EnsureSingleJob() {
  if (!FSingleJob)
    FSingleJob = NewJob();
  return FSingleJob.get();
}

Int32 Tvor7zMtBlocksDecoder::DecodeSingle() {
  // The workers' stages in the caller's thread: the same results as a parallel run, and the
  // formats' in-memory decode applies here too.
  Tvor7zBlockJob &job = *EnsureSingleJob();
  ReserveBuffers(job, FMaxStoredSize, FMaxSize);
  job.Buffered = true;
  for (;;) {
    job.Result = 0;
    job.InSize = 0;
    job.OutSize = 0;
    job.FEnded = false;
    if (Stopped() || !NextJob(job))
      break;
    if (job.FEnded) {
      SetResult(job.Result);
      break;
    }
    if (!DecodeJob(job) || Stopped() || !WriteJob(job))
      break;
  }
  FinishJob(job);
  if (job.DeferredResult != 0)
    SetResult(job.DeferredResult);
  if (ErrorCode() < 0)
    RaiseHResult(ErrorCode());
  return Result();
}

Int32 Tvor7zMtBlocksDecoder::DecodeSingleStreaming(Tvor7zBlockJob &job) {
  // Blocks too large to buffer stream from the container through the coder into the output.
  if (!FLimitStream)
    FLimitStream = new Tvor7zLimitSequentialInStream();
  if (!job.OutCounter)
    job.OutCounter = new Tvor7zSizeSequentialOutStream();
  job.Buffered = false;
  Int32 result = kOK;
  const UInt32 count = FBlocks->GetCount();
  for (UInt32 i = 0; i < count && result == kOK; ++i) {
    job.InSize = 0;
    job.OutSize = 0;
    job.Result = 0;
    job.FHasDirectOutput = false;
    const Tvor7zBlock_ *block = FBlocks->GetBlock(i);
    if (!block->Valid) {
      result = kUnexpectedEnd;
      break;
    }
    job.Block = block;
    const HRESULT hr = FInStream->Seek(static_cast<Int64>(block->Offset), STREAM_SEEK_SET, nullptr);
    if (hr != S_OK)
      RaiseHResult(hr);
    FLimitStream->SetStream(FInStream, block->StoredSize);
    job.OutCounter->SetStream(FOutCounter);
    const Int32 r = DecodeBlock(job, FLimitStream, job.OutCounter);
    const UInt64 written = job.OutCounter->Count();
    job.OutSize = written;
    const HRESULT pr = ReportProgress(written);
    if (pr != S_OK)
      RaiseHResult(pr);
    result = r != 0 ? r : job.Result;
    if (result == kOK) {
      if (written < block->Size)
        result = kUnexpectedEnd;
      else if (written > block->Size)
        result = kDataError;
    }
  }
  FinishJob(job);
  if (result == kOK)
    result = job.DeferredResult;
  return result;
}

bool Tvor7zMtBlocksDecoder::NextJob(Tvor7zBlockJob &job) {
  if (FFetchEnded || FNextBlock >= FBlocks->GetCount())
    return false;
  job.Block = FBlocks->GetBlock(FNextBlock++);
  // A block that cannot be read ends the work at its place in the write order, so the blocks
  // fetched before it are still written.
  if (!job.Block->Valid || !ReadJob(job)) {
    SetJobResult(job, kUnexpectedEnd);
    job.FEnded = true;
    FFetchEnded = true;
  }
  return true;
}

bool Tvor7zMtBlocksDecoder::ReadJob(Tvor7zBlockJob &job) {
  const Tvor7zBlock_ &block = *job.Block;
  if (!job.InBuffer || job.InCapacity < block.StoredSize) {
    job.InBuffer.reset();
    job.InCapacity = 0;
    job.InBuffer.reset(new Byte[block.StoredSize]);
    job.InCapacity = block.StoredSize;
  }
  const HRESULT hr = FInStream->Seek(static_cast<Int64>(block.Offset), STREAM_SEEK_SET, nullptr);
  if (hr != S_OK)
    RaiseHResult(hr);
  size_t got = 0;
  CheckHResult(ReadStream(FInStream, job.InBuffer.get(), block.StoredSize, &got));
  job.InSize = static_cast<UInt32>(got);
  if (job.InSize == 0)
    return false;
  if (job.InSize != block.StoredSize)
    SetJobResult(job, kUnexpectedEnd);
  return true;
}

Int32 Tvor7zMtBlocksDecoder::DecodeBlock(Tvor7zBlockJob &, ISequentialInStream *, ISequentialOutStream *) {
  return kUnsupportedMethod;
}

bool Tvor7zMtBlocksDecoder::DecodeJob(Tvor7zBlockJob &job) {
  ReserveBuffers(job, 0, job.Block->Size);
  job.InStream->SetData(job.InBuffer.get(), job.InSize, false);
  job.OutMemStream->SetBuffer(job.OutBuffer.get(), job.OutCapacity);
  job.OutCounter->SetStream(job.OutMemStream);
  job.FHasDirectOutput = false;
  job.FOutData = nullptr;
  const Int32 r = DecodeBlock(job, job.InStream, job.OutCounter);
  job.OutSize = std::min<UInt64>(job.FHasDirectOutput ? job.FDirectOutput : job.OutCounter->Count(), job.OutCapacity);
  job.FHasDirectOutput = false;
  SetJobResult(job, r);
  return true;
}

bool Tvor7zMtBlocksDecoder::WriteJob(Tvor7zBlockJob &job) {
  if (job.OutSize > 0) {
    const Byte *data = job.FOutData ? job.FOutData : job.OutBuffer.get();
    CheckHResult(WriteStream(FOutCounter, data, static_cast<size_t>(job.OutSize)));
    const HRESULT hr = ReportProgress(job.OutSize);
    if (hr != S_OK)
      RaiseHResult(hr);
  }
  if (job.Result == kOK && job.OutSize == job.Block->Size)
    return true;
  SetResult(job.Result != kOK ? job.Result : kDataError);
  return false;
}

UInt32 Tvor7zMtBlocksDecoderThread::GetJobsPerTurn(UInt64 perWorker) {
  if (perWorker == 0)
    return kMaxJobsPerTurn;
  return static_cast<UInt32>(std::clamp<UInt64>(kTurnBytes / perWorker, 1, kMaxJobsPerTurn));
}

Tvor7zMtBlocksDecoderThread::Tvor7zMtBlocksDecoderThread(Tvor7zMtBlocksDecoder &decoder, UInt32 maxStoredSize,
                                                         UInt32 maxSize, UInt32 jobCount)
    : Tvor7zMtThread(decoder), FDecoder(decoder) {
  FJobs.resize(std::max<UInt32>(jobCount, 1));
  for (auto &job : FJobs) {
    job = decoder.NewJob();
    Tvor7zMtBlocksDecoder::ReserveBuffers(*job, maxStoredSize, maxSize);
    job->Buffered = true;
  }
}

Tvor7zMtBlocksDecoderThread::~Tvor7zMtBlocksDecoderThread() {
  Join();
  for (const auto &job : FJobs)
    if (job && job->DeferredResult != 0) {
      FDecoder.SetResult(job->DeferredResult);
      break;
    }
}

bool Tvor7zMtBlocksDecoderThread::DoFetch() {
  FFetched = 0;
  FStopAt = ~0u;
  FFailure = nullptr;
  for (auto &p : FJobs) {
    Tvor7zBlockJob &job = *p;
    job.Result = 0;
    job.InSize = 0;
    job.OutSize = 0;
    job.FEnded = false;
    try {
      if (!FDecoder.NextJob(job))
        break;
    } catch (...) {
      // Reported at this job's write, after the blocks read before it; nothing more is read.
      FDecoder.FFetchEnded = true;
      FStopAt = FFetched;
      FFailure = std::current_exception();
      return true;
    }
    ++FFetched;
    if (job.FEnded)
      break;
  }
  return FFetched > 0;
}

bool Tvor7zMtBlocksDecoderThread::DoProcess() {
  // A failing job is remembered and reported at its write, after the jobs before it were written.
  for (UInt32 k = 0; k < FFetched && k < FStopAt; ++k) {
    Tvor7zBlockJob &job = *FJobs[k];
    if (job.FEnded)
      break;
    try {
      if (!FDecoder.DecodeJob(job)) {
        FStopAt = k;
        break;
      }
    } catch (...) {
      FStopAt = k;
      FFailure = std::current_exception();
      break;
    }
  }
  return true;
}

bool Tvor7zMtBlocksDecoderThread::DoWrite() {
  for (UInt32 k = 0; k < FFetched || k == FStopAt; ++k) {
    if (k == FStopAt) {
      if (FFailure)
        std::rethrow_exception(std::exchange(FFailure, nullptr));
      return false;
    }
    Tvor7zBlockJob &job = *FJobs[k];
    if (job.FEnded) {
      FDecoder.SetResult(job.Result);
      return false;
    }
    if (FData.Stopped() || !FDecoder.WriteJob(job))
      return false;
  }
  return true;
}

void Tvor7zMtBlocksDecoderThread::DoFinish() {
  for (auto &job : FJobs)
    FDecoder.FinishJob(*job);
}
