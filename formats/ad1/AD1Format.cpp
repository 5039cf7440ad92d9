#include "formats/ad1/AD1Format.h"

#include <cstring>

#include "platform/Platform.h"

// The signature's terminating zero is part of the test, so 16 bytes are needed in the end.
UInt32 WINAPI IsArc_AD1(const Byte *p, size_t size) {
  if (size < 8)
    return 2;
  if (std::memcmp(p, "ADSEGMEN", 8) != 0)
    return 0;
  if (size < 16)
    return 2;
  return std::memcmp(p + 8, "TEDFILE\0", 8) == 0 ? 1 : 0;
}

namespace {
// The decimal number in text[from, from + count); false when a character there is no digit or the
// text ends before.
bool DecimalAt(const AString &text, size_t from, size_t count, int &value) {
  if (from + count > text.size())
    return false;
  value = 0;
  for (size_t i = from; i < from + count; i++) {
    if (text[i] < '0' || text[i] > '9')
      return false;
    value = value * 10 + (text[i] - '0');
  }
  return true;
}
}  // namespace

UInt64 AD1DateTimeToFileTime(const AString &text) {
  int year = 0, month = 0, day = 0;
  if (!DecimalAt(text, 0, 4, year) || !DecimalAt(text, 4, 2, month) || !DecimalAt(text, 6, 2, day))
    return 0;
  UInt64 date = 0;
  if (!PlatformSystemTimeToFileTime(year, month, day, 0, 0, 0, 0, date))
    return 0;
  if (text.size() < 9 || text[8] != 'T')
    return date;
  int hour = 0, minute = 0, second = 0;
  if (!DecimalAt(text, 9, 2, hour) || !DecimalAt(text, 11, 2, minute) || !DecimalAt(text, 13, 2, second))
    return date;
  UInt64 time = 0;
  if (!PlatformSystemTimeToFileTime(year, month, day, hour, minute, second, 0, time))
    return date;
  if (text.size() < 16 || text[15] != '.')
    return time;
  // Milliseconds: the fraction's first three digits, padded with zeros on the right.
  AString fraction = text.substr(16, 3);
  fraction.resize(3, '0');
  int millisecond = 0;
  if (!DecimalAt(fraction, 0, 3, millisecond))
    return time;
  return time + static_cast<UInt64>(millisecond) * 10000;
}
