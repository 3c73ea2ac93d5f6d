// The GDI object table, DeleteObject and GetObjectW.
#include "gdi_objects.h"

#include <cstring>
#include <mutex>
#include <unordered_map>

namespace winapi_internal {

namespace {

const uint32_t FIRST_HANDLE = 0x10000;
const uint32_t HANDLE_STEP = 4;

std::mutex table_mutex;
std::unordered_map<uint32_t, std::shared_ptr<GdiObject>> table;  // guarded by table_mutex
uint32_t next_handle = FIRST_HANDLE;                             // guarded by table_mutex

}  // namespace

HGDIOBJ gdi_insert(std::shared_ptr<GdiObject> object) {
    std::lock_guard<std::mutex> lock(table_mutex);
    // Handles are not reused until the 32-bit counter wraps; then the free ones are.
    for (uint64_t tries = 0; tries < (1ull << 30); tries++) {
        uint32_t handle = next_handle;
        next_handle = next_handle > UINT32_MAX - HANDLE_STEP ? FIRST_HANDLE : next_handle + HANDLE_STEP;
        if (table.emplace(handle, object).second) {
            return (HGDIOBJ)(uintptr_t)handle;
        }
    }
    return nullptr;
}

std::shared_ptr<GdiObject> gdi_lookup(HGDIOBJ handle) {
    std::lock_guard<std::mutex> lock(table_mutex);
    auto it = table.find((uint32_t)(uintptr_t)handle);
    if ((uintptr_t)handle > UINT32_MAX || it == table.end()) {
        return nullptr;
    }
    return it->second;
}

bool gdi_remove(HGDIOBJ handle) {
    std::shared_ptr<GdiObject> removed;  // destroyed after the lock is released
    std::lock_guard<std::mutex> lock(table_mutex);
    if ((uintptr_t)handle > UINT32_MAX) {
        return false;
    }
    auto it = table.find((uint32_t)(uintptr_t)handle);
    if (it == table.end()) {
        return false;
    }
    removed = std::move(it->second);
    table.erase(it);
    return true;
}

}  // namespace winapi_internal

using namespace winapi_internal;

BOOL WINAPI DeleteObject(HGDIOBJ object) {
    if (!gdi_remove(object)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

int WINAPI GetObjectW(HGDIOBJ object, int size, LPVOID buffer) {
    std::shared_ptr<Bitmap> bitmap = gdi_lookup_as<Bitmap>(object);
    if (!bitmap) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    if (!buffer) {
        return (int)sizeof(BITMAP);
    }
    if (size < (int)sizeof(BITMAP)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    BITMAP info;
    memset(&info, 0, sizeof(info));
    info.bmWidth = bitmap->width;
    info.bmHeight = bitmap->height;
    info.bmWidthBytes = bitmap->width * 4;
    info.bmPlanes = 1;
    info.bmBitsPixel = 32;
    memcpy(buffer, &info, sizeof(info));
    return (int)sizeof(BITMAP);
}
