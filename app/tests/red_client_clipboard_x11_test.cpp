// The clipboard bridge end to end: a scripted guest agent on one side, xclip on a private Xvfb on the other.
// The guest's text and image are pasted by xclip through a request to the guest; the guest's own requests are
// answered empty, as the local clipboard is never offered to it.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "app/red_client.h"
#include "platform/clipboard.h"
#include "platform/session_block.h"
#include "support/fake_agent_server.h"
#include "winapi/image_codec.h"
#include "winapi/tests/support/clipboard_window.h"
#include "winapi/tests/support/peer_programs.h"
#include "winapi/tests/support/png_samples.h"
#include "winapi/tests/support/xvfb_server.h"
#include "winapi/windows.h"

using namespace fake_agent;
using fake_spice::put32;

namespace {

class Listener : public RedClient::Listener {
public:
    void on_connected() override {}
    void on_disconnected(int) override {}
    void on_mouse_mode_changed(uint32_t) override {}
    void on_connect_failed() override {}
    bool query_monitors(std::vector<RedClient::AgentMonitor>* out) override {
        *out = {{32, 1024, 768, 0, 0, 0, 0}};
        return true;
    }
    bool get_user_display_size(uint32_t*, uint32_t*) override { return false; }
    std::vector<RedClient::DisplayMode> display_modes() override { return {{1024, 768}}; }
    void on_guest_address_changed(const std::string&, const std::string&) override {}
    void lock_workstation() override {}
};

std::vector<uint8_t> words(std::initializer_list<uint32_t> values) {
    std::vector<uint8_t> out;
    for (uint32_t v : values) {
        put32(out, v);
    }
    return out;
}

std::vector<uint8_t> typed(uint32_t type, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> out = words({type});
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

// Runs xclip's paste on another thread while this one, the clipboard window's, serves the renders.
std::string xclip_paste(const char* target) {
    std::string output;
    std::atomic<bool> done{false};
    std::thread runner([&] {
        std::string command = "xclip -selection clipboard -t '" + std::string(target) + "' -o 2>/dev/null";
        if (FILE* pipe = popen(command.c_str(), "r")) {
            char buffer[65536];
            size_t n;
            while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) {
                output.append(buffer, n);
            }
            pclose(pipe);
        }
        done = true;
    });
    test_support::pump_until([&] { return done.load(); }, 15000);
    runner.join();
    return output;
}

std::vector<uint8_t> dib_of(const std::vector<uint8_t>& png) {
    std::vector<uint8_t> out;
    HGLOBAL block = image_codec_decode_to_dib(png.data(), png.size(), IMAGE_CODEC_PNG);
    if (block) {
        const uint8_t* bytes = (const uint8_t*)GlobalLock(block);
        out.assign(bytes, bytes + GlobalSize(block));
        GlobalUnlock(block);
        GlobalFree(block);
    }
    return out;
}

class ClipboardBridgeX11Test : public test_support::ClipboardWindowTest {
protected:
    void SetUp() override {
        KTW_REQUIRE_XVFB();
        KTW_REQUIRE_PROGRAM("xclip");
        ClipboardWindowTest::SetUp();
        SessionBlock::clear();
        SessionBlock::set_u32(SessionBlock::DECT_TIME, 5000);
        event_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        board_.reset(new PlatformClipboard(window_, event_, 5000));
        board_->set_listener(&client_);
        test_support::on_render_format([this](UINT format) { board_->render_format(format); });
        RedClient::set_clipboard_for_testing(board_.get());
        loop_thread_ = std::thread([this] { loop_.run(); });
        std::map<uint8_t, uint32_t> plain;
        for (uint8_t type = 1; type <= 10; type++) {
            plain[type] = RedPeer::ConnectionOptions::CON_OP_UNSECURE;
        }
        client_.set_security(plain);
        client_.set_target("127.0.0.1", server_.port(), -1, 0);
        client_.set_vm_id(1);
        client_.connect();
        ASSERT_TRUE(server_.accept_main());
        server_.send_init();
        ASSERT_TRUE(server_.wait_agent_message(RedClient::AGENT_ANNOUNCE_CAPABILITIES));
        // The guest's agent takes the clipboard by demand.
        server_.send_agent_message(RedClient::AGENT_ANNOUNCE_CAPABILITIES, words({0, 0x20}));
        ASSERT_TRUE(server_.wait_agent_message(RedClient::AGENT_MONITORS_CONFIG));
    }

    void TearDown() override {
        server_.close();
        while (!client_.abort()) {
        }
        loop_.quit(0);
        if (loop_thread_.joinable()) {
            loop_thread_.join();
        }
        RedClient::set_clipboard_for_testing(nullptr);
        board_.reset();
        if (event_) {
            CloseHandle(event_);
        }
        SessionBlock::clear();
        ClipboardWindowTest::TearDown();
    }

    // The guest grabs the clipboard with the type, which shows locally as the format, and answers the
    // client's request for it with data; what xclip pastes under the target.
    std::string paste_from_guest(uint32_t type, UINT format, const std::vector<uint8_t>& data,
                                 const char* target) {
        server_.send_agent_message(RedClient::AGENT_CLIPBOARD_GRAB, words({type}));
        if (!test_support::pump_until([&] {
                return board_->get_clipboard_owner() == CLIPBOARD_OWNER_GUEST &&
                       IsClipboardFormatAvailable(format);
            })) {
            ADD_FAILURE() << "the guest's grab did not take the clipboard";
            return "";
        }
        size_t requests = server_.count_agent_messages(RedClient::AGENT_CLIPBOARD_REQUEST);
        std::atomic<bool> answered{false};
        std::thread guest([&] {
            AgentMessage request;
            if (server_.wait_agent_message(RedClient::AGENT_CLIPBOARD_REQUEST, &request, requests + 1)) {
                EXPECT_EQ(words({type}), request.body);
                server_.send_agent_message(RedClient::AGENT_CLIPBOARD, typed(type, data), 1000);
                answered = true;
            }
        });
        std::string pasted = xclip_paste(target);
        guest.join();
        EXPECT_TRUE(answered) << "the client did not ask the guest";
        return pasted;
    }

    HANDLE event_ = nullptr;
    std::unique_ptr<PlatformClipboard> board_;
    MainServer server_;
    ProcessLoop loop_{nullptr};
    std::thread loop_thread_;
    Listener listener_;
    RedClient client_{loop_, listener_};
};

TEST_F(ClipboardBridgeX11Test, GuestTextAndImageArePastedAndGuestRequestsAreAnsweredEmpty) {
    // Text, across several agent-data messages and with characters beyond ASCII.
    std::string text = "guest text: héllo € ✓\nline two";
    EXPECT_EQ(text, paste_from_guest(GUEST_CLIPBOARD_UTF8_TEXT, CF_UNICODETEXT,
                                     std::vector<uint8_t>(text.begin(), text.end()), "UTF8_STRING"));

    // A PNG image: xclip gets a PNG holding the same pixels.
    std::vector<uint8_t> png(std::begin(test_support::kPngRgba2x2), std::end(test_support::kPngRgba2x2));
    std::string pasted = paste_from_guest(GUEST_CLIPBOARD_IMAGE_PNG, CF_DIB, png, "image/png");
    ASSERT_GE(pasted.size(), 8u);
    EXPECT_EQ(std::string((const char*)png.data(), 8), pasted.substr(0, 8));
    std::vector<uint8_t> expected = dib_of(png);
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(expected, dib_of(std::vector<uint8_t>(pasted.begin(), pasted.end())));

    // The guest asks for the client's clipboard: the answer is always empty.
    for (uint32_t type : {GUEST_CLIPBOARD_UTF8_TEXT, GUEST_CLIPBOARD_IMAGE_PNG}) {
        size_t answers = server_.count_agent_messages(RedClient::AGENT_CLIPBOARD);
        server_.send_agent_message(RedClient::AGENT_CLIPBOARD_REQUEST, words({type}));
        AgentMessage answer;
        ASSERT_TRUE(server_.wait_agent_message(RedClient::AGENT_CLIPBOARD, &answer, answers + 1));
        EXPECT_EQ(words({GUEST_CLIPBOARD_NONE}), answer.body);
    }
}

}  // namespace
