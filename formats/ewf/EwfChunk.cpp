#include "formats/ewf/EwfChunk.h"

#include <algorithm>

#include "hashers/Hashers.h"
#include "host/CodecsInfo.h"
#include "streams/ByteOrder.h"

using namespace NOperationResult;

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
  case TEwfChunkMethod::Deflate: {
    if (!coders.Flate)
      coders.Flate = new TvorFlateDecodeDecoder();
    size_t written = 0;
    const HRESULT hr = coders.Flate->DecodeBuffer(stored, got, room, std::min<size_t>(size, roomSize), &written);
    chunk.Data = room;
    chunk.Size = written;
    chunk.Result = CoderResultToOperationResult(hr);
    return chunk;
  }
  case TEwfChunkMethod::BZip2:
  case TEwfChunkMethod::PatternFill:
    break;
  }
  chunk.Result = kUnsupportedMethod;
  return chunk;
}
