// Control of the maker's core component through its exports. Finding and loading it, and the text helpers
// of the tunnel's connection block, live in the transport below (the tunnel needs them too).
#pragma once

#include "transport/tunnel/core_component_loader.h"

#include "winapi/windows.h"

// Forbids (1) or allows (0) the local lock screen through the core component.
bool DisableWindowLockScreen(int flag);

bool IsWindows8OrLater();
