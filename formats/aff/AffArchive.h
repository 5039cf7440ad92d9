// AFF images: a single file or a numbered set of files holding pages of a disk image and named
// metadata segments, presented as an archive with one item, the raw image.
#pragma once

#include <string>
#include <vector>

#include "formats/aff/AffCrypto.h"
#include "formats/aff/AffInfo.h"
#include "plugin/Archive.h"
#include "streams/InStreams.h"

UInt32 WINAPI IsArc_AFF(const Byte *p, size_t size);

class Tvor7zAffArchive : public Tvor7zArchive {
public:
  static GUID GetClassID() { return GUID{0xE5A282EBu, 0x4D34u, 0x4EE6u, {0x94, 0x07, 0x87, 0xE7, 0x94, 0x8D, 0x32, 0xA8}}; }
  static UString GetName() { return L"AFF"; }
  static UString GetExtension() { return L"aff"; }
  static AString GetSignature() { return AString("AFF10\r\n\0", 8); }
  static Func_IsArc GetIsArcFunc() { return IsArc_AFF; }

  void DoOpen(const UInt64 *maxCheckStartPosition, IArchiveOpenCallback *openCallback) override;
  void DoClose() override;
  void DoGetStream(UInt32 index, ComPtr<ISequentialInStream> &stream) override;
  TExtractItemInfo DoGetExtractItemInfo(UInt32 index) override;
  Int32 DoExtractItem(UInt32 index, ISequentialOutStream *stream, Tvor7zProgress &progress) override;
  void DoPrepareExtract(IArchiveExtractCallback *callback) override;
  TvorPropertyTable DoGetArchivePropertyTable() override;
  void DoGetArchiveProperty(PROPID propID, PROPVARIANT &value) override;
  void DoGetNumberOfItems(UInt32 &count) override;
  TvorPropertyTable DoGetPropertyTable() override;
  void DoGetProperty(UInt32 index, PROPID propID, PROPVARIANT &value) override;
  UInt32 DoGetDigestKinds() override;
  TvorStoredDigests DoGetStoredDigests(UInt32 index) override;

  // Walks every segment of one file of the set (whose byte 0 is at `base` of the joined stream):
  // pages are collected, metadata applied, damage passed (NextAffSegment) and flagged.
  void ReadAffFile(IInStream *stream, UInt64 base);
  // Applies one metadata segment; `stream` stands at its data. False only when "aff_file_type"
  // could not be read completely.
  bool ReadMetadataSegment(ISequentialInStream *stream, const std::string &name, UInt32 dataLength, UInt32 argument);
  // Whether `stream` is an AFF file with a "page0" segment (flags what it finds on the way).
  bool FindFirstPage(IInStream *stream);

  Tvor7zAffInfo *GetInfo() const { return FInfo.Get(); }
  const std::string &GetFileType() const { return FFileType; }
  const TAffSetName &GetSetName() const { return FSetName; }

  // Pieces of the extraction result, for the unit tests.

private:
  // Files of a set missing in a row after which it is taken to end.
  static constexpr UInt32 kMaxMissingFiles = 2;
  // Largest page a lost "pagesize" segment is taken from a page's bytes for.
  static constexpr UInt32 kMaxInferredPageSize = 256u << 20;

  // Without a "pagesize" segment (damage took it) the page size is what a page that is not the
  // image's last decodes to (flagged).
  void InferPageSize();
  // Applies an encrypted metadata segment (`name` its plain name; `stream` stands at its data),
  // decrypted with the key, which is unsealed first if it is not known yet. As ReadMetadataSegment.
  bool ReadEncryptedSegment(ISequentialInStream *stream, const std::string &name, const TAffSegmentHeader &header);
  // The image key, unsealed with the password `callback` gives when it is not known yet: kOk, or
  // kWrongPassphrase (also when no password can be had), or kDamaged for a key segment that is
  // missing or damaged (flagged).
  TAffKeyUnlock UnlockKey(IUnknown *callback);
  // No key this can use: an unsupported method; the open's end gives the reason as the archive's
  // error.
  void ReportNoKey();
  // Without an image size the image ends with the bytes of its last page, which may be fewer than a
  // page holds.
  void EndImageAtLastPage();

  ComPtr<Tvor7zAffInfo> FInfo;
  std::vector<TAffPageSegment> FSamplePages;  // the two lowest-numbered pages the walk met
  ComPtr<Tvor7zLimitInStream> FJoinedStream;
  std::string FFileType;
  TAffSetName FSetName;
  bool FImageSizeSeen = false;
  bool FSetIncomplete = false;  // a set that ended before the file holding its image size
  std::vector<Byte> FKeySegment;  // data of the passphrase-sealed key segment, when there is one
  bool FSealedKey = false;        // a key sealed with a public key was seen
  bool FEncryptedPages = false;
  bool FNoKey = false;            // encrypted segments that no key this can use decrypts
  bool FNoKeyForExtract = false;  // this extraction got no key: every item reports a wrong password
};
