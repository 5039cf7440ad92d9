// Writes Ex01 segment sets from a raw image for the end-to-end tests and the benchmark: chunk kinds
// and bzip2 forms no peer tool here writes, sessions, and damage.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

#include "fixtures/Ewf2Writer.h"

namespace {
const char kUsage[] =
    "usage: ex01_writer --in <raw> --out <folder/base> [options]   (writes base.Ex01, base.Ex02, ...)\n"
    "  --chunk-sectors <n>      sectors per chunk (default 64)\n"
    "  --sector-size <n>        bytes per sector (default 512)\n"
    "  --compress <kind>        deflate (default), bzip2 (header-less blocks as EnCase writes them),\n"
    "                           bzip2-stream, stored (with checksum), plain (stored, no checksum), mixed\n"
    "  --segment-chunks <n>     chunks per segment file (default: one segment)\n"
    "  --device-type <t>        device type letter (c = optical, m = memory; default f)\n"
    "  --sessions <a,b,...>     a session table with these start sectors\n"
    "  --no-pattern             write repeated 8-byte values like any other chunk\n"
    "  --no-md5 | --no-sha1     leave out a digest section\n"
    "  --wrong-md5              store the MD5 of other data\n";
}  // namespace

int main(int argc, char **argv) {
  std::string in, out;
  TEwf2WriterOptions o;
  try {
    for (int i = 1; i < argc; i++) {
      const std::string a = argv[i];
      const auto value = [&]() -> std::string {
        if (i + 1 >= argc)
          throw std::invalid_argument("missing value of " + a);
        return argv[++i];
      };
      if (a == "--in") {
        in = value();
      } else if (a == "--out") {
        out = value();
      } else if (a == "--chunk-sectors") {
        o.SectorsPerChunk = static_cast<UInt32>(std::stoul(value()));
      } else if (a == "--sector-size") {
        o.BytesPerSector = static_cast<UInt32>(std::stoul(value()));
      } else if (a == "--compress") {
        const std::string v = value();
        if (v == "bzip2" || v == "bzip2-stream") {
          o.Method = 2;
          o.HeaderlessBZip2 = v == "bzip2";
        } else if (v == "stored") {
          o.Kind = [](UInt32) { return TEwf2ChunkKind::Stored; };
        } else if (v == "plain") {
          o.Kind = [](UInt32) { return TEwf2ChunkKind::StoredNoChecksum; };
        } else if (v == "mixed") {
          o.Kind = [](UInt32 c) {
            return c % 3 == 0 ? TEwf2ChunkKind::Compressed : c % 3 == 1 ? TEwf2ChunkKind::Stored : TEwf2ChunkKind::StoredNoChecksum;
          };
        } else if (v != "deflate") {
          throw std::invalid_argument("unknown compression " + v);
        }
      } else if (a == "--segment-chunks") {
        o.ChunksPerSegment = static_cast<UInt32>(std::stoul(value()));
      } else if (a == "--device-type") {
        o.DeviceType = value();
      } else if (a == "--sessions") {
        const std::string v = value();
        for (size_t p = 0; p < v.size();) {
          const size_t q = v.find(',', p);
          o.Sessions.push_back(std::stoull(v.substr(p, q - p)));
          p = q == std::string::npos ? v.size() : q + 1;
        }
      } else if (a == "--no-pattern") {
        o.PatternFill = false;
      } else if (a == "--no-md5") {
        o.MD5 = false;
      } else if (a == "--no-sha1") {
        o.SHA1 = false;
      } else if (a == "--wrong-md5") {
        o.WrongMD5 = true;
      } else {
        throw std::invalid_argument("unknown option " + a);
      }
    }
    if (in.empty() || out.empty())
      throw std::invalid_argument("--in and --out are needed");
    std::ifstream f(in, std::ios::binary);
    if (!f)
      throw std::runtime_error("cannot read " + in);
    const std::vector<Byte> image((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    const size_t slash = out.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "" : out.substr(0, slash + 1);
    o.BaseName = out.substr(folder.size());
    for (const auto &file : WriteEx01(image, o)) {
      std::ofstream w(folder + file.Name, std::ios::binary);
      w.write(reinterpret_cast<const char *>(file.Data.data()), static_cast<std::streamsize>(file.Data.size()));
      if (!w)
        throw std::runtime_error("cannot write " + folder + file.Name);
    }
  } catch (const std::exception &e) {
    std::fprintf(stderr, "ex01_writer: %s\n%s", e.what(), kUsage);
    return 1;
  }
  return 0;
}
