#include "streams/OutStreams.h"

#include <algorithm>
#include <cstring>

#include "host/Errors.h"
#include "host/StreamIo.h"

// Forwards a write of a pass-through stream to its wrapped stream; without one, everything is taken.
static HRESULT PassWrite(ISequentialOutStream *stream, const void *data, UInt32 size, UInt32 &done) {
  if (!stream) {
    done = size;
    return S_OK;
  }
  return stream->Write(data, size, &done);
}

// ---- Tvor7zFixedMemorySequentialOutStream ----

HRESULT Tvor7zFixedMemorySequentialOutStream::QueryInterfaceImpl(REFIID iid, void **out) {
  if (iid == IID_IVorUnknown || iid == IID_ISequentialOutStream)
    return Offer<ISequentialOutStream>(this, out);
  if (iid == IID_IStreamGetSize)
    return Offer<IStreamGetSize>(this, out);
  return NoInterface(out);
}

HRESULT Tvor7zFixedMemorySequentialOutStream::Write(const void *data, UInt32 size, UInt32 *processed) noexcept {
  if (processed)
    *processed = 0;
  return GuardHResult([&]() -> HRESULT {
    if (size == 0)
      return S_OK;
    // A missing buffer holds nothing, whatever capacity was claimed.
    const UInt32 n = FBuffer ? std::min(size, FCapacity) : 0;
    if (n == 0)
      return FFailOnOverflow ? E_FAIL : S_OK;
    std::memcpy(FBuffer, data, n);
    FBuffer += n;
    FCapacity -= n;
    FWritten += n;
    if (processed)
      *processed = n;
    return S_OK;
  });
}

HRESULT Tvor7zFixedMemorySequentialOutStream::GetSize(UInt64 *size) noexcept {
  if (!size)
    return E_POINTER;
  *size = FWritten;
  return S_OK;
}

// ---- Tvor7zSizeSequentialStream ----

HRESULT Tvor7zSizeSequentialStream::GetSize(UInt64 *size) noexcept {
  if (!size)
    return E_POINTER;
  *size = FCount;
  return S_OK;
}

HRESULT Tvor7zSizeSequentialOutStream::QueryInterfaceImpl(REFIID iid, void **out) {
  if (iid == IID_IVorUnknown || iid == IID_ISequentialOutStream)
    return Offer<ISequentialOutStream>(this, out);
  if (iid == IID_IStreamGetSize)
    return Offer<IStreamGetSize>(this, out);
  return NoInterface(out);
}

HRESULT Tvor7zSizeSequentialOutStream::Write(const void *data, UInt32 size, UInt32 *processed) noexcept {
  if (processed)
    *processed = 0;
  return GuardHResult([&]() -> HRESULT {
    UInt32 done = 0;
    const HRESULT hr = PassWrite(FStream, data, size, done);
    if (done > size)
      return E_FAIL;
    if (processed)
      *processed = done;
    if (hr == S_OK)
      FCount += done;
    return hr;
  });
}

// ---- Tvor7zHashSequentialStream ----

Tvor7zHashSequentialStream::Tvor7zHashSequentialStream(IHasher *hasher) : FHasher(hasher) {
  if (FHasher)
    FHasher->Init();
}

HRESULT Tvor7zHashSequentialStream::GetSize(UInt64 *size) noexcept {
  if (!size)
    return E_POINTER;
  *size = FCount;
  return S_OK;
}

void Tvor7zHashSequentialStream::GetHash(Byte *digest) {
  CheckPointer(digest);
  if (!FHasher)
    RaiseHResult(E_POINTER);
  FHasher->Final(digest);
}

HRESULT Tvor7zHashSequentialInStream::QueryInterfaceImpl(REFIID iid, void **out) {
  if (iid == IID_IVorUnknown || iid == IID_ISequentialInStream)
    return Offer<ISequentialInStream>(this, out);
  if (iid == IID_IStreamGetSize)
    return Offer<IStreamGetSize>(this, out);
  return NoInterface(out);
}

HRESULT Tvor7zHashSequentialInStream::Read(void *data, UInt32 size, UInt32 *processed) noexcept {
  if (processed)
    *processed = 0;
  return GuardHResult([&]() -> HRESULT {
    UInt32 got = size;
    HRESULT hr = S_OK;
    if (FStream) {
      got = 0;
      hr = FStream->Read(data, size, &got);
      // Hashing more than the buffer holds would read past it.
      if (got > size)
        return E_FAIL;
    }
    if (processed)
      *processed = got;
    if (hr == S_OK && got != 0) {
      FCount += got;
      if (FHasher)
        FHasher->Update(data, got);
    }
    return hr;
  });
}

HRESULT Tvor7zHashSequentialOutStream::QueryInterfaceImpl(REFIID iid, void **out) {
  if (iid == IID_IVorUnknown || iid == IID_ISequentialOutStream)
    return Offer<ISequentialOutStream>(this, out);
  if (iid == IID_IStreamGetSize)
    return Offer<IStreamGetSize>(this, out);
  return NoInterface(out);
}

HRESULT Tvor7zHashSequentialOutStream::Write(const void *data, UInt32 size, UInt32 *processed) noexcept {
  if (processed)
    *processed = 0;
  return GuardHResult([&]() -> HRESULT {
    UInt32 done = 0;
    const HRESULT hr = PassWrite(FStream, data, size, done);
    if (done > size)
      return E_FAIL;
    if (processed)
      *processed = done;
    // Only what the wrapped stream accepted is hashed, so the digest matches what was stored.
    if (hr == S_OK && done != 0) {
      FCount += done;
      if (FHasher)
        FHasher->Update(data, done);
    }
    return hr;
  });
}

void WriteExact(ISequentialOutStream *stream, const void *data, size_t size) {
  const HRESULT hr = WriteStream(stream, data, size);
  CheckHResult(hr == S_FALSE ? E_FAIL : hr);
}
