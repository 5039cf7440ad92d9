// The host's decoders for AFF pages and how one compressed page is handed to a coder.
#pragma once

#include "host/CodecsInfo.h"
#include "host/Com.h"

// Host decoders by method ID (the handler's list, then the library-wide one); E_NOTIMPL is raised
// when neither offers it.
ComPtr<ICompressCoder> CreateBZip2Decoder(Tvor7zCompressCodecsInfo *codecs);
ComPtr<ICompressCoder> CreateLzmaDecoder(Tvor7zCompressCodecsInfo *codecs);
// Asks the coder to check that its stream ends with the output (when it can).
void EnableFinishMode(ICompressCoder *coder);

// Bytes in front of the stream of an LZMA page: 5 bytes of decoder properties, then the
// uncompressed size as a little-endian 64-bit number (all ones = unknown).
constexpr UInt32 kAffLzmaHeaderSize = 13;

// Decodes one zlib, bzip2 or LZMA page of `size` bytes with `coder` (made for that algorithm) and
// returns the coder's result: S_OK, S_FALSE for bad data, E_NOTIMPL when the coder cannot take the
// page, other failures as they come. An LZMA page gives its properties to the coder first.
HRESULT CodeAffPage(UInt32 algorithm, ICompressCoder *coder, ISequentialInStream *inStream,
                    ISequentialOutStream *outStream, UInt32 size);
