// The per-user folder for this program's runtime files (named objects, sockets, pipes).
#pragma once

#include "winapi/wintypes.h"

#include <string>

namespace winapi_internal {

// $XDG_RUNTIME_DIR/ktwsession, or /tmp/ktwsession-<uid> when XDG_RUNTIME_DIR is unset or not absolute.
// Created 0700 on first use. Empty, with the last error set, when it cannot be made or is not private to
// this user (wrong owner, a symbolic link, not a folder).
std::string runtime_folder();

// Makes `path` a folder owned by this user with mode 0700 (creating it when missing); false, with the last
// error set, when something else is in the way.
bool make_private_folder(const std::string& path);

}  // namespace winapi_internal
