// An AFF4 image item: its data stream (a map, or an image stream) with everything that reads from,
// one reader of its bytes shared by random access and the whole-image decoder, and the checks of
// every digest stored about it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "blocks/MtBlocksDecoder.h"
#include "hashers/StoredDigests.h"
#include "host/CodecsInfo.h"
#include "formats/aff4/Aff4Map.h"
#include "streams/Progress.h"

class Tvor7zAff4Image : public TvorInterfacedObject, public IUnknown {
public:
  VOR_UNKNOWN_IMP
  HRESULT QueryInterfaceImpl(REFIID iid, void **out) override;

  // Loads the data of object `urn`: the streams and maps its aff4:dataStream names (or the object
  // itself when it is a map or an image stream), and what their maps target. False when nothing of
  // it can be read. Damage goes to the volumes' flags.
  bool Load(Tvor7zAff4Volumes *volumes, const std::string &urn);

  std::string Urn;
  UInt64 Size = 0;
  TAff4Target Root;                              // what the image's bytes are read from
  std::vector<ComPtr<Tvor7zAff4Map>> Maps;       // every map of the image, the one read first
  std::vector<ComPtr<Tvor7zAff4Stream>> Streams;  // every image stream they target
  std::vector<TAff4Digest> Hashes;               // linear digests of the image's bytes
  std::vector<TAff4Digest> BlockMapHashes;       // the image's own block-map hashes
  bool Complete = true;                          // every target of every map was found
  Tvor7zAff4Volumes *Volumes() const { return FVolumes.Get(); }

private:
  // The target object `urn` names, loaded once; depth bounds maps of maps.
  TAff4Target LoadTarget(const std::string &urn, int depth);

  ComPtr<Tvor7zAff4Volumes> FVolumes;
};

// Reads an image's bytes through its maps, decoding the chunks of its streams; keeps the decoded
// chunks it last used. One reader serves one thread.
class TAff4Reader {
public:
  // `cacheBytes`: decoded chunks kept; `verify`: every chunk decoded is checked against the block
  // hashes its bevy stores.
  TAff4Reader(Tvor7zAff4Volumes *volumes, size_t cacheBytes, bool verify);

  // Reads `size` bytes at `position` of `target` into `out`. The operation result: kOK,
  // kUnexpectedEnd for bytes no volume holds, kDataError for chunks that do not decode,
  // kUnsupportedMethod for a compression nothing decodes. Stream failures raise.
  Int32 Read(const TAff4Target &target, UInt64 position, Byte *out, size_t size, int depth = 0);

  // Where bytes came from image streams, for hashing those streams in their own order.
  struct TRun {
    Tvor7zAff4Stream *Stream;
    UInt64 Offset;     // in the stream
    size_t OutOffset;  // in the bytes read
    size_t Length;
  };
  std::vector<TRun> *Runs = nullptr;  // recorded by Read when set
  bool BlockHashFailed = false;       // a chunk did not have the block hash stored for it

private:
  struct TSlot {
    Tvor7zAff4Stream *Stream = nullptr;
    UInt64 Index = 0;
    UInt64 LastUse = 0;
    Int32 Result = 0;
    std::vector<Byte> Data;
  };
  // Chunk `index` of `stream`, decoded (or its failure), from the cache or into it.
  const TSlot &Chunk(Tvor7zAff4Stream &stream, UInt64 index);
  const TSlot *Cached(Tvor7zAff4Stream &stream, UInt64 index);
  // Reads and decodes chunk `index` into `out` (room for the chunk size), checking it in verify mode.
  Int32 Decode(Tvor7zAff4Stream &stream, UInt64 index, Byte *out, size_t &written);
  void CheckBlockHashes(Tvor7zAff4Stream &stream, UInt64 index, const Byte *data, size_t size);

  ComPtr<Tvor7zLimitInStream> FJoined;
  bool FVerify;
  size_t FCacheBytes;
  std::vector<TSlot> FSlots;
  UInt64 FClock = 0;
  size_t FBase = 0;  // bytes of the pieces before the current one (for TRun::OutOffset)
  std::vector<Byte> FStored;
  TAff4ChunkCoders FCoders;
  struct THashes {
    Tvor7zAff4Stream *Stream = nullptr;
    size_t Bevy = 0;
    bool Ok = false;
    std::vector<Byte> Bytes;
  };
  std::array<THashes, kAff4HashKinds> FStoredHashes;
  std::array<ComPtr<IHasher>, kAff4HashKinds> FHashers;
};

// Random access to an image item.
class Tvor7zAff4ImageInStream : public Tvor7zBaseInStream {
public:
  explicit Tvor7zAff4ImageInStream(Tvor7zAff4Image *image);
  HRESULT STDMETHODCALLTYPE Read(void *data, UInt32 size, UInt32 *processed) noexcept override;

  static constexpr size_t kCacheBytes = 8u << 20;

private:
  ComPtr<Tvor7zAff4Image> FImage;
  TAff4Reader FReader;
};

// Writes a whole image to `out` on the parallel decoder and checks every digest stored about it:
// the image's linear digests (`stored` its MD5, SHA-1 and SHA-256 through the shared check, the
// longer ones here), its streams' linear digests, every chunk's block hashes and the block-map
// hashes over them (a mismatch: kCRCError). Mismatches of digests that cover only metadata (map,
// index and block hash members) set bits in `metadataErrors`.
Int32 ExtractAff4Image(Tvor7zAff4Image *image, const TvorStoredDigests &stored, ISequentialOutStream *out,
                       Tvor7zProgress *progress, Tvor7zCompressCodecsInfo *codecs, UInt32 &metadataErrors);

// The digests of `all` the shared check of stored digests does not compute (SHA-512, BLAKE2b).
std::vector<TAff4Digest> Aff4LongDigests(const std::vector<TAff4Digest> &all);

// A stream of digests computed together over the same bytes, each on a thread of its own, and
// compared with the stored values at the end.
class TAff4DigestCheck {
public:
  explicit TAff4DigestCheck(const std::vector<TAff4Digest> &expected, bool inBackground);
  // The stream to write the bytes into; `stream` itself when nothing is to be checked.
  ComPtr<ISequentialOutStream> Wrap(ISequentialOutStream *stream);
  void Update(const Byte *data, size_t size);
  // Whether every digest matches; true when there was none.
  bool Matches();
  bool Empty() const { return FExpected.empty(); }

private:
  std::vector<TAff4Digest> FExpected;
  std::vector<ComPtr<IHasher>> FHashers;
};
