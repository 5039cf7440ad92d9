// AD-encrypted images that hold no container of their own (raw images, split as .001, .002, ...):
// the decrypted bytes of all files of the set as one image item. Encrypted AD1 and E01 sets open in
// their own formats; this one takes what they do not. Its size is known without the key: with a
// wrong password the item is listed, and testing or extracting it asks for the password again and
// reports a wrong one (the host's split handler would otherwise take a .001 file for its own).
#pragma once

#include <vector>

#include "plugin/Archive.h"
#include "streams/AdEncryption.h"

UInt32 WINAPI IsArc_AdCrypt(const Byte *p, size_t size);

class Tvor7zAdCryptArchive : public Tvor7zArchive {
public:
  static GUID GetClassID() { return GUID{0xF976FF7Au, 0xC641u, 0x4420u, {0xBE, 0xB8, 0x6E, 0x81, 0xBE, 0x51, 0x6D, 0x38}}; }
  static UString GetName() { return L"ADCrypt"; }
  static UString GetExtension() { return L"001 raw dd"; }
  static AString GetSignature() { return AString("ADCRYPT\0", 8); }
  static Func_IsArc GetIsArcFunc() { return IsArc_AdCrypt; }

  void DoOpen(const UInt64 *maxCheckStartPosition, IArchiveOpenCallback *openCallback) override;
  void DoClose() override;
  void DoGetStream(UInt32 index, ComPtr<ISequentialInStream> &stream) override;
  TExtractItemInfo DoGetExtractItemInfo(UInt32 index) override;
  void DoPrepareExtract(IArchiveExtractCallback *callback) override;
  Int32 DoExtractItem(UInt32 index, ISequentialOutStream *stream, Tvor7zProgress &progress) override;
  void DoGetNumberOfItems(UInt32 &count) override;
  TvorPropertyTable DoGetPropertyTable() override;
  void DoGetProperty(UInt32 index, PROPID propID, PROPVARIANT &value) override;

private:
  // "disk.001" is followed by "disk.002", "disk.003", ... in the same width; other names stand alone.
  UString VolumeName(UInt32 index);
  // The plain image, once `callback` gave the password; false while it did not.
  bool Unlock(IUnknown *callback);

  TAdCryptHeader FHeader;
  std::vector<ComPtr<IInStream>> FFiles;  // the files of the set as stored
  UInt64 FSize = 0;                       // of the plain image
  ComPtr<Tvor7zLimitInStream> FImage;     // its plain bytes, once the key is known
  UString FItemName;
  bool FNoKeyForExtract = false;
};
