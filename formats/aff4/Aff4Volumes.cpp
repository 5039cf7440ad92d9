#include "formats/aff4/Aff4Volumes.h"

#include <algorithm>

#include "host/Errors.h"

namespace {
// DataOffsets of a member not looked at yet, and of one whose bytes cannot be located.
constexpr UInt64 kNotLocated = ~0ull;
constexpr UInt64 kBroken = ~0ull - 1;
constexpr UInt64 kMaxDescription = 4096;

std::string Trim(std::string s) {
  const auto space = [](char c) { return c == ' ' || c == '\r' || c == '\n' || c == '\t' || c == '\0'; };
  while (!s.empty() && space(s.back()))
    s.pop_back();
  size_t i = 0;
  while (i < s.size() && space(s[i]))
    i++;
  return s.substr(i);
}
}  // namespace

std::string NormalizeAff4Urn(const std::string &urn) {
  std::string s = Aff4PercentDecode(urn);
  while (s.size() > 1 && s.back() == '/' && s[s.size() - 2] != '/')
    s.pop_back();
  return s;
}

HRESULT Tvor7zAff4Volumes::QueryInterfaceImpl(REFIID iid, void **out) {
  if (iid == IID_IVorUnknown)
    return Offer<IUnknown>(this, out);
  return NoInterface(out);
}

bool Tvor7zAff4Volumes::AddVolume(IInStream *stream, const UString &fileName) {
  TAff4ZipDirectory directory;
  if (!ReadAff4ZipDirectory(stream, directory))
    return false;
  TAff4Volume v;
  v.FileName = fileName;
  v.FileSize = SeekTo(stream, 0, STREAM_SEEK_END);
  v.Base = FJoined->Size();
  v.Members = std::move(directory.Members);
  v.DataOffsets.assign(v.Members.size(), kNotLocated);
  for (UInt32 i = 0; i < v.Members.size(); i++)
    v.ByName.try_emplace(Aff4PercentDecode(v.Members[i].Name), i);
  const auto member = [&](const char *name) -> const TAff4ZipMember * {
    const auto it = v.ByName.find(name);
    return it == v.ByName.end() ? nullptr : &v.Members[it->second];
  };
  const TAff4ZipMember *turtle = member("information.turtle");
  const TAff4ZipMember *description = member("container.description");
  const TAff4ZipMember *version = member("version.txt");
  if (!turtle && !description && directory.Comment.rfind("aff4://", 0) != 0)
    return false;
  Errors |= directory.Errors;
  FJoined->AddStream(stream);
  const UInt32 index = static_cast<UInt32>(FVolumes.size());
  FVolumes.push_back(std::move(v));
  TAff4Volume &added = FVolumes.back();

  // The URN: container.description, else the comment (which may go on after it).
  std::vector<Byte> bytes;
  if (description) {
    if (ReadMember({index, static_cast<UInt32>(description - added.Members.data())}, kMaxDescription, bytes))
      added.Urn = Trim(std::string(bytes.begin(), bytes.end()));
    else
      MetadataErrors |= 1u << kpv_ErrorFlags_HeadersError;
  }
  if (added.Urn.empty() && directory.Comment.rfind("aff4://", 0) == 0) {
    const size_t end = directory.Comment.find_first_of(" \r\n\t\0", 0, 5);
    added.Urn = directory.Comment.substr(0, end);
  }
  added.Urn = NormalizeAff4Urn(added.Urn);
  if (added.Urn.empty())
    MetadataErrors |= 1u << kpv_ErrorFlags_HeadersError;
  if (version) {
    if (ReadMember({index, static_cast<UInt32>(version - added.Members.data())}, kMaxDescription, bytes)) {
      const std::string text(bytes.begin(), bytes.end());
      const size_t at = text.find("tool=");
      if (FTool.empty() && at != std::string::npos)
        FTool = Trim(text.substr(at + 5, text.find('\n', at) - at - 5));
    }
  }
  if (!turtle) {
    MetadataErrors |= 1u << kpv_ErrorFlags_HeadersError;
    return true;
  }
  const TAff4Segment turtleSegment{index, static_cast<UInt32>(turtle - added.Members.data())};
  if (const ComPtr<TAff4ZipMemberStream> text = MemberStream(turtleSegment)) {
    FGraph.Parse(text, added.Urn + "/");
    if (!text->Complete())
      Errors |= 1u << kpv_ErrorFlags_HeadersError;
  } else {
    Errors |= 1u << kpv_ErrorFlags_HeadersError;
  }
  return true;
}

void Tvor7zAff4Volumes::ApplyFileNames() {
  for (const std::string &subject : FGraph.Subjects()) {
    const std::string name = FGraph.First(subject, TAff4Predicate::kFileName);
    if (name.empty())
      continue;
    const std::string decoded = Aff4PercentDecode(name);
    for (UInt32 k = 0; k < FVolumes.size(); k++)
      if (const auto it = FVolumes[k].ByName.find(decoded); it != FVolumes[k].ByName.end()) {
        FByFileName.try_emplace(NormalizeAff4Urn(subject), TAff4Segment{k, it->second});
        break;
      }
  }
}

bool Tvor7zAff4Volumes::IsVolume(const std::string &urn) const {
  const std::string n = NormalizeAff4Urn(urn);
  return std::any_of(FVolumes.begin(), FVolumes.end(), [&](const TAff4Volume &v) { return v.Urn == n; });
}

bool Tvor7zAff4Volumes::Find(const std::string &urn, TAff4Segment &segment) const {
  const std::string n = NormalizeAff4Urn(urn);
  for (UInt32 k = 0; k < FVolumes.size(); k++) {
    const TAff4Volume &v = FVolumes[k];
    const auto look = [&](const std::string &name) {
      const auto it = v.ByName.find(name);
      if (it == v.ByName.end())
        return false;
      segment = {k, it->second};
      return true;
    };
    // Relative to the volume (one slash dropped: "aff4://v//dir/file" is the member "/dir/file").
    if (!v.Urn.empty() && n.size() > v.Urn.size() + 1 && n.compare(0, v.Urn.size(), v.Urn) == 0 &&
        n[v.Urn.size()] == '/' && look(n.substr(v.Urn.size() + 1)))
      return true;
    if (look(n))
      return true;
  }
  // An explicit file name given to the URN or to the object the segment belongs to.
  if (const auto it = FByFileName.find(n); it != FByFileName.end()) {
    segment = it->second;
    return true;
  }
  return false;
}

bool Tvor7zAff4Volumes::DataOffset(const TAff4Segment &s, UInt64 &offset) {
  TAff4Volume &v = FVolumes[s.Volume];
  {
    const std::lock_guard<std::mutex> lock(FLock);
    if (v.DataOffsets[s.Member] != kNotLocated) {
      offset = v.DataOffsets[s.Member];
      return offset != kBroken;
    }
  }
  UInt64 local = 0;
  const ComPtr<Tvor7zLimitInStream> reader = FJoined->Clone();
  ComPtr<Tvor7zLimitInStream> file(new Tvor7zLimitInStream());
  file->AddSegment(reader, v.Base, v.FileSize);
  const bool found = LocateAff4ZipData(file, v.Members[s.Member], v.FileSize, local);
  const std::lock_guard<std::mutex> lock(FLock);
  v.DataOffsets[s.Member] = found ? v.Base + local : kBroken;
  offset = v.DataOffsets[s.Member];
  return found;
}

ComPtr<IInStream> Tvor7zAff4Volumes::PackedStream(const TAff4Segment &s) {
  UInt64 offset = 0;
  if (!DataOffset(s, offset))
    return nullptr;
  ComPtr<Tvor7zLimitInStream> window(new Tvor7zLimitInStream());
  window->AddSegment(FJoined->Clone(), offset, Member(s).PackSize);
  return ComPtr<IInStream>(window.Get());
}

ComPtr<TAff4ZipMemberStream> Tvor7zAff4Volumes::MemberStream(const TAff4Segment &s) {
  const ComPtr<IInStream> packed = PackedStream(s);
  if (!packed)
    return nullptr;
  return ComPtr<TAff4ZipMemberStream>(new TAff4ZipMemberStream(packed, Member(s)));
}

bool Tvor7zAff4Volumes::ReadMember(const TAff4Segment &s, UInt64 limit, std::vector<Byte> &out) {
  const ComPtr<IInStream> packed = PackedStream(s);
  if (packed && ReadAff4ZipBytes(packed, Member(s), limit, out))
    return true;
  out.clear();
  return false;
}
