// PROPVARIANT conversions, and the setters the handlers use to answer properties.
#pragma once

#include "host/HostAbi.h"

// Text of a property value; E_INVALIDARG for types without a text form.
HRESULT PropVariantToString(const PROPVARIANT &value, UString &text);
// Integer of a property value; E_INVALIDARG for types without one or text that does not parse.
HRESULT PropVariantToInt64(const PROPVARIANT &value, Int64 &number);
// Frees what the value holds and empties it; E_INVALIDARG for types it does not know.
HRESULT PropVariantClearValue(PROPVARIANT &value);

// Setters: the value must be VT_EMPTY (as the host hands it over) or is cleared first.
void PropSetString(PROPVARIANT &value, const UString &text);
void PropSetBytes(PROPVARIANT &value, const void *data, UInt32 size);  // a byte-length BSTR
void PropSetBool(PROPVARIANT &value, bool b);
void PropSetUInt32(PROPVARIANT &value, UInt32 v);
void PropSetUInt64(PROPVARIANT &value, UInt64 v);
void PropSetFileTime(PROPVARIANT &value, UInt64 fileTime);

// Setters that leave the value empty when there is nothing to report (empty text, all-zero GUID).
void PropSetStringIfAny(PROPVARIANT &value, const UString &text);
void PropSetGuidIfAny(PROPVARIANT &value, const GUID &g);

// Makes a BSTR the host can free.
BSTR AllocBstr(const UString &text);

// GUID in registry form with braces and upper-case digits.
UString GuidToString(const GUID &g);
