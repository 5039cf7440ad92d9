// One AFF page from its stored bytes to its bytes: the rule the random-access stream and the
// whole-image decoder share, with the host's decoders for bzip2 and LZMA pages.
#pragma once

#include <memory>

#include "blocks/Blocks.h"
#include "blocks/FlateDecoder.h"
#include "formats/aff/AffCrypto.h"
#include "host/CodecsInfo.h"
#include "host/Com.h"

// Bytes in front of the stream of an LZMA page: 5 bytes of decoder properties, then the
// uncompressed size as a little-endian 64-bit number (all ones = unknown).
constexpr UInt32 kAffLzmaHeaderSize = 13;
// Largest LZMA dictionary a page gets, after it is cut to the bytes the page decodes to (no page
// needs more than that): what the largest presets use. A page that still asks for more is reported
// as an unsupported method rather than allocated.
constexpr UInt32 kAffMaxLzmaDictionary = 64u << 20;

// Decoders a page may need: made on first use and kept by the caller for the next page.
struct TAffPageCoders {
  explicit TAffPageCoders(Tvor7zCompressCodecsInfo *codecs) : Codecs(codecs) {}
  Tvor7zCompressCodecsInfo *Codecs;  // the archive's host codec list (may be nil)
  ComPtr<TvorFlateDecodeDecoder> Flate;
  ComPtr<ICompressCoder> BZip2;
  ComPtr<ICompressCoder> Lzma;
  // For encrypted pages: the image key (nil while it is not known; it must outlive the coders) and
  // the page size, which numbers the pages by their position.
  const TvorSecret *Key = nullptr;
  UInt32 PageSize = 0;
  std::unique_ptr<TAffDecryptor> Decryptor;
};

// A page's stored bytes and room for its bytes, both in memory, so that the page is decoded there
// in one pass; the decoder says where the page's bytes are.
struct TAffPageMemory {
  Byte *Stored = nullptr;  // decrypted in place
  size_t Got = 0;  // stored bytes read
  Byte *Room = nullptr;
  size_t RoomSize = 0;
  const Byte *Data = nullptr;  // set by the decoder: in Room, or in Stored for a stored page
  size_t Size = 0;
};

// Decodes one page: `in` gives its stored bytes (and ends after them), `out` takes its bytes; with
// `memory` a stored, zero or zlib page is decoded there instead (bzip2 and LZMA pages still go
// through the streams). The operation result: kOK; kDataError for data that does not decode and for
// a stored page longer than its size (at most the size goes out); kUnsupportedMethod for an unknown
// algorithm, a decoder the host lacks or an encrypted page without the key; kUnexpectedEnd for a
// page cut by the end of its file. An encrypted page is decrypted first. A page that decodes short
// is kOK: the caller compares sizes. Failures of the streams raise.
Int32 DecodeAffPage(const Tvor7zBlock_ &page, ISequentialInStream *in, ISequentialOutStream *out,
                    TAffPageCoders &coders, TAffPageMemory *memory = nullptr);
