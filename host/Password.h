// The password of an encrypted container, as the host's password interface gives it.
#pragma once

#include <vector>

#include "host/HostAbi.h"
#include "platform/Platform.h"

// The password the user gave, in the byte forms it is tried in: its UTF-8 bytes (what the writers
// of these containers hash), then, where they differ, its bytes in the system's ANSI code page (an
// older Windows writer may have hashed those). Wiped when it goes.
struct TvorPassword {
  std::vector<TvorSecret> Forms;
};

// Asks `callback` (an open or extract callback of the host) for the password: false when the
// callback has no password interface. A failure of the host (E_ABORT when the user cancels the
// password dialog) raises.
bool AskPassword(IUnknown *callback, TvorPassword &password);
