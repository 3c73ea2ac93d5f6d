// Overlapped I/O: results and cancellation.
#pragma once

#include "winapi/wintypes.h"
