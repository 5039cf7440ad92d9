// Progress reporting and its throttle, the stream loops, and the property-value conversions.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <optional>

#include "fixtures/TestStreams.h"
#include "platform/Platform.h"
#include "streams/Progress.h"
#include "host/PropVariant.h"

namespace {

// Records what the library reports to the host.
class TRecordingProgress : public TvorInterfacedObject, public IProgress {
public:
  VOR_UNKNOWN_IMP
  HRESULT QueryInterfaceImpl(REFIID iid, void **out) override {
    if (iid == IID_IVorUnknown || iid == IID_IProgress)
      return Offer<IProgress>(this, out);
    return NoInterface(out);
  }
  HRESULT STDMETHODCALLTYPE SetTotal(UInt64 total) noexcept override {
    Totals.push_back(total);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetCompleted(const UInt64 *value) noexcept override {
    Completed.push_back(value ? std::optional<UInt64>(*value) : std::nullopt);
    return CompletedResult;
  }
  std::vector<UInt64> Totals;
  std::vector<std::optional<UInt64>> Completed;
  HRESULT CompletedResult = S_OK;
};

// Sets the library-wide throttle for one test.
class TThrottle {
public:
  explicit TThrottle(UInt32 ms) : FOld(Tvor7zProgress::ProgressInterval) { Tvor7zProgress::ProgressInterval = ms; }
  ~TThrottle() { Tvor7zProgress::ProgressInterval = FOld; }

private:
  UInt32 FOld;
};

constexpr UInt32 kNever = 3600000;  // an interval no test run reaches

std::vector<Byte> Bytes(const char *s) { return std::vector<Byte>(s, s + std::strlen(s)); }

PROPVARIANT Prop(VARTYPE vt) {
  PROPVARIANT v;
  std::memset(&v, 0, sizeof v);
  v.vt = vt;
  return v;
}

UString Text(const PROPVARIANT &v) {
  UString s = L"<unset>";
  EXPECT_EQ(PropVariantToString(v, s), S_OK);
  return s;
}

}  // namespace

// ---- Tvor7zProgress ----

TEST(Progress, ThrottleHoldsBackReportsUntilFlush) {
  TThrottle throttle(kNever);
  ComPtr<TRecordingProgress> host(new TRecordingProgress);
  Tvor7zProgress p(host);
  EXPECT_EQ(p.SetTotal(100), S_OK);
  EXPECT_EQ(p.Add(10), S_OK);
  EXPECT_EQ(p.Add(10), S_OK);
  EXPECT_TRUE(host->Completed.empty());
  EXPECT_EQ(p.Flush(), S_OK);
  ASSERT_EQ(host->Completed.size(), 1u);
  EXPECT_EQ(host->Completed[0], 20u);
  EXPECT_EQ(p.Flush(), S_OK);  // always reports
  EXPECT_EQ(host->Completed.size(), 2u);
}

TEST(Progress, ValuesAreCappedAtTheTotalAndZeroIsNil) {
  TThrottle throttle(0);  // every Add reports
  ComPtr<TRecordingProgress> host(new TRecordingProgress);
  Tvor7zProgress p(host);
  EXPECT_EQ(p.SetTotal(50), S_OK);
  EXPECT_EQ(p.Add(0), S_OK);
  EXPECT_EQ(p.Add(30), S_OK);
  EXPECT_EQ(p.Add(30), S_OK);
  ASSERT_EQ(host->Completed.size(), 3u);
  EXPECT_EQ(host->Completed[0], std::nullopt);
  EXPECT_EQ(host->Completed[1], 30u);
  EXPECT_EQ(host->Completed[2], 50u);
  EXPECT_EQ(p.Completed(), 60u);
  EXPECT_EQ(host->Totals, std::vector<UInt64>({50}));

  // An unknown total is not passed on and does not cap.
  EXPECT_EQ(p.SetTotal(~0ull), S_OK);
  EXPECT_EQ(host->Totals.size(), 1u);
  EXPECT_EQ(p.Flush(), S_OK);
  EXPECT_EQ(host->Completed.back(), 60u);
}

TEST(Progress, TheHostsCancelCodeComesBack) {
  TThrottle throttle(0);
  ComPtr<TRecordingProgress> host(new TRecordingProgress);
  host->CompletedResult = E_ABORT;
  Tvor7zProgress p(host);
  EXPECT_EQ(p.SetTotal(10), S_OK);
  EXPECT_EQ(p.Add(1), E_ABORT);
  EXPECT_EQ(p.Flush(), E_ABORT);

  Tvor7zProgress silent(nullptr);
  EXPECT_EQ(silent.SetTotal(10), S_OK);
  EXPECT_EQ(silent.Add(5), S_OK);
  EXPECT_EQ(silent.Flush(), S_OK);
}

TEST(Progress, OutStreamReportsAcceptedBytes) {
  TThrottle throttle(0);
  ComPtr<TRecordingProgress> host(new TRecordingProgress);
  Tvor7zProgress p(host);
  p.SetTotal(100);
  ComPtr<TTestOutStream> out(new TTestOutStream);
  out->MaxChunk = 3;
  ComPtr<Tvor7zProgressSequentialOutStream> s(new Tvor7zProgressSequentialOutStream(&p, out));
  UInt32 done = 0;
  EXPECT_EQ(s->Write("abcde", 5, &done), S_OK);
  EXPECT_EQ(done, 3u);
  EXPECT_EQ(p.Completed(), 3u);

  out->FailAfter = 4;
  EXPECT_EQ(s->Write("xy", 2, &done), E_FAIL);
  EXPECT_EQ(p.Completed(), 3u) << "a failed write adds nothing";

  out->FailAfter = 0;
  host->CompletedResult = E_ABORT;
  EXPECT_EQ(s->Write("z", 1, &done), E_ABORT);
  EXPECT_EQ(done, 1u);
}

// ---- Stream loops ----

TEST(StreamLoops, ReadStreamCollectsShortReadsAndReportsTheEnd) {
  ComPtr<TTestInStream> in(new TTestInStream(Bytes("0123456789")));
  in->MaxChunk = 3;
  Byte buf[16];
  size_t got = 0;
  EXPECT_EQ(ReadStream(in, buf, 16, &got), S_FALSE);
  EXPECT_EQ(got, 10u);
  EXPECT_EQ(std::memcmp(buf, "0123456789", 10), 0);

  in->Seek(0, STREAM_SEEK_SET, nullptr);
  in->ReadFailAt = 4;
  got = 0;
  EXPECT_EQ(ReadStream(in, buf, 8, &got), E_FAIL);
  EXPECT_EQ(got, 4u);

  class TOver : public TTestInStream {
  public:
    TOver() : TTestInStream({}) {}
    HRESULT STDMETHODCALLTYPE Read(void *, UInt32 size, UInt32 *processed) noexcept override {
      *processed = size + 1;
      return S_OK;
    }
  };
  ComPtr<TOver> over(new TOver);
  EXPECT_EQ(ReadStream(over, buf, 4), E_FAIL);
}

TEST(StreamLoops, WriteStreamCompletesShortWritesAndDetectsRefusal) {
  ComPtr<TTestOutStream> out(new TTestOutStream);
  out->MaxChunk = 2;
  size_t done = 0;
  EXPECT_EQ(WriteStream(out, "abcdefg", 7, &done), S_OK);
  EXPECT_EQ(done, 7u);
  EXPECT_EQ(out->Data, Bytes("abcdefg"));
  out->FailAfter = 8;
  EXPECT_EQ(WriteStream(out, "hij", 3), E_FAIL);

  Byte mem[2];
  class TFull : public TTestOutStream {
  public:
    HRESULT STDMETHODCALLTYPE Write(const void *, UInt32, UInt32 *processed) noexcept override {
      *processed = 0;
      return S_OK;
    }
  };
  ComPtr<TFull> full(new TFull);
  EXPECT_EQ(WriteStream(full, mem, 2), S_FALSE);
}

TEST(StreamLoops, CopyStreamCopiesReportsAndStops) {
  TThrottle throttle(0);
  std::vector<Byte> data(1000);
  for (size_t i = 0; i < data.size(); i++)
    data[i] = static_cast<Byte>(i * 7);
  ComPtr<TTestInStream> in(new TTestInStream(data));
  in->MaxChunk = 90;
  ComPtr<TTestOutStream> out(new TTestOutStream);
  out->MaxChunk = 33;
  ComPtr<TRecordingProgress> host(new TRecordingProgress);
  Tvor7zProgress p(host);
  p.SetTotal(1000);
  Byte buf[64];
  UInt64 copied = 0;
  EXPECT_EQ(CopyStream(buf, sizeof buf, &p, in, out, 700, &copied), S_OK);
  EXPECT_EQ(copied, 700u);
  EXPECT_EQ(out->Data, std::vector<Byte>(data.begin(), data.begin() + 700));
  EXPECT_EQ(p.Completed(), 700u);

  // The input ends first: what there was, and success.
  copied = 0;
  EXPECT_EQ(CopyStream(buf, sizeof buf, nullptr, in, out, 5000, &copied), S_OK);
  EXPECT_EQ(copied, 300u);
  EXPECT_EQ(out->Data, data);

  EXPECT_EQ(CopyStream(buf, sizeof buf, nullptr, in, out, 0), S_OK);

  // The host's cancel stops the copy after the chunk it was told about.
  in->Seek(0, STREAM_SEEK_SET, nullptr);
  host->CompletedResult = E_ABORT;
  copied = 0;
  EXPECT_EQ(CopyStream(buf, sizeof buf, &p, in, out, 700, &copied), E_ABORT);
  EXPECT_EQ(copied, 64u);

  ComPtr<TTestOutStream> failing(new TTestOutStream);
  failing->FailAfter = 10;
  in->Seek(0, STREAM_SEEK_SET, nullptr);
  EXPECT_EQ(CopyStream(buf, sizeof buf, nullptr, in, failing, 100), E_FAIL);

  // A read that fails part way hands over the bytes before the failure: they are written and
  // counted, then the failure is returned.
  ComPtr<TTestInStream> damaged(new TTestInStream(data));
  damaged->ReadFailAt = 150;
  damaged->ReadFailCode = S_FALSE;
  ComPtr<TTestOutStream> kept(new TTestOutStream);
  copied = 0;
  EXPECT_EQ(CopyStream(buf, sizeof buf, nullptr, damaged, kept, 700, &copied), S_FALSE);
  EXPECT_EQ(copied, 150u);
  EXPECT_EQ(kept->Data, std::vector<Byte>(data.begin(), data.begin() + 150));
}

// ---- Property values ----

TEST(PropVariant, ToStringOfTheCommonTypes) {
  PROPVARIANT v = Prop(VT_BOOL);
  v.boolVal = VARIANT_TRUE;
  EXPECT_EQ(Text(v), L"True");
  v.boolVal = VARIANT_FALSE;
  EXPECT_EQ(Text(v), L"False");
  v = Prop(VT_UI4);
  v.ulVal = 7;
  EXPECT_EQ(Text(v), L"7");
  v = Prop(VT_I2);
  v.iVal = -3;
  EXPECT_EQ(Text(v), L"-3");
  v = Prop(VT_UI8);
  v.uhVal.QuadPart = ~0ull;
  EXPECT_EQ(Text(v), L"-1") << "printed as a signed number";
  EXPECT_EQ(Text(Prop(VT_EMPTY)), L"");
  EXPECT_EQ(Text(Prop(VT_NULL)), L"");

  v = Prop(VT_BSTR);
  v.bstrVal = AllocBstr(L"case 12");
  EXPECT_EQ(Text(v), L"case 12");
  EXPECT_EQ(PropVariantClearValue(v), S_OK);
  EXPECT_EQ(v.vt, VT_EMPTY);

  GUID g = {0x01234567u, 0x89AB, 0xCDEF, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};
  v = Prop(VT_CLSID);
  v.puuid = &g;
  EXPECT_EQ(Text(v), L"{01234567-89AB-CDEF-0123-456789ABCDEF}");

  UString s;
  v = Prop(VT_ARRAY | VT_UI1);
  EXPECT_EQ(PropVariantToString(v, s), E_INVALIDARG);
  v = Prop(VT_UNKNOWN);
  EXPECT_EQ(PropVariantToString(v, s), E_INVALIDARG);
}

TEST(PropVariant, DatesAndTimesIncludingTheirLimits) {
  PROPVARIANT v = Prop(VT_FILETIME);
  const UInt64 ft = (1000000000ull + 11644473600ull) * 10000000ull;  // 2001-09-09 01:46:40 UTC
  v.filetime.dwLowDateTime = static_cast<DWORD>(ft);
  v.filetime.dwHighDateTime = static_cast<DWORD>(ft >> 32);
  EXPECT_EQ(Text(v), L"2001-09-09 01:46:40");
  v.filetime.dwLowDateTime = v.filetime.dwHighDateTime = 0;
  EXPECT_EQ(Text(v), L"1601-01-01 00:00:00");
  v.filetime.dwHighDateTime = 0x80000000u;  // the system refuses these
  UString s = L"x";
  EXPECT_EQ(PropVariantToString(v, s), E_INVALIDARG);

  v = Prop(VT_DATE);
  v.date = 0.75;
  EXPECT_EQ(Text(v), L"1899-12-30");
  v.date = 36526.5;
  EXPECT_EQ(Text(v), L"2000-01-01");
  v.date = -0.5;  // noon of the epoch day: the fraction is the time, whatever the sign
  EXPECT_EQ(Text(v), L"1899-12-30");
  v.date = -1.25;
  EXPECT_EQ(Text(v), L"1899-12-29");
  v.date = -657434.5;
  EXPECT_EQ(Text(v), L"0100-01-01");
  v.date = 2958465.9;
  EXPECT_EQ(Text(v), L"9999-12-31");
  for (const double bad : {-657435.0, 2958466.0, std::nan(""), -1e300}) {
    v.date = bad;
    EXPECT_EQ(PropVariantToString(v, s), E_INVALIDARG) << bad;
  }
}

TEST(PropVariant, ToInt64ParsesTrimsAndRounds) {
  Int64 n = 99;
  PROPVARIANT v = Prop(VT_BSTR);
  v.bstrVal = AllocBstr(L" 12 ");
  EXPECT_EQ(PropVariantToInt64(v, n), S_OK);
  EXPECT_EQ(n, 12);
  PropVariantClearValue(v);
  for (const wchar_t *bad : {L"x", L"", L"1 2", L"9223372036854775808", L"-"}) {
    v = Prop(VT_BSTR);
    v.bstrVal = AllocBstr(bad);
    n = 99;
    EXPECT_EQ(PropVariantToInt64(v, n), E_INVALIDARG) << bad;
    EXPECT_EQ(n, 0);
    PropVariantClearValue(v);
  }
  v = Prop(VT_BSTR);
  v.bstrVal = AllocBstr(L"-9223372036854775808");
  EXPECT_EQ(PropVariantToInt64(v, n), S_OK);
  EXPECT_EQ(n, std::numeric_limits<Int64>::min());
  PropVariantClearValue(v);

  v = Prop(VT_BOOL);
  v.boolVal = VARIANT_TRUE;
  EXPECT_EQ(PropVariantToInt64(v, n), S_OK);
  EXPECT_EQ(n, 1);
  v = Prop(VT_R8);
  v.dblVal = -2.6;
  EXPECT_EQ(PropVariantToInt64(v, n), S_OK);
  EXPECT_EQ(n, -3);
  for (const double bad : {std::nan(""), 1e19, -1e30, HUGE_VAL}) {
    v.dblVal = bad;
    EXPECT_EQ(PropVariantToInt64(v, n), E_INVALIDARG) << bad;
  }
  v = Prop(VT_CY);  // currency in units of 1/10000
  v.hVal.QuadPart = 15000;
  EXPECT_EQ(PropVariantToInt64(v, n), S_OK);
  EXPECT_EQ(n, 2);
  v.hVal.QuadPart = -14999;
  EXPECT_EQ(PropVariantToInt64(v, n), S_OK);
  EXPECT_EQ(n, -1);
  v.hVal.QuadPart = std::numeric_limits<Int64>::max();  // exact in integers, not via a double
  EXPECT_EQ(PropVariantToInt64(v, n), S_OK);
  EXPECT_EQ(n, 922337203685478);
  v = Prop(VT_EMPTY);
  EXPECT_EQ(PropVariantToInt64(v, n), S_OK);
  EXPECT_EQ(n, 0);
  v = Prop(VT_CLSID);
  EXPECT_EQ(PropVariantToInt64(v, n), E_INVALIDARG);
}

TEST(PropVariant, ClearValueKnowsItsTypes) {
  PROPVARIANT v = Prop(VT_UI8);
  v.uhVal.QuadPart = 5;
  EXPECT_EQ(PropVariantClearValue(v), S_OK);
  EXPECT_EQ(v.vt, VT_EMPTY);
  for (const VARTYPE other : {VT_CY, VT_DATE, VT_CLSID}) {
    v = Prop(other);
    EXPECT_EQ(PropVariantClearValue(v), E_INVALIDARG);
    EXPECT_EQ(v.vt, other) << "left alone";
  }
  // The setters clear what was there (the sanitizer build sees a leaked string).
  v = Prop(VT_EMPTY);
  PropSetString(v, L"first");
  PropSetUInt32(v, 3);
  EXPECT_EQ(v.vt, VT_UI4);
  EXPECT_EQ(v.ulVal, 3u);
  PropSetBytes(v, "\x01\x02\x03", 3);
  EXPECT_EQ(BstrByteLength(v.bstrVal), 3u);
  PropVariantClearValue(v);
}
