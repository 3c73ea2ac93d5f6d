// The winapi tests' private X server, for the probe tests that need a display.
#include "../../../winapi/tests/support/xvfb_server.cpp"
