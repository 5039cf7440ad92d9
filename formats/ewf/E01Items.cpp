#include "formats/ewf/E01Items.h"

#include <algorithm>

bool Tvor7zEItem::HasMD5() const noexcept {
  return std::any_of(std::begin(MD5), std::end(MD5), [](Byte b) { return b != 0; });
}

bool Tvor7zEItem::HasSHA1() const noexcept {
  return std::any_of(std::begin(SHA1), std::end(SHA1), [](Byte b) { return b != 0; });
}
