// A private X server for the tests that need a display: Xvfb started on a free display number, DISPLAY set
// for the test program, stopped when the program ends. Each test program gets its own server, so parallel
// test programs never share focus, pointer or clipboard.
#pragma once

#include "peer_programs.h"

#include <string>

namespace test_support {

// Starts the server on first use; false when Xvfb cannot be started (xvfb_error() tells why). Call before the
// code under test first opens the display.
bool ensure_xvfb();
// Why the server is not running; empty while it runs.
const std::string& xvfb_error();
// ":N" of the running server, empty before ensure_xvfb succeeded.
const std::string& xvfb_display();

}  // namespace test_support

// Ends the calling test (or its SetUp) without a server: Xvfb not installed (see KTW_REQUIRE_PROGRAM), or a
// failure when it would not start.
#define KTW_REQUIRE_XVFB()                                                      \
    do {                                                                        \
        KTW_REQUIRE_PROGRAM("Xvfb");                                            \
        ASSERT_TRUE(test_support::ensure_xvfb()) << test_support::xvfb_error(); \
    } while (0)
