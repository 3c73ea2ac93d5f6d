// The winapi tests' private X server, for the platform tests that need a display.
#include "../../../winapi/tests/support/xvfb_server.cpp"
