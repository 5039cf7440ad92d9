#include "streams/PropVariant.h"

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

static UString FileTimeToText(UInt64 ft) {
  // Calendar conversion of 100-ns ticks since 1601 (UTC).
  UInt64 secs = ft / 10000000u;
  Int64 days = static_cast<Int64>(secs / 86400);
  const unsigned rem = static_cast<unsigned>(secs % 86400);
  int year = 1601;
  for (;;) {
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    const int n = leap ? 366 : 365;
    if (days < n)
      break;
    days -= n;
    year++;
  }
  static const int dim[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  int month = 0;
  for (; month < 12; month++) {
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    const int n = dim[month] + (month == 1 && leap ? 1 : 0);
    if (days < n)
      break;
    days -= n;
  }
  wchar_t buf[40];
  std::swprintf(buf, 40, L"%04d-%02d-%02d %02u:%02u:%02u", year, month + 1, static_cast<int>(days) + 1, rem / 3600,
                (rem / 60) % 60, rem % 60);
  return buf;
}

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
    // OLE date: days since 1899-12-30.
    const double days = std::floor(v.date);
    const UInt64 ft = static_cast<UInt64>((days + 109205.0) * 86400.0) * 10000000u;
    text = FileTimeToText(ft).substr(0, 10);
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
    text = FileTimeToText((static_cast<UInt64>(v.filetime.dwHighDateTime) << 32) | v.filetime.dwLowDateTime);
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
    number = std::llround(v.fltVal);
    return S_OK;
  case VT_R8:
  case VT_DATE:
    number = std::llround(v.dblVal);
    return S_OK;
  case VT_CY: {
    Int64 cy;
    std::memcpy(&cy, &v.hVal, sizeof cy);
    number = std::llround(static_cast<double>(cy) / 10000.0);
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
