#include "streams/TempStream.h"

#include <algorithm>
#include <cstring>

#include "host/Errors.h"
#include "streams/InStreams.h"
#include "streams/OutStreams.h"
#include "streams/Progress.h"

namespace {
// CopyTo moves file data in pieces of at most this size.
constexpr UInt32 kCopyPiece = 0x10000;
}  // namespace

Tvor7zTempStream::Tvor7zTempStream(UInt32 windowSize) : FWindowSize(windowSize == 0 ? 0x100000u : windowSize) {}

Tvor7zTempStream::~Tvor7zTempStream() { Clear(); }

HRESULT Tvor7zTempStream::QueryInterfaceImpl(REFIID iid, void **out) {
  if (iid == IID_IVorUnknown || iid == IID_IInStream || iid == IID_ISequentialInStream)
    return Offer<IInStream>(this, out);
  if (iid == IID_IOutStream || iid == IID_ISequentialOutStream)
    return Offer<IOutStream>(this, out);
  if (iid == IID_IStreamGetSize)
    return Offer<IStreamGetSize>(this, out);
  return NoInterface(out);
}

HRESULT Tvor7zTempStream::Write(const void *data, UInt32 size, UInt32 *processed) noexcept {
  if (processed)
    *processed = 0;
  return GuardHResult([&]() -> HRESULT {
    const auto *src = static_cast<const Byte *>(data);
    UInt32 remaining = size;
    while (remaining > 0) {
      UInt32 n;
      if (FPosition < FFlushed) {
        // Rewriting what already went to the file.
        n = static_cast<UInt32>(std::min<UInt64>(remaining, FFlushed - FPosition));
        const HRESULT hr = FFile.WriteAt(FPosition, src, n);
        if (hr != S_OK)
          return hr;
      } else if (FPosition - FFlushed >= FWindowSize) {
        // Beyond the window: move the window to the file and slide it on; nothing is consumed here.
        if (!FFile.IsOpen()) {
          const HRESULT hr = FFile.Create();
          if (hr != S_OK)
            return hr;
        }
        if (FWindow.empty())
          FWindow.assign(FWindowSize, 0);
        const HRESULT hr = FFile.WriteAt(FFlushed, FWindow.data(), FWindowSize);
        if (hr != S_OK)
          return hr;
        FFlushed += FWindowSize;
        // The new window lies wholly past the length: a gap left by a seek must read as zeros,
        // not as the bytes of the window just flushed.
        std::fill(FWindow.begin(), FWindow.end(), Byte(0));
        if (FPosition - FFlushed >= FWindowSize) {
          // A far seek: skip the empty windows at once instead of writing them one by one; the
          // file is extended over the gap so that it reads back as zeros.
          FFlushed += (FPosition - FFlushed) / FWindowSize * FWindowSize;
          const Byte zero = 0;
          const HRESULT hr2 = FFile.WriteAt(FFlushed - 1, &zero, 1);
          if (hr2 != S_OK)
            return hr2;
        }
        continue;
      } else {
        if (FWindow.empty())
          FWindow.assign(FWindowSize, 0);
        const UInt32 offset = static_cast<UInt32>(FPosition - FFlushed);
        n = std::min(remaining, FWindowSize - offset);
        std::memcpy(FWindow.data() + offset, src, n);
      }
      FPosition += n;
      src += n;
      remaining -= n;
      if (processed)
        *processed += n;
      FLength = std::max(FLength, FPosition);
    }
    return S_OK;
  });
}

HRESULT Tvor7zTempStream::Read(void *data, UInt32 size, UInt32 *processed) noexcept {
  if (processed)
    *processed = 0;
  return GuardHResult([&]() -> HRESULT {
    auto *dst = static_cast<Byte *>(data);
    UInt32 wanted = size;
    while (wanted > 0 && FPosition < FLength) {
      UInt32 n;
      if (FPosition < FFlushed) {
        n = static_cast<UInt32>(std::min<UInt64>(wanted, std::min(FFlushed, FLength) - FPosition));
        const HRESULT hr = FFile.ReadAt(FPosition, dst, n);
        if (hr != S_OK)
          return hr;
      } else {
        const UInt64 offset = FPosition - FFlushed;
        if (FWindow.empty() || offset >= FWindowSize)
          return E_FAIL;  // cannot happen: the length never runs past the window
        n = static_cast<UInt32>(std::min<UInt64>({wanted, FLength - FPosition, FWindowSize - offset}));
        std::memcpy(dst, FWindow.data() + offset, n);
      }
      FPosition += n;
      dst += n;
      wanted -= n;
      if (processed)
        *processed += n;
    }
    return S_OK;
  });
}

HRESULT Tvor7zTempStream::Seek(Int64 offset, UInt32 origin, UInt64 *newPosition) noexcept {
  return GuardHResult([&] { return Tvor7zBaseInStream::SeekRule(FPosition, FLength, offset, origin, newPosition); });
}

HRESULT Tvor7zTempStream::SetSize(UInt64) noexcept { return E_NOTIMPL; }

HRESULT Tvor7zTempStream::GetSize(UInt64 *size) noexcept {
  if (!size)
    return E_POINTER;
  *size = FLength;
  return S_OK;
}

void Tvor7zTempStream::CopyTo(ISequentialOutStream *stream) {
  CheckPointer(stream);
  if (FFlushed > 0) {
    const UInt64 n = std::min(FFlushed, FLength);
    std::vector<Byte> piece(static_cast<size_t>(std::min<UInt64>(n, kCopyPiece)));
    for (UInt64 offset = 0; offset < n;) {
      const UInt32 k = static_cast<UInt32>(std::min<UInt64>(piece.size(), n - offset));
      CheckHResult(FFile.ReadAt(offset, piece.data(), k));
      WriteExact(stream, piece.data(), k);
      offset += k;
    }
  }
  if (FLength > FFlushed)
    WriteExact(stream, FWindow.data(), static_cast<size_t>(FLength - FFlushed));
}

void Tvor7zTempStream::Clear() {
  FFile.Close();
  FLength = 0;
  FPosition = 0;
  FFlushed = 0;
  // Kept for reuse, but emptied so that old content cannot show through a later gap.
  std::fill(FWindow.begin(), FWindow.end(), Byte(0));
}
