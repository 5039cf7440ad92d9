// The item side every EWF physical image shares (E01 and Ex01): the image (and the CUE sheet of a
// multi-session disc) listed, its stored digests, random access and extraction.
#pragma once

#include <vector>

#include "formats/ewf/E01Items.h"
#include "hashers/StoredDigests.h"
#include "host/CodecsInfo.h"
#include "streams/InStreams.h"
#include "streams/Progress.h"

// Sessions a disc can hold; a session table listing more is damage.
inline constexpr UInt32 kEwfMaxSessions = 99;
// Where the first session of a disc starts; a table that says otherwise is damage.
inline constexpr UInt32 kEwfFirstSessionSector = 16;

// Turns the image into a .bin with a generated .cue sheet listing the sessions starting at
// `startSectors`. The sheet names the image in the 8-bit code page, and the item name follows the
// same conversion so that both agree.
void SetEwfImageSessions(Tvor7zE01Items &items, const std::vector<UInt64> &startSectors);
// Gives the image the extension of its media (.iso, .ram) unless a session table made it a .bin.
void SetEwfImageExtension(Tvor7zE01Items &items, const wchar_t *extension);

void GetEwfImageProperty(Tvor7zE01Items &items, UInt32 index, PROPID propID, PROPVARIANT &value);
TvorStoredDigests GetEwfImageDigests(Tvor7zE01Items &items, UInt32 index);
// A random-access stream over the image (chunks the tables do not locate read as zeros); nil for
// the sheet.
// It reads through a clone of the joined stream, so that several streams may be read at once.
ComPtr<ISequentialInStream> OpenEwfImageStream(Tvor7zE01Items &items, UInt32 index, Tvor7zLimitInStream *joinedStream,
                                               Tvor7zCompressCodecsInfo &codecs);
// Decodes one item into `stream` and checks the image digest; the operation result.
Int32 ExtractEwfImageItem(Tvor7zE01Items &items, UInt32 index, IInStream *joinedStream,
                          Tvor7zCompressCodecsInfo &codecs, ISequentialOutStream *stream, Tvor7zProgress &progress);
