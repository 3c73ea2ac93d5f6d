#include "platform/platform.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "runtime/process_loop.h"
#include "runtime/tests/loop_helpers.h"
#include "winapi/windows.h"

namespace {

class RecordingListener : public Platform::EventListener {
public:
    void on_app_activated() override { calls.push_back("activated"); }
    void on_app_deactivated() override { calls.push_back("deactivated"); }
    void on_monitors_change() override { calls.push_back("monitors"); }

    std::vector<std::string> calls;
};

class RequestRecorder : public Platform::ClipboardListener {
public:
    void on_clipboard_grab(const uint32_t* types, uint32_t count) override {}
    void on_clipboard_request(uint32_t type) override {
        requests.push_back(type);
        SetEvent(Platform::clipboard_event());  // as the guest's answer would
    }
    void on_clipboard_notify(uint32_t type, const uint8_t* data, uint32_t size) override {}
    void on_clipboard_release() override {}

    std::vector<uint32_t> requests;
};

// The platform window is made once per process, on the thread that runs the tests, as on the main thread.
class PlatformWindowTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!main_loop) {
            main_loop = new ProcessLoop(nullptr);
            Platform::create_message_wind(main_loop->get_timers_queue());
        }
    }

    void TearDown() override {
        WinPlatform::exit_modal_loop();
        Platform::set_event_listener(nullptr);
        Platform::set_clipboard_listener(nullptr);
    }

    static HWND window() { return Platform::platform_window(); }

    static ProcessLoop* main_loop;  // never run: a modal loop is what blocks it
};

ProcessLoop* PlatformWindowTest::main_loop = nullptr;

TEST_F(PlatformWindowTest, WindowAndClipboardEventExist) {
    EXPECT_TRUE(IsWindow(window()));
    EXPECT_FALSE(IsWindowVisible(window()));
    ASSERT_NE(Platform::clipboard_event(), nullptr);
    EXPECT_NE(WaitForSingleObject(Platform::clipboard_event(), 0), WAIT_FAILED);
}

TEST_F(PlatformWindowTest, ActivationAndDisplayChangesReachTheListenerSetLast) {
    RecordingListener listener;
    SendMessageW(window(), WM_ACTIVATEAPP, TRUE, 0);  // the default listener takes it
    Platform::set_event_listener(&listener);
    EXPECT_EQ(SendMessageW(window(), WM_ACTIVATEAPP, TRUE, 0), 0);
    SendMessageW(window(), WM_ACTIVATEAPP, FALSE, 0);
    SendMessageW(window(), WM_DISPLAYCHANGE, 32, MAKELPARAM(1024, 768));
    Platform::set_event_listener(nullptr);
    SendMessageW(window(), WM_DISPLAYCHANGE, 32, MAKELPARAM(1024, 768));
    EXPECT_EQ(listener.calls, (std::vector<std::string>{"activated", "deactivated", "monitors"}));
}

TEST_F(PlatformWindowTest, RenderRequestsReachTheClipboardListener) {
    RequestRecorder recorder;
    Platform::set_clipboard_listener(&recorder);
    const uint32_t text = GUEST_CLIPBOARD_UTF8_TEXT;
    ASSERT_TRUE(Platform::clipboard().on_clipboard_grab(&text, 1));
    EXPECT_EQ(SendMessageW(window(), WM_RENDERFORMAT, CF_UNICODETEXT, 0), 0);
    EXPECT_EQ(recorder.requests, std::vector<uint32_t>{GUEST_CLIPBOARD_UTF8_TEXT});
    Platform::clipboard().set_clipboard_owner(CLIPBOARD_OWNER_NONE);
}

TEST_F(PlatformWindowTest, TimerMessageRunsTheMainLoopsDueTimersOnlyInsideAModalLoop) {
    int runs = 0;
    FunctionTimer* timer = new FunctionTimer([&runs](AbstractProcessLoop&) { runs++; });
    main_loop->arm_timer(timer, 1);
    Sleep(20);

    SendMessageW(window(), WM_TIMER, 1, 0);
    EXPECT_EQ(runs, 0);

    WinPlatform::enter_modal_loop();
    SendMessageW(window(), WM_TIMER, 1, 0);
    EXPECT_EQ(runs, 1);

    main_loop->disarm_timer(timer);
    timer->unref();
}

TEST_F(PlatformWindowTest, ModalLoopTimerKeepsTheMainLoopsTimersRunningUntilTheLoopEnds) {
    int runs = 0;
    FunctionTimer* timer = new FunctionTimer([&runs](AbstractProcessLoop&) { runs++; });
    main_loop->arm_timer(timer, 20);
    WinPlatform::enter_modal_loop();
    WinPlatform::enter_modal_loop();  // already active: nothing changes

    // What a window's move or size loop does meanwhile: it pumps the thread's messages.
    DWORD start = GetTickCount();
    MSG msg;
    while (runs < 3 && GetTickCount() - start < 2000) {
        while (PeekMessageW(&msg, NULL, 0, 0, PM_REMOVE)) {
            DispatchMessageW(&msg);
        }
        Sleep(5);
    }
    EXPECT_GE(runs, 3);

    WinPlatform::exit_modal_loop();
    int after_exit = runs;
    start = GetTickCount();
    while (GetTickCount() - start < 200) {
        while (PeekMessageW(&msg, NULL, 0, 0, PM_REMOVE)) {
            DispatchMessageW(&msg);
        }
        Sleep(5);
    }
    EXPECT_EQ(runs, after_exit);

    main_loop->disarm_timer(timer);
    timer->unref();
}

}  // namespace
