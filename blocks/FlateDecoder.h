// Inflate of zlib-wrapped deflate streams behind the host's coder interface.
#pragma once

#include <vector>

#include "streams/Com.h"

// Code results: S_OK when the stream ended or OutSize bytes were written (fewer when the stream
// ends early; the caller compares), S_FALSE for any zlib error, other failures as their HRESULT.
// Input after the end of the deflate stream is ignored.
class TvorFlateDecodeDecoder : public TvorInterfacedObject, public ICompressCoder {
public:
  TvorFlateDecodeDecoder();
  VOR_UNKNOWN_IMP
  HRESULT QueryInterfaceImpl(REFIID iid, void **out) override;
  HRESULT STDMETHODCALLTYPE Code(ISequentialInStream *inStream, ISequentialOutStream *outStream, const UInt64 *inSize,
                                 const UInt64 *outSize, ICompressProgressInfo *progress) noexcept override;

  // Whole-buffer decode of one in-memory zlib stream into `out` (capacity `outSize`), with the same
  // observable results as Code over the same bytes: S_OK with *written bytes (at most outSize),
  // S_FALSE for bad data. Uses a fast whole-buffer inflater where available.
  HRESULT DecodeBuffer(const Byte *in, size_t inSize, Byte *out, size_t outSize, size_t *written) noexcept;

private:
  std::vector<Byte> FInBuffer;
  UInt32 FInBufferSize;
  std::vector<Byte> FOutBuffer;
  UInt32 FOutBufferSize;
  void *FFastDecompressor = nullptr;  // owned; freed by the destructor
public:
  ~TvorFlateDecodeDecoder() override;
};
