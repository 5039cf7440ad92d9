// Worker pipeline and parallel block decoder, driven by a test format whose blocks are zlib data.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "blocks/FlateDecoder.h"
#include "blocks/MtBlocksDecoder.h"
#include "BlockImage.h"
#include "fixtures/TestStreams.h"
#include "host/Errors.h"

using namespace NOperationResult;

using namespace blockimage;

namespace {

constexpr HRESULT kDenied = static_cast<HRESULT>(0x80070005u);

// ---------------------------------------------------------------------------------------------
// The bare pipeline: jobs are numbers, writes append to a list.

class TCountingData;

class TCountingThread : public Tvor7zMtThread {
public:
  explicit TCountingThread(TCountingData &data);

protected:
  bool DoFetch() override;
  bool DoProcess() override;
  bool DoWrite() override;

private:
  TCountingData &FOwner;
  int FJob = -1;
};

class TCountingData : public Tvor7zMtData {
public:
  int JobCount = 10;
  int ProcessThrowAt = -1;  // DoProcess raises on this job
  int WriteStopAt = -1;     // DoWrite records result 2 and answers False on this job
  std::function<void(int)> ProcessDelay;
  int Next = 0;  // under the fetch lock
  std::vector<int> Written;  // ordered by the event chain
  std::atomic<int> Threads{0};

protected:
  std::unique_ptr<Tvor7zMtThread> NewThread() override {
    ++Threads;
    return std::make_unique<TCountingThread>(*this);
  }
};

TCountingThread::TCountingThread(TCountingData &data) : Tvor7zMtThread(data), FOwner(data) {}

bool TCountingThread::DoFetch() {
  if (FOwner.Next >= FOwner.JobCount)
    return false;
  FJob = FOwner.Next++;
  return true;
}

bool TCountingThread::DoProcess() {
  if (FOwner.ProcessDelay)
    FOwner.ProcessDelay(FJob);
  if (FJob == FOwner.ProcessThrowAt)
    RaiseHResult(kDenied);
  return true;
}

bool TCountingThread::DoWrite() {
  FOwner.Written.push_back(FJob);
  if (FJob == FOwner.WriteStopAt) {
    FData.SetResult(2);
    return false;
  }
  return true;
}

std::vector<int> Range(int n) {
  std::vector<int> r(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i)
    r[static_cast<size_t>(i)] = i;
  return r;
}

void SleepUs(int us) { std::this_thread::sleep_for(std::chrono::microseconds(us)); }

TEST(MtData, ClampsWorkerCountAndRunsEveryJob) {
  TCountingData none;
  none.Run(0);
  EXPECT_EQ(none.Threads.load(), 1);
  EXPECT_EQ(none.Written, Range(10));

  TCountingData many;
  many.JobCount = 300;
  many.Run(200);
  EXPECT_EQ(many.Threads.load(), Tvor7zMtData::kMaxThreads);
  EXPECT_EQ(many.Written, Range(300));
  EXPECT_EQ(many.Result(), 0);
  EXPECT_EQ(many.ErrorCode(), S_OK);
}

TEST(MtData, WritesInFetchOrderWhenLaterJobsFinishFirst) {
  TCountingData d;
  d.JobCount = 30;
  d.ProcessDelay = [](int job) { SleepUs((30 - job) * 300); };
  d.Run(3);
  EXPECT_EQ(d.Written, Range(30));
}

TEST(MtData, ProcessExceptionStopsAfterEarlierJobsAreWritten) {
  TCountingData d;
  d.JobCount = 40;
  d.ProcessThrowAt = 4;
  // Earlier jobs are the slow ones, so the failing job is processed before they are written.
  d.ProcessDelay = [](int job) { SleepUs(job < 4 ? 20000 : 0); };
  d.Run(3);
  EXPECT_EQ(d.Written, Range(4));
  EXPECT_EQ(d.ErrorCode(), kDenied);
}

TEST(MtData, WriteThatStopsEndsTheRun) {
  TCountingData d;
  d.JobCount = 50;
  d.WriteStopAt = 2;
  d.Run(3);
  EXPECT_EQ(d.Written, Range(3));
  EXPECT_EQ(d.Result(), 2);
  EXPECT_EQ(d.ErrorCode(), S_OK);
}

// ---------------------------------------------------------------------------------------------
// A test format: each block is one zlib stream.

struct TZJob : Tvor7zBlockJob {
  ComPtr<TvorFlateDecodeDecoder> Flate;
};

class TZDecoder : public Tvor7zMtBlocksDecoder {
public:
  std::function<void(UInt32)> Delay;
  UInt32 ThrowAt = ~0u;
  HRESULT ThrowCode = kDenied;
  UInt32 FailAt = ~0u;
  UInt32 DeferAt = ~0u;
  UInt32 ZerosAt = ~0u;  // this block is produced as zeros of its size, like a sparse page
  std::vector<UInt32> WriteOrder;

protected:
  UInt32 IndexOf(const Tvor7zBlockJob &job) const {
    return static_cast<UInt32>(job.Index);
  }
  std::unique_ptr<Tvor7zBlockJob> NewJob() override { return std::make_unique<TZJob>(); }
  Int32 DecodeBlock(Tvor7zBlockJob &job, ISequentialInStream *in, ISequentialOutStream *out) override {
    const UInt32 index = IndexOf(job);
    if (Delay)
      Delay(index);
    if (index == ThrowAt)
      RaiseHResult(ThrowCode);
    if (index == FailAt)
      return kDataError;
    if (index == DeferAt && job.DeferredResult == 0)
      job.DeferredResult = kCRCError;
    if (index == ZerosAt) {
      const std::vector<Byte> zeros(65536, 0);
      for (UInt32 left = job.Block.Size; left > 0;) {
        const UInt32 n = std::min<UInt32>(left, 65536);
        CheckHResult(WriteStream(out, zeros.data(), n));
        left -= n;
      }
      return kOK;
    }
    auto &z = static_cast<TZJob &>(job);
    if (!z.Flate)
      z.Flate = new TvorFlateDecodeDecoder();
    HRESULT hr;
    if (job.Buffered) {
      size_t written = 0;
      hr = z.Flate->DecodeBuffer(job.InBuffer.get(), job.InSize, job.OutBuffer.get(), job.Block.Size, &written);
      job.SetDirectOutput(written);
    } else {
      const UInt64 size = job.Block.Size;
      hr = z.Flate->Code(in, out, nullptr, &size, nullptr);
    }
    if (hr == S_FALSE)
      return kDataError;
    CheckHResult(hr);
    return kOK;
  }
  void WriteJob(Tvor7zBlockJob &job) override {
    WriteOrder.push_back(IndexOf(job));
    Tvor7zMtBlocksDecoder::WriteJob(job);
  }
};

// Blocks per worker turn for the runs below; the tests run with single-block turns and with turns
// of several blocks.
UInt32 gJobsPerTurn = 0;

struct TRun {
  Int32 Result = -1;
  HRESULT Raised = S_OK;
  std::vector<Byte> Out;
  std::vector<UInt32> WriteOrder;
};

TRun RunDecoder(const TImage &img, Int32 threads, const std::function<void(TZDecoder &)> &setup = {},
                Tvor7zProgress *progress = nullptr, TTestInStream *in = nullptr) {
  TRun r;
  TZDecoder d;
  d.SetJobsPerTurn(gJobsPerTurn);
  if (setup)
    setup(d);
  ComPtr<TTestInStream> input = in ? in : new TTestInStream(img.Container);
  ComPtr<TTestOutStream> out = new TTestOutStream();
  try {
    r.Result = d.Decode(img.Blocks, input, out, progress, threads);
  } catch (const EOleSysError &e) {
    r.Raised = e.Code();
  }
  r.Out = out->Data;
  r.WriteOrder = d.WriteOrder;
  return r;
}

TEST(MtBlocksDecoder, WorkerCount) {
  using D = Tvor7zMtBlocksDecoder;
  EXPECT_EQ(D::GetWorkerCount(0, 8, 1000, 2 * 32768), 3);
  EXPECT_EQ(D::GetWorkerCount(0, 1, 1000, 2 * 32768), 1);
  EXPECT_EQ(D::GetWorkerCount(0, 8, 2, 2 * 32768), 2);
  EXPECT_EQ(D::GetWorkerCount(3, 8, 1000, 48u << 20), 2);
  // 16 MiB stored + 64 MiB decoded per worker: one worker.
  EXPECT_EQ(D::GetWorkerCount(0, 8, 1000, 80u << 20), 1);
  // Two near-4 GiB buffers: a 32-bit product would wrap to a small number and allow 3 workers.
  EXPECT_EQ(D::GetWorkerCount(0, 8, 1000, 2ull * 0xFFFFFFFFu), 1);
  EXPECT_EQ(D::GetWorkerCount(500, 8, 1000, 0), Tvor7zMtData::kMaxThreads);
}

class MtBlocksDecoderTurns : public ::testing::TestWithParam<UInt32> {
protected:
  void SetUp() override { gJobsPerTurn = GetParam(); }
  void TearDown() override { gJobsPerTurn = 0; }
};

TEST_P(MtBlocksDecoderTurns, SameBytesForAnyWorkerCount) {
  const TImage img = MakeImage(3000, 4096, 1000);
  for (Int32 threads : {1, 2, 3, 0}) {
    SCOPED_TRACE(threads);
    const TRun r = RunDecoder(img, threads);
    EXPECT_EQ(r.Result, kOK);
    EXPECT_EQ(r.Raised, S_OK);
    EXPECT_TRUE(r.Out == img.Plain);
  }
}

TEST_P(MtBlocksDecoderTurns, WritesInImageOrderWhenLaterBlocksDecodeFirst) {
  const TImage img = MakeImage(30, 4096);
  const TRun r = RunDecoder(img, 3, [](TZDecoder &d) { d.Delay = [](UInt32 i) { SleepUs((30 - i) * 300); }; });
  EXPECT_EQ(r.Result, kOK);
  std::vector<UInt32> order(30);
  for (UInt32 i = 0; i < 30; ++i)
    order[i] = i;
  EXPECT_EQ(r.WriteOrder, order);
  EXPECT_TRUE(r.Out == img.Plain);
}

TEST_P(MtBlocksDecoderTurns, ExceptionInABlockRaisesAfterTheBlocksBeforeIt) {
  const TImage img = MakeImage(100, 2048);
  for (Int32 threads : {1, 2, 3}) {
    SCOPED_TRACE(threads);
    const TRun r = RunDecoder(img, threads, [](TZDecoder &d) {
      d.ThrowAt = 40;
      d.Delay = [](UInt32 i) { SleepUs(i >= 37 && i < 40 ? 20000 : 0); };
    });
    EXPECT_EQ(r.Raised, kDenied);
    EXPECT_TRUE(r.Out == img.Prefix(40));
  }
}

TEST_P(MtBlocksDecoderTurns, ResultsAndTheirPrecedence) {
  const TImage img = MakeImage(100, 2048);
  for (Int32 threads : {1, 2, 3}) {
    SCOPED_TRACE(threads);
    // A deferred result comes after the whole image was written.
    TRun r = RunDecoder(img, threads, [](TZDecoder &d) { d.DeferAt = 10; });
    EXPECT_EQ(r.Result, kCRCError);
    EXPECT_TRUE(r.Out == img.Plain);
    // A block lost wins over a deferred result found earlier; the blocks after it go on.
    r = RunDecoder(img, threads, [](TZDecoder &d) {
      d.DeferAt = 5;
      d.FailAt = 20;
    });
    EXPECT_EQ(r.Result, kDataError);
    EXPECT_TRUE(r.Out == img.Lost({20}));
  }
}

TEST_P(MtBlocksDecoderTurns, CorruptBlockIsWrittenAsZerosAndTheRestFollows) {
  TImage img = MakeImage(60, 4096);
  const Tvor7zBlock_ b = img.Blocks->GetBlock(10);
  // Damage the deflate data past its first bytes so part of the block still decodes.
  for (UInt32 k = b.StoredSize / 2; k < b.StoredSize - 4; ++k)
    img.Container[b.Offset + k] ^= 0x5A;
  std::vector<Byte> first;
  for (Int32 threads : {1, 2, 3}) {
    SCOPED_TRACE(threads);
    const TRun r = RunDecoder(img, threads);
    EXPECT_EQ(r.Result, kDataError);
    EXPECT_TRUE(r.Out == img.Lost({10}));
    if (threads == 1)
      first = r.Out;
    else
      EXPECT_TRUE(r.Out == first);
  }
}

TEST_P(MtBlocksDecoderTurns, MissingBlocksAreZerosAtTheirPlace) {
  for (Int32 threads : {1, 2, 3}) {
    SCOPED_TRACE(threads);
    // A block the table does not define.
    TImage img = MakeImage(20, 4096);
    img.Blocks->EditBlock(7)->Valid = false;
    TRun r = RunDecoder(img, threads, [](TZDecoder &d) { d.Delay = [](UInt32 i) { SleepUs(i < 7 ? 5000 : 0); }; });
    EXPECT_EQ(r.Result, kUnexpectedEnd);
    EXPECT_TRUE(r.Out == img.Lost({7}));

    // A block whose stored bytes lie beyond the end of the container.
    img = MakeImage(20, 4096);
    img.Blocks->EditBlock(12)->Offset = img.Container.size() + 100;
    r = RunDecoder(img, threads);
    EXPECT_EQ(r.Result, kUnexpectedEnd);
    EXPECT_TRUE(r.Out == img.Lost({12}));

    // A container cut inside the last block's stored bytes.
    img = MakeImage(20, 4096);
    img.Container.resize(img.Container.size() - 7);
    r = RunDecoder(img, threads);
    EXPECT_EQ(r.Result, kUnexpectedEnd);
    EXPECT_TRUE(StartsWith(r.Out, img.Prefix(19)));
    EXPECT_EQ(r.Out.size(), img.Plain.size());
  }
}

TEST_P(MtBlocksDecoderTurns, ContainerReadFailureRaises) {
  const TImage img = MakeImage(50, 4096);
  for (Int32 threads : {1, 3}) {
    SCOPED_TRACE(threads);
    ComPtr<TTestInStream> in = new TTestInStream(img.Container);
    in->ReadFailAt = img.Blocks->GetBlock(30).Offset + 5;
    in->ReadFailCode = E_OUTOFMEMORY;
    const TRun r = RunDecoder(img, threads, {}, nullptr, in);
    EXPECT_EQ(r.Raised, E_OUTOFMEMORY);
    EXPECT_TRUE(r.Out == img.Prefix(30));
  }
}

TEST_P(MtBlocksDecoderTurns, TotalSizeIsChecked) {
  TImage img = MakeImage(10, 4096);
  img.Blocks->SetTotalSize(img.Plain.size() + 1);
  TRun r = RunDecoder(img, 2);
  EXPECT_EQ(r.Result, kUnexpectedEnd);
  img.Plain.push_back(0);  // what no block holds is zeros
  EXPECT_TRUE(r.Out == img.Plain);
  img.Blocks->SetTotalSize(img.Plain.size() - 2);
  EXPECT_EQ(RunDecoder(img, 2).Result, kDataError);

  // Nothing to decode, and an image without blocks.
  ComPtr<Tvor7zBlocks> empty = new Tvor7zBlocks(0, 4096, 0);
  TImage none{{}, {}, empty};
  EXPECT_EQ(RunDecoder(none, 0).Result, kOK);
  none.Blocks = new Tvor7zBlocks(100, 4096, 0);
  r = RunDecoder(none, 0);
  EXPECT_EQ(r.Result, kUnexpectedEnd);
  EXPECT_TRUE(r.Out == std::vector<Byte>(100));
}

TEST_P(MtBlocksDecoderTurns, BlocksTooLargeToBufferAreStreamed) {
  // The last block claims 129 MiB: one worker, no job buffers, and the short output is reported
  // and made up with zeros.
  TImage img = MakeImage(8, 4096);
  img.Blocks->EditBlock(7)->Size = 129u << 20;
  img.Blocks->SetTotalSize(7 * 4096 + (129u << 20));
  const TRun r = RunDecoder(img, 0);
  EXPECT_EQ(r.Result, kUnexpectedEnd);
  ASSERT_EQ(r.Out.size(), img.Blocks->GetTotalSize());
  EXPECT_TRUE(StartsWith(r.Out, img.Plain));
  EXPECT_TRUE(std::all_of(r.Out.begin() + static_cast<std::ptrdiff_t>(img.Plain.size()), r.Out.end(), [](Byte b) { return b == 0; }));
}

// Cancels once `CancelAt` bytes were reported.
class TCancelProgress : public TvorInterfacedObject, public IProgress {
public:
  VOR_UNKNOWN_IMP
  HRESULT QueryInterfaceImpl(REFIID iid, void **out) override {
    if (iid == IID_IVorUnknown || iid == IID_IProgress)
      return Offer<IProgress>(this, out);
    return NoInterface(out);
  }
  HRESULT STDMETHODCALLTYPE SetTotal(UInt64) noexcept override { return S_OK; }
  HRESULT STDMETHODCALLTYPE SetCompleted(const UInt64 *value) noexcept override {
    return value && *value >= CancelAt ? E_ABORT : S_OK;
  }
  UInt64 CancelAt = 0;
};

TEST_P(MtBlocksDecoderTurns, CancelFromProgressStopsBeforeLaterBlocks) {
  const TImage img = MakeImage(200, 4096);
  const UInt32 saved = Tvor7zProgress::ProgressInterval;
  Tvor7zProgress::ProgressInterval = 0;
  for (Int32 threads : {1, 2, 3}) {
    SCOPED_TRACE(threads);
    ComPtr<TCancelProgress> host = new TCancelProgress();
    host->CancelAt = img.Prefix(25).size();
    Tvor7zProgress progress(host);
    progress.SetTotal(img.Plain.size());
    const TRun r = RunDecoder(img, threads, {}, &progress);
    EXPECT_EQ(r.Raised, E_ABORT);
    EXPECT_TRUE(r.Out == img.Prefix(25));
  }
  Tvor7zProgress::ProgressInterval = saved;
}

TEST_P(MtBlocksDecoderTurns, CancelFromProgressStopsInsideAStreamedBlock) {
  // A block of 200 MiB, too large to buffer, written as zeros: the cancel is heard while it goes
  // out, not after all of it.
  TImage img = MakeImage(2, 4096);
  img.Blocks->EditBlock(1)->Size = 200u << 20;
  img.Blocks->SetTotalSize(4096 + (200u << 20));
  const UInt32 saved = Tvor7zProgress::ProgressInterval;
  Tvor7zProgress::ProgressInterval = 0;
  ComPtr<TCancelProgress> host = new TCancelProgress();
  host->CancelAt = 1u << 20;
  Tvor7zProgress progress(host);
  progress.SetTotal(img.Blocks->GetTotalSize());
  const TRun r = RunDecoder(img, 0, [](TZDecoder &d) { d.ZerosAt = 1; }, &progress);
  Tvor7zProgress::ProgressInterval = saved;
  EXPECT_EQ(r.Raised, E_ABORT);
  EXPECT_LT(r.Out.size(), 2u << 20);
}

INSTANTIATE_TEST_SUITE_P(BlocksPerTurn, MtBlocksDecoderTurns, ::testing::Values(1u, 3u, 0u));

}  // namespace
