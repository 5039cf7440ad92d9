// Test images for the block engine: blocks of mixed content, each stored as one zlib stream.
#pragma once

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <vector>

#include "blocks/Blocks.h"

namespace blockimage {

inline std::vector<Byte> Compress(const Byte *data, size_t size) {
  uLongf len = compressBound(static_cast<uLong>(size));
  std::vector<Byte> out(len);
  EXPECT_EQ(compress2(out.data(), &len, data, static_cast<uLong>(size), 6), Z_OK);
  out.resize(len);
  return out;
}

// Text-like runs, zero runs and noise, so blocks compress to varying sizes.
inline std::vector<Byte> MixedContent(size_t size, UInt32 seed) {
  std::vector<Byte> out(size);
  UInt32 x = seed * 2654435761u + 1;
  auto next = [&x] { return x ^= x << 13, x ^= x >> 17, x ^= x << 5; };
  static const char kWords[] = "block image chunk evidence sector table header volume ";
  for (size_t i = 0; i < size;) {
    const UInt32 r = next();
    const size_t run = std::min<size_t>(size - i, 16 + r % 200);
    for (size_t k = 0; k < run; ++k, ++i)
      switch (r % 3) {
      case 0: out[i] = static_cast<Byte>(kWords[(i + r) % (sizeof(kWords) - 1)]); break;
      case 1: out[i] = 0; break;
      default: out[i] = static_cast<Byte>(next()); break;
      }
  }
  return out;
}

struct TImage {
  std::vector<Byte> Plain;
  std::vector<Byte> Container;
  ComPtr<Tvor7zBlocks> Blocks;
  std::vector<Byte> Prefix(UInt32 blocks) const {
    const UInt64 end = blocks < Blocks->GetCount() ? Blocks->GetBlock(blocks).Position : Plain.size();
    return {Plain.begin(), Plain.begin() + static_cast<std::ptrdiff_t>(end)};
  }
  // The image with the given blocks read as zeros, as a damaged container gives it.
  std::vector<Byte> Lost(std::initializer_list<UInt32> blocks) const {
    std::vector<Byte> out = Plain;
    for (const UInt32 i : blocks) {
      const Tvor7zBlock_ b = Blocks->GetBlock(i);
      std::fill_n(out.begin() + static_cast<std::ptrdiff_t>(b.Position), b.Size, Byte{0});
    }
    return out;
  }
};

// `count` blocks of `chunk` bytes (the last one `lastSize` bytes when given), behind a 64-byte head.
inline TImage MakeImage(UInt32 count, UInt32 chunk, UInt32 lastSize = 0) {
  TImage img;
  const UInt64 total = static_cast<UInt64>(count - 1) * chunk + (lastSize ? lastSize : chunk);
  img.Plain = MixedContent(static_cast<size_t>(total), count);
  img.Container.assign(64, 0xEE);
  img.Blocks = new Tvor7zBlocks(total, chunk, 0);
  for (UInt32 i = 0; i < count; ++i) {
    const UInt32 size = i + 1 == count && lastSize ? lastSize : chunk;
    std::vector<Byte> z = Compress(img.Plain.data() + static_cast<size_t>(i) * chunk, size);
    img.Blocks->AddBlock(img.Container.size(), static_cast<UInt32>(z.size()), size, 0);
    img.Container.insert(img.Container.end(), z.begin(), z.end());
  }
  return img;
}

inline bool StartsWith(const std::vector<Byte> &data, const std::vector<Byte> &prefix) {
  return data.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), data.begin());
}

}  // namespace blockimage
