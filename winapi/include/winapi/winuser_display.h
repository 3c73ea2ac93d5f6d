// Monitors, display modes, cursors, pointer and keyboard translation.
#pragma once

#include "winapi/wintypes.h"
