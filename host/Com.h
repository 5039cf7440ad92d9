// Reference-counted object base and interface references.
#pragma once

#include <atomic>
#include <utility>

#include "host/HostAbi.h"

// Base of every reference-counted object. Counts start at 0; the first interface reference takes one.
// Concrete classes list the interfaces they offer in QueryInterfaceImpl and add VOR_UNKNOWN_IMP,
// which routes every inherited IUnknown slot to the single count here.
class TvorInterfacedObject {
public:
  TvorInterfacedObject() = default;
  TvorInterfacedObject(const TvorInterfacedObject &) = delete;
  TvorInterfacedObject &operator=(const TvorInterfacedObject &) = delete;
  virtual ~TvorInterfacedObject() = default;

  // Virtual so that a class can offer an interface conditionally.
  virtual HRESULT QueryInterfaceImpl(REFIID iid, void **out) = 0;

  ULONG AddRefImpl() noexcept { return ++FRefCount; }
  ULONG ReleaseImpl() noexcept {
    const ULONG n = --FRefCount;
    if (n == 0)
      delete this;
    return n;
  }
  ULONG RefCount() const noexcept { return FRefCount.load(); }

protected:
  // Hands out `self` as interface I with a new reference.
  template <class I, class T>
  static HRESULT Offer(T *self, void **out) noexcept {
    I *p = static_cast<I *>(self);
    p->AddRef();
    *out = p;
    return S_OK;
  }
  static HRESULT NoInterface(void **out) noexcept {
    *out = nullptr;
    return E_NOINTERFACE;
  }

private:
  std::atomic<ULONG> FRefCount{0};
};

#define VOR_UNKNOWN_IMP                                                                          \
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **out) noexcept override {           \
    if (!out)                                                                                    \
      return E_POINTER;                                                                          \
    return QueryInterfaceImpl(iid, out);                                                         \
  }                                                                                              \
  ULONG STDMETHODCALLTYPE AddRef() noexcept override { return AddRefImpl(); }                    \
  ULONG STDMETHODCALLTYPE Release() noexcept override { return ReleaseImpl(); }

// Owning reference to an interface (or to a reference-counted class).
template <class T>
class ComPtr {
public:
  ComPtr() noexcept = default;
  ComPtr(std::nullptr_t) noexcept {}
  ComPtr(T *p) noexcept : FPtr(p) {
    if (FPtr)
      FPtr->AddRef();
  }
  ComPtr(const ComPtr &o) noexcept : ComPtr(o.FPtr) {}
  ComPtr(ComPtr &&o) noexcept : FPtr(std::exchange(o.FPtr, nullptr)) {}
  template <class U, class = std::enable_if_t<std::is_convertible_v<U *, T *>>>
  ComPtr(const ComPtr<U> &o) noexcept : ComPtr(static_cast<T *>(o.Get())) {}
  ~ComPtr() { Release(); }

  ComPtr &operator=(T *p) noexcept {
    if (p)
      p->AddRef();
    Release();
    FPtr = p;
    return *this;
  }
  ComPtr &operator=(const ComPtr &o) noexcept { return *this = o.FPtr; }
  ComPtr &operator=(ComPtr &&o) noexcept {
    if (this != &o) {
      Release();
      FPtr = std::exchange(o.FPtr, nullptr);
    }
    return *this;
  }
  ComPtr &operator=(std::nullptr_t) noexcept {
    Release();
    return *this;
  }

  void Release() noexcept {
    if (T *p = std::exchange(FPtr, nullptr))
      p->Release();
  }
  T *Get() const noexcept { return FPtr; }
  T *operator->() const noexcept { return FPtr; }
  T &operator*() const noexcept { return *FPtr; }
  explicit operator bool() const noexcept { return FPtr != nullptr; }
  operator T *() const noexcept { return FPtr; }

  // For out-parameters: releases the current reference first.
  T **Put() noexcept {
    Release();
    return &FPtr;
  }
  void Attach(T *p) noexcept {
    Release();
    FPtr = p;
  }
  T *Detach() noexcept { return std::exchange(FPtr, nullptr); }

  // Hands a new reference to the caller's out-parameter.
  template <class U>
  void CopyTo(U **out) const noexcept {
    *out = FPtr;
    if (FPtr)
      FPtr->AddRef();
  }

  // QueryInterface for another interface; null when not offered.
  template <class U>
  ComPtr<U> As(REFIID iid) const noexcept {
    ComPtr<U> r;
    if (FPtr) {
      void *p = nullptr;
      if (FPtr->QueryInterface(iid, &p) == S_OK && p)
        r.Attach(static_cast<U *>(p));
    }
    return r;
  }

private:
  T *FPtr = nullptr;
};

// Asks `unk` for interface U; null when it is not offered.
template <class U, class T>
ComPtr<U> QueryAs(T *unk, REFIID iid) noexcept {
  ComPtr<U> r;
  if (unk) {
    void *p = nullptr;
    if (unk->QueryInterface(iid, &p) == S_OK && p)
      r.Attach(static_cast<U *>(p));
  }
  return r;
}
