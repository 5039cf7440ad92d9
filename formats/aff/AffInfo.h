// The page table and metadata of an AFF image, and the small parsers of its segment names and texts.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "blocks/Blocks.h"
#include "formats/aff/AffSegments.h"
#include "platform/Platform.h"

class Tvor7zLimitInStream;

// Page flags as stored in a page segment's argument.
namespace NAffPage {
constexpr UInt32 kCompressed = 0x1;
constexpr UInt32 kAlgorithmMask = 0xF0;
constexpr UInt32 kZlib = 0x00;
constexpr UInt32 kBZip2 = 0x10;
constexpr UInt32 kLzma = 0x20;
constexpr UInt32 kZero = 0x30;
// Our own marker in the table, never from a file: the page's data runs past the end of its file
// (StoredSize holds only what is there).
constexpr UInt32 kTruncated = 0x100;
// Our own marker too: the page's segment is encrypted; StoredSize counts its encrypted bytes.
constexpr UInt32 kEncrypted = 0x200;
// What the table keeps of a file's flags: the other bits mean nothing to the reader.
constexpr UInt32 kFileBits = 0xFF;

inline bool IsCompressed(UInt32 flags) { return (flags & kCompressed) != 0; }
inline UInt32 Algorithm(UInt32 flags) { return flags & kAlgorithmMask; }
inline bool IsZero(UInt32 flags) { return IsCompressed(flags) && Algorithm(flags) == kZero; }
// Every page kind this reads decodes on its own (bzip2 and LZMA through the host's decoders); an
// algorithm nothing decodes leaves the image to extraction, which reports it.
inline bool IsUnknownAlgorithm(UInt32 flags) {
  const UInt32 algorithm = Algorithm(flags);
  return IsCompressed(flags) && algorithm != kZlib && algorithm != kZero && algorithm != kBZip2 && algorithm != kLzma;
}
}  // namespace NAffPage

// Bytes of a page segment (16-byte header, "pageN" name, trailer) beyond its data, at least.
constexpr UInt32 kAffMinPageSegmentSize = 16 + 5 + 8;

struct Tvor7zAffInfoMeta {
  UString Name;
  Byte MD5[16] = {};
  Byte SHA1[20] = {};
  Byte SHA256[32] = {};
  bool RandomAccess = false;
  UString Case;
  UString Evidence;
  UString Description;
  UString Examiner;
  UString Notes;
  UInt64 DateAcquired = 0;  // FILETIME
  GUID ID{};
  UString CreatorApp;
  UString AcquisitionDevice;
  UString AcquisitionCountry;
  UString AcquisitionCommandLine;
  UInt32 AcquisitionSeconds = 0;
  UString AcquisitionMacAddresses;
  UString AcquisitionMessage;
  UString AffLibVersion;
  UString DeviceManufacturer;
  UString DeviceModel;
  UString DeviceSerialNumber;
  UString DeviceFirmware;
  UString DeviceSource;
  UInt64 DeviceCylinders = 0;
  UInt64 DeviceHeads = 0;
  UInt64 DeviceSectorsPerTrack = 0;
  UInt64 DeviceLbaSize = 0;
  UInt32 DeviceHpaPresent = 0;  // 0 unknown, 1 no, 2 or more yes
  UInt32 DeviceDcoPresent = 0;
  UString DeviceLocation;
  UString DeviceCapabilities;
};

// What the open walk keeps of the page segments of one run of kPageBlocks page numbers: where in
// the joined stream they lie, so that the run's entries can be read again when a page is needed.
struct TAffPageRun {
  UInt32 Key = 0;            // page number / kPageBlocks
  UInt64 FirstSegment = 0;   // joined position of the header of its first page segment
  UInt64 LastSegment = 0;    // and of its last one
  UInt32 Low = 0, High = 0;  // lowest and highest page number
  UInt32 Last = 0;           // page number of the last segment
  UInt32 MaxStoredSize = 0;
  bool Ascending = true;     // every segment numbered above the one before: no page repeated
  bool Unknown = false;      // a page compressed with an algorithm nothing decodes
};

// The page table (one block per page; chunk size = page size, total size = image size) together
// with the image's metadata. The open walk notes where the page segments of each run of pages lie;
// once every file has been read, when the page and image sizes are known, the runs become pages
// of the table whose entries are read from their segments when a page of theirs is needed.
class Tvor7zAffInfo : public Tvor7zBlocks {
public:
  Tvor7zAffInfoMeta *GetMeta() { return &FMeta; }
  const Tvor7zAffInfoMeta *GetMeta() const { return &FMeta; }
  // The key of an encrypted image: nil while it is not known. It goes (wiped) with the table.
  const TvorSecret *GetKey() const { return FKey.empty() ? nullptr : &FKey; }
  void SetKey(TvorSecret key) { FKey = std::move(key); }

  // A page segment of the open walk (positions in the joined stream).
  void AddPage(const TAffPageSegment &page, UInt64 segmentStart);

  // Lays the runs into the table, read later through a clone of `joined`, whose pieces are the
  // files. Page numbers are bounded by what the files can hold and, with an image size, by the
  // pages of the image: pages beyond the first bound are dropped and make the result false (one
  // bogus number must not size the table), pages past the image end are dropped silently. A later
  // segment of a page replaces the earlier; entries no segment supplied read as missing. Without
  // an image size the image is every entry times the page size. Random
  // access is possible unless a page needs a codec nothing has.
  bool LayPages(Tvor7zLimitInStream *joined);

private:
  // A table in memory of `count` pages, filled by `walk`, which hands every page segment to the
  // function it is given.
  template <class TWalk> void LayResidentPages(UInt64 count, TWalk &&walk);

  Tvor7zAffInfoMeta FMeta;
  std::map<UInt32, TAffPageRun> FRuns;
  TvorSecret FKey;
};

// Page number of a segment name "page<decimal>" (more than 4 bytes, digits only after "page", the
// number within 32 bits); false for any other name ("pagesize", "page", "page1x").
bool ParseAffPageName(std::string_view name, UInt32 &number);

// FILETIME of a "YYYY-MM-DD[ HH:MM:SS]" text (UTC, year from 1980), 0 when it does not parse.
UInt64 ParseAffDate(std::string_view text);

// The numbered names of a file set, derived from the name of its first file: "disk_000.aff" gives
// "disk_001.aff", "disk_002.aff", ...; "disk_001.aff" counts from 1.
class TAffSetName {
public:
  TAffSetName() = default;
  explicit TAffSetName(const UString &name) { ParseSetName(name); }
  void ParseSetName(const UString &name);
  // Name of file k of the set (k = 0 is the first).
  UString GetSetFileName(UInt32 k) const;

  UString Base;
  UString Ext;
  UInt32 Width = 0;
  UInt32 First = 0;
};
