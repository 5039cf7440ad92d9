// The page table and metadata of an AFF image, and the small parsers of its segment names and texts.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "blocks/Blocks.h"

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
// What the table keeps of a file's flags: the other bits mean nothing to the reader.
constexpr UInt32 kFileBits = 0xFF;

inline bool IsCompressed(UInt32 flags) { return (flags & kCompressed) != 0; }
inline UInt32 Algorithm(UInt32 flags) { return flags & kAlgorithmMask; }
inline bool IsZero(UInt32 flags) { return IsCompressed(flags) && Algorithm(flags) == kZero; }
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

// The page table (one block per page; chunk size = page size, total size = image size) together
// with the image's metadata. Page segments are collected while the files are walked and laid into
// the table once every file has been read, when the page and image sizes are known.
class Tvor7zAffInfo : public Tvor7zBlocks {
public:
  Tvor7zAffInfoMeta *GetMeta() { return &FMeta; }
  const Tvor7zAffInfoMeta *GetMeta() const { return &FMeta; }

  // A page segment: page `number` stored at `offset` of the joined stream.
  void AddPage(UInt32 number, UInt64 offset, UInt32 storedSize, UInt32 flags);
  UInt32 GetPageSegmentCount() const { return static_cast<UInt32>(FPages.size()); }

  // Lays the collected pages into the table. Page numbers are bounded by what `joinedSize` bytes
  // of files can hold and, with an image size, by the pages of the image: pages beyond the first
  // bound are dropped and make the result false (one bogus number must not size the table), pages
  // past the image end are dropped silently. Entries no segment supplied stay empty.
  bool LayPages(UInt64 joinedSize);
  // Position and size of every entry (the last page may be short, pages past the end get 0), all
  // marked valid; random access is possible unless a page needs a host codec.
  void SetPagePositions();

private:
  struct TPage {
    UInt32 Number;
    UInt64 Offset;
    UInt32 StoredSize;
    UInt32 Flags;
  };
  Tvor7zAffInfoMeta FMeta;
  std::vector<TPage> FPages;
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
