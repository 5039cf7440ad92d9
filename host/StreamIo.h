// Whole transfers over the host's stream interfaces.
#pragma once

#include "host/HostAbi.h"

// Reads until `size` bytes arrived: S_FALSE at a premature end, E_FAIL when a Read over-delivers.
HRESULT ReadStream(ISequentialInStream *stream, void *buffer, size_t size, size_t *processed = nullptr);
// Writes everything: S_FALSE when a Write accepts nothing, E_FAIL when it claims more than offered.
HRESULT WriteStream(ISequentialOutStream *stream, const void *buffer, size_t size, size_t *processed = nullptr);
// Writes `size` zero bytes, as WriteStream does: what stands for data that could not be read.
HRESULT WriteZeros(ISequentialOutStream *stream, UInt64 size);
