// KTWSession: the argument vector becomes the Windows command line, and WinMain runs the session.
#include "program/win_main.h"

int main(int argc, char** argv) {
    std::string command_line = make_command_line(argc, argv);
    return WinMain(GetModuleHandleW(nullptr), nullptr, &command_line[0], SW_SHOWNORMAL);
}
