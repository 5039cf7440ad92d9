// The filter coder: a host in-place filter driven as a stream decoder.
#include <gtest/gtest.h>

#include <random>

#include "fixtures/TestStreams.h"
#include "host/FilterCoder.h"

namespace {

enum TTailMode {
  kRawTail,      // a partial unit at the end is left alone (Filter returns 0)
  kPaddedTail,   // a partial unit asks for a whole one (Filter returns 16)
  kWrongPadded,  // asks for a whole unit, then does not finish it
  kGreedyEmpty,  // asks for a unit even when given nothing
  kStuck,        // never processes anything
  kHuge,         // asks for more than any buffer holds
};

// Works in 16-byte units; each byte is XORed with its place in the unit.
class TUnitFilter : public TvorInterfacedObject,
                    public ICompressFilter,
                    public ICompressSetCoderMt,
                    public ICompressSetBufSize,
                    public ICompressSetDecoderProperties2,
                    public ICompressSetFinishMode {
public:
  explicit TUnitFilter(TTailMode mode = kRawTail, bool extras = false) : FMode(mode), FExtras(extras) {}
  VOR_UNKNOWN_IMP
  HRESULT QueryInterfaceImpl(REFIID iid, void **out) override {
    if (iid == IID_IVorUnknown || iid == IID_ICompressFilter)
      return Offer<ICompressFilter>(this, out);
    if (FExtras && iid == IID_ICompressSetCoderMt)
      return Offer<ICompressSetCoderMt>(this, out);
    if (FExtras && iid == IID_ICompressSetBufSize)
      return Offer<ICompressSetBufSize>(this, out);
    if (FExtras && iid == IID_ICompressSetDecoderProperties2)
      return Offer<ICompressSetDecoderProperties2>(this, out);
    if (FExtras && iid == IID_ICompressSetFinishMode)
      return Offer<ICompressSetFinishMode>(this, out);
    return NoInterface(out);
  }
  HRESULT STDMETHODCALLTYPE Init() noexcept override {
    Inits++;
    return InitResult;
  }
  UInt32 STDMETHODCALLTYPE Filter(Byte *data, UInt32 size) noexcept override {
    Calls.push_back(size);
    if (FMode == kStuck)
      return 0;
    if (FMode == kHuge)
      return 1u << 20;
    if (size == 0)
      return FMode == kGreedyEmpty ? 16 : 0;
    if (FMode == kWrongPadded && FPadRequests > 0)
      return 8;  // the padded unit comes back only half done
    if (size < 16) {
      if (FMode == kRawTail)
        return 0;
      FPadRequests++;
      return 16;
    }
    const UInt32 n = size / 16 * 16;
    Transform(data, n);
    return n;
  }
  static void Transform(Byte *data, size_t n) {
    for (size_t i = 0; i < n; i++)
      data[i] ^= static_cast<Byte>(0x50 + i % 16);
  }
  HRESULT STDMETHODCALLTYPE SetNumberOfThreads(UInt32 n) noexcept override {
    Threads = n;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetInBufSize(UInt32, UInt32 size) noexcept override {
    InBuf = size;
    return BufResult;
  }
  HRESULT STDMETHODCALLTYPE SetOutBufSize(UInt32, UInt32 size) noexcept override {
    OutBuf = size;
    return BufResult;
  }
  HRESULT STDMETHODCALLTYPE SetDecoderProperties2(const Byte *, UInt32 size) noexcept override {
    PropsSize = size;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetFinishMode(UInt32 mode) noexcept override {
    FinishMode = mode;
    return S_OK;
  }

  std::vector<UInt32> Calls;
  int Inits = 0;
  HRESULT InitResult = S_OK;
  HRESULT BufResult = S_OK;
  UInt32 Threads = 0, InBuf = 0, OutBuf = 0, PropsSize = 0, FinishMode = 9;

private:
  TTailMode FMode;
  bool FExtras;
  int FPadRequests = 0;
};

class TRatioRecorder : public TvorInterfacedObject, public ICompressProgressInfo {
public:
  VOR_UNKNOWN_IMP
  HRESULT QueryInterfaceImpl(REFIID iid, void **out) override {
    if (iid == IID_IVorUnknown || iid == IID_ICompressProgressInfo)
      return Offer<ICompressProgressInfo>(this, out);
    return NoInterface(out);
  }
  HRESULT STDMETHODCALLTYPE SetRatioInfo(const UInt64 *in, const UInt64 *out) noexcept override {
    EXPECT_EQ(*in, *out);
    Totals.push_back(*out);
    return Result;
  }
  std::vector<UInt64> Totals;
  HRESULT Result = S_OK;
};

std::vector<Byte> Pattern(size_t n) {
  std::vector<Byte> v(n);
  std::mt19937 rng(5);
  for (auto &b : v)
    b = static_cast<Byte>(rng());
  return v;
}

// Runs the coder over `input`; the output lands in `out`.
HRESULT Decode(Tvor7zFilterCoder *coder, const std::vector<Byte> &input, std::vector<Byte> &out,
            ICompressProgressInfo *progress = nullptr, UInt32 maxChunk = 0) {
  ComPtr<TTestInStream> in(new TTestInStream(input));
  in->MaxChunk = maxChunk;
  ComPtr<TTestOutStream> o(new TTestOutStream);
  const HRESULT hr = coder->Code(in, o, nullptr, nullptr, progress);
  out = o->Data;
  return hr;
}

}  // namespace

TEST(FilterCoder, WholeUnitsAreFilteredAndTheTailIsWrittenAsIs) {
  ComPtr<TUnitFilter> f(new TUnitFilter(kRawTail));
  ComPtr<Tvor7zFilterCoder> c(new Tvor7zFilterCoder(f));
  const auto input = Pattern(20);
  std::vector<Byte> out;
  ASSERT_EQ(Decode(c, input, out), S_OK);
  auto expected = input;
  TUnitFilter::Transform(expected.data(), 16);
  EXPECT_EQ(out, expected);
  EXPECT_EQ(f->Calls, std::vector<UInt32>({20, 4}));
  EXPECT_EQ(f->Inits, 1);
}

TEST(FilterCoder, AFilterAskingForAWholeUnitAtTheEndGetsZeroPadding) {
  ComPtr<TUnitFilter> f(new TUnitFilter(kPaddedTail));
  ComPtr<Tvor7zFilterCoder> c(new Tvor7zFilterCoder(f));
  const auto input = Pattern(20);
  std::vector<Byte> out;
  ASSERT_EQ(Decode(c, input, out), S_OK);
  auto expected = input;
  expected.resize(32, 0);
  TUnitFilter::Transform(expected.data(), 32);
  EXPECT_EQ(out, expected);

  ComPtr<TUnitFilter> wrong(new TUnitFilter(kWrongPadded));
  ComPtr<Tvor7zFilterCoder> c2(new Tvor7zFilterCoder(wrong));
  EXPECT_EQ(Decode(c2, input, out), E_FAIL) << "the padded unit was not finished";
}

TEST(FilterCoder, EmptyInputCallsTheFilterOnceAndWritesNothing) {
  ComPtr<TUnitFilter> f(new TUnitFilter(kRawTail));
  ComPtr<Tvor7zFilterCoder> c(new Tvor7zFilterCoder(f));
  std::vector<Byte> out;
  ASSERT_EQ(Decode(c, std::vector<Byte>(), out), S_OK);
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(f->Calls, std::vector<UInt32>({0}));

  // A filter that wants a unit even of nothing must not be fed zero blocks without end.
  ComPtr<TUnitFilter> greedy(new TUnitFilter(kGreedyEmpty));
  ComPtr<Tvor7zFilterCoder> c2(new Tvor7zFilterCoder(greedy));
  ASSERT_EQ(Decode(c2, std::vector<Byte>(), out), S_OK);
  EXPECT_TRUE(out.empty());
  const auto input = Pattern(32);
  ASSERT_EQ(Decode(c2, input, out), S_OK);
  EXPECT_EQ(out.size(), 32u);
}

TEST(FilterCoder, LongInputPassesThroughTheBufferWithShortReads) {
  ComPtr<TUnitFilter> f(new TUnitFilter(kRawTail));
  ComPtr<Tvor7zFilterCoder> c(new Tvor7zFilterCoder(f));
  ComPtr<TRatioRecorder> ratio(new TRatioRecorder);
  const auto input = Pattern(10007);
  std::vector<Byte> out;
  ASSERT_EQ(Decode(c, input, out, ratio, 1000), S_OK);
  auto expected = input;
  TUnitFilter::Transform(expected.data(), 10000);
  EXPECT_EQ(out, expected);
  for (UInt32 n : f->Calls)
    EXPECT_LE(n, 4096u) << "one granule without a requested size";
  ASSERT_FALSE(ratio->Totals.empty());
  EXPECT_EQ(ratio->Totals.back(), 10007u);
  EXPECT_TRUE(std::is_sorted(ratio->Totals.begin(), ratio->Totals.end()));

  // The buffer is reused by a second run.
  ASSERT_EQ(Decode(c, input, out), S_OK);
  EXPECT_EQ(out, expected);
}

TEST(FilterCoder, BufferFollowsTheRequestedSizesInWholeGranules) {
  ComPtr<TUnitFilter> f(new TUnitFilter(kRawTail));
  ComPtr<Tvor7zFilterCoder> c(new Tvor7zFilterCoder(f));
  EXPECT_EQ(c->SetInBufSize(0, 10000), S_OK);
  EXPECT_EQ(c->SetOutBufSize(0, 20000), S_OK);
  EXPECT_EQ(c->SetInBufSize(1, 100), S_OK);  // other streams are not ours
  std::vector<Byte> out;
  ASSERT_EQ(Decode(c, Pattern(30000), out), S_OK);
  EXPECT_EQ(f->Calls.front(), 8192u);

  ComPtr<TUnitFilter> g(new TUnitFilter(kRawTail, true));
  g->BufResult = E_INVALIDARG;
  ComPtr<Tvor7zFilterCoder> c2(new Tvor7zFilterCoder(g));
  EXPECT_EQ(c2->SetOutBufSize(0, 5000), E_INVALIDARG) << "the filter's answer is passed on";
  EXPECT_EQ(g->OutBuf, 5000u);
}

TEST(FilterCoder, FailuresArePassedOn) {
  std::vector<Byte> out;
  const auto input = Pattern(5000);

  ComPtr<TUnitFilter> f(new TUnitFilter(kRawTail));
  f->InitResult = E_OUTOFMEMORY;
  ComPtr<Tvor7zFilterCoder> c(new Tvor7zFilterCoder(f));
  EXPECT_EQ(Decode(c, input, out), E_OUTOFMEMORY);
  EXPECT_TRUE(f->Calls.empty());

  f->InitResult = S_OK;
  ComPtr<TRatioRecorder> ratio(new TRatioRecorder);
  ratio->Result = E_ABORT;
  EXPECT_EQ(Decode(c, input, out, ratio), E_ABORT);
  EXPECT_EQ(ratio->Totals.size(), 1u);

  ComPtr<TTestInStream> in(new TTestInStream(input));
  ComPtr<TTestOutStream> o(new TTestOutStream);
  o->FailAfter = 100;
  o->FailCode = HRESULT_ERROR_INVALID_DATA;
  EXPECT_EQ(c->Code(in, o, nullptr, nullptr, nullptr), HRESULT_ERROR_INVALID_DATA);

  ComPtr<TTestInStream> broken(new TTestInStream(input));
  broken->ReadFailAt = 3000;
  broken->ReadFailCode = HRESULT_ERROR_INVALID_DATA;
  ComPtr<TTestOutStream> o2(new TTestOutStream);
  EXPECT_EQ(c->Code(broken, o2, nullptr, nullptr, nullptr), HRESULT_ERROR_INVALID_DATA);

  ComPtr<TUnitFilter> huge(new TUnitFilter(kHuge));
  ComPtr<Tvor7zFilterCoder> c3(new Tvor7zFilterCoder(huge));
  EXPECT_EQ(Decode(c3, Pattern(10), out), E_FAIL) << "more than the buffer can hold";

  EXPECT_EQ(c->Code(nullptr, o2, nullptr, nullptr, nullptr), E_POINTER);
}

TEST(FilterCoder, AFilterThatMakesNoProgressMidStreamIsAnError) {
  // Writing the buffer unfiltered and stopping would drop the rest of the input as a success.
  ComPtr<TUnitFilter> f(new TUnitFilter(kStuck));
  ComPtr<Tvor7zFilterCoder> c(new Tvor7zFilterCoder(f));
  std::vector<Byte> out;
  EXPECT_EQ(Decode(c, Pattern(9000), out), E_FAIL);
  EXPECT_TRUE(out.empty());
  // At the end of the input, a filter that does nothing just leaves its tail unfiltered.
  const auto small = Pattern(100);
  ASSERT_EQ(Decode(c, small, out), S_OK);
  EXPECT_EQ(out, small);
}

TEST(FilterCoder, OptionalInterfacesAreOfferedOnlyWhenTheFilterHasThem) {
  ComPtr<TUnitFilter> plain(new TUnitFilter(kRawTail, false));
  ComPtr<Tvor7zFilterDecoder> d(new Tvor7zFilterDecoder(plain));
  void *p = reinterpret_cast<void *>(1);
  EXPECT_EQ(d->QueryInterface(IID_ICompressSetFinishMode, &p), E_NOINTERFACE);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(d->QueryInterface(IID_ICompressSetDecoderProperties2, &p), E_NOINTERFACE);
  EXPECT_EQ(d->QueryInterface(IID_ICompressSetCoderMt, &p), E_NOINTERFACE);
  EXPECT_EQ(d->SetFinishMode(1), E_NOTIMPL);
  EXPECT_EQ(d->SetNumberOfThreads(2), E_NOTIMPL);
  EXPECT_EQ(d->SetDecoderProperties2(nullptr, 0), E_NOTIMPL);
  ComPtr<ICompressCoder> coder = ComPtr<Tvor7zFilterDecoder>(d).As<ICompressCoder>(IID_ICompressCoder);
  EXPECT_TRUE(coder);
  EXPECT_TRUE(ComPtr<Tvor7zFilterDecoder>(d).As<ICompressSetBufSize>(IID_ICompressSetBufSize));
  EXPECT_TRUE(ComPtr<Tvor7zFilterDecoder>(d).As<IUnknown>(IID_IVorUnknown));

  ComPtr<TUnitFilter> rich(new TUnitFilter(kRawTail, true));
  ComPtr<Tvor7zFilterDecoder> d2(new Tvor7zFilterDecoder(rich));
  auto finish = ComPtr<Tvor7zFilterDecoder>(d2).As<ICompressSetFinishMode>(IID_ICompressSetFinishMode);
  ASSERT_TRUE(finish);
  EXPECT_EQ(finish->SetFinishMode(1), S_OK);
  EXPECT_EQ(rich->FinishMode, 1u);
  auto mt = ComPtr<Tvor7zFilterDecoder>(d2).As<ICompressSetCoderMt>(IID_ICompressSetCoderMt);
  ASSERT_TRUE(mt);
  EXPECT_EQ(mt->SetNumberOfThreads(3), S_OK);
  EXPECT_EQ(rich->Threads, 3u);
  const Byte props[5] = {};
  EXPECT_EQ(d2->SetDecoderProperties2(props, 5), S_OK);
  EXPECT_EQ(rich->PropsSize, 5u);

  // The plain coder never offers the decoder-side settings.
  ComPtr<Tvor7zFilterCoder> c(new Tvor7zFilterCoder(rich));
  EXPECT_EQ(c->QueryInterface(IID_ICompressSetFinishMode, &p), E_NOINTERFACE);
  EXPECT_EQ(c->QueryInterface(IID_ICompressSetCoderMt, &p), S_OK);
  static_cast<IUnknown *>(p)->Release();

  ComPtr<Tvor7zDummyCompressProgressInfo> dummy(new Tvor7zDummyCompressProgressInfo);
  const UInt64 n = 5;
  EXPECT_EQ(dummy->SetRatioInfo(&n, &n), S_OK);
}
