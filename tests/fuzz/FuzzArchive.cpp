// One libFuzzer target: the handler of one format, driven through the library's exports exactly as
// the host drives it. The handler comes from CreateObject with the class ID the format list names,
// the real host codecs arrive through SetCodecs and SetCompressCodecsInfo, and each input is opened
// through an in-memory stream and an open callback that serves further volumes; then every archive,
// item and raw property is read, every item's stream is read at several places, all items are tested
// and the archive is closed.
//
// Built once per format and mode (see CMakeLists.txt):
//   VOR7Z_FUZZ_FORMAT  the format's name in the format list, e.g. L"E01"
//   VOR7Z_FUZZ_NAME    the name the opened file has, e.g. L"image.E01"
//   VOR7Z_FUZZ_LATER_NAME  its name when the input asks for a later segment to be opened, e.g. L"image.E02"
//   VOR7Z_FUZZ_MULTI   0: the input is one file; 1: the input is split into volumes (FuzzVolumes.h)
//   VOR7Z_FUZZ_PASSWORD  (optional) the password both callbacks give, e.g. L"password"
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "FuzzVolumes.h"
#include "fixtures/HostCodecs.h"
#include "fixtures/TestCallbacks.h"
#include "fixtures/TestStreams.h"
#include "host/PropVariant.h"
#include "platform/Platform.h"

extern "C" {
HRESULT WINAPI GetNumberOfFormats(UInt32 *numFormats);
HRESULT WINAPI GetHandlerProperty2(UInt32 formatIndex, PROPID propID, PROPVARIANT *value);
HRESULT WINAPI CreateObject(const GUID *clsid, const GUID *iid, void **outObject);
HRESULT WINAPI SetCodecs(ICompressCodecsInfo *codecs);
}

namespace {

// Work per input stays far below the 5 s timeout: items looked at, bytes read from item streams,
// bytes accepted while testing.
constexpr UInt32 kMaxItems = 256;
constexpr UInt32 kMaxStreamItems = 16;
constexpr UInt32 kMaxStreamRead = 1u << 18;
constexpr UInt64 kMaxExtractBytes = 32u << 20;

// Properties the host asks for besides the ones a handler lists.
constexpr PROPID kArchiveExtraProps[] = {kpidErrorFlags, kpidWarningFlags, kpidError,   kpidWarning,
                                         kpidErrorType,  kpidPhySize,      kpidMainSubfile, kpidIsTree,
                                         kpidHeadersSize, kpidNumErrors};
constexpr PROPID kItemExtraProps[] = {kpidPath,  kpidIsDir, kpidSize,  kpidPackSize, kpidAttrib, kpidMTime,
                                      kpidCTime, kpidATime, kpidCRC,   kpidIsAnti,   kpidPosition,
                                      kpidPosixAttrib, kpidSymLink, kpidHardLink, kpidShortName, kpidCharacts};

// VOR7Z_FUZZ_VERBOSE=1 tells on stderr what each input did (for looking into a reproducer).
const bool gVerbose = std::getenv("VOR7Z_FUZZ_VERBOSE") != nullptr;

[[noreturn]] void Fail(const std::string &why) {
  std::fprintf(stderr, "\n*** vor7z fuzz target cannot run: %s\n\n", why.c_str());
  std::abort();
}

void Consume(PROPVARIANT &v) {
  // Touch string contents so that a dangling or short string shows under the sanitizers.
  if (v.vt == VT_BSTR && v.bstrVal) {
    volatile size_t n = std::wcslen(v.bstrVal);
    (void)n;
  }
  PropVariantClearValue(v);
}

void FreeName(BSTR name) {
  if (name)
    BstrFree(name);
}

// The host codecs, loaded once and kept for the life of the process as the host keeps them.
ComPtr<THostCodecs> &HostCodecs() {
  static ComPtr<THostCodecs> codecs;
  return codecs;
}

// The class ID of the format named VOR7Z_FUZZ_FORMAT, with the host codecs set, once per process.
const GUID &FormatClassID() {
  static const GUID id = [] {
    std::string why;
    ComPtr<THostCodecs> &codecs = HostCodecs();
    codecs = THostCodecs::Load(kHostCodecsPath, &why);
    if (!codecs)
      Fail(std::string("the host codec library is missing or unusable (") + why +
           "); without it the bzip2, LZMA and hash paths would go untested. Install p7zip-full.");
    if (SetCodecs(codecs) != S_OK)
      Fail("SetCodecs refused the host codecs");

    UInt32 count = 0;
    if (GetNumberOfFormats(&count) != S_OK)
      Fail("GetNumberOfFormats failed");
    for (UInt32 i = 0; i < count; i++) {
      PROPVARIANT name{};
      UString n;
      if (GetHandlerProperty2(i, NArchive::NHandlerPropID::kName, &name) == S_OK && name.vt == VT_BSTR)
        PropVariantToString(name, n);
      PropVariantClearValue(name);
      if (n != VOR7Z_FUZZ_FORMAT)
        continue;
      PROPVARIANT cls{};
      GUID g{};
      const bool ok = GetHandlerProperty2(i, NArchive::NHandlerPropID::kClassID, &cls) == S_OK &&
                      cls.vt == VT_BSTR && cls.bstrVal;
      if (ok)
        std::memcpy(&g, cls.bstrVal, sizeof g);
      PropVariantClearValue(cls);
      if (!ok)
        Fail("the format has no class ID");
      return g;
    }
    Fail("no format of that name in the format list");
  }();
  return id;
}

// The password the host gives for encrypted containers, when the target has one.
std::optional<UString> FuzzPassword() {
#ifdef VOR7Z_FUZZ_PASSWORD
  return UString(VOR7Z_FUZZ_PASSWORD);
#else
  return std::nullopt;
#endif
}

// The host's open callback over in-memory volumes. The opened file answers to its own name; any
// other name asked for gets the next volume not handed out yet (a name asked again gets the same
// one), so a set is reached whatever its naming rule. An empty volume stands for a missing file.
class TFuzzOpenCallback : public TvorInterfacedObject,
                          public IArchiveOpenCallback,
                          public IArchiveOpenVolumeCallback,
                          public TTestPassword {
public:
  TFuzzOpenCallback(const std::vector<std::vector<Byte>> &volumes, const wchar_t *name)
      : FVolumes(volumes), FName(name) {
    Password = FuzzPassword();
  }

  VOR_UNKNOWN_IMP
  HRESULT QueryInterfaceImpl(REFIID iid, void **out) override {
    if (iid == IID_IVorUnknown || iid == IID_IArchiveOpenCallback)
      return Offer<IArchiveOpenCallback>(this, out);
    if (iid == IID_IArchiveOpenVolumeCallback)
      return Offer<IArchiveOpenVolumeCallback>(this, out);
    if (iid == IID_ICryptoGetTextPassword && Password)
      return Offer<ICryptoGetTextPassword>(this, out);
    return NoInterface(out);
  }
  HRESULT STDMETHODCALLTYPE SetTotal(const UInt64 *, const UInt64 *) noexcept override { return S_OK; }
  HRESULT STDMETHODCALLTYPE SetCompleted(const UInt64 *, const UInt64 *) noexcept override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetProperty(PROPID propID, PROPVARIANT *value) noexcept override {
    value->vt = VT_EMPTY;
    if (propID == kpidName) {
      value->bstrVal = AllocBstr(FName);
      value->vt = VT_BSTR;
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetStream(const wchar_t *name, IInStream **inStream) noexcept override {
    *inStream = nullptr;
    if (!name)
      return S_FALSE;
    const UString n(name);
    size_t index;
    if (n == FName) {
      index = 0;
    } else if (auto it = FAssigned.find(n); it != FAssigned.end()) {
      index = it->second;
    } else {
      if (FNext >= FVolumes.size())
        return S_FALSE;
      index = FAssigned[n] = FNext++;
    }
    if (FVolumes[index].empty())
      return S_FALSE;
    ComPtr<IInStream>(new TTestInStream(FVolumes[index])).CopyTo(inStream);
    return S_OK;
  }

private:
  const std::vector<std::vector<Byte>> &FVolumes;
  const UString FName;
  std::map<UString, size_t> FAssigned;
  size_t FNext = 1;
};

// The host's extract callback in test mode. It counts the bytes tested through the progress and
// stops (as a user's cancel would) past the budget.
class TFuzzExtractCallback : public TvorInterfacedObject, public IArchiveExtractCallback, public TTestPassword {
public:
  TFuzzExtractCallback() { Password = FuzzPassword(); }
  VOR_UNKNOWN_IMP
  HRESULT QueryInterfaceImpl(REFIID iid, void **out) override {
    if (iid == IID_IVorUnknown || iid == IID_IArchiveExtractCallback || iid == IID_IProgress)
      return Offer<IArchiveExtractCallback>(this, out);
    if (iid == IID_ICryptoGetTextPassword && Password)
      return Offer<ICryptoGetTextPassword>(this, out);
    return NoInterface(out);
  }
  HRESULT STDMETHODCALLTYPE SetTotal(UInt64) noexcept override { return S_OK; }
  HRESULT STDMETHODCALLTYPE SetCompleted(const UInt64 *completed) noexcept override {
    if (completed)
      Tested = *completed;
    return Tested > kMaxExtractBytes ? E_ABORT : S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetStream(UInt32, ISequentialOutStream **outStream, Int32) noexcept override {
    *outStream = nullptr;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE PrepareOperation(Int32) noexcept override { return S_OK; }
  HRESULT STDMETHODCALLTYPE SetOperationResult(Int32 result) noexcept override {
    if (gVerbose)
      std::fprintf(stderr, "  item result %d\n", result);
    return S_OK;
  }

  UInt64 Tested = 0;
};

// Reads an item stream at the start, at places the input chooses, at and past its end.
void ReadItemStream(ISequentialInStream *sequential, const TFuzzSteering &steer) {
  std::vector<Byte> buffer(kMaxStreamRead);
  const auto read = [&](ISequentialInStream *s, UInt32 size) {
    UInt32 got = 0;
    s->Read(buffer.data(), std::min<UInt32>(size, kMaxStreamRead), &got);
  };
  ComPtr<IInStream> stream = QueryAs<IInStream>(sequential, IID_IInStream);
  if (!stream) {
    read(sequential, kMaxStreamRead);
    return;
  }
  UInt64 size = 0;
  if (stream->Seek(0, STREAM_SEEK_END, &size) != S_OK)
    return;
  stream->Seek(0, STREAM_SEEK_SET, nullptr);
  read(stream, 4096);
  for (const TFuzzSteering::TRead &r : steer.Reads) {
    const UInt64 at = size ? static_cast<UInt64>(static_cast<double>(size) * r.Where / 65536.0) : 0;
    if (stream->Seek(static_cast<Int64>(at), STREAM_SEEK_SET, nullptr) == S_OK)
      read(stream, r.Size);
  }
  if (size > 0 && stream->Seek(-1, STREAM_SEEK_END, nullptr) == S_OK)
    read(stream, 2);
  if (stream->Seek(static_cast<Int64>(size + 10), STREAM_SEEK_SET, nullptr) == S_OK)
    read(stream, 1);
  if (stream->Seek(0, STREAM_SEEK_SET, nullptr) == S_OK)
    read(stream, kMaxStreamRead);
}

// The IDs a handler's property list names, after the ones the host asks for besides.
template <size_t N>
std::vector<PROPID> PropertyIDs(IInArchive *archive, HRESULT (STDMETHODCALLTYPE IInArchive::*getCount)(UInt32 *),
                                HRESULT (STDMETHODCALLTYPE IInArchive::*getInfo)(UInt32, BSTR *, PROPID *, VARTYPE *),
                                const PROPID (&extra)[N]) {
  std::vector<PROPID> ids(std::begin(extra), std::end(extra));
  UInt32 count = 0;
  if ((archive->*getCount)(&count) != S_OK)
    return ids;
  for (UInt32 i = 0; i < count; i++) {
    BSTR name = nullptr;
    PROPID id = 0;
    VARTYPE type = 0;
    if ((archive->*getInfo)(i, &name, &id, &type) == S_OK)
      ids.push_back(id);
    FreeName(name);
  }
  return ids;
}

void ReadArchiveProperties(IInArchive *archive) {
  for (PROPID id : PropertyIDs(archive, &IInArchive::GetNumberOfArchiveProperties, &IInArchive::GetArchivePropertyInfo,
                               kArchiveExtraProps)) {
    PROPVARIANT v{};
    archive->GetArchiveProperty(id, &v);
    Consume(v);
  }
}

void ReadItems(IInArchive *archive, UInt32 items) {
  const std::vector<PROPID> ids =
      PropertyIDs(archive, &IInArchive::GetNumberOfProperties, &IInArchive::GetPropertyInfo, kItemExtraProps);
  UInt32 count = 0;
  ComPtr<IArchiveGetRawProps> raw = QueryAs<IArchiveGetRawProps>(archive, IID_IArchiveGetRawProps);
  std::vector<PROPID> rawIds;
  if (raw && raw->GetNumRawProps(&count) == S_OK) {
    for (UInt32 i = 0; i < count; i++) {
      BSTR name = nullptr;
      PROPID id = 0;
      if (raw->GetRawPropInfo(i, &name, &id) == S_OK)
        rawIds.push_back(id);
      FreeName(name);
    }
  }
  for (UInt32 index = 0; index < std::min(items, kMaxItems); index++) {
    for (PROPID id : ids) {
      PROPVARIANT v{};
      archive->GetProperty(index, id, &v);
      Consume(v);
    }
    if (!raw)
      continue;
    UInt32 parent = 0, parentType = 0;
    raw->GetParent(index, &parent, &parentType);
    for (PROPID id : rawIds) {
      const void *data = nullptr;
      UInt32 size = 0, type = 0;
      if (raw->GetRawProp(index, id, &data, &size, &type) == S_OK && data && size > 0) {
        const auto *p = static_cast<const volatile Byte *>(data);
        volatile Byte sink = p[0] ^ p[size - 1];
        (void)sink;
      }
    }
  }
  // One past the end: answered, never a read out of bounds.
  PROPVARIANT v{};
  archive->GetProperty(items, kpidPath, &v);
  Consume(v);
}

void RunOne(const TFuzzVolumes &volumes, const TFuzzSteering &steer) {
  ComPtr<IInArchive> archive;
  if (CreateObject(&FormatClassID(), &IID_IInArchive, reinterpret_cast<void **>(archive.Put())) != S_OK || !archive)
    Fail("CreateObject refused the format's class ID");
  // The host hands its codecs to each handler too.
  if (auto set = QueryAs<ISetCompressCodecsInfo>(archive.Get(), IID_ISetCompressCodecsInfo))
    set->SetCompressCodecsInfo(HostCodecs());

  ComPtr<TFuzzOpenCallback> callback(
      new TFuzzOpenCallback(volumes.Files, volumes.LaterName ? VOR7Z_FUZZ_LATER_NAME : VOR7Z_FUZZ_NAME));
  ComPtr<IInStream> stream(new TTestInStream(volumes.Files[0]));
  const HRESULT opened = archive->Open(stream, nullptr, callback);
  if (opened == S_OK) {
    ReadArchiveProperties(archive);
    UInt32 items = 0;
    archive->GetNumberOfItems(&items);
    if (gVerbose) {
      PROPVARIANT flags{};
      archive->GetArchiveProperty(kpidErrorFlags, &flags);
      std::fprintf(stderr, "opened: %u items, error flags 0x%x\n", items, flags.vt == VT_UI4 ? flags.ulVal : 0);
    }
    ReadItems(archive, items);
    if (auto getStream = QueryAs<IInArchiveGetStream>(archive.Get(), IID_IInArchiveGetStream)) {
      for (UInt32 index = 0; index < std::min(items, kMaxStreamItems); index++) {
        ComPtr<ISequentialInStream> s;
        if (getStream->GetStream(index, s.Put()) == S_OK && s)
          ReadItemStream(s, steer);
      }
    }
    ComPtr<TFuzzExtractCallback> extract(new TFuzzExtractCallback());
    if (items <= kMaxItems) {
      archive->Extract(nullptr, 0xFFFFFFFFu, 1, extract);
    } else {
      // A few items from the start, the middle and the end, in the host's ascending order.
      const UInt32 picks[] = {0, 1, items / 2, items - 2, items - 1};
      archive->Extract(picks, static_cast<UInt32>(std::size(picks)), 1, extract);
    }
    if (gVerbose)
      std::fprintf(stderr, "  tested %llu bytes\n", static_cast<unsigned long long>(extract->Tested));
  } else if (gVerbose) {
    std::fprintf(stderr, "open: 0x%08x\n", static_cast<unsigned>(opened));
  }
  archive->Close();
}

}  // namespace

// ASan keeps up to 256 MiB of freed memory to catch late uses; over thousands of inputs that alone
// would pass the 512 MiB RSS limit the fuzzer enforces. A smaller quarantine still catches uses
// within an input. ASAN_OPTIONS given at run time take precedence.
extern "C" const char *__asan_default_options() { return "quarantine_size_mb=16"; }

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  FormatClassID();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  TFuzzVolumes volumes;
  if (VOR7Z_FUZZ_MULTI)
    volumes = FuzzSplitVolumes(data, size);
  else
    volumes.Files.emplace_back(data, data + size);
  RunOne(volumes, FuzzSteering(data, size));
  return 0;
}
