#include "formats/aff4/Aff4Zip.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "host/Errors.h"
#include "host/StreamIo.h"
#include "streams/ByteOrder.h"
#include "streams/InStreams.h"

namespace {
constexpr UInt32 kPiece = 65536;
// The end record sits in the last bytes: its own size and a comment of at most 64 KiB.
constexpr UInt32 kEndSearch = NAff4Zip::kEndSize + 0xFFFF;
constexpr UInt32 kAll32 = 0xFFFFFFFFu;

void Flag(UInt32 &errors, UInt32 bit) { errors |= 1u << bit; }

// The 64-bit values of a ZIP64 extra field, in the order of the fields that hold all ones.
void ApplyZip64Extra(const Byte *extra, size_t size, UInt32 packSize32, UInt32 size32, UInt32 offset32,
                     TAff4ZipMember &m) {
  for (size_t pos = 0; pos + 4 <= size;) {
    const UInt16 id = GetUi16(extra + pos);
    const size_t length = GetUi16(extra + pos + 2);
    const Byte *p = extra + pos + 4;
    if (pos + 4 + length > size)
      return;
    if (id == NAff4Zip::kZip64Extra) {
      size_t at = 0;
      const auto next = [&](UInt64 &field) {
        if (at + 8 <= length) {
          field = GetUi64(p + at);
          at += 8;
        }
      };
      if (size32 == kAll32)
        next(m.Size);
      if (packSize32 == kAll32)
        next(m.PackSize);
      if (offset32 == kAll32)
        next(m.HeaderOffset);
      return;
    }
    pos += 4 + length;
  }
}
}  // namespace

bool ReadAff4ZipDirectory(IInStream *stream, TAff4ZipDirectory &directory) {
  directory = TAff4ZipDirectory{};
  const UInt64 fileSize = SeekTo(stream, 0, STREAM_SEEK_END);
  if (fileSize < NAff4Zip::kEndSize)
    return false;
  // The last end record in the tail whose comment reaches exactly to the end of the file, else the
  // last one at all (a file with bytes appended).
  const UInt64 tailStart = fileSize > kEndSearch ? fileSize - kEndSearch : 0;
  std::vector<Byte> tail(static_cast<size_t>(fileSize - tailStart));
  if (ReadAt(stream, tailStart, tail.data(), tail.size()) < tail.size())
    return false;
  size_t end = tail.size();
  for (size_t i = tail.size() - NAff4Zip::kEndSize + 1; i-- > 0;) {
    if (GetUi32(&tail[i]) != NAff4Zip::kEndSignature)
      continue;
    if (end == tail.size())
      end = i;
    if (i + NAff4Zip::kEndSize + GetUi16(&tail[i + 20]) == tail.size()) {
      end = i;
      break;
    }
  }
  if (end == tail.size())
    return false;
  const Byte *e = &tail[end];
  const UInt64 endPos = tailStart + end;
  const size_t commentSize = std::min<size_t>(GetUi16(e + 20), tail.size() - end - NAff4Zip::kEndSize);
  directory.Comment.assign(reinterpret_cast<const char *>(e + NAff4Zip::kEndSize), commentSize);
  UInt64 count = GetUi16(e + 10);
  UInt64 cdSize = GetUi32(e + 12);
  UInt64 cdOffset = GetUi32(e + 16);

  // ZIP64: the locator right before the end record points at the 64-bit end record.
  if (endPos >= NAff4Zip::kEnd64LocatorSize) {
    Byte loc[NAff4Zip::kEnd64LocatorSize];
    if (ReadAt(stream, endPos - sizeof(loc), loc, sizeof(loc)) == sizeof(loc) &&
        GetUi32(loc) == NAff4Zip::kEnd64LocatorSignature) {
      Byte e64[NAff4Zip::kEnd64Size];
      const UInt64 at = GetUi64(loc + 8);
      if (ReadAt(stream, at, e64, sizeof(e64)) == sizeof(e64) && GetUi32(e64) == NAff4Zip::kEnd64Signature) {
        count = GetUi64(e64 + 32);
        cdSize = GetUi64(e64 + 40);
        cdOffset = GetUi64(e64 + 48);
      } else {
        Flag(directory.Errors, kpv_ErrorFlags_HeadersError);
      }
    }
  }
  if (cdOffset > fileSize || cdSize > fileSize - cdOffset) {
    Flag(directory.Errors, kpv_ErrorFlags_HeadersError);
    return true;
  }

  // The directory streamed through one buffer; every header also needs its name and extra field.
  ComPtr<Tvor7zBufferedInStream> cd(new Tvor7zBufferedInStream(stream, kPiece));
  SeekTo(cd, static_cast<Int64>(cdOffset));
  UInt64 left = cdSize;
  // No directory holds more members than its bytes can describe.
  count = std::min<UInt64>(count, cdSize / NAff4Zip::kCentralSize);
  directory.Members.reserve(static_cast<size_t>(std::min<UInt64>(count, 1u << 16)));
  std::vector<Byte> variable;
  for (UInt64 k = 0; k < count; k++) {
    Byte h[NAff4Zip::kCentralSize];
    if (left < sizeof(h) || ReadUpTo(cd, h, sizeof(h)) < sizeof(h) || GetUi32(h) != NAff4Zip::kCentralSignature) {
      Flag(directory.Errors, kpv_ErrorFlags_HeadersError);
      break;
    }
    const size_t nameSize = GetUi16(h + 28), extraSize = GetUi16(h + 30), commentLength = GetUi16(h + 32);
    const size_t rest = nameSize + extraSize + commentLength;
    variable.resize(rest);
    if (left - sizeof(h) < rest || ReadUpTo(cd, variable.data(), rest) < rest) {
      Flag(directory.Errors, kpv_ErrorFlags_HeadersError);
      break;
    }
    left -= sizeof(h) + rest;
    TAff4ZipMember m;
    m.Method = GetUi16(h + 10);
    m.DosTime = GetUi32(h + 12);
    m.Crc = GetUi32(h + 16);
    const UInt32 pack32 = GetUi32(h + 20), size32 = GetUi32(h + 24), offset32 = GetUi32(h + 42);
    m.PackSize = pack32;
    m.Size = size32;
    m.HeaderOffset = offset32;
    m.Name.assign(reinterpret_cast<const char *>(variable.data()), nameSize);
    ApplyZip64Extra(variable.data() + nameSize, extraSize, pack32, size32, offset32, m);
    directory.Members.push_back(std::move(m));
  }
  return true;
}

bool LocateAff4ZipData(IInStream *stream, const TAff4ZipMember &member, UInt64 fileSize, UInt64 &dataOffset) {
  Byte h[NAff4Zip::kLocalSize];
  if (member.HeaderOffset > fileSize || ReadAt(stream, member.HeaderOffset, h, sizeof(h)) < sizeof(h) ||
      GetUi32(h) != NAff4Zip::kLocalSignature)
    return false;
  dataOffset = member.HeaderOffset + sizeof(h) + GetUi16(h + 26) + GetUi16(h + 28);
  return dataOffset <= fileSize && member.PackSize <= fileSize - dataOffset;
}

std::string Aff4PercentDecode(std::string_view text) {
  const auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9')
      return c - '0';
    if (c >= 'a' && c <= 'f')
      return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
      return c - 'A' + 10;
    return -1;
  };
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); i++) {
    if (text[i] == '%' && i + 2 < text.size() && hex(text[i + 1]) >= 0 && hex(text[i + 2]) >= 0) {
      out.push_back(static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2])));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

// ---- member bytes ----

struct TAff4ZipMemberStream::TInflate {
  z_stream Z{};
  bool Ready = false;
  bool Ended = false;
  Byte In[kPiece];
  ~TInflate() {
    if (Ready)
      inflateEnd(&Z);
  }
};

TAff4ZipMemberStream::TAff4ZipMemberStream(ISequentialInStream *packed, const TAff4ZipMember &member)
    : FPacked(packed), FPackLeft(member.PackSize), FSize(member.Size), FDeflated(member.Method == NAff4Zip::kDeflated),
      FExpectedCrc(member.Crc) {
  if (member.Method != NAff4Zip::kStored && !FDeflated)
    FFailed = true;
  // A stored member holds what it stores.
  if (!FDeflated && member.PackSize != member.Size)
    FFailed = true;
}

TAff4ZipMemberStream::~TAff4ZipMemberStream() = default;

HRESULT TAff4ZipMemberStream::QueryInterfaceImpl(REFIID iid, void **out) {
  if (iid == IID_IVorUnknown || iid == IID_ISequentialInStream)
    return Offer<ISequentialInStream>(this, out);
  return NoInterface(out);
}

HRESULT TAff4ZipMemberStream::Read(void *data, UInt32 size, UInt32 *processed) noexcept {
  if (processed)
    *processed = 0;
  return GuardHResult([&]() -> HRESULT {
    if (FFailed || size == 0)
      return S_OK;
    size = static_cast<UInt32>(std::min<UInt64>(size, FSize - FProduced));
    if (size == 0)
      return S_OK;
    if (!FDeflated) {
      const size_t got = ReadUpTo(FPacked, data, static_cast<size_t>(std::min<UInt64>(size, FPackLeft)));
      FPackLeft -= got;
      FProduced += got;
      FCrc = static_cast<UInt32>(crc32(FCrc, static_cast<const Bytef *>(data), static_cast<uInt>(got)));
      if (processed)
        *processed = static_cast<UInt32>(got);
      return S_OK;
    }
    if (!FInflate) {
      FInflate = std::make_unique<TInflate>();
      if (inflateInit2(&FInflate->Z, -MAX_WBITS) != Z_OK) {
        FFailed = true;
        return S_OK;
      }
      FInflate->Ready = true;
    }
    z_stream &z = FInflate->Z;
    z.next_out = static_cast<Bytef *>(data);
    z.avail_out = size;
    while (z.avail_out == size && !FInflate->Ended) {
      if (z.avail_in == 0 && FPackLeft > 0) {
        const size_t got = ReadUpTo(FPacked, FInflate->In, static_cast<size_t>(std::min<UInt64>(kPiece, FPackLeft)));
        FPackLeft = got == 0 ? 0 : FPackLeft - got;
        z.next_in = FInflate->In;
        z.avail_in = static_cast<uInt>(got);
      }
      const int code = inflate(&z, Z_NO_FLUSH);
      if (code == Z_STREAM_END) {
        FInflate->Ended = true;
      } else if (code != Z_OK) {
        FFailed = z.avail_out == size;
        break;
      }
    }
    const UInt32 n = size - z.avail_out;
    FProduced += n;
    FCrc = static_cast<UInt32>(crc32(FCrc, static_cast<const Bytef *>(data), n));
    if (processed)
      *processed = n;
    return S_OK;
  });
}

bool ReadAff4ZipBytes(ISequentialInStream *in, const TAff4ZipMember &member, UInt64 limit, std::vector<Byte> &out) {
  out.clear();
  if (member.Size > limit)
    return false;
  ComPtr<TAff4ZipMemberStream> s(new TAff4ZipMemberStream(in, member));
  // Allocated as bytes arrive: the size a directory claims is not trusted.
  while (out.size() < member.Size) {
    const size_t old = out.size();
    out.resize(static_cast<size_t>(std::min<UInt64>(member.Size, old + kPiece)));
    const size_t got = ReadUpTo(s, out.data() + old, out.size() - old);
    out.resize(old + got);
    if (got == 0)
      break;
  }
  return s->Complete();
}
