#include "formats/aff/AffInfo.h"

#include <algorithm>
#include <limits>

#include "platform/Platform.h"

void Tvor7zAffInfo::AddPage(UInt32 number, UInt64 offset, UInt32 storedSize, UInt32 flags) {
  FPages.push_back(TPage{number, offset, storedSize, flags});
}

bool Tvor7zAffInfo::LayPages(UInt64 joinedSize) {
  // Every page that is really there takes a segment of its own, so a page number at or beyond
  // this bound leaves more missing pages than present ones: the number is damage, not a reason to
  // allocate billions of entries.
  const UInt64 physical = std::min<UInt64>(joinedSize / kAffMinPageSegmentSize, std::numeric_limits<UInt32>::max());
  UInt64 image = std::numeric_limits<UInt64>::max();
  if (FTotalSize > 0 && FChunkSize > 0)
    image = FTotalSize / FChunkSize + (FTotalSize % FChunkSize != 0 ? 1 : 0);
  bool ok = true;
  UInt64 count = 0;
  for (const TPage &p : FPages) {
    if (p.Number >= image)
      continue;  // past the end of the image: it would hold no byte of it
    if (p.Number >= physical) {
      ok = false;
      continue;
    }
    count = std::max<UInt64>(count, static_cast<UInt64>(p.Number) + 1);
  }
  SetCapacity(static_cast<UInt32>(count));
  while (GetCount() < count)
    Add();
  for (const TPage &p : FPages) {
    if (p.Number >= image || p.Number >= physical)
      continue;
    Tvor7zBlock_ *b = EditBlock(p.Number);  // a later segment of the same page replaces the earlier
    b->Offset = p.Offset;
    b->StoredSize = p.StoredSize;
    b->Flags = p.Flags;
    b->Valid = true;
  }
  FPages.clear();
  FPages.shrink_to_fit();
  return ok;
}

void Tvor7zAffInfo::SetPagePositions() {
  FMeta.RandomAccess = true;
  UInt64 remaining = FTotalSize;
  for (UInt32 i = 0; i < FCount; i++) {
    Tvor7zBlock_ &b = FBlocks[i];
    // 64-bit product: page index times page size passes 4 GiB on any large image.
    b.Position = static_cast<UInt64>(i) * FChunkSize;
    // Every page kind this reads decodes on its own (bzip2 and LZMA through the host's decoders);
    // an algorithm nothing decodes leaves the image to extraction, which reports it.
    const UInt32 algorithm = NAffPage::Algorithm(b.Flags);
    if (NAffPage::IsCompressed(b.Flags) && algorithm != NAffPage::kZlib && algorithm != NAffPage::kZero &&
        algorithm != NAffPage::kBZip2 && algorithm != NAffPage::kLzma)
      FMeta.RandomAccess = false;
    const UInt32 size = static_cast<UInt32>(std::min<UInt64>(FChunkSize, remaining));
    b.Size = size;
    remaining -= size;
    b.Valid = true;
  }
}

bool ParseAffPageName(std::string_view name, UInt32 &number) {
  if (name.size() <= 4 || name.substr(0, 4) != "page")
    return false;
  UInt64 n = 0;
  for (const char c : name.substr(4)) {
    if (c < '0' || c > '9')
      return false;
    n = n * 10 + static_cast<UInt64>(c - '0');
    if (n > std::numeric_limits<UInt32>::max())
      return false;
  }
  number = static_cast<UInt32>(n);
  return true;
}

namespace {
// Reads a run of ASCII digits at `pos`: its value, or -1 when there is none. Long runs saturate.
int ReadRun(std::string_view text, size_t &pos) {
  const size_t start = pos;
  Int64 v = 0;
  while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
    v = std::min<Int64>(v * 10 + (text[pos] - '0'), std::numeric_limits<int>::max());
    pos++;
  }
  return pos == start ? -1 : static_cast<int>(v);
}

bool Expect(std::string_view text, size_t &pos, char c) {
  if (pos < text.size() && text[pos] == c) {
    pos++;
    return true;
  }
  return false;
}
}  // namespace

UInt64 ParseAffDate(std::string_view text) {
  size_t pos = 0;
  const int year = ReadRun(text, pos);
  if (year < 1980 || !Expect(text, pos, '-'))
    return 0;
  const int month = ReadRun(text, pos);
  if (month < 1 || month > 12 || !Expect(text, pos, '-'))
    return 0;
  const int day = ReadRun(text, pos);
  if (day < 1 || day > 31)
    return 0;
  UInt64 date = 0;
  if (!PlatformSystemTimeToFileTime(year, month, day, 0, 0, 0, 0, date))
    return 0;
  if (!Expect(text, pos, ' '))
    return date;
  const int hour = ReadRun(text, pos);
  if (hour < 0 || hour > 23 || !Expect(text, pos, ':'))
    return date;
  const int minute = ReadRun(text, pos);
  if (minute < 0 || minute > 59 || !Expect(text, pos, ':'))
    return date;
  const int second = ReadRun(text, pos);
  if (second < 0 || second > 59)
    return date;
  UInt64 moment = 0;
  if (!PlatformSystemTimeToFileTime(year, month, day, hour, minute, second, 0, moment))
    return date;
  return moment;
}

void TAffSetName::ParseSetName(const UString &name) {
  const size_t slash = name.find_last_of(L"/\\");
  const size_t start = slash == UString::npos ? 0 : slash + 1;
  const size_t dot = name.rfind(L'.');
  if (dot != UString::npos && dot >= start) {
    Base = name.substr(0, dot);
    Ext = name.substr(dot);
  } else {
    Base = name;
    Ext.clear();
  }
  Width = 0;
  First = 0;
  if (Base.size() <= start)
    return;
  const wchar_t last = Base.back();
  if (last != L'0' && last != L'1')
    return;
  Width = 1;
  First = last == L'1' ? 1 : 0;
  size_t i = Base.size() - 1;
  while (i > start && Base[i - 1] == L'0') {
    Width++;
    i--;
  }
  Base.resize(i);
}

UString TAffSetName::GetSetFileName(UInt32 k) const {
  UString digits = std::to_wstring(static_cast<UInt64>(k) + First);
  if (digits.size() < Width)
    digits.insert(0, Width - digits.size(), L'0');
  return Base + digits + Ext;
}
