// SHGetFolderPath: the application-data folders are the XDG data folder.
#include "winapi/shlobj.h"

#include "files_internal.h"
#include "text_internal.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace winapi_internal {

std::string home_directory() {
    const char* home = getenv("HOME");
    if (home && home[0] == '/') {
        return home;
    }
    struct passwd entry;
    struct passwd* found = nullptr;
    char buffer[4096];
    if (getpwuid_r(getuid(), &entry, buffer, sizeof(buffer), &found) == 0 && found && found->pw_dir) {
        return found->pw_dir;
    }
    return "/";
}

std::string xdg_directory(const char* variable, const char* fallback_below_home) {
    const char* value = getenv(variable);
    std::string folder =
        value && value[0] == '/' ? std::string(value) : home_directory() + "/" + fallback_below_home;
    while (folder.size() > 1 && folder.back() == '/') {
        folder.pop_back();
    }
    return folder;
}

namespace {

// The folder for a CSIDL, checked or created as the flags ask; an HRESULT failure otherwise.
HRESULT folder_path(int folder, std::u16string& path) {
    int id = folder & ~CSIDL_FLAG_MASK;
    if (id != CSIDL_APPDATA && id != CSIDL_LOCAL_APPDATA) {
        return E_INVALIDARG;
    }
    std::string native = xdg_directory("XDG_DATA_HOME", ".local/share");
    if (folder & CSIDL_FLAG_CREATE) {
        if (!make_directories(native, 0700)) {
            return HRESULT_FROM_WIN32(error_from_errno(errno));
        }
    } else if (!(folder & CSIDL_FLAG_DONT_VERIFY)) {
        struct stat st;
        if (stat(native.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
        }
    }
    path = utf8_to_utf16(native.data(), native.size());
    return S_OK;
}

}  // namespace

}  // namespace winapi_internal

using namespace winapi_internal;

HRESULT WINAPI SHGetFolderPathW(HWND owner, int folder, HANDLE token, DWORD flags, LPWSTR path) {
    if (!path) {
        return E_INVALIDARG;
    }
    path[0] = 0;
    std::u16string found;
    HRESULT hr = folder_path(folder, found);
    if (FAILED(hr)) {
        return hr;
    }
    if (found.size() >= MAX_PATH) {
        return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
    }
    memcpy(path, found.c_str(), (found.size() + 1) * sizeof(WCHAR));
    return S_OK;
}

HRESULT WINAPI SHGetFolderPathA(HWND owner, int folder, HANDLE token, DWORD flags, LPSTR path) {
    if (!path) {
        return E_INVALIDARG;
    }
    path[0] = 0;
    std::u16string found;
    HRESULT hr = folder_path(folder, found);
    if (FAILED(hr)) {
        return hr;
    }
    std::string ansi = utf16_to_ansi(found);
    if (ansi.size() >= MAX_PATH) {
        return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
    }
    memcpy(path, ansi.c_str(), ansi.size() + 1);
    return S_OK;
}
