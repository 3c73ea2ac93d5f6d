#include "app/core_component.h"

#include "runtime/log.h"

#include <cstring>

namespace {

typedef int (*DisableWindowLockScreenProc)(int flag);
typedef NTSTATUS (*RtlGetVersionProc)(RTL_OSVERSIONINFOW* info);

}  // namespace

bool DisableWindowLockScreen(int flag) {
    HMODULE module = LoadCoreComModule();
    if (!module) {
        LOG_ERROR("load voranthcore failed.");
        return false;
    }
    DisableWindowLockScreenProc proc =
        (DisableWindowLockScreenProc)GetProcAddress(module, "DisableWindowLockScreen");
    if (!proc) {
        LOG_ERROR("get voranthcore functions DisableWindowLockScreen failed.");
        FreeLibrary(module);
        return false;
    }
    if (!proc(flag)) {
        LOG_ERROR("DisableWindowLockScreen failed.");
        FreeLibrary(module);
        return false;
    }
    FreeLibrary(module);
    return true;
}

bool IsWindows8OrLater() {
    HMODULE ntdll = GetModuleHandleW(u"ntdll.dll");
    if (!ntdll) {
        ntdll = LoadLibraryW(u"ntdll.dll");
    }
    if (!ntdll) {
        return false;
    }
    RtlGetVersionProc rtl_get_version = (RtlGetVersionProc)GetProcAddress(ntdll, "RtlGetVersion");
    if (!rtl_get_version) {
        return false;
    }
    RTL_OSVERSIONINFOW info;
    memset(&info, 0, sizeof(info));
    info.dwOSVersionInfoSize = sizeof(info);
    if (rtl_get_version(&info) != 0) {
        return false;
    }
    if (info.dwMajorVersion > 6) {
        return true;
    }
    return info.dwMajorVersion == 6 && info.dwMinorVersion > 1;
}
