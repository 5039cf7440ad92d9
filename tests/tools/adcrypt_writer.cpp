// Encrypts the files of a set with the AD image encryption for the end-to-end tests:
//   adcrypt_writer [--password P] [--cipher 1|2|3] [--hash 1|2] [--iterations N] [--certificate]
//                  IN1 OUT1 [IN2 OUT2 ...]
// The first pair is the set's first file (it gets the header).
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "fixtures/AdCryptWriter.h"

int main(int argc, char **argv) {
  TAdCryptOptions o;
  std::vector<std::string> names;
  try {
    for (int i = 1; i < argc; i++) {
      const std::string a = argv[i];
      const auto value = [&] { return i + 1 < argc ? std::string(argv[++i]) : throw std::invalid_argument(a); };
      if (a == "--password")
        o.Password = value();
      else if (a == "--cipher")
        o.Cipher = static_cast<UInt32>(std::stoul(value()));
      else if (a == "--hash")
        o.Hash = static_cast<UInt32>(std::stoul(value()));
      else if (a == "--iterations")
        o.Iterations = static_cast<UInt32>(std::stoul(value()));
      else if (a == "--certificate")
        o.Certificate = true;
      else
        names.push_back(a);
    }
    if (names.empty() || names.size() % 2 != 0)
      throw std::invalid_argument("pairs of IN OUT");
    std::vector<std::vector<Byte>> files;
    for (size_t k = 0; k < names.size(); k += 2) {
      std::ifstream in(names[k], std::ios::binary);
      if (!in)
        throw std::runtime_error("cannot read " + names[k]);
      files.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    const auto encrypted = WriteAdCrypt(files, o);
    for (size_t k = 0; k < encrypted.size(); k++) {
      std::ofstream out(names[2 * k + 1], std::ios::binary);
      out.write(reinterpret_cast<const char *>(encrypted[k].data()), static_cast<std::streamsize>(encrypted[k].size()));
      if (!out)
        throw std::runtime_error("cannot write " + names[2 * k + 1]);
    }
  } catch (const std::exception &e) {
    std::fprintf(stderr, "adcrypt_writer: %s\nusage: adcrypt_writer [--password P] [--cipher 1|2|3] [--hash 1|2] "
                         "[--iterations N] [--certificate] IN1 OUT1 [IN2 OUT2 ...]\n", e.what());
    return 1;
  }
  return 0;
}
