// One EWF chunk from its stored bytes to its decoded bytes: the rule every reader of an EWF set
// shares (the random-access stream, the whole-image decoder, the measure of a short last chunk).
#pragma once

#include "blocks/Blocks.h"
#include "blocks/FlateDecoder.h"

// How a chunk is stored. EWF version 1 knows stored (with an Adler-32 behind the data) and deflate;
// version 2 adds bzip2 and pattern fill, which are not read yet.
enum class TEwfChunkMethod { Stored, Deflate, BZip2, PatternFill };

// Flags bit of a version-1 table entry, kept in the block's flags: the chunk is deflate-compressed.
inline constexpr UInt32 kEwfChunkCompressed = 0x80000000u;
inline TEwfChunkMethod EwfChunkMethod(const Tvor7zBlock_ &block) {
  return (block.Flags & kEwfChunkCompressed) ? TEwfChunkMethod::Deflate : TEwfChunkMethod::Stored;
}

// Decoders a chunk may need: made on first use and kept by the caller for the next chunk.
struct TEwfChunkCoders {
  ComPtr<TvorFlateDecodeDecoder> Flate;
};

// What a chunk decoded to.
struct TEwfChunk {
  const Byte *Data = nullptr;  // in the room given, or in the stored bytes for a stored chunk
  size_t Size = 0;
  // kOK; kUnexpectedEnd (a stored chunk cut short); kCRCError (a stored chunk whose Adler-32
  // differs); kHeadersError (a stored chunk without room for its Adler-32: its bytes are handed out
  // unchecked); kDataError (deflate data that does not inflate); kUnsupportedMethod. A deflate chunk
  // that inflates to fewer bytes than expected is kOK with the smaller Size: the caller compares.
  Int32 Result = 0;
};

// Decodes one chunk whose stored bytes are in memory: `got` bytes (fewer than the table's
// `storedSize` where the data ends early), `size` decoded bytes expected, `room` for at most
// `roomSize` of them. Failures of the decoder other than bad data raise.
TEwfChunk DecodeEwfChunk(TEwfChunkMethod method, const Byte *stored, size_t got, UInt32 storedSize, UInt32 size,
                         Byte *room, size_t roomSize, TEwfChunkCoders &coders);
