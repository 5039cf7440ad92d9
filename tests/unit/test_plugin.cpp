// The library's exported functions as the host calls them: the format table, the signature tests,
// object creation, the module gate, and the conversion of failures into HRESULTs.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "platform/Platform.h"
#include "host/Errors.h"
#include "host/PropVariant.h"

extern "C" {
HRESULT GetNumberOfFormats(UInt32 *numFormats);
HRESULT GetHandlerProperty2(UInt32 formatIndex, PROPID propID, PROPVARIANT *value);
HRESULT GetIsArc(UInt32 formatIndex, Func_IsArc *isArc);
HRESULT CreateObject(const GUID *clsid, const GUID *iid, void **outObject);
HRESULT GetModuleProp(PROPID propID, PROPVARIANT *value);
}

// Every C++ allocation of this process is counted, so a test can see that a call left nothing alive.
static std::atomic<long long> gLiveAllocations{0};

void *operator new(std::size_t size) {
  void *p = std::malloc(size ? size : 1);
  if (!p)
    throw std::bad_alloc();
  gLiveAllocations++;
  return p;
}
void operator delete(void *p) noexcept {
  if (p) {
    gLiveAllocations--;
    std::free(p);
  }
}
void operator delete(void *p, std::size_t) noexcept { operator delete(p); }

namespace {

namespace NHandler = NArchive::NHandlerPropID;

// A property value that frees itself.
struct TProp : PROPVARIANT {
  TProp() : PROPVARIANT{} { vt = VT_EMPTY; }
  ~TProp() { PropVariantClearValue(*this); }
  std::vector<Byte> BstrBytes() const {
    const auto *p = reinterpret_cast<const Byte *>(bstrVal);
    return std::vector<Byte>(p, p + BstrByteLength(bstrVal));
  }
  UString Text() const { return UString(bstrVal, BstrByteLength(bstrVal) / sizeof(wchar_t)); }
};

struct TFormat {
  const wchar_t *Name;
  GUID ClassID;
  const wchar_t *Extension;
  std::string Signature;
};

const TFormat kFormats[] = {
    {L"E01", {0x59F7FE14u, 0xD608u, 0x47BCu, {0xAD, 0x0A, 0x80, 0x18, 0x4E, 0x3E, 0xDA, 0xAC}}, L"s01 e01",
     std::string("EVF\x09\x0D\x0A\xFF\x00", 8)},
    {L"L01", {0x33B807B9u, 0xD114u, 0x4FDFu, {0xAA, 0x15, 0x0E, 0xE8, 0xD8, 0x08, 0x05, 0x38}}, L"l01",
     std::string("LVF\x09\x0D\x0A\xFF\x00", 8)},
    {L"Ex01", {0xBF392321u, 0xB935u, 0x4BADu, {0xBC, 0x18, 0x90, 0x78, 0x6E, 0x12, 0x38, 0x09}}, L"ex01",
     std::string("EVF2\x0D\x0A\x81\x00", 8)},
    {L"Lx01", {0x7CE10BFFu, 0x369Du, 0x46E4u, {0x89, 0x13, 0xEF, 0x3B, 0x1E, 0xD7, 0x9E, 0x34}}, L"lx01",
     std::string("LEF2\x0D\x0A\x81\x00", 8)},
    {L"AD1", {0xD0DA279Au, 0x1D09u, 0x4D8Fu, {0xBA, 0xE0, 0xE6, 0xFC, 0x4A, 0xAA, 0x90, 0xD2}}, L"AD1",
     "ADSEGMENTEDFILE"},
    {L"AFF", {0xE5A282EBu, 0x4D34u, 0x4EE6u, {0x94, 0x07, 0x87, 0xE7, 0x94, 0x8D, 0x32, 0xA8}}, L"aff",
     std::string("AFF10\x0D\x0A\x00", 8)},
    {L"WHX", {0x8F9E0239u, 0x0E43u, 0x4B41u, {0x90, 0x5E, 0xA1, 0x4A, 0x09, 0xE6, 0x32, 0x0C}}, L"whx",
     "WHX Backup v1.0"},
    {L"AFF4", {0x3D1F6C52u, 0x1A0Bu, 0x4C77u, {0x9E, 0x2B, 0x5A, 0x41, 0xF4, 0x0D, 0x61, 0xA4}}, L"aff4 af4",
     std::string("PK\x03\x04", 4)},
    {L"ADCrypt", {0xF976FF7Au, 0xC641u, 0x4420u, {0xBE, 0xB8, 0x6E, 0x81, 0xBE, 0x51, 0x6D, 0x38}}, L"001 raw dd",
     std::string("ADCRYPT\0", 8)},
};

std::vector<Byte> Bytes(const std::string &s) { return std::vector<Byte>(s.begin(), s.end()); }

TEST(Formats, TableInRegistrationOrder) {
  UInt32 count = 0;
  ASSERT_EQ(GetNumberOfFormats(&count), S_OK);
  ASSERT_EQ(count, 9u);
  EXPECT_EQ(GetNumberOfFormats(nullptr), E_POINTER);

  for (UInt32 i = 0; i < count; i++) {
    SCOPED_TRACE(i);
    const TFormat &f = kFormats[i];
    TProp name, ext, cls, sig;
    ASSERT_EQ(GetHandlerProperty2(i, NHandler::kName, &name), S_OK);
    ASSERT_EQ(name.vt, VT_BSTR);
    EXPECT_EQ(name.Text(), f.Name);
    ASSERT_EQ(GetHandlerProperty2(i, NHandler::kExtension, &ext), S_OK);
    ASSERT_EQ(ext.vt, VT_BSTR);
    EXPECT_EQ(ext.Text(), f.Extension);

    // The class ID travels as 16 raw bytes in the GUID's in-memory layout.
    ASSERT_EQ(GetHandlerProperty2(i, NHandler::kClassID, &cls), S_OK);
    ASSERT_EQ(cls.vt, VT_BSTR);
    const auto *id = reinterpret_cast<const Byte *>(&f.ClassID);
    EXPECT_EQ(cls.BstrBytes(), std::vector<Byte>(id, id + 16));

    // The signature without any terminating zero (AD1: 15 bytes).
    ASSERT_EQ(GetHandlerProperty2(i, NHandler::kSignature, &sig), S_OK);
    ASSERT_EQ(sig.vt, VT_BSTR);
    EXPECT_EQ(sig.BstrBytes(), Bytes(f.Signature));

    for (PROPID p : {NHandler::kUpdate, NHandler::kKeepName, NHandler::kAltStreams, NHandler::kNtSecure}) {
      TProp v;
      ASSERT_EQ(GetHandlerProperty2(i, p, &v), S_OK);
      EXPECT_EQ(v.vt, VT_BOOL) << p;
      EXPECT_EQ(v.boolVal, VARIANT_FALSE) << p;
    }
    // kFlags must be present even as 0, or the host treats the format as old-style.
    for (PROPID p : {NHandler::kFlags, NHandler::kSignatureOffset}) {
      TProp v;
      ASSERT_EQ(GetHandlerProperty2(i, p, &v), S_OK);
      EXPECT_EQ(v.vt, VT_UI4) << p;
      EXPECT_EQ(v.ulVal, 0u) << p;
    }
    for (PROPID p : std::initializer_list<PROPID>{NHandler::kAddExtension, NHandler::kMultiSignature, NHandler::kTimeFlags, PROPID(13), PROPID(1000)}) {
      TProp v;
      ASSERT_EQ(GetHandlerProperty2(i, p, &v), S_OK);
      EXPECT_EQ(v.vt, VT_EMPTY) << p;
    }
  }
}

TEST(Formats, ClassIDBytesOfE01) {
  TProp cls;
  ASSERT_EQ(GetHandlerProperty2(0, NHandler::kClassID, &cls), S_OK);
  ASSERT_EQ(BstrByteLength(cls.bstrVal), 16u);
  const std::vector<Byte> expected = {0x14, 0xFE, 0xF7, 0x59, 0x08, 0xD6, 0xBC, 0x47,
                                      0xAD, 0x0A, 0x80, 0x18, 0x4E, 0x3E, 0xDA, 0xAC};
  EXPECT_EQ(cls.BstrBytes(), expected);
}

TEST(Formats, BadArgumentsOfTheTableExports) {
  TProp v;
  v.vt = VT_UI4;  // must come back emptied
  EXPECT_EQ(GetHandlerProperty2(9, NHandler::kName, &v), E_INVALIDARG);
  EXPECT_EQ(v.vt, VT_EMPTY);
  EXPECT_EQ(GetHandlerProperty2(0xFFFFFFFFu, NHandler::kClassID, &v), E_INVALIDARG);
  EXPECT_EQ(GetHandlerProperty2(0, NHandler::kName, nullptr), E_POINTER);

  Func_IsArc f = reinterpret_cast<Func_IsArc>(&GetNumberOfFormats);
  EXPECT_EQ(GetIsArc(9, &f), E_INVALIDARG);
  EXPECT_EQ(f, nullptr);
  EXPECT_EQ(GetIsArc(0, nullptr), E_POINTER);
}

// ---------------- signature tests ----------------

Func_IsArc IsArcOf(UInt32 index) {
  Func_IsArc f = nullptr;
  EXPECT_EQ(GetIsArc(index, &f), S_OK);
  EXPECT_NE(f, nullptr);
  return f;
}

UInt32 Check(Func_IsArc f, const std::string &bytes) {
  // A copy of exactly that length, so reading past it would be seen by sanitizers.
  std::vector<Byte> b(bytes.begin(), bytes.end());
  return f(b.empty() ? reinterpret_cast<const Byte *>("") : b.data(), b.size());
}

TEST(IsArc, EwfVersion1NeedsTheNinthByte) {
  for (UInt32 index : {0u, 1u}) {
    SCOPED_TRACE(index);
    const Func_IsArc f = IsArcOf(index);
    const std::string sig = kFormats[index].Signature;
    EXPECT_EQ(Check(f, ""), 2u);
    EXPECT_EQ(Check(f, sig), 2u);  // 8 valid bytes are not enough
    EXPECT_EQ(Check(f, "XXXXXXXX"), 2u);
    EXPECT_EQ(Check(f, sig + "\x01"), 1u);
    EXPECT_EQ(Check(f, sig + "\x01" + std::string(100, 'z')), 1u);
    EXPECT_EQ(Check(f, sig + "\x02"), 0u);
    EXPECT_EQ(Check(f, sig + std::string(1, '\0')), 0u);
    std::string bad = sig + "\x01";
    bad[7] = 1;
    EXPECT_EQ(Check(f, bad), 0u);
  }
  // The two version-1 signatures do not accept each other.
  EXPECT_EQ(Check(IsArcOf(0), kFormats[1].Signature + "\x01"), 0u);
}

TEST(IsArc, EightByteSignatures) {
  for (UInt32 index : {2u, 3u, 5u, 8u}) {
    SCOPED_TRACE(index);
    const Func_IsArc f = IsArcOf(index);
    const std::string sig = kFormats[index].Signature;
    EXPECT_EQ(Check(f, sig.substr(0, 7)), 2u);
    EXPECT_EQ(Check(f, sig), 1u);
    EXPECT_EQ(Check(f, sig + "anything"), 1u);
    std::string bad = sig;
    bad[6] ^= 0x40;
    EXPECT_EQ(Check(f, bad), 0u);
  }
  EXPECT_EQ(Check(IsArcOf(2), kFormats[3].Signature), 0u);
}

TEST(IsArc, Ad1WantsEightThenSixteenBytes) {
  const Func_IsArc f = IsArcOf(4);
  EXPECT_EQ(Check(f, "ADSEGME"), 2u);
  EXPECT_EQ(Check(f, "XDSEGMEN"), 0u);  // decided on the first 8 bytes
  EXPECT_EQ(Check(f, "ADSEGMEN"), 2u);
  EXPECT_EQ(Check(f, "ADSEGMENTEDFILE"), 2u);  // the 15-byte signature lacks its zero
  EXPECT_EQ(Check(f, std::string("ADSEGMENTEDFILE\0", 16)), 1u);
  EXPECT_EQ(Check(f, std::string("ADSEGMENTEDFILE\0rest", 20)), 1u);
  EXPECT_EQ(Check(f, "ADSEGMENTEDFILEX"), 0u);
  EXPECT_EQ(Check(f, std::string("ADSEGMENXEDFILE\0", 16)), 0u);
}

TEST(IsArc, WhxNeedsFifteenBytes) {
  const Func_IsArc f = IsArcOf(6);
  EXPECT_EQ(Check(f, "WHX Backup v1."), 2u);
  EXPECT_EQ(Check(f, "WHX Backup v1.0"), 1u);
  EXPECT_EQ(Check(f, "WHX Backup v1.1"), 0u);
  EXPECT_EQ(Check(f, "whx backup v1.0"), 0u);
}

// ---------------- object creation ----------------

TEST(CreateObject, EveryFormatGivesOneReferencedHandler) {
  for (const TFormat &f : kFormats) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(f.Name)));
    void *obj = nullptr;
    ASSERT_EQ(CreateObject(&f.ClassID, &IID_IInArchive, &obj), S_OK);
    ASSERT_NE(obj, nullptr);
    auto *archive = static_cast<IInArchive *>(obj);
    EXPECT_EQ(archive->AddRef(), 2u);
    EXPECT_EQ(archive->Release(), 1u);

    // Read-only formats: no updating interface; the host's other interfaces are there.
    void *p = reinterpret_cast<void *>(1);
    EXPECT_EQ(archive->QueryInterface(IID_IOutArchive, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
    for (const GUID *iid : {&IID_IArchiveGetRawProps, &IID_ISetProperties, &IID_ISetCompressCodecsInfo}) {
      ASSERT_EQ(archive->QueryInterface(*iid, &p), S_OK);
      static_cast<IUnknown *>(p)->Release();
    }
    // The unknown of the handler is always the same pointer.
    void *u1 = nullptr, *u2 = nullptr;
    ASSERT_EQ(archive->QueryInterface(IID_IVorUnknown, &u1), S_OK);
    ASSERT_EQ(static_cast<IUnknown *>(u1)->QueryInterface(IID_IVorUnknown, &u2), S_OK);
    EXPECT_EQ(u1, u2);
    static_cast<IUnknown *>(u1)->Release();
    static_cast<IUnknown *>(u2)->Release();

    EXPECT_EQ(archive->Release(), 0u);
  }
}

TEST(CreateObject, RefusedInterfaceLeavesNothingAlive) {
  const GUID &cls = kFormats[0].ClassID;
  // A first handler may set up what lives for the whole library (registries, tables).
  void *obj = nullptr;
  ASSERT_EQ(CreateObject(&cls, &IID_IInArchive, &obj), S_OK);
  static_cast<IUnknown *>(obj)->Release();

  // The instrument works: a handler is seen while it lives, and not after.
  long long before = gLiveAllocations;
  ASSERT_EQ(CreateObject(&cls, &IID_IInArchive, &obj), S_OK);
  EXPECT_GT(gLiveAllocations.load(), before);
  static_cast<IUnknown *>(obj)->Release();
  EXPECT_EQ(gLiveAllocations.load(), before);

  for (const GUID *iid : {&IID_IOutArchive, &IID_IHasher, &IID_IArchiveOpenSeq}) {
    obj = reinterpret_cast<void *>(1);
    before = gLiveAllocations;
    EXPECT_EQ(CreateObject(&cls, iid, &obj), E_NOINTERFACE);
    EXPECT_EQ(obj, nullptr);
    EXPECT_EQ(gLiveAllocations.load(), before);
  }

  // An unknown class is not an error of its own kind: nothing offers the interface.
  const GUID unknown = {0x12345678u, 0x1234u, 0x1234u, {1, 2, 3, 4, 5, 6, 7, 8}};
  obj = reinterpret_cast<void *>(1);
  EXPECT_EQ(CreateObject(&unknown, &IID_IInArchive, &obj), E_NOINTERFACE);
  EXPECT_EQ(obj, nullptr);
}

TEST(CreateObject, NilPointers) {
  const GUID &cls = kFormats[6].ClassID;
  EXPECT_EQ(CreateObject(&cls, &IID_IInArchive, nullptr), E_POINTER);
  void *obj = reinterpret_cast<void *>(1);
  EXPECT_EQ(CreateObject(nullptr, &IID_IInArchive, &obj), E_POINTER);
  EXPECT_EQ(obj, nullptr);
  obj = reinterpret_cast<void *>(1);
  EXPECT_EQ(CreateObject(&cls, nullptr, &obj), E_POINTER);
  EXPECT_EQ(obj, nullptr);
}

TEST(ModuleProp, GateAndVersion) {
  TProp type, version, other;
  ASSERT_EQ(GetModuleProp(NModulePropID::kInterfaceType, &type), S_OK);
  EXPECT_EQ(type.vt, VT_UI4);
  EXPECT_EQ(type.ulVal, 0u);
  ASSERT_EQ(GetModuleProp(NModulePropID::kVersion, &version), S_OK);
  EXPECT_EQ(version.vt, VT_UI4);
  EXPECT_NE(version.ulVal, 0u);
  ASSERT_EQ(GetModuleProp(2, &other), S_OK);
  EXPECT_EQ(other.vt, VT_EMPTY);
  EXPECT_EQ(GetModuleProp(0, nullptr), E_POINTER);
}

// ---------------- failures into HRESULTs ----------------

template <class E>
HRESULT Converted(E e) {
  return GuardHResult([&]() -> HRESULT { throw e; });
}

// System error codes reach the host in the form it decodes: HRESULT_FROM_WIN32 on Windows, its
// errno form on Linux (so that it prints "errno=N" and the errno's text, not a Windows message).
#ifdef _WIN32
constexpr UInt32 kSystemFacility = 0x80070000u;
#else
constexpr UInt32 kSystemFacility = 0x88000000u;
#endif

TEST(Errors, ExceptionKindsMapToHResults) {
  EXPECT_EQ(Converted(EAbort()), static_cast<HRESULT>(0x800704C7u));
  EXPECT_EQ(Converted(EOleSysError(S_FALSE)), S_FALSE);
  EXPECT_EQ(Converted(EOleSysError(E_ABORT)), E_ABORT);
  EXPECT_EQ(Converted(std::bad_alloc()), E_OUTOFMEMORY);
  EXPECT_EQ(Converted(EOSError(5)), static_cast<HRESULT>(kSystemFacility | 5));
  EXPECT_EQ(Converted(EOSError(0x12345)), static_cast<HRESULT>(kSystemFacility | 0x2345));
  EXPECT_EQ(Converted(std::invalid_argument("x")), E_INVALIDARG);
  EXPECT_EQ(Converted(EInvalidPointer()), E_POINTER);
  EXPECT_EQ(Converted(std::runtime_error("x")), E_UNEXPECTED);
  EXPECT_EQ(Converted(42), E_UNEXPECTED);
  // A system error without a code is still a failure, never S_OK.
  EXPECT_LT(Converted(EOSError(0)), 0);

  EXPECT_EQ(GuardHResult([] {
              CheckPointer(nullptr);
              return S_OK;
            }),
            E_POINTER);
  EXPECT_EQ(GuardHResult([] {
              CheckArgument(false);
              return S_OK;
            }),
            E_INVALIDARG);
  EXPECT_EQ(CheckHResult(S_FALSE), S_FALSE);
  EXPECT_EQ(GuardHResult([] { return CheckHResult(E_NOTIMPL); }), E_NOTIMPL);
}

}  // namespace
