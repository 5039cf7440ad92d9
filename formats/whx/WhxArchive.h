// WHX disk-image backups: a chain of volume files, each holding one stored or deflated slice of the
// image plus the checksums and digests of that slice. Presented as an archive with one item.
#pragma once

#include <array>
#include <memory>
#include <vector>

#include "blocks/FlateDecoder.h"
#include "plugin/Archive.h"

UInt32 WINAPI IsArc_WHX(const Byte *p, size_t size);

// Check flags of a volume, one bit per stored checksum or digest, in the order they are verified.
namespace NWhxCheck {
enum : UInt16 {
  kChecksum8 = 1 << 0,
  kChecksum16 = 1 << 1,
  kChecksum32 = 1 << 2,
  kChecksum64 = 1 << 3,
  kCrc16 = 1 << 4,
  kCrc32 = 1 << 5,
  kMd4 = 1 << 6,
  kMd5 = 1 << 7,
  kSha1 = 1 << 8,
  kSha256 = 1 << 9,
  kAll = 0x3FF
};
constexpr unsigned kCount = 10;
}  // namespace NWhxCheck

// Fixed layout of a volume header.
namespace NWhxLayout {
constexpr char kSignature[] = "WHX Backup v1.0";
constexpr UInt32 kSignatureSize = 15;
constexpr UInt32 kFixedHeaderSize = 274;  // signature, 257 uninterpreted bytes, UInt16 E1
constexpr UInt32 kE1Offset = 272;
constexpr UInt32 kDescriptorSize = 68;
// Inside the slice descriptor.
constexpr UInt32 kDescFlag = 1;
constexpr UInt32 kDescUnitSize = 2;
constexpr UInt32 kDescFirstUnit = 10;
constexpr UInt32 kDescUnitCount = 14;
constexpr UInt32 kDescE2 = 64;
}  // namespace NWhxLayout

// Tags of the volume tag list.
namespace NWhxTag {
enum : UInt16 {
  kChecksum8 = 11,
  kChecksum16 = 12,
  kChecksum32 = 13,
  kChecksum64 = 14,
  kCrc16 = 15,
  kCrc32 = 16,
  kMd5 = 17,
  kSha1 = 18,
  kSha256 = 19,
  kMd4 = 22,
  kCompression = 256,
  kReserved = 512,
  kNextVolume = 777,
  kEnd = 0xFFFF
};
}  // namespace NWhxTag

struct Tvor7zWhxVolume {
  ComPtr<IInStream> Stream;  // nil: the units of volumes that are lost, read as zeros
  UInt64 DataOffset = 0;
  UInt64 DataSize = 0;   // uncompressed slice size
  Byte Compression = 0;  // 0 stored, 1 deflate with zlib wrapper
  UInt16 Checks = 0;     // NWhxCheck bits present
  Byte Checksum8 = 0;
  UInt16 Checksum16 = 0;
  UInt32 Checksum32 = 0;
  UInt64 Checksum64 = 0;
  UInt16 Crc16 = 0;
  UInt32 Crc32 = 0;
  std::array<Byte, 16> Md4{};
  std::array<Byte, 16> Md5{};
  std::array<Byte, 20> Sha1{};
  std::array<Byte, 32> Sha256{};

  // The stored value of check `bit` as the bytes its hasher's Final produces.
  std::vector<Byte> StoredCheck(unsigned bit) const;
};
using Pvor7zWhxVolume = Tvor7zWhxVolume *;

// The volumes of one opened backup, in chain order. Volume streams live as long as the list.
class Tvor7zWhxVolumes : public TvorInterfacedObject, public IUnknown {
public:
  VOR_UNKNOWN_IMP
  HRESULT QueryInterfaceImpl(REFIID iid, void **out) override;

  void Add(const Tvor7zWhxVolume &volume) { FItems.push_back(volume); }
  Int32 GetCount() const { return static_cast<Int32>(FItems.size()); }
  Pvor7zWhxVolume GetItem(Int32 index) { return &FItems[static_cast<size_t>(index)]; }

private:
  std::vector<Tvor7zWhxVolume> FItems;
};

class Tvor7zWhxArchive : public Tvor7zArchive {
public:
  static GUID GetClassID() { return GUID{0x8F9E0239u, 0x0E43u, 0x4B41u, {0x90, 0x5E, 0xA1, 0x4A, 0x09, 0xE6, 0x32, 0x0C}}; }
  static UString GetName() { return L"WHX"; }
  static UString GetExtension() { return L"whx"; }
  static AString GetSignature() { return AString(NWhxLayout::kSignature, NWhxLayout::kSignatureSize); }
  static Func_IsArc GetIsArcFunc() { return IsArc_WHX; }

  void DoOpen(const UInt64 *maxCheckStartPosition, IArchiveOpenCallback *openCallback) override;
  void DoClose() override;
  void DoGetStream(UInt32 index, ComPtr<ISequentialInStream> &stream) override;
  TExtractItemInfo DoGetExtractItemInfo(UInt32 index) override;
  Int32 DoExtractItem(UInt32 index, ISequentialOutStream *stream, Tvor7zProgress &progress) override;
  void DoGetNumberOfItems(UInt32 &count) override;
  TvorPropertyTable DoGetPropertyTable() override;
  void DoGetProperty(UInt32 index, PROPID propID, PROPVARIANT &value) override;

  // The image item's name for an archive file name: its extension replaced by ".img".
  static UString MakeItemName(const UString &archiveName);
  // The name of the volume after the one named `name`, when volume names count: the last number in
  // the file name counted up ("disk.w02" -> "disk.w03"); empty when it holds none.
  static UString NextVolumeName(const UString &name);

  Int32 VolumeCount() const { return FVolumes ? FVolumes->GetCount() : 0; }

private:
  // Sentinel of ReadVolume's expected first unit: the first volume may start anywhere.
  static constexpr UInt64 kAnyFirstUnit = ~0ull;

  // Reads one volume's headers and appends it. False when the stream is not a valid volume or does
  // not continue the chain (after lost volumes, `afterGap`, it may begin further on: the units
  // between are added as lost); short reads and stream failures are raised.
  bool ReadVolume(IInStream *stream, UInt64 &expectedFirstUnit, UString &nextName, bool afterGap = false);
  // One volume's slice of the image into `out`: its bytes as they are, or one deflate stream; the
  // operation result and, in `written`, the bytes it gave. The only decoding of the format: random
  // access is offered over stored slices alone, which it reads as they are.
  Int32 DecodeSlice(const Tvor7zWhxVolume &volume, ISequentialOutStream *out, Tvor7zProgress &progress,
                    UInt64 &written);

  // Volumes lost in a row after which the chain is taken to end.
  static constexpr UInt32 kMaxLostVolumes = 2;

  ComPtr<Tvor7zWhxVolumes> FVolumes;
  UString FItemName;
  UInt64 FTotalSize = 0;
  std::vector<Byte> FCopyBuffer;
  ComPtr<TvorFlateDecodeDecoder> FDecoder;
};
