#include "host/Password.h"

#include "host/Com.h"
#include "host/Errors.h"

namespace {
// UTF-8 of UTF-16 (Windows) or UTF-32 (Linux) text; a lone surrogate becomes U+FFFD.
TvorSecret ToUtf8(const wchar_t *text, size_t length) {
  TvorSecret buffer(length * 4);
  size_t n = 0;
  for (size_t i = 0; i < length; i++) {
    UInt32 c = static_cast<UInt32>(text[i]);
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < length && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF)
      c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<UInt32>(text[++i]) - 0xDC00);
    else if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF)
      c = 0xFFFD;
    Byte *p = buffer.data() + n;
    if (c < 0x80) {
      p[0] = static_cast<Byte>(c);
      n += 1;
    } else if (c < 0x800) {
      p[0] = static_cast<Byte>(0xC0 | (c >> 6));
      p[1] = static_cast<Byte>(0x80 | (c & 0x3F));
      n += 2;
    } else if (c < 0x10000) {
      p[0] = static_cast<Byte>(0xE0 | (c >> 12));
      p[1] = static_cast<Byte>(0x80 | ((c >> 6) & 0x3F));
      p[2] = static_cast<Byte>(0x80 | (c & 0x3F));
      n += 3;
    } else {
      p[0] = static_cast<Byte>(0xF0 | (c >> 18));
      p[1] = static_cast<Byte>(0x80 | ((c >> 12) & 0x3F));
      p[2] = static_cast<Byte>(0x80 | ((c >> 6) & 0x3F));
      p[3] = static_cast<Byte>(0x80 | (c & 0x3F));
      n += 4;
    }
  }
  return TvorSecret(buffer.data(), n);
}

// Frees a BSTR of the host after wiping what it held.
struct TWipedBstr {
  BSTR Value = nullptr;
  ~TWipedBstr() {
    PlatformWipe(Value, BstrByteLength(Value));
    BstrFree(Value);
  }
};
}  // namespace

bool AskPassword(IUnknown *callback, TvorPassword &password) {
  password.Forms.clear();
  const auto ask = QueryAs<ICryptoGetTextPassword>(callback, IID_ICryptoGetTextPassword);
  if (!ask)
    return false;
  TWipedBstr text;
  CheckHResult(ask->CryptoGetTextPassword(&text.Value));
  const size_t length = BstrByteLength(text.Value) / sizeof(wchar_t);
  password.Forms.push_back(ToUtf8(text.Value, length));
  UString wide(text.Value ? text.Value : L"", length);
  AString ansi = PlatformUnicodeToAnsi(wide);
  TvorSecret local(ansi.data(), ansi.size());
  PlatformWipe(wide.data(), wide.size() * sizeof(wchar_t));
  PlatformWipe(ansi.data(), ansi.size());
  if (!(local == password.Forms[0]))
    password.Forms.push_back(std::move(local));
  return true;
}
