#include "formats/ewf/LItems.h"

#include <algorithm>
#include <cwchar>

#include "hashers/Hashers.h"

namespace {
// A whole decimal number; false for anything else.
bool ParseDecimal(const UString &text, UInt64 &value) {
  if (text.empty() || text.size() > 20)
    return false;
  UInt64 v = 0;
  for (wchar_t c : text) {
    if (c < L'0' || c > L'9')
      return false;
    const UInt64 next = v * 10 + static_cast<UInt64>(c - L'0');
    if (next / 10 != v)
      return false;
    v = next;
  }
  value = v;
  return true;
}

bool ParseHex(const UString &text, Int64 &value) {
  if (text.empty() || text.size() > 16)
    return false;
  UInt64 v = 0;
  for (wchar_t c : text) {
    int d;
    if (c >= L'0' && c <= L'9')
      d = c - L'0';
    else if (c >= L'a' && c <= L'f')
      d = c - L'a' + 10;
    else if (c >= L'A' && c <= L'F')
      d = c - L'A' + 10;
    else
      return false;
    v = v << 4 | static_cast<UInt64>(d);
  }
  // Offsets and sizes past the signed range cannot be in any image.
  if (v > static_cast<UInt64>(INT64_MAX))
    return false;
  value = static_cast<Int64>(v);
  return true;
}

// The next space-separated token from `pos` on.
UString NextToken(const UString &text, size_t &pos) {
  while (pos < text.size() && text[pos] == L' ')
    pos++;
  const size_t start = pos;
  while (pos < text.size() && text[pos] != L' ')
    pos++;
  return text.substr(start, pos - start);
}
}  // namespace

bool TvorLEntryReader::ParseEntries(UInt32 count, const UString &pathPrefix) {
  // Depth first without recursion: a text can nest entries deeper than any stack.
  struct TLevel {
    UInt32 Remaining;
    UString Prefix;
  };
  std::vector<TLevel> levels{{count, pathPrefix}};
  while (!levels.empty()) {
    if (levels.back().Remaining == 0) {
      levels.pop_back();
      continue;
    }
    levels.back().Remaining--;
    const Tvor7zEwfHeaderLine counts = SplitHeaderLine(FText);
    UInt64 children = 0;
    if (counts.size() != 2 || !ParseDecimal(counts[1], children)) {
      SetError(kpv_ErrorFlags_HeadersError);
      return false;
    }
    const Tvor7zEwfHeaderLine values = SplitHeaderLine(FText);
    if (values.size() < 5) {
      SetError(kpv_ErrorFlags_HeadersError);
      return false;
    }
    Tvor7zLItem &item = *FItems.AddItem();
    ApplyValues(item, values, levels.back().Prefix);
    // Every entry keeps its whole path, so deep nesting costs the square of its depth.
    if (item.Name.size() > FNameBudget) {
      SetError(kpv_ErrorFlags_HeadersError);
      return false;
    }
    FNameBudget -= item.Name.size();
    const UInt32 childCount = static_cast<UInt32>(children);
    if (childCount > 0) {
      item.IsDir = true;
      UString prefix = item.Name;
      if (prefix.empty() || prefix.back() != L'\\')
        prefix.push_back(L'\\');
      levels.push_back({childCount, std::move(prefix)});
    }
  }
  return true;
}

void TvorLEntryReader::ApplyValues(Tvor7zLItem &item, const Tvor7zEwfHeaderLine &values, const UString &pathPrefix) {
  const size_t n = std::min(FIdentifiers.size(), values.size());
  for (size_t i = 0; i < n; i++) {
    const UString &id = FIdentifiers[i];
    const UString &value = values[i];
    if (value.empty())
      continue;
    UInt64 number = 0;
    if (id == L"n") {
      item.Name = pathPrefix + value;
    } else if (id == L"snh") {
      const size_t space = value.find(L' ');
      item.ShortName = space == UString::npos ? UString() : value.substr(space + 1);
    } else if (id == L"ls") {
      item.Size = ParseDecimal(value, number) && number <= static_cast<UInt64>(INT64_MAX) ? static_cast<Int64>(number) : -1;
    } else if (id == L"cr") {
      item.CTime = ParseHeaderDate(value);
    } else if (id == L"wr") {
      item.MTime = ParseHeaderDate(value);
    } else if (id == L"ac") {
      item.ATime = ParseHeaderDate(value);
    } else if (id == L"mo") {
      item.ChangeTime = ParseHeaderDate(value);
    } else if (id == L"p") {
      item.IsDir = true;
    } else if (id == L"opr") {
      item.Attributes = ParseDecimal(value, number) ? static_cast<UInt32>(number) : 0;
    } else if (id == L"ha") {
      HexToDigest(value, item.MD5, sizeof(item.MD5));
    } else if (id == L"sha") {
      HexToDigest(value, item.SHA1, sizeof(item.SHA1));
    } else if (id == L"be") {
      ParseExtents(item, value);
    } else if (id == L"du") {
      item.DuplicateOffset = ParseDecimal(value, number) && number <= static_cast<UInt64>(INT64_MAX)
                                 ? static_cast<Int64>(number)
                                 : -1;
    }
  }
}

void TvorLEntryReader::ParseExtents(Tvor7zLItem &item, const UString &value) {
  size_t pos = 0;
  const UString first = NextToken(value, pos);
  if (first.empty()) {
    SetError(kpv_ErrorFlags_HeadersError);
    return;
  }
  if (first == L"0")
    return;
  if (first != L"1")
    SetError(kpv_ErrorFlags_HeadersError);
  const UString offset = NextToken(value, pos);
  if (!ParseHex(offset, item.DataOffset)) {
    item.DataOffset = -1;
    SetError(kpv_ErrorFlags_HeadersError);
    return;
  }
  const UString size = NextToken(value, pos);
  if (!ParseHex(size, item.DataSize)) {
    item.DataSize = -1;
    SetError(kpv_ErrorFlags_HeadersError);
  }
}

UString LItemAttributesText(UInt32 attributes) {
  static const struct {
    UInt32 Bit;
    const wchar_t *Name;
  } kNames[] = {{0x00000001, L"Read Only"}, {0x00000002, L"Hidden"},  {0x00000004, L"System"},
                {0x00000008, L"Archive"},   {0x00000080, L"Deleted"}, {0x00200000, L"Unallocated Clusters"},
                {0x02000000, L"Folder"}};
  UString text;
  for (unsigned b = 0; b < 32; b++) {
    const UInt32 bit = 1u << b;
    if (!(attributes & bit))
      continue;
    if (!text.empty())
      text += L", ";
    const auto *known = std::find_if(std::begin(kNames), std::end(kNames), [&](const auto &k) { return k.Bit == bit; });
    if (known != std::end(kNames)) {
      text += known->Name;
    } else {
      wchar_t hex[9];
      std::swprintf(hex, 9, L"%08X", bit);
      text += hex;
    }
  }
  return text;
}
