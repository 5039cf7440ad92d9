// EWF version-2 logical evidence files (.Lx01): the acquired files stored end to end in one chunked
// data image, with the file tree in a single files data section. One archive item per file or folder.
#pragma once

#include "formats/ewf/Ewf2Archive.h"
#include "formats/ewf/EwfFormats.h"
#include "formats/ewf/LItemArchive.h"

class Tvor7zLx01Archive : public Tvor7zLogicalArchive<Tvor7zEwf2Archive> {
public:
  static GUID GetClassID() { return GUID{0x7CE10BFFu, 0x369Du, 0x46E4u, {0x89, 0x13, 0xEF, 0x3B, 0x1E, 0xD7, 0x9E, 0x34}}; }
  static UString GetName() { return L"Lx01"; }
  static UString GetExtension() { return L"lx01"; }
  static AString GetSignature() { return AString(NEwfSignature::kLx01, 8); }
  static Func_IsArc GetIsArcFunc() { return IsArc_Lx01; }

  // Section data flag: the descriptor's data hash is the MD5 of the section's bytes.
  static constexpr UInt32 kDataFlagIntegrityHash = 1;

protected:
  UString GetSegmentExtension(Int32 index, const UString &firstExtension) override;
  void EndOpen() override;
  Func_IsArc SegmentIsArc() const override { return IsArc_Lx01; }
  void ReadSingleFilesSection(IInStream *stream, const TEwf2Section &section) override;
};
