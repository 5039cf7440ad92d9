#include "formats/whx/WhxArchive.h"

#include <algorithm>
#include <cstring>

#include "hashers/Hashers.h"
#include "host/CodecsInfo.h"
#include "host/FilterCoder.h"
#include "host/PropVariant.h"
#include "platform/Platform.h"
#include "plugin/Registry.h"
#include "streams/ByteOrder.h"
#include "streams/InStreams.h"
#include "streams/OutStreams.h"

UInt32 WINAPI IsArc_WHX(const Byte *p, size_t size) {
  return IsArcSignature(p, size, NWhxLayout::kSignature, NWhxLayout::kSignatureSize, NWhxLayout::kSignatureSize);
}

void RegisterWhxClasses(Tvor7zRegistry &registry) {
  static const TArchiveClassOf<Tvor7zWhxArchive> whx;
  registry.RegisterArchiveClass(&whx);
}

namespace {

template <class T>
void StoreLE(std::vector<Byte> &out, T v) {
  for (size_t i = 0; i < sizeof(T); i++)
    out.push_back(static_cast<Byte>(static_cast<UInt64>(v) >> (8 * i)));
}

// Stored SHA digests are 32-bit little-endian words; the digest bytes are each word big-endian.
template <size_t N>
void LoadWordReversed(const Byte *p, std::array<Byte, N> &digest) {
  static_assert(N % 4 == 0);
  for (size_t w = 0; w < N; w += 4)
    for (size_t i = 0; i < 4; i++)
      digest[w + i] = p[w + 3 - i];
}

// Required value length of a checksum or digest tag, and its check bit; 0 when `tag` is none.
struct TCheckTag {
  UInt16 Tag;
  UInt16 Length;
  unsigned Bit;
};
constexpr TCheckTag kCheckTags[] = {
    {NWhxTag::kChecksum8, 1, 0}, {NWhxTag::kChecksum16, 2, 1}, {NWhxTag::kChecksum32, 4, 2},
    {NWhxTag::kChecksum64, 8, 3}, {NWhxTag::kCrc16, 2, 4},      {NWhxTag::kCrc32, 4, 5},
    {NWhxTag::kMd4, 16, 6},       {NWhxTag::kMd5, 16, 7},       {NWhxTag::kSha1, 20, 8},
    {NWhxTag::kSha256, 32, 9}};

const TCheckTag *FindCheckTag(UInt16 tag) {
  for (const auto &t : kCheckTags)
    if (t.Tag == tag)
      return &t;
  return nullptr;
}

bool IsSingleTag(UInt16 tag) {
  return FindCheckTag(tag) || tag == NWhxTag::kCompression || tag == NWhxTag::kReserved;
}

ComPtr<IHasher> CreateCheckHasher(unsigned bit, Tvor7zCompressCodecsInfo *codecs) {
  switch (bit) {
  case 0: return ComPtr<IHasher>(new Tvor7zChecksum8Hasher());
  case 1: return ComPtr<IHasher>(new Tvor7zChecksum16Hasher());
  case 2: return ComPtr<IHasher>(new Tvor7zChecksum32Hasher());
  case 3: return ComPtr<IHasher>(new Tvor7zChecksum64Hasher());
  case 4: return ComPtr<IHasher>(new Tvor7zCRC16Hasher());
  case 5: return CreateCRC32Hasher(codecs);
  case 6: return ComPtr<IHasher>(new Tvor7zWinCryptMD4Hasher());
  case 7: return ComPtr<IHasher>(new Tvor7zWinCryptMD5Hasher());
  case 8: return CreateSHA1Hasher(codecs);
  default: return CreateSHA256Hasher(codecs);
  }
}

bool SameNameNoCase(const UString &a, const UString &b) { return PlatformLowerCase(a) == PlatformLowerCase(b); }

}  // namespace

// ---------------- Tvor7zWhxVolume / Tvor7zWhxVolumes ----------------

std::vector<Byte> Tvor7zWhxVolume::StoredCheck(unsigned bit) const {
  std::vector<Byte> v;
  switch (bit) {
  case 0: StoreLE(v, Checksum8); break;
  case 1: StoreLE(v, Checksum16); break;
  case 2: StoreLE(v, Checksum32); break;
  case 3: StoreLE(v, Checksum64); break;
  case 4: StoreLE(v, Crc16); break;
  case 5: StoreLE(v, Crc32); break;
  case 6: v.assign(Md4.begin(), Md4.end()); break;
  case 7: v.assign(Md5.begin(), Md5.end()); break;
  case 8: v.assign(Sha1.begin(), Sha1.end()); break;
  case 9: v.assign(Sha256.begin(), Sha256.end()); break;
  default: break;
  }
  return v;
}

HRESULT Tvor7zWhxVolumes::QueryInterfaceImpl(REFIID iid, void **out) {
  if (iid == IID_IVorUnknown)
    return Offer<IUnknown>(this, out);
  return NoInterface(out);
}

// ---------------- Tvor7zWhxArchive ----------------

UString Tvor7zWhxArchive::MakeItemName(const UString &archiveName) {
  // Only the file-name part: a dot in a folder name is no extension.
  const size_t slash = archiveName.find_last_of(L"/\\");
  const UString file = slash == UString::npos ? archiveName : archiveName.substr(slash + 1);
  if (file.empty())
    return L"image.img";
  const size_t dot = file.rfind(L'.');
  if (dot == UString::npos)
    return file + L".img";
  UString base = file.substr(0, dot);
  const auto blank = [](wchar_t c) { return c <= L' '; };
  while (!base.empty() && blank(base.back()))
    base.pop_back();
  size_t lead = 0;
  while (lead < base.size() && blank(base[lead]))
    lead++;
  base.erase(0, lead);
  if (base.empty())
    return L"image.img";
  const size_t innerDot = base.rfind(L'.');
  if (innerDot != UString::npos && PlatformLowerCase(base.substr(innerDot + 1)) == L"img")
    return base;
  return base + L".img";
}

UString Tvor7zWhxArchive::NextVolumeName(const UString &name) {
  const size_t start = name.find_last_of(L"/\\") == UString::npos ? 0 : name.find_last_of(L"/\\") + 1;
  size_t end = name.size();
  while (end > start && !(name[end - 1] >= L'0' && name[end - 1] <= L'9'))
    end--;
  if (end == start)
    return UString();
  UString next = name;
  size_t i = end;
  for (; i > start && next[i - 1] == L'9'; i--)
    next[i - 1] = L'0';
  if (i > start && next[i - 1] >= L'0' && next[i - 1] <= L'8')
    next[i - 1]++;
  else
    next.insert(i, 1, L'1');
  return next;
}

bool Tvor7zWhxArchive::ReadVolume(IInStream *stream, UInt64 &expectedFirstUnit, UString &nextName, bool afterGap) {
  using namespace NWhxLayout;
  nextName.clear();
  // The volume's size bounds every length field read below.
  const UInt64 fileSize = SeekTo(stream, 0, STREAM_SEEK_END);
  SeekTo(stream, 0, STREAM_SEEK_SET);

  Byte header[kFixedHeaderSize];
  ReadExact(stream, header, sizeof(header));
  // A later volume whose signature alone is damaged is still taken when it continues the chain.
  const bool signatureLost = std::memcmp(header, kSignature, kSignatureSize) != 0;
  if (signatureLost && expectedFirstUnit == kAnyFirstUnit)
    return false;
  const UInt16 e1 = GetUi16(header + kE1Offset);
  if (e1 != 0)
    SeekTo(stream, e1, STREAM_SEEK_CUR);

  Byte desc[kDescriptorSize];
  ReadExact(stream, desc, sizeof(desc));
  const UInt64 unitSize = GetUi64(desc + kDescUnitSize);
  const UInt32 firstUnit = GetUi32(desc + kDescFirstUnit);
  const UInt32 unitCount = GetUi32(desc + kDescUnitCount);
  const UInt32 e2 = GetUi32(desc + kDescE2);
  if (desc[kDescFlag] == 0 || unitSize == 0 || unitCount == 0)
    return false;
  if (expectedFirstUnit != kAnyFirstUnit &&
      (afterGap && !signatureLost ? firstUnit < expectedFirstUnit : firstUnit != expectedFirstUnit))
    return false;
  // A slice size beyond 64 bits, or a total beyond 64 bits, cannot be a real backup.
  if (unitSize > ~0ull / unitCount)
    return false;
  const UInt64 dataSize = unitSize * unitCount;
  if (dataSize > ~0ull - FTotalSize)
    return false;

  UInt64 pos = SeekTo(stream, 0, STREAM_SEEK_CUR);
  if (e2 != 0) {
    if (e2 > fileSize - std::min(pos, fileSize))
      return false;
    pos = SeekTo(stream, e2, STREAM_SEEK_CUR);
  }
  Byte word[4];
  ReadExact(stream, word, 4);
  pos += 4;

  Tvor7zWhxVolume volume;
  if (GetUi32(word) != 0) {
    std::vector<UInt16> seen;
    Byte value[32];
    for (;;) {
      ReadExact(stream, word, 2);
      pos += 2;
      const UInt16 tag = GetUi16(word);
      if (tag == NWhxTag::kEnd)
        break;
      ReadExact(stream, word, 2);
      pos += 2;
      const UInt16 length = GetUi16(word);
      if (length == 0 || length > fileSize - std::min(pos, fileSize))
        return false;
      const bool repeated = IsSingleTag(tag) && std::find(seen.begin(), seen.end(), tag) != seen.end();
      if (IsSingleTag(tag) && !repeated)
        seen.push_back(tag);
      pos += length;

      if (const TCheckTag *check = FindCheckTag(tag)) {
        // Checks verify the slice and locate nothing: a repeated one or one of the wrong size is
        // flagged and left out (the first copy stays), and the volume is read on.
        if (repeated || length != check->Length) {
          SetMetadataErrorFlag(kpv_ErrorFlags_HeadersError);
          SeekTo(stream, length, STREAM_SEEK_CUR);
          continue;
        }
        ReadExact(stream, value, length);
        volume.Checks = static_cast<UInt16>(volume.Checks | (1u << check->Bit));
        switch (tag) {
        case NWhxTag::kChecksum8: volume.Checksum8 = value[0]; break;
        case NWhxTag::kChecksum16: volume.Checksum16 = GetUi16(value); break;
        case NWhxTag::kChecksum32: volume.Checksum32 = GetUi32(value); break;
        case NWhxTag::kChecksum64: volume.Checksum64 = GetUi64(value); break;
        case NWhxTag::kCrc16: volume.Crc16 = GetUi16(value); break;
        case NWhxTag::kCrc32: volume.Crc32 = GetUi32(value); break;
        case NWhxTag::kMd4: std::memcpy(volume.Md4.data(), value, 16); break;
        case NWhxTag::kMd5: std::memcpy(volume.Md5.data(), value, 16); break;
        case NWhxTag::kSha1: LoadWordReversed(value, volume.Sha1); break;
        default: LoadWordReversed(value, volume.Sha256); break;
        }
      } else if (tag == NWhxTag::kCompression || tag == NWhxTag::kReserved) {
        if (repeated || length != 4)
          return false;
        ReadExact(stream, value, 4);
        const UInt32 v = GetUi32(value);
        if (tag == NWhxTag::kCompression) {
          if (v > 1)
            return false;
          volume.Compression = static_cast<Byte>(v);
        } else if (v != 0) {
          return false;
        }
      } else if (tag == NWhxTag::kNextVolume) {
        std::vector<char> name(length);
        ReadExact(stream, name.data(), length);
        const auto zero = std::find(name.begin(), name.end(), '\0');
        nextName = AnsiToUnicode(name.data(), static_cast<size_t>(zero - name.begin()));
      } else {
        SeekTo(stream, length, STREAM_SEEK_CUR);
      }
    }
  }

  // The units of the volumes lost before this one, at their place.
  const UInt64 lostUnits = afterGap && expectedFirstUnit != kAnyFirstUnit ? firstUnit - expectedFirstUnit : 0;
  if (lostUnits > ~0ull / unitSize || lostUnits * unitSize > ~0ull - FTotalSize - dataSize)
    return false;
  if (!FVolumes)
    FVolumes = new Tvor7zWhxVolumes();
  if (lostUnits > 0) {
    Tvor7zWhxVolume lost;
    lost.DataSize = lostUnits * unitSize;
    FVolumes->Add(lost);
    FTotalSize += lost.DataSize;
  }
  volume.Stream = stream;
  volume.DataOffset = SeekTo(stream, 0, STREAM_SEEK_CUR);
  volume.DataSize = dataSize;
  FVolumes->Add(volume);
  FTotalSize += dataSize;
  if (signatureLost)
    SetErrorFlag(kpv_ErrorFlags_HeadersError);
  // A stored slice the file no longer holds whole was cut short.
  if (volume.Compression == 0 && fileSize - std::min(fileSize, volume.DataOffset) < dataSize)
    SetErrorFlag(kpv_ErrorFlags_UnexpectedEnd);
  // Kept in 64 bits: a chain ending at unit 2^32 - 1 must not read as "any first unit".
  expectedFirstUnit = static_cast<UInt64>(firstUnit) + unitCount;
  return true;
}

void Tvor7zWhxArchive::DoOpen(const UInt64 *, IArchiveOpenCallback *openCallback) {
  UInt64 expectedFirstUnit = kAnyFirstUnit;
  UString nextName;
  if (!ReadVolume(FStream, expectedFirstUnit, nextName))
    RaiseHResult(S_FALSE);
  const UString ownName = GetArchiveName();
  FItemName = MakeItemName(ownName);
  if (nextName.empty() || SameNameNoCase(nextName, ownName))
    return;

  if (!QueryAs<IArchiveOpenVolumeCallback>(openCallback, IID_IArchiveOpenVolumeCallback))
    return;
  std::vector<UString> seen{ownName, nextName};
  UInt32 lost = 0;  // volumes missing or damaged in a row
  for (UString name = nextName;;) {
    const ComPtr<IInStream> next = OpenVolume(openCallback, name);
    bool ok = false;
    if (next) {
      try {
        ok = ReadVolume(next, expectedFirstUnit, nextName, lost > 0);
      } catch (...) {
        ok = false;
      }
      if (!ok)
        SetErrorFlag(kpv_ErrorFlags_HeadersError);
    }
    if (!ok) {
      // A volume missing or damaged costs its own units: the one after it is looked for under the
      // name that counts on, and placed at its first unit.
      SetErrorFlag(kpv_ErrorFlags_UnexpectedEnd);
      nextName = ++lost <= kMaxLostVolumes ? NextVolumeName(name) : UString();
    } else {
      lost = 0;
    }
    if (nextName.empty())
      return;
    if (std::any_of(seen.begin(), seen.end(), [&](const UString &s) { return SameNameNoCase(s, nextName); }))
      return;
    seen.push_back(nextName);
    name = nextName;
  }
}

void Tvor7zWhxArchive::DoClose() {
  FVolumes = nullptr;
  FItemName.clear();
  FTotalSize = 0;
}

void Tvor7zWhxArchive::DoGetNumberOfItems(UInt32 &count) { count = 1; }

TvorPropertyTable Tvor7zWhxArchive::DoGetPropertyTable() { return PathAndSizeProperties(); }

void Tvor7zWhxArchive::DoGetProperty(UInt32, PROPID propID, PROPVARIANT &value) {
  switch (propID) {
  case kpidPath:
    if (!FItemName.empty())
      PropSetString(value, FItemName);
    break;
  case kpidIsDir: PropSetBool(value, false); break;
  case kpidSize: PropSetUInt64(value, FTotalSize); break;
  default: break;
  }
}

void Tvor7zWhxArchive::DoGetStream(UInt32, ComPtr<ISequentialInStream> &stream) {
  if (!FVolumes || FVolumes->GetCount() == 0)
    return;
  for (Int32 i = 0; i < FVolumes->GetCount(); i++)
    if (FVolumes->GetItem(i)->Compression != 0)
      return;  // no random access into deflated slices
  ComPtr<Tvor7zLimitInStream> joined(new Tvor7zLimitInStream());
  for (Int32 i = 0; i < FVolumes->GetCount(); i++) {
    // Lost units, and what a volume cut short no longer holds, read as zeros.
    const Pvor7zWhxVolume v = FVolumes->GetItem(i);
    const UInt64 size = v->Stream ? SeekTo(v->Stream, 0, STREAM_SEEK_END) : 0;
    const UInt64 held = size > v->DataOffset ? std::min(size - v->DataOffset, v->DataSize) : 0;
    if (held > 0)
      joined->AddSegment(v->Stream, v->DataOffset, held);
    joined->AddZeros(v->DataSize - held);
  }
  SeekTo(joined, 0, STREAM_SEEK_SET);
  stream = static_cast<ISequentialInStream *>(static_cast<IInStream *>(joined.Get()));
}

Tvor7zArchive::TExtractItemInfo Tvor7zWhxArchive::DoGetExtractItemInfo(UInt32) { return {FTotalSize, false}; }

Int32 Tvor7zWhxArchive::DecodeSlice(const Tvor7zWhxVolume &volume, ISequentialOutStream *out, Tvor7zProgress &progress,
                                    UInt64 &written) {
  written = 0;
  SeekTo(volume.Stream, static_cast<Int64>(volume.DataOffset), STREAM_SEEK_SET);
  if (volume.Compression == 0) {
    constexpr UInt32 kCopyBufferSize = 1 << 20;
    if (FCopyBuffer.empty())
      FCopyBuffer.resize(kCopyBufferSize);
    CheckHResult(CopyStream(FCopyBuffer.data(), kCopyBufferSize, &progress, volume.Stream, out, volume.DataSize, &written));
    return written < volume.DataSize ? NOperationResult::kUnexpectedEnd : NOperationResult::kOK;
  }
  if (!FDecoder)
    FDecoder = new TvorFlateDecodeDecoder();
  ComPtr<Tvor7zProgressSequentialOutStream> progressStream(new Tvor7zProgressSequentialOutStream(&progress, out));
  ComPtr<Tvor7zSizeSequentialOutStream> sizeStream(
      new Tvor7zSizeSequentialOutStream(static_cast<ISequentialOutStream *>(progressStream.Get())));
  ComPtr<Tvor7zDummyCompressProgressInfo> dummy(new Tvor7zDummyCompressProgressInfo());
  const UInt64 outSize = volume.DataSize;
  const Int32 result =
      CoderResultToOperationResult(FDecoder->Code(volume.Stream, sizeStream, nullptr, &outSize, dummy));
  written = sizeStream->Count();
  if (result != NOperationResult::kOK)
    return result;
  if (sizeStream->Count() < volume.DataSize)
    return NOperationResult::kUnexpectedEnd;
  return sizeStream->Count() > volume.DataSize ? NOperationResult::kDataError : NOperationResult::kOK;
}

Int32 Tvor7zWhxArchive::DoExtractItem(UInt32, ISequentialOutStream *out, Tvor7zProgress &progress) {
  std::array<ComPtr<IHasher>, NWhxCheck::kCount> hashers;
  // A volume lost or damaged costs its own units: they are zeros at their place, the volumes after
  // them follow, and the image ends with the worst problem met.
  Int32 worst = NOperationResult::kOK;
  const auto writeLost = [&](UInt64 size) { CheckHResult(WriteZerosWithProgress(&progress, out, size)); };
  for (Int32 vi = 0; vi < FVolumes->GetCount(); vi++) {
    const Pvor7zWhxVolume volume = FVolumes->GetItem(vi);
    if (!volume->Stream) {
      writeLost(volume->DataSize);
      worst = WorseOperationResult(worst, NOperationResult::kUnexpectedEnd);
      continue;
    }

    // Each enabled check sees exactly the bytes written for this volume.
    ComPtr<ISequentialOutStream> target(out);
    std::array<ComPtr<Tvor7zHashSequentialOutStream>, NWhxCheck::kCount> hashStreams;
    for (unsigned bit = 0; bit < NWhxCheck::kCount; bit++) {
      if (!(volume->Checks & (1u << bit)))
        continue;
      if (!hashers[bit])
        hashers[bit] = CreateCheckHasher(bit, &FCodecsInfo);
      hashStreams[bit] = new Tvor7zHashSequentialOutStream(hashers[bit], target);
      target = static_cast<ISequentialOutStream *>(hashStreams[bit].Get());
    }

    UInt64 written = 0;
    Int32 result = DecodeSlice(*volume, target, progress, written);
    if (written < volume->DataSize)
      writeLost(volume->DataSize - written);
    for (unsigned bit = 0; bit < NWhxCheck::kCount && result == NOperationResult::kOK; bit++) {
      if (!hashStreams[bit])
        continue;
      const std::vector<Byte> stored = volume->StoredCheck(bit);
      // A digest the platform cannot compute (size 0) can be neither confirmed nor refuted.
      if (hashers[bit]->GetDigestSize() != stored.size())
        continue;
      std::vector<Byte> digest(stored.size());
      hashStreams[bit]->GetHash(digest.data());
      if (digest != stored)
        result = NOperationResult::kCRCError;
    }
    worst = WorseOperationResult(worst, result);
  }
  return worst;
}
