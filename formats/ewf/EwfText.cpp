#include "formats/ewf/EwfText.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "host/Errors.h"
#include "platform/Platform.h"

// ---------------- Tvor7zEwfText ----------------

Tvor7zEwfText::Tvor7zEwfText(ISequentialInStream *stream, bool forceUnicode) : FStream(stream) {
  if (forceUnicode) {
    FEncoding = kUtf16LE;
    return;
  }
  Byte b0 = 0, b1 = 0;
  if (ReadByte(b0) != S_OK)
    return;
  if (ReadByte(b1) != S_OK) {
    UnreadChar(b0);
    return;
  }
  if (b0 == 0xFF && b1 == 0xFE) {
    FEncoding = kUtf16LE;
    return;
  }
  if (b0 == 0xFE && b1 == 0xFF) {
    FEncoding = kUtf16BE;
    return;
  }
  // Some writers leave the mark out of UTF-16LE text, whose first character (a digit, a letter, a
  // line end) has a zero high byte; single-byte text has no NUL there.
  if (b0 != 0 && b1 == 0) {
    FEncoding = kUtf16LE;
    UnreadChar(b0);
    return;
  }
  UnreadChar(b1);
  UnreadChar(b0);
}

HRESULT Tvor7zEwfText::ReadByte(Byte &b) {
  if (FBufferPos == FBufferLen) {
    if (FPendingError != S_OK)
      return std::exchange(FPendingError, S_OK);
    if (FEnd || !FStream)
      return S_FALSE;
    UInt32 got = 0;
    HRESULT hr = FStream->Read(FBuffer, sizeof(FBuffer), &got);
    if (got > sizeof(FBuffer))
      return E_FAIL;
    // A stream that answers S_FALSE to Read is broken: report it as a failure.
    if (hr == S_FALSE)
      hr = E_FAIL;
    FBufferPos = 0;
    FBufferLen = got;
    if (hr != S_OK) {
      if (got == 0)
        return hr;
      FPendingError = hr;
    } else if (got == 0) {
      FEnd = true;
      return S_FALSE;
    }
  }
  b = FBuffer[FBufferPos++];
  return S_OK;
}

HRESULT Tvor7zEwfText::ReadChar(wchar_t &c) {
  if (!FPushback.empty()) {
    c = FPushback.back();
    FPushback.pop_back();
    return S_OK;
  }
  Byte b0 = 0;
  HRESULT hr = ReadByte(b0);
  if (hr != S_OK)
    return hr;
  if (FEncoding == kSingleByte) {
    c = static_cast<wchar_t>(b0);
    return S_OK;
  }
  Byte b1 = 0;
  hr = ReadByte(b1);
  if (hr != S_OK)
    return hr;
  c = FEncoding == kUtf16LE ? static_cast<wchar_t>(b0 | (b1 << 8)) : static_cast<wchar_t>(b1 | (b0 << 8));
  return S_OK;
}

HRESULT Tvor7zEwfText::ReadLineChar(wchar_t &c) {
  const HRESULT hr = ReadChar(c);
  if (hr != S_OK)
    return hr;
  if (c == L'\r' || c == L'\n') {
    const wchar_t partner = c == L'\r' ? L'\n' : L'\r';
    wchar_t next = 0;
    if (ReadChar(next) == S_OK && next != partner)
      UnreadChar(next);
    c = L'\r';
  }
  return S_OK;
}

void Tvor7zEwfText::UnreadChar(wchar_t c) { FPushback.push_back(c); }

// Joins UTF-16 surrogate pairs where wchar_t holds whole code points.
static void JoinSurrogates(UString &line) {
  if constexpr (sizeof(wchar_t) == 4) {
    size_t out = 0;
    for (size_t i = 0; i < line.size(); i++) {
      const UInt32 hi = static_cast<UInt32>(line[i]);
      if (hi >= 0xD800 && hi <= 0xDBFF && i + 1 < line.size()) {
        const UInt32 lo = static_cast<UInt32>(line[i + 1]);
        if (lo >= 0xDC00 && lo <= 0xDFFF) {
          line[out++] = static_cast<wchar_t>(0x10000 + ((hi - 0xD800) << 10) + (lo - 0xDC00));
          i++;
          continue;
        }
      }
      line[out++] = line[i];
    }
    line.resize(out);
  }
}

bool Tvor7zEwfText::ReadLine(UString &line) {
  line.clear();
  bool any = false;
  for (;;) {
    wchar_t c = 0;
    const HRESULT hr = ReadLineChar(c);
    if (CheckHResult(hr) == S_FALSE)
      break;
    any = true;
    if (c == L'\r')
      break;
    if (line.size() >= kMaxLine)
      throw EEwfLineTooLong();
    line.push_back(c);
  }
  if (FEncoding != kSingleByte)
    JoinSurrogates(line);
  return !any;
}

// ---------------- helpers ----------------

static bool IsTrimmed(wchar_t c) { return static_cast<UInt32>(c) <= 0x20; }

static UString TrimField(const UString &s) {
  size_t b = 0, e = s.size();
  while (b < e && IsTrimmed(s[b]))
    b++;
  while (e > b && IsTrimmed(s[e - 1]))
    e--;
  return s.substr(b, e - b);
}

static Tvor7zEwfHeaderLine SplitFields(const UString &line) {
  Tvor7zEwfHeaderLine fields;
  if (line.empty())
    return fields;
  size_t start = 0;
  for (;;) {
    const size_t tab = line.find(L'\t', start);
    if (tab == UString::npos) {
      if (start < line.size())
        fields.push_back(TrimField(line.substr(start)));
      break;
    }
    fields.push_back(TrimField(line.substr(start, tab - start)));
    start = tab + 1;
  }
  return fields;
}

Tvor7zEwfHeaderLine SplitHeaderLine(Tvor7zEwfText &text) {
  UString line;
  if (text.ReadLine(line))
    return {};
  return SplitFields(line);
}

// Skips spaces and reads the digit run that follows; false when there is none. A value that does
// not fit a signed 32-bit integer reads as 0.
static bool ReadDateNumber(const UString &s, size_t &pos, Int32 &value) {
  while (pos < s.size() && s[pos] == L' ')
    pos++;
  const size_t start = pos;
  UInt64 v = 0;
  bool tooBig = false;
  while (pos < s.size() && s[pos] >= L'0' && s[pos] <= L'9') {
    if (!tooBig) {
      v = v * 10 + static_cast<UInt64>(s[pos] - L'0');
      if (v > 0x7FFFFFFF)
        tooBig = true;
    }
    pos++;
  }
  if (pos == start)
    return false;
  value = tooBig ? 0 : static_cast<Int32>(v);
  return true;
}

// FILETIME of the Unix epoch.
static constexpr UInt64 kUnixEpochFileTime = 0x019DB1DED53E8000ull;

UInt64 ParseHeaderDate(const UString &text) {
  size_t pos = 0;
  Int32 v = 0;
  if (!ReadDateNumber(text, pos, v) || v <= 0)
    return 0;
  if (v > 10000)
    return static_cast<UInt64>(v) * 10000000ull + kUnixEpochFileTime;
  Int32 month = 0, day = 0;
  if (!ReadDateNumber(text, pos, month) || !ReadDateNumber(text, pos, day))
    return 0;
  if (month < 1 || month > 12 || day < 1 || day > 31)
    return 0;
  UInt64 result = 0;
  if (!PlatformSystemTimeToFileTime(v, month, day, 0, 0, 0, 0, result))
    return 0;
  Int32 hour = 0, minute = 0, second = 0;
  if (ReadDateNumber(text, pos, hour) && ReadDateNumber(text, pos, minute) && ReadDateNumber(text, pos, second) &&
      hour >= 0 && hour <= 23 && minute >= 0 && minute <= 59 && second >= 0 && second <= 59) {
    UInt64 withTime = 0;
    if (PlatformSystemTimeToFileTime(v, month, day, hour, minute, second, 0, withTime))
      result = withTime;
  }
  return result;
}

void ApplyHeaderValues(const Tvor7zEwfHeaderLine &identifiers, const Tvor7zEwfHeaderLine &values,
                       Tvor7zEwfInfo &info) {
  const size_t n = std::min(identifiers.size(), values.size());
  for (size_t i = 0; i < n; i++) {
    const UString &id = identifiers[i];
    const UString &value = values[i];
    if (value.empty())
      continue;
    if (id == L"c")
      info.Case = value;
    else if (id == L"n")
      info.Evidence = value;
    else if (id == L"a")
      info.Description = value;
    else if (id == L"e")
      info.Examiner = value;
    else if (id == L"t")
      info.Notes = value;
    else if (id == L"m")
      info.DateAcquired = ParseHeaderDate(value);
    else if (id == L"u")
      info.SystemDate = ParseHeaderDate(value);
    else if (id == L"av")
      info.CreatorApp = value;
    else if (id == L"ov")
      info.AcquisitionPlatform = value;
    else if (id == L"md")
      info.DeviceModel = value;
    else if (id == L"sn")
      info.DeviceSerialNumber = value;
    else if (id == L"l")
      info.DeviceLabel = value;
  }
}

void FillMissingHeaderValues(Tvor7zEwfInfo &info, const Tvor7zEwfInfo &from) {
  for (auto field : {&Tvor7zEwfInfo::Case, &Tvor7zEwfInfo::Evidence, &Tvor7zEwfInfo::Description,
                     &Tvor7zEwfInfo::Examiner, &Tvor7zEwfInfo::Notes, &Tvor7zEwfInfo::CreatorApp,
                     &Tvor7zEwfInfo::AcquisitionPlatform, &Tvor7zEwfInfo::DeviceModel,
                     &Tvor7zEwfInfo::DeviceSerialNumber, &Tvor7zEwfInfo::DeviceLabel})
    if ((info.*field).empty())
      info.*field = from.*field;
  for (auto field : {&Tvor7zEwfInfo::DateAcquired, &Tvor7zEwfInfo::SystemDate})
    if (info.*field == 0)
      info.*field = from.*field;
}

bool ReadEwfTextTable(ISequentialInStream *stream, Tvor7zEwfHeaderLine &identifiers, Tvor7zEwfHeaderLine &values) {
  Tvor7zEwfText text(stream, false);
  UString count, category, idLine, valueLine;
  try {
    if (text.ReadLine(count) || text.ReadLine(category) || text.ReadLine(idLine) || text.ReadLine(valueLine))
      return false;
  } catch (const EEwfLineTooLong &) {
    return false;
  }
  if (count.empty() || category != L"main")
    return false;
  bool nonZero = false;
  for (wchar_t c : count) {
    if (c < L'0' || c > L'9')
      return false;
    nonZero = nonZero || c != L'0';
  }
  identifiers = SplitFields(idLine);
  values = SplitFields(valueLine);
  return nonZero && !identifiers.empty();
}

bool ReadEwf1HeaderText(ISequentialInStream *stream, Tvor7zEwfInfo &info) {
  Tvor7zEwfHeaderLine ids, vals;
  // Values may be fewer than their identifiers (empty ones at the end are not written), never more.
  if (!ReadEwfTextTable(stream, ids, vals) || vals.size() > ids.size())
    return false;
  ApplyHeaderValues(ids, vals, info);
  return true;
}
