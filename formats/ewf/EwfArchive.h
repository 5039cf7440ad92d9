// Reader of version-1 EWF segment files (E01 and L01): the file header, the chain of section
// descriptors and the sections both formats share.
#pragma once

#include "formats/ewf/BaseEwfArchive.h"

class Tvor7zEwfArchive : public Tvor7zBaseEwfArchive {
public:
  void DoClose() override;

protected:
  void InitOpen() override;
  bool ReadSegmentHeader(IInStream *stream, Int32 &segmentNumber) override;
  bool ReadSegment(IInStream *stream) override;

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
  void ReadVolumeSection(IInStream *stream, UInt32 size);
  // Checks a table section whose payload starts at `payload` of the segment and places its
  // entries; they are read again when their chunks are first needed.
  bool ReadTableSection(IInStream *stream, UInt64 payload, UInt32 size, UInt64 base);
  // Hands the tables read to the block table, which from now on reads their entries on demand.
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

public:
  // A stretch of the joined stream that holds chunk data: a "sectors" payload, or a "table" payload
  // in the layouts that keep the chunks after the table entries.
  struct TChunkArea {
    UInt64 Start;
    UInt64 End;
  };
  // A table section whose entries are blocks of the image, all positions in the joined stream.
  struct TTable {
    UInt64 Entries;      // the first 4-byte entry
    UInt64 Count;        // entries that are blocks of the image
    UInt64 Base;         // what the entries' offsets count from
    UInt64 FirstOffset;  // the first entry's chunk: where the chunk before it ends at the latest
  };

private:

  // Parses a header or header2 payload into `info`; false (with the headers flag, `info` untouched)
  // when it does not inflate or is no header text.
  bool ReadHeaderText(IInStream *stream, UInt32 size, Tvor7zEwfInfo &info);
  void AddChunkArea(UInt64 start, UInt64 end);
  // Bytes of the last chunk, when they end inside the sector past the counted ones and its own
  // checksum or deflate stream vouches for them; 0 otherwise.
  UInt32 MeasureLastChunk(const Tvor7zBlock_ &block);

  std::vector<TChunkArea> FChunkAreas;
  std::vector<TTable> FTables;
};
