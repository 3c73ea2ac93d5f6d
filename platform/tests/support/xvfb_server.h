// The winapi tests' private X server, for the platform tests that need a display.
#pragma once

#include "../../../winapi/tests/support/xvfb_server.h"
