// AFF4 maps: the address space of an image as ranges of target streams (image streams, other maps
// or symbolic streams), the gaps between them filled from a default stream. A map sorted as writers
// store it is searched in place, a page of entries at a time; another one is sorted in memory.
#pragma once

#include <array>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <vector>

#include "formats/aff4/Aff4Streams.h"

// One entry of a map member: mapped offset, length, target offset, target number (28 bytes).
struct TAff4MapEntry {
  UInt64 Mapped = 0;
  UInt64 Length = 0;
  UInt64 Target = 0;
  UInt32 TargetId = 0;
};
constexpr UInt32 kAff4MapEntrySize = 28;

class Tvor7zAff4Map;

// What a range reads from.
struct TAff4Target {
  enum TKind : Byte { kStream, kMap, kSymbolic, kMissing };
  TKind Kind = kMissing;
  std::string Urn;
  Tvor7zAff4Stream *Stream = nullptr;  // kStream (owned by the image's stream list)
  Tvor7zAff4Map *Map = nullptr;        // kMap (owned by the image's map list)
  std::string Pattern;                 // kSymbolic: one byte, or the string a repeated-string stream repeats
};

// The bytes of a symbolic stream from `offset` on: one byte repeated, or a string repeated from the
// start of every 1 MiB chunk of the stream.
void FillAff4Symbolic(const std::string &pattern, UInt64 offset, Byte *out, size_t size);
// The target a symbolic stream's (folded) IRI names; false when it names none.
bool ParseAff4Symbolic(const std::string &folded, std::string &pattern);

// A piece of the map at one position: `Length` bytes (never 0 inside the map) read from `Target`
// at `Offset`.
struct TAff4Piece {
  const TAff4Target *Target = nullptr;
  UInt64 Offset = 0;
  UInt64 Length = 0;
};

class Tvor7zAff4Map : public TvorInterfacedObject, public IUnknown {
public:
  VOR_UNKNOWN_IMP
  HRESULT QueryInterfaceImpl(REFIID iid, void **out) override;

  // Reads the map's metadata, its target list and its entries (sorted or not, and checked against
  // the map hashes while they stream by); damage goes to the volumes' flags. False when there is no
  // map member.
  bool Load(Tvor7zAff4Volumes *volumes, const std::string &urn);

  // The piece holding `position` (< Size).  An entry whose target number the list lacks reads as
  // missing data.
  TAff4Piece Resolve(UInt64 position);

  std::string Urn;
  UInt64 Size = 0;
  std::vector<TAff4Target> Targets;  // by target number; the caller links streams and maps
  TAff4Target Gap;                   // fills what no entry maps
  // The metadata-only hashes of the map's members, and the block-map hash stored with it.
  std::vector<TAff4Digest> MapHashes, IdxHashes, PointHashes, PathHashes, BlockMapHashes;
  // Digests of the map members as they are: SHA-256 and SHA-512 of the entries ("map"), of the
  // target list ("idx") and of the path ("mapPath"; empty without one), for the block-map hash.
  std::array<std::vector<Byte>, 2> PointDigest, IdxDigest, PathDigest;
  bool HasPath = false;
  UInt32 Volume = 0;  // that holds the map's members

  // Largest unsorted map sorted in memory (32 bytes an entry).
  static constexpr UInt64 kMaxMemoryEntries = 1u << 20;
  // Entries of one page of a sorted map, and pages kept.
  static constexpr UInt64 kPageEntries = 4096;
  static constexpr size_t kCachedPages = 8;

private:
  // Entry `index` of a sorted map read in place (lock held).
  const TAff4MapEntry &Entry(UInt64 index);
  // The digests of a whole member, and its bytes when it is no larger than `keep`.
  bool DigestMember(const TAff4Segment &segment, std::array<std::vector<Byte>, 2> &digests, std::vector<Byte> *keep,
                    const std::function<void(const Byte *, size_t)> &each = nullptr);

  ComPtr<Tvor7zAff4Volumes> FVolumes;
  TAff4Target FMissing;  // of entries whose target number has no line in the target list
  bool FInPlace = false;
  UInt64 FEntriesOffset = 0;  // of a sorted map's entries in the joined stream
  UInt64 FCount = 0;
  std::vector<TAff4MapEntry> FEntries;  // an unsorted map, sorted and without overlaps
  struct TPage {
    UInt64 First = 0;
    std::vector<TAff4MapEntry> Entries;
  };
  std::list<TPage> FPages;  // most recently used first
  std::mutex FLock;
};
