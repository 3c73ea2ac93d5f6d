// A second process for the cross-process kernel object tests.
//   kernel_helper hold-mutex NAME                 create the mutex, report, hold it until killed
//   kernel_helper hold-event NAME MANUAL INITIAL  create the event (0/1 flags), report, hold it until killed
//   kernel_helper set-event NAME                  open the event, set it, report, exit
// The report is one line on standard output: the last error after the create/open call (0 when new).
// The helper dies with its parent, so a failed test never leaves it behind.
#include "winapi/synchapi.h"

#include <cstdio>
#include <cstring>
#include <string>

#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

std::u16string wide(const char* text) {
    std::u16string out;
    for (; *text; ++text) {
        out += static_cast<char16_t>(static_cast<unsigned char>(*text));
    }
    return out;
}

void report(DWORD error) {
    std::printf("%u\n", static_cast<unsigned>(error));
    std::fflush(stdout);
}

[[noreturn]] void hold() {
    for (;;) {
        ::pause();
    }
}

}  // namespace

int main(int argc, char** argv) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() == 1) {
        return 2;
    }
    if (argc < 3) {
        return 2;
    }
    std::string command = argv[1];
    std::u16string name = wide(argv[2]);
    if (command == "hold-mutex") {
        HANDLE mutex = CreateMutexW(nullptr, FALSE, name.c_str());
        report(mutex ? GetLastError() : 0xFFFFFFFFu);
        hold();
    }
    if (command == "hold-event" && argc == 5) {
        HANDLE event = CreateEventW(nullptr, std::strcmp(argv[3], "1") == 0, std::strcmp(argv[4], "1") == 0,
                                    name.c_str());
        report(event ? GetLastError() : 0xFFFFFFFFu);
        hold();
    }
    if (command == "set-event") {
        HANDLE event = OpenEventW(EVENT_ALL_ACCESS, FALSE, name.c_str());
        if (!event) {
            report(GetLastError());
            return 1;
        }
        report(SetEvent(event) ? 0 : GetLastError());
        return 0;
    }
    return 2;
}
