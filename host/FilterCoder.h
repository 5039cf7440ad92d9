// Turns a host in-place filter (ICompressFilter) into a stream coder.
#pragma once

#include <vector>

#include "host/Com.h"

class Tvor7zFilterCoder : public TvorInterfacedObject,
                          public ICompressCoder,
                          public ICompressSetCoderMt,
                          public ICompressSetBufSize {
public:
  explicit Tvor7zFilterCoder(ICompressFilter *filter);
  VOR_UNKNOWN_IMP
  HRESULT QueryInterfaceImpl(REFIID iid, void **out) override;

  HRESULT STDMETHODCALLTYPE Code(ISequentialInStream *inStream, ISequentialOutStream *outStream, const UInt64 *inSize,
                                 const UInt64 *outSize, ICompressProgressInfo *progress) noexcept override;
  HRESULT STDMETHODCALLTYPE SetNumberOfThreads(UInt32 numThreads) noexcept override;
  HRESULT STDMETHODCALLTYPE SetInBufSize(UInt32 streamIndex, UInt32 size) noexcept override;
  HRESULT STDMETHODCALLTYPE SetOutBufSize(UInt32 streamIndex, UInt32 size) noexcept override;

  // Buffers are whole multiples of this granule.
  static UInt32 BufferGranule;

protected:
  UInt32 FInBufSize = 0;
  UInt32 FOutBufSize = 0;
  std::vector<Byte> FBuffer;
  ComPtr<ICompressFilter> FFilter;
  ComPtr<ICompressSetCoderMt> FSetCoderMt;
  ComPtr<ICompressSetBufSize> FSetBufSize;
};

class Tvor7zFilterDecoder : public Tvor7zFilterCoder,
                            public ICompressSetDecoderProperties2,
                            public ICompressSetFinishMode {
public:
  explicit Tvor7zFilterDecoder(ICompressFilter *filter);
  VOR_UNKNOWN_IMP
  HRESULT QueryInterfaceImpl(REFIID iid, void **out) override;
  HRESULT STDMETHODCALLTYPE SetDecoderProperties2(const Byte *data, UInt32 size) noexcept override;
  HRESULT STDMETHODCALLTYPE SetFinishMode(UInt32 finishMode) noexcept override;

private:
  ComPtr<ICompressSetDecoderProperties2> FSetDecoderProperties2;
  ComPtr<ICompressSetFinishMode> FSetFinishMode;
};

// Progress sink that ignores every report.
class Tvor7zDummyCompressProgressInfo : public TvorInterfacedObject, public ICompressProgressInfo {
public:
  VOR_UNKNOWN_IMP
  HRESULT QueryInterfaceImpl(REFIID iid, void **out) override;
  HRESULT STDMETHODCALLTYPE SetRatioInfo(const UInt64 *, const UInt64 *) noexcept override { return S_OK; }
};
