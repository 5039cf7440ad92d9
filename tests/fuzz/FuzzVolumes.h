// How a fuzz input becomes what a target opens: the volumes of a multi-volume input, and the places
// where item streams are read. Shared by the targets and the seed writer.
//
// Multi-volume framing: byte 0 chooses the volume count (2 + b % 3, so 2 to 4) and whether the
// opened file carries the name of a later segment ((b / 3) % 2); then every volume but the last is a
// 4-byte little-endian length and that many bytes (cut at the end of the input); the last volume is
// the rest. Volume 0 is the opened file; an empty volume stands for a missing file.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "host/HostAbi.h"

struct TFuzzVolumes {
  std::vector<std::vector<Byte>> Files;
  bool LaterName = false;
};

inline TFuzzVolumes FuzzSplitVolumes(const uint8_t *data, size_t size) {
  TFuzzVolumes v;
  if (size == 0) {
    v.Files.emplace_back();
    return v;
  }
  const unsigned count = 2 + data[0] % 3;
  v.LaterName = (data[0] / 3) % 2 != 0;
  size_t pos = 1;
  for (unsigned i = 0; i + 1 < count; i++) {
    size_t length = 0;
    for (unsigned k = 0; k < 4; k++)
      length |= static_cast<size_t>(pos + k < size ? data[pos + k] : 0) << (8 * k);
    pos = std::min(pos + 4, size);
    length = std::min(length, size - pos);
    v.Files.emplace_back(data + pos, data + pos + length);
    pos += length;
  }
  v.Files.emplace_back(data + pos, data + size);
  return v;
}

// The inverse, for writing seeds: 2 to 4 files (the first is opened).
inline std::vector<Byte> FuzzJoinVolumes(const std::vector<std::vector<Byte>> &files, bool laterName = false) {
  std::vector<Byte> out;
  const size_t count = std::clamp<size_t>(files.size(), 2, 4);
  out.push_back(static_cast<Byte>((count - 2) + (laterName ? 3 : 0)));
  for (size_t i = 0; i < count; i++) {
    const std::vector<Byte> empty;
    const std::vector<Byte> &f = i < files.size() ? files[i] : empty;
    if (i + 1 < count)
      for (unsigned k = 0; k < 4; k++)
        out.push_back(static_cast<Byte>(f.size() >> (8 * k)));
    out.insert(out.end(), f.begin(), f.end());
  }
  return out;
}

// Where item streams are read: the last bytes of the input choose four places (as a fraction of the
// stream's size) and read sizes, so that the fuzzer steers them.
struct TFuzzSteering {
  struct TRead {
    UInt32 Where;  // in 1/65536 of the stream size
    UInt32 Size;
  };
  TRead Reads[4];
};

inline TFuzzSteering FuzzSteering(const uint8_t *data, size_t size) {
  Byte tail[12] = {};
  const size_t n = std::min<size_t>(size, sizeof(tail));
  std::copy(data + size - n, data + size, tail + sizeof(tail) - n);
  TFuzzSteering s{};
  for (unsigned i = 0; i < 4; i++) {
    s.Reads[i].Where = tail[3 * i] | static_cast<UInt32>(tail[3 * i + 1]) << 8;
    s.Reads[i].Size = 1 + (static_cast<UInt32>(tail[3 * i + 2]) << 9);
  }
  return s;
}
