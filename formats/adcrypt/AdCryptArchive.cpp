#include "formats/adcrypt/AdCryptArchive.h"

#include "host/PropVariant.h"
#include "plugin/Registry.h"
#include "streams/Progress.h"

UInt32 WINAPI IsArc_AdCrypt(const Byte *p, size_t size) {
  return IsArcSignature(p, size, NAdCrypt::kSignature, NAdCrypt::kSignatureSize, NAdCrypt::kSignatureSize);
}

void RegisterAdCryptClasses(Tvor7zRegistry &registry) {
  static const TArchiveClassOf<Tvor7zAdCryptArchive> adcrypt;
  registry.RegisterArchiveClass(&adcrypt);
}

UString Tvor7zAdCryptArchive::VolumeName(UInt32 index) {
  const UString name = GetArchiveName();
  const UString extension = ExtractLowerExtension(name);
  if (extension.size() < 2 || extension.size() > 10 || extension.find_first_not_of(L"0123456789", 1) != UString::npos)
    return UString();
  UString digits = std::to_wstring(std::stoull(extension.substr(1)) + index);
  if (digits.size() < extension.size() - 1)
    digits.insert(0, extension.size() - 1 - digits.size(), L'0');
  return ChangeExtension(name, L"." + digits);
}

void Tvor7zAdCryptArchive::DoOpen(const UInt64 *, IArchiveOpenCallback *openCallback) {
  switch (ReadAdCryptHeader(FStream, FHeader, FError)) {
  case TAdCryptRead::kPlain:
  case TAdCryptRead::kDamaged:
    RaiseHResult(S_FALSE);
  case TAdCryptRead::kUnsupported:
    SetErrorFlag(kpv_ErrorFlags_UnsupportedMethod);
    return;
  case TAdCryptRead::kOk:
    break;
  }
  FFiles.push_back(FStream);
  for (UInt32 k = 1;; k++) {
    const ComPtr<IInStream> next = OpenVolume(openCallback, VolumeName(k));
    if (!next)
      break;
    FFiles.push_back(next);
  }
  for (size_t k = 0; k < FFiles.size(); k++) {
    const UInt64 size = SeekTo(FFiles[k], 0, STREAM_SEEK_END), start = k == 0 ? FHeader.DataStart : 0;
    FSize += size > start ? size - start : 0;
  }
  FItemName = ChangeExtension(GetArchiveName(), L".img");
  Unlock(openCallback);
}

bool Tvor7zAdCryptArchive::Unlock(IUnknown *callback) {
  if (FImage)
    return true;
  TvorSecret key;
  if (!AskAdCryptKey(FHeader, callback, key))
    return false;
  FImage = new Tvor7zLimitInStream();
  for (size_t k = 0; k < FFiles.size(); k++)
    FImage->AddStream(ComPtr<IInStream>(new Tvor7zAdCryptInStream(FFiles[k], key, k, k == 0 ? FHeader.DataStart : 0)));
  return true;
}

void Tvor7zAdCryptArchive::DoClose() {
  FHeader = TAdCryptHeader();
  FFiles.clear();
  FSize = 0;
  FImage = nullptr;
  FItemName.clear();
  FNoKeyForExtract = false;
}

void Tvor7zAdCryptArchive::DoGetNumberOfItems(UInt32 &count) { count = FFiles.empty() ? 0 : 1; }

TvorPropertyTable Tvor7zAdCryptArchive::DoGetPropertyTable() { return PathAndSizeProperties(); }

void Tvor7zAdCryptArchive::DoGetProperty(UInt32 index, PROPID propID, PROPVARIANT &value) {
  if (FFiles.empty() || index != 0)
    return;
  if (propID == kpidPath)
    PropSetStringIfAny(value, FItemName);
  else if (propID == kpidSize)
    PropSetUInt64(value, FSize);
}

void Tvor7zAdCryptArchive::DoGetStream(UInt32 index, ComPtr<ISequentialInStream> &stream) {
  if (FImage && index == 0)
    stream = static_cast<ISequentialInStream *>(static_cast<IInStream *>(FImage->Clone().Get()));
}

Tvor7zArchive::TExtractItemInfo Tvor7zAdCryptArchive::DoGetExtractItemInfo(UInt32) { return {FSize, false}; }

void Tvor7zAdCryptArchive::DoPrepareExtract(IArchiveExtractCallback *callback) {
  FNoKeyForExtract = !Unlock(callback);
}

Int32 Tvor7zAdCryptArchive::DoExtractItem(UInt32, ISequentialOutStream *stream, Tvor7zProgress &progress) {
  if (FNoKeyForExtract)
    return NOperationResult::kWrongPassword;
  const ComPtr<Tvor7zLimitInStream> image = FImage->Clone();
  std::vector<Byte> buffer(1u << 20);
  UInt64 copied = 0;
  CheckHResult(CopyStream(buffer.data(), static_cast<UInt32>(buffer.size()), &progress, image, stream, FSize, &copied));
  return copied == FSize ? NOperationResult::kOK : NOperationResult::kUnexpectedEnd;
}
