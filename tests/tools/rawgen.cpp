// Deterministic raw disk images for the end-to-end tests and the benchmarks.
//
//   rawgen OUT SIZE SEED [ZERO TEXT RANDOM [FILL [BLOCK]]]
//
// The image is cut into BLOCK-byte blocks (default 32768); each block is, by a
// weighted draw, all zero, text-like (compresses about 3:1), random (does not
// compress) or one repeated non-zero byte. Weights are relative integers
// (default 40 30 30 0). The same arguments always give the same bytes, so a
// test can regenerate its reference instead of storing it. SIZE takes an
// optional K, M or G suffix (powers of 1024); "-" as OUT writes to stdout.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "SizeArg.h"

namespace {

// splitmix64: small, fast and good enough to feed a test image.
class TRandom {
public:
  explicit TRandom(uint64_t seed) : FState(seed) {}
  uint64_t Next() {
    uint64_t z = (FState += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  uint32_t Below(uint32_t n) { return static_cast<uint32_t>((Next() >> 32) % n); }

private:
  uint64_t FState;
};

constexpr std::array<std::string_view, 48> kWords = {
    "the", "of", "and", "evidence", "case", "disk", "sector", "chunk", "image", "examiner",
    "acquired", "volume", "table", "file", "record", "partition", "boot", "user", "system",
    "report", "segment", "number", "data", "checksum", "header", "media", "offset", "written",
    "to", "in", "a", "is", "was", "on", "for", "with", "directory", "deleted", "timestamp",
    "registry", "mail", "archive", "document", "photo", "network", "log", "entry", "signature"};

void FillText(TRandom &rng, uint8_t *p, size_t n) {
  size_t i = 0;
  unsigned column = 0;
  while (i < n) {
    std::string_view w = kWords[rng.Below(kWords.size())];
    for (size_t k = 0; k < w.size() && i < n; ++k) p[i++] = static_cast<uint8_t>(w[k]);
    column += static_cast<unsigned>(w.size()) + 1;
    if (i < n) {
      const bool lineEnd = column > 60 + rng.Below(20);
      p[i++] = lineEnd ? '\n' : ' ';
      if (lineEnd) column = 0;
    }
  }
}

void FillRandom(TRandom &rng, uint8_t *p, size_t n) {
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const uint64_t v = rng.Next();
    std::memcpy(p + i, &v, 8);
  }
  if (i < n) {
    const uint64_t v = rng.Next();
    std::memcpy(p + i, &v, n - i);
  }
}

int Usage() {
  std::fprintf(stderr, "usage: rawgen OUT SIZE SEED [ZERO TEXT RANDOM [FILL [BLOCK]]]\n");
  return 2;
}

} // namespace

int main(int argc, char **argv) {
  if (argc < 4 || argc == 5 || argc == 6 || argc > 9) return Usage();
  uint64_t size = 0, seed = 0, block = 32768;
  if (!ParseSize(argv[2], size) || !ParseSize(argv[3], seed)) return Usage();
  std::array<uint64_t, 4> weight = {40, 30, 30, 0};
  for (int i = 4; i < argc && i < 8; ++i)
    if (!ParseSize(argv[i], weight[i - 4])) return Usage();
  if (argc == 9 && (!ParseSize(argv[8], block) || block == 0 || block > (64u << 20))) return Usage();
  const uint64_t total = weight[0] + weight[1] + weight[2] + weight[3];
  if (total == 0 || total > 0xFFFFFFFFu) return Usage();

  const bool toStdout = std::string_view(argv[1]) == "-";
  std::unique_ptr<FILE, int (*)(FILE *)> out(toStdout ? stdout : std::fopen(argv[1], "wb"),
                                             toStdout ? [](FILE *) { return 0; } : std::fclose);
  if (!out) {
    std::perror(argv[1]);
    return 1;
  }

  // Block kinds and contents come from separate generators so that the layout
  // does not depend on how many random numbers a text block consumed.
  TRandom kinds(seed * 2 + 1), content(seed * 2 + 2);
  std::vector<uint8_t> buf(block);
  for (uint64_t done = 0; done < size;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(block, size - done));
    uint64_t pick = kinds.Below(static_cast<uint32_t>(total));
    if (pick < weight[0]) {
      std::memset(buf.data(), 0, n);
    } else if ((pick -= weight[0]) < weight[1]) {
      FillText(content, buf.data(), n);
    } else if ((pick -= weight[1]) < weight[2]) {
      FillRandom(content, buf.data(), n);
    } else {
      std::memset(buf.data(), 1 + static_cast<int>(content.Below(255)), n);
    }
    if (std::fwrite(buf.data(), 1, n, out.get()) != n) {
      std::perror(argv[1]);
      return 1;
    }
    done += n;
  }
  if (std::fflush(out.get()) != 0) {
    std::perror(argv[1]);
    return 1;
  }
  return 0;
}
