// Version queries. The system is reported as Windows 10 everywhere, the answer Windows gives a program whose
// manifest declares it compatible (without one, GetVersionEx and VerifyVersionInfo would say 6.2).
#include "winapi/version.h"

#include <cstring>

namespace {

const DWORD MAJOR = 10;
const DWORD MINOR = 0;
const DWORD BUILD = 19045;

bool fill_version(OSVERSIONINFOW* info) {
    DWORD size = info->dwOSVersionInfoSize;
    if (size != sizeof(OSVERSIONINFOW) && size != sizeof(OSVERSIONINFOEXW)) {
        return false;
    }
    memset((char*)info + sizeof(DWORD), 0, size - sizeof(DWORD));
    info->dwMajorVersion = MAJOR;
    info->dwMinorVersion = MINOR;
    info->dwBuildNumber = BUILD;
    info->dwPlatformId = VER_PLATFORM_WIN32_NT;
    if (size == sizeof(OSVERSIONINFOEXW)) {
        OSVERSIONINFOEXW* ex = (OSVERSIONINFOEXW*)info;
        ex->wSuiteMask = VER_SUITE_SINGLEUSERTS;
        ex->wProductType = VER_NT_WORKSTATION;
    }
    return true;
}

// Each type bit owns three bits of the condition mask, in the order of the bits.
int slot_of(DWORD typeBit) {
    for (int slot = 0; slot < 8; slot++) {
        if (typeBit == (1u << slot)) {
            return slot;
        }
    }
    return -1;
}

BYTE condition_of(DWORDLONG mask, DWORD typeBit) {
    return (BYTE)((mask >> (3 * slot_of(typeBit))) & 7);
}

// Whether a comparison result (negative, zero, positive: the system against the request) meets the condition.
bool holds(int order, BYTE condition) {
    switch (condition) {
        case VER_EQUAL:
            return order == 0;
        case VER_GREATER:
            return order > 0;
        case VER_GREATER_EQUAL:
            return order >= 0;
        case VER_LESS:
            return order < 0;
        case VER_LESS_EQUAL:
            return order <= 0;
        default:
            return false;
    }
}

int order_of(DWORD system, DWORD wanted) {
    return system < wanted ? -1 : (system > wanted ? 1 : 0);
}

}  // namespace

BOOL WINAPI GetVersionExW(LPOSVERSIONINFOW info) {
    if (!info || !fill_version(info)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    return TRUE;
}

NTSTATUS WINAPI RtlGetVersion(PRTL_OSVERSIONINFOW info) {
    if (!info || !fill_version(info)) {
        return STATUS_INVALID_PARAMETER;
    }
    return STATUS_SUCCESS;
}

ULONGLONG WINAPI VerSetConditionMask(ULONGLONG conditionMask, DWORD typeMask, BYTE condition) {
    if (condition == 0) {
        return conditionMask;
    }
    for (int slot = 0; slot < 8; slot++) {
        if (typeMask & (1u << slot)) {
            conditionMask &= ~(7ull << (3 * slot));
            conditionMask |= (ULONGLONG)(condition & 7) << (3 * slot);
        }
    }
    return conditionMask;
}

BOOL WINAPI VerifyVersionInfoW(LPOSVERSIONINFOEXW info, DWORD typeMask, DWORDLONG conditionMask) {
    if (!info || typeMask == 0 || conditionMask == 0) {
        SetLastError(ERROR_BAD_ARGUMENTS);
        return FALSE;
    }
    OSVERSIONINFOEXW system;
    memset(&system, 0, sizeof(system));
    system.dwOSVersionInfoSize = sizeof(system);
    fill_version((OSVERSIONINFOW*)&system);

    // Major, minor and service-pack numbers form one version, compared part by part from the most
    // significant: 10.0 is at least 6.2 although 0 < 2. The most significant part asked for supplies the
    // condition.
    const DWORD parts[] = {VER_MAJORVERSION, VER_MINORVERSION, VER_SERVICEPACKMAJOR, VER_SERVICEPACKMINOR};
    const DWORD system_parts[] = {system.dwMajorVersion, system.dwMinorVersion, system.wServicePackMajor,
                                  system.wServicePackMinor};
    const DWORD wanted_parts[] = {info->dwMajorVersion, info->dwMinorVersion, info->wServicePackMajor,
                                  info->wServicePackMinor};
    int version_order = 0;
    BYTE version_condition = 0;
    for (int i = 0; i < 4; i++) {
        if (typeMask & parts[i]) {
            if (version_order == 0) {
                version_order = order_of(system_parts[i], wanted_parts[i]);
            }
            if (version_condition == 0) {
                version_condition = condition_of(conditionMask, parts[i]);
            }
        }
    }
    bool satisfied = version_condition == 0 || holds(version_order, version_condition);
    if (typeMask & VER_BUILDNUMBER) {
        satisfied = satisfied && holds(order_of(system.dwBuildNumber, info->dwBuildNumber),
                                       condition_of(conditionMask, VER_BUILDNUMBER));
    }
    if (typeMask & VER_PLATFORMID) {
        satisfied = satisfied && system.dwPlatformId == info->dwPlatformId;
    }
    if (typeMask & VER_PRODUCT_TYPE) {
        satisfied = satisfied && holds(order_of(system.wProductType, info->wProductType),
                                       condition_of(conditionMask, VER_PRODUCT_TYPE));
    }
    if (typeMask & VER_SUITENAME) {
        bool any = condition_of(conditionMask, VER_SUITENAME) == VER_OR;
        satisfied = satisfied && (any ? (system.wSuiteMask & info->wSuiteMask) != 0
                                      : (system.wSuiteMask & info->wSuiteMask) == info->wSuiteMask);
    }
    if (!satisfied) {
        SetLastError(ERROR_OLD_WIN_VERSION);
        return FALSE;
    }
    return TRUE;
}
