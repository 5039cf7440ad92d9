#include "host/StreamIo.h"

HRESULT ReadStream(ISequentialInStream *stream, void *buffer, size_t size, size_t *processed) {
  auto *p = static_cast<Byte *>(buffer);
  while (size > 0) {
    const UInt32 want = size > 0x80000000u ? 0x80000000u : static_cast<UInt32>(size);
    UInt32 got = 0;
    const HRESULT hr = stream->Read(p, want, &got);
    if (got > want)
      return E_FAIL;
    if (processed)
      *processed += got;
    if (hr != S_OK)
      return hr;
    if (got == 0)
      return S_FALSE;
    p += got;
    size -= got;
  }
  return S_OK;
}

HRESULT WriteStream(ISequentialOutStream *stream, const void *buffer, size_t size, size_t *processed) {
  auto *p = static_cast<const Byte *>(buffer);
  while (size > 0) {
    const UInt32 want = size > 0x80000000u ? 0x80000000u : static_cast<UInt32>(size);
    UInt32 done = 0;
    const HRESULT hr = stream->Write(p, want, &done);
    if (done > want)
      return E_FAIL;
    if (processed)
      *processed += done;
    if (hr != S_OK)
      return hr;
    if (done == 0)
      return S_FALSE;
    p += done;
    size -= done;
  }
  return S_OK;
}

HRESULT WriteZeros(ISequentialOutStream *stream, UInt64 size) {
  static const Byte kZeros[65536] = {};
  while (size > 0) {
    const size_t n = size > sizeof(kZeros) ? sizeof(kZeros) : static_cast<size_t>(size);
    const HRESULT hr = WriteStream(stream, kZeros, n);
    if (hr != S_OK)
      return hr;
    size -= n;
  }
  return S_OK;
}
