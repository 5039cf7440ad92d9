// EWF version-1 logical evidence files (.L01): the acquired files stored end to end in one chunked
// data image, with the file tree in an "ltree" section. One archive item per file or folder.
#pragma once

#include "formats/ewf/EwfArchive.h"
#include "formats/ewf/EwfFormats.h"
#include "formats/ewf/LItemArchive.h"

class Tvor7zL01Archive : public Tvor7zLogicalArchive<Tvor7zEwfArchive> {
public:
  static GUID GetClassID() { return GUID{0x33B807B9u, 0xD114u, 0x4FDFu, {0xAA, 0x15, 0x0E, 0xE8, 0xD8, 0x08, 0x05, 0x38}}; }
  static UString GetName() { return L"L01"; }
  static UString GetExtension() { return L"l01"; }
  static AString GetSignature() { return AString(NEwfSignature::kL01, 8); }
  static Func_IsArc GetIsArcFunc() { return IsArc_L01; }

protected:
  UString GetSegmentExtension(Int32 index, const UString &firstExtension) override;
  void EndOpen() override;
  Func_IsArc SegmentIsArc() const override { return IsArc_L01; }
  void ReadLtreeSection(IInStream *stream, UInt32 size) override;
};
