// The archive handler base: every host archive interface implemented once, forwarding to the
// per-format Do... operations.
#pragma once

#include <mutex>
#include <span>
#include <vector>

#include "hashers/StoredDigests.h"
#include "host/CodecsInfo.h"
#include "host/Com.h"
#include "host/Errors.h"
#include "streams/Progress.h"

class Tvor7zObject;
class Tvor7zArchive;

// One row of a format's item or archive property list.
struct TvorPropertyInfo {
  const wchar_t *Name;  // nil for the host's standard properties
  PROPID ID;
  VARTYPE Type;
};
using TvorPropertyTable = std::span<const TvorPropertyInfo>;

// Class reference of an object the library creates through CreateObject.
class Tvor7zObjectClass {
public:
  virtual ~Tvor7zObjectClass() = default;
  virtual GUID GetClassID() const = 0;
  // Virtual constructor.
  virtual Tvor7zObject *Create() const = 0;
};

// Class reference of a format: the class-level handler properties, callable without an instance.
class Tvor7zArchiveClass : public Tvor7zObjectClass {
public:
  virtual UString GetName() const = 0;
  virtual UString GetExtension() const = 0;
  virtual UString GetAddExtension() const = 0;
  virtual bool GetUpdate() const = 0;
  virtual AString GetSignature() const = 0;
  virtual UInt32 GetSignatureOffset() const = 0;
  virtual UInt16 GetFlags() const = 0;
  virtual Func_IsArc GetIsArcFunc() const = 0;
  // Whether the class replaces the base's operation (decides whether IInArchiveGetStream is offered).
  virtual bool OverridesDoGetStream() const = 0;
};

// Base of every object created through CreateObject.
class Tvor7zObject : public TvorInterfacedObject {
public:
  // The reference-counting interface of the instance.
  virtual IUnknown *GetUnknown() = 0;
};

// Output stream that discards everything; formats decode into it in test mode.
class Tvor7zTestSequentialOutStream : public TvorInterfacedObject, public ISequentialOutStream {
public:
  VOR_UNKNOWN_IMP
  HRESULT QueryInterfaceImpl(REFIID iid, void **out) override;
  HRESULT STDMETHODCALLTYPE Write(const void *data, UInt32 size, UInt32 *processed) noexcept override;
};

class Tvor7zArchive : public Tvor7zObject,
                      public IInArchive,
                      public IInArchiveGetStream,
                      public IArchiveGetRawProps,
                      public ISetProperties,
                      public ISetCompressCodecsInfo {
public:
  Tvor7zArchive();
  ~Tvor7zArchive() override;

  VOR_UNKNOWN_IMP
  HRESULT QueryInterfaceImpl(REFIID iid, void **out) override;
  IUnknown *GetUnknown() override { return static_cast<IInArchive *>(this); }

  // ---- Class operations (static; a format hides those it changes) ----
  static UString GetName() { return L"Tvor7zArchive"; }
  static UString GetExtension() { return UString(); }
  static UString GetAddExtension() { return UString(); }
  static bool GetUpdate() { return false; }
  static AString GetSignature() { return AString(); }
  static UInt32 GetSignatureOffset() { return 0; }
  static UInt16 GetFlags() { return 0; }
  static Func_IsArc GetIsArcFunc() { return nullptr; }

  // ---- IInArchive ----
  HRESULT STDMETHODCALLTYPE Open(IInStream *stream, const UInt64 *maxCheckStartPosition,
                                 IArchiveOpenCallback *openCallback) noexcept override;
  HRESULT STDMETHODCALLTYPE Close() noexcept override;
  HRESULT STDMETHODCALLTYPE GetNumberOfItems(UInt32 *numItems) noexcept override;
  HRESULT STDMETHODCALLTYPE GetProperty(UInt32 index, PROPID propID, PROPVARIANT *value) noexcept override;
  HRESULT STDMETHODCALLTYPE Extract(const UInt32 *indices, UInt32 numItems, Int32 testMode,
                                    IArchiveExtractCallback *extractCallback) noexcept override;
  HRESULT STDMETHODCALLTYPE GetArchiveProperty(PROPID propID, PROPVARIANT *value) noexcept override;
  HRESULT STDMETHODCALLTYPE GetNumberOfProperties(UInt32 *numProps) noexcept override;
  HRESULT STDMETHODCALLTYPE GetPropertyInfo(UInt32 index, BSTR *name, PROPID *propID,
                                            VARTYPE *varType) noexcept override;
  HRESULT STDMETHODCALLTYPE GetNumberOfArchiveProperties(UInt32 *numProps) noexcept override;
  HRESULT STDMETHODCALLTYPE GetArchivePropertyInfo(UInt32 index, BSTR *name, PROPID *propID,
                                                   VARTYPE *varType) noexcept override;
  // ---- IInArchiveGetStream ----
  HRESULT STDMETHODCALLTYPE GetStream(UInt32 index, ISequentialInStream **stream) noexcept override;
  // ---- IArchiveGetRawProps ----
  HRESULT STDMETHODCALLTYPE GetParent(UInt32 index, UInt32 *parent, UInt32 *parentType) noexcept override;
  HRESULT STDMETHODCALLTYPE GetRawProp(UInt32 index, PROPID propID, const void **data, UInt32 *dataSize,
                                       UInt32 *propType) noexcept override;
  HRESULT STDMETHODCALLTYPE GetNumRawProps(UInt32 *numProps) noexcept override;
  HRESULT STDMETHODCALLTYPE GetRawPropInfo(UInt32 index, BSTR *name, PROPID *propID) noexcept override;
  // ---- ISetProperties ----
  HRESULT STDMETHODCALLTYPE SetProperties(const wchar_t *const *names, const PROPVARIANT *values,
                                          UInt32 numProps) noexcept override;
  // ---- ISetCompressCodecsInfo ----
  HRESULT STDMETHODCALLTYPE SetCompressCodecsInfo(ICompressCodecsInfo *codecs) noexcept override;

  // ---- Operations a format overrides. Out-arguments arrive cleared; failures are raised. ----
  virtual void DoOpen(const UInt64 *maxCheckStartPosition, IArchiveOpenCallback *openCallback);
  virtual void DoGetStream(UInt32 index, ComPtr<ISequentialInStream> &stream);
  // What the Extract loop needs to know of one item.
  struct TExtractItemInfo {
    UInt64 Size;
    bool IsFolder;
  };
  virtual TExtractItemInfo DoGetExtractItemInfo(UInt32 index);
  // Writes item `index` (a valid index, never a folder) into `stream` and returns its operation
  // result; adds the bytes it writes to `progress`.
  virtual Int32 DoExtractItem(UInt32 index, ISequentialOutStream *stream, Tvor7zProgress &progress);
  // Before the first item of an Extract: a container whose key is needed only now asks the extract
  // callback for its password here.
  virtual void DoPrepareExtract(IArchiveExtractCallback *callback);
  // Name of file `index` of the set the opened file begins (0: the opened file itself); empty when
  // the format has no such set. The formats that answer it open AD-encrypted sets, whose files are
  // told apart by it.
  virtual UString DoGetVolumeName(UInt32 index);
  virtual void DoClose();
  // The archive and item property lists the host is offered; none by default.
  virtual TvorPropertyTable DoGetArchivePropertyTable();
  virtual void DoGetArchiveProperty(PROPID propID, PROPVARIANT &value);
  virtual void DoGetNumberOfItems(UInt32 &count);
  virtual TvorPropertyTable DoGetPropertyTable();
  virtual void DoGetProperty(UInt32 index, PROPID propID, PROPVARIANT &value);
  // Stored digests, offered as raw item properties: how many kinds the format stores (MD5, SHA-1,
  // SHA-256 in that order; 0 = none), and those of item `index` (a valid index).
  virtual UInt32 DoGetDigestKinds();
  virtual TvorStoredDigests DoGetStoredDigests(UInt32 index);

  // ---- Helpers for formats ----
  UString GetArchiveName();
  UString GetArchiveExtension();
  void SetErrorFlag(UInt32 bit);
  // For damage to metadata that nothing needs to locate or decode the data (case data, stored
  // digests): reported like any other error flag, but left out of StructureErrorFlags, so that the
  // container is read on past it.
  void SetMetadataErrorFlag(UInt32 bit);
  UString AnsiToUnicode(const AString &text) const;
  UString AnsiToUnicode(const char *data, size_t size) const;
  UInt16 ErrorFlags() const { return FErrorFlags; }
  // The flags that damage to the container's structure set; the walks over segments and volumes
  // stop at them.
  UInt16 StructureErrorFlags() const { return FStructureErrorFlags; }
  UInt32 CodePage() const { return FCodePage; }
  Tvor7zCompressCodecsInfo &CodecsInfo() { return FCodecsInfo; }
  bool IsOpen() const { return FStream != nullptr; }
  const Tvor7zArchiveClass *ArchiveClass() const { return FClass; }
  void SetArchiveClass(const Tvor7zArchiveClass *c) { FClass = c; }

  // Item property list of the image formats: the path (so that a detailed listing names the item)
  // and the size.
  static TvorPropertyTable PathAndSizeProperties();

protected:
  std::recursive_mutex FLock;
  Tvor7zCompressCodecsInfo FCodecsInfo;
  ComPtr<IInStream> FStream;
  UString FArchiveName;
  bool FArchiveNameLoaded = false;
  UString FArchiveExtension;
  bool FArchiveExtensionLoaded = false;
  UInt32 FCodePage = 0;
  ComPtr<IArchiveOpenCallback> FOpenCallback;
  UInt16 FWarningFlags = 0;
  UString FWarning;
  UInt16 FErrorFlags = 0;
  UInt16 FStructureErrorFlags = 0;
  UString FError;
  UString FErrorType;

private:
  // The host's Extract: every requested index checked (E_INVALIDARG past the end; 0xFFFFFFFF items =
  // all), their total size reported, then each item in the order asked through ExtractOneItem, and
  // the progress flushed.
  void ExtractItems(const UInt32 *indices, UInt32 numItems, bool testMode, IArchiveExtractCallback *callback);
  // One requested item through the host's per-item protocol: output stream, prepare, DoExtractItem
  // into it, report. Without a stream the item's size counts as done. A folder gets no stream and
  // keeps the asked mode (the host makes the folder itself).
  void ExtractOneItem(IArchiveExtractCallback *callback, UInt32 index, bool testMode, const TExtractItemInfo &item,
                      Tvor7zProgress &progress);
  void InternalClose() noexcept;
  void LoadArchiveName(IArchiveOpenCallback *callback);
  const Tvor7zArchiveClass *FClass = nullptr;
};

// Extension (with its dot, lower case) of the file-name part of `name`; a leading dot counts.
UString ExtractLowerExtension(const UString &name);
// `name` with its extension (the text from the last dot of its file-name part) replaced.
UString ChangeExtension(const UString &name, const UString &extension);

// The class reference of format T, built from T's static class operations.
template <class T>
class TArchiveClassOf final : public Tvor7zArchiveClass {
public:
  GUID GetClassID() const override { return T::GetClassID(); }
  Tvor7zObject *Create() const override {
    auto *a = new T();
    a->SetArchiveClass(this);
    return a;
  }
  UString GetName() const override { return T::GetName(); }
  UString GetExtension() const override { return T::GetExtension(); }
  UString GetAddExtension() const override { return T::GetAddExtension(); }
  bool GetUpdate() const override { return T::GetUpdate(); }
  AString GetSignature() const override { return T::GetSignature(); }
  UInt32 GetSignatureOffset() const override { return T::GetSignatureOffset(); }
  UInt16 GetFlags() const override { return T::GetFlags(); }
  Func_IsArc GetIsArcFunc() const override { return T::GetIsArcFunc(); }
  bool OverridesDoGetStream() const override {
    return !std::is_same_v<decltype(&T::DoGetStream), decltype(&Tvor7zArchive::DoGetStream)>;
  }
};
