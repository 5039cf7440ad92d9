// The temporary stream: memory window, spill to the temporary file, rewrite, CopyTo and Clear.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "fixtures/TestStreams.h"
#include "host/Errors.h"
#include "streams/Progress.h"
#include "streams/TempStream.h"

namespace {

std::vector<Byte> Pattern(size_t n, unsigned seed = 1) {
  std::vector<Byte> v(n);
  std::mt19937 rng(seed);
  for (auto &b : v)
    b = static_cast<Byte>(rng());
  return v;
}

std::vector<Byte> ReadAll(Tvor7zTempStream *t) {
  EXPECT_EQ(t->Seek(0, STREAM_SEEK_SET, nullptr), S_OK);
  std::vector<Byte> out(t->Length() + 10);
  size_t got = 0;
  const HRESULT hr = ReadStream(t, out.data(), out.size(), &got);
  EXPECT_EQ(hr, S_FALSE);  // the read runs into the end
  out.resize(got);
  return out;
}

std::vector<Byte> Copied(Tvor7zTempStream *t) {
  ComPtr<TTestOutStream> out(new TTestOutStream);
  t->CopyTo(out);
  return out->Data;
}

// Points the temporary directory somewhere else for the lifetime of the object.
class TTempDirOverride {
public:
  explicit TTempDirOverride(const char *dir) {
    if (const char *old = std::getenv("TMPDIR")) {
      FHad = true;
      FOld = old;
    }
    setenv("TMPDIR", dir, 1);
  }
  ~TTempDirOverride() {
    if (FHad)
      setenv("TMPDIR", FOld.c_str(), 1);
    else
      unsetenv("TMPDIR");
  }

private:
  bool FHad = false;
  std::string FOld;
};

}  // namespace

TEST(TempStream, SmallDataStaysInMemoryLargeDataSpills) {
  ComPtr<Tvor7zTempStream> t(new Tvor7zTempStream(16));
  UInt32 done = 0;
  ASSERT_EQ(t->Write("0123456789", 10, &done), S_OK);
  EXPECT_EQ(done, 10u);
  EXPECT_FALSE(t->HasFile());

  ComPtr<Tvor7zTempStream> big(new Tvor7zTempStream(16));
  const auto data = Pattern(40);
  ASSERT_EQ(big->Write(data.data(), 40, &done), S_OK);
  EXPECT_EQ(done, 40u);
  EXPECT_TRUE(big->HasFile());
  EXPECT_EQ(big->Length(), 40u);
  EXPECT_EQ(ReadAll(big), data);
  EXPECT_EQ(Copied(big), data);

  UInt64 size = 0;
  EXPECT_EQ(big->GetSize(&size), S_OK);
  EXPECT_EQ(size, 40u);
  EXPECT_EQ(big->GetSize(nullptr), E_POINTER);
  EXPECT_EQ(big->SetSize(5), E_NOTIMPL);

  // Reading at or beyond the end is an empty success.
  ASSERT_EQ(big->Seek(0, STREAM_SEEK_END, nullptr), S_OK);
  Byte b;
  UInt32 got = 9;
  EXPECT_EQ(big->Read(&b, 1, &got), S_OK);
  EXPECT_EQ(got, 0u);
}

TEST(TempStream, SeekUsesTheLengthAndTheBaseRules) {
  ComPtr<Tvor7zTempStream> t(new Tvor7zTempStream(16));
  ASSERT_EQ(WriteStream(t, Pattern(30).data(), 30), S_OK);
  UInt64 pos = 0;
  EXPECT_EQ(t->Seek(-4, STREAM_SEEK_END, &pos), S_OK);
  EXPECT_EQ(pos, 26u);
  EXPECT_EQ(t->Seek(-31, STREAM_SEEK_END, &pos), HRESULT_ERROR_NEGATIVE_SEEK);
  EXPECT_EQ(pos, 0u);
  EXPECT_EQ(t->Seek(3, 9, &pos), HRESULT_ERROR_INVALID_FUNCTION);

  // The same object through both of its stream faces.
  ComPtr<IOutStream> out = ComPtr<Tvor7zTempStream>(t).As<IOutStream>(IID_IOutStream);
  ComPtr<ISequentialInStream> in = ComPtr<Tvor7zTempStream>(t).As<ISequentialInStream>(IID_ISequentialInStream);
  ASSERT_TRUE(out);
  ASSERT_TRUE(in);
  EXPECT_EQ(out->Seek(7, STREAM_SEEK_SET, &pos), S_OK);
  Byte b[2];
  UInt32 got = 0;
  EXPECT_EQ(in->Read(b, 2, &got), S_OK);
  EXPECT_EQ(b[0], Pattern(30)[7]);
}

TEST(TempStream, RewritingSpilledDataChangesWhatIsCopied) {
  ComPtr<Tvor7zTempStream> t(new Tvor7zTempStream(16));
  auto data = Pattern(40);
  ASSERT_EQ(WriteStream(t, data.data(), data.size()), S_OK);
  ASSERT_EQ(t->Seek(5, STREAM_SEEK_SET, nullptr), S_OK);
  ASSERT_EQ(WriteStream(t, "XYZ", 3), S_OK);
  std::memcpy(data.data() + 5, "XYZ", 3);
  // A write straddling the file part and the window.
  ASSERT_EQ(t->Seek(30, STREAM_SEEK_SET, nullptr), S_OK);
  ASSERT_EQ(WriteStream(t, "abcd", 4), S_OK);
  std::memcpy(data.data() + 30, "abcd", 4);
  EXPECT_EQ(t->Length(), 40u);
  EXPECT_EQ(Copied(t), data);
  EXPECT_EQ(ReadAll(t), data);
}

TEST(TempStream, GapsLeftBySeekingPastTheEndReadAsZeros) {
  ComPtr<Tvor7zTempStream> t(new Tvor7zTempStream(16));
  std::vector<Byte> expected = Pattern(20);
  ASSERT_EQ(WriteStream(t, expected.data(), expected.size()), S_OK);
  // The window now covers [16, 32) but still holds bytes of [0, 16) behind the length.
  ASSERT_EQ(t->Seek(60, STREAM_SEEK_SET, nullptr), S_OK);
  ASSERT_EQ(WriteStream(t, "!", 1), S_OK);
  expected.resize(60, 0);
  expected.push_back('!');
  EXPECT_EQ(ReadAll(t), expected);
  EXPECT_EQ(Copied(t), expected);

  // After Clear the kept window must not show the old content either.
  t->Clear();
  ASSERT_EQ(t->Seek(10, STREAM_SEEK_SET, nullptr), S_OK);
  ASSERT_EQ(WriteStream(t, "?", 1), S_OK);
  std::vector<Byte> fresh(10, 0);
  fresh.push_back('?');
  EXPECT_EQ(ReadAll(t), fresh);
}

TEST(TempStream, AFarSeekDoesNotWriteEveryWindowOnTheWay) {
  ComPtr<Tvor7zTempStream> t(new Tvor7zTempStream(16));
  ASSERT_EQ(WriteStream(t, "head", 4), S_OK);
  const UInt64 far = 1ull << 32;  // 2^28 windows: written one by one this would take very long
  ASSERT_EQ(t->Seek(static_cast<Int64>(far), STREAM_SEEK_SET, nullptr), S_OK);
  ASSERT_EQ(WriteStream(t, "tail", 4), S_OK);
  EXPECT_EQ(t->Length(), far + 4);
  for (const UInt64 at : {UInt64(0), UInt64(20), far - 40, far - 3}) {
    ASSERT_EQ(t->Seek(static_cast<Int64>(at), STREAM_SEEK_SET, nullptr), S_OK);
    Byte buf[7] = {};
    size_t got = 0;
    ASSERT_EQ(ReadStream(t, buf, sizeof buf, &got), S_OK) << at;
    std::vector<Byte> expected(7, 0);
    if (at == 0)
      std::memcpy(expected.data(), "head", 4);
    if (at == far - 3)
      std::memcpy(expected.data() + 3, "tail", 4);
    EXPECT_EQ(std::vector<Byte>(buf, buf + 7), expected) << at;
  }
}

TEST(TempStream, ClearDropsTheFileAndTheStreamIsReusable) {
  ComPtr<Tvor7zTempStream> t(new Tvor7zTempStream(16));
  ASSERT_EQ(WriteStream(t, Pattern(100).data(), 100), S_OK);
  ASSERT_TRUE(t->HasFile());
  t->Clear();
  EXPECT_FALSE(t->HasFile());
  EXPECT_EQ(t->Length(), 0u);
  UInt64 pos = 9;
  EXPECT_EQ(t->Seek(0, STREAM_SEEK_CUR, &pos), S_OK);
  EXPECT_EQ(pos, 0u);
  EXPECT_TRUE(Copied(t).empty());

  const auto again = Pattern(50, 2);
  ASSERT_EQ(WriteStream(t, again.data(), again.size()), S_OK);
  EXPECT_TRUE(t->HasFile());
  EXPECT_EQ(Copied(t), again);
}

TEST(TempStream, CopyToMovesTheFileInPiecesOfAtMost64KiB) {
  ComPtr<Tvor7zTempStream> t(new Tvor7zTempStream(4096));
  const auto data = Pattern(200000, 3);
  ASSERT_EQ(WriteStream(t, data.data(), data.size()), S_OK);
  ASSERT_EQ(t->Seek(123, STREAM_SEEK_SET, nullptr), S_OK);
  ComPtr<TTestOutStream> out(new TTestOutStream);
  out->MaxChunk = 1000;  // short writes are completed
  t->CopyTo(out);
  EXPECT_EQ(out->Data, data);
  for (UInt32 s : out->WriteSizes)
    EXPECT_LE(s, 65536u);
  UInt64 pos = 0;
  EXPECT_EQ(t->Seek(0, STREAM_SEEK_CUR, &pos), S_OK);
  EXPECT_EQ(pos, 123u) << "CopyTo leaves the position alone";
}

TEST(TempStream, CopyToFailuresRaise) {
  ComPtr<Tvor7zTempStream> t(new Tvor7zTempStream(16));
  ASSERT_EQ(WriteStream(t, Pattern(40).data(), 40), S_OK);
  ComPtr<TTestOutStream> failing(new TTestOutStream);
  failing->FailAfter = 10;
  failing->FailCode = HRESULT_ERROR_INVALID_DATA;
  try {
    t->CopyTo(failing);
    ADD_FAILURE() << "no exception";
  } catch (const EOleSysError &e) {
    EXPECT_EQ(e.Code(), HRESULT_ERROR_INVALID_DATA);
  }

  // A stream that takes nothing loses data: a failure, not the success code S_FALSE.
  class TRefusing : public TTestOutStream {
  public:
    HRESULT STDMETHODCALLTYPE Write(const void *, UInt32, UInt32 *processed) noexcept override {
      *processed = 0;
      return S_OK;
    }
  };
  ComPtr<TRefusing> refusing(new TRefusing);
  try {
    t->CopyTo(refusing);
    ADD_FAILURE() << "no exception";
  } catch (const EOleSysError &e) {
    EXPECT_EQ(e.Code(), E_FAIL);
  }
  EXPECT_THROW(t->CopyTo(nullptr), EInvalidPointer);
}

TEST(TempStream, WithoutATemporaryDirectoryTheWindowStillWorks) {
  ComPtr<Tvor7zTempStream> t(new Tvor7zTempStream(16));
  TTempDirOverride dir("/nonexistent/vor7z-test-dir");
  const auto data = Pattern(30);
  UInt32 done = 0;
  const HRESULT hr = t->Write(data.data(), 30, &done);
  EXPECT_LT(hr, 0);
  EXPECT_EQ(done, 16u) << "the window part was taken";
  EXPECT_FALSE(t->HasFile());
  EXPECT_EQ(ReadAll(t), std::vector<Byte>(data.begin(), data.begin() + 16));
}

// Random writes, seeks and reads against a plain vector, across several window spills.
TEST(TempStream, BehavesLikeAByteVector) {
  std::mt19937 rng(11);
  ComPtr<Tvor7zTempStream> t(new Tvor7zTempStream(64));
  std::vector<Byte> model;
  UInt64 pos = 0;
  for (int step = 0; step < 2000; step++) {
    switch (rng() % 3) {
    case 0: {
      const auto chunk = Pattern(rng() % 150, static_cast<unsigned>(step));
      UInt32 done = 0;
      ASSERT_EQ(t->Write(chunk.data(), static_cast<UInt32>(chunk.size()), &done), S_OK);
      ASSERT_EQ(done, chunk.size());
      if (model.size() < pos + chunk.size())
        model.resize(pos + chunk.size(), 0);
      std::copy(chunk.begin(), chunk.end(), model.begin() + static_cast<ptrdiff_t>(pos));
      pos += chunk.size();
      break;
    }
    case 1: {
      pos = rng() % (model.size() + 100);
      ASSERT_EQ(t->Seek(static_cast<Int64>(pos), STREAM_SEEK_SET, nullptr), S_OK);
      break;
    }
    default: {
      std::vector<Byte> buf(rng() % 200);
      UInt32 got = 0;
      ASSERT_EQ(t->Read(buf.data(), static_cast<UInt32>(buf.size()), &got), S_OK);
      const size_t avail = pos < model.size() ? model.size() - pos : 0;
      ASSERT_EQ(got, std::min(buf.size(), avail)) << "step " << step;
      ASSERT_TRUE(std::equal(buf.begin(), buf.begin() + got, model.begin() + static_cast<ptrdiff_t>(pos)))
          << "step " << step;
      pos += got;
    }
    }
    ASSERT_EQ(t->Length(), model.size());
  }
  EXPECT_EQ(Copied(t), model);
}
