#include "formats/aff/AffInfo.h"

#include <algorithm>
#include <limits>

#include "host/Errors.h"
#include "platform/Platform.h"
#include "streams/InStreams.h"

namespace {
// Table number of a run of pages no segment holds.
constexpr UInt32 kNoRun = 0xFFFFFFFFu;
// Most bytes the runs of a paged table may span together, in sizes of the files: beyond it the
// runs are written mixed with each other.
constexpr UInt64 kMaxWalkFactor = 4;

// Reads a run's entries by walking its segments again, from its first page segment to its last,
// through its own clone of the joined stream (pages are loaded from whichever thread needs them).
class TAffPagePager : public Tvor7zBlockPager {
public:
  TAffPagePager(ComPtr<Tvor7zLimitInStream> joined, std::vector<TAffPageRun> runs)
      : FJoined(std::move(joined)), FRuns(std::move(runs)) {
    for (Int32 i = 0; i < FJoined->GetSegmentCount(); i++) {
      UInt64 offset = 0, size = 0;
      FJoined->GetSegment(i, offset, size);
      FFileStarts.push_back(FSize);
      FSize += size;
    }
  }

  const std::vector<TAffPageRun> &GetRuns() const { return FRuns; }

  // Calls `onPage` for every page segment of `run`, in file order.
  template <class TOnPage> void Walk(const TAffPageRun &run, TOnPage &&onPage) {
    UInt64 start = run.FirstSegment;
    size_t file = static_cast<size_t>(std::upper_bound(FFileStarts.begin(), FFileStarts.end(), start) -
                                      FFileStarts.begin()) - 1;
    for (;;) {
      const UInt64 end = file + 1 < FFileStarts.size() ? FFileStarts[file + 1] : FSize;
      TAffSegmentHeader h;
      UInt32 errors = 0;
      const TAffSegmentRead read = NextAffSegment(FJoined, start, end, h, errors);
      if (read == TAffSegmentRead::kEnd && file + 1 < FFileStarts.size()) {
        // The run goes on in the next file of the set, after its signature.
        start = FFileStarts[++file] + NAffLayout::kSignatureSize;
        continue;
      }
      // The open walk read every segment up to the run's last: the files changed since.
      if (read != TAffSegmentRead::kOk)
        RaiseHResult(S_FALSE);
      TAffPageSegment page;
      if (GetAffPageSegment(h, end, page))
        onPage(page);
      if (h.Start >= run.LastSegment)
        return;
      start = h.End();
    }
  }

  void LoadPage(const Tvor7zBlockPage &page, Tvor7zBlock_ *blocks) override {
    // A page no segment holds reads as missing.
    for (UInt64 i = 0; i < page.Count; i++)
      blocks[i].Valid = false;
    if (page.Table == kNoRun)
      return;
    Walk(FRuns[page.Table], [&](const TAffPageSegment &p) {
      if (p.Number < page.First || p.Number - page.First >= page.Count)
        return;
      Tvor7zBlock_ &b = blocks[p.Number - page.First];  // a later segment of the same page replaces the earlier
      b.Offset = p.Offset;
      b.StoredSize = p.StoredSize;
      b.Flags = p.Flags;
      b.Valid = true;
    });
  }

private:
  const ComPtr<Tvor7zLimitInStream> FJoined;
  const std::vector<TAffPageRun> FRuns;
  std::vector<UInt64> FFileStarts;
  UInt64 FSize = 0;
};
}  // namespace

void Tvor7zAffInfo::AddPage(const TAffPageSegment &page, UInt64 segmentStart) {
  const auto [it, fresh] = FRuns.try_emplace(static_cast<UInt32>(page.Number / kPageBlocks));
  TAffPageRun &run = it->second;
  if (fresh) {
    run.Key = it->first;
    run.FirstSegment = segmentStart;
    run.Low = run.High = page.Number;
  } else {
    run.Ascending = run.Ascending && page.Number > run.Last;
    run.Low = std::min(run.Low, page.Number);
    run.High = std::max(run.High, page.Number);
  }
  run.Last = page.Number;
  run.LastSegment = segmentStart;
  run.MaxStoredSize = std::max(run.MaxStoredSize, page.StoredSize);
  run.Unknown = run.Unknown || NAffPage::IsUnknownAlgorithm(page.Flags);
}

bool Tvor7zAffInfo::LayPages(Tvor7zLimitInStream *joined) {
  // Every page that is really there takes a segment of its own, so a page number at or beyond
  // this bound leaves more missing pages than present ones: the number is damage, not a reason to
  // allocate billions of entries.
  const UInt64 physical = std::min<UInt64>(joined->Size() / kAffMinPageSegmentSize, std::numeric_limits<UInt32>::max());
  UInt64 image = std::numeric_limits<UInt64>::max();
  if (FTotalSize > 0 && FChunkSize > 0)
    image = FTotalSize / FChunkSize + (FTotalSize % FChunkSize != 0 ? 1 : 0);
  std::vector<TAffPageRun> runs;
  runs.reserve(FRuns.size());
  for (const auto &[key, run] : FRuns)
    runs.push_back(run);
  FRuns.clear();
  auto pager = std::make_unique<TAffPagePager>(joined->Clone(), std::move(runs));
  const std::vector<TAffPageRun> &kept = pager->GetRuns();

  // The table ends after the highest page kept. Page numbers run in blocks of a run, so only the
  // runs holding a bound need their pages read.
  bool ok = true;
  UInt64 count = 0;
  for (const TAffPageRun &run : kept) {
    if (run.High < std::min(image, physical)) {
      count = std::max<UInt64>(count, static_cast<UInt64>(run.High) + 1);
    } else if (run.Low >= image) {
      // past the end of the image: it would hold no byte of it
    } else if (run.Low >= physical && run.High < image) {
      ok = false;
    } else {
      pager->Walk(run, [&](const TAffPageSegment &p) {
        if (p.Number >= image)
          return;
        if (p.Number >= physical)
          ok = false;
        else
          count = std::max<UInt64>(count, static_cast<UInt64>(p.Number) + 1);
      });
    }
  }
  // Without an image size the image is every page entry times the page size.
  if (FTotalSize == 0)
    SetTotalSize(count * FChunkSize);

  // Reading a run walks every segment between its first and last page segment. Runs whose pages
  // are written mixed with each other's would be walked again and again: such files get a table
  // in memory instead, filled by one walk.
  const size_t runsKept = static_cast<size_t>(
      std::lower_bound(kept.begin(), kept.end(), (count + kPageBlocks - 1) / kPageBlocks,
                       [](const TAffPageRun &run, UInt64 key) { return run.Key < key; }) -
      kept.begin());
  UInt64 span = 0, from = std::numeric_limits<UInt64>::max(), to = 0;
  for (size_t r = 0; r < runsKept; r++) {
    span += kept[r].LastSegment - kept[r].FirstSegment;
    from = std::min(from, kept[r].FirstSegment);
    to = std::max(to, kept[r].LastSegment);
  }
  FMeta.RandomAccess = true;
  if (span > kMaxWalkFactor * joined->Size()) {
    LayResidentPages(count, [&](const auto &fill) { pager->Walk(TAffPageRun{0, from, to}, fill); });
    return ok;
  }

  // Every run up to the table's end becomes a page. A run with each page once, all kept, is known
  // from its sums; any other is read now to see which of its segments won.
  UInt32 most = 0;
  std::vector<Tvor7zBlock_> scratch;
  size_t r = 0;
  for (UInt64 first = 0; first < count; first += kPageBlocks) {
    const UInt64 n = std::min(kPageBlocks, count - first);
    while (r < kept.size() && kept[r].Key < first / kPageBlocks)
      r++;
    if (r == kept.size() || kept[r].Key != first / kPageBlocks) {
      PlaceEntries(first, n, kNoRun, 0);
      continue;
    }
    const TAffPageRun &run = kept[r];
    PlaceEntries(first, n, static_cast<UInt32>(r), 0);
    if (run.Ascending && run.High < first + n) {
      most = std::max(most, run.MaxStoredSize);
      FMeta.RandomAccess = FMeta.RandomAccess && !run.Unknown;
      continue;
    }
    scratch.assign(static_cast<size_t>(n), Tvor7zBlock_{});
    pager->LoadPage(Tvor7zBlockPage{first, n, static_cast<UInt32>(r), 0, true}, scratch.data());
    for (const Tvor7zBlock_ &b : scratch) {
      most = std::max(most, b.StoredSize);
      FMeta.RandomAccess = FMeta.RandomAccess && !NAffPage::IsUnknownAlgorithm(b.Flags);
    }
  }
  SetMaxStoredSize(most);
  SetPager(std::move(pager));
  return ok;
}

template <class TWalk> void Tvor7zAffInfo::LayResidentPages(UInt64 count, TWalk &&walk) {
  SetCapacity(count);
  for (UInt64 i = 0; i < count; i++) {
    Tvor7zBlock_ *b = Add();
    // 64-bit product: page index times page size passes 4 GiB on any large image.
    b->Position = i * FChunkSize;
    b->Size = static_cast<UInt32>(b->Position < FTotalSize ? std::min<UInt64>(FChunkSize, FTotalSize - b->Position) : 0);
  }
  walk([&](const TAffPageSegment &p) {
    if (p.Number >= count)
      return;
    Tvor7zBlock_ *b = EditBlock(p.Number);  // a later segment of the same page replaces the earlier
    b->Offset = p.Offset;
    b->StoredSize = p.StoredSize;
    b->Flags = p.Flags;
    b->Valid = true;
  });
  for (UInt64 i = 0; i < count; i++)
    FMeta.RandomAccess = FMeta.RandomAccess && !NAffPage::IsUnknownAlgorithm(EditBlock(i)->Flags);
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
