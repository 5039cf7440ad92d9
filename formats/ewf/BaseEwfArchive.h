// What every EWF handler shares: the walk over the segment files of a set, the joined stream of all
// segments, the image's block table with the case metadata, and the archive properties.
#pragma once

#include <vector>

#include "blocks/FlateDecoder.h"
#include "formats/ewf/EwfBlocks.h"
#include "plugin/Archive.h"
#include "streams/InStreams.h"

// Extension (with its dot) of segment `index` of an E01/L01-style set whose opened file has
// `firstExtension`: .E01 ... .E99, then .EAA ... .EAZ, .EBA ... .EZZ, .FAA ... in the letter case of
// `firstExtension`. `letter` is the upper-case letter used when `firstExtension` is empty.
// Empty when the index has no name.
UString GetEwf1SegmentExtension(Int32 index, const UString &firstExtension, wchar_t letter);

// `name`'s extension with its dot, in its own letter case.
UString ExtractExtensionKeepCase(const UString &name);

class Tvor7zBaseEwfArchive : public Tvor7zArchive {
public:
  Tvor7zBaseEwfArchive();
  ~Tvor7zBaseEwfArchive() override;

  void DoOpen(const UInt64 *maxCheckStartPosition, IArchiveOpenCallback *openCallback) override;
  void DoClose() override;
  UString DoGetVolumeName(UInt32 index) override;
  TvorPropertyTable DoGetArchivePropertyTable() override;
  void DoGetArchiveProperty(PROPID propID, PROPVARIANT &value) override;

  Tvor7zBaseEwfBlocks *Blocks() const noexcept { return FBlocks.Get(); }

  // Largest decoded chunk accepted. Real writers stay far below; anything larger is damage, and
  // every reader sizes buffers by it.
  static constexpr UInt32 kMaxChunkSize = 256u << 20;
  // Segment files missing in a row after which a set is taken to end.
  static constexpr Int32 kMaxMissingSegments = 2;
  // Chunks found by walking bytes whose tables are lost are kept in memory: at most this many over
  // a set (16 MiB of them); the rest reads as missing.
  static constexpr size_t kMaxFoundChunks = 1u << 20;
  Tvor7zLimitInStream *JoinedStream() const noexcept { return FJoinedStream.Get(); }

protected:
  // Creates the format's block/item object into FBlocks.
  virtual void CreateBlocks();
  // Resets the per-open state.
  virtual void InitOpen();
  virtual UString GetSegmentExtension(Int32 index, const UString &firstExtension) = 0;
  // Reads and checks the segment file header; false = not a segment file of this format (or one
  // whose header is destroyed).
  virtual bool ReadSegmentHeader(IInStream *stream, Int32 &segmentNumber) = 0;
  // How a segment's sections end: the set ends, another segment follows, or the end is damaged
  // and the next segment is looked for.
  enum class TEwfSegmentEnd { kDone, kNext, kUnknown };
  // Reads the sections of one segment; `headerIntact` false: its file header is destroyed.
  virtual TEwfSegmentEnd ReadSegment(IInStream *stream, bool headerIntact) = 0;
  // The segment file of this number is missing: its chunks are lost.
  virtual void SegmentLost() {}
  // Finishes after the last segment.
  virtual void EndOpen() = 0;

  // Reads the `size`-byte file header of a segment and checks its signature with `isArc`; false
  // when it is short (flagged past the first segment) or not of this format (flagged).
  bool ReadFileHeader(IInStream *stream, Byte *header, size_t size, Func_IsArc isArc);
  // Scratch buffer of at least `size` bytes; contents are not kept when it grows.
  Byte *GetBuffer(UInt32 size);
  // Length of the joined stream (Seek from the end; a failure raises).
  UInt64 JoinedLength();
  // The inflater of compressed section payloads and the window feeding it, made on first use.
  TvorFlateDecodeDecoder *DeflateDecoder();
  Tvor7zLimitSequentialInStream *LimitStream();

  ComPtr<Tvor7zBaseEwfBlocks> FBlocks;
  ComPtr<Tvor7zLimitInStream> FJoinedStream;
  std::vector<Byte> FBuffer;
  UString FExtension;
  Int32 FSegmentNumber = 0;
  UInt64 FSegmentBase = 0;
  ComPtr<TvorFlateDecodeDecoder> FDeflateDecoder;
  ComPtr<ICompressCoder> FBZip2Decoder;
  ComPtr<Tvor7zLimitSequentialInStream> FLimitStream;

private:
  void ReleaseOpenState() noexcept;
  UString SegmentName(Int32 index);
};
