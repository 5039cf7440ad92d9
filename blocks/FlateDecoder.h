// Inflate of zlib-wrapped (or, on request, raw) deflate streams behind the host's coder interface.
#pragma once

#include <memory>
#include <vector>

#include "host/Com.h"

struct z_stream_s;
struct libdeflate_decompressor;

// Most bytes `packedSize` bytes of deflate data can inflate to: the longest match (258 bytes) takes
// at least two bits, so no stream expands by more than 1032 to 1. Buffers for decoded data are
// sized by it rather than by the size a file claims.
constexpr UInt64 MaxInflatedSize(UInt64 packedSize) { return packedSize * 1032 + 258; }

// Code results: S_OK when the stream ended or OutSize bytes were written (fewer when the stream
// ends early; the caller compares), S_FALSE for any zlib error, other failures as their HRESULT.
// Input after the end of the deflate stream is ignored.
class TvorFlateDecodeDecoder : public TvorInterfacedObject, public ICompressCoder {
public:
  // `raw`: the streams are bare deflate data without the zlib wrapper (ZIP members, AFF4 chunks).
  explicit TvorFlateDecodeDecoder(bool raw = false);
  VOR_UNKNOWN_IMP
  HRESULT QueryInterfaceImpl(REFIID iid, void **out) override;
  HRESULT STDMETHODCALLTYPE Code(ISequentialInStream *inStream, ISequentialOutStream *outStream, const UInt64 *inSize,
                                 const UInt64 *outSize, ICompressProgressInfo *progress) noexcept override;

  // Whole-buffer decode of one in-memory zlib stream into `out` (capacity `outSize`), with the same
  // observable results as Code over the same bytes: S_OK with *written bytes (at most outSize),
  // S_FALSE for bad data (with the bytes decoded before it). Bytes of `out` past *written are
  // unspecified. Uses a fast whole-buffer inflater where available.
  HRESULT DecodeBuffer(const Byte *in, size_t inSize, Byte *out, size_t outSize, size_t *written) noexcept;

  ~TvorFlateDecodeDecoder() override;

private:
  struct TInflateDeleter {
    void operator()(z_stream_s *stream) const noexcept;
  };
  struct TFastDeleter {
    void operator()(libdeflate_decompressor *decompressor) const noexcept;
  };
  // Buffers and the inflate state, made once and reused by every call.
  HRESULT Prepare() noexcept;
  template <class TSource, class TSink>
  HRESULT Inflate(TSource &source, TSink &sink, const UInt64 *outSize) noexcept;

  std::vector<Byte> FInBuffer;
  UInt32 FInBufferSize;
  std::vector<Byte> FOutBuffer;
  UInt32 FOutBufferSize;
  // Reset, not re-created, for each stream: saves zlib's state and window allocations per block.
  std::unique_ptr<z_stream_s, TInflateDeleter> FInflate;
  std::unique_ptr<libdeflate_decompressor, TFastDeleter> FFastDecompressor;
  bool FRaw;
};
