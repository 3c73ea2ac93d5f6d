// The clipboard.
#pragma once

#include "winapi/wintypes.h"
