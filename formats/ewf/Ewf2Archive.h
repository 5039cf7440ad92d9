// Reader of version-2 EWF segment files (Ex01 and Lx01): the 32-byte file header, the walk back
// over the section descriptors from the end of each file, and the sections both formats share
// (device information, case data, sector tables, next and done).
#pragma once

#include <functional>
#include <memory>

#include "formats/ewf/BaseEwfArchive.h"
#include "formats/ewf/EwfChunk.h"

// Extension (with its dot) of segment `index` of an Ex01/Lx01-style set whose opened file has
// `firstExtension`: .Ex01 ... .Ex99, then .ExAA ... .ExZZ, .EyAA ..., the letters in the case of the
// first character of `firstExtension`. `prefix` (".Ex", ".Lx") is used when it is empty. Empty when
// the index has no name.
UString GetEwf2SegmentExtension(Int32 index, const UString &firstExtension, const wchar_t *prefix);

class Tvor7zEwf2Archive : public Tvor7zBaseEwfArchive {
public:
  void DoClose() override;

  // One section as its descriptor at the end of it describes it.
  struct TEwf2Section {
    UInt32 Type = 0;
    UInt32 DataFlags = 0;
    UInt64 PreviousOffset = 0;
    UInt64 SectionSize = 0;
    UInt32 PaddingSize = 0;
    Byte DataHash[16] = {};
    UInt64 DescriptorOffset = 0;  // in its segment file
    UInt64 DataStart = 0;         // in its segment file
    bool Intact = true;           // the descriptor's checksum holds
    // Bytes of data before the padding, never more than lie between DataStart and the descriptor.
    UInt64 UsableSize() const;
  };

  enum : UInt32 {
    kSectionDeviceInformation = 1,
    kSectionCaseData = 2,
    kSectionSectorTable = 4,
    kSectionSessionTable = 6,
    kSectionMD5 = 8,
    kSectionSHA1 = 9,
    kSectionNext = 13,
    kSectionDone = 15,
    kSectionSingleFiles = 32,
  };
  static constexpr UInt32 kFileHeaderSize = 32;
  static constexpr UInt32 kDescriptorSize = 64;
  // A text section larger than this is damage: no writer stores a case or device text that long.
  static constexpr UInt32 kMaxTextSectionSize = 16u << 20;
  // Decoded text beyond this is never looked at (four lines of at most 64 Ki characters each).
  static constexpr UInt32 kMaxTextSize = 1u << 20;

  // A sector table whose entries are blocks of the image.
  struct TTable {
    UInt64 Entries;      // the first 16-byte entry, in the joined stream
    UInt64 SegmentBase;  // where its segment starts in the joined stream; entries count from it
    UInt64 SegmentSize;
    UInt32 Method;       // the set's compression method as known when the table was read
    UInt64 Count;        // entries taken; the entries' checksum follows them
    std::shared_ptr<const std::vector<TEwfFoundChunk>> Found;  // instead of entries: chunks found
  };
  // The block flags for a table entry's flags under compression method `method`.
  static UInt32 ChunkFlags(UInt32 entryFlags, UInt32 method);

  UInt32 BytesPerSector() const noexcept { return FBytesPerSector; }
  UInt32 SectorsPerChunk() const noexcept { return FSectorsPerChunk; }
  const UString &DeviceType() const noexcept { return FDeviceType; }

protected:
  void InitOpen() override;
  bool ReadSegmentHeader(IInStream *stream, Int32 &segmentNumber) override;
  TEwfSegmentEnd ReadSegment(IInStream *stream, bool headerIntact) override;

  // The signature test of the concrete format.
  virtual Func_IsArc SegmentIsArc() const = 0;
  // Sections only one of the formats reads.
  virtual void ReadSessionSection(IInStream *stream, const TEwf2Section &section);
  virtual void ReadMD5Section(IInStream *stream, const TEwf2Section &section);
  virtual void ReadSHA1Section(IInStream *stream, const TEwf2Section &section);
  virtual void ReadSingleFilesSection(IInStream *stream, const TEwf2Section &section);

  // The usable data of a section compressed with the set's method, decoded into memory (at most
  // `outLimit` bytes); false when it does not decode (flagged: unsupported method or headers error).
  bool ReadCompressedSection(IInStream *stream, const TEwf2Section &section, UInt32 outLimit, std::vector<Byte> &out);
  void ReadDeviceInformation(IInStream *stream, const TEwf2Section &section);
  void ReadCaseData(IInStream *stream, const TEwf2Section &section);
  void ReadSectorTable(IInStream *stream, const TEwf2Section &section);
  // The chunk size from the texts (a missing or unusable one is flagged and the writers' default
  // taken), each chunk's stored size bounded by what it can take and what the set holds, and the
  // blocks placed. The image size: `totalSize`, or every chunk when it is 0.
  void FinishChunks(UInt64 totalSize);

  UString FDeviceType;
  UInt32 FBytesPerSector = 0;
  UInt32 FSectorsPerChunk = 0;
  UInt64 FDeviceSectors = 0;  // "ts" of the device information
  bool FDeviceInfoRead = false;
  bool FCaseDataRead = false;

private:
  // Reads the descriptor at `at`; false when the file ends first.
  bool ReadDescriptor(IInStream *stream, UInt64 at, TEwf2Section &s);
  // A valid descriptor (checksum, known type, previous offset before it) lies at `at`.
  bool IsDescriptorAt(IInStream *stream, UInt64 at);
  // The data of `section` begins with a sector table header whose checksum holds.
  bool IsSectorTableAt(IInStream *stream, const TEwf2Section &section);
  // The valid descriptors before `end` that start or continue a chain, in file order.
  std::vector<TEwf2Section> FindDescriptors(IInStream *stream, UInt64 end);
  // The chunks of a damaged segment whose tables are lost, found by walking its bytes from `from`
  // on, deflate and stored ones (which say where they end): they follow the chunks placed so far.
  void FindChunks(IInStream *stream, UInt64 from);
  // Reads a device information or case data section, unless `read` says an intact copy was, and
  // hands each identifier with its non-empty value to `apply`; false (flagged) when it does not
  // decode or is no text table.
  bool ReadTextSection(IInStream *stream, const TEwf2Section &section, bool &read,
                       const std::function<void(const UString &, const UString &)> &apply);
  // Reads the sections the walk collected, in file order; how they end the segment.
  TEwfSegmentEnd ProcessSections(IInStream *stream, const std::vector<TEwf2Section> &sections);

  UInt64 FSegmentSize = 0;
  size_t FFoundChunks = 0;  // chunks found by walking segments, over the set
  TEwfChunkCoders FTextCoders;
  std::vector<TTable> FTables;
};
