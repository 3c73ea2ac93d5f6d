// Stand-in for a core component build that lacks the lock-screen export.
extern "C" __attribute__((visibility("default"))) int GetCurrentLine(char* buffer, int size) {
    return 0;
}
