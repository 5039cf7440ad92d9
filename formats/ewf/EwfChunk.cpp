#include "formats/ewf/EwfChunk.h"

#include <algorithm>
#include <cstring>

#include "hashers/Hashers.h"
#include "streams/ByteOrder.h"

using namespace NOperationResult;

namespace {
// A bzip2 stream begins "BZh" and the block size digit; EnCase writes chunks that begin right at
// the first block's magic instead, and end without the end-of-stream marker.
constexpr Byte kBZip2BlockMagic[6] = {0x31, 0x41, 0x59, 0x26, 0x53, 0x59};
constexpr size_t kBZip2BlockCrcOffset = 6;  // the block's CRC follows its magic, byte-aligned here

bool IsBZip2Stream(const Byte *p, size_t size) {
  return size >= 4 && p[0] == 'B' && p[1] == 'Z' && p[2] == 'h' && p[3] >= '1' && p[3] <= '9';
}

bool IsBZip2Block(const Byte *p, size_t size) {
  return size >= kBZip2BlockCrcOffset + 4 && std::memcmp(p, kBZip2BlockMagic, sizeof(kBZip2BlockMagic)) == 0;
}

// The block size digit a header-less chunk gets: the smallest whose block holds the chunk (run
// coding may grow the data by a quarter before it is sorted), at most 9.
Byte BZip2SizeDigit(UInt32 size) {
  const UInt64 need = static_cast<UInt64>(size) + size / 4 + 1;
  return static_cast<Byte>('0' + std::clamp<UInt64>((need + 99999) / 100000, 1, 9));
}

// Chunks the deflate decoder remembers, by size: an empty chunk stores a few dozen bytes.
constexpr size_t kRepeatStoredLimit = 4096;
constexpr size_t kRepeatDecodedLimit = 4u << 20;

TEwfChunk DecodeBZip2(const Byte *stored, size_t got, UInt32 size, Byte *room, size_t roomSize,
                      TEwfChunkCoders &coders) {
  TEwfChunk chunk;
  chunk.Data = room;
  const bool headerless = IsBZip2Block(stored, got);
  if (!headerless && !IsBZip2Stream(stored, got)) {
    chunk.Result = kDataError;
    return chunk;
  }
  if (!coders.BZip2) {
    coders.BZip2 = FindDecoderIfAny(coders.Codecs, kMethodBZip2);
    if (!coders.BZip2) {
      chunk.Result = kUnsupportedMethod;
      return chunk;
    }
    // A chunk is one small block: threads of the decoder's own would only cost. The workers of the
    // whole-image decoder run chunks side by side instead.
    if (auto mt = QueryAs<ICompressSetCoderMt>(coders.BZip2.Get(), IID_ICompressSetCoderMt))
      mt->SetNumberOfThreads(1);
  }
  const Byte *in = stored;
  size_t inSize = got;
  if (headerless) {
    coders.Framed.assign({'B', 'Z', 'h', BZip2SizeDigit(size)});
    coders.Framed.insert(coders.Framed.end(), stored, stored + got);
    in = coders.Framed.data();
    inSize = coders.Framed.size();
  }
  if (!coders.In)
    coders.In = new Tvor7zFixedMemoryInStream();
  if (!coders.Out)
    coders.Out = new Tvor7zFixedMemorySequentialOutStream();
  const UInt32 want = static_cast<UInt32>(std::min<size_t>(size, roomSize));
  coders.In->SetData(in, static_cast<UInt32>(inSize), false);
  coders.Out->SetBuffer(room, want);
  const UInt64 outSize = want;
  HRESULT hr = coders.BZip2->Code(coders.In, coders.Out, nullptr, &outSize, nullptr);
  coders.In->SetData(nullptr, 0, false);
  chunk.Size = static_cast<size_t>(std::min<UInt64>(coders.Out->Written(), want));
  // Without its end-of-stream marker the decoder may call the stream cut short after the whole
  // block came out. The block's own CRC then vouches for the bytes.
  if (headerless && hr != S_OK && chunk.Size > 0 && CalcBZip2Crc(room, chunk.Size) == GetBe32(stored + kBZip2BlockCrcOffset))
    hr = S_OK;
  chunk.Result = CoderResultToOperationResult(hr);
  return chunk;
}
} // namespace

UInt32 EwfMaxStoredSize(UInt32 chunkSize, TEwfChunkMethod method) {
  const UInt64 chunk = chunkSize;
  const UInt64 most = EwfChunkIsCompressed(method) ? chunk + chunk / 4 + 1024 : chunk + 4;
  return static_cast<UInt32>(std::min<UInt64>(most, 0xFFFFFFFFu));
}

UInt32 EwfMaxDecodedSize(TEwfChunkMethod method, UInt64 stored, UInt32 size) {
  UInt64 most;
  switch (method) {
  case TEwfChunkMethod::Deflate:
    most = MaxInflatedSize(stored);
    break;
  case TEwfChunkMethod::BZip2:
    // A bzip2 block takes at least 32 bytes and gives at most 900 k symbols of runs up to 255.
    most = (stored / 32 + 1) * (900000ull * 51);
    break;
  case TEwfChunkMethod::PatternFill:
    most = size;
    break;
  default:
    most = stored;
    break;
  }
  return static_cast<UInt32>(std::min<UInt64>(most, size));
}

void EwfChunkPattern(const Tvor7zBlock_ &block, Byte pattern[8]) { SetUi64(pattern, block.Offset); }

void FillEwfPattern(const Byte pattern[8], UInt64 phase, Byte *out, size_t size) {
  for (size_t i = 0; i < size; i++)
    out[i] = pattern[(phase + i) % 8];
}

TEwfChunk DecodeEwfChunk(TEwfChunkMethod method, const Byte *stored, size_t got, UInt32 storedSize, UInt32 size,
                         Byte *room, size_t roomSize, TEwfChunkCoders &coders) {
  TEwfChunk chunk;
  switch (method) {
  case TEwfChunkMethod::Stored:
    // The bytes as they are, then their Adler-32. Bytes cut off by the end of the data are handed
    // out as far as they go.
    chunk.Data = stored;
    chunk.Size = std::min<size_t>(got, size);
    if (chunk.Size < size)
      chunk.Result = kUnexpectedEnd;
    else if (storedSize < static_cast<UInt64>(size) + 4)
      chunk.Result = kHeadersError;
    else if (got >= static_cast<UInt64>(size) + 4 && CalcAdler32(stored, size) != GetUi32(stored + size))
      chunk.Result = kCRCError;
    return chunk;
  case TEwfChunkMethod::Plain:
    chunk.Data = stored;
    chunk.Size = std::min<size_t>(got, size);
    if (chunk.Size < size)
      chunk.Result = kUnexpectedEnd;
    return chunk;
  case TEwfChunkMethod::Deflate: {
    const size_t limit = std::min<size_t>(size, roomSize);
    chunk.Data = room;
    if (got == coders.LastStored.size() && limit == coders.LastLimit && got > 0 &&
        std::memcmp(stored, coders.LastStored.data(), got) == 0) {
      chunk.Size = coders.LastDecoded.size();
      if (chunk.Size > 0)
        std::memcpy(room, coders.LastDecoded.data(), chunk.Size);
      return chunk;
    }
    if (!coders.Flate)
      coders.Flate = new TvorFlateDecodeDecoder();
    size_t written = 0;
    const HRESULT hr = coders.Flate->DecodeBuffer(stored, got, room, limit, &written);
    chunk.Size = written;
    chunk.Result = CoderResultToOperationResult(hr);
    // Only what a chunk of highly repetitive data stores is worth keeping.
    const bool keep = hr == S_OK && got <= kRepeatStoredLimit && written <= kRepeatDecodedLimit;
    coders.LastStored.assign(stored, keep ? stored + got : stored);
    coders.LastLimit = limit;
    coders.LastDecoded.assign(room, keep ? room + written : room);
    return chunk;
  }
  case TEwfChunkMethod::BZip2:
    return DecodeBZip2(stored, got, size, room, roomSize, coders);
  case TEwfChunkMethod::PatternFill:
    if (got < 8)
      break;
    chunk.Data = room;
    chunk.Size = std::min<size_t>(size, roomSize);
    FillEwfPattern(stored, 0, room, chunk.Size);
    return chunk;
  case TEwfChunkMethod::Unsupported:
    break;
  }
  chunk.Result = kUnsupportedMethod;
  return chunk;
}

UInt64 FindEwfChunks(IInStream *stream, UInt64 from, UInt64 end, UInt32 chunkSize, bool deflate, bool aligned,
                     size_t most, TvorFlateDecodeDecoder &decoder, std::vector<TEwfFoundChunk> &found) {
  const size_t chunk = chunkSize;
  const size_t stored = EwfMaxStoredSize(chunkSize, TEwfChunkMethod::Deflate);
  // A window many chunks long, moved on as the walk goes: small chunks are not read again and again.
  // Neither buffer is larger than the area can need: deflate expands at most 1032 times.
  const UInt64 span = end > from ? end - from : 0;
  std::vector<Byte> window(static_cast<size_t>(std::min<UInt64>(std::max<size_t>(4u << 20, 2 * stored), span)));
  std::vector<Byte> out(static_cast<size_t>(std::min<UInt64>(chunk, std::min<UInt64>(span, stored) * 1032 + 64)));
  UInt64 at = from, windowStart = from;
  size_t windowSize = 0;
  for (size_t taken = 0; at < end && taken < most;) {
    if (at + stored > windowStart + windowSize && windowStart + windowSize < end) {
      windowStart = at;
      windowSize = ReadAt(stream, at, window.data(), static_cast<size_t>(std::min<UInt64>(window.size(), end - at)));
    }
    const Byte *p = window.data() + (at - windowStart);
    const size_t got = static_cast<size_t>(std::min<UInt64>(windowStart + windowSize - at, stored));
    // The last chunk of an image may be shorter than the others. A zlib header is tried first: a
    // stored chunk's checksum costs a pass over all its bytes.
    const size_t data = got >= chunk + 4 ? chunk : got > 4 && at + got == end ? got - 4 : 0;
    const bool zlib = deflate && got >= 2 && (p[0] & 0x0F) == 8 && (p[0] * 256u + p[1]) % 31 == 0;
    size_t written = 0, consumed = 0;
    if (zlib && decoder.DecodeStream(p, got, out.data(), out.size(), &written, &consumed) && written > 0) {
      found.push_back({at, static_cast<UInt32>(consumed), true});
      at += consumed;
    } else if (data > 0 && CalcAdler32(p, data) == GetUi32(p + data)) {
      found.push_back({at, static_cast<UInt32>(data + 4), false});
      at += data + 4;
    } else if (aligned && at % 16 != 0) {
      at += 16 - at % 16;
      continue;
    } else {
      break;
    }
    taken++;
  }
  return at;
}
