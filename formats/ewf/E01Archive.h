// EWF version-1 physical images (.E01, .s01): one disk-image item, or a .bin image with a generated
// .cue sheet for a multi-session optical disc.
#pragma once

#include "formats/ewf/E01Items.h"
#include "formats/ewf/EwfArchive.h"
#include "formats/ewf/EwfFormats.h"

class Tvor7zE01Archive : public Tvor7zEwfArchive {
public:
  static GUID GetClassID() { return GUID{0x59F7FE14u, 0xD608u, 0x47BCu, {0xAD, 0x0A, 0x80, 0x18, 0x4E, 0x3E, 0xDA, 0xAC}}; }
  static UString GetName() { return L"E01"; }
  static UString GetExtension() { return L"s01 e01"; }
  static AString GetSignature() { return AString(NEwfSignature::kE01, 8); }
  static Func_IsArc GetIsArcFunc() { return IsArc_E01; }

  void DoClose() override;
  void DoGetNumberOfItems(UInt32 &count) override;
  TvorPropertyTable DoGetPropertyTable() override;
  void DoGetProperty(UInt32 index, PROPID propID, PROPVARIANT &value) override;
  UInt32 DoGetDigestKinds() override;
  TvorStoredDigests DoGetStoredDigests(UInt32 index) override;
  void DoGetStream(UInt32 index, ComPtr<ISequentialInStream> &stream) override;
  TExtractItemInfo DoGetExtractItemInfo(UInt32 index) override;
  Int32 DoExtractItem(UInt32 index, ISequentialOutStream *stream, Tvor7zProgress &progress) override;

  Tvor7zE01Items *Items() const noexcept { return FItems.Get(); }
  Int32 MediaType() const noexcept { return FMediaType; }

protected:
  void CreateBlocks() override;
  void InitOpen() override;
  UString GetSegmentExtension(Int32 index, const UString &firstExtension) override;
  void EndOpen() override;
  Func_IsArc SegmentIsArc() const override { return IsArc_E01; }
  void ReadHashSection(IInStream *stream, UInt32 size) override;
  void ReadDigestSection(IInStream *stream, UInt32 size) override;
  void ReadXhashSection(IInStream *stream, UInt32 size) override;
  void ReadSessionSection(IInStream *stream, UInt32 size) override;

  // A hash or digest payload of exactly `expected` bytes, the last 4 the Adler-32 of the rest; nil
  // (flagged) when there is none to use. `intact` tells whether the checksum holds (else flagged).
  const Byte *ReadDigestPayload(IInStream *stream, UInt32 size, UInt32 expected, bool &intact);
  // One copy of a stored digest of the image (TvorDigestCopies::Take); a disagreeing one is flagged.
  void TakeStoredDigest(unsigned kind, const Byte *value, bool intact);

  ComPtr<Tvor7zE01Items> FItems;
  bool FSessionRead = false;
};
