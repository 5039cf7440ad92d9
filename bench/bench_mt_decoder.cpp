// Throughput of the parallel block decoder against a plain single-threaded loop over the same
// zlib chunks with the same inflate routine, measured in the same run.
//   bench_mt_decoder [MiB of image, default 512] [repetitions, default 3]
#include <zlib.h>

#include <ctime>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "blocks/FlateDecoder.h"
#include "blocks/MtBlocksDecoder.h"
#include "host/Errors.h"
#include "streams/InStreams.h"

namespace {

constexpr UInt32 kChunk = 32768;

// Content that looks like a used disk: zero sectors, text, structured binary (tables of small
// integers and pointers), and incompressible data, in runs of a few chunks.
class TContent {
public:
  explicit TContent(UInt64 seed) : FState(seed | 1) {}
  void Fill(Byte *out, size_t size) {
    size_t i = 0;
    while (i < size) {
      if (FRunLeft == 0) {
        FKind = static_cast<int>(Next() % 100);
        FRunLeft = 1 + Next() % 4;
      }
      const size_t piece = std::min<size_t>(size - i, 4096);
      FillPiece(out + i, piece);
      i += piece;
      if (i % kChunk == 0)
        --FRunLeft;
    }
  }

private:
  UInt64 Next() {
    FState ^= FState << 13;
    FState ^= FState >> 7;
    FState ^= FState << 17;
    return FState;
  }
  void FillPiece(Byte *p, size_t n) {
    static const char *const kWords[] = {"the ",      "evidence ", "of ",    "sector ",  "and ",   "file ",
                                         "system ",   "user ",     "data ",  "report ",  "case ",  "time ",
                                         "<div> ",    "</div>\n",  "0x1f ",  "return ",  "int ",   "value ",
                                         "error: ",   "in ",       "to ",    "Windows ", "a ",     "log\r\n"};
    if (FKind < 25) {  // zero sectors
      std::fill(p, p + n, Byte{0});
    } else if (FKind < 55) {  // text
      size_t i = 0;
      while (i < n) {
        const char *w = kWords[Next() % (sizeof(kWords) / sizeof(kWords[0]))];
        for (; *w && i < n; ++w)
          p[i++] = static_cast<Byte>(*w);
      }
    } else if (FKind < 80) {  // structured binary
      for (size_t i = 0; i + 8 <= n; i += 8) {
        const UInt64 r = Next();
        const UInt32 a = static_cast<UInt32>(0x00400000u + (r & 0xFFF) * 16);
        const UInt32 b = static_cast<UInt32>((r >> 20) & 0x3F);
        std::memcpy(p + i, &a, 4);
        std::memcpy(p + i + 4, &b, 4);
      }
    } else {  // compressed or encrypted files
      for (size_t i = 0; i + 8 <= n; i += 8) {
        const UInt64 r = Next();
        std::memcpy(p + i, &r, 8);
      }
    }
  }
  UInt64 FState;
  int FKind = 0;
  UInt64 FRunLeft = 0;
};

struct TImage {
  std::vector<Byte> Container;
  ComPtr<Tvor7zBlocks> Blocks;
};

TImage BuildImage(UInt32 chunks) {
  // Compress on every core; each chunk is an independent zlib stream at level 6.
  std::vector<std::vector<Byte>> stored(chunks);
  const unsigned threads = std::max(1u, std::thread::hardware_concurrency());
  std::vector<std::thread> pool;
  for (unsigned t = 0; t < threads; ++t)
    pool.emplace_back([&, t] {
      std::vector<Byte> plain(kChunk);
      for (UInt32 i = t; i < chunks; i += threads) {
        TContent(0x9E3779B97F4A7C15ull * (i + 1)).Fill(plain.data(), kChunk);
        uLongf len = compressBound(kChunk);
        stored[i].resize(len);
        if (compress2(stored[i].data(), &len, plain.data(), kChunk, 6) != Z_OK)
          std::abort();
        stored[i].resize(len);
      }
    });
  for (auto &th : pool)
    th.join();
  TImage img;
  img.Blocks = new Tvor7zBlocks(static_cast<UInt64>(chunks) * kChunk, kChunk, chunks);
  for (const auto &s : stored) {
    img.Blocks->AddChunk(img.Container.size(), static_cast<UInt32>(s.size()), 0);
    img.Container.insert(img.Container.end(), s.begin(), s.end());
  }
  return img;
}

// Accepts and drops everything, as a test extraction does.
class TDiscardStream : public TvorInterfacedObject, public ISequentialOutStream {
public:
  VOR_UNKNOWN_IMP
  HRESULT QueryInterfaceImpl(REFIID iid, void **out) override {
    if (iid == IID_IVorUnknown || iid == IID_ISequentialOutStream)
      return Offer<ISequentialOutStream>(this, out);
    return NoInterface(out);
  }
  HRESULT STDMETHODCALLTYPE Write(const void *data, UInt32 size, UInt32 *processed) noexcept override {
    FLast = size ? static_cast<const Byte *>(data)[size - 1] : 0;
    if (processed)
      *processed = size;
    return S_OK;
  }
  volatile Byte FLast = 0;
};

struct TZJob : Tvor7zBlockJob {
  ComPtr<TvorFlateDecodeDecoder> Flate;
};

// The decoder as a format uses it: whole-buffer inflate on the buffered path.
class TZDecoder : public Tvor7zMtBlocksDecoder {
protected:
  std::unique_ptr<Tvor7zBlockJob> NewJob() override { return std::make_unique<TZJob>(); }
  Int32 DecodeBlock(Tvor7zBlockJob &job, ISequentialInStream *in, ISequentialOutStream *out) override {
    auto &z = static_cast<TZJob &>(job);
    if (!z.Flate)
      z.Flate = new TvorFlateDecodeDecoder();
    HRESULT hr;
    if (job.Buffered) {
      size_t written = 0;
      hr = z.Flate->DecodeBuffer(job.InBuffer.get(), job.InSize, job.OutBuffer.get(), job.Block.Size, &written);
      job.SetDirectOutput(written);
    } else {
      const UInt64 size = job.Block.Size;
      hr = z.Flate->Code(in, out, nullptr, &size, nullptr);
    }
    if (hr == S_FALSE)
      return NOperationResult::kDataError;
    CheckHResult(hr);
    return NOperationResult::kOK;
  }
};

double Seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

// CPU time of the whole process, to tell the decoder's own cost from a busy machine.
double CpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

struct TTiming {
  double Wall = 1e30;
  double Cpu = 1e30;
  double BestCpu = 0;  // processor time of the fastest run
  void Keep(double wall, double cpu) {
    if (wall < Wall)
      BestCpu = cpu;
    Wall = std::min(Wall, wall);
    Cpu = std::min(Cpu, cpu);
  }
};

// The baseline: every chunk inflated in turn from the container's memory and written out.
void PlainLoop(const TImage &img, TTiming &timing) {
  ComPtr<TvorFlateDecodeDecoder> flate = new TvorFlateDecodeDecoder();
  ComPtr<TDiscardStream> out = new TDiscardStream();
  std::vector<Byte> buffer(kChunk);
  const double cpu = CpuSeconds();
  const auto start = std::chrono::steady_clock::now();
  for (UInt32 i = 0; i < img.Blocks->GetCount(); ++i) {
    const Tvor7zBlock_ b = img.Blocks->GetBlock(i);
    size_t written = 0;
    if (flate->DecodeBuffer(img.Container.data() + b.Offset, b.StoredSize, buffer.data(), b.Size, &written) !=
            S_OK ||
        written != b.Size)
      std::abort();
    UInt32 done = 0;
    out->Write(buffer.data(), static_cast<UInt32>(written), &done);
  }
  timing.Keep(Seconds(std::chrono::steady_clock::now() - start), CpuSeconds() - cpu);
}

// The ceiling of any parallel decoder: the plain loop on two threads, each over half the chunks,
// with nothing shared and no ordering.
void PlainLoopSplit(const TImage &img, TTiming &timing) {
  const UInt32 count = img.Blocks->GetCount();
  auto half = [&img](UInt32 from, UInt32 to) {
    ComPtr<TvorFlateDecodeDecoder> flate = new TvorFlateDecodeDecoder();
    ComPtr<TDiscardStream> out = new TDiscardStream();
    std::vector<Byte> buffer(kChunk);
    for (UInt32 i = from; i < to; ++i) {
      const Tvor7zBlock_ b = img.Blocks->GetBlock(i);
      size_t written = 0;
      if (flate->DecodeBuffer(img.Container.data() + b.Offset, b.StoredSize, buffer.data(), b.Size, &written) !=
          S_OK)
        std::abort();
      UInt32 done = 0;
      out->Write(buffer.data(), static_cast<UInt32>(written), &done);
    }
  };
  const double cpu = CpuSeconds();
  const auto start = std::chrono::steady_clock::now();
  std::thread other(half, count / 2, count);
  half(0, count / 2);
  other.join();
  timing.Keep(Seconds(std::chrono::steady_clock::now() - start), CpuSeconds() - cpu);
}

void Decoder(const TImage &img, Int32 threads, TTiming &timing) {
  ComPtr<Tvor7zFixedMemoryInStream> in =
      new Tvor7zFixedMemoryInStream(img.Container.data(), static_cast<UInt32>(img.Container.size()), false);
  ComPtr<TDiscardStream> out = new TDiscardStream();
  TZDecoder decoder;
  const double cpu = CpuSeconds();
  const auto start = std::chrono::steady_clock::now();
  const Int32 result = decoder.Decode(img.Blocks, in, out, nullptr, threads);
  timing.Keep(Seconds(std::chrono::steady_clock::now() - start), CpuSeconds() - cpu);
  if (result != NOperationResult::kOK) {
    std::fprintf(stderr, "decode failed: %d\n", result);
    std::exit(1);
  }
}

}  // namespace

int main(int argc, char **argv) {
  const UInt32 mib = argc > 1 ? static_cast<UInt32>(std::atoi(argv[1])) : 512;
  const int reps = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
  const UInt32 chunks = std::max<UInt32>(1, mib * (1u << 20) / kChunk);
  if (static_cast<UInt64>(chunks) * kChunk * 2 > 0xFFFFFFFFull) {
    std::fprintf(stderr, "image too large for the in-memory container\n");
    return 2;
  }
  std::printf("building %u chunks of %u bytes (%u MiB), zlib level 6...\n", chunks, kChunk, mib);
  const TImage img = BuildImage(chunks);
  const double mb = static_cast<double>(chunks) * kChunk / 1e6;
  std::printf("stored %.1f MB for %.1f MB (%.1f%%); %u cores\n", img.Container.size() / 1e6, mb,
              100.0 * img.Container.size() / (mb * 1e6), std::thread::hardware_concurrency());

  // Best of `reps` runs each, interleaved so that drift of the machine hits all alike.
  TTiming plain, split, workers[4];
  TTiming warm;
  PlainLoop(img, warm);  // page the container in
  for (int r = 0; r < reps; ++r) {
    PlainLoop(img, plain);
    PlainLoopSplit(img, split);
    for (Int32 t = 1; t <= 3; ++t)
      Decoder(img, t, workers[t]);
  }
  // ratio: wall-clock speed against the plain loop. cpu: processor time spent against the plain
  // loop (1.0 = no overhead), meaningful on a busy machine too. cores: processor time per wall
  // second of the best run; near 1 for a parallel run means the machine had no second core free.
  std::printf("%-22s %10s %8s %8s %8s\n", "run", "MB/s", "ratio", "cpu", "cores");
  std::printf("%-22s %10.1f %8.3f %8.3f %8.2f\n", "plain loop", mb / plain.Wall, 1.0, 1.0, plain.BestCpu / plain.Wall);
  std::printf("%-22s %10.1f %8.3f %8.3f %8.2f\n", "plain loop, 2 threads", mb / split.Wall, plain.Wall / split.Wall,
              split.Cpu / plain.Cpu, split.BestCpu / split.Wall);
  for (Int32 t = 1; t <= 3; ++t)
    std::printf("decoder, %d worker%s     %10.1f %8.3f %8.3f %8.2f\n", t, t == 1 ? " " : "s", mb / workers[t].Wall,
                plain.Wall / workers[t].Wall, workers[t].Cpu / plain.Cpu, workers[t].BestCpu / workers[t].Wall);
  return 0;
}
