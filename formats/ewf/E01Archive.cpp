#include "formats/ewf/E01Archive.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "formats/ewf/EwfImageItems.h"
#include "hashers/Hashers.h"
#include "streams/ByteOrder.h"

using namespace NOperationResult;

namespace {
constexpr UInt32 kHashSectionSize = 36;
constexpr UInt32 kDigestSectionSize = 80;
constexpr UInt32 kSessionHeaderSize = 36;
constexpr UInt32 kSessionEntrySize = 32;
// An xhash text names two digests; anything longer than this is no xhash text.
constexpr UInt64 kXhashInflateLimit = 64u << 10;

// The text of the first element named `tag` in an xhash text (both in lower case), blanks around it
// removed; empty when there is none.
std::string XmlElementText(const std::string &xml, const std::string &tag) {
  const std::string open = "<" + tag + ">", close = "</" + tag + ">";
  const size_t b = xml.find(open);
  if (b == std::string::npos)
    return {};
  const size_t from = b + open.size();
  const size_t e = xml.find(close, from);
  const char *blanks = " \t\r\n";
  const size_t first = e == std::string::npos ? e : xml.find_first_not_of(blanks, from);
  if (first == std::string::npos || first >= e)
    return {};
  return xml.substr(first, xml.find_last_not_of(blanks, e - 1) - first + 1);
}
} // namespace

// ---- open ----

void Tvor7zE01Archive::CreateBlocks() {
  FItems = new Tvor7zE01Items();
  FBlocks = FItems.Get();
}

void Tvor7zE01Archive::InitOpen() {
  Tvor7zEwfArchive::InitOpen();
  FItems->SetItemCount(0);
  FItems->SetItemCount(1);
  FItems->GetItem(0)->Name = ChangeExtension(GetArchiveName(), L".img");
  FSessionRead = false;
}

UString Tvor7zE01Archive::GetSegmentExtension(Int32 index, const UString &firstExtension) {
  return GetEwf1SegmentExtension(index, firstExtension, L'E');
}

void Tvor7zE01Archive::DoClose() {
  Tvor7zEwfArchive::DoClose();
  FItems = nullptr;
}

void Tvor7zE01Archive::EndOpen() {
  FinishTables();
  FitLastChunk();
  FItems->GetItem(0)->Size = FBlocks->GetTotalSize();
  if (FMediaType == 0x03)
    SetEwfImageExtension(*FItems, L".iso");
  else if (FMediaType == 0x10)
    SetEwfImageExtension(*FItems, L".ram");
  // Segments were read but none described the image: what is listed would be an empty image
  // reported as intact.
  if (FJoinedStream && !FVolumeRead)
    SetErrorFlag(kpv_ErrorFlags_HeadersError);
}

// Stored digests verify the image and locate nothing: damage to their sections is flagged and the
// image is read on.
const Byte *Tvor7zE01Archive::ReadDigestPayload(IInStream *stream, UInt32 size, UInt32 expected, bool &intact) {
  if (size != expected) {
    SetMetadataErrorFlag(kpv_ErrorFlags_HeadersError);
    return nullptr;
  }
  Byte *b = GetBuffer(expected);
  if (ReadUpTo(stream, b, expected) < expected) {
    SetMetadataErrorFlag(kpv_ErrorFlags_UnexpectedEnd);
    return nullptr;
  }
  intact = CalcAdler32(b, expected - 4) == GetUi32(b + expected - 4);
  if (!intact)
    SetMetadataErrorFlag(kpv_ErrorFlags_CRCError);
  return b;
}

void Tvor7zE01Archive::TakeStoredDigest(unsigned kind, const Byte *value, bool intact) {
  // Copies of one digest that disagree: the image is checked against each.
  if (!FItems->GetItem(0)->Digests.Take(kind, value, intact))
    SetMetadataErrorFlag(kpv_ErrorFlags_HeadersError);
}

void Tvor7zE01Archive::ReadHashSection(IInStream *stream, UInt32 size) {
  bool intact = false;
  if (const Byte *b = ReadDigestPayload(stream, size, kHashSectionSize, intact))
    TakeStoredDigest(kDigestMD5, b, intact);
}

void Tvor7zE01Archive::ReadDigestSection(IInStream *stream, UInt32 size) {
  bool intact = false;
  if (const Byte *b = ReadDigestPayload(stream, size, kDigestSectionSize, intact)) {
    TakeStoredDigest(kDigestMD5, b, intact);
    TakeStoredDigest(kDigestSHA1, b + 16, intact);
  }
}

// A zlib-compressed UTF-8 XML text: <xhash><md5>hex</md5><sha1>hex</sha1></xhash>. Only the
// deflate stream's own checksum vouches for it.
void Tvor7zE01Archive::ReadXhashSection(IInStream *stream, UInt32 size) {
  const ComPtr<IInStream> text = OpenZlibSection(stream, size, kXhashInflateLimit);
  std::string xml;
  if (text) {
    Byte buffer[4096];
    for (;;) {
      const size_t got = ReadUpTo(text.Get(), buffer, sizeof(buffer));
      // Tags and hex digits alike are matched in any case.
      for (size_t i = 0; i < got; i++)
        xml.push_back(static_cast<char>(std::tolower(buffer[i])));
      if (got < sizeof(buffer))
        break;
    }
  }
  if (xml.find("<xhash>") == std::string::npos) {
    SetMetadataErrorFlag(kpv_ErrorFlags_HeadersError);
    return;
  }
  const struct {
    unsigned Kind;
    const char *Tag;
  } kTags[] = {{kDigestMD5, "md5"}, {kDigestSHA1, "sha1"}};
  for (const auto &t : kTags) {
    const std::string hex = XmlElementText(xml, t.Tag);
    if (hex.empty())
      continue;
    // A value that is no digest is damage to the text, not a digest of zero.
    if (hex.size() != 2 * kDigestSizes[t.Kind] || !std::all_of(hex.begin(), hex.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; })) {
      SetMetadataErrorFlag(kpv_ErrorFlags_HeadersError);
      continue;
    }
    Byte digest[20] = {};
    HexToDigest(UString(hex.begin(), hex.end()), digest, kDigestSizes[t.Kind]);
    TakeStoredDigest(t.Kind, digest, true);
  }
}

void Tvor7zE01Archive::ReadSessionSection(IInStream *stream, UInt32 size) {
  if (FSessionRead)
    return;
  FSessionRead = true;
  if (size < kSessionHeaderSize) {
    SetMetadataErrorFlag(kpv_ErrorFlags_HeadersError);
    return;
  }
  Byte h[kSessionHeaderSize];
  if (ReadUpTo(stream, h, sizeof(h)) < sizeof(h)) {
    SetMetadataErrorFlag(kpv_ErrorFlags_UnexpectedEnd);
    return;
  }
  if (CalcAdler32(h, 32) != GetUi32(h + 32))
    SetMetadataErrorFlag(kpv_ErrorFlags_CRCError);
  const UInt32 count = GetUi32(h);
  // 64-bit: count * 32 + 36 wraps around in 32 bits.
  if (static_cast<UInt64>(count) * kSessionEntrySize + kSessionHeaderSize > size) {
    SetMetadataErrorFlag(kpv_ErrorFlags_HeadersError);
    return;
  }
  if (count < 2)
    return;
  if (count > kEwfMaxSessions) {
    SetMetadataErrorFlag(kpv_ErrorFlags_HeadersError);
    return;
  }
  const UInt32 entriesSize = count * kSessionEntrySize;
  Byte *e = GetBuffer(entriesSize);
  if (ReadUpTo(stream, e, entriesSize) < entriesSize) {
    SetMetadataErrorFlag(kpv_ErrorFlags_UnexpectedEnd);
    return;
  }
  if (GetUi32(e + 4) != kEwfFirstSessionSector) {
    SetMetadataErrorFlag(kpv_ErrorFlags_HeadersError);
    return;
  }
  std::vector<UInt64> starts(count);
  for (UInt32 i = 0; i < count; i++)
    starts[i] = GetUi32(e + static_cast<size_t>(i) * kSessionEntrySize + 4);
  SetEwfImageSessions(*FItems, starts);
}

// ---- listing ----

void Tvor7zE01Archive::DoGetNumberOfItems(UInt32 &count) {
  count = FItems ? static_cast<UInt32>(FItems->GetItemCount()) : 0;
}

TvorPropertyTable Tvor7zE01Archive::DoGetPropertyTable() { return PathAndSizeProperties(); }

void Tvor7zE01Archive::DoGetProperty(UInt32 index, PROPID propID, PROPVARIANT &value) {
  if (FItems)
    GetEwfImageProperty(*FItems, index, propID, value);
}

UInt32 Tvor7zE01Archive::DoGetDigestKinds() { return 2; }

TvorStoredDigests Tvor7zE01Archive::DoGetStoredDigests(UInt32 index) { return GetEwfImageDigests(*FItems, index); }

void Tvor7zE01Archive::DoGetStream(UInt32 index, ComPtr<ISequentialInStream> &stream) {
  if (FItems)
    stream = OpenEwfImageStream(*FItems, index, FJoinedStream.Get(), FCodecsInfo);
}

// ---- extraction ----

Tvor7zArchive::TExtractItemInfo Tvor7zE01Archive::DoGetExtractItemInfo(UInt32 index) {
  return {FItems->GetItem(static_cast<Int32>(index))->Size, false};
}

Int32 Tvor7zE01Archive::DoExtractItem(UInt32 index, ISequentialOutStream *stream, Tvor7zProgress &progress) {
  return ExtractEwfImageItem(*FItems, index, FJoinedStream.Get(), FCodecsInfo, stream, progress);
}
