// CUE sheet text describing the sessions of a multi-session optical image stored as one .bin file.
#pragma once

#include "streams/TempStream.h"

class TCueFile {
public:
  // Writes the FILE line for `binName` (an 8-bit string) and an empty line.
  explicit TCueFile(const AString &binName);
  TCueFile(const TCueFile &) = delete;
  TCueFile &operator=(const TCueFile &) = delete;

  // One session with one track starting at `startSector`; the first session's usual start at
  // sector 16 is written as 00:00:00.
  void AddSession(UInt64 startSector);
  // The text written so far; the same stream on every call.
  ComPtr<IInStream> GetStream();

  // Two digits at least: 7 -> "07", 123 -> "123".
  static AString Two(UInt64 n);
  // Minutes:seconds:frames of a sector number (75 frames a second); minutes are not limited.
  static AString MSF(UInt64 sector);

private:
  void Write(const AString &text);

  ComPtr<Tvor7zTempStream> FStream;
  Int32 FSession = 0;
  Int32 FTrack = 0;
};
