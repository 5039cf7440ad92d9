// Reader of version-1 EWF segment files (E01 and L01): the file header, the chain of section
// descriptors and the sections both formats share.
#pragma once

#include "formats/ewf/BaseEwfArchive.h"

class Tvor7zEwfArchive : public Tvor7zBaseEwfArchive {
public:
  void DoClose() override;

  // Largest decoded chunk accepted from a volume section. Real writers stay far below; anything
  // larger is damage, and every reader sizes buffers by it.
  static constexpr UInt32 kMaxChunkSize = 256u << 20;

protected:
  void InitOpen() override;
  bool ReadSegmentHeader(IInStream *stream, Int32 &segmentNumber) override;
  bool ReadSegment(IInStream *stream) override;

  // The signature test of the concrete format.
  virtual Func_IsArc SegmentIsArc() const = 0;
  // Sections only some formats use; each gets the stream at the payload and the payload size.
  virtual void ReadHashSection(IInStream *stream, UInt32 size);
  virtual void ReadDigestSection(IInStream *stream, UInt32 size);
  virtual void ReadSessionSection(IInStream *stream, UInt32 size);
  virtual void ReadLtreeSection(IInStream *stream, UInt32 size);

  // Inflates the next `size` bytes of `stream` into a temporary stream (rewound). At most
  // `outLimit` bytes are kept when it is not 0. A corrupt payload raises S_FALSE.
  ComPtr<IInStream> OpenZlibSection(IInStream *stream, UInt32 size, UInt64 outLimit = 0);
  void ReadHeaderSection(IInStream *stream, UInt32 size);
  void ReadHeader2Section(IInStream *stream, UInt32 size);
  void ReadVolumeSection(IInStream *stream, UInt32 size);
  bool ReadTableSection(IInStream *stream, UInt32 size, UInt64 base);
  // Stored sizes of all chunks from the offsets, bounded by what a chunk can take.
  void SetChunkPackSizes();
  // Reads up to `size` payload bytes; a stream failure raises, a short read returns the count.
  static size_t ReadPayload(ISequentialInStream *stream, void *data, size_t size);

  Int32 FMediaType = 0;
  bool FHeaderRead = false;
  bool FHeader2Read = false;
  bool FVolumeRead = false;
  Int32 FVolumeSize = 0;

private:
  void ReadHeaderText(IInStream *stream, UInt32 size);
};
