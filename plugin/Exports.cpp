// The functions the host looks up in the library.
#include "host/PropVariant.h"
#include "platform/Platform.h"
#include "plugin/Registry.h"
#include "vor7z_version.h"

namespace NHandler = NArchive::NHandlerPropID;

VOR_EXPORT HRESULT WINAPI GetNumberOfFormats(UInt32 *numFormats) {
  return GuardHResult([&] {
    CheckPointer(numFormats);
    *numFormats = Tvor7zRegistry::Instance().FormatCount();
    return S_OK;
  });
}

VOR_EXPORT HRESULT WINAPI GetHandlerProperty2(UInt32 formatIndex, PROPID propID, PROPVARIANT *value) {
  return GuardHResult([&] {
    CheckPointer(value);
    value->vt = VT_EMPTY;
    auto &registry = Tvor7zRegistry::Instance();
    CheckArgument(formatIndex < registry.FormatCount());
    const Tvor7zArchiveClass *c = registry.Format(formatIndex);
    switch (propID) {
    case NHandler::kName: {
      const UString s = c->GetName();
      if (!s.empty())
        PropSetString(*value, s);
      break;
    }
    case NHandler::kClassID: {
      const GUID id = c->GetClassID();
      PropSetBytes(*value, &id, sizeof id);
      break;
    }
    case NHandler::kExtension: {
      const UString s = c->GetExtension();
      if (!s.empty())
        PropSetString(*value, s);
      break;
    }
    case NHandler::kAddExtension: {
      const UString s = c->GetAddExtension();
      if (!s.empty())
        PropSetString(*value, s);
      break;
    }
    case NHandler::kUpdate:
      PropSetBool(*value, c->GetUpdate());
      break;
    case NHandler::kKeepName:
      PropSetBool(*value, (c->GetFlags() & 1) != 0);
      break;
    case NHandler::kSignature: {
      const AString s = c->GetSignature();
      if (!s.empty())
        PropSetBytes(*value, s.data(), static_cast<UInt32>(s.size()));
      break;
    }
    case NHandler::kSignatureOffset:
      PropSetUInt32(*value, c->GetSignatureOffset());
      break;
    case NHandler::kAltStreams:
      PropSetBool(*value, (c->GetFlags() & 2) != 0);
      break;
    case NHandler::kNtSecure:
      PropSetBool(*value, (c->GetFlags() & 4) != 0);
      break;
    case NHandler::kFlags:
      PropSetUInt32(*value, c->GetFlags());
      break;
    default:
      break;
    }
    return S_OK;
  });
}

VOR_EXPORT HRESULT WINAPI GetIsArc(UInt32 formatIndex, Func_IsArc *isArc) {
  return GuardHResult([&] {
    CheckPointer(isArc);
    *isArc = nullptr;
    auto &registry = Tvor7zRegistry::Instance();
    CheckArgument(formatIndex < registry.FormatCount());
    *isArc = registry.Format(formatIndex)->GetIsArcFunc();
    return S_OK;
  });
}

VOR_EXPORT HRESULT WINAPI CreateObject(const GUID *clsid, const GUID *iid, void **outObject) {
  return GuardHResult([&] {
    CheckPointer(outObject);
    *outObject = nullptr;
    CheckPointer(clsid);
    CheckPointer(iid);
    HRESULT result = E_NOINTERFACE;
    for (const Tvor7zObjectClass *c : Tvor7zRegistry::Instance().Objects()) {
      if (c->GetClassID() != *clsid)
        continue;
      // A local reference keeps the instance alive across QueryInterface; when the interface is
      // refused, releasing it destroys the instance.
      ComPtr<IUnknown> local(c->Create()->GetUnknown());
      result = local->QueryInterface(*iid, outObject);
      if (result == S_OK)
        break;
    }
    return result;
  });
}

VOR_EXPORT HRESULT WINAPI SetCodecs(ICompressCodecsInfo *codecs) {
  return GuardHResult([&] {
    GlobalCodecsInfo().SetCodecsInfo(codecs);
    return S_OK;
  });
}

// The Linux host refuses a module without this: interface type 0 = IUnknown without destructor slots.
VOR_EXPORT HRESULT WINAPI GetModuleProp(PROPID propID, PROPVARIANT *value) {
  return GuardHResult([&] {
    CheckPointer(value);
    value->vt = VT_EMPTY;
    if (propID == NModulePropID::kInterfaceType)
      PropSetUInt32(*value, 0);
    else if (propID == NModulePropID::kVersion)
      PropSetUInt32(*value, VOR7Z_MODULE_VERSION);
    return S_OK;
  });
}
