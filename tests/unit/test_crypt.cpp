// Encrypted containers: the platform's ciphers against published vectors, the AFF byte rules on the
// key of a real file, and AFF images and AD-encrypted sets opened with the right, a wrong and no
// password.
#include <gtest/gtest.h>

#include <optional>

#include "fixtures/AdCryptWriter.h"
#include "fixtures/AffWriter.h"
#include "fixtures/TestCallbacks.h"
#include "formats/adcrypt/AdCryptArchive.h"
#include "formats/aff/AffArchive.h"
#include "formats/aff/AffCrypto.h"
#include "host/PropVariant.h"

using namespace NOperationResult;

namespace {

std::vector<Byte> Hex(const std::string &h) {
  std::vector<Byte> b;
  for (size_t i = 0; i + 1 < h.size(); i += 2)
    b.push_back(static_cast<Byte>(std::stoul(h.substr(i, 2), nullptr, 16)));
  return b;
}

TEST(Crypto, KnownAnswers) {
  // FIPS-197 C.1; SP 800-38A F.2.6 (two blocks in two pieces, chained through the IV).
  const auto k128 = Hex("000102030405060708090a0b0c0d0e0f");
  std::vector<Byte> block = Hex("00112233445566778899aabbccddeeff");
  ASSERT_TRUE(CreateAes(k128.data(), 16)->EncryptBlocks(block.data(), block.data(), 16));
  EXPECT_EQ(block, Hex("69c4e0d86a7b0430d8cdb78070b4c55a"));
  const auto k256 = Hex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4");
  auto text = Hex("f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d");
  auto iv = k128;
  const auto aes = CreateAes(k256.data(), 32);
  ASSERT_TRUE(aes->DecryptChained(iv.data(), text.data(), text.data(), 16));
  ASSERT_TRUE(aes->DecryptChained(iv.data(), text.data() + 16, text.data() + 16, 16));
  EXPECT_EQ(text, Hex("6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"));
  EXPECT_EQ(CreateAes(k128.data(), 15), nullptr);
  // RFC 6070 and RFC 4231 (test case 2).
  std::vector<Byte> key(20), mac(64);
  ASSERT_TRUE(PlatformPbkdf2(TvorMacAlgorithm::SHA1, reinterpret_cast<const Byte *>("password"), 8,
                             reinterpret_cast<const Byte *>("salt"), 4, 2, key.data(), 20));
  EXPECT_EQ(key, Hex("ea6c014dc72d6f8ccd1ed92ace1d41f0d8de8957"));
  const std::string data = "what do ya want for nothing?";
  ASSERT_TRUE(PlatformHmac(TvorMacAlgorithm::SHA512, reinterpret_cast<const Byte *>("Jefe"), 4,
                           reinterpret_cast<const Byte *>(data.data()), data.size(), mac.data()));
  EXPECT_EQ(mac, Hex("164b7a7bfcf819e2e395fbe73b56e0a387bd64222e831fd610270cd7ea2505549758bf75c05a994a6d034f65f8f0e6fd"
                     "caeab1a34d4a6b4b636e070a38bce737"));
}

TEST(AffCrypto, LengthAndNameRules) {
  const struct {
    UInt32 Stored, Plain;
    bool Ok;
  } kLengths[] = {{0, 0, true}, {16, 16, true}, {20, 4, true}, {36, 20, true}, {34653, 34637, true}, {15, 0, false}};
  for (const auto &c : kLengths) {
    UInt32 plain = 0;
    EXPECT_EQ(AffPlainLength(c.Stored, plain), c.Ok) << c.Stored;
    EXPECT_EQ(plain, c.Plain) << c.Stored;
  }
  for (const auto &[name, encrypted, plain] : std::vector<std::tuple<std::string, bool, std::string>>{
           {"page0/aes256", true, "page0"}, {"/aes256", false, "/aes256"}, {"page0", false, "page0"}}) {
    std::string n = name;
    EXPECT_EQ(StripAffCryptoSuffix(n), encrypted) << name;
    EXPECT_EQ(n, plain);
  }
}

TEST(AffCrypto, KeyOfARealFile) {
  // The key segment of a file the AFF library wrote (the older 56-byte form), passphrase "password".
  const auto segment = Hex("0000000128ca68ad7e1e8f0a59afe4dba11761bd0a881b078025301c0c20af76bb6cda2e52e958f89a5944518b"
                           "f877a6d834bba000000000");
  const auto form = [](const char *p) { return TvorSecret(p, std::strlen(p)); };
  TvorSecret key;
  ASSERT_EQ(UnlockAffKey(segment.data(), segment.size(), form("password"), key), TAffKeyUnlock::kOk);
  EXPECT_EQ(std::vector<Byte>(key.data(), key.data() + key.size()),
            Hex("efabd9a81028c3da5e4829fa64658b30e2684cc6706926f1059a459ba9e5f925"));
  EXPECT_EQ(UnlockAffKey(segment.data(), segment.size(), form("Password"), key), TAffKeyUnlock::kWrongPassphrase);
  EXPECT_EQ(UnlockAffKey(segment.data(), 51, form("password"), key), TAffKeyUnlock::kDamaged);
}

struct TFile {
  std::string Name;
  std::vector<Byte> Data;
};

// Opens the first of `files` with the others beside it; the host gives `password` when it is set.
template <class TArchive>
ComPtr<TArchive> Open(const std::vector<TFile> &files, std::optional<UString> password, HRESULT &result,
                      int *asked = nullptr) {
  static const TArchiveClassOf<TArchive> cls;
  ComPtr<TArchive> archive(static_cast<TArchive *>(cls.Create()));
  ComPtr<TTestOpenCallback> callback(new TTestOpenCallback(UString(files[0].Name.begin(), files[0].Name.end())));
  callback->Password = password;
  for (const auto &f : files)
    callback->AddVolume(UString(f.Name.begin(), f.Name.end()), f.Data);
  result = archive->Open(ComPtr<IInStream>(new TTestInStream(files[0].Data)), nullptr, callback);
  if (asked)
    *asked = callback->PasswordQueries;
  return archive;
}

// Extracts item 0 with `password` offered by the extract callback: its result and bytes.
std::pair<Int32, std::vector<Byte>> Extract(IInArchive *archive, std::optional<UString> password) {
  ComPtr<TTestExtractCallback> cb(new TTestExtractCallback());
  cb->Password = password;
  const UInt32 zero = 0;
  EXPECT_EQ(archive->Extract(&zero, 1, 0, cb), S_OK);
  return {cb->Items[0].Result, cb->Items[0].Data()};
}

std::vector<Byte> ReadStream(IInArchive *archive) {
  ComPtr<ISequentialInStream> s;
  EXPECT_EQ(QueryAs<IInArchiveGetStream>(archive, IID_IInArchiveGetStream)->GetStream(0, s.Put()), S_OK);
  std::vector<Byte> out;
  Byte buf[5000];
  for (UInt32 got = 0; s && s->Read(buf, sizeof(buf), &got) == S_OK && got > 0;)
    out.insert(out.end(), buf, buf + got);
  return out;
}

UInt32 ErrorFlags(IInArchive *archive) {
  PROPVARIANT v{};
  archive->GetArchiveProperty(kpidErrorFlags, &v);
  return v.vt == VT_UI4 ? v.ulVal : 0;
}

std::vector<Byte> Image(size_t size) {
  std::vector<Byte> image(size);
  for (size_t i = 0; i < size; i++)
    image[i] = i % 70000 < 30000 ? 0 : static_cast<Byte>(i * 2654435761u >> 13);
  return image;
}

TEST(AffCrypto, OpenTestAndRead) {
  const auto image = Image(300001);
  // Encrypted metadata needs the key at the open; encrypted pages alone only when they are read.
  for (const bool pagesOnly : {false, true}) {
    for (const auto compression : {TAffCompression::kZlib, TAffCompression::kStored}) {
      SCOPED_TRACE(testing::Message() << pagesOnly << " " << int(compression));
      TAffImageOptions o;
      o.Compression = compression;
      o.Passphrase = "pässwörd";
      o.EncryptPagesOnly = pagesOnly;
      // A set of zlib pages; one file of stored pages whose image ends with its last page.
      o.ImageSize = compression != TAffCompression::kStored;
      o.MaxFileSize = o.ImageSize ? 100000 : 0;
      std::vector<TFile> files;
      for (auto &f : WriteAff(image, o))
        files.push_back({f.Name, f.Data});
      HRESULT hr = E_FAIL;
      int asked = 0;
      auto a = Open<Tvor7zAffArchive>(files, L"pässwörd", hr, &asked);
      ASSERT_EQ(hr, S_OK);
      EXPECT_EQ(asked, pagesOnly ? 0 : 1);
      EXPECT_EQ(ErrorFlags(a), 0u);
      EXPECT_EQ(Extract(a, L"pässwörd"), std::make_pair(Int32{kOK}, image));
      EXPECT_EQ(ReadStream(a), image);
      for (const std::optional<UString> &wrong : {std::optional<UString>(L"passwörd"), std::optional<UString>()}) {
        a = Open<Tvor7zAffArchive>(files, wrong, hr);
        EXPECT_EQ(hr, pagesOnly ? S_OK : S_FALSE);
        if (pagesOnly)
          EXPECT_EQ(Extract(a, wrong).first, kWrongPassword);
      }
    }
  }
}

TEST(AdCrypt, RawSets) {
  const auto image = Image(200000);
  const std::vector<Byte> first(image.begin(), image.begin() + 65536), second(image.begin() + 65536, image.end());
  // The size is known without the key: a wrong password at the open leaves the item to report it.
  const struct {
    UInt32 Cipher, Hash;
    bool Certificate;
    const wchar_t *OpenPassword, *ExtractPassword;
    UInt32 Items, Flags;
    Int32 Result;
  } kCases[] = {
      {1, 1, false, L"secret", nullptr, 1, 0, kOK},
      {2, 2, false, L"secret", nullptr, 1, 0, kOK},
      {3, 2, false, L"Secret", L"Secret", 1, 0, kWrongPassword},
      {3, 2, false, nullptr, L"secret", 1, 0, kOK},
      {3, 1, true, L"secret", nullptr, 0, 1u << kpv_ErrorFlags_UnsupportedMethod, kOK},
  };
  const auto optional = [](const wchar_t *p) { return p ? std::optional<UString>(p) : std::nullopt; };
  for (const auto &c : kCases) {
    SCOPED_TRACE(testing::Message() << c.Cipher << c.Hash << c.Certificate);
    TAdCryptOptions o;
    o.Password = "secret";
    o.Cipher = c.Cipher;
    o.Hash = c.Hash;
    o.Certificate = c.Certificate;
    const auto enc = WriteAdCrypt({first, second}, o);
    HRESULT hr = E_FAIL;
    auto a = Open<Tvor7zAdCryptArchive>({{"disk.001", enc[0]}, {"disk.002", enc[1]}}, optional(c.OpenPassword), hr);
    EXPECT_EQ(hr, S_OK);
    UInt32 items = 0;
    a->GetNumberOfItems(&items);
    EXPECT_EQ(items, c.Items);
    EXPECT_EQ(ErrorFlags(a), c.Flags);
    if (items)
      EXPECT_EQ(Extract(a, optional(c.ExtractPassword)),
                std::make_pair(c.Result, c.Result == kOK ? image : std::vector<Byte>()));
    if (items && c.Result == kOK)
      EXPECT_EQ(ReadStream(a), image);
  }
  // A MAC of another length than its hash's: damage, not this format's file. More key derivation
  // rounds than any writer uses: unsupported, not minutes per password (a fuzzer's timeout).
  auto enc = WriteAdCrypt({first}, TAdCryptOptions{});
  enc[0][44] = 20;
  HRESULT hr = E_FAIL;
  Open<Tvor7zAdCryptArchive>({{"disk.001", enc[0]}}, L"password", hr);
  EXPECT_EQ(hr, S_FALSE);
  enc[0][44] = 64;
  enc[0][34] = 0x0F;  // 983,040 + 4,000 rounds
  int asked = 0;
  auto a = Open<Tvor7zAdCryptArchive>({{"disk.001", enc[0]}}, L"password", hr, &asked);
  EXPECT_EQ(hr, S_OK);
  EXPECT_EQ(ErrorFlags(a), 1u << kpv_ErrorFlags_UnsupportedMethod);
  EXPECT_EQ(asked, 0);
}

}  // namespace
