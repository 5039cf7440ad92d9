// The block table of an EWF image together with the case metadata of its set.
#pragma once

#include "blocks/Blocks.h"

// Case and device information read from the header texts and the volume section.
struct Tvor7zEwfInfo {
  UInt32 CompressionMethod = 0;
  UString Case;
  UString Evidence;
  UString Description;
  UString Examiner;
  UString Notes;
  UInt64 DateAcquired = 0;  // FILETIME
  UInt64 SystemDate = 0;    // FILETIME
  GUID ID{};
  UString CreatorApp;
  UString AcquisitionPlatform;
  UString DeviceModel;
  UString DeviceSerialNumber;
  UString DeviceLabel;
};

// Every EWF item object is at the same time the block table and the metadata holder.
class Tvor7zBaseEwfBlocks : public Tvor7zBlocks {
public:
  Tvor7zEwfInfo *GetInfo() noexcept { return &FInfo; }
  const Tvor7zEwfInfo *GetInfo() const noexcept { return &FInfo; }

private:
  Tvor7zEwfInfo FInfo;
};
