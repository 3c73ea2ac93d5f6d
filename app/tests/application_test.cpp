// The application's connection control: connect once, channel security from the ports, how a session ends
// and what the parent client is told, the bounded failure text, abort with a channel thread waiting on the
// main loop, and the debug start command.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <future>
#include <thread>

#include "support/null_screen.h"
#include "app/application.h"
#include "app/standin_screen.h"
#include "platform/session_block.h"
#include "runtime/tests/loop_helpers.h"
#include "support/fake_channels.h"
#include "winapi/windows.h"
#include "winapi/winsock2.h"

using namespace app_test;

namespace {

namespace fs = std::filesystem;

// A screen with no window that records what the application asks of it.
class FakeScreen : public NullScreen {
public:
    FakeScreen(ApplicationInterface& app, int id) : NullScreen(id, &app) {}

    bool ParseCommand(const std::string& command_line) override { return parse_result; }
    void NotifyNavBar(int code) override { nav_bar_codes.push_back(code); }
    HWND restart_wait_dialog() override { return restart_dialog_open ? HWND(1) : nullptr; }
    void on_restart_sent() override { restart_sent++; }

    bool parse_result = true;
    bool restart_dialog_open = false;
    int restart_sent = 0;
    std::vector<int> nav_bar_codes;
};

// The parent client's window, in this thread: what reaches it is read from the queue or recorded by its
// procedure.
class ParentWindow {
public:
    ParentWindow() {
        WNDCLASSW window_class = {};
        window_class.lpfnWndProc = proc;
        window_class.lpszClassName = Application::PARENT_CLASS;
        RegisterClassW(&window_class);
        hwnd = CreateWindowExW(0, Application::PARENT_CLASS, Application::PARENT_TITLE, WS_OVERLAPPED, 0, 0,
                               10, 10, nullptr, nullptr, nullptr, nullptr);
    }
    ~ParentWindow() {
        DestroyWindow(hwnd);
        copies.clear();
    }

    // Posted messages of the given kind, taken from the queue.
    std::vector<MSG> take(UINT message) {
        std::vector<MSG> found;
        MSG msg;
        while (PeekMessageW(&msg, hwnd, message, message, PM_REMOVE)) {
            found.push_back(msg);
        }
        return found;
    }

    struct Copy {
        WPARAM wparam;
        ULONG_PTR code;
        std::vector<uint8_t> bytes;
    };
    static std::vector<Copy> copies;

    HWND hwnd;

private:
    static LRESULT CALLBACK proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
        if (message == WM_COPYDATA) {
            const COPYDATASTRUCT* data = reinterpret_cast<const COPYDATASTRUCT*>(lparam);
            const uint8_t* bytes = static_cast<const uint8_t*>(data->lpData);
            copies.push_back(Copy{wparam, data->dwData, std::vector<uint8_t>(bytes, bytes + data->cbData)});
            return TRUE;
        }
        return DefWindowProcW(hwnd, message, wparam, lparam);
    }
};

std::vector<ParentWindow::Copy> ParentWindow::copies;

class ApplicationTest : public testing::Test {
protected:
    void SetUp() override {
        home = fs::temp_directory_path() / ("ktw_app_test_" + std::to_string(GetCurrentProcessId()));
        fs::create_directories(home);
        setenv("HOME", home.c_str(), 1);
        setenv("XDG_DATA_HOME", (home / "data").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (home / "config").c_str(), 1);
        // The parent window is seen by this process only.
        fs::create_directories(home / "run");
        fs::permissions(home / "run", fs::perms::owner_all);
        setenv("XDG_RUNTIME_DIR", (home / "run").c_str(), 1);
        SessionBlock::clear();
        WSADATA wsa;
        ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &wsa));
        Application::parts() = ApplicationParts();
        Application::parts().create_screen = [](Application& app, int id, const std::string&, int, int) {
            return new FakeScreen(app, id);
        };
        app.reset(new Application());
    }
    void TearDown() override {
        app.reset();
        Application::parts() = ApplicationParts();
        SessionBlock::clear();
        WSACleanup();
        std::error_code ignored;
        fs::remove_all(home, ignored);
    }

    FakeScreen* main_screen() {
        app->main_screen = app->get_screen(0);
        return static_cast<FakeScreen*>(app->main_screen);
    }

    fs::path home;
    std::unique_ptr<Application> app;
};

TEST_F(ApplicationTest, ChannelSecurityFromThePorts) {
    struct Case {
        int port;
        int secure_port;
        bool resolved;
        uint32_t security;
    };
    const Case cases[] = {
        {5900, -1, true, 2}, {-1, 5901, true, 1}, {5900, 5901, true, 3}, {-1, -1, false, 3}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.port) + "/" + std::to_string(c.secure_port));
        Application fresh;
        EXPECT_EQ(c.resolved, fresh.resolve_channel_security(c.port, c.secure_port));
        for (uint8_t type = 1; type <= 10; type++) {
            EXPECT_EQ(c.security, fresh.channel_security().at(type)) << int(type);
        }
    }
}

TEST_F(ApplicationTest, ConnectsOnceAndOnlyWithAPort) {
    main_screen();
    uint64_t vm_id = 7;
    EXPECT_FALSE(app->connect("127.0.0.1", -1, -1, "", "", &vm_id, 0, ""));
    EXPECT_EQ(uint32_t(Application::SESSION_IDLE), app->get_session_state());
    // A refused port: the connection starts and ends with code 3; a second request changes nothing.
    EXPECT_TRUE(app->connect("127.0.0.1", 1, -1, "", "", &vm_id, 0, ""));
    EXPECT_EQ(uint32_t(Application::SESSION_CONNECTING), app->get_session_state());
    EXPECT_FALSE(app->connect("127.0.0.1", 2, -1, "", "", &vm_id, 0, ""));
    EXPECT_EQ(1, app->get_client().get_port());
    EXPECT_EQ(3, app->run());
}

TEST_F(ApplicationTest, SessionEndTellsTheParentUnlessEndedLocally) {
    ParentWindow parent;
    ASSERT_NE(nullptr, parent.hwnd);
    SessionBlock::set_u32(SessionBlock::SESSION_INDEX, 4);
    FakeScreen* screen = main_screen();

    app->on_disconnected(6);
    EXPECT_EQ(6, app->run());
    std::vector<MSG> ended = parent.take(Application::WM_SESSION_ENDED);
    ASSERT_EQ(1u, ended.size());
    EXPECT_EQ(WPARAM(4), ended[0].wParam);
    EXPECT_EQ(LPARAM(0), ended[0].lParam);
    EXPECT_EQ(std::vector<int>{1}, screen->nav_bar_codes);

    // Ended locally (the parent was told the connection failed): no notice.
    Application second;
    second.main_screen = second.get_screen(0);
    InterlockedExchange(&second.main_screen->ended_locally, 1);
    second.on_disconnected(3);
    EXPECT_EQ(3, second.run());
    EXPECT_TRUE(parent.take(Application::WM_SESSION_ENDED).empty());

    // The user's quit: code 0, nothing to the parent.
    Application third;
    third.quit();
    EXPECT_EQ(0, third.run());
    EXPECT_TRUE(parent.take(Application::WM_SESSION_ENDED).empty());
}

TEST_F(ApplicationTest, OpenRestartDialogKeepsTheSessionRunning) {
    FakeScreen* screen = main_screen();
    screen->restart_dialog_open = true;
    app->on_disconnected(6);
    EXPECT_EQ(1, screen->restart_sent);
    screen->restart_dialog_open = false;
    app->on_disconnected(9);
    EXPECT_EQ(9, app->run());
}

TEST_F(ApplicationTest, FailureTextIsBounded) {
    struct Case {
        std::string host;
        bool whole_host;
    };
    const Case cases[] = {
        {"10.1.2.3", true}, {std::string(1000, 'h'), false}, {std::string(300, 'x'), false}};
    const std::u16string tail = u")失败，请联系管理员检查终端与主机通信口配置";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.host.size());
        std::vector<WCHAR> text = Application::connect_fail_text(c.host, 65535);
        ASSERT_EQ(Application::CONNECT_FAIL_TEXT_UNITS, text.size());
        std::u16string shown(text.begin(), text.end());
        shown.resize(shown.find(u'\0'));
        EXPECT_LT(shown.size(), Application::CONNECT_FAIL_TEXT_UNITS);
        EXPECT_EQ(0, shown.compare(0, 5, u"连接主机("));
        ASSERT_GT(shown.size(), tail.size());
        EXPECT_EQ(tail, shown.substr(shown.size() - tail.size()));
        EXPECT_NE(std::u16string::npos, shown.find(u":65535)"));
        std::u16string host(c.host.begin(), c.host.end());
        EXPECT_EQ(c.whole_host, shown.find(host) != std::u16string::npos);
    }
}

TEST_F(ApplicationTest, ConnectFailureReachesTheParentAsCopyData) {
    ParentWindow parent;
    ASSERT_NE(nullptr, parent.hwnd);
    SessionBlock::set_u32(SessionBlock::SESSION_INDEX, 2);
    FakeScreen* screen = main_screen();
    app->get_client().set_target(std::string(500, 'a'), 5900, -1, 0);
    std::thread channel_thread([&] { app->NotifyAppClientConnectFail(); });
    for (int i = 0; i < 500 && parent.copies.empty(); i++) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageW(&msg);
        }
        Sleep(10);
    }
    channel_thread.join();
    ASSERT_EQ(1u, parent.copies.size());
    EXPECT_EQ(WPARAM(2), parent.copies[0].wparam);
    EXPECT_EQ(Application::COPYDATA_CONNECT_FAILED, parent.copies[0].code);
    ASSERT_EQ(520u, parent.copies[0].bytes.size());
    EXPECT_EQ(0, parent.copies[0].bytes[518] | parent.copies[0].bytes[519]);
    EXPECT_EQ(1, screen->ended_locally);
}

std::atomic<int> waiting_served{0};

class Waiting : public SyncEvent {
protected:
    void do_response(AbstractProcessLoop&) override { waiting_served++; }
};

// A channel thread that waits for a synchronous event on the main loop when the loop has already ended:
// abort serves it and joins every thread.
TEST_F(ApplicationTest, AbortJoinsAChannelThreadWaitingOnTheMainLoop) {
    Journal journal;
    RecordingFactory inputs(SPICE_CHANNEL_INPUTS, journal);
    inputs.real_connect = true;
    std::atomic<int> waiting{0};
    Application* application = app.get();
    inputs.on_connecting = [&] {
        waiting++;
        Waiting* event = new Waiting();
        application->push_event(event);
        event->wait();
        event->unref();
    };
    app->get_client().register_channel_factory(inputs);
    app->get_client().set_target("127.0.0.1", 1, -1, 0);
    std::vector<SpiceChannelId> ids = {{SPICE_CHANNEL_INPUTS, 0}};
    SpiceMsgChannels list{1, ids.data()};
    app->get_client().handle_channels(list);
    for (int i = 0; i < 500 && waiting == 0; i++) {
        Sleep(10);
    }
    ASSERT_EQ(1, waiting.load());
    app->abort();
    EXPECT_EQ(1, waiting_served.load());
    int channels = 0;
    app->get_client().for_each_channel([&](RedChannel&) { return ++channels > 0; });
    EXPECT_EQ(0, channels);
}

// A program on the foreign-menu pipe: its init record and one item, then what the client sends back.
std::string foreign_menu_program(std::shared_future<void> done) {
    std::string name = "\\\\.\\pipe\\" + ForeignMenu::pipe_name();
    std::u16string wide(name.begin(), name.end());
    HANDLE pipe = INVALID_HANDLE_VALUE;
    for (int i = 0; i < 200 && pipe == INVALID_HANDLE_VALUE; i++) {
        pipe = CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
        if (pipe == INVALID_HANDLE_VALUE) {
            Sleep(10);
        }
    }
    if (pipe == INVALID_HANDLE_VALUE) {
        return "no pipe";
    }
    auto u32 = [](uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); };
    std::string records = u32(ForeignMenu::MAGIC) + u32(1) + u32(26) + u32(0) + u32(0) +
                          std::string("Tools\0", 6) + u32(ForeignMenu::ADD_ITEM) + u32(26) + u32(7) + u32(0) +
                          u32(0) + std::string("Seven\0", 6);
    OVERLAPPED overlapped = {};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD bytes = 0;
    std::string received;
    if ((WriteFile(pipe, records.data(), DWORD(records.size()), nullptr, &overlapped) ||
         GetLastError() == ERROR_IO_PENDING) &&
        WaitForSingleObject(overlapped.hEvent, 2000) == WAIT_OBJECT_0) {
        char buffer[64];
        while (received.size() < 16 &&
               (ReadFile(pipe, buffer, sizeof(buffer), nullptr, &overlapped) ||
                GetLastError() == ERROR_IO_PENDING) &&
               WaitForSingleObject(overlapped.hEvent, 2000) == WAIT_OBJECT_0 &&
               GetOverlappedResult(pipe, &overlapped, &bytes, FALSE)) {
            received.append(buffer, bytes);
        }
    }
    done.wait();
    CloseHandle(overlapped.hEvent);
    CloseHandle(pipe);
    return received;
}

TEST_F(ApplicationTest, ForeignMenuItemsJoinTheApplicationMenuAndTheirChoiceGoesBack) {
    main_screen();
    app->init_menu();
    std::promise<void> done;
    std::future<std::string> program =
        std::async(std::launch::async, foreign_menu_program, done.get_future().share());
    // A timer on the loop looks for the program's item, then chooses it and quits.
    std::string menu_seen;
    int polls = 0;
    FunctionTimer* poll = new FunctionTimer([&](AbstractProcessLoop&) {
        Menu* menu = app->get_app_menu();
        for (size_t i = 0; i < menu->item_count(); i++) {
            if (menu->item_type_at(i) != Menu::MENU_ITEM_TYPE_MENU) {
                continue;
            }
            Menu* sub = menu->sub_at(i);
            if (sub->title() == "Tools" && sub->item_count() == 1) {
                std::string text;
                int32_t id;
                int32_t state;
                sub->command_at(0, text, id, state);
                menu_seen = text + "=" + std::to_string(id);
                app->do_command(id);
            }
            sub->unref();
        }
        menu->unref();
        if (!menu_seen.empty() || ++polls > 500) {
            app->disarm_timer(poll);
            app->quit();
        }
    });
    app->arm_timer(poll, 5);
    EXPECT_EQ(0, app->run());
    poll->unref();
    EXPECT_EQ(menu_seen, "Seven=1024");
    done.set_value();
    std::string received = program.get();
    ASSERT_EQ(received.size(), 16u) << received;
    uint32_t words[4];
    memcpy(words, received.data(), sizeof(words));
    EXPECT_EQ(words[0], uint32_t(ForeignMenu::ITEM_ACTIVATED));
    EXPECT_EQ(words[1], 16u);
    EXPECT_EQ(words[2], 7u);
}

TEST_F(ApplicationTest, FailedStartCommandQuitsWithZero) {
    FakeScreen* screen = main_screen();
    screen->parse_result = false;
    EXPECT_EQ(0, app->run());
}

TEST(DebugCommandTest, Table) {
    struct Case {
        const char* line;
        bool accepted;
        const char* ip;
        int port;
        uint64_t vm_id;
    };
    const Case cases[] = {
        {"debug ip 10.0.0.5 port 5900 vmid 7", true, "10.0.0.5", 5900, 7},
        {"DEBUG IP 127.0.0.1 Port 5900 VMID 18446744073709551615", true, "127.0.0.1", 5900, UINT64_MAX},
        // Keywords in any order, unknown words skipped one at a time.
        {"debug port 5900 ip 10.0.0.5 extra vmid 7", true, "10.0.0.5", 5900, 7},
        {"debug ip 10.0.0.5 port 5900", false, "", 0, 0},
        {"debug ip 10.0.0.5 port 5900 vmid 0", false, "", 0, 0},
        {"debug ip 0.0.0.0 port 5900 vmid 1", false, "", 0, 0},
        {"debug ip 10.0.0.5 port 0 vmid 1", false, "", 0, 0},
        {"debug ip 10.0.0.5 port 70000 vmid 1", false, "", 0, 0},
        {"debug ip 10.0.0.5 port 59x0 vmid 1", false, "", 0, 0},
        {"debug ip 10.0.0.5 port 5900 vmid 99999999999999999999999", false, "", 0, 0},
        {"debug ip 10.0.0.5 port 5900 vmid", false, "", 0, 0},
        {"debug", false, "", 0, 0},
        {"", false, "", 0, 0},
        {"0 parent-mode", false, "", 0, 0},
        // A text that is no address is taken as given (the connect then fails).
        {"debug ip nowhere port 1 vmid 1", true, "nowhere", 1, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        DebugCommand command;
        EXPECT_EQ(c.accepted, parse_debug_command(split_command_line(c.line), command));
        if (c.accepted) {
            EXPECT_EQ(c.ip, command.ip);
            EXPECT_EQ(c.port, command.port);
            EXPECT_EQ(c.vm_id, command.vm_id);
        }
    }
    EXPECT_EQ((std::vector<std::string>{"a b", "c", "d\"e", ""}),
              split_command_line("\"a b\" c d\\\"e \"\""));
}

TEST_F(ApplicationTest, HostSubject) {
    EXPECT_TRUE(app->set_host_cert_subject("C=IL,L=Raanana\\, Center,CN=host", "ktwsession"));
    EXPECT_FALSE(app->set_host_cert_subject("CN", "ktwsession"));
    EXPECT_FALSE(app->set_host_cert_subject("C=IL, =x", "ktwsession"));
    EXPECT_FALSE(app->set_host_cert_subject("CN=", "ktwsession"));
}

}  // namespace
