#include "streams/InStreams.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "host/Errors.h"
#include "streams/Progress.h"

namespace {
// No host stream can be positioned beyond this.
constexpr UInt64 kMaxPosition = static_cast<UInt64>(std::numeric_limits<Int64>::max());
}  // namespace

// ---- Tvor7zBaseInStream ----

HRESULT Tvor7zBaseInStream::QueryInterfaceImpl(REFIID iid, void **out) {
  if (iid == IID_IVorUnknown || iid == IID_IInStream || iid == IID_ISequentialInStream)
    return Offer<IInStream>(this, out);
  if (iid == IID_IStreamGetSize)
    return Offer<IStreamGetSize>(this, out);
  return NoInterface(out);
}

HRESULT Tvor7zBaseInStream::Read(void *, UInt32, UInt32 *processed) noexcept {
  if (processed)
    *processed = 0;
  return S_OK;
}

HRESULT Tvor7zBaseInStream::SeekRule(UInt64 &position, UInt64 size, Int64 offset, UInt32 origin,
                                     UInt64 *newPosition) noexcept {
  UInt64 base;
  switch (origin) {
  case STREAM_SEEK_SET:
    base = 0;
    break;
  case STREAM_SEEK_CUR:
    base = position;
    break;
  case STREAM_SEEK_END:
    base = size;
    break;
  default:
    if (newPosition)
      *newPosition = position;
    return HRESULT_ERROR_INVALID_FUNCTION;
  }
  HRESULT hr = S_OK;
  if (offset < 0) {
    // -offset without overflowing on the most negative value.
    const UInt64 back = static_cast<UInt64>(-(offset + 1)) + 1;
    if (back > base)
      hr = HRESULT_ERROR_NEGATIVE_SEEK;
    else
      position = base - back;
  } else {
    // A target past the signed range is what a host stream sees as negative.
    const UInt64 forward = static_cast<UInt64>(offset);
    if (base > kMaxPosition || forward > kMaxPosition - base)
      hr = HRESULT_ERROR_NEGATIVE_SEEK;
    else
      position = base + forward;
  }
  if (hr != S_OK)
    position = 0;
  if (newPosition)
    *newPosition = position;
  return hr;
}

HRESULT Tvor7zBaseInStream::Seek(Int64 offset, UInt32 origin, UInt64 *newPosition) noexcept {
  return GuardHResult([&] { return SeekRule(FPosition, FSize, offset, origin, newPosition); });
}

HRESULT Tvor7zBaseInStream::GetSize(UInt64 *size) noexcept {
  return GuardHResult([&] {
    if (size)
      *size = FSize;
    return S_OK;
  });
}

// ---- Tvor7zBufferedInStream ----

Tvor7zBufferedInStream::Tvor7zBufferedInStream(IInStream *stream, UInt32 bufferSize)
    : FBufferSize(bufferSize == 0 ? 0x100000u : bufferSize) {
  SetStream(stream);
}

void Tvor7zBufferedInStream::SetStream(IInStream *stream) {
  FBufferValid = false;
  FBufferLength = 0;
  FBufferBlock = 0;
  FBufferStart = 0;
  FStream = stream;
  FPosition = 0;
  FSize = 0;
  if (!stream)
    return;
  UInt64 position = 0, size = 0;
  CheckHResult(stream->Seek(0, STREAM_SEEK_CUR, &position));
  CheckHResult(stream->Seek(0, STREAM_SEEK_END, &size));
  CheckHResult(stream->Seek(static_cast<Int64>(position), STREAM_SEEK_SET, nullptr));
  FPosition = position;
  FSize = size;
}

void Tvor7zBufferedInStream::LoadBlock(UInt64 block) {
  // Invalid until the read succeeded, so a failure never leaves a half-filled block looking valid.
  FBufferValid = false;
  FBufferLength = 0;
  const UInt64 start = block * FBufferSize;
  CheckHResult(FStream->Seek(static_cast<Int64>(start), STREAM_SEEK_SET, nullptr));
  // Bytes past the stated size are never handed out, so a small stream needs only a small buffer.
  const UInt32 want = static_cast<UInt32>(std::min<UInt64>(FBufferSize, FSize - start));
  if (FBuffer.size() < want)
    FBuffer.resize(want);
  size_t got = 0;
  const HRESULT hr = ReadStream(FStream, FBuffer.data(), want, &got);
  CheckHResult(hr);
  FBufferStart = start;
  FBufferBlock = block;
  FBufferLength = static_cast<UInt32>(got);
  FBufferValid = true;
}

HRESULT Tvor7zBufferedInStream::Read(void *data, UInt32 size, UInt32 *processed) noexcept {
  if (processed)
    *processed = 0;
  return GuardHResult([&]() -> HRESULT {
    if (FSize == 0 || size == 0 || FPosition >= FSize || !FStream)
      return S_OK;
    const UInt32 want = static_cast<UInt32>(std::min<UInt64>(size, FSize - FPosition));
    const UInt64 block = FPosition / FBufferSize;
    if (!FBufferValid || FBufferBlock != block)
      LoadBlock(block);
    const UInt64 offset = FPosition - FBufferStart;
    if (offset >= FBufferLength)
      return E_FAIL;  // the wrapped stream is shorter than it claimed
    const UInt32 n = static_cast<UInt32>(std::min<UInt64>(want, FBufferLength - offset));
    std::memcpy(data, FBuffer.data() + offset, n);
    FPosition += n;
    if (processed)
      *processed = n;
    return S_OK;
  });
}

// ---- Tvor7zFixedMemoryInStream ----

Tvor7zFixedMemoryInStream::Tvor7zFixedMemoryInStream(const void *data, UInt32 size, bool ownsData) {
  SetData(data, size, ownsData);
}

Tvor7zFixedMemoryInStream::~Tvor7zFixedMemoryInStream() {
  if (FOwnsData)
    std::free(const_cast<Byte *>(FData));
}

void Tvor7zFixedMemoryInStream::SetData(const void *data, UInt32 size, bool ownsData) {
  // Taking the same block again must not free it.
  if (FOwnsData && FData != data)
    std::free(const_cast<Byte *>(FData));
  FData = static_cast<const Byte *>(data);
  FOwnsData = ownsData;
  FSize = FData ? size : 0;
  FPosition = 0;
}

HRESULT Tvor7zFixedMemoryInStream::Read(void *data, UInt32 size, UInt32 *processed) noexcept {
  return GuardHResult([&] {
    UInt32 n = 0;
    if (FPosition < FSize)
      n = static_cast<UInt32>(std::min<UInt64>(size, FSize - FPosition));
    if (n)
      std::memcpy(data, FData + FPosition, n);
    FPosition += n;
    if (processed)
      *processed = n;
    return S_OK;
  });
}

// ---- Tvor7zLimitInStream ----

size_t Tvor7zLimitInStream::FindSegment(UInt64 position) const {
  // Starts are strictly increasing because empty segments are never stored.
  const auto it = std::upper_bound(FStarts.begin(), FStarts.end(), position);
  return static_cast<size_t>(it - FStarts.begin()) - 1;
}

void Tvor7zLimitInStream::AddSegment(IInStream *stream, UInt64 offset, UInt64 size) {
  if (size == 0)
    return;
  CheckPointer(stream);
  // Sizes come from container headers: a piece that ends beyond any possible stream position, or a
  // total that no seek could reach, is refused rather than wrapped.
  CheckArgument(size <= kMaxPosition && offset <= kMaxPosition - size && FSize <= kMaxPosition - size);
  if (!FSegments.empty()) {
    TvorLimitInStreamSegment &last = FSegments.back();
    if (last.Stream.Get() == stream && last.Offset + last.Size == offset) {
      last.Size += size;
      FSize += size;
      return;
    }
  }
  FSegments.push_back(TvorLimitInStreamSegment{ComPtr<IInStream>(stream), offset, size});
  FStarts.push_back(FSize);
  FSize += size;
}

void Tvor7zLimitInStream::AddZeros(UInt64 size) {
  if (size == 0)
    return;
  CheckArgument(size <= kMaxPosition && FSize <= kMaxPosition - size);
  FSegments.push_back(TvorLimitInStreamSegment{ComPtr<IInStream>(), 0, size});
  FStarts.push_back(FSize);
  FSize += size;
}

void Tvor7zLimitInStream::AddStream(IInStream *stream) {
  CheckPointer(stream);
  UInt64 size = 0;
  CheckHResult(stream->Seek(0, STREAM_SEEK_END, &size));
  AddSegment(stream, 0, size);
}

void Tvor7zLimitInStream::Clear() {
  std::vector<TvorLimitInStreamSegment>().swap(FSegments);
  std::vector<UInt64>().swap(FStarts);
  FPosition = 0;
  FSize = 0;
}

UInt64 Tvor7zLimitInStream::MapPosition(UInt64 position) const {
  if (position >= FSize)
    return 0;
  const size_t i = FindSegment(position);
  return position - FStarts[i] + FSegments[i].Offset;
}

ComPtr<Tvor7zLimitInStream> Tvor7zLimitInStream::Clone() const {
  ComPtr<Tvor7zLimitInStream> clone(new Tvor7zLimitInStream());
  clone->FSegments = FSegments;
  clone->FStarts = FStarts;
  clone->FSize = FSize;
  clone->FLock = FLock;
  return clone;
}

void Tvor7zLimitInStream::GetSegment(Int32 index, UInt64 &offset, UInt64 &size) const {
  const TvorLimitInStreamSegment &s = FSegments.at(static_cast<size_t>(index));
  offset = s.Offset;
  size = s.Size;
}

HRESULT Tvor7zLimitInStream::Read(void *data, UInt32 size, UInt32 *processed) noexcept {
  if (processed)
    *processed = 0;
  return GuardHResult([&]() -> HRESULT {
    if (size == 0 || FPosition >= FSize)
      return S_OK;
    auto *dst = static_cast<Byte *>(data);
    UInt32 wanted = size;
    UInt32 done = 0;
    const auto finish = [&](HRESULT hr) {
      if (processed)
        *processed = done;
      return hr;
    };
    const std::lock_guard<std::mutex> lock(*FLock);
    size_t i = FindSegment(FPosition);
    UInt64 r = FPosition - FStarts[i];
    for (; i < FSegments.size() && wanted > 0; i++, r = 0) {
      const TvorLimitInStreamSegment &seg = FSegments[i];
      if (!seg.Stream) {
        const UInt32 n = static_cast<UInt32>(std::min<UInt64>(wanted, seg.Size - r));
        std::memset(dst, 0, n);
        FPosition += n;
        done += n;
        dst += n;
        wanted -= n;
        continue;
      }
      HRESULT hr = seg.Stream->Seek(static_cast<Int64>(seg.Offset + r), STREAM_SEEK_SET, nullptr);
      if (hr < 0)
        return finish(hr);
      UInt32 n = static_cast<UInt32>(std::min<UInt64>(wanted, seg.Size - r));
      while (n > 0) {
        UInt32 got = 0;
        hr = seg.Stream->Read(dst, n, &got);
        if (got > n)
          return finish(E_FAIL);
        // Bytes that arrived count even when the call also reported an error.
        if (got == 0)
          return finish(hr);
        FPosition += got;
        done += got;
        dst += got;
        n -= got;
        wanted -= got;
      }
    }
    return finish(S_OK);
  });
}

// ---- Tvor7zRepeatInStream ----

Tvor7zRepeatInStream::Tvor7zRepeatInStream(IInStream *source, UInt64 offset, UInt64 size)
    : FSource(source), FOffset(offset) {
  CheckPointer(source);
  CheckArgument(offset <= kMaxPosition);
  FSize = size;
}

HRESULT Tvor7zRepeatInStream::Read(void *data, UInt32 size, UInt32 *processed) noexcept {
  if (processed)
    *processed = 0;
  return GuardHResult([&]() -> HRESULT {
    if (size == 0 || FPosition >= FSize)
      return S_OK;
    if (!FHaveByte) {
      HRESULT hr = FSource->Seek(static_cast<Int64>(FOffset), STREAM_SEEK_SET, nullptr);
      if (hr < 0)
        return hr;
      UInt32 got = 0;
      hr = FSource->Read(&FByte, 1, &got);
      if (got != 1)
        return got > 1 ? E_FAIL : hr;
      FHaveByte = true;
    }
    const UInt32 n = static_cast<UInt32>(std::min<UInt64>(size, FSize - FPosition));
    std::memset(data, FByte, n);
    FPosition += n;
    if (processed)
      *processed = n;
    return S_OK;
  });
}

// ---- Tvor7zLimitSequentialInStream ----

HRESULT Tvor7zLimitSequentialInStream::QueryInterfaceImpl(REFIID iid, void **out) {
  if (iid == IID_IVorUnknown || iid == IID_ISequentialInStream)
    return Offer<ISequentialInStream>(this, out);
  return NoInterface(out);
}

HRESULT Tvor7zLimitSequentialInStream::Read(void *data, UInt32 size, UInt32 *processed) noexcept {
  if (processed)
    *processed = 0;
  return GuardHResult([&]() -> HRESULT {
    const UInt32 want = static_cast<UInt32>(std::min<UInt64>(size, FRemaining));
    if (want == 0 || !FStream)
      return S_OK;
    UInt32 got = 0;
    const HRESULT hr = FStream->Read(data, want, &got);
    if (got > want)
      return E_FAIL;
    // Delivered bytes are consumed whatever the result, so the limit stays exact.
    FRemaining -= got;
    if (processed)
      *processed = got;
    return hr;
  });
}

UInt64 SeekTo(IInStream *stream, Int64 offset, UInt32 origin) {
  UInt64 position = 0;
  const HRESULT hr = stream->Seek(offset, origin, &position);
  // A seek that answers S_FALSE did not move: never read on from the wrong place.
  CheckHResult(hr == S_FALSE ? E_FAIL : hr);
  return position;
}

size_t ReadUpTo(ISequentialInStream *stream, void *data, size_t size) {
  size_t got = 0;
  CheckHResult(ReadStream(stream, data, size, &got));
  return got;
}

size_t ReadAt(IInStream *stream, UInt64 position, void *data, size_t size) {
  if (position > static_cast<UInt64>(std::numeric_limits<Int64>::max()))
    return 0;
  SeekTo(stream, static_cast<Int64>(position));
  return ReadUpTo(stream, data, size);
}

void ReadExact(ISequentialInStream *stream, void *data, size_t size) {
  const HRESULT hr = ReadStream(stream, data, size);
  if (hr == S_FALSE)
    RaiseHResult(S_FALSE);
  CheckHResult(hr);
}

ComPtr<IInStream> OpenVolume(IArchiveOpenCallback *callback, const UString &name) {
  ComPtr<IInStream> stream;
  auto volumes = QueryAs<IArchiveOpenVolumeCallback>(callback, IID_IArchiveOpenVolumeCallback);
  if (volumes && !name.empty() && volumes->GetStream(name.c_str(), stream.Put()) != S_OK)
    stream = nullptr;  // S_FALSE is the host's "no such file"; a failure to open it is just as absent
  return stream;
}
