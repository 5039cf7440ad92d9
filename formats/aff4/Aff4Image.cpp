#include "formats/aff4/Aff4Image.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "hashers/BackgroundHasher.h"
#include "hashers/Hashers.h"
#include "host/Errors.h"
#include "host/StreamIo.h"

using namespace NOperationResult;

namespace {
// Maps of maps deeper than this are damage (or a loop).
constexpr int kMaxDepth = 8;
// Bytes a streamed block is produced in.
constexpr size_t kStreamPiece = 1u << 20;
// The image is decoded in blocks of at least this size, and in at most this many of them.
constexpr UInt64 kMinImageBlock = 1u << 20;
constexpr UInt64 kMaxImageBlocks = 1ull << 28;
constexpr UInt64 kMaxImageBlock = 1ull << 31;

void Flag(UInt32 &errors, UInt32 bit) { errors |= 1u << bit; }

ComPtr<IHasher> NewHasher(TAff4HashKind kind) {
  ComPtr<IHasher> h(new Tvor7zWinCryptHasher(Aff4HashAlgorithm(kind)));
  h->Init();
  return h;
}

// A pass-through stream that feeds every byte to the checker.
class THashingOutStream : public TvorInterfacedObject, public ISequentialOutStream {
public:
  THashingOutStream(TAff4DigestCheck &check, ISequentialOutStream *stream) : FCheck(check), FStream(stream) {}
  VOR_UNKNOWN_IMP
  HRESULT QueryInterfaceImpl(REFIID iid, void **out) override {
    if (iid == IID_IVorUnknown || iid == IID_ISequentialOutStream)
      return Offer<ISequentialOutStream>(this, out);
    return NoInterface(out);
  }
  HRESULT STDMETHODCALLTYPE Write(const void *data, UInt32 size, UInt32 *processed) noexcept override {
    UInt32 done = 0;
    const HRESULT hr = FStream ? FStream->Write(data, size, &done) : (done = size, S_OK);
    FCheck.Update(static_cast<const Byte *>(data), done);
    if (processed)
      *processed = done;
    return hr;
  }

private:
  TAff4DigestCheck &FCheck;
  ComPtr<ISequentialOutStream> FStream;
};

// Blocks of the image's address space for the parallel decoder: nothing stored, every block read
// through the image's maps by the job that decodes it.
class TAff4NoEntries : public Tvor7zBlockPager {
public:
  void LoadPage(const Tvor7zBlockPage &, Tvor7zBlock_ *) override {}
};

class TAff4ImageBlocks : public Tvor7zBlocks {
public:
  TAff4ImageBlocks(UInt64 size, UInt64 blockSize) {
    SetChunkSize(static_cast<UInt32>(blockSize));
    SetTotalSize(size);
    PlaceEntries(0, size / blockSize + (size % blockSize != 0 ? 1 : 0), 0, 0);
    SetPager(std::make_unique<TAff4NoEntries>());
  }
};

struct TAff4ImageJob : Tvor7zBlockJob {
  explicit TAff4ImageJob(Tvor7zAff4Volumes *volumes) : Reader(volumes, 0, true) {}
  TAff4Reader Reader;
  std::vector<TAff4Reader::TRun> Runs;
  std::vector<Byte> Piece;
};

// The linear digests of one image stream, fed while the image is written as long as the image
// reads the stream in the stream's own order.
struct TStreamCheck {
  Tvor7zAff4Stream *Stream;
  TAff4DigestCheck Check;
  UInt64 Next = 0;
  bool InOrder = true;
};

class TAff4ImageDecoder : public Tvor7zMtBlocksDecoder {
public:
  TAff4ImageDecoder(Tvor7zAff4Image &image, std::vector<TStreamCheck> &streams) : FImage(image), FStreams(streams) {}

  bool ReadJob(Tvor7zBlockJob &job) override {
    job.InSize = 0;  // nothing to read ahead: the job reads what the maps name
    return true;
  }

  Int32 DecodeBlock(Tvor7zBlockJob &job, ISequentialInStream *, ISequentialOutStream *out) override {
    auto &j = static_cast<TAff4ImageJob &>(job);
    j.Runs.clear();
    j.Reader.BlockHashFailed = false;
    if (job.Buffered) {
      j.Reader.Runs = &j.Runs;
      const Int32 r = j.Reader.Read(FImage.Root, job.Block.Position, job.OutBuffer.get(), job.Block.Size);
      if (r != kOK)
        return r;
      job.SetDirectOutput(job.Block.Size);
    } else {
      j.Reader.Runs = nullptr;
      j.Piece.resize(kStreamPiece);
      for (UInt64 done = 0; done < job.Block.Size;) {
        const size_t n = static_cast<size_t>(std::min<UInt64>(kStreamPiece, job.Block.Size - done));
        const Int32 r = j.Reader.Read(FImage.Root, job.Block.Position + done, j.Piece.data(), n);
        if (r != kOK)
          return r;
        CheckHResult(WriteStream(out, j.Piece.data(), n));
        done += n;
      }
    }
    return j.Reader.BlockHashFailed ? DeferChecksumResult(job, kCRCError) : kOK;
  }

  bool WriteJob(Tvor7zBlockJob &job) override {
    const bool more = Tvor7zMtBlocksDecoder::WriteJob(job);
    auto &j = static_cast<TAff4ImageJob &>(job);
    if (!job.Buffered)
      for (TStreamCheck &s : FStreams)
        s.InOrder = false;
    for (const TAff4Reader::TRun &run : j.Runs) {
      for (TStreamCheck &s : FStreams) {
        if (s.Stream != run.Stream || !s.InOrder)
          continue;
        if (run.Offset != s.Next) {
          s.InOrder = false;
          continue;
        }
        s.Check.Update(job.OutBuffer.get() + run.OutOffset, run.Length);
        s.Next += run.Length;
      }
    }
    return more;
  }

protected:
  std::unique_ptr<Tvor7zBlockJob> NewJob() override { return std::make_unique<TAff4ImageJob>(FImage.Volumes()); }

private:
  Tvor7zAff4Image &FImage;
  std::vector<TStreamCheck> &FStreams;
};

// The digests of one kind of block hashes of a stream: all its bevies' members of that kind, one
// after the other, hashed with SHA-256, SHA-512 and the kind itself.
struct TBlockHashDigests {
  bool Ok = false;
  std::array<std::vector<Byte>, kAff4HashKinds> Of;
};

TBlockHashDigests DigestBlockHashes(Tvor7zAff4Stream &stream, TAff4HashKind kind) {
  TBlockHashDigests d;
  const TAff4HashKind kinds[] = {TAff4HashKind::kSHA256, TAff4HashKind::kSHA512, kind};
  ComPtr<IHasher> h[3];
  for (int i = 0; i < 3; i++)
    h[i] = NewHasher(kinds[i]);
  std::vector<Byte> bytes;
  for (size_t b = 0; b < stream.Bevies.size(); b++) {
    if (!stream.Bevies[b].HasHashes[static_cast<size_t>(kind)])
      continue;
    if (!stream.ReadBlockHashes(b, kind, bytes))
      return d;
    for (auto &x : h)
      x->Update(bytes.data(), static_cast<UInt32>(bytes.size()));
  }
  for (int i = 0; i < 3; i++) {
    std::vector<Byte> &out = d.Of[static_cast<size_t>(kinds[i])];
    out.resize(h[i]->GetDigestSize());
    h[i]->Final(out.data());
  }
  d.Ok = true;
  return d;
}

// Checks a stream's metadata-only digests (of its index members and of its block hashes) and
// adds, for each map digest kind, what the stream contributes to a block-map hash.
bool CheckStreamMetadata(Tvor7zAff4Stream &stream, std::array<std::vector<Byte>, 2> &contribution) {
  bool ok = true;
  if (!stream.IndexHashes.empty()) {
    TAff4DigestCheck check(stream.IndexHashes, false);
    std::vector<Byte> bytes;
    for (const TAff4Bevy &b : stream.Bevies) {
      if (!stream.Volumes()->ReadMember(b.Index, kAff4MaxSmallMember, bytes)) {
        ok = false;
        break;
      }
      check.Update(bytes.data(), bytes.size());
    }
    ok = ok && check.Matches();
  }
  for (size_t k = 0; k < kAff4HashKinds; k++) {
    const bool any = std::any_of(stream.Bevies.begin(), stream.Bevies.end(),
                                 [&](const TAff4Bevy &b) { return b.HasHashes[k]; });
    if (!any)
      continue;
    const TBlockHashDigests d = DigestBlockHashes(stream, static_cast<TAff4HashKind>(k));
    if (!d.Ok)
      return false;
    for (const TAff4Digest &stored : stream.BlockHashesHashes[k])
      ok = ok && stored.Value == d.Of[static_cast<size_t>(stored.Kind)];
    // The Standard hashes block hashes with the block-map hash's algorithm; the earlier streams
    // with their own.
    for (int m = 0; m < 2; m++) {
      const std::vector<Byte> &part = stream.Legacy ? d.Of[k] : d.Of[m == 0 ? 2 : 3];
      contribution[m].insert(contribution[m].end(), part.begin(), part.end());
    }
  }
  return ok;
}
}  // namespace

// ---- the image ----

HRESULT Tvor7zAff4Image::QueryInterfaceImpl(REFIID iid, void **out) {
  if (iid == IID_IVorUnknown)
    return Offer<IUnknown>(this, out);
  return NoInterface(out);
}

TAff4Target Tvor7zAff4Image::LoadTarget(const std::string &urn, int depth) {
  TAff4Target t;
  t.Urn = urn;
  if (ParseAff4Symbolic(FoldAff4Iri(urn), t.Pattern)) {
    t.Kind = TAff4Target::kSymbolic;
    return t;
  }
  for (const auto &m : Maps)
    if (m->Urn == urn) {
      t.Kind = TAff4Target::kMap;
      t.Map = m.Get();
      return t;
    }
  for (const auto &s : Streams)
    if (s->Urn == urn) {
      t.Kind = TAff4Target::kStream;
      t.Stream = s.Get();
      return t;
    }
  const TAff4Graph &g = FVolumes->Graph();
  const bool stream = g.HasType(urn, "aff4:imagestream") || g.HasType(urn, "aff4:stream") ||
                      !g.First(urn, TAff4Predicate::kChunkSize).empty();
  if (stream) {
    ComPtr<Tvor7zAff4Stream> s(new Tvor7zAff4Stream());
    if (s->Load(FVolumes.Get(), urn)) {
      Streams.push_back(s);
      t.Kind = TAff4Target::kStream;
      t.Stream = s.Get();
    }
    return t;
  }
  ComPtr<Tvor7zAff4Map> m(new Tvor7zAff4Map());
  if (depth > kMaxDepth || !m->Load(FVolumes.Get(), urn))
    return t;
  Maps.push_back(m);
  for (TAff4Target &target : m->Targets) {
    if (target.Kind == TAff4Target::kSymbolic)
      continue;
    target = LoadTarget(target.Urn, depth + 1);
    if (target.Kind == TAff4Target::kMissing)
      Complete = false;
  }
  t.Kind = TAff4Target::kMap;
  t.Map = m.Get();
  return t;
}

bool Tvor7zAff4Image::Load(Tvor7zAff4Volumes *volumes, const std::string &urn) {
  FVolumes = volumes;
  Urn = urn;
  const TAff4Graph &g = volumes->Graph();
  UInt32 bad = 0;
  Hashes = ParseAff4Digests(g.Values(urn, TAff4Predicate::kHash), "aff4:", bad);
  BlockMapHashes = ParseAff4Digests(g.Values(urn, TAff4Predicate::kHash), "aff4:blockmaphash", bad);
  if (bad)
    Flag(volumes->MetadataErrors, kpv_ErrorFlags_HeadersError);
  std::vector<std::string> data;
  for (const TAff4Value *v : g.Values(urn, TAff4Predicate::kDataStream))
    if (v->IsIri)
      data.push_back(NormalizeAff4Urn(v->Text));
  // The earlier images were maps themselves.
  if (data.empty())
    data.push_back(urn);
  for (const std::string &d : data) {
    const TAff4Target t = LoadTarget(d, 0);
    if (Root.Kind == TAff4Target::kMissing && t.Kind != TAff4Target::kSymbolic)
      Root = t;
  }
  if (Root.Kind == TAff4Target::kMissing)
    return false;
  // The maps of a striped image in the order of their volumes: their block-map hashes are joined so.
  std::stable_sort(Maps.begin(), Maps.end(), [](const auto &a, const auto &b) { return a->Volume < b->Volume; });
  const std::string size = g.First(urn, TAff4Predicate::kSize);
  if (std::from_chars(size.data(), size.data() + size.size(), Size).ptr != size.data() + size.size() || size.empty())
    Size = Root.Kind == TAff4Target::kMap ? Root.Map->Size : Root.Stream->GetTotalSize();
  return true;
}

// ---- reading ----

TAff4Reader::TAff4Reader(Tvor7zAff4Volumes *volumes, size_t cacheBytes, bool verify)
    : FJoined(volumes->Joined()->Clone()), FVerify(verify), FCacheBytes(cacheBytes) {}

void TAff4Reader::CheckBlockHashes(Tvor7zAff4Stream &stream, UInt64 index, const Byte *data, size_t size) {
  const size_t bevy = stream.BevyOf(index);
  if (bevy >= stream.Bevies.size())
    return;
  for (size_t k = 0; k < kAff4HashKinds; k++) {
    if (!stream.Bevies[bevy].HasHashes[k])
      continue;
    const auto kind = static_cast<TAff4HashKind>(k);
    THashes &stored = FStoredHashes[k];
    if (stored.Stream != &stream || stored.Bevy != bevy) {
      stored.Stream = &stream;
      stored.Bevy = bevy;
      stored.Ok = stream.ReadBlockHashes(bevy, kind, stored.Bytes);
    }
    if (!FHashers[k])
      FHashers[k] = NewHasher(kind);
    IHasher &h = *FHashers[k];
    h.Init();
    h.Update(data, static_cast<UInt32>(size));
    Byte digest[64];
    h.Final(digest);
    const UInt32 size = Aff4HashSize(kind);
    const size_t at = static_cast<size_t>(index - stream.Bevies[bevy].First) * size;
    // Hashes that cannot be read cannot confirm the chunk either.
    if (!stored.Ok || h.GetDigestSize() != size || std::memcmp(digest, stored.Bytes.data() + at, size) != 0)
      BlockHashFailed = true;
  }
}

Int32 TAff4Reader::Decode(Tvor7zAff4Stream &stream, UInt64 index, Byte *out, size_t &written) {
  written = 0;
  const Tvor7zBlock_ b = index < stream.GetCount() ? stream.GetBlock(index) : Tvor7zBlock_{};
  if (!b.Valid)
    return kUnexpectedEnd;
  if (b.Flags & NAff4Chunk::kOutside)
    return kDataError;
  FStored.resize(b.StoredSize);
  if (ReadAt(FJoined, b.Offset, FStored.data(), FStored.size()) < FStored.size())
    return kUnexpectedEnd;
  Int32 r = DecodeAff4Chunk(stream.Compression, stream.GetChunkSize(), FStored.data(), FStored.size(), out, written,
                            FCoders);
  if (r == kOK && written < b.Size)
    r = kDataError;
  if (r == kOK && FVerify)
    CheckBlockHashes(stream, index, out, written);
  return r;
}

const TAff4Reader::TSlot *TAff4Reader::Cached(Tvor7zAff4Stream &stream, UInt64 index) {
  for (TSlot &s : FSlots)
    if (s.Stream == &stream && s.Index == index) {
      s.LastUse = ++FClock;
      return &s;
    }
  return nullptr;
}

const TAff4Reader::TSlot &TAff4Reader::Chunk(Tvor7zAff4Stream &stream, UInt64 index) {
  if (const TSlot *hit = Cached(stream, index))
    return *hit;
  const size_t most = std::max<size_t>(1, FCacheBytes / stream.GetChunkSize());
  TSlot *slot;
  if (FSlots.size() < most) {
    slot = &FSlots.emplace_back();
  } else {
    slot = &*std::min_element(FSlots.begin(), FSlots.end(),
                              [](const TSlot &a, const TSlot &b) { return a.LastUse < b.LastUse; });
  }
  slot->Stream = &stream;
  slot->Index = index;
  slot->LastUse = ++FClock;
  slot->Data.resize(stream.GetChunkSize());
  size_t written = 0;
  slot->Result = Decode(stream, index, slot->Data.data(), written);
  slot->Data.resize(written);
  if (slot->Result != kOK)
    slot->Stream = nullptr;  // tried again when asked again
  return *slot;
}

Int32 TAff4Reader::Read(const TAff4Target &target, UInt64 position, Byte *out, size_t size, int depth) {
  if (depth == 0)
    FBase = 0;
  if (depth > kMaxDepth)
    return kDataError;
  switch (target.Kind) {
  case TAff4Target::kSymbolic:
    FillAff4Symbolic(target.Pattern, position, out, size);
    FBase += size;
    return kOK;
  case TAff4Target::kMissing:
    return kUnexpectedEnd;
  case TAff4Target::kStream: {
    Tvor7zAff4Stream &s = *target.Stream;
    const UInt64 total = s.GetTotalSize();
    const UInt32 chunkSize = s.GetChunkSize();
    for (size_t done = 0; done < size;) {
      const UInt64 at = position + done;
      if (at >= total)
        return kUnexpectedEnd;
      const size_t inChunk = static_cast<size_t>(at % chunkSize);
      // A whole chunk the caller has room for is decoded straight into its place.
      if (inChunk == 0 && size - done >= chunkSize && total - at >= chunkSize && !Cached(s, at / chunkSize)) {
        size_t written = 0;
        if (const Int32 r = Decode(s, at / chunkSize, out + done, written); r != kOK)
          return r;
        if (Runs)
          Runs->push_back({&s, at, FBase, chunkSize});
        FBase += chunkSize;
        done += chunkSize;
        continue;
      }
      const TSlot &slot = Chunk(s, at / chunkSize);
      if (slot.Result != kOK)
        return slot.Result;
      const size_t valid = static_cast<size_t>(std::min<UInt64>(slot.Data.size(), total - (at - inChunk)));
      const size_t n = std::min(size - done, valid - inChunk);
      std::memcpy(out + done, slot.Data.data() + inChunk, n);
      if (Runs)
        Runs->push_back({&s, at, FBase, n});
      FBase += n;
      done += n;
    }
    return kOK;
  }
  case TAff4Target::kMap: {
    Tvor7zAff4Map &m = *target.Map;
    for (size_t done = 0; done < size;) {
      if (position + done >= m.Size)
        return kUnexpectedEnd;
      const TAff4Piece piece = m.Resolve(position + done);
      const size_t n = static_cast<size_t>(std::min<UInt64>(size - done, piece.Length));
      if (n == 0)
        return kUnexpectedEnd;
      if (const Int32 r = Read(*piece.Target, piece.Offset, out + done, n, depth + 1); r != kOK)
        return r;
      done += n;
    }
    return kOK;
  }
  }
  return kDataError;
}

Tvor7zAff4ImageInStream::Tvor7zAff4ImageInStream(Tvor7zAff4Image *image)
    : FImage(image), FReader(image->Volumes(), kCacheBytes, false) {
  FSize = image->Size;
}

HRESULT Tvor7zAff4ImageInStream::Read(void *data, UInt32 size, UInt32 *processed) noexcept {
  if (processed)
    *processed = 0;
  return GuardHResult([&]() -> HRESULT {
    if (FPosition >= FSize || size == 0)
      return S_OK;
    size = static_cast<UInt32>(std::min<UInt64>(size, FSize - FPosition));
    // Piece by piece, so that the bytes before a failing place are delivered.
    auto *out = static_cast<Byte *>(data);
    UInt32 done = 0;
    while (done < size) {
      const UInt32 n = std::min<UInt32>(size - done, 64u << 10);
      const Int32 r = FReader.Read(FImage->Root, FPosition, out + done, n);
      if (r == kDataError || r == kCRCError)
        return done > 0 ? S_OK : S_FALSE;
      if (r == kUnsupportedMethod)
        return done > 0 ? S_OK : E_NOTIMPL;
      if (r != kOK)
        break;  // missing data: the stream ends here
      done += n;
      FPosition += n;
      if (processed)
        *processed = done;
    }
    return S_OK;
  });
}

// ---- checking digests ----

TAff4DigestCheck::TAff4DigestCheck(const std::vector<TAff4Digest> &expected, bool inBackground) : FExpected(expected) {
  for (const TAff4Digest &d : FExpected) {
    ComPtr<IHasher> h = NewHasher(d.Kind);
    FHashers.push_back(inBackground ? HashInBackground(h) : h);
    FHashers.back()->Init();
  }
}

ComPtr<ISequentialOutStream> TAff4DigestCheck::Wrap(ISequentialOutStream *stream) {
  if (FExpected.empty())
    return ComPtr<ISequentialOutStream>(stream);
  return ComPtr<ISequentialOutStream>(new THashingOutStream(*this, stream));
}

void TAff4DigestCheck::Update(const Byte *data, size_t size) {
  for (auto &h : FHashers)
    for (size_t at = 0; at < size;) {
      const UInt32 n = static_cast<UInt32>(std::min<size_t>(size - at, 1u << 30));
      h->Update(data + at, n);
      at += n;
    }
}

bool TAff4DigestCheck::Matches() {
  bool ok = true;
  for (size_t i = 0; i < FExpected.size(); i++) {
    Byte digest[64] = {};
    const UInt32 size = Aff4HashSize(FExpected[i].Kind);
    ok = ok && FHashers[i]->GetDigestSize() == size;
    if (ok) {
      FHashers[i]->Final(digest);
      ok = std::memcmp(digest, FExpected[i].Value.data(), size) == 0;
    }
  }
  return ok;
}

std::vector<TAff4Digest> Aff4LongDigests(const std::vector<TAff4Digest> &all) {
  std::vector<TAff4Digest> out;
  for (const TAff4Digest &d : all)
    if (d.Kind == TAff4HashKind::kSHA512 || d.Kind == TAff4HashKind::kBlake2b)
      out.push_back(d);
  return out;
}

Int32 ExtractAff4Image(Tvor7zAff4Image *image, const TvorStoredDigests &stored, ISequentialOutStream *out,
                       Tvor7zProgress *progress, Tvor7zCompressCodecsInfo *codecs, UInt32 &metadataErrors) {
  Tvor7zStoredDigestCheck digests(codecs, true);
  TAff4DigestCheck imageCheck(Aff4LongDigests(image->Hashes), true);
  const ComPtr<ISequentialOutStream> wrapped = imageCheck.Wrap(digests.Wrap(out, stored));
  std::vector<TStreamCheck> streams;
  for (const auto &s : image->Streams)
    if (!s->Hashes.empty())
      streams.push_back({s.Get(), TAff4DigestCheck(s->Hashes, true)});
  UInt64 blockSize = kMinImageBlock;
  for (const auto &s : image->Streams)
    blockSize = std::max<UInt64>(blockSize, s->GetChunkSize());
  while (image->Size / blockSize > kMaxImageBlocks && blockSize < kMaxImageBlock)
    blockSize *= 2;
  const ComPtr<TAff4ImageBlocks> blocks(new TAff4ImageBlocks(image->Size, blockSize));
  TAff4ImageDecoder decoder(*image, streams);
  decoder.SetBusyProcessors(digests.Count() == 0 && imageCheck.Empty() && streams.empty() ? 0 : 1);
  Int32 result = decoder.Decode(blocks.Get(), image->Volumes()->Joined(), wrapped, progress, 0);
  result = digests.Verify(result);
  if (result == kOK && !imageCheck.Matches())
    result = kCRCError;

  // Streams the image did not read whole and in order are read again on their own.
  for (TStreamCheck &s : streams) {
    const UInt64 total = s.Stream->GetTotalSize();
    if (!s.InOrder || s.Next != total) {
      TAff4DigestCheck again(s.Stream->Hashes, false);
      TAff4Reader reader(image->Volumes(), 0, false);
      TAff4Target t;
      t.Kind = TAff4Target::kStream;
      t.Stream = s.Stream;
      std::vector<Byte> piece(kStreamPiece);
      bool read = true;
      for (UInt64 at = 0; read && at < total; at += piece.size()) {
        const size_t n = static_cast<size_t>(std::min<UInt64>(piece.size(), total - at));
        read = reader.Read(t, at, piece.data(), n) == kOK;
        again.Update(piece.data(), n);
        if (progress)
          CheckHResult(progress->Add(0));
      }
      if (result == kOK && (!read || !again.Matches()))
        result = kCRCError;
    } else if (result == kOK && !s.Check.Matches()) {
      result = kCRCError;
    }
  }

  // Block-map hashes: each map over the block hashes of the streams stored in its volume and over
  // its own members; the image's over all of its maps.
  bool metadataOk = true;
  std::array<std::vector<Byte>, 2> joined;
  for (const auto &m : image->Maps) {
    std::array<std::vector<Byte>, 2> input;
    std::vector<const Tvor7zAff4Stream *> seen;
    for (const TAff4Target &t : m->Targets) {
      if (t.Kind != TAff4Target::kStream || t.Stream->Bevies.empty() ||
          t.Stream->Bevies[0].Index.Volume != m->Volume ||
          std::find(seen.begin(), seen.end(), t.Stream) != seen.end())
        continue;
      seen.push_back(t.Stream);
      metadataOk = CheckStreamMetadata(*t.Stream, input) && metadataOk;
    }
    std::array<std::vector<Byte>, 2> computed;
    for (int k = 0; k < 2; k++) {
      for (const auto *part : {&m->PointDigest[k], &m->IdxDigest[k]})
        input[k].insert(input[k].end(), part->begin(), part->end());
      if (m->HasPath)
        input[k].insert(input[k].end(), m->PathDigest[k].begin(), m->PathDigest[k].end());
      ComPtr<IHasher> h = NewHasher(k == 0 ? TAff4HashKind::kSHA256 : TAff4HashKind::kSHA512);
      h->Update(input[k].data(), static_cast<UInt32>(input[k].size()));
      computed[k].resize(h->GetDigestSize());
      h->Final(computed[k].data());
      joined[k].insert(joined[k].end(), computed[k].begin(), computed[k].end());
    }
    for (const TAff4Digest &d : m->BlockMapHashes) {
      const int k = d.Kind == TAff4HashKind::kSHA256 ? 0 : d.Kind == TAff4HashKind::kSHA512 ? 1 : -1;
      if (result == kOK && (k < 0 || d.Value != computed[k]))
        result = kCRCError;
    }
    if (image->Maps.size() == 1)
      joined = computed;
  }
  if (image->Maps.size() > 1)
    for (int k = 0; k < 2; k++) {
      ComPtr<IHasher> h = NewHasher(k == 0 ? TAff4HashKind::kSHA256 : TAff4HashKind::kSHA512);
      h->Update(joined[k].data(), static_cast<UInt32>(joined[k].size()));
      joined[k].resize(h->GetDigestSize());
      h->Final(joined[k].data());
    }
  for (const TAff4Digest &d : image->BlockMapHashes) {
    const int k = d.Kind == TAff4HashKind::kSHA256 ? 0 : d.Kind == TAff4HashKind::kSHA512 ? 1 : -1;
    if (result == kOK && (image->Maps.empty() || k < 0 || d.Value != joined[k]))
      result = kCRCError;
  }
  if (!metadataOk)
    Flag(metadataErrors, kpv_ErrorFlags_HeadersError);
  return result;
}
