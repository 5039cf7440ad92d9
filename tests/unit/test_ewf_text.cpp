// EWF header text: encodings, line ends, field splitting, the date forms and the case identifiers.
#include <gtest/gtest.h>

#include "fixtures/EwfWriter.h"
#include "fixtures/TestStreams.h"
#include "formats/ewf/EwfText.h"
#include "platform/Platform.h"
#include "host/Errors.h"

namespace {

ComPtr<TTestInStream> Stream(const std::vector<Byte> &data) { return ComPtr<TTestInStream>(new TTestInStream(data)); }

std::vector<UString> Lines(const std::vector<Byte> &data, bool forceUnicode = false) {
  auto s = Stream(data);
  Tvor7zEwfText text(s, forceUnicode);
  std::vector<UString> lines;
  UString line;
  while (!text.ReadLine(line))
    lines.push_back(line);
  return lines;
}

UInt64 FileTime(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
  UInt64 ft = 0;
  EXPECT_TRUE(PlatformSystemTimeToFileTime(y, mo, d, h, mi, s, 0, ft));
  return ft;
}

Tvor7zEwfInfo Parse(const std::vector<Byte> &text) {
  Tvor7zEwfInfo info;
  auto s = Stream(text);
  ReadEwf1HeaderText(s, info);
  return info;
}

const std::u16string kHeader16 = u"1\nmain\nc\tn\tm\ncase1\tev7\t2019 3 4 5 6 7\n";

} // namespace

TEST(EwfText, HeaderInEveryEncodingGivesTheSameCase) {
  const auto expected = FileTime(2019, 3, 4, 5, 6, 7);
  const std::vector<std::vector<Byte>> texts = {
      EwfText("1\nmain\nc\tn\tm\ncase1\tev7\t2019 3 4 5 6 7\n"),
      EwfText16(kHeader16, false),
      EwfText16(kHeader16, true),
  };
  for (const auto &t : texts) {
    const auto info = Parse(t);
    EXPECT_EQ(info.Case, L"case1");
    EXPECT_EQ(info.Evidence, L"ev7");
    EXPECT_EQ(info.DateAcquired, expected);
  }
  // UTF-16LE without a mark is known by the zero high byte of its first character; other text
  // without one is single-byte.
  EXPECT_EQ(Parse(EwfText16(kHeader16, false, false)).Case, L"case1");
  EXPECT_EQ(Lines(EwfText16(u"\nA", false, false)), (std::vector<UString>{L"", L"A"}));
  EXPECT_EQ(Lines({'A', 0xE9, 0}), (std::vector<UString>{UString(L"A\u00E9") + L'\0'}));
  // Forcing UTF-16 reads unmarked text.
  auto s = Stream(EwfText16(u"ab", false, false));
  Tvor7zEwfText forced(s, true);
  UString line;
  EXPECT_FALSE(forced.ReadLine(line));
  EXPECT_EQ(line, L"ab");
}

TEST(EwfText, HeaderNeedsCountAndMainCategory) {
  EXPECT_EQ(Parse(EwfText("0\nmain\nc\nx\n")).Case, L"");      // count 0
  EXPECT_EQ(Parse(EwfText("1a\nmain\nc\nx\n")).Case, L"");     // not only digits
  EXPECT_EQ(Parse(EwfText("\nmain\nc\nx\n")).Case, L"");       // empty count
  EXPECT_EQ(Parse(EwfText("3\nsrce\nc\nx\n")).Case, L"");      // other category first
  EXPECT_EQ(Parse(EwfText("")).Case, L"");
  EXPECT_EQ(Parse(EwfText("0003\nmain\nc\nx\n")).Case, L"x");  // leading zeros are fine
  // All identifiers, and the ones of the table only.
  const auto info = Parse(EwfText("1\r\nmain\r\nc\tn\ta\te\tt\tav\tov\tmd\tsn\tl\tu\tzz\r\n"
                                  "C\tN\tA\tE\tT\tAV\tOV\tMD\tSN\tL\t1546300800\tignored\r\n"));
  EXPECT_EQ(info.Case, L"C");
  EXPECT_EQ(info.Evidence, L"N");
  EXPECT_EQ(info.Description, L"A");
  EXPECT_EQ(info.Examiner, L"E");
  EXPECT_EQ(info.Notes, L"T");
  EXPECT_EQ(info.CreatorApp, L"AV");
  EXPECT_EQ(info.AcquisitionPlatform, L"OV");
  EXPECT_EQ(info.DeviceModel, L"MD");
  EXPECT_EQ(info.DeviceSerialNumber, L"SN");
  EXPECT_EQ(info.DeviceLabel, L"L");
  EXPECT_EQ(info.SystemDate, FileTime(2019, 1, 1));
}

// A text that is no header is reported, and none of its values is taken, however far it got.
TEST(EwfText, TextThatIsNoHeaderLeavesTheValuesAlone) {
  const std::string longLine(Tvor7zEwfText::kMaxLine + 1, 'x');
  const std::pair<const char *, std::string> bad[] = {
      {"empty", ""},
      {"count 0", "0\nmain\nc\nx\n"},
      {"other category first", "3\nsrce\nc\nx\n"},
      {"no identifiers", "1\nmain\n"},
      {"empty identifiers line", "1\nmain\n\nx\n"},
      {"no values line", "1\nmain\nc\tn\n"},
      {"more values than identifiers", "1\nmain\nc\tn\nx\ty\tz\n"},
      {"over-long value", "1\nmain\nc\tt\nx\t" + longLine + "\n"},
      {"over-long identifiers", "1\nmain\n" + longLine + "\nx\n"},
  };
  for (const auto &[name, text] : bad) {
    Tvor7zEwfInfo info;
    info.Case = L"before";
    auto s = Stream(EwfText(text));
    EXPECT_FALSE(ReadEwf1HeaderText(s, info)) << name;
    EXPECT_EQ(info.Case, L"before") << name;
    EXPECT_EQ(info.Notes, L"") << name;
  }
  // Fewer values than identifiers (empty ones at the end are not written), an empty values line and
  // a last line without its line end are all a header.
  for (const char *text : {"1\nmain\nc\tn\tt\nx\n", "1\nmain\nc\n\n", "1\nmain\nc\tn\nx\ty"}) {
    Tvor7zEwfInfo info;
    auto s = Stream(EwfText(text));
    EXPECT_TRUE(ReadEwf1HeaderText(s, info)) << text;
  }
}

TEST(EwfText, LineEnds) {
  EXPECT_EQ(Lines(EwfText("a\nb\rc\r\nd\n\re")), (std::vector<UString>{L"a", L"b", L"c", L"d", L"e"}));
  // CR CR LF: the first CR ends "a", CR LF ends an empty line.
  EXPECT_EQ(Lines(EwfText("a\r\r\nb")), (std::vector<UString>{L"a", L"", L"b"}));
  EXPECT_EQ(Lines(EwfText("\n\n")), (std::vector<UString>{L"", L""}));
  EXPECT_TRUE(Lines(EwfText("")).empty());
  EXPECT_EQ(Lines(EwfText16(u"x\r\ny", true)), (std::vector<UString>{L"x", L"y"}));
}

TEST(EwfText, CharactersAndPushback) {
  // One byte alone: read as a single-byte text.
  EXPECT_EQ(Lines(EwfText("7")), (std::vector<UString>{L"7"}));
  // An odd byte at the end of UTF-16 text is not a character.
  auto data = EwfText16(u"ab", false);
  data.push_back('c');
  auto s = Stream(data);
  Tvor7zEwfText text(s, false);
  EXPECT_EQ(text.Encoding(), Tvor7zEwfText::kUtf16LE);
  wchar_t c = 0;
  EXPECT_EQ(text.ReadChar(c), S_OK);
  EXPECT_EQ(c, L'a');
  text.UnreadChar(L'y');
  text.UnreadChar(L'x');
  EXPECT_EQ(text.ReadChar(c), S_OK);
  EXPECT_EQ(c, L'x');
  EXPECT_EQ(text.ReadChar(c), S_OK);
  EXPECT_EQ(c, L'y');
  EXPECT_EQ(text.ReadChar(c), S_OK);
  EXPECT_EQ(c, L'b');
  EXPECT_EQ(text.ReadChar(c), S_FALSE);
  // Bytes above 0x7F are character codes as they are, without a code page.
  EXPECT_EQ(Lines({0xE9, 0xFF}), (std::vector<UString>{UString(1, L'\xE9') + UString(1, L'\xFF')}));
}

TEST(EwfText, StreamFailuresSurface) {
  auto s = Stream(EwfText("abcdef\n"));
  s->ReadFailAt = 2;
  s->ReadFailCode = E_OUTOFMEMORY;
  Tvor7zEwfText text(s, false);
  UString line;
  try {
    text.ReadLine(line);
    ADD_FAILURE() << "no exception";
  } catch (const EOleSysError &e) {
    EXPECT_EQ(e.Code(), E_OUTOFMEMORY);
  }
}

TEST(EwfText, LongestLine) {
  std::string ok(Tvor7zEwfText::kMaxLine, 'x');
  auto lines = Lines(EwfText(ok + "\nend"));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].size(), Tvor7zEwfText::kMaxLine);
  // A longer line is damage of the text, told apart from a failing stream; let pass, it still
  // carries 0x8007000D.
  try {
    Lines(EwfText(ok + "x\n"));
    ADD_FAILURE() << "no exception";
  } catch (const EEwfLineTooLong &e) {
    EXPECT_EQ(e.Code(), HRESULT_ERROR_INVALID_DATA);
  }
}

TEST(EwfText, SplitKeepsInnerEmptyFields) {
  auto s = Stream(EwfText("a\t\tb\t\n\t x \t\n\n c \nd\t \n"));
  Tvor7zEwfText text(s, false);
  EXPECT_EQ(SplitHeaderLine(text), (Tvor7zEwfHeaderLine{L"a", L"", L"b"}));  // no field after the final TAB
  EXPECT_EQ(SplitHeaderLine(text), (Tvor7zEwfHeaderLine{L"", L"x"}));
  EXPECT_TRUE(SplitHeaderLine(text).empty());  // empty line
  EXPECT_EQ(SplitHeaderLine(text), (Tvor7zEwfHeaderLine{L"c"}));
  EXPECT_EQ(SplitHeaderLine(text), (Tvor7zEwfHeaderLine{L"d", L""}));
  EXPECT_TRUE(SplitHeaderLine(text).empty());  // end of data
}

TEST(EwfText, ValuesPairByPosition) {
  Tvor7zEwfInfo info;
  info.Examiner = L"kept";
  // An empty identifier field still takes its position; a missing or empty value changes nothing.
  ApplyHeaderValues({L"c", L"", L"n", L"e", L"a"}, {L"case", L"skipped", L"ev", L""}, info);
  EXPECT_EQ(info.Case, L"case");
  EXPECT_EQ(info.Evidence, L"ev");
  EXPECT_EQ(info.Examiner, L"kept");
  EXPECT_EQ(info.Description, L"");
  // Identifiers are case-sensitive; a later one for the same field wins.
  ApplyHeaderValues({L"C", L"c", L"c"}, {L"upper", L"first", L"second"}, info);
  EXPECT_EQ(info.Case, L"second");
}

TEST(EwfText, Dates) {
  EXPECT_EQ(ParseHeaderDate(L"2019 3 4 5 6 7"), FileTime(2019, 3, 4, 5, 6, 7));
  EXPECT_EQ(ParseHeaderDate(L"  2019  12 31   23 59 59"), FileTime(2019, 12, 31, 23, 59, 59));
  EXPECT_EQ(ParseHeaderDate(L"1546300800"), FileTime(2019, 1, 1));  // Unix time
  EXPECT_EQ(ParseHeaderDate(L"10001"), 10001ull * 10000000ull + 0x019DB1DED53E8000ull);
  // A partial or out-of-range time leaves the date alone.
  EXPECT_EQ(ParseHeaderDate(L"2019 3 4 5 6"), FileTime(2019, 3, 4));
  EXPECT_EQ(ParseHeaderDate(L"2019 3 4 24 0 0"), FileTime(2019, 3, 4));
  EXPECT_EQ(ParseHeaderDate(L"2019 3 4 5 60 0"), FileTime(2019, 3, 4));
  // Dates that do not exist or do not parse.
  EXPECT_EQ(ParseHeaderDate(L"2019 2 30"), 0u);
  EXPECT_EQ(ParseHeaderDate(L"2019 13 1"), 0u);
  EXPECT_EQ(ParseHeaderDate(L"2019 1 32"), 0u);
  EXPECT_EQ(ParseHeaderDate(L"2019 0 1"), 0u);
  EXPECT_EQ(ParseHeaderDate(L"2019 3"), 0u);
  EXPECT_EQ(ParseHeaderDate(L"2019-03-04"), 0u);
  EXPECT_EQ(ParseHeaderDate(L"1500 1 1"), 0u);  // before 1601
  EXPECT_EQ(ParseHeaderDate(L""), 0u);
  EXPECT_EQ(ParseHeaderDate(L"   "), 0u);
  EXPECT_EQ(ParseHeaderDate(L"0"), 0u);
  EXPECT_EQ(ParseHeaderDate(L"x2019 1 1"), 0u);
  EXPECT_EQ(ParseHeaderDate(L"2147483648"), 0u);  // does not fit a signed 32-bit integer
  EXPECT_EQ(ParseHeaderDate(L"99999999999999999999999"), 0u);
  EXPECT_EQ(ParseHeaderDate(L"2147483647"), 2147483647ull * 10000000ull + 0x019DB1DED53E8000ull);
}

TEST(EwfText, SurrogatePairsBecomeOneCharacterWhereWideCharactersHoldThem) {
  const auto lines = Lines(EwfText16(u"a\U0001F600b", false));
  ASSERT_EQ(lines.size(), 1u);
  if constexpr (sizeof(wchar_t) == 4)
    EXPECT_EQ(lines[0], UString(L"a") + UString(1, static_cast<wchar_t>(0x1F600)) + L"b");
  else
    EXPECT_EQ(lines[0].size(), 4u);
}

// The old header only fills what header2 left empty, in whichever order the two sections come.
TEST(EwfText, OldHeaderOnlyFillsWhatHeader2LeftEmpty) {
  Tvor7zEwfInfo fromHeader2;
  fromHeader2.Case = L"Fallakte 12\u00e4";
  fromHeader2.DateAcquired = FileTime(2004, 11, 4, 3, 56, 35);
  Tvor7zEwfInfo fromHeader;
  fromHeader.Case = L"Fallakte 12?";
  fromHeader.DateAcquired = FileTime(2004, 11, 3, 22, 56, 35);
  fromHeader.Examiner = L"only in header";

  Tvor7zEwfInfo info = fromHeader2;
  FillMissingHeaderValues(info, fromHeader);
  EXPECT_EQ(info.Case, fromHeader2.Case);
  EXPECT_EQ(info.DateAcquired, fromHeader2.DateAcquired);
  EXPECT_EQ(info.Examiner, L"only in header");
  EXPECT_EQ(info.SystemDate, 0u);
}
