// A stream of unknown length that keeps one window in memory and spills the rest to a temporary
// file which vanishes with the stream.
#pragma once

#include <vector>

#include "host/Com.h"
#include "platform/Platform.h"

class Tvor7zTempStream : public TvorInterfacedObject, public IInStream, public IOutStream, public IStreamGetSize {
public:
  // windowSize 0 = 1 MiB.
  explicit Tvor7zTempStream(UInt32 windowSize = 0);
  ~Tvor7zTempStream() override;
  VOR_UNKNOWN_IMP
  HRESULT QueryInterfaceImpl(REFIID iid, void **out) override;
  HRESULT STDMETHODCALLTYPE Read(void *data, UInt32 size, UInt32 *processed) noexcept override;
  HRESULT STDMETHODCALLTYPE Write(const void *data, UInt32 size, UInt32 *processed) noexcept override;
  // Shared by IInStream and IOutStream.
  HRESULT STDMETHODCALLTYPE Seek(Int64 offset, UInt32 origin, UInt64 *newPosition) noexcept override;
  HRESULT STDMETHODCALLTYPE SetSize(UInt64 newSize) noexcept override;
  HRESULT STDMETHODCALLTYPE GetSize(UInt64 *size) noexcept override;

  // Writes the whole content to `stream`; failures raise.
  void CopyTo(ISequentialOutStream *stream);
  // Deletes the file and empties the stream; the window memory is kept.
  void Clear();
  UInt64 Length() const noexcept { return FLength; }
  bool HasFile() const noexcept { return FFile.IsOpen(); }

private:
  UInt32 FWindowSize;
  std::vector<Byte> FWindow;
  UInt64 FFlushed = 0;
  TvorTempFile FFile;
  UInt64 FPosition = 0;
  UInt64 FLength = 0;
};
