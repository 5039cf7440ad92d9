// Progress reporting and the stream loops.
#pragma once

#include "host/Com.h"
#include "host/StreamIo.h"

// Reports extraction progress to the host at most once per ProgressInterval milliseconds.
// Used by the extracting thread only.
class Tvor7zProgress {
public:
  explicit Tvor7zProgress(IProgress *progress);
  Tvor7zProgress(const Tvor7zProgress &) = delete;
  Tvor7zProgress &operator=(const Tvor7zProgress &) = delete;

  HRESULT SetTotal(UInt64 bytes);
  HRESULT Add(UInt64 count);
  HRESULT Flush();
  UInt64 Completed() const noexcept { return FCompleted; }

  // Library-wide throttle in milliseconds.
  static UInt32 ProgressInterval;

private:
  HRESULT Report(bool force);

  ComPtr<IProgress> FProgress;
  UInt32 FLastTick;
  UInt64 FTotal = 0;
  UInt64 FCompleted = 0;
};

// Output pass-through that adds every accepted byte to a progress object.
class Tvor7zProgressSequentialOutStream : public TvorInterfacedObject, public ISequentialOutStream {
public:
  Tvor7zProgressSequentialOutStream(Tvor7zProgress *progress, ISequentialOutStream *stream)
      : FStream(stream), FProgressObject(progress) {}
  VOR_UNKNOWN_IMP
  HRESULT QueryInterfaceImpl(REFIID iid, void **out) override;
  HRESULT STDMETHODCALLTYPE Write(const void *data, UInt32 size, UInt32 *processed) noexcept override;
  void SetStream(ISequentialOutStream *stream) { FStream = stream; }

private:
  ComPtr<ISequentialOutStream> FStream;
  Tvor7zProgress *FProgressObject;  // borrowed
};

// Writes `size` zero bytes, standing for data that could not be read, a piece at a time, each
// reported to `progress` when given: the host's cancel stops a long run of them.
HRESULT WriteZerosWithProgress(Tvor7zProgress *progress, ISequentialOutStream *outStream, UInt64 size);

// Copies `size` bytes through `buffer`, reporting each chunk to `progress` when given. A read that
// fails still has the bytes it delivered written first; then its result is returned.
HRESULT CopyStream(void *buffer, UInt32 bufferSize, Tvor7zProgress *progress, ISequentialInStream *inStream,
                   ISequentialOutStream *outStream, UInt64 size, UInt64 *copied = nullptr);
