#include "host/FilterCoder.h"

#include <algorithm>
#include <cstring>

#include "host/Errors.h"
#include "host/StreamIo.h"

UInt32 Tvor7zFilterCoder::BufferGranule = 4096;

Tvor7zFilterCoder::Tvor7zFilterCoder(ICompressFilter *filter)
    : FFilter(filter), FSetCoderMt(QueryAs<ICompressSetCoderMt>(filter, IID_ICompressSetCoderMt)),
      FSetBufSize(QueryAs<ICompressSetBufSize>(filter, IID_ICompressSetBufSize)) {}

HRESULT Tvor7zFilterCoder::QueryInterfaceImpl(REFIID iid, void **out) {
  if (iid == IID_IVorUnknown || iid == IID_ICompressCoder)
    return Offer<ICompressCoder>(this, out);
  if (iid == IID_ICompressSetCoderMt && FSetCoderMt)
    return Offer<ICompressSetCoderMt>(this, out);
  if (iid == IID_ICompressSetBufSize)
    return Offer<ICompressSetBufSize>(this, out);
  return NoInterface(out);
}

HRESULT Tvor7zFilterCoder::SetNumberOfThreads(UInt32 numThreads) noexcept {
  return GuardHResult([&] { return FSetCoderMt ? FSetCoderMt->SetNumberOfThreads(numThreads) : E_NOTIMPL; });
}

HRESULT Tvor7zFilterCoder::SetInBufSize(UInt32 streamIndex, UInt32 size) noexcept {
  return GuardHResult([&] {
    if (streamIndex == 0)
      FInBufSize = size;
    return FSetBufSize ? FSetBufSize->SetInBufSize(streamIndex, size) : S_OK;
  });
}

HRESULT Tvor7zFilterCoder::SetOutBufSize(UInt32 streamIndex, UInt32 size) noexcept {
  return GuardHResult([&] {
    if (streamIndex == 0)
      FOutBufSize = size;
    return FSetBufSize ? FSetBufSize->SetOutBufSize(streamIndex, size) : S_OK;
  });
}

HRESULT Tvor7zFilterCoder::Code(ISequentialInStream *inStream, ISequentialOutStream *outStream, const UInt64 *,
                                const UInt64 *, ICompressProgressInfo *progress) noexcept {
  return GuardHResult([&]() -> HRESULT {
    if (!FFilter || !inStream || !outStream)
      return E_POINTER;
    HRESULT hr = FFilter->Init();
    if (hr != S_OK)
      return hr;
    const UInt32 g = BufferGranule;
    FInBufSize = std::max(FInBufSize, g);
    FOutBufSize = std::max(FOutBufSize, g);
    UInt32 size = std::min(FInBufSize, FOutBufSize) / g * g;
    size = std::max(size, g);
    if (FBuffer.size() < size)
      FBuffer.assign(size, 0);
    Byte *buf = FBuffer.data();
    UInt32 filled = 0;
    UInt64 total = 0;
    bool atEnd = false;
    for (;;) {
      if (!atEnd) {
        size_t got = 0;
        hr = ReadStream(inStream, buf + filled, size - filled, &got);
        if (hr != S_OK && hr != S_FALSE)
          return hr;
        filled += static_cast<UInt32>(got);
        atEnd = filled != size;
      }
      UInt32 done = FFilter->Filter(buf, filled);
      // Checked before any padding: a filter that asks for bytes after the input ended would
      // otherwise be fed zero blocks for ever.
      if (filled == 0)
        return S_OK;
      if (done > filled) {
        // The filter wants a whole block: allowed only at the end, padded with zeros.
        if (!atEnd || done > size)
          return E_FAIL;
        std::memset(buf + filled, 0, done - filled);
        filled = done;
        if (FFilter->Filter(buf, done) != done)
          return E_FAIL;
      }
      // Nothing done on a full buffer: writing it unfiltered and stopping would drop the rest of
      // the input while reporting success.
      if (done == 0 && !atEnd)
        return E_FAIL;
      const UInt32 n = done == 0 ? filled : done;
      hr = WriteStream(outStream, buf, n);
      if (hr != S_OK)
        return hr;
      total += n;
      if (progress) {
        hr = progress->SetRatioInfo(&total, &total);
        if (hr != S_OK)
          return hr;
      }
      if (done == 0)
        return S_OK;
      std::memmove(buf, buf + done, filled - done);
      filled -= done;
    }
  });
}

Tvor7zFilterDecoder::Tvor7zFilterDecoder(ICompressFilter *filter)
    : Tvor7zFilterCoder(filter),
      FSetDecoderProperties2(QueryAs<ICompressSetDecoderProperties2>(filter, IID_ICompressSetDecoderProperties2)),
      FSetFinishMode(QueryAs<ICompressSetFinishMode>(filter, IID_ICompressSetFinishMode)) {}

HRESULT Tvor7zFilterDecoder::QueryInterfaceImpl(REFIID iid, void **out) {
  if (iid == IID_ICompressSetDecoderProperties2)
    return FSetDecoderProperties2 ? Offer<ICompressSetDecoderProperties2>(this, out) : NoInterface(out);
  if (iid == IID_ICompressSetFinishMode)
    return FSetFinishMode ? Offer<ICompressSetFinishMode>(this, out) : NoInterface(out);
  if (iid == IID_IVorUnknown || iid == IID_ICompressCoder)
    return Offer<ICompressCoder>(static_cast<Tvor7zFilterCoder *>(this), out);
  return Tvor7zFilterCoder::QueryInterfaceImpl(iid, out);
}

HRESULT Tvor7zFilterDecoder::SetDecoderProperties2(const Byte *data, UInt32 size) noexcept {
  return GuardHResult([&] {
    return FSetDecoderProperties2 ? FSetDecoderProperties2->SetDecoderProperties2(data, size) : E_NOTIMPL;
  });
}

HRESULT Tvor7zFilterDecoder::SetFinishMode(UInt32 finishMode) noexcept {
  return GuardHResult([&] { return FSetFinishMode ? FSetFinishMode->SetFinishMode(finishMode) : E_NOTIMPL; });
}

HRESULT Tvor7zDummyCompressProgressInfo::QueryInterfaceImpl(REFIID iid, void **out) {
  if (iid == IID_IVorUnknown || iid == IID_ICompressProgressInfo)
    return Offer<ICompressProgressInfo>(this, out);
  return NoInterface(out);
}
