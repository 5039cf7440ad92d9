#include "formats/aff/AffArchive.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <vector>

#include "formats/aff/AffArchiveStream.h"
#include "formats/aff/AffCoders.h"
#include "formats/aff/AffBlocksDecoder.h"
#include "hashers/Hashers.h"
#include "hashers/StoredDigests.h"
#include "host/Password.h"
#include "host/PropVariant.h"
#include "plugin/Registry.h"
#include "streams/ByteOrder.h"
#include "streams/OutStreams.h"
#include "streams/Progress.h"

using namespace NOperationResult;

UInt32 WINAPI IsArc_AFF(const Byte *p, size_t size) { return IsArcSignature(p, size, "AFF10\r\n\0", 8, 8); }

void RegisterAffClasses(Tvor7zRegistry &registry) {
  static const TArchiveClassOf<Tvor7zAffArchive> aff;
  registry.RegisterArchiveClass(&aff);
}

namespace {
constexpr UInt32 kReadPiece = 65536;

// Reads up to `size` bytes, allocating only for bytes that really arrive (a length field may claim
// gigabytes in a small file).
std::vector<Byte> ReadData(ISequentialInStream *stream, UInt32 size) {
  std::vector<Byte> data;
  while (data.size() < size) {
    const size_t piece = std::min<size_t>(kReadPiece, size - data.size());
    const size_t old = data.size();
    data.resize(old + piece);
    const size_t got = ReadUpTo(stream, data.data() + old, piece);
    data.resize(old + got);
    if (got < piece)
      break;
  }
  return data;
}

bool IsZero(const Byte *p, size_t size) {
  return std::all_of(p, p + size, [](Byte b) { return b == 0; });
}
}  // namespace

// ---- segment walk ----

bool Tvor7zAffArchive::FindFirstPage(IInStream *stream) {
  Byte sig[NAffLayout::kSignatureSize];
  SeekTo(stream, 0);
  if (ReadUpTo(stream, sig, sizeof(sig)) < sizeof(sig)) {
    SetErrorFlag(kpv_ErrorFlags_UnexpectedEnd);
    return false;
  }
  // A file whose signature is destroyed is taken for one by its name, and its pages by a scan.
  bool damaged = std::memcmp(sig, NAffLayout::kSignature, sizeof(sig)) != 0;
  if (damaged && GetArchiveExtension() != L".aff")
    return false;
  const UInt64 fileSize = SeekTo(stream, 0, STREAM_SEEK_END);
  // Page 0 makes the file the start of an image; where damage may have taken page 0 with it, any
  // page does.
  for (UInt64 start = NAffLayout::kSignatureSize;;) {
    TAffSegmentHeader h;
    UInt32 errors = 0;
    if (NextAffSegment(stream, start, fileSize, h, errors) != TAffSegmentRead::kOk)
      return false;
    damaged = damaged || errors != 0;
    UInt32 page = 0;
    std::string name = h.Name;
    StripAffCryptoSuffix(name);
    if (ParseAffPageName(name, page) && (page == 0 || damaged)) {
      if (std::memcmp(sig, NAffLayout::kSignature, sizeof(sig)) != 0)
        SetErrorFlag(kpv_ErrorFlags_HeadersError);
      FSetName.ParseSetName(GetArchiveName());
      return true;
    }
    if (h.TrailerStart() > fileSize)
      return false;
    start = h.End();
  }
}

void Tvor7zAffArchive::ReadAffFile(IInStream *stream, UInt64 base) {
  const UInt64 fileSize = SeekTo(stream, 0, STREAM_SEEK_END);
  UInt64 start = NAffLayout::kSignatureSize;
  for (;;) {
    TAffSegmentHeader h;
    UInt32 errors = 0;
    const TAffSegmentRead read = NextAffSegment(stream, start, fileSize, h, errors);
    for (UInt32 bit = 0; errors != 0; bit++, errors >>= 1)
      if (errors & 1)
        SetErrorFlag(bit);
    if (read != TAffSegmentRead::kOk)
      return;
    TAffPageSegment page;
    if (GetAffPageSegment(h, fileSize, page)) {
      page.Offset += base;
      FInfo->AddPage(page, base + h.Start);
      FEncryptedPages = FEncryptedPages || (page.Flags & NAffPage::kEncrypted) != 0;
      // Two pages of the lowest numbers: one is not the image's last, and gives the page size
      // should the "pagesize" segment be lost.
      if (FSamplePages.size() < 2)
        FSamplePages.push_back(page);
      else if (page.Number < std::max(FSamplePages[0].Number, FSamplePages[1].Number))
        FSamplePages[FSamplePages[0].Number > FSamplePages[1].Number ? 0 : 1] = page;
      if (page.IsTruncated()) {
        SetErrorFlag(kpv_ErrorFlags_UnexpectedEnd);
        return;
      }
    } else {
      SeekTo(stream, h.DataStart());
      // An encrypted segment without data (a page size, say) keeps its value in the argument.
      std::string name = h.Name;
      if (StripAffCryptoSuffix(name) && h.DataLength > 0)
        ReadEncryptedSegment(stream, name, h);
      else
        ReadMetadataSegment(stream, name, h.DataLength, h.Argument);
    }
    // A segment the file's end cuts short ends the walk of the file.
    if (h.TrailerStart() > fileSize) {
      SetErrorFlag(kpv_ErrorFlags_UnexpectedEnd);
      return;
    }
    start = h.End();
  }
}

bool Tvor7zAffArchive::ReadMetadataSegment(ISequentialInStream *stream, const std::string &name, UInt32 dataLength,
                                           UInt32 argument) {
  Tvor7zAffInfoMeta &meta = *FInfo->GetMeta();
  // Reads exactly `size` bytes into `dest` (a short read flags the archive and leaves zeros).
  const auto readExact = [&](Byte *dest, UInt32 size) {
    std::vector<Byte> b(size);
    if (ReadUpTo(stream, b.data(), size) < size) {
      SetErrorFlag(kpv_ErrorFlags_UnexpectedEnd);
      std::memset(dest, 0, size);
      return false;
    }
    std::memcpy(dest, b.data(), size);
    return true;
  };
  const auto readText = [&]() {
    const std::vector<Byte> data = ReadData(stream, dataLength);
    if (data.size() < dataLength)
      SetErrorFlag(kpv_ErrorFlags_UnexpectedEnd);
    return std::string(data.begin(), data.end());
  };
  // Digests and the image GUID locate nothing: one of the wrong size is flagged and left out, and
  // the image is read on.
  const auto rightSize = [&](UInt32 size) {
    if (dataLength == size)
      return true;
    SetMetadataErrorFlag(kpv_ErrorFlags_HeadersError);
    return false;
  };
  const auto readDigest = [&](Byte *field, UInt32 size) {
    if (rightSize(size) && IsZero(field, size))
      readExact(field, size);
  };

  if (name == "aff_file_type") {
    const std::string type = readText();
    if (type.size() < dataLength)
      return false;
    // Encrypted sets keep it in a later file than the first.
    if (FFileType.empty()) {
      FFileType = type;
      // The type decides whether further files belong to the image: one no writer uses may be a
      // damaged "AFD", whose other files are then not read.
      if (type != "AFF" && type != "AFD" && type != "AFM")
        SetErrorFlag(kpv_ErrorFlags_HeadersError);
    }
  } else if (name == "imagesize") {
    if (dataLength == 8) {
      Byte b[8];
      readExact(b, 8);
      // Two big-endian words, the low one first.
      FInfo->SetTotalSize(GetBe32(b) | (static_cast<UInt64>(GetBe32(b + 4)) << 32));
      FImageSizeSeen = true;
    }
  } else if (name == "pagesize") {
    if (FInfo->GetChunkSize() == 0)
      FInfo->SetChunkSize(argument);
  } else if (name == "md5") {
    readDigest(meta.MD5, sizeof(meta.MD5));
  } else if (name == "sha1") {
    readDigest(meta.SHA1, sizeof(meta.SHA1));
  } else if (name == "sha256") {
    readDigest(meta.SHA256, sizeof(meta.SHA256));
  } else if (name == "acquisition_date") {
    meta.DateAcquired = ParseAffDate(readText());
  } else if (name == "image_gid") {
    meta.ID = GUID{};
    if (rightSize(sizeof(GUID))) {
      Byte b[sizeof(GUID)];
      readExact(b, sizeof(b));
      std::memcpy(&meta.ID, b, sizeof(b));
    }
  } else if (name == "acquisition_seconds") {
    meta.AcquisitionSeconds = argument;
  } else if (name == NAffCrypto::kKeySegment) {
    if (FKeySegment.empty())
      FKeySegment = ReadData(stream, dataLength);
  } else if (name.starts_with(NAffCrypto::kSealedKeyPrefix)) {
    FSealedKey = true;
  } else {
    static const struct {
      const char *Name;
      UString Tvor7zAffInfoMeta::*Field;
    } kTexts[] = {
        {"case_num", &Tvor7zAffInfoMeta::Case},
        {"ad_evidence_num", &Tvor7zAffInfoMeta::Evidence},
        {"ad_unique_desc", &Tvor7zAffInfoMeta::Description},
        {"acquisition_tecnician", &Tvor7zAffInfoMeta::Examiner},
        {"acquisition_notes", &Tvor7zAffInfoMeta::Notes},
        {"creator", &Tvor7zAffInfoMeta::CreatorApp},
        {"acquisition_device", &Tvor7zAffInfoMeta::AcquisitionDevice},
        {"acquisition_iso_country", &Tvor7zAffInfoMeta::AcquisitionCountry},
        {"acquisition_commandline", &Tvor7zAffInfoMeta::AcquisitionCommandLine},
        {"acquisition_macaddr", &Tvor7zAffInfoMeta::AcquisitionMacAddresses},
        {"acquisition_dmesg", &Tvor7zAffInfoMeta::AcquisitionMessage},
        {"afflib_version", &Tvor7zAffInfoMeta::AffLibVersion},
        {"device_manufacturer", &Tvor7zAffInfoMeta::DeviceManufacturer},
        {"device_model", &Tvor7zAffInfoMeta::DeviceModel},
        {"device_sn", &Tvor7zAffInfoMeta::DeviceSerialNumber},
        {"device_firmware", &Tvor7zAffInfoMeta::DeviceFirmware},
        {"device_source", &Tvor7zAffInfoMeta::DeviceSource},
        {"location_in_computer", &Tvor7zAffInfoMeta::DeviceLocation},
        {"device_capabilities", &Tvor7zAffInfoMeta::DeviceCapabilities},
    };
    for (const auto &t : kTexts) {
      if (name == t.Name) {
        meta.*t.Field = AnsiToUnicode(readText());
        break;
      }
    }
  }
  return true;
}

// ---- open ----

void Tvor7zAffArchive::DoOpen(const UInt64 *, IArchiveOpenCallback *openCallback) {
  DoClose();
  FInfo = new Tvor7zAffInfo();
  FSamplePages.clear();
  const UString itemName = ChangeExtension(GetArchiveName(), L".img");
  if (!FindFirstPage(FStream))
    RaiseHResult(S_FALSE);

  UInt64 base = 0;
  UInt32 missing = 0;  // files of a set missing in a row
  for (UInt32 k = 0;; k++) {
    ComPtr<IInStream> stream;
    if (k == 0) {
      stream = FStream;
    } else {
      // A set's files follow each other by name; a missing or damaged one costs its own pages: the
      // files after it are read, a few names on, until the one that carries the image size. A first
      // file without a type (an encrypted set keeps it in a later file, damage may take it) goes on
      // to the numbered files that follow it.
      const bool set = FFileType == "AFD" || (FFileType.empty() && FSetName.Width > 0);
      if (!set || FImageSizeSeen)
        break;
      stream = OpenVolume(openCallback, FSetName.GetSetFileName(k));
      if (!stream) {
        if (++missing > kMaxMissingFiles)
          break;
        continue;
      }
      if (missing > 0)
        SetErrorFlag(kpv_ErrorFlags_UnexpectedEnd);
      missing = 0;
      Byte sig[NAffLayout::kSignatureSize];
      SeekTo(stream, 0);
      const size_t got = ReadUpTo(stream, sig, sizeof(sig));
      if (got < sizeof(sig) || std::memcmp(sig, NAffLayout::kSignature, sizeof(sig)) != 0) {
        if (got < sizeof(sig))
          SetErrorFlag(kpv_ErrorFlags_UnexpectedEnd);
        SetErrorFlag(kpv_ErrorFlags_HeadersError);
      }
    }
    if (!FJoinedStream)
      FJoinedStream = new Tvor7zLimitInStream();
    FJoinedStream->AddStream(stream);
    ReadAffFile(stream, base);
    base = FJoinedStream->Size();
  }

  if (FInfo->GetChunkSize() == 0)
    InferPageSize();
  if (!FInfo->LayPages(FJoinedStream.Get()))
    SetErrorFlag(kpv_ErrorFlags_HeadersError);
  // Encrypted parts no key can decrypt: the open says why instead of showing an image that cannot
  // be read.
  if (FEncryptedPages && FKeySegment.empty())
    ReportNoKey();
  if (FNoKey) {
    FError = FSealedKey ? L"The image key is sealed with a public key; only passphrase-sealed keys are supported"
                        : L"Encrypted segments without a key segment";
    if (FEncryptedPages || FInfo->GetChunkSize() == 0 || FInfo->GetTotalSize() == 0) {
      FInfo = nullptr;
      return;
    }
  }
  if (FInfo->GetChunkSize() == 0 || FInfo->GetTotalSize() == 0)
    RaiseHResult(S_FALSE);
  if (!FImageSizeSeen)
    EndImageAtLastPage();
  FInfo->GetMeta()->Name = itemName;
  // The last file of a set carries the image size; a set read to its end without one lost files,
  // as did a file cut short before it.
  FSetIncomplete = !FImageSizeSeen && (FFileType == "AFD" || (StructureErrorFlags() & (1u << kpv_ErrorFlags_UnexpectedEnd)));
  if (FSetIncomplete)
    SetErrorFlag(kpv_ErrorFlags_UnexpectedEnd);
}

void Tvor7zAffArchive::InferPageSize() {
  if (FSamplePages.empty() || !FJoinedStream)
    return;
  // The lower-numbered page of the two is not the last one, so it is a whole page: as many bytes
  // as it decodes to.
  const TAffPageSegment &p = FSamplePages.size() == 2 && FSamplePages[1].Number < FSamplePages[0].Number
                                 ? FSamplePages[1]
                                 : FSamplePages[0];
  Tvor7zBlock_ block{};
  block.Offset = p.Offset;
  block.StoredSize = p.StoredSize;
  block.Size = kMaxInferredPageSize;
  block.Flags = p.Flags;
  TAffPageCoders coders(&FCodecsInfo);
  ComPtr<Tvor7zSizeSequentialOutStream> counter(new Tvor7zSizeSequentialOutStream(new Tvor7zTestSequentialOutStream()));
  ComPtr<Tvor7zLimitSequentialInStream> in(new Tvor7zLimitSequentialInStream());
  SeekTo(FJoinedStream, p.Offset);
  in->SetStream(FJoinedStream, p.StoredSize);
  const UInt64 size = NAffPage::IsCompressed(p.Flags) && !NAffPage::IsZero(p.Flags)
                          ? (DecodeAffPage(block, in, counter, coders) == kOK ? counter->Count() : 0)
                          : p.StoredSize;
  if (size > 0 && size <= kMaxInferredPageSize) {
    FInfo->SetChunkSize(static_cast<UInt32>(size));
    SetErrorFlag(kpv_ErrorFlags_HeadersError);
  }
}

void Tvor7zAffArchive::DoClose() {
  FInfo = nullptr;
  FJoinedStream = nullptr;
  FFileType.clear();
  FImageSizeSeen = false;
  FSetIncomplete = false;
  std::vector<Byte>().swap(FKeySegment);
  FSealedKey = false;
  FEncryptedPages = false;
  FNoKey = false;
  FNoKeyForExtract = false;
}

// ---- encryption ----

void Tvor7zAffArchive::ReportNoKey() {
  // What is encrypted stays unread; the open goes on with what is plain and says why at its end.
  FNoKey = true;
  SetErrorFlag(kpv_ErrorFlags_UnsupportedMethod);
}

TAffKeyUnlock Tvor7zAffArchive::UnlockKey(IUnknown *callback) {
  if (FInfo->GetKey())
    return TAffKeyUnlock::kOk;
  if (FKeySegment.empty()) {
    ReportNoKey();
    return TAffKeyUnlock::kDamaged;
  }
  TvorPassword password;
  if (!AskPassword(callback, password))
    return TAffKeyUnlock::kWrongPassphrase;
  for (const TvorSecret &form : password.Forms) {
    TvorSecret key;
    const TAffKeyUnlock result = UnlockAffKey(FKeySegment.data(), FKeySegment.size(), form, key);
    if (result == TAffKeyUnlock::kDamaged) {
      SetErrorFlag(kpv_ErrorFlags_HeadersError);
      FKeySegment.clear();
      return result;
    }
    if (result == TAffKeyUnlock::kOk) {
      FInfo->SetKey(std::move(key));
      return result;
    }
  }
  return TAffKeyUnlock::kWrongPassphrase;
}

bool Tvor7zAffArchive::ReadEncryptedSegment(ISequentialInStream *stream, const std::string &name,
                                            const TAffSegmentHeader &header) {
  // Metadata is needed now: the host is asked for the password at the open.
  const TAffKeyUnlock unlock = UnlockKey(FOpenCallback);
  if (unlock == TAffKeyUnlock::kWrongPassphrase)
    RaiseHResult(S_FALSE);
  if (unlock != TAffKeyUnlock::kOk)
    return true;
  std::vector<Byte> data = ReadData(stream, header.DataLength);
  UInt32 plain = 0;
  if (!AffPlainLength(header.DataLength, plain)) {
    SetMetadataErrorFlag(kpv_ErrorFlags_HeadersError);
    return true;
  }
  TAffDecryptor decryptor(*FInfo->GetKey());
  if (!decryptor.Ok())
    RaiseHResult(E_FAIL);
  const size_t got = decryptor.Decrypt(name, header.DataLength, data.data(), data.size());
  const ComPtr<Tvor7zFixedMemoryInStream> text(new Tvor7zFixedMemoryInStream(data.data(), static_cast<UInt32>(got), false));
  return ReadMetadataSegment(text, name, plain, header.Argument);
}

void Tvor7zAffArchive::EndImageAtLastPage() {
  const UInt64 count = FInfo->GetCount();
  const Tvor7zBlock_ last = FInfo->GetBlock(count - 1);
  if (!last.Valid || last.StoredSize == 0 || NAffPage::IsZero(last.Flags) || (last.Flags & NAffPage::kTruncated))
    return;
  UInt64 size = 0;
  const bool encrypted = (last.Flags & NAffPage::kEncrypted) != 0;
  UInt32 plain = 0;
  if (!NAffPage::IsCompressed(last.Flags)) {
    // A stored page is as long as its bytes, also while its key is not known.
    if (encrypted && !AffPlainLength(last.StoredSize, plain))
      return;
    size = encrypted ? plain : last.StoredSize;
  } else {
    if (encrypted && UnlockKey(FOpenCallback) == TAffKeyUnlock::kWrongPassphrase)
      RaiseHResult(S_FALSE);
    TAffPageCoders coders(&FCodecsInfo);
    coders.Key = FInfo->GetKey();
    coders.PageSize = FInfo->GetChunkSize();
    const ComPtr<Tvor7zLimitInStream> joined = FJoinedStream->Clone();
    SeekTo(joined, static_cast<Int64>(last.Offset));
    const ComPtr<Tvor7zLimitSequentialInStream> in(new Tvor7zLimitSequentialInStream(joined, last.StoredSize));
    const ComPtr<Tvor7zSizeSequentialOutStream> counter(new Tvor7zSizeSequentialOutStream());
    counter->SetStream(ComPtr<ISequentialOutStream>(new Tvor7zTestSequentialOutStream()));
    if (DecodeAffPage(last, in, counter, coders) != kOK)
      return;
    size = counter->Count();
  }
  if (size < last.Size)
    FInfo->SetTotalSize(last.Position + size);
}

// ---- listing ----

namespace {
constexpr TvorPropertyInfo kAffArchiveProperties[] = {
    {L"Case", 0x10000, VT_BSTR},
    {L"Evidence", 0x10001, VT_BSTR},
    {L"Description", 0x10002, VT_BSTR},
    {L"Examiner", 0x10003, VT_BSTR},
    {nullptr, kpidComment, VT_BSTR},
    {L"Date acquired", 0x10004, VT_FILETIME},
    {L"ID", 0x10005, VT_BSTR},
    {nullptr, kpidCreatorApp, VT_BSTR},
    {L"Acquisition device", 0x10006, VT_BSTR},
    {L"Acquisition country", 0x10007, VT_BSTR},
    {L"Acquisition command line", 0x10008, VT_BSTR},
    {L"Acquisition seconds", 0x10009, VT_UI4},
    {L"Acquisition MAC addresses", 0x1000A, VT_BSTR},
    {L"Acquisition message", 0x1000B, VT_BSTR},
    {L"AffLib version", 0x1000C, VT_BSTR},
    {L"Device manufacturer", 0x1000D, VT_BSTR},
    {L"Device model", 0x1000E, VT_BSTR},
    {L"Device serial number", 0x1000F, VT_BSTR},
    {L"Device firmware", 0x10010, VT_BSTR},
    {L"Device source", 0x10011, VT_BSTR},
    {L"Device cylinders", 0x10012, VT_UI8},
    {L"Device heads", 0x10013, VT_UI8},
    {L"Device sectors per track", 0x10014, VT_UI8},
    {L"Device LBA size", 0x10015, VT_UI8},
    {L"Device HPA present", 0x10016, VT_BOOL},
    {L"Device DCO present", 0x10017, VT_BOOL},
    {L"Device Location", 0x10018, VT_BSTR},
    {L"Device capabilities", 0x10019, VT_BSTR},
};

void SetNumber(PROPVARIANT &value, UInt64 n) {
  if (n != 0)
    PropSetUInt64(value, n);
}
void SetPresence(PROPVARIANT &value, UInt32 coded) {
  if (coded != 0)
    PropSetBool(value, coded >= 2);
}
}  // namespace

TvorPropertyTable Tvor7zAffArchive::DoGetArchivePropertyTable() { return kAffArchiveProperties; }

void Tvor7zAffArchive::DoGetArchiveProperty(PROPID propID, PROPVARIANT &value) {
  if (!FInfo)
    return;
  const Tvor7zAffInfoMeta &m = *FInfo->GetMeta();
  switch (propID) {
  case 0x10000: PropSetStringIfAny(value, m.Case); break;
  case 0x10001: PropSetStringIfAny(value, m.Evidence); break;
  case 0x10002: PropSetStringIfAny(value, m.Description); break;
  case 0x10003: PropSetStringIfAny(value, m.Examiner); break;
  case kpidComment: PropSetStringIfAny(value, m.Notes); break;
  case 0x10004:
    if (m.DateAcquired != 0)
      PropSetFileTime(value, m.DateAcquired);
    break;
  case 0x10005: PropSetGuidIfAny(value, m.ID); break;
  case kpidCreatorApp: PropSetStringIfAny(value, m.CreatorApp); break;
  case 0x10006: PropSetStringIfAny(value, m.AcquisitionDevice); break;
  case 0x10007: PropSetStringIfAny(value, m.AcquisitionCountry); break;
  case 0x10008: PropSetStringIfAny(value, m.AcquisitionCommandLine); break;
  case 0x10009:
    if (m.AcquisitionSeconds != 0)
      PropSetUInt32(value, m.AcquisitionSeconds);
    break;
  case 0x1000A: PropSetStringIfAny(value, m.AcquisitionMacAddresses); break;
  case 0x1000B: PropSetStringIfAny(value, m.AcquisitionMessage); break;
  case 0x1000C: PropSetStringIfAny(value, m.AffLibVersion); break;
  case 0x1000D: PropSetStringIfAny(value, m.DeviceManufacturer); break;
  case 0x1000E: PropSetStringIfAny(value, m.DeviceModel); break;
  case 0x1000F: PropSetStringIfAny(value, m.DeviceSerialNumber); break;
  case 0x10010: PropSetStringIfAny(value, m.DeviceFirmware); break;
  case 0x10011: PropSetStringIfAny(value, m.DeviceSource); break;
  case 0x10012: SetNumber(value, m.DeviceCylinders); break;
  case 0x10013: SetNumber(value, m.DeviceHeads); break;
  case 0x10014: SetNumber(value, m.DeviceSectorsPerTrack); break;
  case 0x10015: SetNumber(value, m.DeviceLbaSize); break;
  case 0x10016: SetPresence(value, m.DeviceHpaPresent); break;
  case 0x10017: SetPresence(value, m.DeviceDcoPresent); break;
  case 0x10018: PropSetStringIfAny(value, m.DeviceLocation); break;
  case 0x10019: PropSetStringIfAny(value, m.DeviceCapabilities); break;
  default: break;
  }
}

void Tvor7zAffArchive::DoGetNumberOfItems(UInt32 &count) { count = FInfo ? 1 : 0; }

TvorPropertyTable Tvor7zAffArchive::DoGetPropertyTable() { return PathAndSizeProperties(); }

void Tvor7zAffArchive::DoGetProperty(UInt32 index, PROPID propID, PROPVARIANT &value) {
  if (!FInfo || index != 0)
    return;
  if (propID == kpidPath)
    PropSetStringIfAny(value, FInfo->GetMeta()->Name);
  else if (propID == kpidSize)
    PropSetUInt64(value, FInfo->GetTotalSize());
}

UInt32 Tvor7zAffArchive::DoGetDigestKinds() { return 3; }

TvorStoredDigests Tvor7zAffArchive::DoGetStoredDigests(UInt32) {
  const Tvor7zAffInfoMeta &m = *FInfo->GetMeta();
  return {m.MD5, m.SHA1, m.SHA256};
}

void Tvor7zAffArchive::DoGetStream(UInt32 index, ComPtr<ISequentialInStream> &stream) {
  if (!FInfo || !FJoinedStream || index != 0)
    return;
  if (!FInfo->GetMeta()->RandomAccess || (FEncryptedPages && !FInfo->GetKey()))
    return;
  // Its own clone of the joined stream: several streams may be read at once.
  auto *s = new Tvor7zAffArchiveStream(FJoinedStream->Clone().Get(), FInfo.Get(), FCodecsInfo.GetCodecsInfo());
  stream = static_cast<ISequentialInStream *>(static_cast<IInStream *>(s));
}

// ---- extraction ----

Tvor7zArchive::TExtractItemInfo Tvor7zAffArchive::DoGetExtractItemInfo(UInt32) { return {FInfo->GetTotalSize(), false}; }

void Tvor7zAffArchive::DoPrepareExtract(IArchiveExtractCallback *callback) {
  // Pages whose key the open did not need are decrypted with the password the extraction gives.
  FNoKeyForExtract = FEncryptedPages && UnlockKey(callback) != TAffKeyUnlock::kOk;
}

Int32 Tvor7zAffArchive::DoExtractItem(UInt32, ISequentialOutStream *outStream, Tvor7zProgress &progress) {
  if (FNoKeyForExtract)
    return FKeySegment.empty() ? kUnsupportedMethod : kWrongPassword;
  const Tvor7zAffInfoMeta &m = *FInfo->GetMeta();
  // The stored image digests run beside the decoding and writing instead of between them.
  Tvor7zStoredDigestCheck digest(&FCodecsInfo, true, FInfo->GetChunkSize());
  const ComPtr<ISequentialOutStream> out = digest.Wrap(outStream, {m.MD5, m.SHA1, m.SHA256});
  Tvor7zAffArchiveBlocksDecoder decoder(&FCodecsInfo);
  decoder.SetBusyProcessors(digest.Count());
  Int32 result = decoder.Decode(FInfo.Get(), FJoinedStream.Get(), out, &progress, 0);
  // What the files that were found hold decodes fine, but it is not the whole image.
  if (result == kOK && FSetIncomplete)
    result = kUnexpectedEnd;
  return digest.Verify(result);
}
