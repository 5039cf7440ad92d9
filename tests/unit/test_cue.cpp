// CUE sheets of multi-session optical images: exact text and the sector arithmetic.
#include <gtest/gtest.h>

#include "formats/ewf/CueFile.h"

namespace {
std::string Text(TCueFile &cue) {
  ComPtr<IInStream> s = cue.GetStream();
  UInt64 size = 0;
  EXPECT_EQ(s->Seek(0, STREAM_SEEK_END, &size), S_OK);
  EXPECT_EQ(s->Seek(0, STREAM_SEEK_SET, nullptr), S_OK);
  std::string text(size, '\0');
  UInt32 got = 0;
  EXPECT_EQ(s->Read(text.data(), static_cast<UInt32>(size), &got), S_OK);
  EXPECT_EQ(got, size);
  return text;
}
} // namespace

TEST(Cue, TwoSessionSheet) {
  TCueFile cue("disc.bin");
  cue.AddSession(16);
  cue.AddSession(233562);
  EXPECT_EQ(Text(cue), "FILE \"disc.bin\" BINARY\r\n"
                       "\r\n"
                       "  REM SESSION 01;\r\n"
                       "    TRACK 01 MODE1/2048\r\n"
                       "      INDEX 01 00:00:00\r\n"
                       "\r\n"
                       "  REM SESSION 02;\r\n"
                       "    TRACK 02 MODE1/2048\r\n"
                       "      INDEX 01 51:54:12\r\n"
                       "\r\n");
}

TEST(Cue, SectorsAsMinutesSecondsFrames) {
  EXPECT_EQ(TCueFile::MSF(0), "00:00:00");
  EXPECT_EQ(TCueFile::MSF(17), "00:00:17");
  EXPECT_EQ(TCueFile::MSF(75), "00:01:00");
  EXPECT_EQ(TCueFile::MSF(4500), "01:00:00");
  EXPECT_EQ(TCueFile::MSF(449999), "99:59:74");
  EXPECT_EQ(TCueFile::MSF(450000), "100:00:00");  // minutes are not cut to two digits
  EXPECT_EQ(TCueFile::Two(7), "07");
  EXPECT_EQ(TCueFile::Two(12), "12");
  EXPECT_EQ(TCueFile::Two(123), "123");
  // Only sector 16 is the usual start of a first session; any other start is written as it is.
  TCueFile cue("x.bin");
  cue.AddSession(16);
  cue.AddSession(17);
  cue.AddSession(450000);
  const std::string text = Text(cue);
  EXPECT_NE(text.find("INDEX 01 00:00:00\r\n"), std::string::npos);
  EXPECT_NE(text.find("INDEX 01 00:00:17\r\n"), std::string::npos);
  EXPECT_NE(text.find("INDEX 01 100:00:00\r\n"), std::string::npos);
}

TEST(Cue, TenSessionsAndOneStream) {
  TCueFile cue("many.bin");
  for (UInt32 i = 0; i < 10; i++)
    cue.AddSession(16 + i * 1000);
  const std::string text = Text(cue);
  EXPECT_NE(text.find("  REM SESSION 10;\r\n    TRACK 10 MODE1/2048\r\n"), std::string::npos);
  EXPECT_NE(text.find("  REM SESSION 09;\r\n    TRACK 09 MODE1/2048\r\n"), std::string::npos);
  // The same stream each time, so the size seen by the archive is the text's.
  EXPECT_EQ(cue.GetStream().Get(), cue.GetStream().Get());
}
