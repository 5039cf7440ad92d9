#include "host/CodecsInfo.h"

#include "host/Errors.h"
#include "host/FilterCoder.h"
#include "host/PropVariant.h"

void Tvor7zCompressCodecsInfo::SetCodecsInfo(ICompressCodecsInfo *codecs) {
  FHashers = nullptr;
  FCodecs = codecs;
  if (codecs)
    FHashers = QueryAs<IHashers>(codecs, IID_IHashers);
}

Int32 Tvor7zCompressCodecsInfo::GetNumMethods() {
  if (!FCodecs)
    return 0;
  UInt32 n = 0;
  if (FCodecs->GetNumMethods(&n) != S_OK)
    return 0;
  return static_cast<Int32>(n);
}

// The kID property of one list entry; 0 when the list does not answer.
template <class F>
static UInt64 ReadID(F &&getProperty) {
  PROPVARIANT v{};
  v.vt = VT_EMPTY;
  if (getProperty(&v) != S_OK) {
    PropVariantClearValue(v);
    return 0;
  }
  Int64 id = 0;
  const HRESULT hr = PropVariantToInt64(v, id);
  PropVariantClearValue(v);
  CheckHResult(hr);
  return static_cast<UInt64>(id);
}

UInt64 Tvor7zCompressCodecsInfo::GetCodecID(Int32 index) {
  return ReadID([&](PROPVARIANT *v) { return FCodecs->GetProperty(static_cast<UInt32>(index), NMethodPropID::kID, v); });
}

ComPtr<ICompressCoder> Tvor7zCompressCodecsInfo::CreateDecoder(Int32 index) {
  void *p = nullptr;
  HRESULT hr = FCodecs->CreateDecoder(static_cast<UInt32>(index), &IID_ICompressCoder, &p);
  if (hr == S_OK && p) {
    ComPtr<ICompressCoder> coder;
    coder.Attach(static_cast<ICompressCoder *>(p));
    return coder;
  }
  // The method may be offered only as an in-place filter.
  p = nullptr;
  hr = FCodecs->CreateDecoder(static_cast<UInt32>(index), &IID_ICompressFilter, &p);
  CheckHResult(hr);
  if (!p)
    RaiseHResult(E_NOTIMPL);
  ComPtr<ICompressFilter> filter;
  filter.Attach(static_cast<ICompressFilter *>(p));
  return ComPtr<ICompressCoder>(new Tvor7zFilterDecoder(filter));
}

Int32 Tvor7zCompressCodecsInfo::GetNumHashers() {
  return FHashers ? static_cast<Int32>(FHashers->GetNumHashers()) : 0;
}

UInt64 Tvor7zCompressCodecsInfo::GetHasherID(Int32 index) {
  return ReadID(
      [&](PROPVARIANT *v) { return FHashers->GetHasherProp(static_cast<UInt32>(index), NMethodPropID::kID, v); });
}

ComPtr<IHasher> Tvor7zCompressCodecsInfo::CreateHasher(Int32 index) {
  ComPtr<IHasher> h;
  CheckHResult(FHashers->CreateHasher(static_cast<UInt32>(index), h.Put()));
  if (!h)
    RaiseHResult(E_NOTIMPL);
  return h;
}

Tvor7zCompressCodecsInfo &GlobalCodecsInfo() {
  static Tvor7zCompressCodecsInfo info;
  return info;
}

ComPtr<ICompressCoder> FindDecoder(Tvor7zCompressCodecsInfo *handlerCodecs, UInt64 methodID) {
  for (Tvor7zCompressCodecsInfo *list : {handlerCodecs, &GlobalCodecsInfo()}) {
    if (!list)
      continue;
    const Int32 n = list->GetNumMethods();
    for (Int32 i = 0; i < n; i++)
      if (list->GetCodecID(i) == methodID)
        return list->CreateDecoder(i);
  }
  RaiseHResult(E_NOTIMPL);
}

ComPtr<ICompressCoder> FindDecoderIfAny(Tvor7zCompressCodecsInfo *handlerCodecs, UInt64 methodID) {
  try {
    return FindDecoder(handlerCodecs, methodID);
  } catch (const EOleSysError &e) {
    if (e.Code() != E_NOTIMPL)
      throw;
  }
  return nullptr;
}

ComPtr<IHasher> FindHasher(Tvor7zCompressCodecsInfo *handlerCodecs, UInt64 hasherID,
                           const std::function<ComPtr<IHasher>()> &fallback) {
  for (Tvor7zCompressCodecsInfo *list : {handlerCodecs, &GlobalCodecsInfo()}) {
    if (!list)
      continue;
    const Int32 n = list->GetNumHashers();
    for (Int32 i = 0; i < n; i++)
      if (list->GetHasherID(i) == hasherID)
        return list->CreateHasher(i);
  }
  return fallback();
}

Int32 CoderResultToOperationResult(HRESULT hr) {
  switch (hr) {
  case S_OK:
    return NOperationResult::kOK;
  case S_FALSE:
    return NOperationResult::kDataError;
  case E_NOTIMPL:
    return NOperationResult::kUnsupportedMethod;
  default:
    RaiseHResult(hr);
  }
}
