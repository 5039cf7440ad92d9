#include "formats/aff/AffCoders.h"

#include "formats/aff/AffInfo.h"
#include "host/Errors.h"
#include "streams/Progress.h"

ComPtr<ICompressCoder> CreateBZip2Decoder(Tvor7zCompressCodecsInfo *codecs) { return FindDecoder(codecs, kMethodBZip2); }

ComPtr<ICompressCoder> CreateLzmaDecoder(Tvor7zCompressCodecsInfo *codecs) { return FindDecoder(codecs, kMethodLzma); }

void EnableFinishMode(ICompressCoder *coder) {
  if (auto finish = QueryAs<ICompressSetFinishMode>(coder, IID_ICompressSetFinishMode))
    finish->SetFinishMode(1);
}

HRESULT CodeAffPage(UInt32 algorithm, ICompressCoder *coder, ISequentialInStream *inStream,
                    ISequentialOutStream *outStream, UInt32 size) {
  UInt64 outSize = size;
  if (algorithm == NAffPage::kLzma) {
    // The page is an LZMA stream behind its own small header; the decoder wants the properties
    // through its interface and the stream alone.
    Byte header[kAffLzmaHeaderSize];
    size_t got = 0;
    const HRESULT hr = ReadStream(inStream, header, sizeof(header), &got);
    if (hr != S_OK && hr != S_FALSE)
      return hr;
    if (got < sizeof(header))
      return S_FALSE;
    auto props = QueryAs<ICompressSetDecoderProperties2>(coder, IID_ICompressSetDecoderProperties2);
    if (!props)
      return E_NOTIMPL;
    // Properties the decoder refuses are a damaged page, not a missing method.
    if (props->SetDecoderProperties2(header, 5) != S_OK)
      return S_FALSE;
    UInt64 declared = 0;
    for (int i = 7; i >= 0; i--)
      declared = (declared << 8) | header[5 + i];
    // A page that says it holds less ends there and is then found short by the size check.
    if (declared < outSize)
      outSize = declared;
  }
  EnableFinishMode(coder);
  return coder->Code(inStream, outStream, nullptr, &outSize, nullptr);
}
