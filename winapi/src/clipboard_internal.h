// Between the clipboard's Windows half (clipboard.cpp) and its X half (clipboard_x11.cpp), and the hook the
// window half calls when a window is destroyed.
#pragma once

#include "winapi/wintypes.h"

#include <cstdint>
#include <string>
#include <vector>

namespace winapi_internal {

// ---- the Windows half, called by the X owner thread ----

// The X targets the process's clipboard offers; empty when it does not own the clipboard.
std::vector<std::string> clipboard_export_targets();
// The bytes of one target, rendering a delayed format first (which sends WM_RENDERFORMAT to the owner window
// and waits for it). False when the target is not offered or cannot be produced.
bool clipboard_export(const std::string& target, std::vector<uint8_t>* bytes);
// Another X client took the selection that the process claimed for this EmptyClipboard generation.
void clipboard_ownership_lost(uint64_t generation);

// DestroyWindow of the owner window: WM_RENDERALLFORMATS is sent to it while it still has delayed formats,
// then formats still unrendered are removed and the clipboard has no owner window.
void clipboard_window_destroyed(HWND window);

// ---- the X half ----

// Has the owner thread (started on first use) take the CLIPBOARD selection for this generation. False when
// there is no X display.
bool clipboard_x11_claim(uint64_t generation);
// Which of the wanted targets another X client offers; false when nobody owns the selection or there is no
// display.
bool clipboard_x11_offers(const std::vector<std::string>& wanted, std::vector<std::string>* offered);
// Another X client's data for a target, converted on the calling thread through a private connection.
bool clipboard_x11_read(const std::string& target, std::vector<uint8_t>* bytes);

}  // namespace winapi_internal
