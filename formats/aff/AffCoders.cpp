#include "formats/aff/AffCoders.h"

#include <algorithm>
#include <cstring>

#include "formats/aff/AffInfo.h"
#include "host/CodecsInfo.h"
#include "host/Errors.h"
#include "streams/Progress.h"

using namespace NOperationResult;

namespace {
constexpr UInt32 kPieceSize = 65536;

// Asks the coder to check that its stream ends with the output (when it can).
void EnableFinishMode(ICompressCoder *coder) {
  if (auto finish = QueryAs<ICompressSetFinishMode>(coder, IID_ICompressSetFinishMode))
    finish->SetFinishMode(1);
}

// Decodes a zlib, bzip2 or LZMA page of `size` bytes with `coder` (made for that algorithm) and
// returns the coder's result. An LZMA page gives its properties to the coder first, with the
// dictionary cut to the page's size.
HRESULT CodePage(UInt32 algorithm, ICompressCoder *coder, ISequentialInStream *inStream,
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
    UInt64 declared = 0;
    for (int i = 7; i >= 0; i--)
      declared = (declared << 8) | header[5 + i];
    // A page that says it holds less ends there and is then found short by the size check.
    if (declared < outSize)
      outSize = declared;
    // The decoder allocates the dictionary the properties state; no match reaches further back
    // than the bytes the page decodes to (nor below the format's smallest dictionary).
    constexpr UInt32 kLzmaMinDictionary = 1u << 12;
    UInt32 dictionary = 0;
    for (int i = 3; i >= 0; i--)
      dictionary = (dictionary << 8) | header[1 + i];
    dictionary = static_cast<UInt32>(std::min<UInt64>(dictionary, std::max<UInt64>(outSize, kLzmaMinDictionary)));
    if (dictionary > kAffMaxLzmaDictionary)
      return E_NOTIMPL;
    for (int i = 0; i < 4; i++)
      header[1 + i] = static_cast<Byte>(dictionary >> (8 * i));
    // Properties the decoder refuses are a damaged page, not a missing method.
    if (props->SetDecoderProperties2(header, 5) != S_OK)
      return S_FALSE;
  }
  EnableFinishMode(coder);
  return coder->Code(inStream, outStream, nullptr, &outSize, nullptr);
}

// The host's decoder for a bzip2 or LZMA page, made on first use; nil when the host has none.
ICompressCoder *HostDecoder(UInt32 algorithm, TAffPageCoders &coders) {
  const bool bzip2 = algorithm == NAffPage::kBZip2;
  ComPtr<ICompressCoder> &coder = bzip2 ? coders.BZip2 : coders.Lzma;
  if (!coder)
    coder = FindDecoderIfAny(coders.Codecs, bzip2 ? kMethodBZip2 : kMethodLzma);
  return coder.Get();
}

Int32 DecodePage(const Tvor7zBlock_ &page, ISequentialInStream *in, ISequentialOutStream *out, TAffPageCoders &coders,
                 TAffPageMemory *memory) {
  if (!NAffPage::IsCompressed(page.Flags)) {
    // Never more than the page's size goes out: extra stored bytes would shift everything after
    // them in the image.
    const UInt32 n = std::min(page.StoredSize, page.Size);
    if (memory) {
      memory->Data = memory->Stored;
      memory->Size = std::min<size_t>(memory->Got, n);
    } else {
      Byte buffer[kPieceSize];
      CheckHResult(CopyStream(buffer, sizeof(buffer), nullptr, in, out, n));
    }
    return page.StoredSize > page.Size ? kDataError : kOK;
  }
  const UInt32 algorithm = NAffPage::Algorithm(page.Flags);
  switch (algorithm) {
  case NAffPage::kZero:
    // Nothing stored to read: the page is its size in zeros.
    if (memory) {
      std::memset(memory->Room, 0, page.Size);
      memory->Data = memory->Room;
      memory->Size = page.Size;
    } else {
      static const Byte kZeros[kPieceSize] = {};
      for (UInt32 left = page.Size; left > 0;) {
        const UInt32 n = std::min(left, kPieceSize);
        CheckHResult(WriteStream(out, kZeros, n));
        left -= n;
      }
    }
    return kOK;
  case NAffPage::kZlib:
    if (!coders.Flate)
      coders.Flate = new TvorFlateDecodeDecoder();
    if (memory) {
      size_t written = 0;
      const HRESULT hr = coders.Flate->DecodeBuffer(memory->Stored, memory->Got, memory->Room,
                                                    std::min<size_t>(page.Size, memory->RoomSize), &written);
      memory->Data = memory->Room;
      memory->Size = written;
      return CoderResultToOperationResult(hr);
    }
    return CoderResultToOperationResult(CodePage(algorithm, coders.Flate, in, out, page.Size));
  case NAffPage::kBZip2:
  case NAffPage::kLzma:
    if (ICompressCoder *coder = HostDecoder(algorithm, coders))
      return CoderResultToOperationResult(CodePage(algorithm, coder, in, out, page.Size));
    return kUnsupportedMethod;
  default:
    return kUnsupportedMethod;
  }
}

// The page as its plain stored bytes: decrypted in memory, or through a stream in front of `in`.
Int32 DecryptPage(const Tvor7zBlock_ &page, ComPtr<ISequentialInStream> &in, TAffPageCoders &coders,
                  TAffPageMemory *memory, Tvor7zBlock_ &plain) {
  plain = page;
  plain.Flags &= ~NAffPage::kEncrypted;
  // A zero page reads nothing.
  if (NAffPage::IsZero(page.Flags))
    return kOK;
  if (!coders.Key || coders.PageSize == 0)
    return kUnsupportedMethod;
  if (!coders.Decryptor)
    coders.Decryptor = std::make_unique<TAffDecryptor>(*coders.Key);
  if (!coders.Decryptor->Ok())
    return kUnsupportedMethod;
  // A page cut by the end of its file keeps its whole blocks.
  if (page.Flags & NAffPage::kTruncated)
    plain.StoredSize = page.StoredSize / 16 * 16;
  else if (!AffPlainLength(page.StoredSize, plain.StoredSize))
    return kDataError;
  const std::string name = "page" + std::to_string(page.Position / coders.PageSize);
  if (memory)
    memory->Got = coders.Decryptor->Decrypt(name, page.StoredSize, memory->Stored, memory->Got);
  else
    in = coders.Decryptor->DecryptStream(name, page.StoredSize, in);
  return kOK;
}
}  // namespace

Int32 DecodeAffPage(const Tvor7zBlock_ &page, ISequentialInStream *in, ISequentialOutStream *out,
                    TAffPageCoders &coders, TAffPageMemory *memory) {
  Int32 result = kOK;
  if (page.Flags & NAffPage::kEncrypted) {
    ComPtr<ISequentialInStream> plainIn(in);
    Tvor7zBlock_ plain{};
    result = DecryptPage(page, plainIn, coders, memory, plain);
    if (result == kOK)
      result = DecodePage(plain, plainIn, out, coders, memory);
  } else {
    result = DecodePage(page, in, out, coders, memory);
  }
  return result == kOK && (page.Flags & NAffPage::kTruncated) ? kUnexpectedEnd : result;
}
