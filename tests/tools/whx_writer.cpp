// Writes a WHX backup from a raw image, for the end-to-end tests and the demo:
//   whx_writer --in disk.raw --out disk.whx --volumes 3 --compress deflate --checks all
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

#include "fixtures/SourceTree.h"
#include "fixtures/WhxWriter.h"

namespace {

void Usage() {
  std::cerr << "usage: whx_writer --in RAW --out FILE.whx [options]\n"
               "  --volumes N              split into N volumes (default 1)\n"
               "  --compress stored|deflate\n"
               "  --checks all|none|LIST   LIST of c8,c16,c32,c64,crc16,crc32,md4,md5,sha1,sha256\n"
               "  --unit-size N            (default 512, or 1 when the size is no multiple of 512)\n"
               "  --first-unit N           first unit of volume 1\n"
               "  --e1 N / --e2 N          skipped header bytes\n"
               "  --names A,B,...          file names of the volumes beside --out (the first is --out's)\n"
               "  --next K:NAME            tag 777 of volume K names NAME (empty: none)\n"
               "  --corrupt-check K[:LIST] wrong stored checks in volume K\n"
               "  --missing K              do not write volume K\n"
               "  --break-sequence K       volume K does not continue the unit sequence\n"
               "  --repeat-tag K:TAG       tag TAG twice in volume K\n"
               "  --zero-tag K             a tag of length 0 in volume K\n"
               "  --bad-compression K:V    tag 256 = V in volume K\n"
               "  --truncate K:BYTES       cut BYTES from the end of volume K\n";
  std::exit(2);
}

UInt64 Number(const std::string &s) {
  UInt64 v = 0;
  if (!ParseToolNumber(s, v))
    Usage();
  return v;
}

// "K:REST" -> K and REST ("" when there is no colon).
UInt32 VolumeAnd(const std::string &s, std::string &rest) {
  const size_t colon = s.find(':');
  rest = colon == std::string::npos ? std::string() : s.substr(colon + 1);
  return static_cast<UInt32>(Number(s.substr(0, colon)));
}

}  // namespace

int main(int argc, char **argv) {
  std::string in, out;
  TWhxWriterOptions o;
  bool unitSizeGiven = false;
  try {
    for (int i = 1; i < argc; i++) {
      const std::string arg = argv[i];
      if (i + 1 >= argc)
        Usage();
      const std::string v = argv[++i];
      std::string rest;
      if (arg == "--in") in = v;
      else if (arg == "--out") out = v;
      else if (arg == "--volumes") o.Volumes = static_cast<UInt32>(Number(v));
      else if (arg == "--compress") {
        if (v != "stored" && v != "deflate")
          Usage();
        o.Deflate = v == "deflate";
      } else if (arg == "--checks") o.Checks = ParseWhxChecks(v);
      else if (arg == "--unit-size") { o.UnitSize = Number(v); unitSizeGiven = true; }
      else if (arg == "--first-unit") o.FirstUnit = static_cast<UInt32>(Number(v));
      else if (arg == "--e1") o.E1 = static_cast<UInt16>(Number(v));
      else if (arg == "--e2") o.E2 = static_cast<UInt32>(Number(v));
      else if (arg == "--names") {
        size_t start = 0;
        for (;;) {
          const size_t comma = v.find(',', start);
          o.Names.push_back(v.substr(start, comma - start));
          if (comma == std::string::npos)
            break;
          start = comma + 1;
        }
      } else if (arg == "--next") {
        const UInt32 k = VolumeAnd(v, rest);
        o.NextNameOverride[k] = rest;
      } else if (arg == "--corrupt-check") {
        o.CorruptCheckVolume = VolumeAnd(v, rest);
        if (!rest.empty())
          o.CorruptChecks = ParseWhxChecks(rest);
      } else if (arg == "--missing") o.MissingVolume = static_cast<UInt32>(Number(v));
      else if (arg == "--break-sequence") o.BrokenSequenceVolume = static_cast<UInt32>(Number(v));
      else if (arg == "--repeat-tag") {
        o.RepeatTagVolume = VolumeAnd(v, rest);
        o.RepeatTag = static_cast<UInt16>(Number(rest));
      } else if (arg == "--zero-tag") o.ZeroLengthTagVolume = static_cast<UInt32>(Number(v));
      else if (arg == "--bad-compression") {
        o.BadCompressionVolume = VolumeAnd(v, rest);
        o.BadCompressionValue = static_cast<UInt32>(Number(rest));
      } else if (arg == "--truncate") {
        o.TruncateVolume = VolumeAnd(v, rest);
        o.TruncateBytes = Number(rest);
      } else
        Usage();
    }
    if (in.empty() || out.empty())
      Usage();

    std::ifstream f(in, std::ios::binary);
    if (!f) {
      std::cerr << "whx_writer: cannot read " << in << "\n";
      return 1;
    }
    const std::vector<Byte> image((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    if (!unitSizeGiven && image.size() % o.UnitSize != 0)
      o.UnitSize = 1;

    // Volume 1 is --out itself; the others lie beside it.
    const size_t slash = out.find_last_of('/');
    const std::string dir = slash == std::string::npos ? std::string() : out.substr(0, slash + 1);
    const std::string base = out.substr(dir.size());
    if (o.Names.empty())
      o.Names.push_back(base);
    else
      o.Names[0] = base;

    for (const auto &volume : WriteWhx(image, o)) {
      const std::string path = dir + volume.Name;
      std::ofstream w(path, std::ios::binary | std::ios::trunc);
      w.write(reinterpret_cast<const char *>(volume.Data.data()), static_cast<std::streamsize>(volume.Data.size()));
      if (!w) {
        std::cerr << "whx_writer: cannot write " << path << "\n";
        return 1;
      }
    }
  } catch (const std::exception &e) {
    std::cerr << "whx_writer: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
