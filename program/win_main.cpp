#include "program/win_main.h"

#include "app/application.h"
#include "app/standin_screen.h"
#include "devices/playback_channel.h"
#include "devices/record_channel.h"
#include "display/display_channel.h"
#include "display/inputs_channel.h"
#include "display/red_screen.h"
#include "display/red_window.h"
#include "platform/platform.h"
#include "runtime/exception.h"
#include "runtime/log.h"

#include <fcntl.h>
#include <signal.h>
#include <strings.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstring>
#include <exception>

namespace {

// Messages the session window takes from remote commands.
const UINT WM_RESTART_DIALOG = 0x905;
const UINT WM_TOGGLE_FULL_SCREEN = 0x907;
const UINT WM_NETWORK_STATE_FILE = 0x912;

struct RemoteCommand {
    const char* word;
    UINT message;
    WPARAM wparam;
};

const RemoteCommand REMOTE_COMMANDS[] = {
    {"restore", WM_SYSCOMMAND, SC_RESTORE},   {"close", WM_SYSCOMMAND, SC_CLOSE},
    {"maximize", WM_SYSCOMMAND, SC_MAXIMIZE}, {"minimize", WM_SYSCOMMAND, SC_MINIMIZE},
    {"window", WM_TOGGLE_FULL_SCREEN, 0},     {"restart", WM_RESTART_DIALOG, 0},
    {"netstat", WM_NETWORK_STATE_FILE, 0},
};

HINSTANCE the_instance = nullptr;

// Prepared before any crash: the handler may only call what is safe inside a signal.
char crash_log_path[4096];
const char CRASH_LINE[] = "my_exception_filter: ktwsession crash, so make dump file...\n";

void crash_handler(int sig) {
    int fd = open(crash_log_path, O_WRONLY | O_APPEND | O_CREAT, 0600);
    if (fd >= 0) {
        ssize_t ignored = write(fd, CRASH_LINE, sizeof(CRASH_LINE) - 1);
        (void)ignored;
        close(fd);
    }
    ssize_t ignored = write(STDERR_FILENO, CRASH_LINE, sizeof(CRASH_LINE) - 1);
    (void)ignored;
    // The core dump is written where the hard limit allows it.
    struct rlimit limit;
    if (getrlimit(RLIMIT_CORE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_CORE, &limit);
    }
    signal(sig, SIG_DFL);
    raise(sig);
}

// The inputs channel talks to the application, which exists only once the session runs: its factory is made
// on the first channel list.
class ProgramInputsFactory : public ChannelFactory {
public:
    ProgramInputsFactory() : ChannelFactory(SPICE_CHANNEL_INPUTS) {}
    RedChannel* create(ChannelClient& client, uint8_t id) override {
        ApplicationInterface* app = ApplicationInterface::instance();
        if (!app) {
            LOG_WARN("no application for the inputs channel");
            return nullptr;
        }
        return InputsFactory(*app).create(client, id);
    }
};

void setup_parts() {
    static ProgramInputsFactory inputs_factory;
    static DisplayFactory display_factory;
    static PlaybackFactory playback_factory;
    static RecordFactory record_factory;
    ApplicationParts& parts = Application::parts();
    parts.version = "???";
    if (!parts.create_screen) {
        parts.create_screen = [](Application& app, int id, const std::string& title, int width, int height) {
            return new RedScreen(app, id, title, width, height);
        };
    }
    if (!parts.init_window) {
        parts.init_window = [] {
            RedWindow::init();
            return true;
        };
    }
    parts.channel_factories[SPICE_CHANNEL_DISPLAY] = &display_factory;
    parts.channel_factories[SPICE_CHANNEL_INPUTS] = &inputs_factory;
    parts.channel_factories[SPICE_CHANNEL_PLAYBACK] = &playback_factory;
    parts.channel_factories[SPICE_CHANNEL_RECORD] = &record_factory;
}

}  // namespace

void install_crash_filter() {
    std::string path = Platform::app_data_folder("ktwsession") + "/ktwlog.log";
    strncpy(crash_log_path, path.c_str(), sizeof(crash_log_path) - 1);
    for (int sig : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT}) {
        signal(sig, crash_handler);
    }
}

int post_remote_command(const std::string& word) {
    for (const RemoteCommand& command : REMOTE_COMMANDS) {
        if (strcasecmp(word.c_str(), command.word) != 0) {
            continue;
        }
        HWND window = FindWindowW(StandInScreen::WINDOW_CLASS, nullptr);
        if (!window) {
            OutputDebugStringA("base find failed");
            return 1;
        }
        return PostMessageW(window, command.message, command.wparam, 0) ? 0 : 1;
    }
    return 1;
}

std::string make_command_line(int argc, char** argv) {
    std::string line;
    for (int i = 1; i < argc; i++) {
        std::string word = argv[i];
        if (!line.empty()) {
            line += ' ';
        }
        if (!word.empty() && word.find_first_of(" \t\"") == std::string::npos) {
            line += word;
            continue;
        }
        line += '"';
        for (char c : word) {
            if (c == '"') {
                line += '\\';
            }
            line += c;
        }
        line += '"';
    }
    return line;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR command_line, int show) {
    Application::init_logger();
    install_crash_filter();
    the_instance = instance;
    std::string line = command_line ? command_line : "";
    std::vector<std::string> words = split_command_line(line);

    if (words.size() == 2 && strcasecmp(words[0].c_str(), "base") == 0) {
        return post_remote_command(words[1]);
    }
    if (!words.empty() && strcasecmp(words[0].c_str(), "debug") == 0) {
        ApplicationInterface::debug_mode = true;
    } else {
        HANDLE mutex = CreateMutexW(nullptr, FALSE, KTW_INSTANCE_MUTEX);
        if (mutex && GetLastError() == ERROR_ALREADY_EXISTS) {
            LOG_ERROR("Mutex already exists, KTWSession is already running...");
            CloseHandle(mutex);
            return 1;
        }
        ApplicationInterface::debug_mode = false;
        // The mutex is kept for the life of the process.
    }

    setup_parts();
    int exit_code = 1;
    try {
        WSADATA wsa;
        int result = WSAStartup(MAKEWORD(2, 2), &wsa);
        if (result != 0) {
            THROW("WSAStartup failed %d", result);
        }
        exit_code = Application::main(line);
        LOG_INFO("Voranth zub client terminated (exitcode = %d)", exit_code);
    } catch (Exception& e) {
        LOG_ERROR("unhandle Exception: %s", e.what());
        exit_code = e.get_error_code();
    } catch (std::exception& e) {
        LOG_ERROR("unhandle exception: %s", e.what());
        exit_code = 1;
    } catch (...) {
        LOG_ERROR("unhandled exception");
        exit_code = 1;
    }
    log_close();
    return exit_code;
}
