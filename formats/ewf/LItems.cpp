#include "formats/ewf/LItems.h"

#include <algorithm>
#include <cwchar>

#include "hashers/Hashers.h"
#include "streams/InStreams.h"

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

// A letter that types an extent; the hexadecimal digits are never one, they begin its offset.
bool IsExtentTypeLetter(wchar_t c) { return (c >= L'G' && c <= L'Z') || (c >= L'g' && c <= L'z'); }

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
  UString offset = NextToken(value, pos);
  if (!offset.empty() && IsExtentTypeLetter(offset[0])) {
    item.ExtentType = offset[0];
    offset = offset.size() == 1 ? NextToken(value, pos) : offset.substr(1);
  }
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

TvorLEntryTreeResult ReadLEntryTree(Tvor7zEwfText &text, Tvor7zLItems &items, UInt64 nameBudget) {
  TvorLEntryTreeResult result;
  constexpr UInt32 kHeaders = 1u << kpv_ErrorFlags_HeadersError;
  try {
    UString line;
    while (!result.FoundEntry && !text.ReadLine(line))
      result.FoundEntry = line == L"entry";
    if (!result.FoundEntry || text.ReadLine(line)) {
      result.ErrorFlags |= kHeaders;
      return result;
    }
    const Tvor7zEwfHeaderLine identifiers = SplitHeaderLine(text);
    if (identifiers.size() < 5) {
      result.ErrorFlags |= kHeaders;
      return result;
    }
    TvorLEntryReader reader(items, text, identifiers, nameBudget);
    reader.ParseEntries(1, UString());
    result.ErrorFlags |= reader.ErrorFlags;
    if (!text.ReadLine(line) && !line.empty())
      result.ErrorFlags |= kHeaders;
  } catch (const EEwfLineTooLong &) {
    result.ErrorFlags |= kHeaders;
  }
  return result;
}

// ---- file data ----

namespace {
bool IsSparse(const Tvor7zLItem &item) { return (item.Attributes & kLItemSparse) != 0 || item.ExtentType == L'S'; }

// `size` bytes of `image` from `offset`; what lies past any position a stream can reach is as
// missing as what lies past the image's end.
ComPtr<IInStream> ImageRange(IInStream *image, UInt64 offset, UInt64 size) {
  constexpr UInt64 kMaxPosition = static_cast<UInt64>(INT64_MAX);
  ComPtr<Tvor7zLimitInStream> range(new Tvor7zLimitInStream());
  if (offset < kMaxPosition)
    range->AddSegment(image, offset, std::min(size, kMaxPosition - offset));
  return ComPtr<IInStream>(range.Get());
}
}  // namespace

ComPtr<IInStream> OpenLItemData(const Tvor7zLItem &item, IInStream *image, bool exactExtentOnly) {
  if (item.IsDir || item.Size < 0)
    return nullptr;
  const UInt64 size = static_cast<UInt64>(item.Size);
  if (size == 0)
    return ComPtr<IInStream>(new Tvor7zLimitInStream());
  // A duplicate's bytes lie where the duplicate says; a sparse file's single byte is then ignored.
  if (item.DuplicateOffset != -1)
    return ImageRange(image, static_cast<UInt64>(item.DuplicateOffset), size);
  if (item.DataOffset < 0)
    return nullptr;
  if (IsSparse(item) && item.DataSize == 1)
    return ComPtr<IInStream>(new Tvor7zRepeatInStream(image, static_cast<UInt64>(item.DataOffset), size));
  if (exactExtentOnly && item.DataSize != item.Size)
    return nullptr;
  return ImageRange(image, static_cast<UInt64>(item.DataOffset), size);
}

Int32 WriteLItemData(const Tvor7zLItem &item, Tvor7zBlockCacheStream2 *image, ISequentialOutStream *target,
                     Tvor7zProgress &progress, std::vector<Byte> &buffer) {
  using namespace NOperationResult;
  if (item.Size <= 0)
    return kOK;
  const ComPtr<IInStream> data = OpenLItemData(item, image, false);
  if (!data)
    return kHeadersError;
  constexpr size_t kBufferSize = 65536;
  if (buffer.size() < kBufferSize)
    buffer.resize(kBufferSize);
  const UInt64 size = static_cast<UInt64>(item.Size);
  UInt64 written = 0;
  image->TakeLostResult();
  CheckHResult(CopyStream(buffer.data(), kBufferSize, &progress, data, target, size, &written));
  // Chunks lost cost this file their bytes only: it is written whole, and the other files go on.
  Int32 result = image->TakeLostResult();
  if (written < size) {
    CheckHResult(WriteZerosWithProgress(&progress, target, size - written));
    result = WorseOperationResult(result, kUnexpectedEnd);
  }
  return result;
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
