// Opening a file of an AD-encrypted set: the password is asked, and the file and the files of its
// set that the format opens later become streams of their plain bytes, so that the format reads
// the image as if it were not encrypted.
#pragma once

#include <functional>

#include "host/Com.h"

enum class TAdCryptOpen { kPlain, kUnlocked, kUnsupported };

// When `stream` starts with the encryption header: asks `callback` for the password and replaces
// `stream` by its plain bytes and `callback` by one whose volumes are plain as well, each told
// apart by `volumeName` (the name of file k of the set, k = 0 the opened one). kUnsupported, with
// `why`, for a key this cannot unseal. A password that fails the check, or none, raises S_FALSE
// after the host was asked, which the host reports as a wrong password; so does a damaged header.
TAdCryptOpen OpenAdEncrypted(ComPtr<IInStream> &stream, ComPtr<IArchiveOpenCallback> &callback,
                             std::function<UString(UInt32)> volumeName, UString &why);
