// Opening written EWF sets as the host would, and reading back what the archive answers.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "fixtures/EwfWriter.h"
#include "fixtures/TestCallbacks.h"
#include "formats/ewf/E01Archive.h"
#include "host/PropVariant.h"

inline const TArchiveClassOf<Tvor7zE01Archive> kE01Class;

inline UString EwfWide(const std::string &s) { return UString(s.begin(), s.end()); }

// Compressible runs mixed with noise, so chunks neither vanish nor stay the same size.
inline std::vector<Byte> EwfTestImage(size_t size, UInt32 seed = 1) {
  std::mt19937 rng(seed);
  std::vector<Byte> image(size);
  for (size_t i = 0; i < size; i++)
    image[i] = (i / 900) % 3 == 0 ? static_cast<Byte>(rng()) : static_cast<Byte>(i / 77);
  return image;
}

struct TE01Opened {
  ComPtr<Tvor7zE01Archive> Archive;
  ComPtr<TTestOpenCallback> Callback;
  HRESULT Result = E_FAIL;

  UInt32 ErrorFlags() {
    PROPVARIANT v{};
    EXPECT_EQ(Archive->GetArchiveProperty(kpidErrorFlags, &v), S_OK);
    return v.vt == VT_UI4 ? v.ulVal : 0xFFFFFFFFu;
  }
  UInt32 ItemCount() {
    UInt32 n = 0;
    EXPECT_EQ(Archive->GetNumberOfItems(&n), S_OK);
    return n;
  }
  UInt64 Size(UInt32 index = 0) {
    PROPVARIANT v{};
    EXPECT_EQ(Archive->GetProperty(index, kpidSize, &v), S_OK);
    EXPECT_EQ(v.vt, VT_UI8);
    return v.uhVal.QuadPart;
  }
  UString Path(UInt32 index = 0) {
    PROPVARIANT v{};
    EXPECT_EQ(Archive->GetProperty(index, kpidPath, &v), S_OK);
    UString s;
    if (v.vt == VT_BSTR)
      PropVariantToString(v, s);
    PropVariantClearValue(v);
    return s;
  }
  // Text of an archive property; "<empty>" for VT_EMPTY.
  UString ArchiveText(PROPID id) {
    PROPVARIANT v{};
    EXPECT_EQ(Archive->GetArchiveProperty(id, &v), S_OK);
    UString s = L"<empty>";
    if (v.vt == VT_BSTR)
      PropVariantToString(v, s);
    PropVariantClearValue(v);
    return s;
  }
  UInt64 ArchiveTime(PROPID id) {
    PROPVARIANT v{};
    EXPECT_EQ(Archive->GetArchiveProperty(id, &v), S_OK);
    if (v.vt != VT_FILETIME)
      return 0;
    return (static_cast<UInt64>(v.filetime.dwHighDateTime) << 32) | v.filetime.dwLowDateTime;
  }

  struct TExtract {
    HRESULT Result = E_FAIL;
    std::map<UInt32, TTestExtractCallback::TItem> Items;
    Int32 OpResult(UInt32 i = 0) const {
      auto it = Items.find(i);
      return it == Items.end() ? -1 : it->second.Result;
    }
    std::vector<Byte> Data(UInt32 i = 0) const {
      auto it = Items.find(i);
      return it == Items.end() ? std::vector<Byte>() : it->second.Data();
    }
  };
  TExtract Extract(bool testMode = false, std::vector<UInt32> indices = {0}, bool all = false) {
    ComPtr<TTestExtractCallback> cb(new TTestExtractCallback());
    TExtract r;
    r.Result = Archive->Extract(all ? nullptr : indices.data(), all ? 0xFFFFFFFFu : static_cast<UInt32>(indices.size()),
                                testMode ? 1 : 0, cb);
    r.Items = cb->Items;
    return r;
  }
};

// Opens the file named `first` (default: the first file) with all files offered as volumes.
inline TE01Opened OpenE01(const std::vector<TEwfSegmentFile> &files, const std::string &first = "",
                          bool offerVolumes = true) {
  TE01Opened o;
  o.Archive = static_cast<Tvor7zE01Archive *>(kE01Class.Create());
  const TEwfSegmentFile *start = &files.front();
  for (const auto &f : files)
    if (f.Name == first)
      start = &f;
  o.Callback = new TTestOpenCallback(EwfWide(start->Name));
  o.Callback->OfferVolumeCallback = offerVolumes;
  for (const auto &f : files)
    o.Callback->AddVolume(EwfWide(f.Name), f.Data);
  ComPtr<TTestInStream> stream(new TTestInStream(start->Data));
  o.Result = o.Archive->Open(stream, nullptr, o.Callback);
  return o;
}

inline std::vector<Byte> EwfReadAll(ISequentialInStream *s, UInt32 piece = 3000, size_t most = SIZE_MAX) {
  std::vector<Byte> out;
  std::vector<Byte> buf(piece);
  while (out.size() < most) {
    UInt32 got = 0;
    if (s->Read(buf.data(), piece, &got) != S_OK || got == 0)
      break;
    out.insert(out.end(), buf.begin(), buf.begin() + got);
  }
  return out;
}

constexpr UInt32 kFlagHeaders = 1u << kpv_ErrorFlags_HeadersError;
constexpr UInt32 kFlagEnd = 1u << kpv_ErrorFlags_UnexpectedEnd;
constexpr UInt32 kFlagCRC = 1u << kpv_ErrorFlags_CRCError;

// A piece of a real EnCase file from the shared fragments; empty when they are not there.
inline std::vector<Byte> EwfFragment(const char *name) {
  const std::filesystem::path here = std::filesystem::path(__FILE__).parent_path();
  for (const auto &dir : {here / "../../../shared/samples", std::filesystem::path("/work/shared/samples")}) {
    std::ifstream f(dir / "ewf-fragments/libyal-libewf-tests-data" / name, std::ios::binary);
    if (f)
      return std::vector<Byte>(std::istreambuf_iterator<char>(f), {});
  }
  return {};
}
