// One EWF chunk from its stored bytes to its decoded bytes: the rule every reader of an EWF set
// shares (the random-access stream, the whole-image decoder, the measure of a short last chunk).
#pragma once

#include <vector>

#include "blocks/Blocks.h"
#include "blocks/FlateDecoder.h"
#include "host/CodecsInfo.h"
#include "streams/InStreams.h"
#include "streams/OutStreams.h"

// How a chunk is stored. EWF version 1 knows stored (with an Adler-32 behind the data) and deflate;
// version 2 adds bzip2, stored without a checksum (Plain) and pattern fill (an 8-byte value
// repeated, held in the block's Offset; no stored bytes). Unsupported: a compression method no
// decoder here knows.
enum class TEwfChunkMethod { Stored, Deflate, BZip2, PatternFill, Plain, Unsupported };

// The block's flags say how its chunk is stored. A version-1 table entry sets the deflate bit or
// nothing; the version-2 reader turns its entry flags into one of these.
inline constexpr UInt32 kEwfChunkCompressed = 0x80000000u;  // deflate
inline constexpr UInt32 kEwfChunkBZip2 = 0x40000000u;
inline constexpr UInt32 kEwfChunkPattern = 0x20000000u;
inline constexpr UInt32 kEwfChunkPlain = 0x10000000u;        // stored, no Adler-32 behind the data
inline constexpr UInt32 kEwfChunkUnsupported = 0x08000000u;  // compressed with an unknown method
inline TEwfChunkMethod EwfChunkMethod(const Tvor7zBlock_ &block) {
  if (block.Flags & kEwfChunkCompressed)
    return TEwfChunkMethod::Deflate;
  if (block.Flags & kEwfChunkBZip2)
    return TEwfChunkMethod::BZip2;
  if (block.Flags & kEwfChunkPattern)
    return TEwfChunkMethod::PatternFill;
  if (block.Flags & kEwfChunkPlain)
    return TEwfChunkMethod::Plain;
  if (block.Flags & kEwfChunkUnsupported)
    return TEwfChunkMethod::Unsupported;
  return TEwfChunkMethod::Stored;
}
inline bool EwfChunkIsCompressed(TEwfChunkMethod method) {
  return method == TEwfChunkMethod::Deflate || method == TEwfChunkMethod::BZip2;
}

// Most stored bytes a chunk of `chunkSize` decoded bytes may take: its bytes and checksum when
// stored, and for compressed data the worst expansion of any encoder plus room for the wrapper.
// A table that claims more is damage, and no read or buffer is sized beyond this.
UInt32 EwfMaxStoredSize(UInt32 chunkSize, TEwfChunkMethod method);

// Most decoded bytes `stored` stored bytes of a chunk can give (never more than `size`): what
// deflate or bzip2 can expand them to, the pattern repeated, or the stored bytes themselves. Room
// for a chunk is sized by this, not by what a damaged table claims.
UInt32 EwfMaxDecodedSize(TEwfChunkMethod method, UInt64 stored, UInt32 size);

// The 8 bytes of a pattern-fill chunk, as the block holds them.
void EwfChunkPattern(const Tvor7zBlock_ &block, Byte pattern[8]);
// Fills `size` bytes of `out` with the pattern repeated, starting at byte `phase` of it.
void FillEwfPattern(const Byte pattern[8], UInt64 phase, Byte *out, size_t size);

// Decoders a chunk may need: made on first use and kept by the caller for the next chunk.
struct TEwfChunkCoders {
  Tvor7zCompressCodecsInfo *Codecs = nullptr;  // the archive's host codec list for bzip2 (may be nil)
  ComPtr<TvorFlateDecodeDecoder> Flate;
  ComPtr<ICompressCoder> BZip2;
  // A header-less bzip2 chunk with the stream header put in front.
  std::vector<Byte> Framed;
  // The last deflate chunk decoded whole (stored bytes, output limit, decoded bytes): empty media
  // store the same bytes for every empty chunk, and runs of one byte are what inflates slowest.
  std::vector<Byte> LastStored;
  size_t LastLimit = 0;
  std::vector<Byte> LastDecoded;
  ComPtr<Tvor7zFixedMemoryInStream> In;
  ComPtr<Tvor7zFixedMemorySequentialOutStream> Out;
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

// A chunk found by walking bytes whose table is lost: where it lies, what it takes, how it is stored.
struct TEwfFoundChunk {
  UInt64 Offset;
  UInt32 Size;
  bool Compressed;  // one zlib stream; else stored, its bytes followed by their Adler-32
};

// Walks the chunks of `chunkSize` bytes that lie one after another in [from, end) of `stream`: each
// is stored (the last one of an image may be shorter) or, with `deflate`, one zlib stream, and
// either says where it ends; with `aligned`, the next one may also begin at the next multiple of
// 16. Stops at the first that is neither, or after `most` chunks; returns where it stopped. Every
// byte is read about once.
UInt64 FindEwfChunks(IInStream *stream, UInt64 from, UInt64 end, UInt32 chunkSize, bool deflate, bool aligned,
                     size_t most, TvorFlateDecodeDecoder &decoder, std::vector<TEwfFoundChunk> &found);
