// Opening container files as the host would (the named one opened, all of them offered through the
// volume callback) and reading back what the archive answers: flags, items, properties, extraction.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fixtures/TestCallbacks.h"
#include "platform/Platform.h"
#include "plugin/Archive.h"
#include "host/PropVariant.h"

inline UString HarnessWide(const std::string &s) { return UString(s.begin(), s.end()); }

// A path written with backslashes as the host gets it: folders joined with its own delimiter.
inline UString HostPath(const std::string &s) {
  UString p = HarnessWide(s);
  for (auto &c : p)
    if (c == L'\\')
      c = kPlatformPathDelimiter;
  return p;
}

template <class TArchive>
struct TOpenedArchive {
  ComPtr<TArchive> Archive;
  ComPtr<TTestOpenCallback> Callback;
  HRESULT Result = E_FAIL;

  UInt32 ErrorFlags() {
    PROPVARIANT v{};
    EXPECT_EQ(Archive->GetArchiveProperty(kpidErrorFlags, &v), S_OK);
    return v.vt == VT_UI4 ? v.ulVal : 0;
  }
  UInt32 Count() {
    UInt32 n = 0;
    EXPECT_EQ(Archive->GetNumberOfItems(&n), S_OK);
    return n;
  }
  PROPVARIANT Prop(UInt32 index, PROPID id) {
    PROPVARIANT v{};
    EXPECT_EQ(Archive->GetProperty(index, id, &v), S_OK);
    return v;
  }
  UString Text(UInt32 index, PROPID id) {
    PROPVARIANT v = Prop(index, id);
    UString s;
    if (v.vt == VT_BSTR)
      PropVariantToString(v, s);
    PropVariantClearValue(v);
    return s;
  }
  UString Path(UInt32 index) { return Text(index, kpidPath); }
  std::vector<UString> Paths() {
    std::vector<UString> r;
    for (UInt32 i = 0; i < Count(); i++)
      r.push_back(Path(i));
    return r;
  }
  // Extracts (or tests) all items; results and data by index.
  ComPtr<TTestExtractCallback> ExtractAll(bool testMode = false) {
    ComPtr<TTestExtractCallback> cb(new TTestExtractCallback());
    EXPECT_EQ(Archive->Extract(nullptr, 0xFFFFFFFFu, testMode ? 1 : 0, cb), S_OK);
    return cb;
  }
};

// Opens the file of `files` named `first` (the first one when empty). TFile has Name and Data.
// `codecs`, when given, is handed to the archive as the host's codec list first.
template <class TArchive, class TFile>
TOpenedArchive<TArchive> OpenArchive(const Tvor7zArchiveClass &archiveClass, const std::vector<TFile> &files,
                                     const std::string &first = "", ICompressCodecsInfo *codecs = nullptr) {
  TOpenedArchive<TArchive> o;
  o.Archive = static_cast<TArchive *>(archiveClass.Create());
  if (codecs)
    o.Archive->SetCompressCodecsInfo(codecs);
  const TFile *start = &files.front();
  for (const auto &f : files)
    if (f.Name == first)
      start = &f;
  o.Callback = new TTestOpenCallback(HarnessWide(start->Name));
  for (const auto &f : files)
    o.Callback->AddVolume(HarnessWide(f.Name), f.Data);
  ComPtr<TTestInStream> stream(new TTestInStream(start->Data));
  o.Result = o.Archive->Open(stream, nullptr, o.Callback);
  return o;
}

// Everything a sequential stream delivers.
inline std::vector<Byte> HarnessReadAll(ISequentialInStream *s) {
  std::vector<Byte> out;
  Byte buf[3001];
  for (UInt32 got = 0; s->Read(buf, sizeof(buf), &got) == S_OK && got > 0;)
    out.insert(out.end(), buf, buf + got);
  return out;
}
