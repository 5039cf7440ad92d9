// The ZIP layer of AFF4 volumes: the central directory (ZIP64 included) read in place, members found
// by the names AFF4 gives its URNs, and their bytes read stored or deflated.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "host/Com.h"

// Fixed layout of the records read (all numbers little-endian).
namespace NAff4Zip {
constexpr UInt32 kLocalSignature = 0x04034B50;
constexpr UInt32 kCentralSignature = 0x02014B50;
constexpr UInt32 kEndSignature = 0x06054B50;
constexpr UInt32 kEnd64Signature = 0x06064B50;
constexpr UInt32 kEnd64LocatorSignature = 0x07064B50;
constexpr UInt32 kLocalSize = 30;         // local header before its name and extra field
constexpr UInt32 kCentralSize = 46;       // central header before its name, extra field and comment
constexpr UInt32 kEndSize = 22;           // end record before its comment
constexpr UInt32 kEnd64Size = 56;         // ZIP64 end record (its fixed part)
constexpr UInt32 kEnd64LocatorSize = 20;  // ZIP64 end locator
constexpr UInt16 kZip64Extra = 0x0001;    // extra field with the 64-bit sizes and offset
constexpr UInt16 kStored = 0;
constexpr UInt16 kDeflated = 8;
}  // namespace NAff4Zip

// One member as the central directory describes it.
struct TAff4ZipMember {
  std::string Name;         // as stored
  UInt64 HeaderOffset = 0;  // of its local header, in its volume file
  UInt64 PackSize = 0;      // stored bytes
  UInt64 Size = 0;          // bytes it holds
  UInt32 Crc = 0;
  UInt32 DosTime = 0;       // date in the high word, time in the low one
  UInt16 Method = 0;        // NAff4Zip::kStored or kDeflated; anything else is not read
};

// The central directory of one volume file.
struct TAff4ZipDirectory {
  std::vector<TAff4ZipMember> Members;
  std::string Comment;
  // Error flag bits (1 << kpv_ErrorFlags_...) of damage found on the way; the members read stay.
  UInt32 Errors = 0;
};

// Reads the central directory of `stream`: false when the file ends in no ZIP end record (not a ZIP
// file). A directory that ends early keeps the members before the damage.
bool ReadAff4ZipDirectory(IInStream *stream, TAff4ZipDirectory &directory);

// Position of a member's bytes in its volume file, from its local header; false when the header is
// missing or the bytes reach past `fileSize`.
bool LocateAff4ZipData(IInStream *stream, const TAff4ZipMember &member, UInt64 fileSize, UInt64 &dataOffset);

// Percent-decoding as AFF4 escapes URNs in member names ("aff4%3A%2F%2F..."); a '%' not followed by
// two hexadecimal digits stays.
std::string Aff4PercentDecode(std::string_view text);

// Reads a member of `size` bytes whose stored bytes are `packSize` bytes at the start of `in`:
// stored members are copied, deflated ones inflated. Writes at most `limit` bytes into `out` and
// answers false when the bytes do not decode, when there are more than `limit` or fewer than
// `size`, or when their CRC-32 is not `crc`.
bool ReadAff4ZipBytes(ISequentialInStream *in, const TAff4ZipMember &member, UInt64 limit, std::vector<Byte> &out);

// A member's bytes as a sequential stream: stored bytes pass through, deflated ones are inflated as
// they are read (a failure to inflate ends the stream and is remembered).
class TAff4ZipMemberStream : public TvorInterfacedObject, public ISequentialInStream {
public:
  TAff4ZipMemberStream(ISequentialInStream *packed, const TAff4ZipMember &member);
  ~TAff4ZipMemberStream() override;
  VOR_UNKNOWN_IMP
  HRESULT QueryInterfaceImpl(REFIID iid, void **out) override;
  HRESULT STDMETHODCALLTYPE Read(void *data, UInt32 size, UInt32 *processed) noexcept override;
  // Whether the bytes ended where they should: the member's size reached, nothing failed, the
  // CRC-32 right.
  bool Complete() const noexcept { return !FFailed && FProduced == FSize && FCrc == FExpectedCrc; }
  bool Failed() const noexcept { return FFailed; }
  UInt64 Produced() const noexcept { return FProduced; }

private:
  struct TInflate;
  ComPtr<ISequentialInStream> FPacked;
  UInt64 FPackLeft;
  UInt64 FSize;
  UInt64 FProduced = 0;
  bool FDeflated;
  bool FFailed = false;
  UInt32 FCrc = 0;
  UInt32 FExpectedCrc;
  std::unique_ptr<TInflate> FInflate;
};
