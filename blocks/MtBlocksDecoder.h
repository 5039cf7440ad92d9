// Decodes a whole image described by a block table to an output stream, strictly in image order,
// on up to three worker threads when memory allows and in the caller's thread otherwise. Formats
// derive from it and supply DecodeBlock (and, where needed, their own job state and ReadJob).
#pragma once

#include <exception>
#include <memory>
#include <vector>

#include "blocks/Blocks.h"
#include "blocks/MtData.h"
#include "streams/InStreams.h"
#include "streams/OutStreams.h"
#include "streams/Progress.h"

// One block in flight with its buffers and streams. Formats derive from it to keep their coder,
// hasher and scratch objects (created on first use, released by their destructor) and hand it
// out from NewJob. Each worker owns its jobs and reuses them for every block it handles.
struct alignas(kvorCacheLine) Tvor7zBlockJob {
  Tvor7zBlockJob() = default;
  Tvor7zBlockJob(const Tvor7zBlockJob &) = delete;
  Tvor7zBlockJob &operator=(const Tvor7zBlockJob &) = delete;
  virtual ~Tvor7zBlockJob();

  UInt64 Index = 0;       // of the block this job holds
  Tvor7zBlock_ Block{};   // a copy of it
  std::unique_ptr<Byte[]> InBuffer;  // stored bytes of the block
  UInt32 InCapacity = 0;
  UInt32 InSize = 0;  // stored bytes actually read
  ComPtr<Tvor7zFixedMemoryInStream> InStream;  // over InBuffer, InSize bytes
  std::unique_ptr<Byte[]> OutBuffer;           // decoded bytes
  UInt32 OutCapacity = 0;
  UInt64 OutSize = 0;  // decoded bytes produced
  ComPtr<Tvor7zFixedMemorySequentialOutStream> OutMemStream;  // into OutBuffer
  ComPtr<Tvor7zSizeSequentialOutStream> OutCounter;           // counts what DecodeBlock writes
  Int32 Result = 0;          // the block's result; set only while 0 (SetJobResult)
  Int32 DeferredResult = 0;  // a checksum result reported after the whole image; set only while 0

  // True while DecodeBlock runs on in-memory buffers: the stored bytes are InBuffer[0, InSize)
  // and the output stream writes into OutBuffer (OutCapacity bytes, at least Block.Size). The
  // hook may then decode straight from InBuffer into OutBuffer (for example with
  // TvorFlateDecodeDecoder::DecodeBuffer) and report the bytes with SetDirectOutput instead of
  // writing to the output stream. False on the streaming path used for very large blocks.
  bool Buffered = false;
  void SetDirectOutput(UInt64 bytes) noexcept { SetOutput(OutBuffer.get(), bytes); }
  // The decoded bytes are `size` bytes at `data` (in OutBuffer, or in InBuffer for a block stored as
  // it is), not what went to the output stream.
  void SetOutput(const Byte *data, UInt64 size) noexcept {
    FOutData = data;
    FDirectOutput = size;
    FHasDirectOutput = true;
  }

private:
  friend class Tvor7zMtBlocksDecoder;
  friend class Tvor7zMtBlocksDecoderThread;
  bool FLost = false;           // the block cannot be located or read: written as zeros
  bool FEnded = false;          // fetching it raised: the job only carries the failure
  std::exception_ptr FFailure;  // raised while the block was read or decoded; raised again at its write
  bool FHasDirectOutput = false;
  UInt64 FDirectOutput = 0;
  const Byte *FOutData = nullptr;  // where WriteJob takes the decoded bytes from; nil = OutBuffer
};

class Tvor7zMtBlocksDecoderThread;

class Tvor7zMtBlocksDecoder : public Tvor7zMtData {
public:
  Tvor7zMtBlocksDecoder();
  ~Tvor7zMtBlocksDecoder() override;

  // Decodes every block of `blocks` from `inStream` to `outStream` and returns the operation
  // result. A block that cannot be located, read or decoded never stops the decode: it is written
  // as zeros of its size (so is what the table does not reach of the total size) and the rest
  // follows at its place. The result is the worst met (WorseOperationResult): kUnexpectedEnd for
  // blocks missing or cut short, kDataError for blocks that do not decode or decode to another
  // size, a deferred checksum result for bytes written all the same.
  // threadCount 0 = automatic. One worker runs the same stages in the caller's thread, so the
  // results do not depend on the worker count (only blocks too large to buffer are streamed).
  // Stream failures and the host's cancel raise (after all workers stopped). Call once per object.
  virtual Int32 Decode(Tvor7zBlocks *blocks, IInStream *inStream, ISequentialOutStream *outStream,
                       Tvor7zProgress *progress, Int32 threadCount);

  // Worker count for a table of blockCount blocks needing perWorker bytes of job buffers:
  // requested (0 = processors, at most kMaxAutoThreads), at most blockCount, and within
  // kMaxJobMemory in total, at least 1.
  static Int32 GetWorkerCount(Int32 requested, UInt32 processors, UInt64 blockCount, UInt64 perWorker);

  // Processors the caller keeps busy during Decode (a digest hashed in the background): the
  // automatic worker count leaves them to it, so that workers do not take turns with it.
  void SetBusyProcessors(UInt32 count) { FBusyProcessors = count; }

  // Blocks a worker takes per turn; 0 (the default) sizes the turn from the block sizes.
  void SetJobsPerTurn(UInt32 count) { FJobsPerTurn = count; }

  static constexpr Int32 kMaxAutoThreads = 3;
  static constexpr UInt64 kMaxJobMemory = 128u << 20;

  // Adds to the progress object; its HRESULT (S_OK without one). Callers raise a non-zero one.
  HRESULT ReportProgress(UInt64 bytes);
  static void SetJobResult(Tvor7zBlockJob &job, Int32 result) noexcept {
    if (result != 0 && job.Result == 0)
      job.Result = result;
  }
  // The result DecodeBlock returns for a block's operation result: a checksum that fails or is
  // missing (kCRCError, kHeadersError) is kept for after the whole image and the block's bytes are
  // written (kOK); anything else is the block's result.
  static Int32 DeferChecksumResult(Tvor7zBlockJob &job, Int32 result) noexcept {
    if (result != NOperationResult::kCRCError && result != NOperationResult::kHeadersError)
      return result;
    if (job.DeferredResult == 0)
      job.DeferredResult = result;
    return NOperationResult::kOK;
  }

  // ---- The stages of one job; every worker (and the caller's thread) runs them in this order:
  // NextJob (under the fetch lock) with ReadJob, DecodeJob with DecodeBlock, WriteJob (in image order).
  // Reads the block's stored bytes into InBuffer. A short read sets kUnexpectedEnd on the job and
  // returns True (what the bytes give is written, the rest of the block as zeros). Return False
  // when the block cannot be read at all: it is written as zeros (its Result, kUnexpectedEnd when
  // left 0, counts).
  virtual bool ReadJob(Tvor7zBlockJob &job);
  // Decodes job.Block from inStream to outStream. Return 0, or the block's operation result:
  // kDataError or kUnsupportedMethod mean that its decoded bytes are not to be trusted (the block
  // is written as zeros), other results keep them; record a soft failure (checksum mismatch) with
  // DeferChecksumResult; raise to stop with an exception. The base returns kUnsupportedMethod.
  virtual Int32 DecodeBlock(Tvor7zBlockJob &job, ISequentialInStream *inStream, ISequentialOutStream *outStream);
  // In image order: writes the job's decoded bytes (a block too large to buffer is decoded here,
  // straight to the output), zeros for what the block could not give, and reports progress.
  virtual void WriteJob(Tvor7zBlockJob &job);

protected:
  // The job record of this decoder; formats return their derived record.
  virtual std::unique_ptr<Tvor7zBlockJob> NewJob();
  std::unique_ptr<Tvor7zMtThread> NewThread() override;

  // Makes sure InBuffer/OutBuffer hold at least the given sizes and the memory streams exist.
  static void ReserveBuffers(Tvor7zBlockJob &job, UInt32 inSize, UInt32 outSize);

  ComPtr<Tvor7zBlocks> FBlocks;
  ComPtr<IInStream> FInStream;
  ComPtr<Tvor7zSizeSequentialOutStream> FOutCounter;
  Tvor7zProgress *FProgress = nullptr;  // not owned
  UInt64 FNextBlock = 0;
  bool FFetchEnded = false;  // a block ended the work; nothing more is fetched
  UInt32 FMaxStoredSize = 0;
  UInt32 FMaxSize = 0;
  UInt32 FJobsPerTurn = 0;
  UInt32 FBusyProcessors = 0;

private:
  friend class Tvor7zMtBlocksDecoderThread;
  // Hands out the next block and reads it. False = no more blocks. A block that cannot be read
  // (invalid, or no stored bytes) is lost: the job carries kUnexpectedEnd and is written as zeros.
  bool NextJob(Tvor7zBlockJob &job);
  // Runs DecodeBlock over the job's buffers and sets OutSize and the job's result.
  void DecodeJob(Tvor7zBlockJob &job);
  // Decodes a block too large to buffer from the container through DecodeBlock to the output, with
  // progress as the bytes go out. A block short of its size gives kUnexpectedEnd, a long one kDataError.
  void StreamJob(Tvor7zBlockJob &job);
  // The one place a written job's results count, in image order: its result (a size other than
  // its block's is kDataError) and its deferred result join the worst met.
  void TakeResult(Tvor7zBlockJob &job);
  // Zeros in place of `size` bytes that could not be read, with progress.
  void WriteLost(UInt64 size);
  // The workers' loop in the caller's thread: the same stages, without threads or events.
  void RunInCaller(Tvor7zMtBlocksDecoderThread &worker);

  ComPtr<Tvor7zLimitSequentialInStream> FLimitStream;
  ComPtr<Tvor7zProgressSequentialOutStream> FProgressStream;
  bool FStreaming = false;   // the blocks are too large to buffer: one worker streams them
  Int32 FWorstResult = 0;    // the worst result of the blocks written (written in order)
};

// Worker of the decoder. It takes a run of consecutive blocks per turn, one job record each, so
// that the per-turn synchronisation is paid once for several small blocks. Its jobs and their
// buffers are allocated before the thread starts.
class Tvor7zMtBlocksDecoderThread : public Tvor7zMtThread {
public:
  // `jobCount` jobs with buffers for blocks of the given sizes; `streaming`: one job, no buffers.
  Tvor7zMtBlocksDecoderThread(Tvor7zMtBlocksDecoder &decoder, UInt32 maxStoredSize, UInt32 maxSize, UInt32 jobCount,
                              bool streaming);

  // Job buffers a worker may hold for a turn of several blocks.
  static constexpr UInt64 kTurnBytes = 1024u << 10;
  static constexpr UInt32 kMaxJobsPerTurn = 32;
  // Jobs per turn for blocks needing perWorker bytes of buffers each.
  static UInt32 GetJobsPerTurn(UInt64 perWorker);

protected:
  // A job that raises while it is read or decoded keeps the exception; it is raised again at the
  // job's write, after the jobs before it were written, and nothing after it is fetched or decoded.
  bool DoFetch() override;
  bool DoProcess() override;
  bool DoWrite() override;

private:
  friend class Tvor7zMtBlocksDecoder;
  Tvor7zMtBlocksDecoder &FDecoder;
  std::vector<std::unique_ptr<Tvor7zBlockJob>> FJobs;
  UInt32 FFetched = 0;  // jobs taken this turn
};
