// The volumes of one AFF4 image: their ZIP members by the names AFF4 gives its URNs, their metadata
// as one graph, and all their files joined into one stream the data is read from.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "formats/aff4/Aff4Turtle.h"
#include "formats/aff4/Aff4Zip.h"
#include "streams/InStreams.h"

// A member of one of the volumes.
struct TAff4Segment {
  UInt32 Volume = 0;
  UInt32 Member = 0;
};

// Largest metadata member read whole (map target lists, version texts, indexes of deflated bevies).
constexpr UInt64 kAff4MaxSmallMember = 64u << 20;

struct TAff4Volume {
  std::string Urn;  // from container.description, else the ZIP comment
  UString FileName;
  UInt64 Base = 0;  // of its file in the joined stream
  UInt64 FileSize = 0;
  std::vector<TAff4ZipMember> Members;
  std::unordered_map<std::string, UInt32> ByName;  // percent-decoded member name -> member
  std::vector<UInt64> DataOffsets;                 // of each member's bytes in the joined stream, once found
};

class Tvor7zAff4Volumes : public TvorInterfacedObject, public IUnknown {
public:
  VOR_UNKNOWN_IMP
  HRESULT QueryInterfaceImpl(REFIID iid, void **out) override;

  // Adds the volume in `stream` (named `fileName`): its directory, its URN, its "version.txt" and
  // its metadata. False when it is no AFF4 volume (no ZIP, or neither a URN nor a turtle text).
  // Damage is added to Errors.
  bool AddVolume(IInStream *stream, const UString &fileName);
  // Takes the aff4:fileName statements of all volumes' metadata; after the last AddVolume.
  void ApplyFileNames();

  // The member that holds segment `urn` (a URN, optionally with a suffix such as "/00000000"),
  // searched in every volume: by its name relative to the volume's URN, by its escaped name, and by
  // the name an aff4:fileName statement gives it.
  bool Find(const std::string &urn, TAff4Segment &segment) const;
  const TAff4ZipMember &Member(const TAff4Segment &s) const { return FVolumes[s.Volume].Members[s.Member]; }
  // Position of a member's bytes in the joined stream; false when its local header is broken or its
  // bytes do not fit its file. Safe from several threads.
  bool DataOffset(const TAff4Segment &s, UInt64 &offset);
  // Reads a whole member of at most `limit` bytes; false when it is larger, does not decode or fails
  // its CRC (the caller decides what that damages). Safe from several threads.
  bool ReadMember(const TAff4Segment &s, UInt64 limit, std::vector<Byte> &out);
  // The stored bytes of a member as a stream of their own, nil when they cannot be located.
  ComPtr<IInStream> PackedStream(const TAff4Segment &s);
  // Its bytes, inflated when deflated, nil when they cannot be located.
  ComPtr<TAff4ZipMemberStream> MemberStream(const TAff4Segment &s);

  const std::vector<TAff4Volume> &Volumes() const { return FVolumes; }
  Tvor7zLimitInStream *Joined() const { return FJoined.Get(); }
  const TAff4Graph &Graph() const { return FGraph; }
  const std::string &Tool() const { return FTool; }
  // Whether `urn` is the URN of one of the volumes.
  bool IsVolume(const std::string &urn) const;

  UInt32 Errors = 0;         // error flag bits of structural damage
  UInt32 MetadataErrors = 0; // of damage to metadata nothing needs to locate the data

private:
  std::vector<TAff4Volume> FVolumes;
  ComPtr<Tvor7zLimitInStream> FJoined{new Tvor7zLimitInStream()};
  TAff4Graph FGraph;
  std::string FTool;  // "tool" of the first version.txt
  std::unordered_map<std::string, TAff4Segment> FByFileName;  // aff4:fileName mappings, by URN
  std::mutex FLock;  // DataOffsets
};

// Percent-decoded URN without a trailing slash: the form URNs are compared in.
std::string NormalizeAff4Urn(const std::string &urn);
