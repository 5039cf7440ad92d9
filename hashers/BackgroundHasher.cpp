#include "hashers/BackgroundHasher.h"

#include <cstring>
#include <system_error>
#include <utility>

Tvor7zBackgroundHasher::Tvor7zBackgroundHasher(ComPtr<IHasher> inner) : FInner(std::move(inner)) {
  FBuffers.resize(kBufferCount);
  for (auto &b : FBuffers) {
    b.Data.resize(kBufferSize);
    FFree.push_back(&b);
  }
  FFilling = FFree.back();
  FFree.pop_back();
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

void Tvor7zBackgroundHasher::Submit() {
  std::unique_lock lock(FLock);
  FFull.push_back(FFilling);
  FChanged.notify_all();
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

ComPtr<IHasher> HashInBackground(ComPtr<IHasher> inner) {
  if (!inner)
    return inner;
  return ComPtr<IHasher>(new Tvor7zBackgroundHasher(std::move(inner)));
}
