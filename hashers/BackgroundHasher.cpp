#include "hashers/BackgroundHasher.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <system_error>
#include <utility>

size_t Tvor7zBackgroundHasher::QueueFor(UInt64 blockSize) {
  return static_cast<size_t>(std::clamp<UInt64>(kMinQueue + 2 * blockSize, kMinQueue, kMaxQueue));
}

Tvor7zBackgroundHasher::Tvor7zBackgroundHasher(ComPtr<IHasher> inner, size_t queue)
    : FInner(std::move(inner)), FMaxBuffers(std::max<size_t>(2, queue / kBufferSize)) {
  FBuffers.push_back(std::make_unique<TBuffer>());
  FBuffers.back()->Data.resize(kBufferSize);
  FFilling = FBuffers.back().get();
  try {
    FThread = std::thread([this] { Run(); });
  } catch (const std::system_error &) {
    // Update then hashes directly.
  }
}

Tvor7zBackgroundHasher::~Tvor7zBackgroundHasher() {
  if (FThread.joinable()) {
    {
      std::lock_guard lock(FLock);
      FQuit = true;
    }
    FChanged.notify_all();
    FThread.join();
  }
}

void Tvor7zBackgroundHasher::Run() noexcept {
  std::unique_lock lock(FLock);
  for (;;) {
    FChanged.wait(lock, [this] { return FQuit || !FFull.empty(); });
    if (FFull.empty())
      return;
    TBuffer *b = FFull.front();
    FFull.pop_front();
    FBusy = true;
    lock.unlock();
    FInner->Update(b->Data.data(), static_cast<UInt32>(b->Size));
    lock.lock();
    FBusy = false;
    b->Size = 0;
    FFree.push_back(b);
    FChanged.notify_all();
  }
}

Tvor7zBackgroundHasher::TBuffer *Tvor7zBackgroundHasher::NewBuffer() noexcept {
  if (FBuffers.size() >= FMaxBuffers)
    return nullptr;
  try {
    auto b = std::make_unique<TBuffer>();
    b->Data.resize(kBufferSize);
    FBuffers.push_back(std::move(b));
    return FBuffers.back().get();
  } catch (const std::bad_alloc &) {
    // The queue stays as long as it is.
    FMaxBuffers = FBuffers.size();
    return nullptr;
  }
}

void Tvor7zBackgroundHasher::Submit() {
  std::unique_lock lock(FLock);
  FFull.push_back(FFilling);
  FChanged.notify_all();
  if (FFree.empty()) {
    lock.unlock();
    if ((FFilling = NewBuffer()) != nullptr)
      return;
    lock.lock();
  }
  FChanged.wait(lock, [this] { return !FFree.empty(); });
  FFilling = FFree.back();
  FFree.pop_back();
}

void Tvor7zBackgroundHasher::Drain() {
  if (FFilling->Size > 0)
    Submit();
  std::unique_lock lock(FLock);
  FChanged.wait(lock, [this] { return FFull.empty() && !FBusy; });
}

void Tvor7zBackgroundHasher::Init() noexcept {
  if (FThread.joinable()) {
    // Whatever is still queued belongs to the digest being dropped.
    std::unique_lock lock(FLock);
    for (TBuffer *b : FFull) {
      b->Size = 0;
      FFree.push_back(b);
    }
    FFull.clear();
    FChanged.wait(lock, [this] { return !FBusy; });
  }
  FFilling->Size = 0;
  FInner->Init();
}

void Tvor7zBackgroundHasher::Update(const void *data, UInt32 size) noexcept {
  if (!FThread.joinable()) {
    FInner->Update(data, size);
    return;
  }
  const Byte *p = static_cast<const Byte *>(data);
  while (size > 0) {
    const size_t n = std::min<size_t>(size, kBufferSize - FFilling->Size);
    std::memcpy(FFilling->Data.data() + FFilling->Size, p, n);
    FFilling->Size += n;
    p += n;
    size -= static_cast<UInt32>(n);
    if (FFilling->Size == kBufferSize)
      Submit();
  }
}

void Tvor7zBackgroundHasher::Final(Byte *digest) noexcept {
  if (FThread.joinable())
    Drain();
  FInner->Final(digest);
}

ComPtr<IHasher> HashInBackground(ComPtr<IHasher> inner, size_t queue) {
  if (!inner)
    return inner;
  return ComPtr<IHasher>(new Tvor7zBackgroundHasher(std::move(inner), queue));
}
