// The items of an EWF physical image: the image itself and, for a multi-session optical disc, a
// generated CUE sheet. The object is also the image's block table and case metadata holder.
#pragma once

#include <vector>

#include "formats/ewf/EwfBlocks.h"
#include "hashers/StoredDigests.h"

struct Tvor7zEItem {
  enum : Byte { kImage = 0, kCueSheet = 1 };
  Byte Kind = kImage;
  UString Name;
  UInt64 Size = 0;
  TvorDigestCopies Digests;  // the image's stored digests, from every place that keeps them
  bool IsBin = false;  // a session section made the image a .bin; its media-type extension is kept off
};

class Tvor7zE01Items : public Tvor7zBaseEwfBlocks {
public:
  Int32 GetItemCount() const noexcept { return static_cast<Int32>(FItems.size()); }
  // New items start empty. Pointers from GetItem are invalidated.
  void SetItemCount(Int32 count) { FItems.resize(count < 0 ? 0 : static_cast<size_t>(count)); }
  // No range check; callers check against GetItemCount.
  Tvor7zEItem *GetItem(Int32 index) { return &FItems[static_cast<size_t>(index)]; }
  ComPtr<IInStream> GetCueStream() const { return FCueStream; }
  void SetCueStream(IInStream *stream) { FCueStream = stream; }

private:
  std::vector<Tvor7zEItem> FItems;
  ComPtr<IInStream> FCueStream;
};
