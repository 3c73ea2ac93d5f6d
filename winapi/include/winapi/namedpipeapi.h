// Named pipes.
#pragma once

#include "winapi/wintypes.h"
