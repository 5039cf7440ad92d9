// Reader of version-1 EWF segment files (E01 and L01): the file header, the chain of section
// descriptors and the sections both formats share.
//
// Damage costs what it destroys. A descriptor whose checksum fails or whose next offset is
// impossible is passed by its section size, else by a forward scan for the next valid descriptor;
// a table whose entries fail their checksum is replaced or mended entry by entry from its table2
// copy; a chunk area whose tables are both lost has its chunks found by walking it; the media
// values of a damaged volume section come from the "data" copy later segments carry; segments
// after a lost one are placed from the end of the image.
#pragma once

#include <memory>
#include <string>

#include "formats/ewf/BaseEwfArchive.h"

class Tvor7zEwfArchive : public Tvor7zBaseEwfArchive {
public:
  void DoClose() override;

  // A stretch of the joined stream that holds chunk data: a "sectors" payload, or a "table" payload
  // in the layouts that keep the chunks after the table entries.
  struct TChunkArea {
    UInt64 Start;
    UInt64 End;
  };
  // A table of chunks in set order, all positions in the joined stream: the entries of a table
  // section (4-byte offsets from Base, bit 31 set for a compressed chunk) with those of its table2
  // copy where its own checksum fails; or the chunks found by walking an area whose tables are
  // lost; or a gap, chunks of unknown number lost with a segment or its tables.
  struct TTable {
    UInt64 Entries = 0;   // the first 4-byte entry
    UInt64 Entries2 = 0;  // the first entry of the table2 copy to mend them from; 0 = none
    bool Checked = false; // the entries are damaged: each is checked against its neighbours
    UInt64 Count = 0;     // entries that are blocks of the image
    UInt64 Base = 0;      // what the entries' offsets count from
    UInt64 FirstOffset = 0;  // the first entry's chunk: where the chunk before it ends at the latest
    // Chunks found by walking an area: joined offsets, kFoundCompressed marking deflate chunks.
    std::shared_ptr<const std::vector<UInt64>> Found;
    bool Gap = false;
  };
  static constexpr UInt64 kFoundCompressed = 1ull << 63;

protected:
  void InitOpen() override;
  bool ReadSegmentHeader(IInStream *stream, Int32 &segmentNumber) override;
  TEwfSegmentEnd ReadSegment(IInStream *stream, bool headerIntact) override;
  void SegmentLost() override;

  // The signature test of the concrete format.
  virtual Func_IsArc SegmentIsArc() const = 0;
  // Sections only some formats use; each gets the stream at the payload and the payload size.
  virtual void ReadHashSection(IInStream *stream, UInt32 size);
  virtual void ReadDigestSection(IInStream *stream, UInt32 size);
  virtual void ReadXhashSection(IInStream *stream, UInt32 size);
  virtual void ReadSessionSection(IInStream *stream, UInt32 size);
  virtual void ReadLtreeSection(IInStream *stream, UInt32 size);

  // Inflates the next `size` bytes of `stream` into a temporary stream (rewound). At most
  // `outLimit` bytes are kept when it is not 0. Nil for a corrupt payload; stream failures raise.
  ComPtr<IInStream> OpenZlibSection(IInStream *stream, UInt32 size, UInt64 outLimit = 0);
  void ReadHeaderSection(IInStream *stream, UInt32 size);
  void ReadHeader2Section(IInStream *stream, UInt32 size);
  // A "volume" or "disk" section, or (`copy`) a "data" section repeating its values in a later
  // segment, which takes their place when the volume section's checksum fails.
  void ReadVolumeSection(IInStream *stream, UInt32 size, bool copy);
  // Places the tables read in the image (applying the media values first) and hands them to the
  // block table, which from now on reads their entries on demand.
  void FinishTables();
  // Fits the last chunk to the bytes it really holds when the media ends inside a sector (see the
  // definition); grows the image size by what it finds. Runs after FinishTables.
  void FitLastChunk();

  Int32 FMediaType = 0;
  bool FHeaderRead = false;   // an intact header section supplied its values
  bool FHeader2Read = false;  // an intact header2 section did
  bool FVolumeRead = false;
  Int32 FVolumeSize = 0;
  UInt32 FBytesPerSector = 0;
  UInt32 FVolumeChunkCount = 0;  // as the volume section counts them

private:
  // One descriptor as read.
  struct TDescriptor {
    std::string Type;
    UInt64 Next = 0;
    UInt64 Size = 0;
    bool Intact = false;  // its checksum holds
  };
  // A table or table2 section as read.
  struct TTableRead {
    UInt64 Entries = 0;  // joined position of the first entry
    UInt64 Count = 0;
    UInt64 Base = 0;     // joined
    UInt32 FirstEntry = 0;
    bool HeaderIntact = false;
    bool EntriesIntact = false;
  };
  // The media values of a volume, disk or data section.
  struct TMedia {
    bool Read = false;
    bool Intact = false;
    Int32 Size = 0;  // payload size: 94 or 1052
    UInt64 ChunkSize = 0;
    UInt32 BytesPerSector = 0;
    UInt32 ChunkCount = 0;
    UInt64 Sectors = 0;
    Int32 MediaType = 0;
    GUID ID{};
  };

  // Reads the descriptor at `at` of a segment of `fileSize` bytes; false when it is cut short.
  bool ReadDescriptor(IInStream *stream, UInt64 at, UInt64 fileSize, TDescriptor &d);
  // A descriptor of a known type whose checksum holds lies at `at`.
  bool IsDescriptorAt(IInStream *stream, UInt64 at, UInt64 fileSize);
  // The first descriptor at or after `from` that is valid and leads to another valid one (or ends
  // the segment); `fileSize` when there is none. One pass over the bytes.
  UInt64 FindDescriptor(IInStream *stream, UInt64 from, UInt64 fileSize);
  // Where the descriptor after `d` (read at `at`) lies, by its next offset, its section size or a
  // scan; `fileSize` when nothing follows. Damage is flagged.
  UInt64 NextDescriptor(IInStream *stream, UInt64 at, const TDescriptor &d, UInt64 fileSize);
  // Hands one section (payload `[payload, end)` of its segment) to its reader.
  void ReadSection(IInStream *stream, const std::string &type, UInt64 payload, UInt64 end);
  // Parses a header or header2 payload into `info`; false (with the headers flag, `info` untouched)
  // when it does not inflate or is no header text.
  bool ReadHeaderText(IInStream *stream, UInt32 size, Tvor7zEwfInfo &info);
  // Reads a table or table2 payload; false (flagged) when it holds no entries.
  bool ReadTable(IInStream *stream, UInt64 payload, UInt64 size, TTableRead &t);
  // Adds a table read, with its table2 copy when there is one, to the set's tables.
  void CommitTable(const TTableRead &table, const TTableRead *copy);
  // Finds the chunks of an area of this segment no table covers, from its start on; adds them as
  // a table, and a gap when the walk stops before the area's end.
  void FindAreaChunks(IInStream *stream, const TChunkArea &area);
  void AddChunkArea(UInt64 start, UInt64 end);
  // Bytes of the last chunk, when they end inside the sector past the counted ones and its own
  // checksum or deflate stream vouches for them; 0 otherwise.
  UInt32 MeasureLastChunk(const Tvor7zBlock_ &block);

  std::vector<TChunkArea> FChunkAreas;
  std::vector<TChunkArea> FSectorAreas;  // the "sectors" payloads of the segment being read
  std::vector<TTable> FTables;
  TMedia FMedia;
  size_t FFoundChunks = 0;  // chunks found by walking areas, over the set
  // A table section read in this segment whose table2 copy may follow.
  TTableRead FPendingTable;
  bool FHavePendingTable = false;
};
