#pragma once

#include "winapi/wintypes.h"
