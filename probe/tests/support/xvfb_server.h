// The winapi tests' private X server, for the probe tests that need a display.
#pragma once

#include "../../../winapi/tests/support/xvfb_server.h"
