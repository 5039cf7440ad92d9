// Writes E01 segment sets of synthetic media of any size for the scale benchmark, streaming: a
// terabyte of media takes about 2 GiB on disk and the writer's memory stays the same.
#include <cstdio>
#include <stdexcept>
#include <string>

#include "SizeArg.h"
#include "fixtures/EwfWriter.h"

namespace {
const char kUsage[] =
    "usage: e01_writer --synthetic <size> --out <folder/base> [options]   (writes base.E01, base.E02, ...)\n"
    "  <size>                   media size, a whole number of chunks (K, M, G, T suffixes: 64G, 1T)\n"
    "  --reference <file>       also write the media as a sparse raw file\n"
    "  --distinct-every <n>     every n-th chunk holds a pattern of its index, the rest zeros (default 65536)\n"
    "  --table-entries <n>      chunks per table (default 16375)\n"
    "  --segment-size <size>    bytes on disk per segment file at most (default 1500M, below 2G)\n"
    "  --chunk-sectors <n>      sectors per chunk (default 64)\n"
    "  --sector-size <n>        bytes per sector (default 512)\n"
    "  --no-hash                no hash section (the MD5 reads every byte: a terabyte takes half an hour)\n";

uint64_t Size(const std::string &text) {
  uint64_t v = 0;
  if (!ParseSize(text.c_str(), v))
    throw std::invalid_argument("not a size: " + text);
  return v;
}
}  // namespace

int main(int argc, char **argv) {
  std::string out;
  TEwfSyntheticOptions o;
  // The case metadata an EnCase-style acquisition stores: UTF-16 header2 twice, then the header.
  o.Header2Text = EwfText16(u"3\nmain\na\tc\tn\te\tt\tav\tov\tm\tu\tp\n"
                            u"synthetic media\tscale\t1\tvor7z\t\t6.19\tLinux\t1767225600\t1767225600\t0\n\n",
                            false);
  o.HeaderText = EwfText("1\nmain\nc\tn\ta\te\tt\tav\tov\tm\tu\tp\n"
                         "scale\t1\tsynthetic media\tvor7z\t\t6.19\tLinux\t2026 1 1 0 0 0\t2026 1 1 0 0 0\t0\n\n");
  try {
    for (int i = 1; i < argc; i++) {
      const std::string a = argv[i];
      const auto value = [&]() -> std::string {
        if (i + 1 >= argc)
          throw std::invalid_argument("missing value of " + a);
        return argv[++i];
      };
      if (a == "--synthetic") {
        o.MediaSize = Size(value());
      } else if (a == "--out") {
        out = value();
      } else if (a == "--reference") {
        o.Reference = value();
      } else if (a == "--distinct-every") {
        o.DistinctEvery = Size(value());
      } else if (a == "--table-entries") {
        o.TableEntries = static_cast<UInt32>(Size(value()));
      } else if (a == "--segment-size") {
        o.SegmentSize = Size(value());
      } else if (a == "--chunk-sectors") {
        o.SectorsPerChunk = static_cast<UInt32>(Size(value()));
      } else if (a == "--sector-size") {
        o.BytesPerSector = static_cast<UInt32>(Size(value()));
      } else if (a == "--no-hash") {
        o.Hash = false;
      } else {
        throw std::invalid_argument("unknown option " + a);
      }
    }
    if (o.MediaSize == 0 || out.empty())
      throw std::invalid_argument("--synthetic and --out are needed");
    const size_t slash = out.find_last_of('/');
    o.Folder = slash == std::string::npos ? "" : out.substr(0, slash + 1);
    o.BaseName = out.substr(o.Folder.size());
    const std::vector<Byte> md5 = WriteSyntheticE01(o);
    for (Byte b : md5)
      std::printf("%02x", b);
    if (!md5.empty())
      std::printf("\n");
  } catch (const std::exception &e) {
    std::fprintf(stderr, "e01_writer: %s\n%s", e.what(), kUsage);
    return 1;
  }
  return 0;
}
