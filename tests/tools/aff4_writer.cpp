// Writes AFF4 containers from a raw image for the end-to-end tests and the benchmark: each
// compression, symbolic ranges, striping, the Standard's digests, and damage.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>

#include "fixtures/Aff4Writer.h"

namespace {
const char kUsage[] =
    "usage: aff4_writer --in <raw> --out <file.aff4> [options]\n"
    "  --compress <kind>        snappy (default), lz4, deflate, zlib or stored\n"
    "  --chunk-size <n>         chunk size in bytes (default 32768)\n"
    "  --chunks-per-bevy <n>    chunks in one bevy (default 2048)\n"
    "  --stripes <n>            volumes the chunks are striped over (name_1.aff4, ...)\n"
    "  --image-hashes <list>    linear digests of the image: MD5,SHA1,SHA256,SHA512,Blake2b or none\n"
    "  --stream-hashes <list>   linear digests of each stream\n"
    "  --block-hashes <list>    block hashes of every chunk\n"
    "  --block-map-hash         the block-map and map hashes\n"
    "  --range <off>:<len>:<symbol>  a range read from a symbolic stream (Zero, FF, UnknownData,\n"
    "                           UnreadableData; empty: left to the gap stream) (repeatable)\n"
    "  --gap <symbol>           the map's gap stream\n"
    "  --wrong-image-hash       store digests of other data\n"
    "  --logical <path>=<file>  a logical container of these files instead (repeatable)\n";

std::vector<std::string> List(const std::string &v) {
  std::vector<std::string> out;
  std::stringstream s(v);
  for (std::string item; std::getline(s, item, ',');)
    if (!item.empty() && item != "none")
      out.push_back(item);
  return out;
}

std::vector<Byte> ReadFile(const std::string &name) {
  std::ifstream f(name, std::ios::binary);
  if (!f)
    throw std::runtime_error("cannot read " + name);
  return std::vector<Byte>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string &name, const std::vector<Byte> &data) {
  std::ofstream w(name, std::ios::binary);
  w.write(reinterpret_cast<const char *>(data.data()), static_cast<std::streamsize>(data.size()));
  if (!w)
    throw std::runtime_error("cannot write " + name);
}
}  // namespace

int main(int argc, char **argv) {
  std::string in, out;
  TAff4WriterOptions o;
  std::vector<TAff4LogicalFile> logical;
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
      } else if (a == "--compress") {
        const std::string v = value();
        using C = TAff4WriterCompression;
        o.Compression = v == "lz4" ? C::kLz4 : v == "deflate" ? C::kDeflate : v == "zlib" ? C::kZlib
                      : v == "stored" ? C::kStored : v == "snappy" ? C::kSnappy
                      : throw std::invalid_argument("unknown compression " + v);
      } else if (a == "--chunk-size") {
        o.ChunkSize = static_cast<UInt32>(std::stoul(value()));
      } else if (a == "--chunks-per-bevy") {
        o.ChunksPerBevy = static_cast<UInt32>(std::stoul(value()));
      } else if (a == "--stripes") {
        o.Stripes = static_cast<UInt32>(std::stoul(value()));
      } else if (a == "--image-hashes") {
        o.ImageHashes = List(value());
      } else if (a == "--stream-hashes") {
        o.StreamHashes = List(value());
      } else if (a == "--block-hashes") {
        o.BlockHashes = List(value());
      } else if (a == "--block-map-hash") {
        o.BlockMapHash = true;
      } else if (a == "--range") {
        const std::string v = value();
        const size_t c1 = v.find(':'), c2 = v.find(':', c1 + 1);
        if (c2 == std::string::npos)
          throw std::invalid_argument("--range needs offset:length:symbol");
        o.Ranges.push_back({std::stoull(v.substr(0, c1)), std::stoull(v.substr(c1 + 1, c2 - c1 - 1)), v.substr(c2 + 1)});
      } else if (a == "--gap") {
        o.GapStream = value();
      } else if (a == "--wrong-image-hash") {
        o.WrongImageHash = true;
      } else if (a == "--logical") {
        const std::string v = value();
        const size_t eq = v.find('=');
        if (eq == std::string::npos)
          throw std::invalid_argument("--logical needs path=file");
        logical.push_back({v.substr(0, eq), ReadFile(v.substr(eq + 1)), true});
      } else {
        std::fputs(kUsage, stderr);
        return 1;
      }
    }
    if (out.empty() || (in.empty() && logical.empty())) {
      std::fputs(kUsage, stderr);
      return 1;
    }
    if (!logical.empty()) {
      WriteFile(out, WriteAff4Logical(logical));
      return 0;
    }
    const size_t slash = out.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : out.substr(0, slash + 1);
    o.Name = out.substr(dir.size());
    for (const TAff4WrittenFile &f : WriteAff4(ReadFile(in), o))
      WriteFile(dir + f.Name, f.Data);
  } catch (const std::exception &e) {
    std::fprintf(stderr, "aff4_writer: %s\n", e.what());
    return 1;
  }
  return 0;
}
