#include "streams/Progress.h"

#include <algorithm>

#include "host/Errors.h"
#include "host/StreamIo.h"
#include "platform/Platform.h"

UInt32 Tvor7zProgress::ProgressInterval = 100;

Tvor7zProgress::Tvor7zProgress(IProgress *progress) : FProgress(progress), FLastTick(PlatformTickCount()) {}

HRESULT Tvor7zProgress::SetTotal(UInt64 bytes) {
  FTotal = bytes;
  if (FProgress && bytes != ~0ull)
    return FProgress->SetTotal(bytes);
  return S_OK;
}

HRESULT Tvor7zProgress::Add(UInt64 count) {
  FCompleted += count;
  return Report(false);
}

HRESULT Tvor7zProgress::Flush() { return Report(true); }

HRESULT Tvor7zProgress::Report(bool force) {
  const UInt32 now = PlatformTickCount();
  if (!force && now - FLastTick < ProgressInterval)
    return S_OK;
  FLastTick = now;
  const UInt64 value = std::min(FCompleted, FTotal);
  if (FProgress)
    return FProgress->SetCompleted(value == 0 ? nullptr : &value);
  return S_OK;
}

HRESULT Tvor7zProgressSequentialOutStream::QueryInterfaceImpl(REFIID iid, void **out) {
  if (iid == IID_IVorUnknown || iid == IID_ISequentialOutStream)
    return Offer<ISequentialOutStream>(this, out);
  return NoInterface(out);
}

HRESULT Tvor7zProgressSequentialOutStream::Write(const void *data, UInt32 size, UInt32 *processed) noexcept {
  if (processed)
    *processed = 0;
  return GuardHResult([&]() -> HRESULT {
    UInt32 done = 0;
    const HRESULT hr = FStream ? FStream->Write(data, size, &done) : S_OK;
    if (!FStream)
      done = size;
    if (done > size)
      return E_FAIL;  // a count beyond what was offered would inflate the progress
    if (processed)
      *processed = done;
    if (hr != S_OK)
      return hr;
    return FProgressObject ? FProgressObject->Add(done) : S_OK;
  });
}

HRESULT WriteZerosWithProgress(Tvor7zProgress *progress, ISequentialOutStream *outStream, UInt64 size) {
  constexpr UInt64 kPiece = 1u << 20;
  while (size > 0) {
    const UInt64 n = std::min(size, kPiece);
    HRESULT hr = WriteZeros(outStream, n);
    if (hr == S_OK && progress)
      hr = progress->Add(n);
    if (hr != S_OK)
      return hr;
    size -= n;
  }
  return S_OK;
}

HRESULT CopyStream(void *buffer, UInt32 bufferSize, Tvor7zProgress *progress, ISequentialInStream *inStream,
                   ISequentialOutStream *outStream, UInt64 size, UInt64 *copied) {
  auto *buf = static_cast<Byte *>(buffer);
  while (size > 0) {
    const UInt32 want = static_cast<UInt32>(std::min<UInt64>(bufferSize, size));
    UInt32 got = 0;
    const HRESULT readResult = inStream->Read(buf, want, &got);
    if (got > want)
      return E_FAIL;
    // Bytes delivered with a failure are still good: they are written before the failure counts.
    UInt32 written = 0;
    while (written < got) {
      UInt32 done = 0;
      const HRESULT hr = outStream->Write(buf + written, got - written, &done);
      if (hr != S_OK)
        return hr;
      if (done == 0 || done > got - written)
        return E_FAIL;
      written += done;
    }
    if (copied)
      *copied += got;
    size -= got;
    if (progress && got > 0) {
      const HRESULT hr = progress->Add(got);
      if (hr != S_OK)
        return hr;
    }
    if (readResult != S_OK || got == 0)
      return readResult;
  }
  return S_OK;
}
