#include "formats/ewf/E01ArchiveStream.h"

#include <algorithm>

#include "streams/ByteOrder.h"
#include "hashers/Hashers.h"
#include "host/Errors.h"
#include "streams/Progress.h"

Tvor7zE01ArchiveStream::Tvor7zE01ArchiveStream(IInStream *joinedStream, Tvor7zBlocks *blocks, bool checkStoredChunks)
    : Tvor7zBlockCacheStream2(joinedStream, blocks, 0), FCheckStoredChunks(checkStoredChunks) {}

void Tvor7zE01ArchiveStream::ReadBlock(const Tvor7zBlock_ &block, const Tvor7zBlockInfo &,
                                       ISequentialInStream *inStream, ISequentialOutStream *outStream) {
  if (FStored.size() < block.StoredSize)
    FStored.resize(block.StoredSize);
  size_t got = 0;
  CheckHResult(ReadStream(inStream, FStored.data(), block.StoredSize, &got));
  if (!(block.Flags & kCompressed)) {
    // A stored chunk: its bytes, then their Adler-32. Bytes cut off by the end of the data are
    // handed out as far as they go.
    const size_t n = std::min<size_t>(got, block.Size);
    if (got >= static_cast<size_t>(block.Size) + 4 &&
        CalcAdler32(FStored.data(), block.Size) != GetUi32(FStored.data() + block.Size))
      RaiseHResult(S_FALSE);
    const HRESULT wr = WriteStream(outStream, FStored.data(), n);
    if (wr != S_OK)
      RaiseHResult(wr == S_FALSE ? E_FAIL : wr);
    return;
  }
  if (!FDecoder)
    FDecoder = new TvorFlateDecodeDecoder();
  if (FDecoded.size() < block.Size)
    FDecoded.resize(block.Size);
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
  if ((block->Flags & kCompressed) || FCheckStoredChunks) {
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
