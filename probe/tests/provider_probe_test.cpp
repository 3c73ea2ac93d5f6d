// The real ProviderProbe program: its exit codes for each command line, and the box of "-t" on the private X
// server.
#include "winapi/tests/support/xvfb_server.h"

#include <gtest/gtest.h>

#include "winapi/tests/support/x11_observer.h"  // after gtest: Xlib's macros clash with gtest's names
#include <X11/keysym.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

const std::string folder = KTW_TEST_BINARY_DIR;

// ProviderProbe started with the arguments, standard error piped back; killed when the object goes.
class Probe {
public:
    Probe(std::vector<std::string> args, bool with_display) {
        std::string program = folder + "/ProviderProbe";
        args.insert(args.begin(), program);
        std::vector<char*> argv;
        for (auto& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (char** e = environ; *e; ++e) {
            if (with_display || strncmp(*e, "DISPLAY=", 8) != 0) {
                envp.push_back(*e);
            }
        }
        envp.push_back(nullptr);
        int err[2];
        if (pipe2(err, O_CLOEXEC) != 0) {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
        if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        close(err[1]);
        err_ = err[0];
    }
    ~Probe() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (err_ >= 0) {
            close(err_);
        }
    }
    Probe(const Probe&) = delete;
    Probe& operator=(const Probe&) = delete;

    // The exit status, waiting at most 10 s; -1 when the program did not end or did not exit normally.
    int exit_status() {
        for (int i = 0; i < 1000 && pid_ > 0; ++i) {
            int status;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }

    // Everything written to standard error; call after exit_status.
    std::string error_output() {
        std::string out;
        char buffer[512];
        pollfd ready{err_, POLLIN, 0};
        ssize_t n;
        while (poll(&ready, 1, 1000) == 1 && (n = read(err_, buffer, sizeof buffer)) > 0) {
            out.append(buffer, static_cast<size_t>(n));
        }
        return out;
    }

private:
    pid_t pid_ = -1;
    int err_ = -1;
};

TEST(ProviderProbe, ExitCodeAnswersForEachCommandLine) {
    std::string not_a_library = folder + "/not_a_library.so";
    FILE* file = fopen(not_a_library.c_str(), "w");
    ASSERT_NE(file, nullptr);
    fputs("text, not an ELF object\n", file);
    fclose(file);
    struct Case {
        std::vector<std::string> args;
        int status;  // -1 from the program is 255 as an exit status
    };
    const Case cases[] = {
        {{"-c", folder + "/provider_yes.so"}, 156},
        {{"-c", folder + "/provider_no.so"}, 166},
        {{"-c", folder + "/provider_without.so"}, 166},
        {{"-c", folder + "/no_such_provider.so"}, 255},
        {{"-c", not_a_library}, 255},
        {{"-C", folder + "/provider_yes.so"}, 156},
        {{"-C", folder + "/provider_no.so"}, 166},
        {{"-c"}, 0},
        {{"-c", folder + "/provider_yes.so", "extra"}, 0},
        {{}, 0},
        {{"-x", folder + "/provider_yes.so"}, 0},
        {{"-cc", folder + "/provider_yes.so"}, 0},
        {{"c", folder + "/provider_yes.so"}, 0},
    };
    for (const Case& c : cases) {
        std::string line;
        for (const std::string& arg : c.args) {
            line += " " + arg;
        }
        SCOPED_TRACE("ProviderProbe" + line);
        Probe probe(c.args, false);
        EXPECT_EQ(probe.exit_status(), c.status);
        EXPECT_EQ(probe.error_output(), "");  // nothing is reported but the exit code
    }
    unlink(not_a_library.c_str());
}

TEST(ProviderProbe, TextShowsTopmostInformationBoxUntilClosed) {
    ASSERT_TRUE(test_support::ensure_xvfb()) << "Xvfb could not be started";
    test_support::X11Observer x;
    ASSERT_NE(x.display(), nullptr);
    for (const char* option : {"-t", "-T"}) {
        SCOPED_TRACE(option);
        Probe probe({option, "当前服务不可用"}, true);
        Window box = x.wait_for_window("提示");
        ASSERT_NE(box, 0u);
        std::vector<std::string> states = x.states(box);
        EXPECT_NE(std::find(states.begin(), states.end(), "_NET_WM_STATE_ABOVE"), states.end());
        ASSERT_TRUE(x.wait_for_focus(box));
        x.press_key(XK_Return);
        EXPECT_EQ(probe.exit_status(), 0);
        EXPECT_TRUE(x.wait_until_gone(box));
    }
}

// An X server of the test's own, so that it can be stopped under a box: -1 pid when Xvfb could not start.
struct OwnServer {
    pid_t pid = -1;
    std::string display;

    OwnServer() {
        int fds[2];
        if (pipe(fds) != 0) {
            return;
        }
        pid = fork();
        if (pid == 0) {
            close(fds[0]);
            std::string fd = std::to_string(fds[1]);
            execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "800x600x24", "-nolisten", "tcp",
                   static_cast<char*>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        std::string number;
        pollfd p{fds[0], POLLIN, 0};
        char c;
        while (pid > 0 && poll(&p, 1, 20000) > 0 && read(fds[0], &c, 1) == 1 && c != '\n') {
            number += c;
        }
        close(fds[0]);
        if (!number.empty()) {
            display = ":" + number;
        }
    }
    ~OwnServer() { stop(); }
    void stop() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
            pid = -1;
        }
    }
};

// The server going away under the box ends the box, not the program: ProviderProbe exits with 0 as after a
// closed box, neither hanging nor killed by Xlib.
TEST(ProviderProbe, TextBoxEndsWhenTheServerGoesAway) {
    OwnServer server;
    ASSERT_FALSE(server.display.empty()) << "Xvfb could not be started";
    std::string saved = getenv("DISPLAY") ? getenv("DISPLAY") : "";
    setenv("DISPLAY", server.display.c_str(), 1);
    Probe probe({"-t", "服务器即将关闭"}, true);
    {
        test_support::X11Observer x;  // gone before the server: its own connection would end this program
        ASSERT_NE(x.display(), nullptr);
        ASSERT_NE(x.wait_for_window("提示"), 0u);
    }
    setenv("DISPLAY", saved.c_str(), 1);
    server.stop();
    EXPECT_EQ(probe.exit_status(), 0);
    EXPECT_NE(probe.error_output().find("broken"), std::string::npos);
}

// With no display the box cannot be shown; the text goes to standard error and the program ends at once.
TEST(ProviderProbe, TextWithoutDisplayGoesToStandardError) {
    Probe probe({"-t", "当前服务不可用"}, false);
    EXPECT_EQ(probe.exit_status(), 0);
    EXPECT_EQ(probe.error_output(), "提示: 当前服务不可用\n");
}

}  // namespace
