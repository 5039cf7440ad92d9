// AFF4 image streams: chunks stored in bevies (a data member with an index member beside it), the
// one rule that turns a stored chunk into its bytes, and the digests AFF4 stores about them.
#pragma once

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "blocks/Blocks.h"
#include "blocks/FlateDecoder.h"
#include "formats/aff4/Aff4Volumes.h"
#include "platform/Platform.h"

enum class TAff4Compression : Byte { kStored, kSnappy, kLz4, kDeflate, kZlib, kUnknown };

// The compression a (folded) aff4:compressionMethod IRI names; none stored = kStored.
TAff4Compression ParseAff4Compression(const std::string &method);

// Digest algorithms AFF4 names, in the order of the block-map hash (shortest digest first, SHA-512
// before BLAKE2b).
enum class TAff4HashKind : Byte { kMD5, kSHA1, kSHA256, kSHA512, kBlake2b, kCount };
constexpr size_t kAff4HashKinds = static_cast<size_t>(TAff4HashKind::kCount);
UInt32 Aff4HashSize(TAff4HashKind kind);
TvorDigestAlgorithm Aff4HashAlgorithm(TAff4HashKind kind);
// The kind of a folded datatype or name suffix ("aff4:sha1", "sha1", "aff4:blockmaphashsha512"
// with `prefix` "aff4:blockmaphash"); false for none.
bool ParseAff4HashKind(std::string_view text, TAff4HashKind &kind, std::string_view prefix = "aff4:");

// One stored digest: its algorithm and value.
struct TAff4Digest {
  TAff4HashKind Kind = TAff4HashKind::kMD5;
  std::vector<Byte> Value;
};
// The digests among `values` (hexadecimal literals typed with a digest datatype, after `prefix`);
// a value of the wrong length or with other characters is left out and counted in `bad`.
std::vector<TAff4Digest> ParseAff4Digests(const std::vector<const TAff4Value *> &values, std::string_view prefix,
                                          UInt32 &bad);

// Chunk flags in the table (Tvor7zBlock_::Flags).
namespace NAff4Chunk {
constexpr UInt32 kOutside = 0x1;  // its index entry points outside its bevy: the chunk is lost
}

// A bevy: the chunks of one data member, located by the index member beside it.
struct TAff4Bevy {
  UInt64 Data = 0;       // of the chunks' bytes in the joined stream
  UInt64 DataSize = 0;
  TAff4Segment Index;
  UInt64 First = 0;      // its first chunk in the stream
  UInt64 Count = 0;      // chunks its index holds
  std::array<TAff4Segment, kAff4HashKinds> Hashes{};  // block hash members
  std::array<bool, kAff4HashKinds> HasHashes{};
};

// The chunk table of one image stream (chunk size and total size as the metadata gives them), with
// the stream's stored digests. Bevies are placed at open; their index entries are read when a chunk
// of theirs is first needed.
class Tvor7zAff4Stream : public Tvor7zBlocks {
public:
  // Reads the stream's metadata and places its bevies; damage goes to the volumes' flags. False when
  // the stream cannot be read at all (no chunk size).
  bool Load(Tvor7zAff4Volumes *volumes, const std::string &urn);

  std::string Urn;
  TAff4Compression Compression = TAff4Compression::kStored;
  bool Legacy = false;  // the index layout written before the Standard (32-bit chunk ends)
  std::vector<TAff4Bevy> Bevies;
  std::vector<TAff4Digest> Hashes;        // linear digests of the stream's bytes
  std::vector<TAff4Digest> IndexHashes;   // of its index members, in order
  // Digests of the concatenated block hashes of each kind (the Standard's BlockHashes objects, or
  // the earlier streams' blockHashesHash).
  std::array<std::vector<TAff4Digest>, kAff4HashKinds> BlockHashesHashes;
  // Kinds every bevy stores block hashes of.
  std::array<bool, kAff4HashKinds> BlockHashKinds{};
  // Size in bytes of one index entry.
  UInt32 EntrySize() const { return Legacy ? 4 : 12; }

  // The block hashes of `kind` bevy `bevy` stores (one per chunk of its index, in order); false when
  // it stores none or they cannot be read.
  bool ReadBlockHashes(size_t bevy, TAff4HashKind kind, std::vector<Byte> &hashes);
  // The bevy holding chunk `index`, or Bevies.size().
  size_t BevyOf(UInt64 index) const;

  Tvor7zAff4Volumes *Volumes() const { return FVolumes.Get(); }

private:
  ComPtr<Tvor7zAff4Volumes> FVolumes;
};

// Decoders a chunk may need, made on first use and kept by their owner for the next chunk.
struct TAff4ChunkCoders {
  ComPtr<TvorFlateDecodeDecoder> Deflate;
  ComPtr<TvorFlateDecodeDecoder> Zlib;
};

// Decodes one stored chunk into `out` (room for `chunkSize` bytes): a chunk whose stored size is the
// chunk size is stored as it is, any other is decompressed by `compression`. The operation result:
// kOK with `written` bytes, kDataError for bytes that do not decode (or decode to more than the
// chunk size), kUnsupportedMethod for a compression nothing here decodes.
Int32 DecodeAff4Chunk(TAff4Compression compression, UInt32 chunkSize, const Byte *stored, size_t storedSize,
                      Byte *out, size_t &written, TAff4ChunkCoders &coders);
