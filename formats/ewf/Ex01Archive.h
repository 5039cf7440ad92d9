// EWF version-2 physical images (.Ex01): one disk-image item, or a .bin image with a generated
// .cue sheet for a multi-session optical disc.
#pragma once

#include "formats/ewf/E01Items.h"
#include "formats/ewf/Ewf2Archive.h"
#include "formats/ewf/EwfFormats.h"

class Tvor7zEx01Archive : public Tvor7zEwf2Archive {
public:
  static GUID GetClassID() { return GUID{0xBF392321u, 0xB935u, 0x4BADu, {0xBC, 0x18, 0x90, 0x78, 0x6E, 0x12, 0x38, 0x09}}; }
  static UString GetName() { return L"Ex01"; }
  static UString GetExtension() { return L"ex01"; }
  static AString GetSignature() { return AString(NEwfSignature::kEx01, 8); }
  static Func_IsArc GetIsArcFunc() { return IsArc_Ex01; }

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

protected:
  void CreateBlocks() override;
  void InitOpen() override;
  UString GetSegmentExtension(Int32 index, const UString &firstExtension) override;
  void EndOpen() override;
  Func_IsArc SegmentIsArc() const override { return IsArc_Ex01; }
  void ReadSessionSection(IInStream *stream, const TEwf2Section &section) override;
  void ReadMD5Section(IInStream *stream, const TEwf2Section &section) override;
  void ReadSHA1Section(IInStream *stream, const TEwf2Section &section) override;

private:
  // A digest section: the digest's bytes and their Adler-32, usable size exactly that or padded to
  // 16 bytes. Taken as a copy of the image's stored digest `kind`; damage is flagged only.
  void ReadDigestSection(IInStream *stream, const TEwf2Section &section, unsigned kind);

  ComPtr<Tvor7zE01Items> FItems;
  bool FSessionRead = false;
};
