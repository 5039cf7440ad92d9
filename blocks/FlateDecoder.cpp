#include "blocks/FlateDecoder.h"

#include <algorithm>
#include <cstring>
#include <new>

#include <zlib.h>
#ifdef VOR7Z_HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif

#include "host/Errors.h"
#include "streams/Progress.h"

namespace {

constexpr UInt32 kBufferSize = 1 << 16;

// A zlib code as the result of a call: zlib's errors are bad data (S_FALSE) except a lack of memory.
// A stream that asks for a preset dictionary cannot be decoded without one, and calling inflate
// again would not move on, so it counts as bad data too.
HRESULT InflateResult(int code) noexcept {
  if (code == Z_MEM_ERROR)
    return E_OUTOFMEMORY;
  if (code < 0 || code == Z_NEED_DICT)
    return S_FALSE;
  return S_OK;
}

// Input in windows of exactly kBufferSize bytes (fewer only at the end), read from a stream into
// the decoder's buffer.
struct TStreamSource {
  ISequentialInStream *Stream;
  Byte *Buffer;
  HRESULT Fill(const Byte *&data, size_t &got) noexcept {
    got = 0;
    data = Buffer;
    const HRESULT hr = ReadStream(Stream, Buffer, kBufferSize, &got);
    return hr < 0 ? hr : S_OK;  // S_FALSE: the stream ended
  }
};

// The same windows taken straight from memory.
struct TMemorySource {
  const Byte *Data;
  size_t Left;
  HRESULT Fill(const Byte *&data, size_t &got) noexcept {
    data = Data;
    got = std::min<size_t>(Left, kBufferSize);
    Data += got;
    Left -= got;
    return S_OK;
  }
};

// Output through the decoder's buffer into a stream.
struct TStreamSink {
  ISequentialOutStream *Stream;
  Byte *Buffer;
  Byte *Window() const noexcept { return Buffer; }
  HRESULT Put(const Byte *window, size_t size) noexcept {
    const HRESULT hr = WriteStream(Stream, window, size);
    if (hr == S_OK)
      return S_OK;
    // A stream that accepts nothing would silently lose the data.
    return hr < 0 ? hr : E_FAIL;
  }
};

// Output into a caller's buffer: inflated in place while a whole window fits, else through the
// decoder's buffer.
struct TMemorySink {
  Byte *Out;
  size_t Capacity;
  Byte *Buffer;
  size_t Pos = 0;
  Byte *Window() const noexcept { return Capacity - Pos >= kBufferSize ? Out + Pos : Buffer; }
  HRESULT Put(const Byte *window, size_t size) noexcept {
    if (window != Out + Pos && size > 0)
      std::memcpy(Out + Pos, window, size);
    Pos += size;
    return S_OK;
  }
};

} // namespace

void TvorFlateDecodeDecoder::TInflateDeleter::operator()(z_stream_s *stream) const noexcept {
  inflateEnd(stream);
  delete stream;
}

void TvorFlateDecodeDecoder::TFastDeleter::operator()(libdeflate_decompressor *decompressor) const noexcept {
#ifdef VOR7Z_HAVE_LIBDEFLATE
  libdeflate_free_decompressor(decompressor);
#endif
}

TvorFlateDecodeDecoder::TvorFlateDecodeDecoder(bool raw)
    : FInBufferSize(kBufferSize), FOutBufferSize(kBufferSize), FRaw(raw) {}

TvorFlateDecodeDecoder::~TvorFlateDecodeDecoder() = default;

HRESULT TvorFlateDecodeDecoder::QueryInterfaceImpl(REFIID iid, void **out) {
  if (iid == IID_IVorUnknown || iid == IID_ICompressCoder)
    return Offer<ICompressCoder>(this, out);
  return NoInterface(out);
}

HRESULT TvorFlateDecodeDecoder::Prepare() noexcept {
  if (FInflate)
    return S_OK;
  return GuardHResult([&]() -> HRESULT {
    FInBuffer.resize(FInBufferSize);
    FOutBuffer.resize(FOutBufferSize);
    auto stream = std::make_unique<z_stream_s>();
    const int code = FRaw ? inflateInit2(stream.get(), -MAX_WBITS) : inflateInit(stream.get());
    if (code != Z_OK)
      return InflateResult(code);
    FInflate.reset(stream.release());
    return S_OK;
  });
}

// The streaming loop. Results (including how much is written before an error) depend on where
// inflate is called with what, so both entry points run this same loop over the same 64 KiB input
// windows and 64 KiB output windows.
template <class TSource, class TSink>
HRESULT TvorFlateDecodeDecoder::Inflate(TSource &source, TSink &sink, const UInt64 *outSize) noexcept {
  z_stream &z = *FInflate;
  // Every call starts a fresh stream; the state and window stay allocated.
  if (HRESULT hr = InflateResult(inflateReset(&z)); hr != S_OK)
    return hr;
  const bool limited = outSize != nullptr;
  UInt64 remaining = limited ? *outSize : 0;
  size_t got = 0;
  Byte *window = nullptr;

  auto fill = [&]() -> HRESULT {
    const Byte *data = nullptr;
    const HRESULT hr = source.Fill(data, got);
    z.next_in = const_cast<Bytef *>(data);
    z.avail_in = static_cast<uInt>(got);
    return hr;
  };
  auto startWindow = [&]() {
    window = sink.Window();
    z.next_out = window;
    z.avail_out = kBufferSize;
  };
  // Writes what the last inflate calls produced; `done` once OutSize bytes have been written.
  auto emit = [&](bool &done) -> HRESULT {
    size_t produced = kBufferSize - z.avail_out;
    if (limited && produced > remaining)
      produced = static_cast<size_t>(remaining);
    if (HRESULT hr = sink.Put(window, produced); hr != S_OK)
      return hr;
    if (limited)
      remaining -= produced;
    done = limited && remaining == 0;
    return S_OK;
  };

  if (HRESULT hr = fill(); hr != S_OK)
    return hr;
  int code = Z_OK;
  bool done = false;
  while (got > 0) {
    do {
      startWindow();
      code = inflate(&z, Z_NO_FLUSH);
      // No progress without more input: refill, keeping the output position.
      while (code == Z_BUF_ERROR) {
        if (HRESULT hr = fill(); hr != S_OK)
          return hr;
        if (got == 0)
          break;
        code = inflate(&z, Z_NO_FLUSH);
      }
      // An error drops the output of this window: a chunk whose checksum fails is not delivered.
      if (HRESULT hr = InflateResult(code); hr != S_OK)
        return hr;
      if (HRESULT hr = emit(done); hr != S_OK || done)
        return hr;
    } while (code != Z_STREAM_END && (z.avail_in > 0 || z.avail_out == 0));
    if (code == Z_STREAM_END)
      break;
    if (HRESULT hr = fill(); hr != S_OK)
      return hr;
  }

  // Finish: flushes what is left, and fails a stream that is truncated or empty. Under Z_FINISH
  // inflate never answers Z_OK, so every round either fills the window, ends or fails.
  for (;;) {
    startWindow();
    code = inflate(&z, Z_FINISH);
    if (HRESULT hr = InflateResult(code); hr != S_OK)
      return hr;
    if (HRESULT hr = emit(done); hr != S_OK || done)
      return hr;
    if (code == Z_STREAM_END && z.avail_out != 0)
      return S_OK;
  }
}

HRESULT TvorFlateDecodeDecoder::Code(ISequentialInStream *inStream, ISequentialOutStream *outStream,
                                     const UInt64 * /*inSize*/, const UInt64 *outSize,
                                     ICompressProgressInfo * /*progress*/) noexcept {
  if (!inStream || !outStream)
    return E_POINTER;
  if (HRESULT hr = Prepare(); hr != S_OK)
    return hr;
  TStreamSource source{inStream, FInBuffer.data()};
  TStreamSink sink{outStream, FOutBuffer.data()};
  return Inflate(source, sink, outSize);
}

HRESULT TvorFlateDecodeDecoder::DecodeBuffer(const Byte *in, size_t inSize, Byte *out, size_t outSize,
                                             size_t *written) noexcept {
  size_t unused = 0;
  if (!written)
    written = &unused;
  *written = 0;
  if ((!in && inSize) || (!out && outSize))
    return E_POINTER;
#ifdef VOR7Z_HAVE_LIBDEFLATE
  // One pass over the whole buffer. Only a clean decode that fits is taken as it is; anything else
  // (bad data, more output than room) is left to the streaming loop, which decides what Code would
  // have written and answered.
  if (in && out) {
    if (!FFastDecompressor)
      FFastDecompressor.reset(libdeflate_alloc_decompressor());
    if (FFastDecompressor) {
      size_t produced = 0;
      const libdeflate_result r =
          FRaw ? libdeflate_deflate_decompress(FFastDecompressor.get(), in, inSize, out, outSize, &produced)
               : libdeflate_zlib_decompress(FFastDecompressor.get(), in, inSize, out, outSize, &produced);
      if (r == LIBDEFLATE_SUCCESS) {
        *written = produced;
        return S_OK;
      }
    }
  }
#endif
  if (HRESULT hr = Prepare(); hr != S_OK)
    return hr;
  TMemorySource source{in, inSize};
  TMemorySink sink{out, outSize, FOutBuffer.data()};
  const UInt64 limit = outSize;
  const HRESULT hr = Inflate(source, sink, &limit);
  *written = sink.Pos;
  return hr;
}
