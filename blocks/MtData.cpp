#include "blocks/MtData.h"

#include <algorithm>

#include "host/Errors.h"

void Tvor7zMtEvent::Set() {
  {
    std::lock_guard<std::mutex> lock(FLock);
    FSignalled = true;
  }
  FCond.notify_all();
}

void Tvor7zMtEvent::Reset() {
  std::lock_guard<std::mutex> lock(FLock);
  FSignalled = false;
}

void Tvor7zMtEvent::Wait() {
  std::unique_lock<std::mutex> lock(FLock);
  FCond.wait(lock, [this] { return FSignalled; });
}

Tvor7zMtData::~Tvor7zMtData() = default;

void Tvor7zMtData::SetResult(Int32 result) {
  std::lock_guard<std::mutex> lock(FStateLock);
  if (FResult == 0)
    FResult = result;
  FStopped.store(true, std::memory_order_release);
}

void Tvor7zMtData::Stop() { FStopped.store(true, std::memory_order_release); }

void Tvor7zMtData::SetError(HRESULT code) {
  std::lock_guard<std::mutex> lock(FStateLock);
  if (FErrorCode == S_OK)
    FErrorCode = code;
  FStopped.store(true, std::memory_order_release);
}

HRESULT Tvor7zMtData::ErrorCode() const {
  std::lock_guard<std::mutex> lock(FStateLock);
  return FErrorCode;
}

Int32 Tvor7zMtData::Result() const {
  std::lock_guard<std::mutex> lock(FStateLock);
  return FResult;
}

Tvor7zMtEvent *Tvor7zMtData::TakeEvent() {
  std::lock_guard<std::mutex> lock(FStateLock);
  for (size_t i = 0; i < FEvents.size(); ++i)
    if (!FEventUsed[i]) {
      FEventUsed[i] = true;
      return FEvents[i].get();
    }
  FEvents.push_back(std::make_unique<Tvor7zMtEvent>());
  FEventUsed.push_back(true);
  return FEvents.back().get();
}

void Tvor7zMtData::GiveBackEvent(Tvor7zMtEvent *event) {
  std::lock_guard<std::mutex> lock(FStateLock);
  for (size_t i = 0; i < FEvents.size(); ++i)
    if (FEvents[i].get() == event) {
      event->Reset();
      FEventUsed[i] = false;
      return;
    }
}

void Tvor7zMtData::Run(Int32 threadCount) {
  const Int32 count = std::clamp(threadCount, 1, kMaxThreads);
  {
    std::lock_guard<std::mutex> lock(FStateLock);
    FEvents.clear();
    FEventUsed.clear();
    FEvents.reserve(static_cast<size_t>(count) + 1);
  }
  FLastEvent = nullptr;
  FFetchFailed = false;

  std::vector<std::unique_ptr<Tvor7zMtThread>> workers;
  workers.reserve(static_cast<size_t>(count));
  // Joins and frees the workers in creation order on every way out.
  struct TJoinAll {
    std::vector<std::unique_ptr<Tvor7zMtThread>> &List;
    ~TJoinAll() {
      for (auto &w : List)
        w->Join();
      for (auto &w : List)
        w.reset();
    }
  } joinAll{workers};

  for (Int32 i = 0; i < count; ++i) {
    try {
      std::unique_ptr<Tvor7zMtThread> worker = NewThread();
      worker->Start();
      workers.push_back(std::move(worker));
    } catch (...) {
      if (i == 0)
        throw;
      break;  // go on with the workers already running
    }
  }
}

Tvor7zMtThread::~Tvor7zMtThread() { Join(); }

void Tvor7zMtThread::Start() {
  try {
    FThread = std::thread([this] { Execute(); });
  } catch (const std::system_error &e) {
    throw EOSError(static_cast<UInt32>(e.code().value()));
  }
}

void Tvor7zMtThread::Join() noexcept {
  if (FThread.joinable() && FThread.get_id() != std::this_thread::get_id())
    FThread.join();
}

void Tvor7zMtThread::Execute() noexcept {
  try {
    Loop();
  } catch (...) {
    FData.SetError(ExceptionToHResult());
  }
  // Release the successor even when this worker gave up early.
  if (FEvent) {
    FEvent->Set();
    FEvent = nullptr;
  }
  try {
    DoFinish();
  } catch (...) {
    FData.SetError(ExceptionToHResult());
  }
}

void Tvor7zMtThread::Loop() {
  for (;;) {
    // Fetch: the job's event joins the chain inside the fetch lock, so the chain is fetch order.
    if (FData.Stopped())
      return;
    Tvor7zMtEvent *prevEvent;
    bool fetched = true;
    // A failing job is reported at its place in the write order, so every job fetched before it
    // is still written: an exception waits for the predecessor's write, and so does a stop.
    bool failed = false;
    HRESULT failure = S_OK;
    {
      std::lock_guard<std::mutex> lock(FData.FFetchLock);
      if (FData.Stopped() || FData.FFetchFailed)
        return;
      FEvent = FData.TakeEvent();
      prevEvent = FData.FLastEvent;
      FData.FLastEvent = FEvent;
      try {
        fetched = DoFetch();
      } catch (...) {
        failed = true;
        failure = ExceptionToHResult();
        FData.FFetchFailed = true;  // nothing after a failed fetch is read
      }
    }
    if (!fetched)
      return;

    bool go = true;
    if (!failed) {
      if (FData.Stopped())
        return;
      try {
        go = DoProcess();
      } catch (...) {
        failed = true;
        failure = ExceptionToHResult();
      }
    }

    if (FData.Stopped())
      return;
    if (prevEvent) {
      prevEvent->Wait();
      FData.GiveBackEvent(prevEvent);
    }
    if (FData.Stopped())
      return;
    if (failed) {
      FData.SetError(failure);
      return;
    }
    if (!go) {
      FData.Stop();
      return;
    }
    const bool written = DoWrite();
    if (!written)
      FData.Stop();  // before the successor is released: nothing after this job is written
    FEvent->Set();
    FEvent = nullptr;
    if (!written)
      return;
  }
}
