// A hasher that runs another hasher on a thread of its own. Update copies the bytes into one of a
// few buffers and returns; the thread feeds full buffers to the inner hasher in order. A digest over
// a whole image (MD5 runs at well under a gigabyte a second on one core) then no longer holds up the
// decoding and writing that feed it, and the caller's thread only pays for the copy. The queue must
// hold more than the blocks the writer hands over at once: a writer of 16 MiB AFF pages that waits
// for room after each page decodes nothing while the digest catches up.
#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "hashers/Hashers.h"

class Tvor7zBackgroundHasher : public Tvor7zHasherBase {
public:
  // Hashes in the caller's thread when no thread can be started.
  // `queue`: most bytes held for the thread; its buffers are allocated as the queue first fills.
  explicit Tvor7zBackgroundHasher(ComPtr<IHasher> inner, size_t queue = kMinQueue);
  ~Tvor7zBackgroundHasher() override;

  void STDMETHODCALLTYPE Init() noexcept override;
  void STDMETHODCALLTYPE Update(const void *data, UInt32 size) noexcept override;
  // Waits until every byte given to Update was hashed, then asks the inner hasher.
  void STDMETHODCALLTYPE Final(Byte *digest) noexcept override;
  UInt32 STDMETHODCALLTYPE GetDigestSize() noexcept override { return FInner->GetDigestSize(); }

  static constexpr size_t kBufferSize = 1u << 20;
  static constexpr size_t kMinQueue = 4 * kBufferSize;
  static constexpr size_t kMaxQueue = 64 * kBufferSize;
  // The queue for a writer of blocks of `blockSize` bytes: room for two of them beside the minimum,
  // within the bounds.
  static size_t QueueFor(UInt64 blockSize);

private:
  struct TBuffer {
    std::vector<Byte> Data;
    size_t Size = 0;
  };
  void Run() noexcept;
  // A new buffer while the queue may grow, else nil.
  TBuffer *NewBuffer() noexcept;
  // Hands the filling buffer to the thread and takes a free one (waits while none is free).
  void Submit();
  // Waits until the thread has hashed everything handed to it.
  void Drain();

  ComPtr<IHasher> FInner;
  std::thread FThread;
  std::mutex FLock;
  std::condition_variable FChanged;
  std::deque<TBuffer *> FFull;  // in Update order, under FLock
  std::vector<TBuffer *> FFree;  // under FLock
  bool FBusy = false;            // the thread is hashing a buffer it took, under FLock
  bool FQuit = false;            // under FLock
  std::vector<std::unique_ptr<TBuffer>> FBuffers;  // allocated by the caller's thread only
  size_t FMaxBuffers;
  TBuffer *FFilling = nullptr;   // the caller's buffer, not under the lock
};

// `inner` wrapped in a Tvor7zBackgroundHasher holding up to `queue` bytes; nil stays nil.
ComPtr<IHasher> HashInBackground(ComPtr<IHasher> inner, size_t queue = Tvor7zBackgroundHasher::kMinQueue);
