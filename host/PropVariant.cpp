#include "host/PropVariant.h"

#include <cmath>
#include <cstdio>
#include <cwchar>
#include <cwctype>

#include "platform/Platform.h"

BSTR AllocBstr(const UString &text) { return BstrAlloc(text.data(), text.size()); }

UString GuidToString(const GUID &g) {
  wchar_t buf[40];
  std::swprintf(buf, 40, L"{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", static_cast<unsigned>(g.Data1),
                g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5],
                g.Data4[6], g.Data4[7]);
  return buf;
}

namespace {
// Proleptic Gregorian date of a day number counted from 1970-01-01 (negative before it).
void CivilFromDays(Int64 z, Int64 &year, unsigned &month, unsigned &day) {
  z += 719468;
  const Int64 era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  day = doy - (153 * mp + 2) / 5 + 1;
  month = mp < 10 ? mp + 3 : mp - 9;
  year = static_cast<Int64>(yoe) + era * 400 + (month <= 2 ? 1 : 0);
}

UString DateText(Int64 daysSince1970) {
  Int64 y;
  unsigned m, d;
  CivilFromDays(daysSince1970, y, m, d);
  wchar_t buf[40];
  // Years stay within 100..30828 for every value the callers let through.
  std::swprintf(buf, 40, L"%04d-%02u-%02u", static_cast<int>(y), m, d);
  return buf;
}

// FILETIME ticks (100 ns since 1601, UTC) as date and time; the system refuses values from 2^63 on.
bool FileTimeToText(UInt64 ft, UString &text) {
  if (ft > 0x7FFFFFFFFFFFFFFFull)
    return false;
  const UInt64 secs = ft / 10000000u;
  const unsigned rem = static_cast<unsigned>(secs % 86400);
  constexpr Int64 kDays1601To1970 = 134774;
  text = DateText(static_cast<Int64>(secs / 86400) - kDays1601To1970);
  wchar_t buf[20];
  std::swprintf(buf, 20, L" %02u:%02u:%02u", rem / 3600, (rem / 60) % 60, rem % 60);
  text += buf;
  return true;
}

// OLE dates the system accepts: years 100 to 9999 (both bounds exclusive).
constexpr double kMinOleDate = -657435.0;
constexpr double kMaxOleDate = 2958466.0;

// Rounds to the nearest 64-bit integer; false for NaN, infinities and values out of range.
bool RoundToInt64(double x, Int64 &out) {
  if (!(x > -9223372036854775808.0 && x < 9223372036854775808.0))
    return false;
  const double r = std::round(x);
  if (!(r > -9223372036854775808.0 && r < 9223372036854775808.0))
    return false;
  out = static_cast<Int64>(r);
  return true;
}
}  // namespace

HRESULT PropVariantToString(const PROPVARIANT &v, UString &text) {
  wchar_t buf[64];
  text.clear();
  switch (v.vt) {
  case VT_EMPTY:
  case VT_NULL:
    return S_OK;
  case VT_I1:
    text = std::to_wstring(static_cast<int>(v.cVal));
    return S_OK;
  case VT_UI1:
    text = std::to_wstring(v.bVal);
    return S_OK;
  case VT_I2:
    text = std::to_wstring(v.iVal);
    return S_OK;
  case VT_UI2:
    text = std::to_wstring(v.uiVal);
    return S_OK;
  case VT_I4:
  case VT_INT:
  case VT_ERROR:
    text = std::to_wstring(v.lVal);
    return S_OK;
  case VT_UI4:
  case VT_UINT:
    text = std::to_wstring(v.ulVal);
    return S_OK;
  case VT_I8:
  case VT_UI8:  // printed as a signed 64-bit number
    text = std::to_wstring(static_cast<Int64>(v.hVal.QuadPart));
    return S_OK;
  case VT_R4:
    std::swprintf(buf, 64, L"%g", static_cast<double>(v.fltVal));
    text = buf;
    return S_OK;
  case VT_R8:
    std::swprintf(buf, 64, L"%g", v.dblVal);
    text = buf;
    return S_OK;
  case VT_CY: {
    Int64 cy;
    std::memcpy(&cy, &v.hVal, sizeof cy);
    std::swprintf(buf, 64, L"%g", static_cast<double>(cy) / 10000.0);
    text = buf;
    return S_OK;
  }
  case VT_DATE: {
    // OLE date: days since 1899-12-30, the time as the fraction's absolute value (so -1.25 is a
    // morning of 1899-12-29); outside the system's range there is no date to show.
    if (!(v.date > kMinOleDate && v.date < kMaxOleDate))
      return E_INVALIDARG;
    constexpr Int64 kDays1899To1970 = 25569;
    text = DateText(static_cast<Int64>(std::trunc(v.date)) - kDays1899To1970);
    return S_OK;
  }
  case VT_BOOL:
    text = v.boolVal ? L"True" : L"False";
    return S_OK;
  case VT_BSTR:
    if (v.bstrVal)
      text.assign(v.bstrVal, BstrByteLength(v.bstrVal) / sizeof(wchar_t));
    return S_OK;
  case VT_LPWSTR:
    if (v.pwszVal)
      text = v.pwszVal;
    return S_OK;
  case VT_LPSTR:
    if (v.pszVal)
      text = PlatformMultiByteToUnicode(v.pszVal, std::strlen(v.pszVal), 0);
    return S_OK;
  case VT_FILETIME:
    if (!FileTimeToText((static_cast<UInt64>(v.filetime.dwHighDateTime) << 32) | v.filetime.dwLowDateTime, text))
      return E_INVALIDARG;  // the system's ERROR_INVALID_PARAMETER
    return S_OK;
  case VT_CLSID:
    if (v.puuid)
      text = GuidToString(*v.puuid);
    return S_OK;
  default:
    return E_INVALIDARG;
  }
}

static bool ParseInt64(const UString &s, Int64 &out) {
  size_t b = 0, e = s.size();
  while (b < e && std::iswspace(static_cast<wint_t>(s[b])))
    b++;
  while (e > b && std::iswspace(static_cast<wint_t>(s[e - 1])))
    e--;
  if (b == e)
    return false;
  bool neg = false;
  if (s[b] == L'+' || s[b] == L'-') {
    neg = s[b] == L'-';
    b++;
  }
  if (b == e)
    return false;
  UInt64 v = 0;
  const UInt64 limit = neg ? 0x8000000000000000ull : 0x7FFFFFFFFFFFFFFFull;
  for (size_t i = b; i < e; i++) {
    if (s[i] < L'0' || s[i] > L'9')
      return false;
    const unsigned d = static_cast<unsigned>(s[i] - L'0');
    if (v > (limit - d) / 10)
      return false;
    v = v * 10 + d;
  }
  out = neg ? static_cast<Int64>(0 - v) : static_cast<Int64>(v);
  return true;
}

HRESULT PropVariantToInt64(const PROPVARIANT &v, Int64 &number) {
  number = 0;
  switch (v.vt) {
  case VT_EMPTY:
  case VT_NULL:
    return S_OK;
  case VT_I1:
    number = v.cVal;
    return S_OK;
  case VT_UI1:
    number = v.bVal;
    return S_OK;
  case VT_I2:
    number = v.iVal;
    return S_OK;
  case VT_UI2:
    number = v.uiVal;
    return S_OK;
  case VT_I4:
  case VT_INT:
  case VT_ERROR:
    number = v.lVal;
    return S_OK;
  case VT_UI4:
  case VT_UINT:
    number = v.ulVal;
    return S_OK;
  case VT_I8:
  case VT_UI8:
    number = static_cast<Int64>(v.hVal.QuadPart);
    return S_OK;
  case VT_BOOL:
    number = v.boolVal ? 1 : 0;
    return S_OK;
  case VT_R4:
    return RoundToInt64(v.fltVal, number) ? S_OK : E_INVALIDARG;
  case VT_R8:
  case VT_DATE:
    return RoundToInt64(v.dblVal, number) ? S_OK : E_INVALIDARG;
  case VT_CY: {
    // Rounded half away from zero in integers: a double loses the low digits of large amounts.
    Int64 cy;
    std::memcpy(&cy, &v.hVal, sizeof cy);
    Int64 q = cy / 10000;
    const Int64 r = cy % 10000;
    if (r >= 5000)
      q++;
    else if (r <= -5000)
      q--;
    number = q;
    return S_OK;
  }
  case VT_BSTR:
  case VT_LPWSTR:
  case VT_LPSTR: {
    UString s;
    PropVariantToString(v, s);
    return ParseInt64(s, number) ? S_OK : E_INVALIDARG;
  }
  default:
    return E_INVALIDARG;
  }
}

HRESULT PropVariantClearValue(PROPVARIANT &v) {
  switch (v.vt) {
  case VT_BSTR:
    BstrFree(v.bstrVal);
    v.bstrVal = nullptr;
    v.vt = VT_EMPTY;
    return S_OK;
  case VT_EMPTY:
  case VT_NULL:
  case VT_I2:
  case VT_I4:
  case VT_R4:
  case VT_R8:
  case VT_ERROR:
  case VT_BOOL:
  case VT_I1:
  case VT_UI1:
  case VT_UI2:
  case VT_UI4:
  case VT_I8:
  case VT_UI8:
  case VT_FILETIME:
    v.vt = VT_EMPTY;
    v.wReserved1 = v.wReserved2 = v.wReserved3 = 0;
    v.uhVal.QuadPart = 0;
    return S_OK;
  default:
    return E_INVALIDARG;
  }
}

static void Reset(PROPVARIANT &v) {
  if (v.vt != VT_EMPTY)
    PropVariantClearValue(v);
  v.wReserved1 = v.wReserved2 = v.wReserved3 = 0;
}

void PropSetString(PROPVARIANT &v, const UString &text) {
  Reset(v);
  v.bstrVal = AllocBstr(text);
  v.vt = VT_BSTR;
}

void PropSetBytes(PROPVARIANT &v, const void *data, UInt32 size) {
  Reset(v);
  v.bstrVal = BstrAllocBytes(data, size);
  v.vt = VT_BSTR;
}

void PropSetStringIfAny(PROPVARIANT &v, const UString &text) {
  if (!text.empty())
    PropSetString(v, text);
}

void PropSetGuidIfAny(PROPVARIANT &v, const GUID &g) {
  static const GUID kNone{};
  if (std::memcmp(&g, &kNone, sizeof(GUID)) != 0)
    PropSetString(v, GuidToString(g));
}

void PropSetBool(PROPVARIANT &v, bool b) {
  Reset(v);
  v.boolVal = b ? VARIANT_TRUE : VARIANT_FALSE;
  v.vt = VT_BOOL;
}

void PropSetUInt32(PROPVARIANT &v, UInt32 x) {
  Reset(v);
  v.ulVal = x;
  v.vt = VT_UI4;
}

void PropSetUInt64(PROPVARIANT &v, UInt64 x) {
  Reset(v);
  v.uhVal.QuadPart = x;
  v.vt = VT_UI8;
}

void PropSetFileTime(PROPVARIANT &v, UInt64 ft) {
  Reset(v);
  v.filetime.dwLowDateTime = static_cast<DWORD>(ft);
  v.filetime.dwHighDateTime = static_cast<DWORD>(ft >> 32);
  v.vt = VT_FILETIME;
}
