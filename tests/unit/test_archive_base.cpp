// The handler base through the host's interfaces, with small formats of the tests' own that are
// never registered: open and close states, error properties, the handler lock, SetProperties,
// conditional interfaces, argument checks, exceptions, and the per-item extraction protocol.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "fixtures/TestCallbacks.h"
#include "platform/Platform.h"
#include "plugin/Archive.h"
#include "host/PropVariant.h"

namespace {

// The tests' container: "TSTFMT01", an item count byte, an error-flag bit number (0xFF: none).
// Item i holds 10 * (i + 1) bytes of the value 'a' + i.
std::vector<Byte> Container(Byte items, Byte errorBit = 0xFF) {
  std::vector<Byte> d = {'T', 'S', 'T', 'F', 'M', 'T', '0', '1', items, errorBit};
  return d;
}
UInt64 ItemSize(UInt32 i) { return 10 * (i + 1); }
std::vector<Byte> ItemData(UInt32 i) { return std::vector<Byte>(ItemSize(i), static_cast<Byte>('a' + i)); }

class TTestFormat : public Tvor7zArchive {
public:
  static GUID GetClassID() { return GUID{0x0A0B0C0Du, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}}; }
  static UString GetName() { return L"Test"; }

  void DoOpen(const UInt64 *, IArchiveOpenCallback *) override {
    OpenCalls++;
    SeenName = GetArchiveName();
    SeenExtension = GetArchiveExtension();
    if (OpenHook)
      OpenHook();
    Byte head[10];
    UInt32 got = 0;
    CheckHResult(FStream->Read(head, sizeof head, &got));
    if (got != sizeof head || std::memcmp(head, "TSTFMT01", 8) != 0)
      RaiseHResult(S_FALSE);
    FItems = head[8];
    if (head[9] != 0xFF)
      SetErrorFlag(head[9]);
  }
  void DoClose() override {
    CloseCalls++;
    if (CloseHook)
      CloseHook();
    FItems = 0;
    if (CloseThrows)
      throw std::runtime_error("close");
  }
  void DoGetNumberOfItems(UInt32 &count) override { count = FItems; }
  void DoGetProperty(UInt32 index, PROPID propID, PROPVARIANT &value) override {
    PropertyCalls++;
    if (PropertyThrows)
      throw std::invalid_argument("property");
    if (propID == kpidPath)
      PropSetString(value, L"item" + std::to_wstring(index));
    else if (propID == kpidSize)
      PropSetUInt64(value, ItemSize(index));
  }
  void DoGetStream(UInt32 index, ComPtr<ISequentialInStream> &stream) override {
    stream = new TTestInStream(ItemData(index));
  }
  TExtractItemInfo DoGetExtractItemInfo(UInt32 index) override { return {ItemSize(index), false}; }
  Int32 DoExtractItem(UInt32 index, ISequentialOutStream *out, Tvor7zProgress &progress) override {
    Decoded.push_back(index);
    const std::vector<Byte> data = ItemData(index);
    CheckHResult(WriteStream(out, data.data(), data.size()));
    CheckHResult(progress.Add(data.size()));
    auto r = Results.find(index);
    return r == Results.end() ? NOperationResult::kOK : r->second;
  }

  std::function<void()> OpenHook, CloseHook;
  bool CloseThrows = false;
  bool PropertyThrows = false;
  std::map<UInt32, Int32> Results;
  std::vector<UInt32> Decoded;
  UString SeenName, SeenExtension;
  int OpenCalls = 0, CloseCalls = 0, PropertyCalls = 0;

private:
  UInt32 FItems = 0;
};

// Offers no random-access streams: DoGetStream is the base's.
class TPlainFormat : public Tvor7zArchive {
public:
  static GUID GetClassID() { return GUID{0x0A0B0C0Eu, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}}; }
};

const TArchiveClassOf<TTestFormat> kTestClass;
const TArchiveClassOf<TPlainFormat> kPlainClass;

// A handler made the way CreateObject makes it, held through its IInArchive.
template <class T>
struct THandler {
  explicit THandler(const TArchiveClassOf<T> &cls) : Object(static_cast<T *>(cls.Create())) {
    Archive = static_cast<IInArchive *>(Object);
  }
  T *operator->() const { return Object; }
  template <class I>
  ComPtr<I> As(REFIID iid) const {
    return Archive.As<I>(iid);
  }
  T *Object;
  ComPtr<IInArchive> Archive;
};

struct TProp : PROPVARIANT {
  TProp() : PROPVARIANT{} { vt = VT_EMPTY; }
  ~TProp() { PropVariantClearValue(*this); }
};

HRESULT OpenWith(IInArchive *archive, std::vector<Byte> data, IArchiveOpenCallback *callback = nullptr,
                 ComPtr<TTestInStream> *keep = nullptr) {
  ComPtr<TTestInStream> stream(new TTestInStream(std::move(data)));
  if (keep)
    *keep = stream;
  const UInt64 maxCheck = 0;
  return archive->Open(stream, &maxCheck, callback);
}

UInt32 ItemCount(IInArchive *archive) {
  UInt32 n = 0xDEAD;
  EXPECT_EQ(archive->GetNumberOfItems(&n), S_OK);
  return n;
}

// ---------------- open and close ----------------

TEST(ArchiveBase, OpenOfAnotherFormatLeavesTheHandlerEmpty) {
  THandler<TTestFormat> h(kTestClass);
  ComPtr<TTestInStream> stream;
  ComPtr<TTestOpenCallback> callback(new TTestOpenCallback(L"other.bin"));
  EXPECT_EQ(OpenWith(h.Archive, {'N', 'O', 'T', 'M', 'I', 'N', 'E', '!', 3, 0xFF}, callback, &stream), S_FALSE);

  EXPECT_EQ(ItemCount(h.Archive), 0u);
  TProp flags;
  EXPECT_EQ(h.Archive->GetArchiveProperty(kpidErrorFlags, &flags), S_OK);
  EXPECT_EQ(flags.vt, VT_EMPTY);  // "not this format", not "this format, broken"
  TProp path;
  EXPECT_EQ(h.Archive->GetProperty(0, kpidPath, &path), S_OK);
  EXPECT_EQ(path.vt, VT_EMPTY);
  // Neither the stream nor the callback is kept.
  EXPECT_EQ(stream->RefCount(), 1u);
  EXPECT_EQ(callback->RefCount(), 1u);

  auto getStream = h.As<IInArchiveGetStream>(IID_IInArchiveGetStream);
  ComPtr<ISequentialInStream> item;
  EXPECT_EQ(getStream->GetStream(0, item.Put()), E_INVALIDARG);
  ComPtr<TTestExtractCallback> extract(new TTestExtractCallback());
  EXPECT_EQ(h.Archive->Extract(nullptr, 0xFFFFFFFFu, 0, extract), E_INVALIDARG);
  EXPECT_TRUE(h->Decoded.empty());
}

TEST(ArchiveBase, ErrorFlagsOfAnOpenArchive) {
  THandler<TTestFormat> h(kTestClass);
  ASSERT_EQ(OpenWith(h.Archive, Container(2, kpv_ErrorFlags_UnexpectedEnd)), S_OK);
  EXPECT_EQ(ItemCount(h.Archive), 2u);

  TProp flags, warnings, error, warning, other;
  ASSERT_EQ(h.Archive->GetArchiveProperty(kpidErrorFlags, &flags), S_OK);
  EXPECT_EQ(flags.vt, VT_UI4);
  EXPECT_EQ(flags.ulVal, 1u << kpv_ErrorFlags_UnexpectedEnd);
  // Without warnings the flags are still a defined 0, as the host expects after every open.
  ASSERT_EQ(h.Archive->GetArchiveProperty(kpidWarningFlags, &warnings), S_OK);
  EXPECT_EQ(warnings.vt, VT_UI4);
  EXPECT_EQ(warnings.ulVal, 0u);
  ASSERT_EQ(h.Archive->GetArchiveProperty(kpidError, &error), S_OK);
  EXPECT_EQ(error.vt, VT_EMPTY);
  ASSERT_EQ(h.Archive->GetArchiveProperty(kpidWarning, &warning), S_OK);
  EXPECT_EQ(warning.vt, VT_EMPTY);
  ASSERT_EQ(h.Archive->GetArchiveProperty(kpidPhySize, &other), S_OK);
  EXPECT_EQ(other.vt, VT_EMPTY);

  // A new open starts clean; bits beyond 15 are ignored.
  ASSERT_EQ(OpenWith(h.Archive, Container(1, 16)), S_OK);
  EXPECT_EQ(h->CloseCalls, 2);  // the earlier archive was closed first
  TProp clean;
  ASSERT_EQ(h.Archive->GetArchiveProperty(kpidErrorFlags, &clean), S_OK);
  EXPECT_EQ(clean.vt, VT_UI4);
  EXPECT_EQ(clean.ulVal, 0u);

  // A failed open after a good one leaves nothing behind.
  ASSERT_EQ(OpenWith(h.Archive, {'x'}), S_FALSE);
  EXPECT_EQ(ItemCount(h.Archive), 0u);
  EXPECT_EQ(h.Archive->Open(nullptr, nullptr, nullptr), E_POINTER);
  EXPECT_EQ(h->OpenCalls, 3);
  EXPECT_EQ(h.Archive->Close(), S_OK);
  EXPECT_EQ(h.Archive->Close(), S_OK);
}

// Damage to metadata is reported like any other, but kept apart from structural damage, at which
// the formats stop reading further segments; a new open clears both.
TEST(ArchiveBase, MetadataDamageIsReportedApartFromStructuralDamage) {
  THandler<TTestFormat> h(kTestClass);
  h->OpenHook = [&] { h->SetMetadataErrorFlag(kpv_ErrorFlags_HeadersError); };
  ASSERT_EQ(OpenWith(h.Archive, Container(1, kpv_ErrorFlags_UnexpectedEnd)), S_OK);
  TProp flags;
  ASSERT_EQ(h.Archive->GetArchiveProperty(kpidErrorFlags, &flags), S_OK);
  EXPECT_EQ(flags.ulVal, (1u << kpv_ErrorFlags_HeadersError) | (1u << kpv_ErrorFlags_UnexpectedEnd));
  EXPECT_EQ(h->StructureErrorFlags(), 1u << kpv_ErrorFlags_UnexpectedEnd);
  h->OpenHook = nullptr;
  ASSERT_EQ(OpenWith(h.Archive, Container(1, 0xFF)), S_OK);
  EXPECT_EQ(h->ErrorFlags(), 0u);
  EXPECT_EQ(h->StructureErrorFlags(), 0u);
}

TEST(ArchiveBase, ExceptionsOfOpenBecomeHResults) {
  struct TCase {
    std::function<void()> Raise;
    HRESULT Expected;
  };
  const TCase cases[] = {
      {[] { throw std::bad_alloc(); }, E_OUTOFMEMORY},
      {[] { throw EAbort(); }, static_cast<HRESULT>(0x800704C7u)},
      {[] { RaiseHResult(E_ABORT); }, E_ABORT},
      {[] { throw EOSError(2); }, PlatformErrorToHResult(2)},
      {[] { throw std::invalid_argument("x"); }, E_INVALIDARG},
      {[] { throw std::runtime_error("x"); }, E_UNEXPECTED},
      {[] { std::vector<Byte> v; v.reserve(v.max_size() + 1); }, E_OUTOFMEMORY},
  };
  THandler<TTestFormat> h(kTestClass);
  for (const TCase &c : cases) {
    h->OpenHook = c.Raise;
    ComPtr<TTestInStream> stream;
    EXPECT_EQ(OpenWith(h.Archive, Container(2), nullptr, &stream), c.Expected);
    EXPECT_EQ(ItemCount(h.Archive), 0u);
    EXPECT_EQ(stream->RefCount(), 1u);
  }

  // Failures of the format's close are swallowed; failures of a property call are converted.
  h->OpenHook = nullptr;
  ASSERT_EQ(OpenWith(h.Archive, Container(2)), S_OK);
  h->PropertyThrows = true;
  TProp v;
  EXPECT_EQ(h.Archive->GetProperty(0, kpidPath, &v), E_INVALIDARG);
  h->CloseThrows = true;
  EXPECT_EQ(h.Archive->Close(), S_OK);
  EXPECT_EQ(ItemCount(h.Archive), 0u);
  // The lock was given back on every path: another thread gets an answer.
  h->PropertyThrows = false;
  h->CloseThrows = false;
  ASSERT_EQ(OpenWith(h.Archive, Container(2)), S_OK);
  std::async(std::launch::async, [&] {
    TProp p;
    EXPECT_EQ(h.Archive->GetProperty(1, kpidPath, &p), S_OK);
    EXPECT_EQ(p.vt, VT_BSTR);
  }).get();
}

TEST(ArchiveBase, PropertiesAreEmptyWhileAnotherThreadOpens) {
  THandler<TTestFormat> h(kTestClass);
  ASSERT_EQ(OpenWith(h.Archive, Container(3)), S_OK);

  std::promise<void> entered, release;
  std::shared_future<void> released = release.get_future().share();
  h->OpenHook = [&] {
    entered.set_value();
    released.wait();
  };
  auto opening = std::async(std::launch::async, [&] { return OpenWith(h.Archive, Container(3)); });
  entered.get_future().wait();

  // Answered at once, empty, instead of waiting behind the open.
  TProp busy;
  busy.vt = VT_UI8;
  EXPECT_EQ(h.Archive->GetProperty(0, kpidPath, &busy), S_OK);
  EXPECT_EQ(busy.vt, VT_EMPTY);

  release.set_value();
  EXPECT_EQ(opening.get(), S_OK);
  TProp path;
  ASSERT_EQ(h.Archive->GetProperty(2, kpidPath, &path), S_OK);
  ASSERT_EQ(path.vt, VT_BSTR);
  EXPECT_EQ(UString(path.bstrVal), L"item2");
}

TEST(ArchiveBase, AFailedOpenIsEmptiedBeforeOthersGetIn) {
  THandler<TTestFormat> h(kTestClass);
  std::promise<void> closing, release;
  std::shared_future<void> released = release.get_future().share();
  bool first = true;
  h->OpenHook = [&] {
    // The close after this failure waits until the other thread has asked.
    h->CloseHook = [&] {
      if (std::exchange(first, false)) {
        closing.set_value();
        released.wait();
      }
    };
    RaiseHResult(E_FAIL);
  };
  auto opening = std::async(std::launch::async, [&] { return OpenWith(h.Archive, Container(2)); });
  closing.get_future().wait();
  TProp v;
  EXPECT_EQ(h.Archive->GetProperty(0, kpidPath, &v), S_OK);
  EXPECT_EQ(v.vt, VT_EMPTY);
  EXPECT_EQ(h->PropertyCalls, 0);
  release.set_value();
  EXPECT_EQ(opening.get(), E_FAIL);
}

TEST(ArchiveBase, ArchiveNameAndExtensionFromTheVolumeCallback) {
  struct TCase {
    const wchar_t *Name;
    const wchar_t *Extension;
  };
  const TCase cases[] = {
      {L"case.E01", L".e01"}, {L".E01", L".e01"}, {L"image.tar.AFF", L".aff"}, {L"NOEXT", L""}, {L"x.", L"."},
  };
  for (const TCase &c : cases) {
    THandler<TTestFormat> h(kTestClass);
    ComPtr<TTestOpenCallback> callback(new TTestOpenCallback(c.Name));
    ASSERT_EQ(OpenWith(h.Archive, Container(1), callback), S_OK);
    EXPECT_EQ(h->SeenName, c.Name);
    EXPECT_EQ(h->SeenExtension, c.Extension) << testing::PrintToString(std::wstring(c.Name));
    EXPECT_EQ(callback->RefCount(), 1u);  // the callback is held only while Open runs
  }

  // No volume callback: no name. A later open whose callback has no name keeps the earlier one.
  THandler<TTestFormat> h(kTestClass);
  ComPtr<TTestOpenCallback> plain(new TTestOpenCallback(L"ignored.e01"));
  plain->OfferVolumeCallback = false;
  ASSERT_EQ(OpenWith(h.Archive, Container(1), plain), S_OK);
  EXPECT_EQ(h->SeenName, L"");
  EXPECT_EQ(h->SeenExtension, L"");
  ASSERT_EQ(OpenWith(h.Archive, Container(1), ComPtr<TTestOpenCallback>(new TTestOpenCallback(L"a.L01"))), S_OK);
  ASSERT_EQ(OpenWith(h.Archive, Container(1), ComPtr<TTestOpenCallback>(new TTestOpenCallback())), S_OK);
  EXPECT_EQ(h->SeenName, L"a.L01");
  EXPECT_EQ(h->SeenExtension, L".l01");
}

// ---------------- SetProperties ----------------

HRESULT SetProps(ISetProperties *sp, std::vector<std::pair<const wchar_t *, PROPVARIANT>> pairs) {
  std::vector<const wchar_t *> names;
  std::vector<PROPVARIANT> values;
  for (auto &[n, v] : pairs) {
    names.push_back(n);
    values.push_back(v);
  }
  return sp->SetProperties(names.data(), values.data(), static_cast<UInt32>(pairs.size()));
}

PROPVARIANT UI4(UInt32 v) {
  PROPVARIANT p{};
  p.vt = VT_UI4;
  p.ulVal = v;
  return p;
}

TEST(ArchiveBase, SetPropertiesCodePageAndNames) {
  THandler<TTestFormat> h(kTestClass);
  auto sp = h.As<ISetProperties>(IID_ISetProperties);
  ASSERT_TRUE(sp);

  ASSERT_EQ(SetProps(sp, {{L"cp", UI4(1251)}}), S_OK);
  EXPECT_EQ(h->CodePage(), 1251u);
  // The page is used for byte strings: 0xC0 is CYRILLIC CAPITAL A in Windows-1251.
  EXPECT_EQ(h->AnsiToUnicode(AString("\xC0\xE1", 2)), UString(L"\x0410\x0431"));

  // "cp" as text is just an unknown name; the page was reset before the walk.
  PROPVARIANT text{};
  text.vt = VT_BSTR;
  text.bstrVal = AllocBstr(L"1251");
  EXPECT_EQ(SetProps(sp, {{L"cp", text}}), E_INVALIDARG);
  PropVariantClearValue(text);
  EXPECT_EQ(h->CodePage(), 0u);

  EXPECT_EQ(SetProps(sp, {{L"X", UI4(9)}}), S_OK);
  EXPECT_EQ(SetProps(sp, {{L"mt", UI4(2)}}), E_INVALIDARG);

  // Pairs before a refused one stay applied; a later call without "cp" resets the page.
  EXPECT_EQ(SetProps(sp, {{L"CP", UI4(866)}, {L"mt", UI4(2)}, {L"cp", UI4(1252)}}), E_INVALIDARG);
  EXPECT_EQ(h->CodePage(), 866u);
  EXPECT_EQ(SetProps(sp, {{L"x", UI4(1)}}), S_OK);
  EXPECT_EQ(h->CodePage(), 0u);

  // Names are matched after lower-casing; the formats take no others.
  EXPECT_EQ(SetProps(sp, {{L"Cp", UI4(1250)}}), S_OK);
  EXPECT_EQ(h->CodePage(), 1250u);
  EXPECT_EQ(SetProps(sp, {{L"level", UI4(7)}}), E_INVALIDARG);
  EXPECT_EQ(SetProps(sp, {}), S_OK);
}

// ---------------- interfaces ----------------

TEST(ArchiveBase, InterfacesOfferedByWhatTheFormatOverrides) {
  THandler<TTestFormat> withStreams(kTestClass);
  THandler<TPlainFormat> plain(kPlainClass);

  EXPECT_TRUE(withStreams.As<IInArchiveGetStream>(IID_IInArchiveGetStream));
  EXPECT_FALSE(plain.As<IInArchiveGetStream>(IID_IInArchiveGetStream));
  // Read-only: neither updating nor sequential opening is offered.
  for (IInArchive *a : {withStreams.Archive.Get(), plain.Archive.Get()}) {
    for (const GUID *iid : {&IID_IArchiveOpenSeq, &IID_IOutArchive}) {
      void *p = reinterpret_cast<void *>(1);
      EXPECT_EQ(a->QueryInterface(*iid, &p), E_NOINTERFACE);
      EXPECT_EQ(p, nullptr);
    }
  }

  // Codec lists given per handler replace each other and are released with the handler.
  auto set = withStreams.As<ISetCompressCodecsInfo>(IID_ISetCompressCodecsInfo);
  ASSERT_TRUE(set);
  EXPECT_EQ(set->SetCompressCodecsInfo(nullptr), S_OK);
  EXPECT_EQ(withStreams->CodecsInfo().GetNumMethods(), 0);
}

TEST(ArchiveBase, TreeAndRawPropertiesAnswerUnsetByDefault) {
  THandler<TTestFormat> h(kTestClass);
  ASSERT_EQ(OpenWith(h.Archive, Container(1)), S_OK);
  auto raw = h.As<IArchiveGetRawProps>(IID_IArchiveGetRawProps);
  ASSERT_TRUE(raw);
  UInt32 parent = 0, parentType = 7;
  EXPECT_EQ(raw->GetParent(0, &parent, &parentType), S_OK);
  EXPECT_EQ(parent, 0xFFFFFFFFu);  // the root
  EXPECT_EQ(parentType, 0u);
  // The host reads "unset" as S_OK with no data; anything else aborts its listing.
  const void *data = &parent;
  UInt32 size = 5, type = 5;
  EXPECT_EQ(raw->GetRawProp(0, kpidSha1, &data, &size, &type), S_OK);
  EXPECT_EQ(data, nullptr);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(type, 0u);
  UInt32 count = 9;
  EXPECT_EQ(raw->GetNumRawProps(&count), S_OK);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(h.Archive->GetNumberOfArchiveProperties(&count), S_OK);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(raw->GetParent(0, nullptr, &parentType), E_POINTER);
}

TEST(ArchiveBase, GetStreamByIndex) {
  THandler<TTestFormat> h(kTestClass);
  ASSERT_EQ(OpenWith(h.Archive, Container(2)), S_OK);
  auto gs = h.As<IInArchiveGetStream>(IID_IInArchiveGetStream);
  ASSERT_TRUE(gs);

  ComPtr<ISequentialInStream> s;
  ASSERT_EQ(gs->GetStream(1, s.Put()), S_OK);
  ASSERT_TRUE(s);
  std::vector<Byte> buf(100);
  UInt32 got = 0;
  ASSERT_EQ(s->Read(buf.data(), 100, &got), S_OK);
  buf.resize(got);
  EXPECT_EQ(buf, ItemData(1));

  ISequentialInStream *raw = reinterpret_cast<ISequentialInStream *>(1);
  EXPECT_EQ(gs->GetStream(2, &raw), S_FALSE);  // index = item count
  EXPECT_EQ(raw, nullptr);
  EXPECT_EQ(gs->GetStream(0xFFFFFFFFu, &raw), S_FALSE);
  EXPECT_EQ(gs->GetStream(0, nullptr), E_POINTER);
}

// ---------------- extraction ----------------

TEST(ArchiveBase, ExtractArgumentChecks) {
  THandler<TTestFormat> h(kTestClass);
  ComPtr<TTestExtractCallback> cb(new TTestExtractCallback());
  const UInt32 one[] = {0};
  EXPECT_EQ(h.Archive->Extract(one, 1, 0, cb), E_INVALIDARG);  // nothing open
  ASSERT_EQ(OpenWith(h.Archive, Container(3)), S_OK);
  EXPECT_EQ(h.Archive->Extract(one, 1, 0, nullptr), E_INVALIDARG);
  EXPECT_EQ(h.Archive->Extract(nullptr, 2, 0, cb), E_INVALIDARG);
  // An index past the last item refuses the whole call before any item is written.
  const UInt32 pastEnd[] = {0, 3};
  EXPECT_EQ(h.Archive->Extract(pastEnd, 2, 0, cb), E_INVALIDARG);
  EXPECT_TRUE(h->Decoded.empty());
  EXPECT_TRUE(cb->Events.empty());

  // All items: a nil index array with the count 0xFFFFFFFF reaches the format.
  ASSERT_EQ(h.Archive->Extract(nullptr, 0xFFFFFFFFu, 0, cb), S_OK);
  EXPECT_EQ(h->Decoded, (std::vector<UInt32>{0, 1, 2}));
  ASSERT_EQ(cb->Items.size(), 3u);
  for (UInt32 i = 0; i < 3; i++)
    EXPECT_EQ(cb->Items[i].Data(), ItemData(i));
  EXPECT_EQ(cb->Total, 60u);
  EXPECT_EQ(cb->Completed, 60u);
}

TEST(ArchiveBase, PerItemProtocolInExtractMode) {
  THandler<TTestFormat> h(kTestClass);
  ASSERT_EQ(OpenWith(h.Archive, Container(4)), S_OK);
  h->Results[3] = NOperationResult::kCRCError;
  ComPtr<TTestExtractCallback> cb(new TTestExtractCallback());
  cb->SkipItems = {1};  // S_FALSE
  cb->NilItems = {2};   // S_OK without a stream
  const UInt32 indices[] = {0, 1, 2, 3};
  ASSERT_EQ(h.Archive->Extract(indices, 4, 0, cb), S_OK);

  const std::vector<std::string> expected = {"GetStream 0 0", "Prepare 0", "Result 0",  //
                                             "GetStream 1 0", "Prepare 2", "Result 0",  //
                                             "GetStream 2 0", "Prepare 2", "Result 0",  //
                                             "GetStream 3 0", "Prepare 0", "Result 3"};
  EXPECT_EQ(cb->Events, expected);
  EXPECT_EQ(h->Decoded, (std::vector<UInt32>{0, 3}));
  EXPECT_EQ(cb->Items[0].Data(), ItemData(0));
  EXPECT_EQ(cb->Items[3].Data(), ItemData(3));
  // Skipped items still count as done.
  EXPECT_EQ(cb->Total, 100u);
  EXPECT_EQ(cb->Completed, 100u);
  // The handler keeps no output stream after the item.
  EXPECT_EQ(cb->Items[0].Out->RefCount(), 1u);
}

TEST(ArchiveBase, PerItemProtocolInTestMode) {
  THandler<TTestFormat> h(kTestClass);
  ASSERT_EQ(OpenWith(h.Archive, Container(3)), S_OK);
  h->Results[0] = NOperationResult::kDataError;
  ComPtr<TTestExtractCallback> cb(new TTestExtractCallback());
  cb->NilItems = {0, 2};  // what the host gives when testing
  cb->SkipItems = {1};
  ASSERT_EQ(h.Archive->Extract(nullptr, 0xFFFFFFFFu, 1, cb), S_OK);

  const std::vector<std::string> expected = {"GetStream 0 1", "Prepare 1", "Result 2",  //
                                             "GetStream 1 1", "Prepare 2", "Result 0",  //
                                             "GetStream 2 1", "Prepare 1", "Result 0"};
  EXPECT_EQ(cb->Events, expected);
  // Tested items are decoded (into a discarding stream) even though the host gave none.
  EXPECT_EQ(h->Decoded, (std::vector<UInt32>{0, 2}));
}

TEST(ArchiveBase, HostRefusalsEndTheExtraction) {
  THandler<TTestFormat> h(kTestClass);
  ASSERT_EQ(OpenWith(h.Archive, Container(2)), S_OK);
  const UInt32 both[] = {0, 1};

  ComPtr<TTestExtractCallback> a(new TTestExtractCallback());
  a->GetStreamResult = E_ABORT;
  EXPECT_EQ(h.Archive->Extract(both, 2, 0, a), E_ABORT);
  EXPECT_EQ(a->Events, (std::vector<std::string>{"GetStream 0 0"}));

  ComPtr<TTestExtractCallback> b(new TTestExtractCallback());
  b->PrepareResult = E_FAIL;
  EXPECT_EQ(h.Archive->Extract(both, 2, 0, b), E_FAIL);
  EXPECT_EQ(b->Events, (std::vector<std::string>{"GetStream 0 0", "Prepare 0"}));

  ComPtr<TTestExtractCallback> c(new TTestExtractCallback());
  c->OperationResultResult = E_ABORT;
  EXPECT_EQ(h.Archive->Extract(both, 2, 1, c), E_ABORT);
  EXPECT_EQ(c->Events.size(), 3u);

  // A cancel answered to the progress of a skipped item stops the walk too.
  const UInt32 saved = Tvor7zProgress::ProgressInterval;
  Tvor7zProgress::ProgressInterval = 0;
  ComPtr<TTestExtractCallback> d(new TTestExtractCallback());
  d->SkipItems = {0, 1};
  d->CompletedResult = E_ABORT;
  EXPECT_EQ(h.Archive->Extract(both, 2, 0, d), E_ABORT);
  Tvor7zProgress::ProgressInterval = saved;
  EXPECT_EQ(d->Events, (std::vector<std::string>{"GetStream 0 0", "Prepare 2"}));

  // A stream that accepts nothing fails the item's decode, and with it the extraction.
  ComPtr<TTestExtractCallback> e(new TTestExtractCallback());
  e->MakeStream = [](UInt32) {
    ComPtr<TTestOutStream> s(new TTestOutStream());
    s->FailAfter = 1;
    s->FailCode = E_OUTOFMEMORY;
    return ComPtr<ISequentialOutStream>(s.Get());
  };
  EXPECT_EQ(h.Archive->Extract(both, 2, 0, e), E_OUTOFMEMORY);
}

}  // namespace
