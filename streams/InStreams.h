// Random-access input streams: a common seek base, a buffered reader over a host stream, a stream
// over memory, a stream joining pieces of several host streams, one byte of a host stream repeated,
// and a sequential byte-limited window.
#pragma once

#include <algorithm>
#include <memory>
#include <mutex>
#include <vector>

#include "host/Com.h"

// Owns position and size and implements the seek rules; offers IInStream and IStreamGetSize.
class Tvor7zBaseInStream : public TvorInterfacedObject, public IInStream, public IStreamGetSize {
public:
  VOR_UNKNOWN_IMP
  HRESULT QueryInterfaceImpl(REFIID iid, void **out) override;
  // Base: reports 0 bytes.
  HRESULT STDMETHODCALLTYPE Read(void *data, UInt32 size, UInt32 *processed) noexcept override;
  HRESULT STDMETHODCALLTYPE Seek(Int64 offset, UInt32 origin, UInt64 *newPosition) noexcept override;
  HRESULT STDMETHODCALLTYPE GetSize(UInt64 *size) noexcept override;

  UInt64 Position() const noexcept { return FPosition; }
  UInt64 Size() const noexcept { return FSize; }

  // The seek rules on any (position, size) pair; shared with the temporary stream.
  static HRESULT SeekRule(UInt64 &position, UInt64 size, Int64 offset, UInt32 origin, UInt64 *newPosition) noexcept;

protected:
  UInt64 FPosition = 0;
  UInt64 FSize = 0;
};

// Reads a host stream through one block-sized buffer; a read never crosses a block boundary.
class Tvor7zBufferedInStream : public Tvor7zBaseInStream {
public:
  // bufferSize 0 = 1 MiB. Takes position and size from `stream` and leaves it where it was.
  Tvor7zBufferedInStream(IInStream *stream, UInt32 bufferSize);
  HRESULT STDMETHODCALLTYPE Read(void *data, UInt32 size, UInt32 *processed) noexcept override;
  // Same as construction with the current block size; nil empties the stream. Drops the buffer.
  void SetStream(IInStream *stream);

private:
  // Reads block `block` into the buffer; failures raise.
  void LoadBlock(UInt64 block);

  ComPtr<IInStream> FStream;
  std::vector<Byte> FBuffer;
  UInt32 FBufferSize;
  UInt32 FBufferLength = 0;
  UInt64 FBufferBlock = 0;
  bool FBufferValid = false;
  UInt64 FBufferStart = 0;
};

// A stream over a memory block of at most 4 GiB - 1 bytes.
class Tvor7zFixedMemoryInStream : public Tvor7zBaseInStream {
public:
  Tvor7zFixedMemoryInStream() = default;
  Tvor7zFixedMemoryInStream(const void *data, UInt32 size, bool ownsData);
  ~Tvor7zFixedMemoryInStream() override;
  HRESULT STDMETHODCALLTYPE Read(void *data, UInt32 size, UInt32 *processed) noexcept override;
  // Takes a new block (freed with std::free when owned) and rewinds.
  void SetData(const void *data, UInt32 size, bool ownsData);

private:
  const Byte *FData = nullptr;
  bool FOwnsData = false;
};

struct TvorLimitInStreamSegment {
  ComPtr<IInStream> Stream;  // nil: the piece reads as zeros
  UInt64 Offset = 0;
  UInt64 Size = 0;
};
using PvorLimitInStreamSegment = TvorLimitInStreamSegment *;

// Joins pieces of one or several host streams into one logical stream. Clones share the pieces
// and a lock around their reads, each with its own position: readers on different threads (two
// random-access streams, the pages of a chunk table) each take a clone.
class Tvor7zLimitInStream : public Tvor7zBaseInStream {
public:
  HRESULT STDMETHODCALLTYPE Read(void *data, UInt32 size, UInt32 *processed) noexcept override;
  // The same pieces from position 0; add no more pieces to either afterwards.
  ComPtr<Tvor7zLimitInStream> Clone() const;
  // A piece continuing the last one on the same stream extends it; size 0 is ignored.
  void AddSegment(IInStream *stream, UInt64 offset, UInt64 size);
  // Adds the whole stream (its size from Seek END; a failure raises).
  void AddStream(IInStream *stream);
  // A piece of `size` zero bytes, standing for data that is lost.
  void AddZeros(UInt64 size);
  void Clear();
  // Offset inside the holding segment's stream; 0 beyond the last segment.
  UInt64 MapPosition(UInt64 position) const;
  Int32 GetSegmentCount() const { return static_cast<Int32>(FSegments.size()); }
  void GetSegment(Int32 index, UInt64 &offset, UInt64 &size) const;
  // Raises on an index outside the segment list.
  PvorLimitInStreamSegment GetItem(Int32 index) { return &FSegments.at(static_cast<size_t>(index)); }

private:
  // Index of the segment holding `position` (< FSize).
  size_t FindSegment(UInt64 position) const;

  std::vector<TvorLimitInStreamSegment> FSegments;
  // Logical start of each segment, for a binary search instead of a walk over thousands of pieces.
  std::vector<UInt64> FStarts;
  // The host streams keep one position each: a seek and its read must not interleave with another's.
  std::shared_ptr<std::mutex> FLock = std::make_shared<std::mutex>();
};

// `size` copies of the byte at `offset` of a host stream, which is read on the first Read. Reads
// answer what reading that byte answered (nothing, or the failure) until it arrives.
class Tvor7zRepeatInStream : public Tvor7zBaseInStream {
public:
  Tvor7zRepeatInStream(IInStream *source, UInt64 offset, UInt64 size);
  HRESULT STDMETHODCALLTYPE Read(void *data, UInt32 size, UInt32 *processed) noexcept override;

private:
  ComPtr<IInStream> FSource;
  UInt64 FOffset;
  Byte FByte = 0;
  bool FHaveByte = false;
};

// Sequential window that stops after a byte limit.
class Tvor7zLimitSequentialInStream : public TvorInterfacedObject, public ISequentialInStream {
public:
  Tvor7zLimitSequentialInStream() = default;
  Tvor7zLimitSequentialInStream(ISequentialInStream *stream, UInt64 limit) : FStream(stream), FRemaining(limit) {}
  VOR_UNKNOWN_IMP
  HRESULT QueryInterfaceImpl(REFIID iid, void **out) override;
  HRESULT STDMETHODCALLTYPE Read(void *data, UInt32 size, UInt32 *processed) noexcept override;
  void SetStream(ISequentialInStream *stream, UInt64 limit) {
    FStream = stream;
    FRemaining = limit;
  }
  UInt64 Remaining() const noexcept { return FRemaining; }

private:
  ComPtr<ISequentialInStream> FStream;
  UInt64 FRemaining = 0;
};

// ---- reading a container: failures of the stream raise ----

// Seeks and answers the new position.
UInt64 SeekTo(IInStream *stream, Int64 offset, UInt32 origin = STREAM_SEEK_SET);
// Reads up to `size` bytes and answers how many arrived (fewer only where the data ends).
size_t ReadUpTo(ISequentialInStream *stream, void *data, size_t size);
// The same at `position` from the start; nothing beyond the range a seek can reach.
size_t ReadAt(IInStream *stream, UInt64 position, void *data, size_t size);
// Reads exactly `size` bytes; a short read raises S_FALSE (for a header: not this format).
void ReadExact(ISequentialInStream *stream, void *data, size_t size);

// The scan for a structure that damage hid: the first position p in [from, end - width] whose
// `width` bytes pass `match(p, bytes)`, or `end` when none does (or the stream ends early). The
// bytes are read once, a piece at a time; `budget`, when given, is what the scan may still read
// and is spent by it.
template <class Match>
UInt64 ScanStream(IInStream *stream, UInt64 from, UInt64 end, size_t width, Match &&match, UInt64 *budget = nullptr) {
  constexpr size_t kPiece = 1u << 20;
  std::vector<Byte> piece;
  // Pieces overlap by width - 1 bytes, so that a structure across their border is seen whole.
  for (UInt64 at = from; at < end && end - at >= width && (!budget || *budget > 0);) {
    const size_t want = static_cast<size_t>(std::min<UInt64>(kPiece + width - 1, end - at));
    piece.resize(want);
    if (budget)
      *budget -= std::min<UInt64>(*budget, want);
    if (ReadAt(stream, at, piece.data(), want) < want)
      break;
    for (size_t i = 0; i + width <= want; i++)
      if (match(at + i, piece.data() + i))
        return at + i;
    at += want - width + 1;
  }
  return end;
}

// The file `name` beside the archive, from the host's open callback: nil when the host offers no
// other files, or the file is missing or cannot be opened.
ComPtr<IInStream> OpenVolume(IArchiveOpenCallback *callback, const UString &name);
