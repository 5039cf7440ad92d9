#include "formats/aff4/Aff4Streams.h"

#include <lz4.h>
#include <snappy-c.h>

#include <algorithm>
#include <charconv>
#include <cstdio>

#include "host/Errors.h"
#include "streams/ByteOrder.h"

using namespace NOperationResult;

namespace {
constexpr std::string_view kHashNames[kAff4HashKinds] = {"md5", "sha1", "sha256", "sha512", "blake2b"};
constexpr UInt32 kHashSizes[kAff4HashKinds] = {16, 20, 32, 64, 64};
// Largest chunk size taken: far above what writers use, and buffers are sized by it.
constexpr UInt64 kMaxChunkSize = 64u << 20;

void Flag(UInt32 &errors, UInt32 bit) { errors |= 1u << bit; }

// Most stored bytes a chunk of `chunkSize` bytes can take: no compressor here grows data by a
// quarter. An index entry claiming more is damage, not a reason to allocate it.
UInt64 MaxStoredChunk(UInt32 chunkSize) { return chunkSize + chunkSize / 4 + 4096; }

std::string BevyName(const std::string &urn, UInt64 bevy) {
  char digits[24];
  std::snprintf(digits, sizeof(digits), "%08llu", static_cast<unsigned long long>(bevy));
  return urn + "/" + digits;
}

// Reads the index entries of one page: the Standard's 12-byte entries (offset, length), or the
// earlier 4-byte ends of each chunk (whose start is the end before it).
class TAff4IndexPager : public Tvor7zBlockPager {
public:
  explicit TAff4IndexPager(Tvor7zAff4Stream &stream) : FStream(stream) {}

  void LoadPage(const Tvor7zBlockPage &page, Tvor7zBlock_ *blocks) override {
    const TAff4Bevy &bevy = FStream.Bevies[page.Table];
    const UInt32 entry = FStream.EntrySize();
    // The legacy layout needs the end of the chunk before the page's first one.
    const UInt64 first = FStream.Legacy && page.Skip > 0 ? page.Skip - 1 : page.Skip;
    const UInt64 count = page.Count + (page.Skip - first);
    std::vector<Byte> bytes(static_cast<size_t>(count * entry));
    Tvor7zAff4Volumes &volumes = *FStream.Volumes();
    const TAff4ZipMember &index = volumes.Member(bevy.Index);
    size_t got = 0;
    if (index.Method == NAff4Zip::kStored) {
      UInt64 offset = 0;
      if (volumes.DataOffset(bevy.Index, offset))
        got = ReadAt(volumes.Joined()->Clone(), offset + first * entry, bytes.data(), bytes.size());
    } else {
      std::vector<Byte> whole;
      if (volumes.ReadMember(bevy.Index, kAff4MaxSmallMember, whole) && whole.size() >= (first + count) * entry) {
        std::copy_n(whole.begin() + static_cast<std::ptrdiff_t>(first * entry), bytes.size(), bytes.begin());
        got = bytes.size();
      }
    }
    const UInt64 most = MaxStoredChunk(FStream.GetChunkSize());
    for (UInt64 i = 0; i < page.Count; i++) {
      Tvor7zBlock_ &b = blocks[i];
      const size_t at = static_cast<size_t>((i + page.Skip - first) * entry);
      UInt64 offset = 0, length = 0;
      if (at + entry > got) {
        b.Flags = NAff4Chunk::kOutside;  // the index was cut: its chunks are lost
        continue;
      }
      if (FStream.Legacy) {
        const UInt64 end = GetUi32(&bytes[at]);
        offset = page.Skip + i == 0 ? 0 : GetUi32(&bytes[at - entry]);
        length = end >= offset ? end - offset : ~0ull;
      } else {
        offset = GetUi64(&bytes[at]);
        length = GetUi32(&bytes[at + 8]);
      }
      if (length > most || offset > bevy.DataSize || length > bevy.DataSize - offset) {
        b.Flags = NAff4Chunk::kOutside;
        continue;
      }
      b.Offset = bevy.Data + offset;
      b.StoredSize = static_cast<UInt32>(length);
    }
  }

private:
  Tvor7zAff4Stream &FStream;
};

UInt64 ParseNumber(const std::string &text, bool &ok) {
  UInt64 v = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  ok = ec == std::errc() && end == text.data() + text.size() && !text.empty();
  return ok ? v : 0;
}
}  // namespace

TAff4Compression ParseAff4Compression(const std::string &method) {
  if (method.empty() || method == "aff4:nullcompressor")
    return TAff4Compression::kStored;
  const auto has = [&](std::string_view word) { return method.find(word) != std::string::npos; };
  if (has("snappy"))
    return TAff4Compression::kSnappy;
  if (has("lz4"))
    return TAff4Compression::kLz4;
  if (has("rfc1951"))
    return TAff4Compression::kDeflate;
  if (has("rfc1950") || has("zlib"))
    return TAff4Compression::kZlib;
  return TAff4Compression::kUnknown;
}

UInt32 Aff4HashSize(TAff4HashKind kind) { return kHashSizes[static_cast<size_t>(kind)]; }

TvorDigestAlgorithm Aff4HashAlgorithm(TAff4HashKind kind) {
  static constexpr TvorDigestAlgorithm kAlgorithms[kAff4HashKinds] = {
      TvorDigestAlgorithm::MD5, TvorDigestAlgorithm::SHA1, TvorDigestAlgorithm::SHA256, TvorDigestAlgorithm::SHA512,
      TvorDigestAlgorithm::BLAKE2b};
  return kAlgorithms[static_cast<size_t>(kind)];
}

bool ParseAff4HashKind(std::string_view text, TAff4HashKind &kind, std::string_view prefix) {
  if (text.substr(0, prefix.size()) != prefix)
    return false;
  text.remove_prefix(prefix.size());
  for (size_t i = 0; i < kAff4HashKinds; i++)
    if (text == kHashNames[i]) {
      kind = static_cast<TAff4HashKind>(i);
      return true;
    }
  return false;
}

std::vector<TAff4Digest> ParseAff4Digests(const std::vector<const TAff4Value *> &values, std::string_view prefix,
                                          UInt32 &bad) {
  std::vector<TAff4Digest> out;
  for (const TAff4Value *v : values) {
    TAff4Digest d;
    if (v->IsIri || !ParseAff4HashKind(v->Datatype, d.Kind, prefix))
      continue;
    const UInt32 size = Aff4HashSize(d.Kind);
    d.Value.resize(size);
    bool ok = v->Text.size() == 2 * size;
    for (UInt32 i = 0; ok && i < size; i++)
      ok = std::from_chars(v->Text.data() + 2 * i, v->Text.data() + 2 * i + 2, d.Value[i], 16).ptr ==
           v->Text.data() + 2 * i + 2;
    if (ok)
      out.push_back(std::move(d));
    else
      bad++;
  }
  return out;
}

// ---- the chunk table ----

size_t Tvor7zAff4Stream::BevyOf(UInt64 index) const {
  const auto it = std::upper_bound(Bevies.begin(), Bevies.end(), index,
                                   [](UInt64 value, const TAff4Bevy &b) { return value < b.First; });
  if (it == Bevies.begin())
    return Bevies.size();
  const size_t k = static_cast<size_t>(it - Bevies.begin()) - 1;
  return index - Bevies[k].First < Bevies[k].Count ? k : Bevies.size();
}

bool Tvor7zAff4Stream::ReadBlockHashes(size_t bevy, TAff4HashKind kind, std::vector<Byte> &hashes) {
  const TAff4Bevy &b = Bevies[bevy];
  const size_t k = static_cast<size_t>(kind);
  return b.HasHashes[k] && FVolumes->ReadMember(b.Hashes[k], kAff4MaxSmallMember, hashes) &&
         hashes.size() == b.Count * Aff4HashSize(kind);
}

bool Tvor7zAff4Stream::Load(Tvor7zAff4Volumes *volumes, const std::string &urn) {
  FVolumes = volumes;
  Urn = urn;
  const TAff4Graph &g = volumes->Graph();
  bool ok = false;
  const UInt64 chunkSize = ParseNumber(g.First(urn, TAff4Predicate::kChunkSize), ok);
  if (!ok || chunkSize == 0 || chunkSize > kMaxChunkSize) {
    Flag(volumes->Errors, kpv_ErrorFlags_HeadersError);
    return false;
  }
  SetChunkSize(static_cast<UInt32>(chunkSize));
  bool sized = false;
  UInt64 size = ParseNumber(g.First(urn, TAff4Predicate::kSize), sized);
  const UInt64 perBevy = ParseNumber(g.First(urn, TAff4Predicate::kChunksInSegment), ok);
  Compression = ParseAff4Compression(g.First(urn, TAff4Predicate::kCompressionMethod));
  UInt32 bad = 0;
  Hashes = ParseAff4Digests(g.Values(urn, TAff4Predicate::kHash), "aff4:", bad);
  IndexHashes = ParseAff4Digests(g.Values(urn, TAff4Predicate::kImageStreamIndexHash), "aff4:", bad);
  // The earlier streams hash each kind of block hashes with that kind.
  for (TAff4Digest &d : ParseAff4Digests(g.Values(urn, TAff4Predicate::kBlockHashesHash), "aff4:", bad))
    BlockHashesHashes[static_cast<size_t>(d.Kind)].push_back(std::move(d));
  for (size_t k = 0; k < kAff4HashKinds; k++)
    for (TAff4Digest &d : ParseAff4Digests(
             g.Values(urn + "/blockhash." + std::string(kHashNames[k]), TAff4Predicate::kHash), "aff4:", bad))
      BlockHashesHashes[k].push_back(std::move(d));
  if (bad)
    Flag(volumes->MetadataErrors, kpv_ErrorFlags_HeadersError);

  // Bevies in order; no more of them than the volumes have members.
  UInt64 members = 0;
  for (const TAff4Volume &v : volumes->Volumes())
    members += v.Members.size();
  const UInt64 chunks = sized ? size / chunkSize + (size % chunkSize != 0 ? 1 : 0) : ~0ull;
  UInt64 next = 0;
  TAff4Segment probe;
  Legacy = !volumes->Find(BevyName(urn, 0) + ".index", probe) && volumes->Find(BevyName(urn, 0) + "/index", probe);
  BlockHashKinds.fill(true);
  for (UInt64 b = 0; b < members && next < chunks; b++) {
    const std::string name = BevyName(urn, b);
    TAff4Bevy bevy;
    TAff4Segment data;
    const bool haveData = volumes->Find(name, data);
    const bool haveIndex = volumes->Find(name + (Legacy ? "/index" : ".index"), bevy.Index);
    if (!haveData && !haveIndex) {
      // Without a chunk count per bevy nothing tells where the next one would start.
      if (!ok || perBevy == 0 || !sized)
        break;
      Flag(volumes->Errors, kpv_ErrorFlags_UnexpectedEnd);
      next = (b + 1) * perBevy;
      continue;
    }
    bevy.First = ok && perBevy > 0 ? b * perBevy : next;
    const TAff4ZipMember &index = haveIndex ? volumes->Member(bevy.Index) : TAff4ZipMember{};
    bevy.Count = index.Size / EntrySize();
    next = bevy.First + bevy.Count;
    if (!haveData || !haveIndex || !volumes->DataOffset(data, bevy.Data)) {
      Flag(volumes->Errors, haveData && haveIndex ? kpv_ErrorFlags_HeadersError : kpv_ErrorFlags_UnexpectedEnd);
      continue;
    }
    if (volumes->Member(data).Method != NAff4Zip::kStored) {
      // Chunks are read in place; a compressed bevy would have to be inflated whole first.
      Flag(volumes->Errors, kpv_ErrorFlags_UnsupportedMethod);
      continue;
    }
    bevy.DataSize = volumes->Member(data).PackSize;
    for (size_t k = 0; k < kAff4HashKinds; k++) {
      const std::string alg(kHashNames[k]);
      bevy.HasHashes[k] = volumes->Find(name + ".blockHash." + alg, bevy.Hashes[k]) ||
                          volumes->Find(name + "/blockHash." + alg, bevy.Hashes[k]) ||
                          volumes->Find(name + "." + alg, bevy.Hashes[k]);
      BlockHashKinds[k] = BlockHashKinds[k] && bevy.HasHashes[k];
    }
    Bevies.push_back(bevy);
  }
  if (Bevies.empty())
    BlockHashKinds.fill(false);
  if (!sized)
    size = next * chunkSize;
  SetTotalSize(size);
  const UInt64 total = size / chunkSize + (size % chunkSize != 0 ? 1 : 0);
  for (size_t b = 0; b < Bevies.size(); b++) {
    TAff4Bevy &bevy = Bevies[b];
    if (bevy.First < total)
      PlaceEntries(bevy.First, std::min(bevy.Count, total - bevy.First), static_cast<UInt32>(b), 0);
  }
  // Chunks no bevy holds: the stream is shorter than its size says.
  if (GetCount() < total)
    Flag(volumes->Errors, kpv_ErrorFlags_UnexpectedEnd);
  SetMaxStoredSize(static_cast<UInt32>(MaxStoredChunk(GetChunkSize())));
  SetPager(std::make_unique<TAff4IndexPager>(*this));
  return true;
}

// ---- one chunk ----

Int32 DecodeAff4Chunk(TAff4Compression compression, UInt32 chunkSize, const Byte *stored, size_t storedSize,
                      Byte *out, size_t &written, TAff4ChunkCoders &coders) {
  written = 0;
  if (storedSize == chunkSize || compression == TAff4Compression::kStored) {
    written = std::min<size_t>(storedSize, chunkSize);
    std::copy_n(stored, written, out);
    return storedSize > chunkSize ? kDataError : kOK;
  }
  switch (compression) {
  case TAff4Compression::kSnappy: {
    size_t length = 0;
    if (snappy_uncompressed_length(reinterpret_cast<const char *>(stored), storedSize, &length) != SNAPPY_OK ||
        length > chunkSize)
      return kDataError;
    if (snappy_uncompress(reinterpret_cast<const char *>(stored), storedSize, reinterpret_cast<char *>(out),
                          &length) != SNAPPY_OK)
      return kDataError;
    written = length;
    return kOK;
  }
  case TAff4Compression::kLz4: {
    const int n = LZ4_decompress_safe(reinterpret_cast<const char *>(stored), reinterpret_cast<char *>(out),
                                      static_cast<int>(storedSize), static_cast<int>(chunkSize));
    if (n < 0)
      return kDataError;
    written = static_cast<size_t>(n);
    return kOK;
  }
  case TAff4Compression::kDeflate:
  case TAff4Compression::kZlib: {
    const bool raw = compression == TAff4Compression::kDeflate;
    ComPtr<TvorFlateDecodeDecoder> &coder = raw ? coders.Deflate : coders.Zlib;
    if (!coder)
      coder = new TvorFlateDecodeDecoder(raw);
    return coder->DecodeBuffer(stored, storedSize, out, chunkSize, &written) == S_OK ? kOK : kDataError;
  }
  default:
    return kUnsupportedMethod;
  }
}
