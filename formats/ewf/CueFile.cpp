#include "formats/ewf/CueFile.h"

#include "host/Errors.h"
#include "streams/OutStreams.h"
#include "streams/Progress.h"

TCueFile::TCueFile(const AString &binName) : FStream(new Tvor7zTempStream(65536)) {
  Write("FILE \"" + binName + "\" BINARY\r\n");
  Write("\r\n");
}

void TCueFile::Write(const AString &text) {
  WriteExact(FStream.Get(), text.data(), text.size());
}

AString TCueFile::Two(UInt64 n) {
  AString s = std::to_string(n);
  return s.size() < 2 ? "0" + s : s;
}

AString TCueFile::MSF(UInt64 sector) {
  return Two(sector / 4500) + ":" + Two((sector / 75) % 60) + ":" + Two(sector % 75);
}

void TCueFile::AddSession(UInt64 startSector) {
  FSession++;
  FTrack++;
  Write("  REM SESSION " + Two(static_cast<UInt64>(FSession)) + ";\r\n");
  Write("    TRACK " + Two(static_cast<UInt64>(FTrack)) + " MODE1/2048\r\n");
  Write("      INDEX 01 " + MSF(startSector == 16 ? 0 : startSector) + "\r\n");
  Write("\r\n");
}

ComPtr<IInStream> TCueFile::GetStream() {
  ComPtr<IInStream> result = QueryAs<IInStream>(static_cast<IInStream *>(FStream.Get()), IID_IInStream);
  if (!result)
    RaiseHResult(E_NOINTERFACE);
  return result;
}
