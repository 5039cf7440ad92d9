#include "plugin/Archive.h"

#include "host/PropVariant.h"
#include "platform/Platform.h"
#include "plugin/AdCryptOpen.h"

// ---------------- Tvor7zTestSequentialOutStream ----------------

HRESULT Tvor7zTestSequentialOutStream::QueryInterfaceImpl(REFIID iid, void **out) {
  if (iid == IID_IVorUnknown || iid == IID_ISequentialOutStream)
    return Offer<ISequentialOutStream>(this, out);
  return NoInterface(out);
}

HRESULT Tvor7zTestSequentialOutStream::Write(const void *, UInt32 size, UInt32 *processed) noexcept {
  if (processed)
    *processed = size;
  return S_OK;
}

// ---------------- names ----------------

static size_t FileNameStart(const UString &name) {
  const size_t slash = name.find_last_of(L"/\\");
  return slash == UString::npos ? 0 : slash + 1;
}

UString ExtractLowerExtension(const UString &name) {
  // As if a character stood in front of the file name, so ".E01" still has an extension.
  const UString file = L"1" + name.substr(FileNameStart(name));
  const size_t dot = file.rfind(L'.');
  if (dot == UString::npos || dot == 0)
    return UString();
  return PlatformLowerCase(file.substr(dot));
}

UString ChangeExtension(const UString &name, const UString &extension) {
  const size_t start = FileNameStart(name);
  const size_t dot = name.rfind(L'.');
  if (dot == UString::npos || dot < start)
    return name + extension;
  return name.substr(0, dot) + extension;
}

// ---------------- Tvor7zArchive ----------------

Tvor7zArchive::Tvor7zArchive() = default;

Tvor7zArchive::~Tvor7zArchive() { InternalClose(); }

HRESULT Tvor7zArchive::QueryInterfaceImpl(REFIID iid, void **out) {
  // Read-only: IOutArchive and IArchiveOpenSeq are never offered.
  if (iid == IID_IInArchiveGetStream && !(FClass && FClass->OverridesDoGetStream()))
    return NoInterface(out);
  if (iid == IID_IVorUnknown || iid == IID_IInArchive)
    return Offer<IInArchive>(this, out);
  if (iid == IID_IInArchiveGetStream)
    return Offer<IInArchiveGetStream>(this, out);
  if (iid == IID_IArchiveGetRawProps)
    return Offer<IArchiveGetRawProps>(this, out);
  if (iid == IID_ISetProperties)
    return Offer<ISetProperties>(this, out);
  if (iid == IID_ISetCompressCodecsInfo)
    return Offer<ISetCompressCodecsInfo>(this, out);
  return NoInterface(out);
}

void Tvor7zArchive::InternalClose() noexcept {
  try {
    DoClose();
  } catch (...) {
  }
  FStream = nullptr;
  FWarningFlags = 0;
  FWarning.clear();
  FErrorFlags = 0;
  FStructureErrorFlags = 0;
  FError.clear();
  FErrorType.clear();
}

void Tvor7zArchive::LoadArchiveName(IArchiveOpenCallback *callback) {
  auto volume = QueryAs<IArchiveOpenVolumeCallback>(callback, IID_IArchiveOpenVolumeCallback);
  if (!volume)
    return;
  PROPVARIANT v{};
  v.vt = VT_EMPTY;
  if (volume->GetProperty(kpidName, &v) == S_OK) {
    UString name;
    if (PropVariantToString(v, name) == S_OK && !name.empty()) {
      FArchiveName = name;
      FArchiveNameLoaded = true;
      FArchiveExtension = ExtractLowerExtension(name);
      FArchiveExtensionLoaded = true;
    }
  }
  PropVariantClearValue(v);
}

HRESULT Tvor7zArchive::Open(IInStream *stream, const UInt64 *maxCheckStartPosition,
                            IArchiveOpenCallback *openCallback) noexcept {
  std::unique_lock<std::recursive_mutex> lock(FLock, std::defer_lock);
  try {
    lock.lock();
    InternalClose();
    CheckPointer(stream);  // every format reads FStream at once
    FStream = stream;
    FOpenCallback = openCallback;
    LoadArchiveName(openCallback);
    // An AD-encrypted set opens as its plain self; a key this cannot unseal leaves the archive open
    // with nothing in it but the error.
    if (!DoGetVolumeName(0).empty() &&
        OpenAdEncrypted(FStream, FOpenCallback, [this](UInt32 k) { return DoGetVolumeName(k); }, FError) ==
            TAdCryptOpen::kUnsupported)
      SetErrorFlag(kpv_ErrorFlags_UnsupportedMethod);
    else
      DoOpen(maxCheckStartPosition, FOpenCallback);
    FOpenCallback = nullptr;
    return S_OK;
  } catch (...) {
    const HRESULT hr = ExceptionToHResult();
    FOpenCallback = nullptr;
    // Emptied before the lock is given back, so GetProperty on another thread never meets a
    // half-closed archive.
    InternalClose();
    return hr;
  }
}

HRESULT Tvor7zArchive::Close() noexcept {
  return GuardHResult([&] {
    std::lock_guard<std::recursive_mutex> lock(FLock);
    InternalClose();
    return S_OK;
  });
}

HRESULT Tvor7zArchive::GetNumberOfItems(UInt32 *numItems) noexcept {
  return GuardHResult([&] {
    CheckPointer(numItems);
    *numItems = 0;
    if (IsOpen())
      DoGetNumberOfItems(*numItems);
    return S_OK;
  });
}

HRESULT Tvor7zArchive::GetProperty(UInt32 index, PROPID propID, PROPVARIANT *value) noexcept {
  return GuardHResult([&] {
    CheckPointer(value);
    value->vt = VT_EMPTY;
    // Listing never waits behind a long Open or Close on another thread.
    std::unique_lock<std::recursive_mutex> lock(FLock, std::try_to_lock);
    if (!lock.owns_lock())
      return S_OK;
    if (IsOpen())
      DoGetProperty(index, propID, *value);
    return S_OK;
  });
}

HRESULT Tvor7zArchive::Extract(const UInt32 *indices, UInt32 numItems, Int32 testMode,
                               IArchiveExtractCallback *extractCallback) noexcept {
  return GuardHResult([&] {
    CheckArgument(extractCallback != nullptr);
    if (numItems != 0xFFFFFFFFu)
      CheckArgument(indices != nullptr);
    if (!IsOpen())
      return E_INVALIDARG;
    ExtractItems(indices, numItems, testMode != 0, extractCallback);
    return S_OK;
  });
}

HRESULT Tvor7zArchive::GetArchiveProperty(PROPID propID, PROPVARIANT *value) noexcept {
  return GuardHResult([&] {
    CheckPointer(value);
    value->vt = VT_EMPTY;
    if (!IsOpen())
      return S_OK;
    DoGetArchiveProperty(propID, *value);
    if (value->vt != VT_EMPTY)
      return S_OK;
    switch (propID) {
    case kpidError:
      if (!FError.empty())
        PropSetString(*value, FError);
      break;
    case kpidErrorType:
      if (!FErrorType.empty())
        PropSetString(*value, FErrorType);
      break;
    case kpidWarning:
      if (!FWarning.empty())
        PropSetString(*value, FWarning);
      break;
    case kpidErrorFlags:
      PropSetUInt32(*value, FErrorFlags);
      break;
    case kpidWarningFlags:
      PropSetUInt32(*value, FWarningFlags);
      break;
    default:
      break;
    }
    return S_OK;
  });
}

// Answers a Get(Archive)PropertyInfo call from a table; E_INVALIDARG past its end.
static void PropertyInfoFromTable(TvorPropertyTable table, UInt32 index, BSTR *name, PROPID *propID, VARTYPE *varType) {
  CheckPointer(name);
  CheckPointer(propID);
  CheckPointer(varType);
  *name = nullptr;
  *propID = 0;
  *varType = VT_EMPTY;
  if (index >= table.size())
    RaiseHResult(E_INVALIDARG);
  const TvorPropertyInfo &p = table[index];
  if (p.Name)
    *name = AllocBstr(p.Name);
  *propID = p.ID;
  *varType = p.Type;
}

HRESULT Tvor7zArchive::GetNumberOfProperties(UInt32 *numProps) noexcept {
  return GuardHResult([&] {
    CheckPointer(numProps);
    *numProps = static_cast<UInt32>(DoGetPropertyTable().size());
    return S_OK;
  });
}

HRESULT Tvor7zArchive::GetPropertyInfo(UInt32 index, BSTR *name, PROPID *propID, VARTYPE *varType) noexcept {
  return GuardHResult([&] {
    PropertyInfoFromTable(DoGetPropertyTable(), index, name, propID, varType);
    return S_OK;
  });
}

HRESULT Tvor7zArchive::GetNumberOfArchiveProperties(UInt32 *numProps) noexcept {
  return GuardHResult([&] {
    CheckPointer(numProps);
    *numProps = static_cast<UInt32>(DoGetArchivePropertyTable().size());
    return S_OK;
  });
}

HRESULT Tvor7zArchive::GetArchivePropertyInfo(UInt32 index, BSTR *name, PROPID *propID,
                                              VARTYPE *varType) noexcept {
  return GuardHResult([&] {
    PropertyInfoFromTable(DoGetArchivePropertyTable(), index, name, propID, varType);
    return S_OK;
  });
}

HRESULT Tvor7zArchive::GetStream(UInt32 index, ISequentialInStream **stream) noexcept {
  return GuardHResult([&] {
    CheckPointer(stream);
    *stream = nullptr;
    if (!IsOpen())
      return E_INVALIDARG;
    UInt32 count = 0;
    DoGetNumberOfItems(count);
    ComPtr<ISequentialInStream> result;
    if (index < count)
      DoGetStream(index, result);
    if (!result)
      return S_FALSE;
    *stream = result.Detach();
    return S_OK;
  });
}

HRESULT Tvor7zArchive::GetParent(UInt32 index, UInt32 *parent, UInt32 *parentType) noexcept {
  return GuardHResult([&] {
    CheckPointer(parent);
    CheckPointer(parentType);
    *parent = 0xFFFFFFFFu;
    *parentType = 0;
    return S_OK;
  });
}

HRESULT Tvor7zArchive::GetRawProp(UInt32 index, PROPID propID, const void **data, UInt32 *dataSize,
                                  UInt32 *propType) noexcept {
  return GuardHResult([&] {
    CheckPointer(data);
    CheckPointer(dataSize);
    CheckPointer(propType);
    *data = nullptr;
    *dataSize = 0;
    *propType = 0;
    UInt32 count = 0;
    if (IsOpen())
      DoGetNumberOfItems(count);
    if (index < count && DoGetDigestKinds() != 0)
      GetDigestRawProp(DoGetStoredDigests(index), propID, data, dataSize, propType);
    return S_OK;
  });
}

HRESULT Tvor7zArchive::GetNumRawProps(UInt32 *numProps) noexcept {
  return GuardHResult([&] {
    CheckPointer(numProps);
    *numProps = DoGetDigestKinds();
    return S_OK;
  });
}

HRESULT Tvor7zArchive::GetRawPropInfo(UInt32 index, BSTR *name, PROPID *propID) noexcept {
  return GuardHResult([&] {
    CheckPointer(name);
    CheckPointer(propID);
    *name = nullptr;
    *propID = 0;
    if (DoGetDigestKinds() != 0)
      GetDigestRawPropInfo(index, DoGetDigestKinds(), name, propID);
    return S_OK;
  });
}

static UString AsciiLower(const wchar_t *s) {
  UString r = s ? s : L"";
  for (auto &c : r)
    if (c >= L'A' && c <= L'Z')
      c = static_cast<wchar_t>(c - L'A' + L'a');
  return r;
}

HRESULT Tvor7zArchive::SetProperties(const wchar_t *const *names, const PROPVARIANT *values,
                                     UInt32 numProps) noexcept {
  return GuardHResult([&] {
    // The code page of byte-string names; "x" (the level every host passes) is taken and ignored.
    FCodePage = 0;
    for (UInt32 i = 0; i < numProps; i++) {
      CheckPointer(names);
      CheckPointer(values);
      const UString name = AsciiLower(names[i]);
      if (name == L"cp" && values[i].vt == VT_UI4)
        FCodePage = values[i].ulVal;
      else if (name != L"x")
        RaiseHResult(E_INVALIDARG);
    }
    return S_OK;
  });
}

HRESULT Tvor7zArchive::SetCompressCodecsInfo(ICompressCodecsInfo *codecs) noexcept {
  return GuardHResult([&] {
    FCodecsInfo.SetCodecsInfo(codecs);
    return S_OK;
  });
}

// ---- default operations ----

void Tvor7zArchive::DoOpen(const UInt64 *, IArchiveOpenCallback *) { RaiseHResult(E_NOTIMPL); }
void Tvor7zArchive::DoGetStream(UInt32, ComPtr<ISequentialInStream> &) {}
Tvor7zArchive::TExtractItemInfo Tvor7zArchive::DoGetExtractItemInfo(UInt32) { return {0, false}; }
Int32 Tvor7zArchive::DoExtractItem(UInt32, ISequentialOutStream *, Tvor7zProgress &) {
  return NOperationResult::kUnsupportedMethod;
}
void Tvor7zArchive::DoPrepareExtract(IArchiveExtractCallback *) {}
UString Tvor7zArchive::DoGetVolumeName(UInt32) { return UString(); }
void Tvor7zArchive::DoClose() {}
TvorPropertyTable Tvor7zArchive::DoGetArchivePropertyTable() { return {}; }
void Tvor7zArchive::DoGetArchiveProperty(PROPID, PROPVARIANT &) {}
void Tvor7zArchive::DoGetNumberOfItems(UInt32 &) {}
TvorPropertyTable Tvor7zArchive::DoGetPropertyTable() { return {}; }
void Tvor7zArchive::DoGetProperty(UInt32, PROPID, PROPVARIANT &) {}
UInt32 Tvor7zArchive::DoGetDigestKinds() { return 0; }
TvorStoredDigests Tvor7zArchive::DoGetStoredDigests(UInt32) { return {}; }

// ---- helpers ----

UString Tvor7zArchive::GetArchiveName() {
  if (!FArchiveNameLoaded) {
    FArchiveNameLoaded = true;
    if (FOpenCallback) {
      auto volume = QueryAs<IArchiveOpenVolumeCallback>(FOpenCallback.Get(), IID_IArchiveOpenVolumeCallback);
      if (volume) {
        PROPVARIANT v{};
        v.vt = VT_EMPTY;
        if (volume->GetProperty(kpidName, &v) == S_OK) {
          UString name;
          if (PropVariantToString(v, name) == S_OK && !name.empty())
            FArchiveName = name;
        }
        PropVariantClearValue(v);
      }
    }
  }
  return FArchiveName;
}

UString Tvor7zArchive::GetArchiveExtension() {
  if (!FArchiveExtensionLoaded) {
    FArchiveExtensionLoaded = true;
    FArchiveExtension = ExtractLowerExtension(GetArchiveName());
  }
  return FArchiveExtension;
}

static void AddFlag(UInt16 &flags, UInt32 bit) {
  if (bit <= 15)
    flags = static_cast<UInt16>(flags | (1u << bit));
}

void Tvor7zArchive::SetErrorFlag(UInt32 bit) {
  AddFlag(FErrorFlags, bit);
  AddFlag(FStructureErrorFlags, bit);
}

void Tvor7zArchive::SetMetadataErrorFlag(UInt32 bit) { AddFlag(FErrorFlags, bit); }

UString Tvor7zArchive::AnsiToUnicode(const AString &text) const { return AnsiToUnicode(text.data(), text.size()); }

UString Tvor7zArchive::AnsiToUnicode(const char *data, size_t size) const {
  return PlatformMultiByteToUnicode(data, size, FCodePage);
}

TvorPropertyTable Tvor7zArchive::PathAndSizeProperties() {
  static const TvorPropertyInfo kProps[] = {{nullptr, kpidPath, VT_BSTR}, {nullptr, kpidSize, VT_UI8}};
  return kProps;
}

void Tvor7zArchive::ExtractItems(const UInt32 *indices, UInt32 numItems, bool testMode,
                                 IArchiveExtractCallback *callback) {
  UInt32 count = 0;
  DoGetNumberOfItems(count);
  Tvor7zProgress progress(callback);
  const bool all = numItems == 0xFFFFFFFFu;
  const UInt32 n = all ? count : numItems;
  UInt64 total = 0;
  for (UInt32 i = 0; i < n; i++) {
    const UInt32 index = all ? i : indices[i];
    if (index >= count)
      RaiseHResult(E_INVALIDARG);
    // Sizes a damaged container claims may add up past 64 bits: a total that wrapped would cap the
    // progress the host sees, and with it the host's cancel of a long run of zeros.
    const UInt64 size = DoGetExtractItemInfo(index).Size;
    total = size > ~0ull - total ? ~0ull : total + size;
  }
  CheckHResult(progress.SetTotal(total));
  if (n > 0)
    DoPrepareExtract(callback);
  for (UInt32 i = 0; i < n; i++) {
    const UInt32 index = all ? i : indices[i];
    ExtractOneItem(callback, index, testMode, DoGetExtractItemInfo(index), progress);
  }
  CheckHResult(progress.Flush());
}

void Tvor7zArchive::ExtractOneItem(IArchiveExtractCallback *callback, UInt32 index, bool testMode,
                                   const TExtractItemInfo &item, Tvor7zProgress &progress) {
  ComPtr<ISequentialOutStream> stream;
  Int32 askMode = testMode ? NAskMode::kTest : NAskMode::kExtract;
  const HRESULT hr = CheckHResult(callback->GetStream(index, stream.Put(), askMode));
  if (hr != S_OK) {
    stream = nullptr;
    askMode = NAskMode::kSkip;
  } else if (item.IsFolder) {
    stream = nullptr;
  } else if (testMode) {
    stream = new Tvor7zTestSequentialOutStream();
    askMode = NAskMode::kTest;
  } else {
    askMode = stream ? NAskMode::kExtract : NAskMode::kSkip;
  }
  CheckHResult(callback->PrepareOperation(askMode));
  Int32 result = NOperationResult::kOK;
  if (stream)
    result = DoExtractItem(index, stream, progress);
  else
    CheckHResult(progress.Add(item.Size));
  stream = nullptr;
  CheckHResult(callback->SetOperationResult(result));
}
