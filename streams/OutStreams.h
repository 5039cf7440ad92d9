// Output streams: a writer into a fixed memory block, and pass-through streams that count or hash.
#pragma once

#include "host/Com.h"

// Writes into a caller's buffer; overflow either fails (E_FAIL) or is cut silently.
class Tvor7zFixedMemorySequentialOutStream : public TvorInterfacedObject,
                                             public ISequentialOutStream,
                                             public IStreamGetSize {
public:
  Tvor7zFixedMemorySequentialOutStream() = default;
  Tvor7zFixedMemorySequentialOutStream(void *buffer, UInt32 capacity, bool failOnOverflow)
      : FBuffer(static_cast<Byte *>(buffer)), FCapacity(capacity), FFailOnOverflow(failOnOverflow) {}
  VOR_UNKNOWN_IMP
  HRESULT QueryInterfaceImpl(REFIID iid, void **out) override;
  HRESULT STDMETHODCALLTYPE Write(const void *data, UInt32 size, UInt32 *processed) noexcept override;
  HRESULT STDMETHODCALLTYPE GetSize(UInt64 *size) noexcept override;
  void SetBuffer(void *buffer, UInt32 capacity) {
    FBuffer = static_cast<Byte *>(buffer);
    FCapacity = capacity;
    FWritten = 0;
  }
  UInt64 Written() const noexcept { return FWritten; }

private:
  Byte *FBuffer = nullptr;
  UInt32 FCapacity = 0;
  bool FFailOnOverflow = false;
  UInt64 FWritten = 0;
};

// Counts the bytes that pass.
class Tvor7zSizeSequentialStream : public TvorInterfacedObject, public IStreamGetSize {
public:
  HRESULT STDMETHODCALLTYPE GetSize(UInt64 *size) noexcept override;
  UInt64 Count() const noexcept { return FCount; }

protected:
  UInt64 FCount = 0;
};

// Counting pass-through in front of an output stream (without one, accepts everything).
class Tvor7zSizeSequentialOutStream : public Tvor7zSizeSequentialStream, public ISequentialOutStream {
public:
  Tvor7zSizeSequentialOutStream() = default;
  explicit Tvor7zSizeSequentialOutStream(ISequentialOutStream *stream) : FStream(stream) {}
  VOR_UNKNOWN_IMP
  HRESULT QueryInterfaceImpl(REFIID iid, void **out) override;
  HRESULT STDMETHODCALLTYPE Write(const void *data, UInt32 size, UInt32 *processed) noexcept override;
  // Also resets the count.
  void SetStream(ISequentialOutStream *stream) {
    FStream = stream;
    FCount = 0;
  }

private:
  ComPtr<ISequentialOutStream> FStream;
};

// Feeds every byte that passes into a hasher.
class Tvor7zHashSequentialStream : public TvorInterfacedObject, public IStreamGetSize {
public:
  // Keeps the hasher and initialises it; without one the stream only counts and GetHash raises.
  explicit Tvor7zHashSequentialStream(IHasher *hasher);
  HRESULT STDMETHODCALLTYPE GetSize(UInt64 *size) noexcept override;
  // The hasher's Final; `digest` must hold its digest size.
  void GetHash(Byte *digest);
  UInt64 Count() const noexcept { return FCount; }
  IHasher *Hasher() const noexcept { return FHasher; }

protected:
  ComPtr<IHasher> FHasher;
  UInt64 FCount = 0;
};

class Tvor7zHashSequentialInStream : public Tvor7zHashSequentialStream, public ISequentialInStream {
public:
  Tvor7zHashSequentialInStream(IHasher *hasher, ISequentialInStream *stream)
      : Tvor7zHashSequentialStream(hasher), FStream(stream) {}
  VOR_UNKNOWN_IMP
  HRESULT QueryInterfaceImpl(REFIID iid, void **out) override;
  HRESULT STDMETHODCALLTYPE Read(void *data, UInt32 size, UInt32 *processed) noexcept override;
  // Resets the count, not the hasher.
  void SetStream(ISequentialInStream *stream) {
    FStream = stream;
    FCount = 0;
  }

private:
  ComPtr<ISequentialInStream> FStream;
};

class Tvor7zHashSequentialOutStream : public Tvor7zHashSequentialStream, public ISequentialOutStream {
public:
  Tvor7zHashSequentialOutStream(IHasher *hasher, ISequentialOutStream *stream)
      : Tvor7zHashSequentialStream(hasher), FStream(stream) {}
  VOR_UNKNOWN_IMP
  HRESULT QueryInterfaceImpl(REFIID iid, void **out) override;
  HRESULT STDMETHODCALLTYPE Write(const void *data, UInt32 size, UInt32 *processed) noexcept override;

private:
  ComPtr<ISequentialOutStream> FStream;
};

// Writes all `size` bytes; failures raise, and so does an output that takes nothing (E_FAIL: the
// bytes would be lost).
void WriteExact(ISequentialOutStream *stream, const void *data, size_t size);
