#include "formats/ewf/EwfImageItems.h"

#include "formats/ewf/CueFile.h"
#include "formats/ewf/E01ArchiveStream.h"
#include "formats/ewf/E01BlocksDecoder.h"
#include "host/PropVariant.h"
#include "plugin/Archive.h"
#include "platform/Platform.h"

using namespace NOperationResult;

namespace {
constexpr UInt32 kCopyBufferSize = 65536;
}

void SetEwfImageSessions(Tvor7zE01Items &items, const std::vector<UInt64> &startSectors) {
  const AString binName = PlatformUnicodeToAnsi(ChangeExtension(items.GetItem(0)->Name, L".bin"));
  const UString binNameW = PlatformMultiByteToUnicode(binName.data(), binName.size(), 0);
  ComPtr<IInStream> cueStream;
  {
    TCueFile cue(binName);
    for (const UInt64 start : startSectors)
      cue.AddSession(start);
    cueStream = cue.GetStream();
  }
  UInt64 cueSize = 0;
  CheckHResult(cueStream->Seek(0, STREAM_SEEK_END, &cueSize));
  items.SetCueStream(cueStream);
  items.SetItemCount(2);
  Tvor7zEItem *image = items.GetItem(0);
  image->Name = binNameW;
  image->IsBin = true;
  Tvor7zEItem *sheet = items.GetItem(1);
  sheet->Kind = Tvor7zEItem::kCueSheet;
  sheet->Name = ChangeExtension(binNameW, L".cue");
  sheet->Size = cueSize;
}

void SetEwfImageExtension(Tvor7zE01Items &items, const wchar_t *extension) {
  Tvor7zEItem *image = items.GetItem(0);
  if (!image->IsBin)
    image->Name = ChangeExtension(image->Name, extension);
}

void GetEwfImageProperty(Tvor7zE01Items &items, UInt32 index, PROPID propID, PROPVARIANT &value) {
  if (index >= static_cast<UInt32>(items.GetItemCount()))
    return;
  const Tvor7zEItem &item = *items.GetItem(static_cast<Int32>(index));
  switch (propID) {
  case kpidPath:
    if (!item.Name.empty())
      PropSetString(value, item.Name);
    break;
  case kpidSize:
    PropSetUInt64(value, item.Size);
    break;
  default:
    break;
  }
}

TvorStoredDigests GetEwfImageDigests(Tvor7zE01Items &items, UInt32 index) {
  const Tvor7zEItem &item = *items.GetItem(static_cast<Int32>(index));
  return item.Kind == Tvor7zEItem::kImage ? item.Digests.Stored() : TvorStoredDigests{};
}

ComPtr<ISequentialInStream> OpenEwfImageStream(Tvor7zE01Items &items, UInt32 index, Tvor7zLimitInStream *joinedStream,
                                               Tvor7zCompressCodecsInfo &codecs) {
  if (!joinedStream || index >= static_cast<UInt32>(items.GetItemCount()))
    return nullptr;
  if (items.GetItem(static_cast<Int32>(index))->Kind != Tvor7zEItem::kImage)
    return nullptr;
  auto *s = new Tvor7zE01ArchiveStream(joinedStream->Clone().Get(), &items, false, codecs.GetCodecsInfo());
  return ComPtr<ISequentialInStream>(static_cast<ISequentialInStream *>(static_cast<IInStream *>(s)));
}

Int32 ExtractEwfImageItem(Tvor7zE01Items &items, UInt32 index, IInStream *joinedStream,
                          Tvor7zCompressCodecsInfo &codecs, ISequentialOutStream *stream, Tvor7zProgress &progress) {
  const Tvor7zEItem &item = *items.GetItem(static_cast<Int32>(index));
  // The stored image digests run beside the decoding and writing instead of between them.
  Tvor7zStoredDigestCheck digest(&codecs, true, items.GetChunkSize());
  const ComPtr<ISequentialOutStream> out = digest.Wrap(stream, GetEwfImageDigests(items, index));
  ComPtr<Tvor7zSizeSequentialOutStream> counter(new Tvor7zSizeSequentialOutStream(out));

  Int32 result;
  if (item.Kind == Tvor7zEItem::kImage) {
    Tvor7zE01ArchiveBlocksDecoder decoder(&codecs);
    // A background digest takes a processor from the workers only where chunks decode cheaply:
    // bzip2 chunks cost many times their digest.
    decoder.SetBusyProcessors(items.GetInfo()->CompressionMethod != 2 ? digest.Count() : 0);
    result = decoder.Decode(&items, joinedStream, counter.Get(), &progress, 0);
  } else if (item.Kind == Tvor7zEItem::kCueSheet && items.GetCueStream()) {
    const ComPtr<IInStream> cue = items.GetCueStream();
    CheckHResult(cue->Seek(0, STREAM_SEEK_SET, nullptr));
    std::vector<Byte> buffer(kCopyBufferSize);
    CheckHResult(CopyStream(buffer.data(), kCopyBufferSize, &progress, cue.Get(), counter.Get(), item.Size));
    result = kOK;
  } else {
    result = kUnsupportedMethod;
  }

  if (result == kOK) {
    if (counter->Count() < item.Size)
      result = kUnexpectedEnd;
    else if (counter->Count() > item.Size)
      result = kDataError;
  }
  return digest.Verify(result);
}
