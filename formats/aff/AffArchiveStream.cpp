#include "formats/aff/AffArchiveStream.h"

#include <algorithm>
#include <cstring>

#include "formats/aff/AffCoders.h"
#include "host/Errors.h"
#include "streams/Progress.h"

Tvor7zAffArchiveStream::Tvor7zAffArchiveStream(IInStream *joinedStream, Tvor7zAffInfo *info, ICompressCodecsInfo *codecs)
    : Tvor7zBlockCacheStream2(joinedStream, info, 0) {
  FLocalCodecs.SetCodecsInfo(codecs);
}

void Tvor7zAffArchiveStream::ReadBlock(const Tvor7zBlock_ &block, const Tvor7zBlockInfo &, ISequentialInStream *inStream,
                                       ISequentialOutStream *outStream) {
  const UInt32 algorithm = NAffPage::Algorithm(block.Flags);
  ComPtr<ICompressCoder> *slot = nullptr;
  try {
    switch (algorithm) {
    case NAffPage::kZlib:
      slot = &FDecoders[0];
      if (!*slot)
        *slot = new TvorFlateDecodeDecoder();
      break;
    case NAffPage::kBZip2:
      slot = &FDecoders[1];
      if (!*slot)
        *slot = CreateBZip2Decoder(&FLocalCodecs);
      break;
    case NAffPage::kLzma:
      slot = &FDecoders[2];
      if (!*slot)
        *slot = CreateLzmaDecoder(&FLocalCodecs);
      break;
    default:
      return;  // nothing to decode: the read ends short
    }
  } catch (const EOleSysError &e) {
    if (e.Code() == E_NOTIMPL)
      return;  // the host has no such decoder
    throw;
  }
  const HRESULT hr = CodeAffPage(algorithm, *slot, inStream, outStream, block.Size);
  if (hr != S_OK)
    RaiseHResult(hr);
}

void Tvor7zAffArchiveStream::ReadFromBlock(UInt32 index, const Tvor7zBlock_ *block, Tvor7zBlockInfo *info, UInt32 offset,
                                           void *data, UInt32 size, UInt32 &processed) {
  processed = 0;
  if (NAffPage::IsZero(block->Flags)) {
    std::memset(data, 0, size);
    processed = size;
    return;
  }
  if (NAffPage::IsCompressed(block->Flags)) {
    Tvor7zBlockCacheStream2::ReadFromBlock(index, block, info, offset, data, size, processed);
    return;
  }
  // Stored pages bypass the cache. Never read past the page's own bytes: beyond them lie the
  // trailer and the next segment, not image data (a short page, or one no segment supplied).
  if (offset >= block->StoredSize)
    return;
  const UInt32 n = std::min(size, block->StoredSize - offset);
  const HRESULT hr = FInStream->Seek(static_cast<Int64>(block->Offset + offset), STREAM_SEEK_SET, nullptr);
  if (hr != S_OK)
    RaiseHResult(hr);
  size_t got = 0;
  CheckHResult(ReadStream(FInStream, data, n, &got));
  processed = static_cast<UInt32>(got);
}
