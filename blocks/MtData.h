// A small pipeline on worker threads: each worker loops fetch -> process -> write on a job of its
// own. Fetches are serialised under one lock, so jobs are numbered in fetch order; writes are
// chained through events in that order; the first error or stopping result stops every worker.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "host/HostAbi.h"

// Cache-line size used to keep objects written by different workers apart.
inline constexpr size_t kvorCacheLine = 64;

// Manual-reset event: stays signalled until Reset.
class alignas(kvorCacheLine) Tvor7zMtEvent {
public:
  void Set();
  void Reset();
  void Wait();

private:
  std::mutex FLock;
  std::condition_variable FCond;
  bool FSignalled = false;
};

class Tvor7zMtThread;

// Shared state of one run. Use a new object for each run: the recorded result and error stay.
class Tvor7zMtData {
public:
  Tvor7zMtData() = default;
  Tvor7zMtData(const Tvor7zMtData &) = delete;
  Tvor7zMtData &operator=(const Tvor7zMtData &) = delete;
  virtual ~Tvor7zMtData();

  // Runs the pipeline to its end on threadCount workers (0 -> 1, at most kMaxThreads). All workers
  // are joined before it returns. A failure to start the first worker propagates; later ones are
  // dropped and the run goes on with fewer. Afterwards read ErrorCode() and Result().
  virtual void Run(Int32 threadCount);

  // Records the first non-zero operation result and stops the run.
  void SetResult(Int32 result);
  // Records the first failure HRESULT and stops the run.
  void SetError(HRESULT code);
  // Stops the run without recording anything.
  void Stop();
  bool Stopped() const noexcept { return FStopped.load(std::memory_order_acquire); }
  HRESULT ErrorCode() const;
  Int32 Result() const;

  static constexpr Int32 kMaxThreads = 128;

protected:
  // Creates one worker (not yet started; Run starts it).
  virtual std::unique_ptr<Tvor7zMtThread> NewThread() = 0;

private:
  friend class Tvor7zMtThread;
  Tvor7zMtEvent *TakeEvent();
  void GiveBackEvent(Tvor7zMtEvent *event);

  mutable std::mutex FStateLock;  // event pool, result and error
  std::mutex FFetchLock;          // held for a worker's whole fetch stage
  std::vector<std::unique_ptr<Tvor7zMtEvent>> FEvents;
  std::vector<bool> FEventUsed;
  Tvor7zMtEvent *FLastEvent = nullptr;  // event of the most recently fetched job (under FFetchLock)
  bool FFetchFailed = false;            // a fetch raised; no further fetch (under FFetchLock)
  alignas(kvorCacheLine) std::atomic<bool> FStopped{false};
  HRESULT FErrorCode = S_OK;
  Int32 FResult = 0;
};

// One worker of a run.
class alignas(kvorCacheLine) Tvor7zMtThread {
public:
  explicit Tvor7zMtThread(Tvor7zMtData &data) : FData(data) {}
  Tvor7zMtThread(const Tvor7zMtThread &) = delete;
  Tvor7zMtThread &operator=(const Tvor7zMtThread &) = delete;
  // Waits for the thread. Derived destructors that touch state the thread uses call Join first.
  virtual ~Tvor7zMtThread();

  // Starts the operating-system thread; raises when it cannot be created.
  void Start();
  // Waits for the thread to end; returns at once when it never started or on the thread itself.
  void Join() noexcept;

protected:
  // A job that fails (a stage raises or answers False) stops the run at its place in the write
  // order: the jobs fetched before it are still written, none after it is.
  // Takes the next job and reads its input; runs under the fetch lock. False = no more work.
  virtual bool DoFetch() = 0;
  // Transforms the job's data, in parallel with other workers. False = stop.
  virtual bool DoProcess() = 0;
  // Delivers the job's result after the job fetched before it was delivered. False = stop.
  virtual bool DoWrite() = 0;
  // Called once when the worker's loop ends, whatever the reason.
  virtual void DoFinish() {}

  Tvor7zMtData &FData;

private:
  void Execute() noexcept;
  void Loop();

  std::thread FThread;
  Tvor7zMtEvent *FEvent = nullptr;  // event of the job this worker holds
};
