// The benchmark peer of "vor7z_driver randread": the same random reads of an E01 image, made
// through libewf's C API instead of the plugin's GetStream stream.
//
//   ewf_randread <first segment> <reference raw> <count> <seed> [maxsize]
//
// The offsets and lengths come from the same generator, drawn in the same order as the driver
// draws them (placement, offset, length, seek origin), and each read is compared with the
// reference the same way, so both programs do the same work apart from the reader under test.
#include <fcntl.h>
#include <libewf.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

void PrintError(const char *what, libewf_error_t *error) {
  std::fprintf(stderr, "ewf_randread: %s\n", what);
  if (error) {
    libewf_error_fprint(error, stderr);
    libewf_error_free(&error);
  }
}

// Reads until Size bytes or the end, as the driver's ReadFully does.
bool ReadAt(int fd, uint64_t offset, uint8_t *data, size_t size, size_t &done) {
  done = 0;
  while (done < size) {
    const ssize_t n = pread(fd, data + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0)
      return false;
    if (n == 0)
      break;
    done += static_cast<size_t>(n);
  }
  return true;
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 5 && argc != 6) {
    std::fprintf(stderr, "usage: ewf_randread <first segment> <reference raw> <count> <seed> [maxsize]\n");
    return 1;
  }
  const uint64_t count = std::strtoull(argv[3], nullptr, 10);
  const uint64_t seed = std::strtoull(argv[4], nullptr, 10);
  const uint32_t maxSize = argc == 6 ? static_cast<uint32_t>(std::strtoul(argv[5], nullptr, 10)) : 262144;

  libewf_error_t *error = nullptr;
  char **names = nullptr;
  int nameCount = 0;
  if (libewf_glob(argv[1], std::strlen(argv[1]), LIBEWF_FORMAT_UNKNOWN, &names, &nameCount, &error) != 1) {
    PrintError("cannot find the segment files", error);
    return 1;
  }
  libewf_handle_t *handle = nullptr;
  if (libewf_handle_initialize(&handle, &error) != 1 ||
      libewf_handle_open(handle, names, nameCount, LIBEWF_OPEN_READ, &error) != 1) {
    PrintError("cannot open the image", error);
    return 1;
  }
  size64_t size = 0;
  if (libewf_handle_get_media_size(handle, &size, &error) != 1) {
    PrintError("no media size", error);
    return 1;
  }
  const int reference = open(argv[2], O_RDONLY);
  if (reference < 0) {
    std::perror(argv[2]);
    return 1;
  }

  std::mt19937_64 rng(seed);
  std::vector<uint8_t> got(maxSize), want(maxSize);
  uint64_t bytes = 0;
  int errors = 0;
  for (uint64_t k = 0; k < count; k++) {
    uint64_t offset;
    const unsigned where = rng() % 16;
    if (size == 0 || where == 0)
      offset = size + rng() % 3;
    else if (where == 1)
      offset = size - std::min<uint64_t>(size, rng() % (uint64_t(maxSize) + 1));
    else
      offset = rng() % size;
    const uint32_t length = static_cast<uint32_t>(rng() % (uint64_t(maxSize) + 1));
    (void)rng(); // the driver's choice of seek origin

    const uint32_t expected = offset >= size ? 0 : static_cast<uint32_t>(std::min<uint64_t>(length, size - offset));
    ssize_t n = 0;
    if (expected > 0) {
      n = libewf_handle_read_random(handle, got.data(), length, static_cast<off64_t>(offset), &error);
      if (n < 0) {
        if (++errors <= 10)
          PrintError("read failed", error);
        else
          libewf_error_free(&error);
        continue;
      }
    }
    size_t m = 0;
    ReadAt(reference, offset, want.data(), expected, m);
    bytes += static_cast<uint64_t>(n);
    if (static_cast<uint64_t>(n) != expected || std::memcmp(got.data(), want.data(), expected) != 0) {
      if (++errors <= 10)
        std::printf("ewf_randread: read #%" PRIu64 " of %u bytes at %" PRIu64 " differs\n", k, length, offset);
    }
  }
  std::printf("ewf_randread: %" PRIu64 " reads, %" PRIu64 " bytes, size %" PRIu64 ", %d errors\n", count, bytes,
              static_cast<uint64_t>(size), errors);
  close(reference);
  libewf_handle_close(handle, nullptr);
  libewf_handle_free(&handle, nullptr);
  libewf_glob_free(names, nameCount, nullptr);
  return errors ? 3 : 0;
}
