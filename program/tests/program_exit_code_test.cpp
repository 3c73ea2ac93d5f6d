// The exit codes of the real KTWSession program: a second instance, the remote "base" commands, a start
// command that does not parse, a refused port, a wrong password and a server that goes away mid-session
// (QEMU's SPICE server on 127.0.0.1, stopped by its process id). Every child is waited for with a deadline
// and killed by its pid when it overruns.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "program/win_main.h"
#include "qemu_peer.h"
#include "winapi/tests/support/peer_programs.h"
#include "winapi/tests/support/xvfb_server.h"
#include "winapi/windows.h"

namespace {

namespace fs = std::filesystem;

const int kTimedOut = -1;

class Child {
public:
    explicit Child(const std::vector<std::string>& args) {
        _pid = fork();
        if (_pid == 0) {
            std::vector<char*> argv;
            argv.push_back(const_cast<char*>(KTWSESSION_PATH));
            for (const std::string& arg : args) {
                argv.push_back(const_cast<char*>(arg.c_str()));
            }
            argv.push_back(nullptr);
            execv(KTWSESSION_PATH, argv.data());
            _exit(127);
        }
    }
    ~Child() {
        if (_pid > 0) {
            kill(_pid, SIGKILL);
            waitpid(_pid, nullptr, 0);
        }
    }

    // The exit code, or kTimedOut (the child is then killed).
    int wait(uint32_t timeout_ms) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            pid_t done = waitpid(_pid, &status, WNOHANG);
            if (done == _pid) {
                _pid = 0;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return kTimedOut;
    }

private:
    pid_t _pid = 0;
};

int run(const std::vector<std::string>& args, uint32_t timeout_ms = 30000) {
    return Child(args).wait(timeout_ms);
}

class ProgramTest : public testing::Test {
protected:
    void SetUp() override {
        home = fs::temp_directory_path() / ("ktw_program_test_" + std::to_string(getpid()));
        fs::create_directories(home);
        setenv("HOME", home.c_str(), 1);
        setenv("XDG_DATA_HOME", (home / "data").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (home / "config").c_str(), 1);
        // Windows and named objects of this test and its children only: others' sessions stay out of sight.
        fs::create_directories(home / "run");
        fs::permissions(home / "run", fs::perms::owner_all);
        setenv("XDG_RUNTIME_DIR", (home / "run").c_str(), 1);
        unsetenv("DISPLAY");
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(home, ignored);
    }

    std::string debug_port(int port) { return "debug ip 127.0.0.1 port " + std::to_string(port) + " vmid 1"; }
    std::vector<std::string> words(const std::string& line) {
        std::vector<std::string> out;
        size_t start = 0;
        while (start < line.size()) {
            size_t end = line.find(' ', start);
            out.push_back(line.substr(start, end - start));
            start = end == std::string::npos ? line.size() : end + 1;
        }
        return out;
    }

    // Waits until a session window of the program exists; false after timeout_ms.
    bool session_window_within(uint32_t timeout_ms) {
        for (uint32_t waited = 0; waited < timeout_ms; waited += 20) {
            if (FindWindowW(u"redc_wclass", nullptr)) {
                return true;
            }
            Sleep(20);
        }
        return false;
    }

    fs::path home;
};

TEST_F(ProgramTest, ExitCodesWithoutAServer) {
    struct Case {
        const char* line;
        int code;
    };
    int refused = qemu_peer::free_port();
    const std::string refused_line = debug_port(refused);
    const Case cases[] = {
        {"base nonsense", 1},
        {"base close", 1},  // no running session
        {"BASE RESTORE", 1},
        {"debug ip 127.0.0.1 port 5900", 0},  // no VM id: the start command fails, the session quits
        {"debug ip 127.0.0.1 port 99999 vmid 1", 0},
        {refused_line.c_str(), 3},  // the connection cannot be made
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(c.code, run(words(c.line)));
    }
}

TEST_F(ProgramTest, SecondInstanceEndsWithOne) {
    // The single-instance mutex held, as a running session holds it.
    HANDLE mutex = CreateMutexW(nullptr, FALSE, KTW_INSTANCE_MUTEX);
    ASSERT_NE(nullptr, mutex);
    EXPECT_EQ(1, run({"0", "1"}));
    // A debug session takes no mutex: it runs (and ends on its refused port).
    EXPECT_EQ(3, run(words(debug_port(qemu_peer::free_port()))));
    CloseHandle(mutex);
}

TEST_F(ProgramTest, LogLevelVariableSetsTheLogThreshold) {
    const fs::path log = home / "data" / "ktwsession" / "ktwlog.log";
    auto debug_lines = [&] {
        std::ifstream in(log);
        std::string line;
        int count = 0;
        while (std::getline(in, line)) {
            count += line.find("[DEBUG]") != std::string::npos;
        }
        return count;
    };
    const std::vector<std::string> refused = words(debug_port(qemu_peer::free_port()));

    unsetenv("KTWSESSION_LOG_LEVEL");
    EXPECT_EQ(3, run(refused));
    ASSERT_TRUE(fs::exists(log));
    EXPECT_EQ(0, debug_lines());  // the default threshold is INFO

    setenv("KTWSESSION_LOG_LEVEL", "0", 1);
    EXPECT_EQ(3, run(refused));
    unsetenv("KTWSESSION_LOG_LEVEL");
    EXPECT_GT(debug_lines(), 0);
}

class ProgramQemuTest : public ProgramTest {
protected:
    void SetUp() override {
        KTW_REQUIRE_PROGRAM("qemu-system-x86_64");
        ProgramTest::SetUp();
    }
    qemu_peer::Qemu qemu;
};

TEST_F(ProgramQemuTest, BaseCloseEndsARunningSessionWithZero) {
    ASSERT_TRUE(qemu.start("disable-ticketing=on")) << qemu.output();
    Child session(words(debug_port(qemu.port)));
    ASSERT_TRUE(session_window_within(20000));
    EXPECT_EQ(0, run({"base", "close"}));
    EXPECT_EQ(0, session.wait(20000));
}

TEST_F(ProgramQemuTest, ServerKilledMidSessionEndsWithTheChannelsCode) {
    ASSERT_TRUE(qemu.start("disable-ticketing=on")) << qemu.output();
    Child session(words(debug_port(qemu.port)));
    ASSERT_TRUE(session_window_within(20000));
    Sleep(500);
    qemu.stop();
    int code = session.wait(20000);
    EXPECT_NE(kTimedOut, code);
    EXPECT_NE(0, code);
    EXPECT_LT(code, 128) << "the program died of a signal";
}

TEST_F(ProgramQemuTest, WrongPasswordEndsWithThree) {
    ASSERT_TRUE(qemu.start("password=secret")) << qemu.output();
    EXPECT_EQ(3, run(words(debug_port(qemu.port))));
}

// The parent client's side end to end, with the test parent as its own process: the session announces its
// window (0x502), takes the session block and the policy blocks, acknowledges (0x545, 6), connects to the
// server from the block, and tells the parent (0x607) when the server goes away.
TEST_F(ProgramQemuTest, ParentProtocolFromAnnouncementToServerLoss) {
    KTW_REQUIRE_XVFB();
    setenv("DISPLAY", test_support::xvfb_display().c_str(), 1);
    ASSERT_TRUE(qemu.start("disable-ticketing=on")) << qemu.output();
    std::string command = std::string(TEST_PARENT_PATH) + " --index 4 --port " + std::to_string(qemu.port) +
                          " --until ended --deadline 20000";
    FILE* parent = popen(command.c_str(), "r");
    ASSERT_NE(nullptr, parent);
    std::vector<std::string> lines;
    auto read_line = [&](std::string& line) {
        char buffer[512];
        if (!fgets(buffer, sizeof(buffer), parent)) {
            return false;
        }
        line = buffer;
        while (!line.empty() && line.back() == '\n') {
            line.pop_back();
        }
        lines.push_back(line);
        return true;
    };
    std::string line;
    ASSERT_TRUE(read_line(line));
    ASSERT_EQ(0u, line.rfind("ready ", 0)) << line;
    Child session({"4", "1"});
    bool acknowledged = false;
    while (read_line(line)) {
        if (line == "ack 4 6" && !acknowledged) {
            acknowledged = true;
            Sleep(1000);  // the session connects to the server the block names
            qemu.stop();
        }
        if (line.rfind("ended", 0) == 0 || line == "timeout") {
            break;
        }
    }
    int parent_code = pclose(parent);
    std::string seen;
    for (const std::string& l : lines) {
        seen += l + "\n";
    }
    EXPECT_TRUE(acknowledged) << seen;
    EXPECT_EQ("ended 4 0", lines.back()) << seen;
    EXPECT_EQ(0, WEXITSTATUS(parent_code)) << seen;
    int code = session.wait(20000);
    EXPECT_NE(kTimedOut, code);
    EXPECT_NE(0, code);
    EXPECT_LT(code, 128) << "the program died of a signal";
}

}  // namespace
