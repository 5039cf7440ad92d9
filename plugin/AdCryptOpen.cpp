#include "plugin/AdCryptOpen.h"

#include "host/Errors.h"
#include "streams/AdEncryption.h"

namespace {
// The host's open callback, with the other files of the set decrypted on their way to the format.
// It lives as long as the Open it serves.
class TAdCryptOpenCallback : public TvorInterfacedObject,
                             public IArchiveOpenCallback,
                             public IArchiveOpenVolumeCallback {
public:
  TAdCryptOpenCallback(IArchiveOpenCallback *host, TvorSecret key, std::function<UString(UInt32)> volumeName)
      : FHost(host), FVolumes(QueryAs<IArchiveOpenVolumeCallback>(host, IID_IArchiveOpenVolumeCallback)),
        FKey(std::move(key)), FVolumeName(std::move(volumeName)) {}

  VOR_UNKNOWN_IMP
  HRESULT QueryInterfaceImpl(REFIID iid, void **out) override {
    if (iid == IID_IVorUnknown || iid == IID_IArchiveOpenCallback)
      return Offer<IArchiveOpenCallback>(this, out);
    if (iid == IID_IArchiveOpenVolumeCallback && FVolumes)
      return Offer<IArchiveOpenVolumeCallback>(this, out);
    return NoInterface(out);
  }
  HRESULT STDMETHODCALLTYPE SetTotal(const UInt64 *files, const UInt64 *bytes) noexcept override {
    return FHost ? FHost->SetTotal(files, bytes) : S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetCompleted(const UInt64 *files, const UInt64 *bytes) noexcept override {
    return FHost ? FHost->SetCompleted(files, bytes) : S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetProperty(PROPID propID, PROPVARIANT *value) noexcept override {
    return FVolumes->GetProperty(propID, value);
  }
  // A file of the set is cipher text whole, its index in the counter: anything else is not handed out.
  HRESULT STDMETHODCALLTYPE GetStream(const wchar_t *name, IInStream **inStream) noexcept override {
    return GuardHResult([&]() -> HRESULT {
      CheckPointer(inStream);
      *inStream = nullptr;
      const UInt32 index = IndexOf(name ? name : L"");
      if (index == 0)
        return S_FALSE;
      ComPtr<IInStream> file;
      if (FVolumes->GetStream(name, file.Put()) != S_OK || !file)
        return S_FALSE;
      ComPtr<IInStream> plain(new Tvor7zAdCryptInStream(file, FKey, index, 0));
      *inStream = plain.Detach();
      return S_OK;
    });
  }

private:
  // Index of the later file of the set named `name`, 0 when it is none. Sets are opened in order,
  // so the search starts after the file found last.
  UInt32 IndexOf(const UString &name) {
    const auto find = [&](UInt32 from, UInt32 to) -> UInt32 {
      for (UInt32 k = from; k < to; k++) {
        const UString candidate = FVolumeName(k);
        if (candidate.empty())
          return 0;
        if (candidate == name)
          return k;
      }
      return 0;
    };
    constexpr UInt32 kMaxFiles = 65536;
    UInt32 k = find(FLast + 1, kMaxFiles);
    if (k == 0)
      k = find(1, FLast + 1);
    if (k != 0)
      FLast = k;
    return k;
  }

  ComPtr<IArchiveOpenCallback> FHost;
  ComPtr<IArchiveOpenVolumeCallback> FVolumes;
  TvorSecret FKey;
  std::function<UString(UInt32)> FVolumeName;
  UInt32 FLast = 0;
};
}  // namespace

TAdCryptOpen OpenAdEncrypted(ComPtr<IInStream> &stream, ComPtr<IArchiveOpenCallback> &callback,
                             std::function<UString(UInt32)> volumeName, UString &why) {
  TAdCryptHeader header;
  switch (ReadAdCryptHeader(stream, header, why)) {
  case TAdCryptRead::kPlain:
    return TAdCryptOpen::kPlain;
  case TAdCryptRead::kUnsupported:
    return TAdCryptOpen::kUnsupported;
  case TAdCryptRead::kDamaged:
    RaiseHResult(S_FALSE);
  case TAdCryptRead::kOk:
    break;
  }
  TvorSecret key;
  if (!AskAdCryptKey(header, callback, key))
    RaiseHResult(S_FALSE);
  stream = new Tvor7zAdCryptInStream(stream, key, 0, header.DataStart);
  callback = new TAdCryptOpenCallback(callback, std::move(key), std::move(volumeName));
  return TAdCryptOpen::kUnlocked;
}
