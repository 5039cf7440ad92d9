// Failures travel inside the library as exceptions carrying an HRESULT and are converted back at
// every boundary the host can call.
#pragma once

#include <exception>
#include <stdexcept>

#include "host/HostAbi.h"

// An HRESULT raised on purpose (S_FALSE "not this format" included).
class EOleSysError : public std::exception {
public:
  explicit EOleSysError(HRESULT code) noexcept : FCode(code) {}
  HRESULT Code() const noexcept { return FCode; }
  const char *what() const noexcept override { return "HRESULT"; }

private:
  HRESULT FCode;
};

// The user cancelled.
class EAbort : public std::exception {
public:
  const char *what() const noexcept override { return "aborted"; }
};

// An operating-system error carrying a Windows-style error code.
class EOSError : public std::exception {
public:
  explicit EOSError(UInt32 code) noexcept : FErrorCode(code) {}
  UInt32 ErrorCode() const noexcept { return FErrorCode; }
  const char *what() const noexcept override { return "system error"; }

private:
  UInt32 FErrorCode;
};

class EInvalidPointer : public std::exception {
public:
  const char *what() const noexcept override { return "invalid pointer"; }
};

[[noreturn]] void RaiseHResult(HRESULT code);
// Success codes (S_OK, S_FALSE, ...) pass through; failures are raised.
HRESULT CheckHResult(HRESULT code);
// Raises the invalid-pointer exception for a nil pointer.
void CheckPointer(const void *p);
// Raises the invalid-argument exception when the condition is false.
void CheckArgument(bool condition);
// Raises the last operating-system error.
[[noreturn]] void RaiseLastOSError();

// The worse of two operation results of one item: data lost (a chunk that could not be located,
// kUnexpectedEnd; or not decoded, kDataError, kUnsupportedMethod) outranks a checksum that fails
// over bytes still written (kCRCError), which outranks bytes handed out unchecked (kHeadersError).
Int32 WorseOperationResult(Int32 a, Int32 b) noexcept;

// Maps the exception being handled to an HRESULT; call only inside a catch block.
HRESULT ExceptionToHResult() noexcept;

// Runs `body` and converts any exception it raises; `body` returns the HRESULT on success.
template <class F>
HRESULT GuardHResult(F &&body) noexcept {
  try {
    return body();
  } catch (...) {
    return ExceptionToHResult();
  }
}
