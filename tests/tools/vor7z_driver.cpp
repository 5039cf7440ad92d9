// Stands in for the host: loads a built plugin the way the Linux host does (dlopen, the module gate,
// the format table, CreateObject), opens one archive with an open callback that also serves further
// volumes from the archive's folder, and drives it through the host's interfaces. The end-to-end
// scripts use it to check listing, random access and extraction without the real host's output.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "fixtures/HostCodecs.h"
#include "fixtures/TestCallbacks.h"
#include "platform/Platform.h"
#include "host/PropVariant.h"

namespace {

const char kUsage[] =
    "usage: vor7z_driver [options] <command> <arguments>\n"
    "\n"
    "commands:\n"
    "  formats                                     list the plugin's formats\n"
    "  info <format> <archive>                     archive properties, error flags and items\n"
    "  randread <format> <archive> <reference> <count> <seed> [maxsize]\n"
    "                                              <count> random Seek+Read on the item's stream\n"
    "                                              (IInArchiveGetStream), compared byte for byte with\n"
    "                                              <reference>; reads are 0..maxsize bytes (default 262144)\n"
    "  extract <format> <archive> <out-file>       Extract of the item into <out-file>\n"
    "  test <format> <archive>                     Extract of all items in test mode\n"
    "\n"
    "<format> is a format name (E01, L01, Ex01, Lx01, AD1, AFF, WHX; any case) or * to try each\n"
    "in table order. Further volumes are opened by name from the archive's folder.\n"
    "\n"
    "options:\n"
    "  --plugin <path>     the plugin (default: $VOR7Z_PLUGIN, else vor7z.so beside tools/)\n"
    "  --codecs[=<path>]   hand the host's codecs (default /usr/lib/p7zip/7z.so) to SetCodecs\n"
    "  --item <index>      item for randread and extract (default 0)\n"
    "  --password <text>   the password the open callback gives\n"
    "\n"
    "exit codes: 0 success, 1 usage or load error, 2 not opened as that format, 3 data differs or\n"
    "an operation result is not OK, 4 a call answered a failure or a wrong value type\n";

enum : int { kExitOK = 0, kExitUsage = 1, kExitNotOpened = 2, kExitMismatch = 3, kExitCallFailed = 4 };

// A failure that ends the run with an exit code.
struct TExit {
  int Code;
};

[[noreturn]] void Fail(int code, const char *format, ...) __attribute__((format(printf, 2, 3)));
void Fail(int code, const char *format, ...) {
  va_list args;
  va_start(args, format);
  std::fputs("vor7z_driver: ", stderr);
  std::vfprintf(stderr, format, args);
  std::fputc('\n', stderr);
  va_end(args);
  throw TExit{code};
}

std::string ToUtf8(const UString &s) { return PlatformUnicodeToAnsi(s); }
UString FromUtf8(const std::string &s) { return PlatformMultiByteToUnicode(s.data(), s.size(), 65001); }

std::string Hex(const void *data, size_t size) {
  static const char digits[] = "0123456789abcdef";
  std::string r;
  const auto *p = static_cast<const Byte *>(data);
  for (size_t i = 0; i < size; i++) {
    r.push_back(digits[p[i] >> 4]);
    r.push_back(digits[p[i] & 15]);
  }
  return r;
}

std::string HResultText(HRESULT hr) {
  switch (hr) {
  case S_OK:
    return "S_OK";
  case S_FALSE:
    return "S_FALSE";
  case E_NOTIMPL:
    return "E_NOTIMPL";
  case E_NOINTERFACE:
    return "E_NOINTERFACE";
  case E_POINTER:
    return "E_POINTER";
  case E_ABORT:
    return "E_ABORT";
  case E_FAIL:
    return "E_FAIL";
  case E_OUTOFMEMORY:
    return "E_OUTOFMEMORY";
  case E_INVALIDARG:
    return "E_INVALIDARG";
  default: {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(hr));
    return buf;
  }
  }
}

// A property value that frees itself.
struct TProp : PROPVARIANT {
  TProp() : PROPVARIANT{} { vt = VT_EMPTY; }
  ~TProp() { PropVariantClearValue(*this); }
  TProp(const TProp &) = delete;
  TProp &operator=(const TProp &) = delete;
  std::string Text() const {
    UString s;
    if (vt == VT_BOOL)
      return boolVal ? "+" : "-";
    if (vt == VT_UI8)
      return std::to_string(uhVal.QuadPart);
    if (PropVariantToString(*this, s) != S_OK)
      return "?:" + std::to_string(vt);
    return ToUtf8(s);
  }
  bool Number(UInt64 &n) const {
    if (vt == VT_UI8 || vt == VT_I8)
      n = uhVal.QuadPart;
    else if (vt == VT_UI4 || vt == VT_I4)
      n = ulVal;
    else
      return false;
    return true;
  }
};

struct TBstr {
  BSTR S = nullptr;
  ~TBstr() { BstrFree(S); }
};

// Labels of the property IDs a container reports, as the host's listing names them.
std::string PropertyLabel(PROPID id, BSTR name) {
  switch (id) {
  case kpidPath: return "Path";
  case kpidName: return "Name";
  case kpidExtension: return "Extension";
  case kpidIsDir: return "Folder";
  case kpidSize: return "Size";
  case kpidPackSize: return "Packed Size";
  case kpidAttrib: return "Attributes";
  case kpidCTime: return "Created";
  case kpidATime: return "Accessed";
  case kpidMTime: return "Modified";
  case kpidCRC: return "CRC";
  case kpidType: return "Type";
  case kpidMethod: return "Method";
  case kpidComment: return "Comment";
  case kpidPosition: return "Position";
  case kpidOffset: return "Offset";
  case kpidPhySize: return "Physical Size";
  case kpidHeadersSize: return "Headers Size";
  case kpidCreatorApp: return "Creator Application";
  case kpidSectorSize: return "Sector Size";
  case kpidPosixAttrib: return "Mode";
  case kpidSymLink: return "Symbolic Link";
  case kpidError: return "Error";
  case kpidSha1: return "SHA-1";
  case kpidSha256: return "SHA-256";
  case kpidErrorType: return "Error Type";
  case kpidErrorFlags: return "ErrorFlags";
  case kpidWarningFlags: return "WarningFlags";
  case kpidWarning: return "Warning";
  case kpidHardLink: return "Hard Link";
  default:
    if (name)
      return ToUtf8(UString(name, BstrByteLength(name) / sizeof(wchar_t)));
    return "Property " + std::to_string(id);
  }
}

// ---------------- the plugin ----------------

struct TFormatEntry {
  UString Name;
  GUID ClassID{};
  UString Extension;
  std::string Signature;
};

class TPlugin {
public:
  void Load(const std::string &path) {
    std::string error;
    const THostModule *module = THostModule::Load(path, error);
    if (!module)
      Fail(kExitUsage, "cannot load %s: %s", path.c_str(), error.c_str());
    FCreateObject = module->Function<FuncCreateObject>("CreateObject");
    FGetHandlerProperty2 = module->Function<FuncGetHandlerProperty2>("GetHandlerProperty2");
    auto getNumberOfFormats = module->Function<FuncGetNumberOfFormats>("GetNumberOfFormats");
    FSetCodecs = module->Function<FuncSetCodecs>("SetCodecs");
    if (!FCreateObject || !FGetHandlerProperty2)
      Fail(kExitUsage, "%s lacks CreateObject or GetHandlerProperty2", path.c_str());
    UInt32 count = 1;  // the host's assumption without GetNumberOfFormats
    if (getNumberOfFormats)
      Check(getNumberOfFormats(&count), "GetNumberOfFormats");
    for (UInt32 i = 0; i < count; i++)
      Formats.push_back(ReadFormat(i));
  }

  // Hands the host's codec list to the library, as the host does after loading every library.
  void SetCodecs(ICompressCodecsInfo *codecs) {
    if (FSetCodecs)
      Check(FSetCodecs(codecs), "SetCodecs");
  }
  bool HasSetCodecs() const { return FSetCodecs != nullptr; }

  ComPtr<IInArchive> Create(const TFormatEntry &f) const {
    void *obj = nullptr;
    const HRESULT hr = FCreateObject(&f.ClassID, &IID_IInArchive, &obj);
    if (hr != S_OK)
      Fail(kExitCallFailed, "CreateObject(%s) answered %s", ToUtf8(f.Name).c_str(), HResultText(hr).c_str());
    ComPtr<IInArchive> archive;
    archive.Attach(static_cast<IInArchive *>(obj));
    return archive;
  }

  std::vector<TFormatEntry> Formats;

private:
  using FuncCreateObject = HRESULT(WINAPI *)(const GUID *, const GUID *, void **);
  using FuncGetHandlerProperty2 = HRESULT(WINAPI *)(UInt32, PROPID, PROPVARIANT *);
  using FuncGetNumberOfFormats = HRESULT(WINAPI *)(UInt32 *);
  using FuncSetCodecs = HRESULT(WINAPI *)(ICompressCodecsInfo *);

  static void Check(HRESULT hr, const char *what) {
    if (hr != S_OK)
      Fail(kExitCallFailed, "%s answered %s", what, HResultText(hr).c_str());
  }

  // The same checks the host makes while reading the table.
  TFormatEntry ReadFormat(UInt32 index) {
    namespace N = NArchive::NHandlerPropID;
    TFormatEntry f;
    const std::string where = "GetHandlerProperty2(" + std::to_string(index) + ")";
    TProp name, cls, ext, sig, flags;
    Check(FGetHandlerProperty2(index, N::kName, &name), where.c_str());
    Check(FGetHandlerProperty2(index, N::kClassID, &cls), where.c_str());
    Check(FGetHandlerProperty2(index, N::kExtension, &ext), where.c_str());
    Check(FGetHandlerProperty2(index, N::kSignature, &sig), where.c_str());
    Check(FGetHandlerProperty2(index, N::kFlags, &flags), where.c_str());
    if (name.vt != VT_BSTR || cls.vt != VT_BSTR || BstrByteLength(cls.bstrVal) != sizeof(GUID))
      Fail(kExitCallFailed, "%s: name or class ID of the wrong type or size", where.c_str());
    if ((ext.vt != VT_BSTR && ext.vt != VT_EMPTY) || (sig.vt != VT_BSTR && sig.vt != VT_EMPTY) ||
        flags.vt != VT_UI4)
      Fail(kExitCallFailed, "%s: extension, signature or flags of the wrong type", where.c_str());
    f.Name = UString(name.bstrVal, BstrByteLength(name.bstrVal) / sizeof(wchar_t));
    std::memcpy(&f.ClassID, cls.bstrVal, sizeof(GUID));
    if (ext.vt == VT_BSTR)
      f.Extension = UString(ext.bstrVal, BstrByteLength(ext.bstrVal) / sizeof(wchar_t));
    if (sig.vt == VT_BSTR)
      f.Signature.assign(reinterpret_cast<const char *>(sig.bstrVal), BstrByteLength(sig.bstrVal));
    return f;
  }

  FuncCreateObject FCreateObject = nullptr;
  FuncGetHandlerProperty2 FGetHandlerProperty2 = nullptr;
  FuncSetCodecs FSetCodecs = nullptr;
};

bool SameNameIgnoringCase(const UString &a, const std::string &b) {
  const std::string s = ToUtf8(a);
  return s.size() == b.size() &&
         std::equal(s.begin(), s.end(), b.begin(), [](char x, char y) { return std::tolower(x) == std::tolower(y); });
}

// ---------------- one open archive ----------------

struct TSession {
  TPlugin Plugin;
  ComPtr<THostCodecs> Codecs;
  ComPtr<IInArchive> Archive;
  ComPtr<TTestOpenCallback> OpenCallback;
  std::string FormatName;
  UInt32 Item = 0;
  std::optional<UString> Password;

  ~TSession() {
    // As the host at shutdown: close, release, then take the codec list back.
    if (Archive)
      Archive->Close();
    Archive = nullptr;
    if (Codecs)
      Plugin.SetCodecs(nullptr);
  }

  void Open(const std::string &format, const std::string &path) {
    const size_t slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    const std::string file = slash == std::string::npos ? path : path.substr(slash + 1);
    auto stream = TTestFileInStream::Open(path);
    if (!stream)
      Fail(kExitUsage, "cannot open %s", path.c_str());
    OpenCallback = new TTestOpenCallback(FromUtf8(file));
    OpenCallback->Folder = folder;
    OpenCallback->Password = Password;

    bool known = false;
    for (const TFormatEntry &f : Plugin.Formats) {
      if (format != "*" && !SameNameIgnoringCase(f.Name, format))
        continue;
      known = true;
      ComPtr<IInArchive> archive = Plugin.Create(f);
      if (!archive)
        continue;  // S_OK with nil: the host skips the format
      if (Codecs && !Plugin.HasSetCodecs())
        if (auto set = archive.As<ISetCompressCodecsInfo>(IID_ISetCompressCodecsInfo))
          set->SetCompressCodecsInfo(Codecs);
      // A forced type gets the host's 8 MiB start search; trying each format gets 0.
      const UInt64 maxCheck = format == "*" ? 0 : (1u << 23);
      stream->Seek(0, STREAM_SEEK_SET, nullptr);
      const HRESULT hr = archive->Open(stream, &maxCheck, OpenCallback);
      if (hr == S_OK) {
        Archive = archive;
        FormatName = ToUtf8(f.Name);
        CheckAfterOpen();
        return;
      }
      if (hr != S_FALSE)
        Fail(kExitCallFailed, "Open as %s answered %s", ToUtf8(f.Name).c_str(), HResultText(hr).c_str());
      // After S_FALSE the host still reads the error properties.
      CheckErrorProperties(archive);
    }
    if (!known)
      Fail(kExitUsage, "the plugin has no format %s", format.c_str());
    Fail(kExitNotOpened, "%s is not a %s archive", path.c_str(), format.c_str());
  }

  // What the host asks right after a successful open; any failure there would abort it.
  void CheckAfterOpen() {
    CheckErrorProperties(Archive);
    for (PROPID id : std::initializer_list<PROPID>{kpidPhySize, kpidOffset, PROPID(66), PROPID(65), PROPID(63), PROPID(64), PROPID(91),
                      PROPID(93), kpidMainSubfile}) {
      TProp v;
      const HRESULT hr = Archive->GetArchiveProperty(id, &v);
      if (hr != S_OK)
        Fail(kExitCallFailed, "GetArchiveProperty(%u) answered %s", id, HResultText(hr).c_str());
    }
  }

  static void CheckErrorProperties(IInArchive *archive) {
    for (PROPID id : {kpidErrorFlags, kpidWarningFlags, kpidError, kpidWarning}) {
      TProp v;
      const HRESULT hr = archive->GetArchiveProperty(id, &v);
      if (hr != S_OK)
        Fail(kExitCallFailed, "GetArchiveProperty(%u) answered %s", id, HResultText(hr).c_str());
      const bool flags = id == kpidErrorFlags || id == kpidWarningFlags;
      if (flags && v.vt != VT_EMPTY && v.vt != VT_UI4 && v.vt != VT_UI8)
        Fail(kExitCallFailed, "GetArchiveProperty(%u) gave the type %u", id, v.vt);
      if (!flags && v.vt != VT_EMPTY && v.vt != VT_BSTR)
        Fail(kExitCallFailed, "GetArchiveProperty(%u) gave the type %u", id, v.vt);
    }
  }

  UInt32 ItemCount() {
    UInt32 n = 0;
    const HRESULT hr = Archive->GetNumberOfItems(&n);
    if (hr != S_OK)
      Fail(kExitCallFailed, "GetNumberOfItems answered %s", HResultText(hr).c_str());
    return n;
  }

  void GetItemProperty(UInt32 index, PROPID id, TProp &v) {
    const HRESULT hr = Archive->GetProperty(index, id, &v);
    if (hr != S_OK)
      Fail(kExitCallFailed, "GetProperty(%u, %u) answered %s", index, id, HResultText(hr).c_str());
  }

  void RequireItem() {
    const UInt32 n = ItemCount();
    if (Item >= n)
      Fail(kExitUsage, "the archive has %u items; there is no item %u", n, Item);
  }
};

// ---------------- commands ----------------

int CommandFormats(TSession &s) {
  for (size_t i = 0; i < s.Plugin.Formats.size(); i++) {
    const TFormatEntry &f = s.Plugin.Formats[i];
    std::printf("%zu %s ext=\"%s\" class=%s signature=%s\n", i, ToUtf8(f.Name).c_str(), ToUtf8(f.Extension).c_str(),
                ToUtf8(GuidToString(f.ClassID)).c_str(), Hex(f.Signature.data(), f.Signature.size()).c_str());
  }
  return kExitOK;
}

int CommandInfo(TSession &s) {
  IInArchive *a = s.Archive;
  std::printf("Type = %s\n", s.FormatName.c_str());
  for (PROPID id : {kpidErrorFlags, kpidWarningFlags, kpidError, kpidWarning, kpidPhySize}) {
    TProp v;
    a->GetArchiveProperty(id, &v);
    if (v.vt != VT_EMPTY)
      std::printf("%s = %s\n", PropertyLabel(id, nullptr).c_str(), v.Text().c_str());
  }
  UInt32 n = 0;
  a->GetNumberOfArchiveProperties(&n);
  for (UInt32 i = 0; i < n; i++) {
    TBstr name;
    PROPID id = 0;
    VARTYPE vt = 0;
    if (a->GetArchivePropertyInfo(i, &name.S, &id, &vt) != S_OK)
      Fail(kExitCallFailed, "GetArchivePropertyInfo(%u) failed", i);
    TProp v;
    const HRESULT hr = a->GetArchiveProperty(id, &v);
    if (hr != S_OK)
      Fail(kExitCallFailed, "GetArchiveProperty(%u) answered %s", id, HResultText(hr).c_str());
    if (v.vt != VT_EMPTY)
      std::printf("%s = %s\n", PropertyLabel(id, name.S).c_str(), v.Text().c_str());
  }

  const UInt32 items = s.ItemCount();
  std::printf("Items = %u\n", items);
  UInt32 props = 0;
  a->GetNumberOfProperties(&props);
  std::vector<PROPID> ids;
  std::vector<std::string> labels;
  for (UInt32 i = 0; i < props; i++) {
    TBstr name;
    PROPID id = 0;
    VARTYPE vt = 0;
    if (a->GetPropertyInfo(i, &name.S, &id, &vt) != S_OK)
      Fail(kExitCallFailed, "GetPropertyInfo(%u) failed", i);
    ids.push_back(id);
    labels.push_back(PropertyLabel(id, name.S));
  }
  auto raw = s.Archive.As<IArchiveGetRawProps>(IID_IArchiveGetRawProps);
  UInt32 rawCount = 0;
  if (raw)
    raw->GetNumRawProps(&rawCount);
  for (UInt32 index = 0; index < items; index++) {
    std::printf("--\nIndex = %u\n", index);
    // The path is always shown, listed or not: the scripts look items up by it.
    if (std::find(ids.begin(), ids.end(), PROPID(kpidPath)) == ids.end()) {
      TProp path;
      s.GetItemProperty(index, kpidPath, path);
      std::printf("Path = %s\n", path.Text().c_str());
    }
    for (size_t k = 0; k < ids.size(); k++) {
      TProp v;
      s.GetItemProperty(index, ids[k], v);
      if (v.vt != VT_EMPTY)
        std::printf("%s = %s\n", labels[k].c_str(), v.Text().c_str());
    }
    for (UInt32 r = 0; r < rawCount; r++) {
      TBstr name;
      PROPID id = 0;
      raw->GetRawPropInfo(r, &name.S, &id);
      const void *data = nullptr;
      UInt32 size = 0, type = 0;
      if (raw->GetRawProp(index, id, &data, &size, &type) != S_OK)
        Fail(kExitCallFailed, "GetRawProp(%u, %u) failed", index, id);
      if (data && size)
        std::printf("%s = %s\n", PropertyLabel(id, name.S).c_str(), Hex(data, size).c_str());
    }
  }
  return kExitOK;
}

// Reads exactly `size` bytes or up to the end: Read may deliver less than asked.
HRESULT ReadFully(ISequentialInStream *stream, Byte *data, UInt32 size, UInt32 &got) {
  got = 0;
  while (got < size) {
    UInt32 n = 0;
    const HRESULT hr = stream->Read(data + got, size - got, &n);
    if (hr != S_OK)
      return hr;
    if (n == 0)
      break;
    if (n > size - got)
      return E_FAIL;
    got += n;
  }
  return S_OK;
}

int CommandRandRead(TSession &s, const std::string &referencePath, UInt64 count, UInt64 seed, UInt32 maxSize) {
  s.RequireItem();
  auto reference = TTestFileInStream::Open(referencePath);
  if (!reference)
    Fail(kExitUsage, "cannot open %s", referencePath.c_str());
  UInt64 refSize = 0;
  reference->GetSize(&refSize);

  auto getStream = s.Archive.As<IInArchiveGetStream>(IID_IInArchiveGetStream);
  if (!getStream)
    Fail(kExitCallFailed, "the handler does not offer IInArchiveGetStream");
  ComPtr<ISequentialInStream> seq;
  const HRESULT hr = getStream->GetStream(s.Item, seq.Put());
  if (hr != S_OK || !seq)
    Fail(kExitCallFailed, "GetStream(%u) answered %s", s.Item, HResultText(hr).c_str());
  auto stream = seq.As<IInStream>(IID_IInStream);
  if (!stream)
    Fail(kExitCallFailed, "the item's stream is not an IInStream");

  int errors = 0;
  auto report = [&](const char *format, auto... args) {
    if (++errors <= 10) {
      std::printf("randread: ");
      std::printf(format, args...);
      std::printf("\n");
    }
  };

  UInt64 size = 0;
  if (stream->Seek(0, STREAM_SEEK_END, &size) != S_OK)
    Fail(kExitCallFailed, "Seek(0, END) failed");
  if (size != refSize)
    report("stream size %" PRIu64 " differs from the reference's %" PRIu64, size, refSize);
  TProp itemSize;
  s.GetItemProperty(s.Item, kpidSize, itemSize);
  UInt64 listed = 0;
  if (itemSize.Number(listed) && listed != size)
    report("kpidSize %" PRIu64 " differs from the stream size %" PRIu64, listed, size);

  std::mt19937_64 rng(seed);
  std::vector<Byte> got(maxSize), want(maxSize);
  UInt64 position = size, bytes = 0;
  bool positionKnown = true;
  for (UInt64 k = 0; k < count; k++) {
    // Mostly anywhere; sometimes near or beyond the end, where reads must come up short.
    UInt64 offset;
    const unsigned where = rng() % 16;
    if (size == 0 || where == 0)
      offset = size + rng() % 3;
    else if (where == 1)
      offset = size - std::min<UInt64>(size, rng() % (UInt64(maxSize) + 1));
    else
      offset = rng() % size;
    const UInt32 length = static_cast<UInt32>(rng() % (UInt64(maxSize) + 1));

    // All three origins lead to the same place.
    UInt64 reached = ~0ull;
    HRESULT r;
    switch (positionKnown ? rng() % 3 : 0) {
    case 0:
      r = stream->Seek(static_cast<Int64>(offset), STREAM_SEEK_SET, &reached);
      break;
    case 1:
      r = stream->Seek(static_cast<Int64>(offset - position), STREAM_SEEK_CUR, &reached);
      break;
    default:
      r = stream->Seek(static_cast<Int64>(offset - size), STREAM_SEEK_END, &reached);
      break;
    }
    if (r != S_OK || reached != offset) {
      report("read #%" PRIu64 ": Seek to %" PRIu64 " answered %s at %" PRIu64, k, offset, HResultText(r).c_str(),
             reached);
      positionKnown = false;
      continue;
    }

    UInt32 n = 0;
    r = ReadFully(stream, got.data(), length, n);
    const UInt32 expected = offset >= size ? 0 : static_cast<UInt32>(std::min<UInt64>(length, size - offset));
    UInt32 m = 0;
    reference->Seek(static_cast<Int64>(offset), STREAM_SEEK_SET, nullptr);
    ReadFully(reference, want.data(), expected, m);
    position = offset + n;
    positionKnown = r == S_OK;
    bytes += n;
    if (r != S_OK) {
      report("read #%" PRIu64 " of %u bytes at %" PRIu64 " answered %s", k, length, offset, HResultText(r).c_str());
    } else if (n != expected) {
      report("read #%" PRIu64 " of %u bytes at %" PRIu64 " gave %u bytes, %u expected", k, length, offset, n, expected);
    } else if (std::memcmp(got.data(), want.data(), n) != 0) {
      const UInt32 first = static_cast<UInt32>(
          std::mismatch(got.begin(), got.begin() + n, want.begin()).first - got.begin());
      report("read #%" PRIu64 " of %u bytes at %" PRIu64 " differs from byte %" PRIu64 " on", k, length, offset,
             offset + first);
    }
  }
  std::printf("randread: %" PRIu64 " reads, %" PRIu64 " bytes, size %" PRIu64 ", %d errors\n", count, bytes, size,
              errors);
  return errors ? kExitMismatch : kExitOK;
}

int RunExtract(TSession &s, TTestExtractCallback &callback, const UInt32 *indices, UInt32 count, bool testMode) {
  const HRESULT hr = s.Archive->Extract(indices, count, testMode ? 1 : 0, &callback);
  std::printf("hr = %s\n", HResultText(hr).c_str());
  if (hr != S_OK)
    return kExitCallFailed;
  int exit = kExitOK;
  for (const auto &[index, item] : callback.Items) {
    std::printf("item %u: result = %d (%s)\n", index, item.Result, OperationResultName(item.Result));
    if (item.Result != NOperationResult::kOK)
      exit = kExitMismatch;
  }
  return exit;
}

int CommandExtract(TSession &s, const std::string &outPath) {
  s.RequireItem();
  auto out = TTestFileOutStream::Create(outPath);
  if (!out)
    Fail(kExitUsage, "cannot create %s", outPath.c_str());
  ComPtr<TTestExtractCallback> callback(new TTestExtractCallback());
  callback->MakeStream = [&](UInt32) { return ComPtr<ISequentialOutStream>(out.Get()); };
  const int exit = RunExtract(s, *callback, &s.Item, 1, false);
  std::printf("bytes = %" PRIu64 "\n", out->Written());
  return exit;
}

int CommandTest(TSession &s) {
  ComPtr<TTestExtractCallback> callback(new TTestExtractCallback());
  const int exit = RunExtract(s, *callback, nullptr, 0xFFFFFFFFu, true);
  if (callback->Items.size() != s.ItemCount())
    std::printf("warning: %zu of %u items reported\n", callback->Items.size(), s.ItemCount());
  return exit;
}

std::string DefaultPluginPath() {
  if (const char *env = std::getenv("VOR7Z_PLUGIN"); env && *env)
    return env;
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0)
    return "vor7z.so";
  std::string dir(self, static_cast<size_t>(n));
  dir = dir.substr(0, dir.find_last_of('/'));
  return dir.substr(0, dir.find_last_of('/')) + "/vor7z.so";
}

bool ParseNumber(const std::string &text, UInt64 &value) {
  if (text.empty())
    return false;
  char *end = nullptr;
  errno = 0;
  value = std::strtoull(text.c_str(), &end, 0);
  return errno == 0 && *end == 0 && text[0] != '-';
}

int Run(int argc, char **argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string pluginPath = DefaultPluginPath();
  std::string codecsPath;
  UInt64 item = 0;
  std::optional<UString> password;
  size_t i = 0;
  for (; i < args.size() && args[i].rfind("--", 0) == 0; i++) {
    const std::string &a = args[i];
    if (a == "--plugin" && i + 1 < args.size())
      pluginPath = args[++i];
    else if (a == "--codecs")
      codecsPath = kHostCodecsPath;
    else if (a.rfind("--codecs=", 0) == 0)
      codecsPath = a.substr(9);
    else if (a == "--item" && i + 1 < args.size() && ParseNumber(args[i + 1], item) && item <= 0xFFFFFFFFu)
      i++;
    else if (a == "--password" && i + 1 < args.size())
      password = FromUtf8(args[++i]);
    else if (a == "--help")
      return std::fputs(kUsage, stdout), kExitOK;
    else
      return std::fputs(kUsage, stderr), kExitUsage;
  }
  args.erase(args.begin(), args.begin() + static_cast<std::ptrdiff_t>(i));
  if (args.empty())
    return std::fputs(kUsage, stderr), kExitUsage;
  const std::string command = args[0];
  const size_t given = args.size() - 1;
  const bool known = (command == "formats" && given == 0) || (command == "info" && given == 2) ||
                     (command == "randread" && (given == 5 || given == 6)) || (command == "extract" && given == 3) ||
                     (command == "test" && given == 2);
  if (!known)
    return std::fputs(kUsage, stderr), kExitUsage;

  TSession s;
  s.Item = static_cast<UInt32>(item);
  s.Password = password;
  s.Plugin.Load(pluginPath);
  if (!codecsPath.empty()) {
    std::string error;
    s.Codecs = THostCodecs::Load(codecsPath.c_str(), &error);
    if (!s.Codecs)
      Fail(kExitUsage, "cannot load the host's codecs: %s", error.c_str());
    s.Plugin.SetCodecs(s.Codecs);
  }
  if (command == "formats")
    return CommandFormats(s);

  s.Open(args[1], args[2]);
  if (command == "info")
    return CommandInfo(s);
  if (command == "extract")
    return CommandExtract(s, args[3]);
  if (command == "test")
    return CommandTest(s);

  UInt64 count = 0, seed = 0, maxSize = 262144;
  if (!ParseNumber(args[4], count) || !ParseNumber(args[5], seed) ||
      (given == 6 && (!ParseNumber(args[6], maxSize) || maxSize > (1u << 30))))
    return std::fputs(kUsage, stderr), kExitUsage;
  return CommandRandRead(s, args[3], count, seed, static_cast<UInt32>(maxSize));
}

}  // namespace

int main(int argc, char **argv) {
  try {
    return Run(argc, argv);
  } catch (const TExit &e) {
    return e.Code;
  }
}
