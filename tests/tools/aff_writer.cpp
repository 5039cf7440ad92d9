// Writes AFF files from a raw image for the end-to-end tests: page kinds the peer tools do not
// write (bzip2, zero pages on demand) and damage (wrong digests, missing pages).
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

#include "fixtures/AffWriter.h"

namespace {
const char kUsage[] =
    "usage: aff_writer --in <raw> --out <file.aff> [options]\n"
    "  --page-size <n>          page size in bytes (default 65536)\n"
    "  --compress <kind>        stored, zlib (default), bzip2 or lzma\n"
    "  --no-zero-pages          write all-zero pages like any other page\n"
    "  --no-imagesize           leave out the image size\n"
    "  --digests <list>         md5,sha1,sha256 or none (default md5)\n"
    "  --wrong-digests          store digests of other data\n"
    "  --skip-page <n>          leave page n out (repeatable)\n"
    "  --text <name>=<value>    a text segment (repeatable)\n"
    "  --max-file-size <n>      a numbered set of files below n bytes each (name_000.aff, ...)\n"
    "  --passphrase <text>      encrypted with this passphrase\n"
    "  --encrypt-pages-only     only the pages are encrypted\n";

int Usage() {
  std::fputs(kUsage, stderr);
  return 1;
}
}  // namespace

int main(int argc, char **argv) {
  std::string in, out;
  TAffImageOptions o;
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
      } else if (a == "--page-size") {
        o.PageSize = static_cast<UInt32>(std::stoul(value()));
      } else if (a == "--compress") {
        const std::string v = value();
        if (v == "stored")
          o.Compression = TAffCompression::kStored;
        else if (v == "zlib")
          o.Compression = TAffCompression::kZlib;
        else if (v == "bzip2")
          o.Compression = TAffCompression::kBZip2;
        else if (v == "lzma")
          o.Compression = TAffCompression::kLzma;
        else
          throw std::invalid_argument("unknown compression " + v);
      } else if (a == "--no-zero-pages") {
        o.ZeroPages = false;
      } else if (a == "--no-imagesize") {
        o.ImageSize = false;
      } else if (a == "--digests") {
        const std::string v = value();
        o.Md5 = v.find("md5") != std::string::npos;
        o.Sha1 = v.find("sha1") != std::string::npos;
        o.Sha256 = v.find("sha256") != std::string::npos;
      } else if (a == "--wrong-digests") {
        o.WrongDigests = true;
      } else if (a == "--skip-page") {
        o.SkipPages.push_back(static_cast<UInt32>(std::stoul(value())));
      } else if (a == "--text") {
        const std::string v = value();
        const size_t eq = v.find('=');
        if (eq == std::string::npos)
          throw std::invalid_argument("--text needs name=value");
        o.Texts.emplace_back(v.substr(0, eq), v.substr(eq + 1));
      } else if (a == "--passphrase") {
        o.Passphrase = value();
      } else if (a == "--encrypt-pages-only") {
        o.EncryptPagesOnly = true;
      } else if (a == "--max-file-size") {
        o.MaxFileSize = std::stoull(value());
      } else {
        return Usage();
      }
    }
    if (in.empty() || out.empty())
      return Usage();
    std::ifstream f(in, std::ios::binary);
    if (!f)
      throw std::runtime_error("cannot read " + in);
    const std::vector<Byte> image((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    const size_t slash = out.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : out.substr(0, slash + 1);
    o.Name = out.substr(dir.size());
    for (const TAffFile &file : WriteAff(image, o)) {
      std::ofstream w(dir + file.Name, std::ios::binary);
      w.write(reinterpret_cast<const char *>(file.Data.data()), static_cast<std::streamsize>(file.Data.size()));
      if (!w)
        throw std::runtime_error("cannot write " + dir + file.Name);
    }
  } catch (const std::exception &e) {
    std::fprintf(stderr, "aff_writer: %s\n", e.what());
    return 1;
  }
  return 0;
}
