// The host's codec and hasher lists, and the lookups that prefer the handler's list over the
// library-wide one.
#pragma once

#include <functional>

#include "host/Com.h"

// Holds one codec list given by the host (through SetCodecs or ISetCompressCodecsInfo).
class Tvor7zCompressCodecsInfo {
public:
  Tvor7zCompressCodecsInfo() = default;
  ~Tvor7zCompressCodecsInfo() { SetCodecsInfo(nullptr); }
  Tvor7zCompressCodecsInfo(const Tvor7zCompressCodecsInfo &) = delete;
  Tvor7zCompressCodecsInfo &operator=(const Tvor7zCompressCodecsInfo &) = delete;

  void SetCodecsInfo(ICompressCodecsInfo *codecs);
  // The host's list (nil when none was given), for objects that outlive their handler's call.
  ICompressCodecsInfo *GetCodecsInfo() const { return FCodecs; }

  Int32 GetNumMethods();
  UInt64 GetCodecID(Int32 index);
  ComPtr<ICompressCoder> CreateDecoder(Int32 index);
  Int32 GetNumHashers();
  UInt64 GetHasherID(Int32 index);
  ComPtr<IHasher> CreateHasher(Int32 index);

private:
  ComPtr<ICompressCodecsInfo> FCodecs;
  ComPtr<IHashers> FHashers;
};

// The library-wide list filled by the SetCodecs export.
Tvor7zCompressCodecsInfo &GlobalCodecsInfo();

// Method IDs the library asks the host for.
constexpr UInt64 kMethodBZip2 = 0x040202;
constexpr UInt64 kMethodLzma = 0x030101;
constexpr UInt64 kHasherCRC32 = 0x1;
constexpr UInt64 kHasherSHA1 = 0x201;
constexpr UInt64 kHasherSHA256 = 0x0A;

// Operation result of a coder's Code: S_OK -> kOK, S_FALSE (bad data) -> kDataError, E_NOTIMPL ->
// kUnsupportedMethod; any other result is raised.
Int32 CoderResultToOperationResult(HRESULT hr);

// Host decoder with that method ID, from the handler's list (may be nil) then the library-wide one;
// raises E_NOTIMPL when neither has it.
ComPtr<ICompressCoder> FindDecoder(Tvor7zCompressCodecsInfo *handlerCodecs, UInt64 methodID);
// The same, nil when neither list has it (the caller reports the method as unsupported).
ComPtr<ICompressCoder> FindDecoderIfAny(Tvor7zCompressCodecsInfo *handlerCodecs, UInt64 methodID);
// Host hasher with that ID, searched the same way; `fallback` makes the library's own otherwise.
ComPtr<IHasher> FindHasher(Tvor7zCompressCodecsInfo *handlerCodecs, UInt64 hasherID,
                           const std::function<ComPtr<IHasher>()> &fallback);
