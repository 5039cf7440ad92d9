#include "formats/ewf/BaseEwfArchive.h"

#include <algorithm>
#include <cstring>

#include "host/PropVariant.h"
#include "platform/Platform.h"

// ---------------- segment names ----------------

UString GetEwf1SegmentExtension(Int32 index, const UString &firstExtension, wchar_t letter) {
  UString prefix = firstExtension.size() >= 2 ? firstExtension.substr(0, 2) : UString(L".") + letter;
  if (index < 1)
    return UString();
  if (index <= 99) {
    if (index < 10)
      prefix += L'0';
    return prefix + std::to_wstring(index);
  }
  // Real sets continue after .E99 with .EAA ... .EAZ, .EBA ... .EZZ, .FAA ..., keeping the letter case
  // of the first extension (.e99 is followed by .eaa, .s99 by .saa).
  const wchar_t first = prefix[1];
  const bool lower = first >= L'a' && first <= L'z';
  const bool upper = first >= L'A' && first <= L'Z';
  if (!lower && !upper)
    return UString();
  const wchar_t a = lower ? L'a' : L'A';
  const wchar_t z = lower ? L'z' : L'Z';
  const UInt32 n = static_cast<UInt32>(index - 100);
  const UInt32 lead = static_cast<UInt32>(first) + n / 676;
  if (lead > static_cast<UInt32>(z))
    return UString();
  UString result = L".";
  result += static_cast<wchar_t>(lead);
  result += static_cast<wchar_t>(a + (n / 26) % 26);
  result += static_cast<wchar_t>(a + n % 26);
  return result;
}

UString ExtractExtensionKeepCase(const UString &name) {
  // Same rule as the lower-case extension of the handler base; only the letter case differs.
  const size_t length = ExtractLowerExtension(name).size();
  return name.substr(name.size() - std::min(length, name.size()));
}

// ---------------- Tvor7zBaseEwfArchive ----------------

Tvor7zBaseEwfArchive::Tvor7zBaseEwfArchive() = default;
Tvor7zBaseEwfArchive::~Tvor7zBaseEwfArchive() = default;

void Tvor7zBaseEwfArchive::CreateBlocks() { FBlocks = new Tvor7zBaseEwfBlocks(); }

void Tvor7zBaseEwfArchive::InitOpen() {
  FExtension = ExtractExtensionKeepCase(GetArchiveName());
  FSegmentBase = 0;
}

bool Tvor7zBaseEwfArchive::ReadFileHeader(IInStream *stream, Byte *header, size_t size, Func_IsArc isArc) {
  SeekTo(stream, 0);
  if (ReadUpTo(stream, header, size) < size) {
    if (FSegmentNumber != 1)
      SetErrorFlag(kpv_ErrorFlags_UnexpectedEnd);
    return false;
  }
  if (isArc(header, size) != 1) {
    SetErrorFlag(kpv_ErrorFlags_HeadersError);
    return false;
  }
  return true;
}

Byte *Tvor7zBaseEwfArchive::GetBuffer(UInt32 size) {
  if (FBuffer.size() < size) {
    std::vector<Byte>().swap(FBuffer);
    FBuffer.resize(size);
  }
  return FBuffer.data();
}

UString Tvor7zBaseEwfArchive::SegmentName(Int32 index) {
  const UString extension = GetSegmentExtension(index, FExtension);
  const UString name = GetArchiveName();
  if (extension.empty() || name.empty())
    return UString();
  return ChangeExtension(name, extension);
}

UString Tvor7zBaseEwfArchive::DoGetVolumeName(UInt32 index) {
  const UString name = GetArchiveName();
  if (index == 0 || name.empty())
    return name;
  if (index >= 0x7FFFFFFF)
    return UString();
  const UString extension = GetSegmentExtension(static_cast<Int32>(index + 1), ExtractExtensionKeepCase(name));
  return extension.empty() ? UString() : ChangeExtension(name, extension);
}

UInt64 Tvor7zBaseEwfArchive::JoinedLength() {
  if (!FJoinedStream)
    return 0;
  return SeekTo(FJoinedStream, 0, STREAM_SEEK_END);
}

TvorFlateDecodeDecoder *Tvor7zBaseEwfArchive::DeflateDecoder() {
  if (!FDeflateDecoder)
    FDeflateDecoder = new TvorFlateDecodeDecoder();
  return FDeflateDecoder.Get();
}

Tvor7zLimitSequentialInStream *Tvor7zBaseEwfArchive::LimitStream() {
  if (!FLimitStream)
    FLimitStream = new Tvor7zLimitSequentialInStream();
  return FLimitStream.Get();
}

void Tvor7zBaseEwfArchive::ReleaseOpenState() noexcept {
  FDeflateDecoder = nullptr;
  FBZip2Decoder = nullptr;
  FLimitStream = nullptr;
  std::vector<Byte>().swap(FBuffer);
}

void Tvor7zBaseEwfArchive::DoOpen(const UInt64 *, IArchiveOpenCallback *openCallback) {
  CreateBlocks();
  InitOpen();
  FSegmentNumber = 1;
  std::vector<Byte>().swap(FBuffer);
  try {
    ComPtr<IInStream> stream = FStream;
    Int32 missing = 0;  // segment files missing in a row
    TEwfSegmentEnd end = TEwfSegmentEnd::kNext;  // how the segment before ended
    for (;;) {
      // A later segment is only looked for when the one before said (or, damaged, may have said)
      // that another follows. A missing one costs its own chunks: the segments after it are still
      // read, a few names on.
      if (FSegmentNumber > 1)
        stream = OpenVolume(openCallback, SegmentName(FSegmentNumber));
      if (!stream) {
        // A segment whose end is damaged may have been the last: its damage is flagged already.
        if (end == TEwfSegmentEnd::kNext)
          SetErrorFlag(kpv_ErrorFlags_UnexpectedEnd);
        if (++missing > kMaxMissingSegments)
          break;
        SegmentLost();
        FSegmentNumber++;
        continue;
      }
      if (missing > 0)
        SetErrorFlag(kpv_ErrorFlags_UnexpectedEnd);  // a segment lost before this one
      missing = 0;
      Int32 number = 0;
      bool intact = ReadSegmentHeader(stream, number);
      if (!intact) {
        // The file opened is of this format only when its header says so, or, destroyed, when its
        // name does.
        if (FSegmentNumber == 1 && PlatformLowerCase(GetSegmentExtension(1, FExtension)) != GetArchiveExtension())
          RaiseHResult(S_FALSE);
        // A segment whose file header is destroyed is placed by its name, its sections found by
        // their own checksums.
        SetErrorFlag(kpv_ErrorFlags_HeadersError);
        number = FSegmentNumber;
      }
      if (number != FSegmentNumber) {
        if (FSegmentNumber > 1) {
          SetErrorFlag(kpv_ErrorFlags_UnexpectedEnd);
          break;
        }
        // A later segment of the set was opened: start over from its first segment.
        stream = nullptr;
        DoClose();
        CreateBlocks();
        InitOpen();
        stream = OpenVolume(openCallback, SegmentName(1));
        if (!stream) {
          // Nothing of the set can be read in order without its first segment.
          SetErrorFlag(kpv_ErrorFlags_UnexpectedEnd);
          break;
        }
        intact = ReadSegmentHeader(stream, number);
        if (!intact) {
          SetErrorFlag(kpv_ErrorFlags_HeadersError);
          number = 1;
        }
        if (number != 1)
          RaiseHResult(S_FALSE);
      }
      if (!FJoinedStream)
        FJoinedStream = new Tvor7zLimitInStream();
      FJoinedStream->AddStream(stream);
      // Damage costs what it destroys: the walk goes on with the next segment unless this one
      // said, intact, that it ends the set.
      end = ReadSegment(stream, intact);
      if (end == TEwfSegmentEnd::kDone)
        break;
      stream = nullptr;
      FSegmentNumber++;
      FSegmentBase = JoinedLength();
    }
  } catch (...) {
    ReleaseOpenState();
    throw;
  }
  ReleaseOpenState();
  EndOpen();
}

void Tvor7zBaseEwfArchive::DoClose() {
  FBlocks = nullptr;
  FJoinedStream = nullptr;
}

// ---- archive properties ----

namespace {
constexpr TvorPropertyInfo kEwfArchiveProperties[] = {
    {L"Case", 0x10000, VT_BSTR},
    {L"Evidence", 0x10001, VT_BSTR},
    {L"Description", 0x10002, VT_BSTR},
    {L"Examiner", 0x10003, VT_BSTR},
    {nullptr, kpidComment, VT_BSTR},
    {L"Date acquired", 0x10004, VT_FILETIME},
    {L"System date", 0x10005, VT_FILETIME},
    {L"ID", 0x10006, VT_BSTR},
    {nullptr, kpidCreatorApp, VT_BSTR},
    {L"Acquisition platform", 0x10007, VT_BSTR},
    {L"Device model", 0x10008, VT_BSTR},
    {L"Device serial number", 0x10009, VT_BSTR},
    {L"Device label", 0x1000A, VT_BSTR},
};
constexpr UInt64 kUnixEpochFileTime = 0x019DB1DED53E8000ull;

void SetDate(PROPVARIANT &value, UInt64 fileTime) {
  if (fileTime != 0 && fileTime != kUnixEpochFileTime)
    PropSetFileTime(value, fileTime);
}
} // namespace

TvorPropertyTable Tvor7zBaseEwfArchive::DoGetArchivePropertyTable() { return kEwfArchiveProperties; }

void Tvor7zBaseEwfArchive::DoGetArchiveProperty(PROPID propID, PROPVARIANT &value) {
  if (!FBlocks)
    return;
  const Tvor7zEwfInfo &info = *FBlocks->GetInfo();
  switch (propID) {
  case 0x10000:
    PropSetStringIfAny(value, info.Case);
    break;
  case 0x10001:
    PropSetStringIfAny(value, info.Evidence);
    break;
  case 0x10002:
    PropSetStringIfAny(value, info.Description);
    break;
  case 0x10003:
    PropSetStringIfAny(value, info.Examiner);
    break;
  case kpidComment:
    PropSetStringIfAny(value, info.Notes);
    break;
  case 0x10004:
    SetDate(value, info.DateAcquired);
    break;
  case 0x10005:
    SetDate(value, info.SystemDate);
    break;
  case 0x10006:
    PropSetGuidIfAny(value, info.ID);
    break;
  case kpidCreatorApp:
    PropSetStringIfAny(value, info.CreatorApp);
    break;
  case 0x10007:
    PropSetStringIfAny(value, info.AcquisitionPlatform);
    break;
  case 0x10008:
    PropSetStringIfAny(value, info.DeviceModel);
    break;
  case 0x10009:
    PropSetStringIfAny(value, info.DeviceSerialNumber);
    break;
  case 0x1000A:
    PropSetStringIfAny(value, info.DeviceLabel);
    break;
  default:
    break;
  }
}
