// GDI objects behind HGDIOBJ values, and their table. GDI handles are small numbers, as on Windows, where
// they fit in 32 bits.
#pragma once

#include "winapi/wingdi.h"

#include <memory>
#include <vector>

namespace winapi_internal {

class GdiObject {
public:
    virtual ~GdiObject() = default;
    virtual DWORD object_type() const = 0;  // OBJ_*
};

// A device-dependent bitmap in the screen's format: 32 bits per pixel, rows top-down, each pixel a
// little-endian 0xAARRGGBB (bytes blue, green, red, alpha).
class Bitmap : public GdiObject {
public:
    Bitmap(LONG width, LONG height) : width(width), height(height), pixels((size_t)width * (size_t)height) {}
    DWORD object_type() const override { return OBJ_BITMAP; }

    const LONG width;
    const LONG height;
    std::vector<uint32_t> pixels;
};

// Adds an object to the table: its handle, or NULL when the table is full.
HGDIOBJ gdi_insert(std::shared_ptr<GdiObject> object);
std::shared_ptr<GdiObject> gdi_lookup(HGDIOBJ handle);
template <class T>
std::shared_ptr<T> gdi_lookup_as(HGDIOBJ handle) {
    return std::dynamic_pointer_cast<T>(gdi_lookup(handle));
}
// False for an unknown handle.
bool gdi_remove(HGDIOBJ handle);

}  // namespace winapi_internal
