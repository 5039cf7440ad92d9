#include "host/Errors.h"

#include <cerrno>
#include <new>

#include "platform/Platform.h"

void RaiseHResult(HRESULT code) { throw EOleSysError(code); }

HRESULT CheckHResult(HRESULT code) {
  if (code < 0)
    RaiseHResult(code);
  return code;
}

void CheckPointer(const void *p) {
  if (!p)
    throw EInvalidPointer();
}

void CheckArgument(bool condition) {
  if (!condition)
    throw std::invalid_argument("invalid argument");
}

void RaiseLastOSError() { throw EOSError(PlatformLastError()); }

Int32 WorseOperationResult(Int32 a, Int32 b) noexcept {
  const auto rank = [](Int32 r) {
    switch (r) {
    case NOperationResult::kOK: return 0;
    case NOperationResult::kHeadersError: return 1;
    case NOperationResult::kCRCError: return 2;
    case NOperationResult::kUnsupportedMethod: return 4;
    case NOperationResult::kDataError: return 5;
    case NOperationResult::kUnexpectedEnd: return 6;
    default: return 3;
    }
  };
  return rank(b) > rank(a) ? b : a;
}

HRESULT ExceptionToHResult() noexcept {
  try {
    throw;
  } catch (const EAbort &) {
    return HRESULT_ERROR_CANCELLED;
  } catch (const EOleSysError &e) {
    return e.Code();
  } catch (const std::bad_alloc &) {
    return E_OUTOFMEMORY;
  } catch (const std::length_error &) {  // a container asked for more than it can ever hold
    return E_OUTOFMEMORY;
  } catch (const EOSError &e) {
    return PlatformErrorToHResult(e.ErrorCode());
  } catch (const std::invalid_argument &) {
    return E_INVALIDARG;
  } catch (const EInvalidPointer &) {
    return E_POINTER;
  } catch (...) {
    return E_UNEXPECTED;
  }
}
