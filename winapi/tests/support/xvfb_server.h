// A private X server for the tests that need a display: Xvfb started on a free display number, DISPLAY set for
// the test program, stopped when the program ends. Each test program gets its own server, so parallel test
// programs never share focus, pointer or clipboard.
#pragma once

#include <string>

namespace test_support {

// Starts the server on first use; false when Xvfb cannot be started. Call before the code under test first
// opens the display.
bool ensure_xvfb();
// ":N" of the running server, empty before ensure_xvfb succeeded.
const std::string& xvfb_display();

}  // namespace test_support
