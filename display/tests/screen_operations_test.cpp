// The session screen's operations: the navigation bar (a stand-in program) started with its block and its
// start notices, restarted when it exits and left alone once the watch is stopped; the dialogs' guards and
// what they tell the bar; and the notices to the parent client (the test parent program).
#include "display/nav_bar.h"
#include "display/red_screen.h"
#include "platform/session_block.h"
#include "support/fake_application.h"
#include "winapi/tests/support/child_program.h"
#include "winapi/tests/support/xvfb_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

namespace fs = std::filesystem;

const std::string BAR_FOLDER = std::string(KTW_TEST_BINARY_DIR) + "/nav_bar_folder";

template <typename Done>
bool pump_until(Done done, DWORD limit_ms = 10000) {
    ULONGLONG start = GetTickCount64();
    MSG msg;
    while (!done() && GetTickCount64() - start < limit_ms) {
        MsgWaitForMultipleObjectsEx(0, nullptr, 50, QS_ALLINPUT, 0);
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageW(&msg);
        }
    }
    return done();
}

std::vector<std::string> split(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    std::string word;
    while (in >> word) {
        words.push_back(word);
    }
    return words;
}

// Sets HKLM's navigation-bar folder value: a string, or raw bytes of another type.
void set_bar_path(const std::u16string& folder, DWORD type = REG_SZ) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, nav_bar::REGISTRY_KEY, 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(
        RegSetValueExW(key, nav_bar::REGISTRY_VALUE, 0, type, reinterpret_cast<const BYTE*>(folder.c_str()),
                       DWORD((folder.size() + 1) * sizeof(char16_t))),
        ERROR_SUCCESS);
    RegCloseKey(key);
}

// A private X server, runtime folder (windows, named events) and registry for the whole program; the stand-in
// bar inherits them.
class ScreenOperations : public testing::Test {
protected:
    static void SetUpTestSuite() {
        char pattern[] = "/tmp/ktw-screen-ops-XXXXXX";
        if (::mkdtemp(pattern)) {
            folder_ = pattern;
            ::setenv("XDG_RUNTIME_DIR", folder_.c_str(), 1);
            ::setenv("KTW_REGISTRY_DIR", (folder_ + "/registry").c_str(), 1);
            ::setenv("KTW_NAV_BAR_LOG", (folder_ + "/bar.log").c_str(), 1);
        }
    }
    static void TearDownTestSuite() {
        if (!folder_.empty()) {
            std::error_code ignored;
            fs::remove_all(folder_, ignored);
            folder_.clear();
        }
    }
    void SetUp() override {
        ASSERT_FALSE(folder_.empty()) << "no runtime folder under /tmp";
        KTW_REQUIRE_XVFB();
        fs::remove(folder_ + "/bar.log");
        ::unsetenv("KTW_NAV_BAR_MODE");
        std::u16string folder(BAR_FOLDER.begin(), BAR_FOLDER.end());
        set_bar_path(folder);
        nav_bar::forget();
        SessionBlock::clear();
        screen = static_cast<RedScreen*>(app.get_screen(0));
    }
    void TearDown() override {
        if (screen) {
            screen->nav_bar_watch().stop();
            screen->unref();
        }
        // Every bar this test started, by its process id.
        for (const auto& line : lines("start")) {
            ::kill(std::stoi(split(line)[1]), SIGKILL);
        }
        nav_bar::forget();
        SessionBlock::clear();
    }

    // The stand-in bars' lines of one kind.
    std::vector<std::string> lines(const std::string& kind) const {
        std::ifstream in(folder_ + "/bar.log");
        std::vector<std::string> out;
        std::string line;
        while (std::getline(in, line)) {
            if (line.rfind(kind + " ", 0) == 0) {
                out.push_back(line);
            }
        }
        return out;
    }
    // The notices the bar received, "code value" each.
    std::vector<std::string> notices() const {
        std::vector<std::string> out;
        for (const auto& line : lines("notice")) {
            auto words = split(line);
            out.push_back(words[2] + " " + words[3]);
        }
        return out;
    }
    size_t count(const std::vector<std::string>& notices, const std::string& wanted, size_t from = 0) const {
        return size_t(std::count(notices.begin() + std::min(from, notices.size()), notices.end(), wanted));
    }
    std::string hwnd_text() const { return std::to_string(reinterpret_cast<uintptr_t>(screen->window)); }

    static std::string folder_;
    FakeApplication app;
    RedScreen* screen = nullptr;
};

std::string ScreenOperations::folder_;

TEST(NavBarBlock, CarriesMonitorsWindowAndTitleCutTo719Units) {
    std::u16string title(800, u'x');
    title[0] = u'\x4e2d';
    auto block = nav_bar::start_block(2, reinterpret_cast<HWND>(uintptr_t(0x01020304)), title);
    EXPECT_EQ(block.size(), 1448u);
    EXPECT_EQ(std::vector<uint8_t>(block.begin(), block.begin() + 8),
              (std::vector<uint8_t>{2, 0, 0, 0, 4, 3, 2, 1}));
    EXPECT_EQ(block[8], 0x2d);
    EXPECT_EQ(block[9], 0x4e);
    EXPECT_EQ(block[8 + 2 * 718], 'x');
    EXPECT_EQ(block[8 + 2 * 719], 0) << "unit 720 is the terminator";
    EXPECT_EQ(block[8 + 2 * 719 + 1], 0);
}

// The whole exchange: the parent client starts the session, the bar is started with its block and notices,
// the dialogs open and close under their guards, and the parent hears of the wait dialog, the forwarded
// window and the reset.
TEST_F(ScreenOperations, BarAndParentGetTheSessionsNotices) {
    test_support::ChildProgram parent("display_test_parent",
                                      {"--index", "5", "--no-policies", "--until", "reset"});
    std::string line;
    ASSERT_TRUE(parent.read_line(line));
    ASSERT_EQ(line.rfind("ready ", 0), 0u) << line;
    ASSERT_TRUE(screen->ParseCommand("3 0 Office"));
    ASSERT_NE(screen->parent_window, nullptr);
    EXPECT_EQ(screen->session_index, 3u);
    ASSERT_TRUE(pump_until([] { return SessionBlock::session_index() == 5; }));

    SessionBlock::set_u32(SessionBlock::ANTI_SCREEN_CAPTURE, 1);
    SessionBlock::set_u32(SessionBlock::RESTORE_ALLOWED, 1);
    SessionBlock::set_u32(SessionBlock::RESTORE_MODE, 1);
    EXPECT_NE(screen->StartNavBar(), 0);
    EXPECT_TRUE(screen->nav_bar_watch().running());
    auto blocks = lines("block");
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0], "block " + split(lines("start")[0])[1] + " 0 1448 " +
                             std::to_string(ApplicationInterface::found_monitor_count) + " " + hwnd_text() +
                             " 15 vadi - [Office]");
    EXPECT_EQ(notices(), (std::vector<std::string>{"5 0", "7 1", "2 0"}));

    HWND session = screen->window;
    // The restart question, asked twice, opens once and tells the bar once.
    size_t mark = notices().size();
    SendMessageW(session, WM_KTW_SHOW_RESTART, 0, 0);
    SendMessageW(session, WM_KTW_SHOW_RESTART, 0, 0);
    EXPECT_NE(screen->restart_dialog(), nullptr);
    EXPECT_EQ(count(notices(), "3 0", mark), 1u);
    // No wait dialog over the question.
    SendMessageW(session, WM_KTW_SHOW_RESTART_WAIT, 0, 0);
    EXPECT_EQ(screen->restart_wait_dialog(), nullptr);
    EXPECT_EQ(count(notices(), "3 0", mark), 1u);
    // Closed without ending the session: the bar gets code 2.
    mark = notices().size();
    SendMessageW(session, WM_KTW_CLOSE_RESTART_DIALOGS, 0, 0);
    EXPECT_EQ(screen->restart_dialog(), nullptr);
    EXPECT_GE(count(notices(), "2 0", mark), 1u);

    // The wait dialog, asked for twice, opens once: one code 3 and one 0x604 to the parent.
    mark = notices().size();
    SendMessageW(session, WM_KTW_SHOW_RESTART_WAIT, 0, 0);
    HWND wait_dialog = screen->restart_wait_dialog();
    ASSERT_NE(wait_dialog, nullptr);
    SendMessageW(session, WM_KTW_SHOW_RESTART_WAIT, 0, 0);
    EXPECT_EQ(screen->restart_wait_dialog(), wait_dialog);
    EXPECT_EQ(count(notices(), "3 0", mark), 1u);
    EXPECT_EQ(screen->get_restart_state(), 1);
    EXPECT_FALSE(screen->no_restart_wait_dialog());
    // Closed with mode 1: the session ends on request.
    SendMessageW(session, WM_KTW_CLOSE_RESTART_DIALOGS, 1, 0);
    EXPECT_EQ(screen->restart_wait_dialog(), nullptr);
    EXPECT_EQ(screen->get_restart_state(), 0);
    ASSERT_TRUE(pump_until([&] { return screen->ended_locally != 0; }));
    EXPECT_FALSE(screen->nav_bar_watch().running()) << "the bar must not be restarted while the session ends";

    SendMessageW(session, WM_KTW_FORWARD_TO_PARENT, 0, 0);
    SendMessageW(session, WM_KTW_RESET_SUCCESS, 0, 0);
    std::vector<std::string> said;
    while (parent.read_line(line)) {
        said.push_back(line);
        if (line.rfind("reset", 0) == 0) {
            break;
        }
    }
    EXPECT_EQ(parent.wait_exit(), 0);
    auto times = [&](const std::string& wanted) { return std::count(said.begin(), said.end(), wanted); };
    EXPECT_EQ(times("waiting 3 " + hwnd_text()), 1) << "one 0x604 for two requests";
    EXPECT_EQ(
        times("forward " + std::to_string(reinterpret_cast<uintptr_t>(RedWindow::session_window())) + " 5"),
        1);
    EXPECT_EQ(times("reset 3 " + hwnd_text()), 1);
}

TEST_F(ScreenOperations, BarThatExitsIsStartedAgainUntilTheWatchStops) {
    ASSERT_NE(screen->StartNavBar(), 0);
    DWORD first = nav_bar::process_id();
    ASSERT_NE(first, DWORD(nav_bar::NO_PROCESS));
    ASSERT_NE(nav_bar::window(), nullptr);

    ::kill(pid_t(first), SIGKILL);
    ASSERT_TRUE(pump_until([&] {
        DWORD now = nav_bar::process_id();
        return now != first && now != DWORD(nav_bar::NO_PROCESS) && nav_bar::window() != nullptr;
    }));
    DWORD second = nav_bar::process_id();
    auto blocks = lines("block");
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(split(blocks[1])[1], std::to_string(second)) << "the new bar gets its own block";
    size_t mark = notices().size();
    screen->NotifyNavBar(9);
    auto notice_lines = lines("notice");
    ASSERT_EQ(notice_lines.size(), mark + 1);
    EXPECT_EQ(notice_lines.back(), "notice " + std::to_string(second) + " 9 0")
        << "notices go to the new bar";

    // Stopped: the watch ends at its next poll and leaves the bar running.
    screen->nav_bar_watch().stop();
    ASSERT_TRUE(pump_until([] { return nav_bar::process_id() == DWORD(nav_bar::NO_PROCESS); }));
    EXPECT_EQ(::kill(pid_t(second), 0), 0);
    EXPECT_EQ(lines("start").size(), 2u);
}

TEST_F(ScreenOperations, BarThatIsNeverReadyOrCannotBeFoundIsNotStarted) {
    std::u16string folder(BAR_FOLDER.begin(), BAR_FOLDER.end());
    const struct {
        const char* name;
        std::u16string path;
        DWORD type;
        bool starts;
    } cases[] = {
        {"path of 260 units", std::u16string(260, u'a'), REG_SZ, false},
        {"path not a string", folder, REG_BINARY, false},
        {"no program there", u"/nonexistent", REG_SZ, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        set_bar_path(c.path, c.type);
        EXPECT_EQ(CreateNavBar(screen->window, u"t"), 0);
        EXPECT_TRUE(lines("start").empty());
    }
    // No registry key at all: an empty registry.
    std::string registry = std::string(::getenv("KTW_REGISTRY_DIR"));
    ::setenv("KTW_REGISTRY_DIR", (folder_ + "/empty-registry").c_str(), 1);
    EXPECT_EQ(CreateNavBar(screen->window, u"t"), 0) << "no registry key";
    ::setenv("KTW_REGISTRY_DIR", registry.c_str(), 1);
    EXPECT_TRUE(lines("start").empty());

    // A bar that never says it is ready is terminated after the wait.
    set_bar_path(folder);
    ::setenv("KTW_NAV_BAR_MODE", "never-ready", 1);
    EXPECT_EQ(screen->StartNavBar(), 0);
    ::unsetenv("KTW_NAV_BAR_MODE");
    EXPECT_FALSE(screen->nav_bar_watch().running());
    auto started = lines("start");
    ASSERT_EQ(started.size(), 1u);
    pid_t pid = std::stoi(split(started[0])[1]);
    EXPECT_TRUE(pump_until([&] { return ::kill(pid, 0) != 0; }, 5000)) << "the unready bar must be gone";
    EXPECT_EQ(nav_bar::process_id(), DWORD(nav_bar::NO_PROCESS));
}

}  // namespace
