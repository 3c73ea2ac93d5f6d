// The guest's CAD cross-hair cursor (cursor type 7): a hardware cursor while it is small enough and lies
// inside its area, else the layered window of the screen's window, or the 3D plug-in when that draws it. One
// shared cursor per process. Main thread only, except creation.
#pragma once

#include "platform/cad_cursor_shape.h"
#include "platform/layer_cursor.h"
#include "platform/local_cursor.h"

class WinACADCursor : public WinBaseLocalCursor {
public:
    WinACADCursor() = default;
    // Takes the shape's 24 data bytes and builds the hardware cursor for them. A shape without them (not type
    // 7, no data, fewer than 24 bytes) keeps the previous drawing and makes the handle the system arrow.
    void Update(const GuestCursorShape& shape);
    // Shows the cursor for the pointer's position: the hardware cursor, or none while the layered window
    // draws.
    void set(HWND window) override;
    void hide(HWND window) override;

private:
    CadCursorData _data{};
};

// Platform::create_local_cursor for type 7: the shared CAD cursor, updated with the shape, with a reference
// for the caller.
LocalCursor* create_cad_cursor(const GuestCursorShape& shape);
// The hardware cursor built for the last CAD data (null when none), and the window's layered cursor (null
// when it has none yet).
HCURSOR cad_hardware_cursor();
CLayerCursorEx* cad_layer_cursor_of(HWND window);
