#include "formats/aff/AffBlocksDecoder.h"

#include <algorithm>
#include <cstring>

#include "formats/aff/AffCoders.h"
#include "formats/aff/AffInfo.h"
#include "host/Errors.h"
#include "streams/Progress.h"

using namespace NOperationResult;

namespace {
bool IsKnownAlgorithm(UInt32 algorithm) {
  return algorithm == NAffPage::kZlib || algorithm == NAffPage::kBZip2 || algorithm == NAffPage::kLzma;
}
}  // namespace

std::unique_ptr<Tvor7zBlockJob> Tvor7zAffArchiveBlocksDecoder::NewJob() { return std::make_unique<Tvor7zAffBlockJob>(); }

bool Tvor7zAffArchiveBlocksDecoder::ReadJob(Tvor7zBlockJob &job) {
  if (NAffPage::IsZero(job.Block->Flags)) {
    job.InSize = 0;
    return true;
  }
  if (!Tvor7zMtBlocksDecoder::ReadJob(job))
    return false;
  if (job.Block->Flags & NAffPage::kTruncated)
    SetJobResult(job, kUnexpectedEnd);
  return true;
}

bool Tvor7zAffArchiveBlocksDecoder::DecodeJob(Tvor7zBlockJob &job) {
  const Tvor7zBlock_ &block = *job.Block;
  if (!NAffPage::IsCompressed(block.Flags)) {
    // Written from the input buffer as it is, and never more than the page holds: extra stored
    // bytes would shift everything after them in the image.
    job.OutSize = std::min(job.InSize, block.Size);
    job.SetOutput(job.InBuffer.get(), job.OutSize);
    if (block.StoredSize > block.Size)
      SetJobResult(job, kDataError);
    return true;
  }
  const UInt32 algorithm = NAffPage::Algorithm(block.Flags);
  if (algorithm == NAffPage::kZero) {
    // Filled here, on the worker, so that the ordered write stage only writes.
    ReserveBuffers(job, 0, block.Size);
    std::memset(job.OutBuffer.get(), 0, block.Size);
    job.OutSize = block.Size;
    job.SetOutput(job.OutBuffer.get(), job.OutSize);
    return true;
  }
  if (IsKnownAlgorithm(algorithm))
    return Tvor7zMtBlocksDecoder::DecodeJob(job);
  // Reported at the page's place, after the pages before it were written.
  job.OutSize = 0;
  job.SetOutput(nullptr, 0);
  SetJobResult(job, kUnsupportedMethod);
  return true;
}

Int32 Tvor7zAffArchiveBlocksDecoder::DecodeBlock(Tvor7zBlockJob &job, ISequentialInStream *inStream,
                                                 ISequentialOutStream *outStream) {
  auto &j = static_cast<Tvor7zAffBlockJob &>(job);
  Int32 result =
      NAffPage::IsCompressed(job.Block->Flags) ? DecodeCompressed(j, inStream, outStream) : DecodeStored(j, inStream, outStream);
  if (result == kOK && (job.Block->Flags & NAffPage::kTruncated))
    result = kUnexpectedEnd;
  return result;
}

Int32 Tvor7zAffArchiveBlocksDecoder::DecodeCompressed(Tvor7zAffBlockJob &job, ISequentialInStream *inStream,
                                                      ISequentialOutStream *outStream) {
  const Tvor7zBlock_ &block = *job.Block;
  const UInt32 algorithm = NAffPage::Algorithm(block.Flags);
  switch (algorithm) {
  case NAffPage::kZlib: {
    if (!job.FlateDecoder)
      job.FlateDecoder = new TvorFlateDecodeDecoder();
    if (job.Buffered) {
      size_t written = 0;
      const HRESULT hr = job.FlateDecoder->DecodeBuffer(job.InBuffer.get(), job.InSize, job.OutBuffer.get(),
                                                        std::min<size_t>(block.Size, job.OutCapacity), &written);
      job.SetDirectOutput(written);
      return CoderResultToOperationResult(hr);
    }
    return CoderResultToOperationResult(CodeAffPage(algorithm, job.FlateDecoder, inStream, outStream, block.Size));
  }
  case NAffPage::kBZip2:
  case NAffPage::kLzma: {
    ComPtr<ICompressCoder> &coder = algorithm == NAffPage::kBZip2 ? job.BZip2Decoder : job.LzmaDecoder;
    if (!coder) {
      try {
        coder = algorithm == NAffPage::kBZip2 ? CreateBZip2Decoder(FLocalCodecs) : CreateLzmaDecoder(FLocalCodecs);
      } catch (const EOleSysError &e) {
        if (e.Code() == E_NOTIMPL)
          return kUnsupportedMethod;
        throw;
      }
    }
    return CoderResultToOperationResult(CodeAffPage(algorithm, coder, inStream, outStream, block.Size));
  }
  case NAffPage::kZero: {
    if (!FZeroBuffer) {
      FZeroBuffer.reset(new Byte[kZeroBufferSize]);
      std::memset(FZeroBuffer.get(), 0, kZeroBufferSize);
    }
    for (UInt32 left = block.Size; left > 0;) {
      const UInt32 n = std::min(left, kZeroBufferSize);
      CheckHResult(WriteStream(outStream, FZeroBuffer.get(), n));
      left -= n;
    }
    return kOK;
  }
  default:
    return kUnsupportedMethod;
  }
}

Int32 Tvor7zAffArchiveBlocksDecoder::DecodeStored(Tvor7zAffBlockJob &job, ISequentialInStream *inStream,
                                                  ISequentialOutStream *outStream) {
  const Tvor7zBlock_ &block = *job.Block;
  if (!job.OutBuffer) {
    job.OutBuffer.reset(new Byte[kZeroBufferSize]);
    job.OutCapacity = kZeroBufferSize;
  }
  // At most the page's size reaches the output (see DecodeJob).
  const UInt32 n = std::min(block.StoredSize, block.Size);
  CheckHResult(CopyStream(job.OutBuffer.get(), job.OutCapacity, nullptr, inStream, outStream, n));
  return block.StoredSize > block.Size ? kDataError : kOK;
}
