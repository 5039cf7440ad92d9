// Reader of the small tab-separated text tables that EWF files carry (case metadata, file trees):
// encoding detection, line splitting, the EWF date form and the version-1 header identifiers.
#pragma once

#include <vector>

#include "formats/ewf/EwfBlocks.h"
#include "host/Com.h"
#include "host/Errors.h"

// A line longer than any EWF writer produces: damage of the text, not a failure of its stream. It
// carries 0x8007000D for callers that let it pass.
class EEwfLineTooLong : public EOleSysError {
public:
  EEwfLineTooLong() noexcept : EOleSysError(HRESULT_ERROR_INVALID_DATA) {}
};

// Characters of a text in one of three encodings, read one at a time with push-back.
class Tvor7zEwfText {
public:
  enum : Byte { kSingleByte = 0, kUtf16LE = 1, kUtf16BE = 2 };

  // Without forceUnicode the encoding comes from a byte-order mark; without one, text that starts
  // with a non-zero byte and a zero byte is UTF-16LE, any other is read as single bytes (each byte
  // is the character code).
  Tvor7zEwfText(ISequentialInStream *stream, bool forceUnicode);
  Tvor7zEwfText(const Tvor7zEwfText &) = delete;
  Tvor7zEwfText &operator=(const Tvor7zEwfText &) = delete;

  // S_OK with a character, S_FALSE at the end of the data, E_FAIL when the stream answered S_FALSE,
  // or the stream's error.
  HRESULT ReadChar(wchar_t &c);
  // As ReadChar, but CR, LF, CR LF and LF CR each come back as a single CR.
  HRESULT ReadLineChar(wchar_t &c);
  void UnreadChar(wchar_t c);
  // True (and an empty line) when the data ended before the first character; false when a line,
  // possibly empty, was read. Stream errors raise; a line over kMaxLine characters raises
  // EEwfLineTooLong.
  bool ReadLine(UString &line);

  Byte Encoding() const noexcept { return FEncoding; }

  static constexpr size_t kMaxLine = 65536;

private:
  // Next raw byte: S_OK, S_FALSE at the end, or the failure.
  HRESULT ReadByte(Byte &b);

  ComPtr<ISequentialInStream> FStream;
  Byte FEncoding = kSingleByte;
  UString FPushback;  // given-back characters, last in first out
  // Read-ahead so that a character does not cost one stream call per byte.
  Byte FBuffer[4096];
  UInt32 FBufferPos = 0;
  UInt32 FBufferLen = 0;
  HRESULT FPendingError = S_OK;
  bool FEnd = false;
};

// The fields of one line.
using Tvor7zEwfHeaderLine = std::vector<UString>;

// Reads one line and cuts it at every TAB; each field is trimmed of characters U+0000..U+0020.
// Empty inner fields are kept; the empty field after a final TAB and the fields of an empty line
// are not produced. At the end of the data the result is empty.
Tvor7zEwfHeaderLine SplitHeaderLine(Tvor7zEwfText &text);

// EWF date text: "year month day [hour minute second]" separated by spaces, or a Unix time in
// seconds. FILETIME ticks, 0 when it does not parse.
UInt64 ParseHeaderDate(const UString &text);

// Stores each non-empty value into the field its identifier names (version-1 identifiers).
void ApplyHeaderValues(const Tvor7zEwfHeaderLine &identifiers, const Tvor7zEwfHeaderLine &values,
                       Tvor7zEwfInfo &info);

// Copies into `info` the header values it still lacks (empty texts, zero dates).
void FillMissingHeaderValues(Tvor7zEwfInfo &info, const Tvor7zEwfInfo &from);

// The four lines of an EWF text table: a category count (digits, not all zero), "main", the
// identifiers and the values, each split into fields. False when the text is no such table (a line
// missing or out of place, a line over Tvor7zEwfText::kMaxLine characters). Stream errors raise.
bool ReadEwfTextTable(ISequentialInStream *stream, Tvor7zEwfHeaderLine &identifiers, Tvor7zEwfHeaderLine &values);

// Parses the inflated payload of a version-1 header or header2 section into `info`: the category
// count, "main", the identifiers and their values. False, with `info` untouched, when the text is
// not such a header (a line missing or out of place, more values than identifiers, a line over
// Tvor7zEwfText::kMaxLine characters). Stream errors raise.
bool ReadEwf1HeaderText(ISequentialInStream *stream, Tvor7zEwfInfo &info);
