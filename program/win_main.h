// The program's entry on the Windows layer: command words, the single-instance mutex, remote commands posted
// to a running session, the crash filter, then the application.
#pragma once

#include "winapi/windows.h"

#include <string>

// The single-instance mutex: one session process per logon session (debug sessions take none).
#define KTW_INSTANCE_MUTEX u"Local\\KTWSession_Mutex_Client"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR command_line, int show);

// A remote command ("base" WORD): posts WORD's message to the running session window. 0 when posted, 1 when
// the word is unknown or no session window exists.
int post_remote_command(const std::string& word);

// Installs the crash filter: a fatal signal logs a line and leaves a core dump where the system allows one.
void install_crash_filter();

// The Windows command line (the words after the program name) of an argument vector: words with blanks or
// quotes are quoted, so that the system's split gives them back.
std::string make_command_line(int argc, char** argv);
