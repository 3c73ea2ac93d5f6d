#include "platform/platform.h"

#include "runtime/exception.h"
#include "winapi/shlobj.h"
#include "winapi/windows.h"

std::string Platform::app_data_folder(const std::string& name)
{
    char app_data[MAX_PATH] = {};
    // A fresh Linux home may lack the data folder that every Windows profile has.
    if (FAILED(SHGetFolderPathA(nullptr, CSIDL_APPDATA | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT, app_data)) ||
        !app_data[0]) {
        throw Exception("get user app data dir failed");
    }
    std::string path = std::string(app_data) + "/" + name;
    if (!CreateDirectoryA(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        throw Exception("create user app data dir failed");
    }
    return path;
}

uint64_t Platform::get_process_id()
{
    static const uint64_t pid = GetCurrentProcessId();
    return pid;
}
