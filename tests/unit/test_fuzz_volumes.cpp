// The framing that turns one fuzz input into volumes: seeds written by joining sets must come apart
// into the same files, and any input, however cut, must split without reading past its end.
#include <gtest/gtest.h>

#include "fuzz/FuzzVolumes.h"

TEST(FuzzVolumes, JoinedSetsSplitIntoTheSameFiles) {
  const std::vector<std::vector<Byte>> sets[] = {
      {{1, 2, 3}, {4}},
      {{1}, {}, {2, 3}},
      {{}, {9, 9}, {8}, {7, 7, 7}},
  };
  for (const auto &files : sets) {
    for (bool later : {false, true}) {
      const std::vector<Byte> joined = FuzzJoinVolumes(files, later);
      const TFuzzVolumes v = FuzzSplitVolumes(joined.data(), joined.size());
      EXPECT_EQ(v.Files, files);
      EXPECT_EQ(v.LaterName, later);
    }
  }
}

TEST(FuzzVolumes, CutInputsSplitWithinTheirBytes) {
  const std::vector<Byte> joined = FuzzJoinVolumes({{1, 2, 3, 4, 5}, {6, 7}, {8}, {9, 10}});
  for (size_t size = 0; size <= joined.size(); size++) {
    // A copy of exactly `size` bytes, so that a read past it shows under the sanitizers.
    const std::vector<Byte> cut(joined.begin(), joined.begin() + static_cast<std::ptrdiff_t>(size));
    const TFuzzVolumes v = FuzzSplitVolumes(cut.data(), cut.size());
    ASSERT_FALSE(v.Files.empty());
    size_t total = 0;
    for (const auto &f : v.Files)
      total += f.size();
    EXPECT_LE(total, size);
  }
  // A length larger than what follows takes what is there.
  const Byte oversized[] = {0, 0xFF, 0xFF, 0, 0, 1, 2};
  const TFuzzVolumes v = FuzzSplitVolumes(oversized, sizeof(oversized));
  ASSERT_EQ(v.Files.size(), 2u);
  EXPECT_EQ(v.Files[0], (std::vector<Byte>{1, 2}));
  EXPECT_TRUE(v.Files[1].empty());
}

TEST(FuzzVolumes, SteeringComesFromTheLastBytes) {
  std::vector<Byte> input(20, 0);
  input[8] = 0x34;  // first read: where (low, high), size
  input[9] = 0x12;
  input[10] = 2;
  const TFuzzSteering s = FuzzSteering(input.data(), input.size());
  EXPECT_EQ(s.Reads[0].Where, 0x1234u);
  EXPECT_EQ(s.Reads[0].Size, 1u + (2u << 9));
  // Short inputs count as padded with zeros in front.
  const Byte one = 7;
  const TFuzzSteering t = FuzzSteering(&one, 1);
  EXPECT_EQ(t.Reads[3].Size, 1u + (7u << 9));
  EXPECT_EQ(t.Reads[0].Where, 0u);
}
