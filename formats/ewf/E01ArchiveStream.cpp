#include "formats/ewf/E01ArchiveStream.h"

#include "plugin/Errors.h"
#include "streams/Progress.h"

Tvor7zE01ArchiveStream::Tvor7zE01ArchiveStream(IInStream *joinedStream, Tvor7zBlocks *blocks)
    : Tvor7zBlockCacheStream2(joinedStream, blocks, 0) {}

void Tvor7zE01ArchiveStream::ReadBlock(const Tvor7zBlock_ &block, const Tvor7zBlockInfo &,
                                       ISequentialInStream *inStream, ISequentialOutStream *outStream) {
  if (!FDecoder)
    FDecoder = new TvorFlateDecodeDecoder();
  if (FStored.size() < block.StoredSize)
    FStored.resize(block.StoredSize);
  if (FDecoded.size() < block.Size)
    FDecoded.resize(block.Size);
  size_t got = 0;
  CheckHResult(ReadStream(inStream, FStored.data(), block.StoredSize, &got));
  size_t written = 0;
  const HRESULT hr = FDecoder->DecodeBuffer(FStored.data(), got, FDecoded.data(), block.Size, &written);
  if (hr != S_OK)
    RaiseHResult(hr);
  const HRESULT wr = WriteStream(outStream, FDecoded.data(), written);
  if (wr != S_OK)
    RaiseHResult(wr == S_FALSE ? E_FAIL : wr);
}

void Tvor7zE01ArchiveStream::ReadFromBlock(UInt32 index, const Tvor7zBlock_ *block, Tvor7zBlockInfo *info,
                                           UInt32 offset, void *data, UInt32 size, UInt32 &processed) {
  if (block->Flags & kCompressed) {
    Tvor7zBlockCacheStream2::ReadFromBlock(index, block, info, offset, data, size, processed);
    return;
  }
  // Stored chunks need no decoding and bypass the cache (their checksum is not checked here).
  processed = 0;
  const HRESULT hr = FInStream->Seek(static_cast<Int64>(block->Offset + offset), STREAM_SEEK_SET, nullptr);
  if (hr != S_OK)
    RaiseHResult(hr);
  size_t got = 0;
  CheckHResult(ReadStream(FInStream, data, size, &got));
  processed = static_cast<UInt32>(got);
}
