// The archive side both logical formats share (L01 and Lx01): the entry list read from a tree text,
// listed with times, attributes and digests, each file's bytes by random access and by extraction
// under its stored digest, all over the one logical data image.
#pragma once

#include <vector>

#include "formats/ewf/LItems.h"
#include "hashers/StoredDigests.h"
#include "plugin/Archive.h"

class TvorLItemArchiveSide {
public:
  explicit TvorLItemArchiveSide(Tvor7zCompressCodecsInfo *codecs) : FCodecs(codecs), FDigest(codecs) {}

  // Name characters the entry list may hold per byte of tree text. Every entry's line carries far
  // more than its path in real trees; a deep hostile tree would otherwise cost the square of its
  // depth.
  static constexpr UInt64 kNameCharsPerTreeByte = 1;

  // A new, empty entry list; it doubles as the block table of the data image.
  Tvor7zLItems *Create();
  void Close();
  Tvor7zLItems *Items() const noexcept { return FItems.Get(); }
  UInt32 Count() const noexcept { return FItems ? static_cast<UInt32>(FItems->GetItemCount()) : 0; }

  // Reads a tree text of `size` bytes from `stream` into the list (byte-order mark detection unless
  // `forceUnicode`). When the "entry" line was found, the rest of the text is read as well and
  // `md5` is the MD5 of all `size` bytes. Stream errors raise.
  TvorLEntryTreeResult ReadTree(ISequentialInStream *stream, UInt64 size, bool forceUnicode, Byte md5[16]);

  static TvorPropertyTable PropertyTable();
  void GetProperty(UInt32 index, PROPID propID, PROPVARIANT &value) const;
  TvorStoredDigests StoredDigests(UInt32 index) const;
  // Random access to a file's bytes over the image of `joinedStream`; nil for a folder or a file
  // whose bytes cannot be located.
  ComPtr<ISequentialInStream> Stream(UInt32 index, IInStream *joinedStream);
  Tvor7zArchive::TExtractItemInfo ExtractInfo(UInt32 index) const;
  // Writes the file and checks every digest stored for it; the operation result.
  Int32 Extract(UInt32 index, IInStream *joinedStream, ISequentialOutStream *stream, Tvor7zProgress &progress);

private:
  IInStream *DataStream(IInStream *joinedStream);

  Tvor7zCompressCodecsInfo *FCodecs;
  ComPtr<Tvor7zLItems> FItems;
  // One stream over the data image, made on first use and kept: its block cache serves the many
  // small files that share a chunk.
  ComPtr<IInStream> FDataStream;
  // Made on the first extracted file and kept: the digest hashers and the copy buffer.
  Tvor7zStoredDigestCheck FDigest;
  std::vector<Byte> FCopyBuffer;
};

// A logical format over its segment reader `TBase` (version 1 or 2): the entry list is the block
// table, and the item side answers the host.
template <class TBase>
class Tvor7zLogicalArchive : public TBase {
public:
  void DoClose() override {
    TBase::DoClose();
    FSide.Close();
  }
  void DoGetNumberOfItems(UInt32 &count) override { count = FSide.Count(); }
  TvorPropertyTable DoGetPropertyTable() override { return TvorLItemArchiveSide::PropertyTable(); }
  void DoGetProperty(UInt32 index, PROPID propID, PROPVARIANT &value) override {
    FSide.GetProperty(index, propID, value);
  }
  UInt32 DoGetDigestKinds() override { return 2; }
  TvorStoredDigests DoGetStoredDigests(UInt32 index) override { return FSide.StoredDigests(index); }
  void DoGetStream(UInt32 index, ComPtr<ISequentialInStream> &stream) override {
    stream = FSide.Stream(index, this->FJoinedStream.Get());
  }
  Tvor7zArchive::TExtractItemInfo DoGetExtractItemInfo(UInt32 index) override { return FSide.ExtractInfo(index); }
  Int32 DoExtractItem(UInt32 index, ISequentialOutStream *stream, Tvor7zProgress &progress) override {
    return FSide.Extract(index, this->FJoinedStream.Get(), stream, progress);
  }

  Tvor7zLItems *Items() const noexcept { return FSide.Items(); }

protected:
  void CreateBlocks() override { this->FBlocks = FSide.Create(); }

  TvorLItemArchiveSide FSide{&this->FCodecsInfo};
};
