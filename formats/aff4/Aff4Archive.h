// AFF4 containers: one or several ZIP volumes holding disk or memory images (each one item, read
// through its map) and, in logical containers, files and folders with their times and digests.
#pragma once

#include <string>
#include <vector>

#include "formats/aff4/Aff4Image.h"
#include "plugin/Archive.h"

UInt32 WINAPI IsArc_AFF4(const Byte *p, size_t size);

// One item: an image, a logical file (from a ZIP member, or from a data stream like an image) or a
// folder.
struct TAff4Item {
  UString Path;  // folders joined by '/'
  bool IsDir = false;
  bool IsImage = false;
  UInt64 Size = 0;
  std::string Urn;
  ComPtr<Tvor7zAff4Image> Image;  // images, and files whose bytes are a data stream
  TAff4Segment Segment;           // files stored as a member
  bool HasSegment = false;
  UInt64 CTime = 0, MTime = 0, ATime = 0, ChangeTime = 0;  // FILETIME
  std::vector<TAff4Digest> Hashes;
  Byte MD5[16] = {}, SHA1[20] = {}, SHA256[32] = {};  // the first stored of each, for the raw properties
  std::vector<TvorDigestValue> Disagreeing;            // further values of those kinds that differ
  TvorStoredDigests Stored() const { return {MD5, SHA1, SHA256, Disagreeing}; }
};

class Tvor7zAff4Archive : public Tvor7zArchive {
public:
  static GUID GetClassID() { return GUID{0x3D1F6C52u, 0x1A0Bu, 0x4C77u, {0x9E, 0x2B, 0x5A, 0x41, 0xF4, 0x0D, 0x61, 0xA4}}; }
  static UString GetName() { return L"AFF4"; }
  static UString GetExtension() { return L"aff4 af4"; }
  static AString GetSignature() { return AString("PK\x03\x04", 4); }
  static Func_IsArc GetIsArcFunc() { return IsArc_AFF4; }

  void DoOpen(const UInt64 *maxCheckStartPosition, IArchiveOpenCallback *openCallback) override;
  void DoClose() override;
  void DoGetStream(UInt32 index, ComPtr<ISequentialInStream> &stream) override;
  TExtractItemInfo DoGetExtractItemInfo(UInt32 index) override;
  Int32 DoExtractItem(UInt32 index, ISequentialOutStream *stream, Tvor7zProgress &progress) override;
  TvorPropertyTable DoGetArchivePropertyTable() override;
  void DoGetArchiveProperty(PROPID propID, PROPVARIANT &value) override;
  void DoGetNumberOfItems(UInt32 &count) override;
  TvorPropertyTable DoGetPropertyTable() override;
  void DoGetProperty(UInt32 index, PROPID propID, PROPVARIANT &value) override;
  UInt32 DoGetDigestKinds() override;
  TvorStoredDigests DoGetStoredDigests(UInt32 index) override;

  const std::vector<TAff4Item> &Items() const { return FItems; }
  Tvor7zAff4Volumes *Volumes() const { return FVolumes.Get(); }

private:
  // Reads the volumes named `names` (the opened one, `FStream`, among them at `opened`) and makes
  // the items; false when the opened file is no AFF4 volume.
  bool Load(const std::vector<UString> &names, size_t opened, IArchiveOpenCallback *callback);
  void AddLogicalItems();
  // Fills the raw digest fields of `item` from its Hashes; differing copies are a headers error.
  void SetRawDigests(TAff4Item &item);
  Int32 ExtractFile(const TAff4Item &item, ISequentialOutStream *stream, Tvor7zProgress &progress);

  ComPtr<Tvor7zAff4Volumes> FVolumes;
  std::vector<TAff4Item> FItems;
  struct TMeta {
    UString Case, CaseName, Evidence, Description, Examiner, Notes, Tool, State;
    UString DeviceMake, DeviceModel, DeviceSerial, DeviceFirmware, DeviceName, DeviceInterface;
    UInt64 Acquired = 0, AcquisitionEnd = 0, DeviceSize = 0;
    UString VolumeUrn;
  } FMeta;
};

// FILETIME of an xsd:dateTime text ("2016-12-07T03:40:14.127Z", "2018-09-17T13:42:20+10:00"); 0
// when it does not parse.
UInt64 ParseAff4DateTime(std::string_view text);
