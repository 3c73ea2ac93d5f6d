// File-system helpers shared by the areas of this layer.
#pragma once

#include "winapi/wintypes.h"

#include <cstdint>
#include <sys/stat.h>
#include <string>
#include <vector>

namespace winapi_internal {

// A path as the program writes it ("\" separators, UTF-16 or the ANSI code page) as the system wants it.
std::string native_path(LPCWSTR path);
std::string native_path_ansi(LPCSTR path);

// The Windows error code for an errno value.
DWORD error_from_errno(int error);

// Creates the folder and its missing parents; false with errno set on failure.
bool make_directories(const std::string& path, unsigned mode);

// Reads a whole file of at most max_size bytes, and the status of the file read when info is given. False
// (errno set; EFBIG when larger) on failure.
bool read_whole_file(const std::string& path, uint64_t max_size, std::vector<uint8_t>& contents,
                     struct stat* info = nullptr);

}  // namespace winapi_internal

namespace winapi_internal {

// The user's home folder ($HOME, else the password database), and an XDG base folder: the variable's value
// when it is an absolute path, else the fallback below the home folder (".config", ".local/share").
std::string home_directory();
std::string xdg_directory(const char* variable, const char* fallback_below_home);

}  // namespace winapi_internal
