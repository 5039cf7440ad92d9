// Binary interface shared with the 7-Zip host: types, interface declarations, IIDs and constants.
// Declared here from the host's documented ABI; on Windows the SDK's COM base types are used,
// on Linux our own with the host's layout (4-byte wchar_t, 16-byte PROPVARIANT, no destructor slots).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <oleauto.h>
#include <propidl.h>
#define VOR_EXPORT extern "C" __declspec(dllexport)
#else
#define VOR_EXPORT extern "C" __attribute__((visibility("default")))
#define STDMETHODCALLTYPE
#define WINAPI

typedef int32_t HRESULT;  // the host's LONG is 32 bits, not the LP64 long
typedef uint32_t ULONG;
typedef int32_t LONG;
typedef uint32_t DWORD;
typedef uint16_t WORD;
typedef uint8_t BYTE;
typedef int32_t INT;
typedef uint32_t UINT;
typedef uint32_t PROPID;
typedef uint16_t VARTYPE;
typedef int16_t VARIANT_BOOL;
typedef wchar_t OLECHAR;
typedef OLECHAR *BSTR;

struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};
typedef const GUID &REFGUID;
typedef const GUID &REFIID;

struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};

union LARGE_INTEGER {
  int64_t QuadPart;
};
union ULARGE_INTEGER {
  uint64_t QuadPart;
};

struct PROPVARIANT {
  VARTYPE vt;
  WORD wReserved1;
  WORD wReserved2;
  WORD wReserved3;
  union {
    char cVal;
    uint8_t bVal;
    int16_t iVal;
    uint16_t uiVal;
    int32_t lVal;
    uint32_t ulVal;
    int32_t intVal;
    uint32_t uintVal;
    int32_t scode;
    LARGE_INTEGER hVal;
    ULARGE_INTEGER uhVal;
    VARIANT_BOOL boolVal;
    FILETIME filetime;
    BSTR bstrVal;
    double dblVal;
    float fltVal;
    double date;
    int64_t cyVal;
    wchar_t *pwszVal;
    char *pszVal;
    GUID *puuid;
  };
};
static_assert(sizeof(PROPVARIANT) == 16, "the Linux host's PROPVARIANT is 16 bytes");
static_assert(sizeof(wchar_t) == 4, "the Linux host uses 4-byte wchar_t");

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001u);
constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003u);
constexpr HRESULT E_ABORT = static_cast<HRESULT>(0x80004004u);
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
constexpr HRESULT E_UNEXPECTED = static_cast<HRESULT>(0x8000FFFFu);
constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
constexpr HRESULT STG_E_INVALIDFUNCTION = static_cast<HRESULT>(0x80030001u);
constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = static_cast<HRESULT>(0x80040111u);

enum VARENUM : VARTYPE {
  VT_EMPTY = 0, VT_NULL = 1, VT_I2 = 2, VT_I4 = 3, VT_R4 = 4, VT_R8 = 5, VT_CY = 6, VT_DATE = 7,
  VT_BSTR = 8, VT_DISPATCH = 9, VT_ERROR = 10, VT_BOOL = 11, VT_VARIANT = 12, VT_UNKNOWN = 13,
  VT_DECIMAL = 14, VT_I1 = 16, VT_UI1 = 17, VT_UI2 = 18, VT_UI4 = 19, VT_I8 = 20, VT_UI8 = 21,
  VT_INT = 22, VT_UINT = 23, VT_VOID = 24, VT_HRESULT = 25, VT_LPSTR = 30, VT_LPWSTR = 31,
  VT_FILETIME = 64, VT_CLSID = 72, VT_VECTOR = 0x1000, VT_ARRAY = 0x2000
};
constexpr VARIANT_BOOL VARIANT_TRUE = -1;
constexpr VARIANT_BOOL VARIANT_FALSE = 0;

enum STREAM_SEEK { STREAM_SEEK_SET = 0, STREAM_SEEK_CUR = 1, STREAM_SEEK_END = 2 };

inline bool operator==(const GUID &a, const GUID &b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }
inline bool operator!=(const GUID &a, const GUID &b) { return !(a == b); }

// 26.x hosts carry no destructor slots in IUnknown.
struct IUnknown {
  virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **out) = 0;
  virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE Release() = 0;
};
#endif

#include <cwchar>
#include <string>

typedef uint8_t Byte;
typedef uint16_t UInt16;
typedef uint32_t UInt32;
typedef int32_t Int32;
typedef uint64_t UInt64;
typedef int64_t Int64;

static_assert(sizeof(HRESULT) == 4, "HRESULT is 32 bits on both platforms");
static_assert(sizeof(GUID) == 16, "GUID layout");

// Strings handed through the host interfaces use the platform's wchar_t.
using UString = std::wstring;
using AString = std::string;

constexpr HRESULT HRESULT_ERROR_NEGATIVE_SEEK = static_cast<HRESULT>(0x80070083u);
constexpr HRESULT HRESULT_ERROR_INVALID_FUNCTION = static_cast<HRESULT>(0x80070001u);
constexpr HRESULT HRESULT_ERROR_CANCELLED = static_cast<HRESULT>(0x800704C7u);
constexpr HRESULT HRESULT_ERROR_INVALID_DATA = static_cast<HRESULT>(0x8007000Du);

// IIDs of the host: {23170F69-40C1-278A-0000-00GG00SS0000}.
constexpr GUID Vor7zIID(uint8_t group, uint8_t sub) {
  return GUID{0x23170F69u, 0x40C1u, 0x278Au, {0, 0, 0, group, 0, sub, 0, 0}};
}

#define VOR_DECLARE_IID(name, group, sub) inline constexpr GUID IID_##name = Vor7zIID(group, sub)

inline constexpr GUID IID_IVorUnknown = {0x00000000u, 0x0000u, 0x0000u, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

VOR_DECLARE_IID(IProgress, 0x00, 0x05);
VOR_DECLARE_IID(ISequentialInStream, 0x03, 0x01);
VOR_DECLARE_IID(ISequentialOutStream, 0x03, 0x02);
VOR_DECLARE_IID(IInStream, 0x03, 0x03);
VOR_DECLARE_IID(IOutStream, 0x03, 0x04);
VOR_DECLARE_IID(IStreamGetSize, 0x03, 0x06);
VOR_DECLARE_IID(ICompressProgressInfo, 0x04, 0x04);
VOR_DECLARE_IID(ICompressCoder, 0x04, 0x05);
VOR_DECLARE_IID(ICompressSetDecoderProperties2, 0x04, 0x22);
VOR_DECLARE_IID(ICompressSetCoderMt, 0x04, 0x25);
VOR_DECLARE_IID(ICompressSetFinishMode, 0x04, 0x26);
VOR_DECLARE_IID(ICompressSetOutStreamSize, 0x04, 0x34);
VOR_DECLARE_IID(ICompressSetBufSize, 0x04, 0x35);
VOR_DECLARE_IID(ICompressFilter, 0x04, 0x40);
VOR_DECLARE_IID(ICompressCodecsInfo, 0x04, 0x60);
VOR_DECLARE_IID(ISetCompressCodecsInfo, 0x04, 0x61);
VOR_DECLARE_IID(IHasher, 0x04, 0xC0);
VOR_DECLARE_IID(IHashers, 0x04, 0xC1);
VOR_DECLARE_IID(ICryptoGetTextPassword, 0x05, 0x10);
VOR_DECLARE_IID(ISetProperties, 0x06, 0x03);
VOR_DECLARE_IID(IArchiveOpenCallback, 0x06, 0x10);
VOR_DECLARE_IID(IArchiveExtractCallback, 0x06, 0x20);
VOR_DECLARE_IID(IArchiveOpenVolumeCallback, 0x06, 0x30);
VOR_DECLARE_IID(IInArchiveGetStream, 0x06, 0x40);
VOR_DECLARE_IID(IArchiveOpenSetSubArchiveName, 0x06, 0x50);
VOR_DECLARE_IID(IInArchive, 0x06, 0x60);
VOR_DECLARE_IID(IArchiveOpenSeq, 0x06, 0x61);
VOR_DECLARE_IID(IArchiveGetRawProps, 0x06, 0x70);
VOR_DECLARE_IID(IArchiveUpdateCallback, 0x06, 0x80);
VOR_DECLARE_IID(IOutArchive, 0x06, 0xA0);

// ---- Interfaces, methods in the host's slot order ----

struct ISequentialInStream : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Read(void *data, UInt32 size, UInt32 *processedSize) = 0;
};
struct ISequentialOutStream : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Write(const void *data, UInt32 size, UInt32 *processedSize) = 0;
};
struct IInStream : ISequentialInStream {
  virtual HRESULT STDMETHODCALLTYPE Seek(Int64 offset, UInt32 seekOrigin, UInt64 *newPosition) = 0;
};
struct IOutStream : ISequentialOutStream {
  virtual HRESULT STDMETHODCALLTYPE Seek(Int64 offset, UInt32 seekOrigin, UInt64 *newPosition) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetSize(UInt64 newSize) = 0;
};
struct IStreamGetSize : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetSize(UInt64 *size) = 0;
};
struct IProgress : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE SetTotal(UInt64 total) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetCompleted(const UInt64 *completeValue) = 0;
};
struct ICompressProgressInfo : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE SetRatioInfo(const UInt64 *inSize, const UInt64 *outSize) = 0;
};
struct ICompressCoder : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Code(ISequentialInStream *inStream, ISequentialOutStream *outStream,
                                         const UInt64 *inSize, const UInt64 *outSize,
                                         ICompressProgressInfo *progress) = 0;
};
struct ICompressSetDecoderProperties2 : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE SetDecoderProperties2(const Byte *data, UInt32 size) = 0;
};
struct ICompressSetCoderMt : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE SetNumberOfThreads(UInt32 numThreads) = 0;
};
struct ICompressSetFinishMode : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE SetFinishMode(UInt32 finishMode) = 0;
};
struct ICompressSetOutStreamSize : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE SetOutStreamSize(const UInt64 *outSize) = 0;
};
struct ICompressSetBufSize : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE SetInBufSize(UInt32 streamIndex, UInt32 size) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetOutBufSize(UInt32 streamIndex, UInt32 size) = 0;
};
struct ICompressFilter : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Init() = 0;
  virtual UInt32 STDMETHODCALLTYPE Filter(Byte *data, UInt32 size) = 0;
};
struct ICompressCodecsInfo : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetNumMethods(UInt32 *numMethods) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetProperty(UInt32 index, PROPID propID, PROPVARIANT *value) = 0;
  virtual HRESULT STDMETHODCALLTYPE CreateDecoder(UInt32 index, const GUID *iid, void **coder) = 0;
  virtual HRESULT STDMETHODCALLTYPE CreateEncoder(UInt32 index, const GUID *iid, void **coder) = 0;
};
struct ISetCompressCodecsInfo : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE SetCompressCodecsInfo(ICompressCodecsInfo *compressCodecsInfo) = 0;
};
struct IHasher : IUnknown {
  virtual void STDMETHODCALLTYPE Init() = 0;
  virtual void STDMETHODCALLTYPE Update(const void *data, UInt32 size) = 0;
  virtual void STDMETHODCALLTYPE Final(Byte *digest) = 0;
  virtual UInt32 STDMETHODCALLTYPE GetDigestSize() = 0;
};
struct IHashers : IUnknown {
  virtual UInt32 STDMETHODCALLTYPE GetNumHashers() = 0;
  virtual HRESULT STDMETHODCALLTYPE GetHasherProp(UInt32 index, PROPID propID, PROPVARIANT *value) = 0;
  virtual HRESULT STDMETHODCALLTYPE CreateHasher(UInt32 index, IHasher **hasher) = 0;
};
struct ISetProperties : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE SetProperties(const wchar_t *const *names, const PROPVARIANT *values,
                                                  UInt32 numProps) = 0;
};
struct IArchiveOpenCallback : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE SetTotal(const UInt64 *files, const UInt64 *bytes) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetCompleted(const UInt64 *files, const UInt64 *bytes) = 0;
};
struct IArchiveExtractCallback : IProgress {
  virtual HRESULT STDMETHODCALLTYPE GetStream(UInt32 index, ISequentialOutStream **outStream,
                                              Int32 askExtractMode) = 0;
  virtual HRESULT STDMETHODCALLTYPE PrepareOperation(Int32 askExtractMode) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetOperationResult(Int32 opRes) = 0;
};
struct IArchiveOpenVolumeCallback : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetProperty(PROPID propID, PROPVARIANT *value) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetStream(const wchar_t *name, IInStream **inStream) = 0;
};
struct IInArchiveGetStream : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetStream(UInt32 index, ISequentialInStream **stream) = 0;
};
struct IInArchive : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Open(IInStream *stream, const UInt64 *maxCheckStartPosition,
                                         IArchiveOpenCallback *openCallback) = 0;
  virtual HRESULT STDMETHODCALLTYPE Close() = 0;
  virtual HRESULT STDMETHODCALLTYPE GetNumberOfItems(UInt32 *numItems) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetProperty(UInt32 index, PROPID propID, PROPVARIANT *value) = 0;
  virtual HRESULT STDMETHODCALLTYPE Extract(const UInt32 *indices, UInt32 numItems, Int32 testMode,
                                            IArchiveExtractCallback *extractCallback) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetArchiveProperty(PROPID propID, PROPVARIANT *value) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetNumberOfProperties(UInt32 *numProps) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetPropertyInfo(UInt32 index, BSTR *name, PROPID *propID, VARTYPE *varType) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetNumberOfArchiveProperties(UInt32 *numProps) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetArchivePropertyInfo(UInt32 index, BSTR *name, PROPID *propID,
                                                           VARTYPE *varType) = 0;
};
struct ICryptoGetTextPassword : IUnknown {
  // The password the user gave, as a BSTR the caller frees.
  virtual HRESULT STDMETHODCALLTYPE CryptoGetTextPassword(BSTR *password) = 0;
};
struct IArchiveOpenSeq : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE OpenSeq(ISequentialInStream *stream) = 0;
};
struct IArchiveGetRawProps : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetParent(UInt32 index, UInt32 *parent, UInt32 *parentType) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetRawProp(UInt32 index, PROPID propID, const void **data, UInt32 *dataSize,
                                               UInt32 *propType) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetNumRawProps(UInt32 *numProps) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetRawPropInfo(UInt32 index, BSTR *name, PROPID *propID) = 0;
};
struct IArchiveUpdateCallback : IProgress {
  virtual HRESULT STDMETHODCALLTYPE GetUpdateItemInfo(UInt32 index, Int32 *newData, Int32 *newProps,
                                                      UInt32 *indexInArchive) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetProperty(UInt32 index, PROPID propID, PROPVARIANT *value) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetStream(UInt32 index, ISequentialInStream **inStream) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetOperationResult(Int32 operationResult) = 0;
};
struct IOutArchive : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE UpdateItems(ISequentialOutStream *outStream, UInt32 numItems,
                                                IArchiveUpdateCallback *updateCallback) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetFileTimeType(UInt32 *type) = 0;
};

// ---- Property IDs ----
enum : PROPID {
  kpidNoProperty = 0, kpidMainSubfile = 1, kpidHandlerItemIndex = 2, kpidPath = 3, kpidName = 4,
  kpidExtension = 5, kpidIsDir = 6, kpidSize = 7, kpidPackSize = 8, kpidAttrib = 9, kpidCTime = 10,
  kpidATime = 11, kpidMTime = 12, kpidSolid = 13, kpidCommented = 14, kpidEncrypted = 15,
  kpidCRC = 19, kpidType = 20, kpidIsAnti = 21, kpidMethod = 22, kpidComment = 28, kpidPosition = 29,
  kpidIsVolume = 35, kpidOffset = 36, kpidPhySize = 44, kpidHeadersSize = 45, kpidCharacts = 47,
  kpidShortName = 50, kpidCreatorApp = 51,
  kpidSectorSize = 52, kpidPosixAttrib = 53, kpidSymLink = 54, kpidError = 55, kpidIsTree = 66,
  kpidSha1 = 67, kpidSha256 = 68, kpidErrorType = 69, kpidNumErrors = 70, kpidErrorFlags = 71,
  kpidWarningFlags = 72, kpidWarning = 73, kpidHardLink = 90, kpidUserDefined = 0x10000
};

// Handler properties (GetHandlerProperty2).
namespace NArchive::NHandlerPropID {
enum : PROPID {
  kName = 0, kClassID, kExtension, kAddExtension, kUpdate, kKeepName, kSignature, kMultiSignature,
  kSignatureOffset, kAltStreams, kNtSecure, kFlags, kTimeFlags
};
}

// Method and hasher properties (ICompressCodecsInfo::GetProperty, IHashers::GetHasherProp).
namespace NMethodPropID {
enum : PROPID {
  kID = 0, kName, kDecoder, kEncoder, kPackStreams, kUnpackStreams, kDescription, kDecoderIsAssigned,
  kEncoderIsAssigned, kDigestSize, kIsFilter
};
}

// Module properties (GetModuleProp).
namespace NModulePropID {
enum : PROPID { kInterfaceType = 0, kVersion = 1 };
}

// Ask modes and operation results of extraction.
namespace NAskMode {
enum : Int32 { kExtract = 0, kTest = 1, kSkip = 2, kReadExternal = 3 };
}
namespace NOperationResult {
enum : Int32 {
  kOK = 0, kUnsupportedMethod = 1, kDataError = 2, kCRCError = 3, kUnavailable = 4, kUnexpectedEnd = 5,
  kDataAfterEnd = 6, kIsNotArc = 7, kHeadersError = 8, kWrongPassword = 9
};
}

// Bit numbers of the archive error and warning flags.
enum : UInt32 {
  kpv_ErrorFlags_IsNotArc = 0,
  kpv_ErrorFlags_HeadersError = 1,
  kpv_ErrorFlags_EncryptedHeadersError = 2,
  kpv_ErrorFlags_UnavailableStart = 3,
  kpv_ErrorFlags_UnconfirmedStart = 4,
  kpv_ErrorFlags_UnexpectedEnd = 5,
  kpv_ErrorFlags_DataAfterEnd = 6,
  kpv_ErrorFlags_UnsupportedMethod = 7,
  kpv_ErrorFlags_UnsupportedFeature = 8,
  kpv_ErrorFlags_DataError = 9,
  kpv_ErrorFlags_CRCError = 10
};

// Raw property data types (GetRawProp).
namespace NPropDataType {
enum : UInt32 { kNotDefined = 0, kRaw = 1 };
}

// The host's IsArc function shape.
typedef UInt32(WINAPI *Func_IsArc)(const Byte *p, size_t size);
