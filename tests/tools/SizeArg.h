// Sizes on the command lines of the test tools: a number with an optional K, M, G or T suffix
// (powers of 1024, "iB" may follow).
#pragma once

#include <cstdint>
#include <cstdlib>

inline bool ParseSize(const char *text, uint64_t &out) {
  char *end = nullptr;
  const unsigned long long v = std::strtoull(text, &end, 10);
  if (end == text) return false;
  unsigned shift = 0;
  switch (*end) {
  case '\0': break;
  case 'K': case 'k': shift = 10; ++end; break;
  case 'M': case 'm': shift = 20; ++end; break;
  case 'G': case 'g': shift = 30; ++end; break;
  case 'T': case 't': shift = 40; ++end; break;
  default: return false;
  }
  if (*end == 'i' && end[1] == 'B') end += 2;
  if (*end != '\0' || (shift && v > (~0ull >> shift))) return false;
  out = static_cast<uint64_t>(v) << shift;
  return true;
}
