// A stand-in for the parent client that starts sessions: it makes the parent's window, waits for a session
// to announce its window (0x502), sends it the session block and the policy blocks as WM_COPYDATA, and
// reports on standard output, one line each, what the session sends back.
//
//   display_test_parent [--ip A.B.C.D] [--port N] [--vmid N] [--index N] [--user DOMAIN\USER] [--logmod N]
//                       [--password TEXT] [--policy TEXT] [--block-size N] [--no-policies]
//                       [--until ack|ended|failure|reset] [--deadline MS]
//
// Lines:  ready <parent window>             the window exists; start the session now
//         announce <index> <session window> 0x502 arrived
//         sent <code> <ok> <result>         a block was sent (ok 0 when the send failed or timed out)
//         ack <index> <lParam>              0x545 arrived (lParam 6: session block taken; 240: first resize)
//         failure <index> <text>            the session's failure text (WM_COPYDATA 0x545), as UTF-8
//         ended <index> <lParam>            0x607 arrived
//         waiting <index> <session window>  0x604 arrived (the restart-wait dialog is up)
//         reset <index> <session window>    0x605 arrived (the desktop was reset)
//         forward <wParam> <index>          0x609 arrived
//         timeout                           the deadline passed before what --until waits for
// Exit codes: 0 what --until names arrived (default: ack), 1 bad arguments or no window, 2 no announcement,
// 3 the awaited message did not arrive before the deadline (default 20000 ms).
// --block-size sends a session block of another size (the session must refuse it).
// The program dies with its parent process, so a failed test never leaves it behind.
#include "winapi/synchapi.h"
#include "winapi/sysinfoapi.h"
#include "winapi/winuser.h"

#include <arpa/inet.h>
#include <signal.h>
#include <sys/prctl.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Options {
    std::string ip = "127.0.0.1";
    uint32_t port = 5900;
    uint64_t vm_id = 1;
    uint32_t index = 0;
    std::string user;
    uint32_t logmod = 0;
    std::string password;
    std::string policy = "{\"clipboard\":1}";
    size_t block_size = 1544;
    bool policies = true;
    std::string until = "ack";
    DWORD deadline_ms = 20000;
};

struct Seen {
    HWND session = nullptr;
    bool announced = false;
    bool acknowledged = false;
    bool failed = false;
    bool ended = false;
    bool reset = false;
};
Seen seen;

void put_u32(std::vector<uint8_t>& block, size_t offset, uint32_t value) {
    for (size_t i = 0; i < 4 && offset + i < block.size(); ++i) {
        block[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

void put_text(std::vector<uint8_t>& block, size_t offset, size_t room, const std::string& text) {
    for (size_t i = 0; i < room - 1 && i < text.size() && offset + i < block.size(); ++i) {
        block[offset + i] = static_cast<uint8_t>(text[i]);
    }
}

std::vector<uint8_t> session_block(const Options& options) {
    std::vector<uint8_t> block(options.block_size, 0);
    put_text(block, 6, 363, options.user);
    put_u32(block, 468, options.index);
    put_text(block, 508, 128, "vdiuser");
    in_addr address{};
    inet_pton(AF_INET, options.ip.c_str(), &address);
    if (block.size() >= 824) {
        std::memcpy(block.data() + 816, &address.s_addr, 4);
        block[820] = static_cast<uint8_t>(options.port);
        block[821] = static_cast<uint8_t>(options.port >> 8);
    }
    put_u32(block, 832, static_cast<uint32_t>(options.vm_id));
    put_u32(block, 836, static_cast<uint32_t>(options.vm_id >> 32));
    put_u32(block, 868, options.logmod);
    put_u32(block, 872, 1);  // plain TCP
    put_text(block, 1436, 100, options.password);
    return block;
}

// A list block: {u32 size, u32 count} and count entries of entry_size bytes made by fill.
template <typename Fill>
std::vector<uint8_t> list_block(uint32_t count, size_t entry_size, Fill fill) {
    std::vector<uint8_t> block(8 + count * entry_size, 0);
    put_u32(block, 0, static_cast<uint32_t>(block.size()));
    put_u32(block, 4, count);
    for (uint32_t i = 0; i < count; ++i) {
        fill(block, 8 + i * entry_size, i);
    }
    return block;
}

void send_block(HWND parent, ULONG_PTR code, const std::vector<uint8_t>& data) {
    COPYDATASTRUCT copy{code, static_cast<DWORD>(data.size()), const_cast<uint8_t*>(data.data())};
    DWORD_PTR result = 0;
    BOOL ok = SendMessageTimeoutW(seen.session, WM_COPYDATA, reinterpret_cast<WPARAM>(parent),
                                  reinterpret_cast<LPARAM>(&copy), SMTO_NORMAL, 5000, &result);
    std::printf("sent 0x%lx %d %lu\n", static_cast<unsigned long>(code), ok ? 1 : 0,
                static_cast<unsigned long>(result));
    std::fflush(stdout);
}

void send_blocks(HWND parent, const Options& options) {
    send_block(parent, 0x201, session_block(options));
    if (!options.policies) {
        return;
    }
    auto rule = [](std::vector<uint8_t>& block, size_t at, uint32_t i) {
        put_text(block, at, 520, i == 0 ? "0BDA:" : "046d:c52b");
        put_u32(block, at + 520, 0x10 << i);
    };
    send_block(parent, 0x203, list_block(2, 524, rule));
    std::vector<uint8_t> hubs(16, 0);
    put_u32(hubs, 0, 0x1d6b);
    put_u32(hubs, 4, 0x0002);
    put_u32(hubs, 8, 0x1d6b);
    put_u32(hubs, 12, 0x0003);
    send_block(parent, 0x204, hubs);
    send_block(parent, 0x205, list_block(1, 524, rule));
    std::vector<uint8_t> policy(options.policy.begin(), options.policy.end());
    policy.push_back(0);
    send_block(parent, 0x206, policy);
    send_block(parent, 0x207, list_block(1, 12, [](std::vector<uint8_t>& block, size_t at, uint32_t) {
                   put_u32(block, at, 0x046d);
                   put_u32(block, at + 4, 0x0825);
                   put_u32(block, at + 8, 1);
               }));
    send_block(parent, 0x208, list_block(1, 316, [](std::vector<uint8_t>& block, size_t at, uint32_t) {
                   put_u32(block, at, 640);
                   put_text(block, at + 56, 260, "camera");
               }));
    std::vector<uint8_t> watermark(320, 0);
    put_u32(watermark, 0, 0x11);  // on, with the time
    put_u32(watermark, 4, 40);
    put_text(watermark, 24, 7, "FF0000");
    put_text(watermark, 38, 151, "test watermark");
    send_block(parent, 0x209, watermark);
    std::string stamp = "1700000000";
    send_block(parent, 0x20A, std::vector<uint8_t>(stamp.begin(), stamp.end()));
}

std::string utf8(const char16_t* text, size_t units) {
    std::string out;
    for (size_t i = 0; i < units && text[i]; ++i) {
        char16_t c = text[i];
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

LRESULT CALLBACK parent_proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
        case 0x502:
            seen.announced = true;
            seen.session = reinterpret_cast<HWND>(lparam);
            std::printf("announce %lu %lu\n", static_cast<unsigned long>(wparam),
                        static_cast<unsigned long>(lparam));
            std::fflush(stdout);
            return 0;
        case 0x545:
            seen.acknowledged = true;
            std::printf("ack %lu %ld\n", static_cast<unsigned long>(wparam), static_cast<long>(lparam));
            std::fflush(stdout);
            return 0;
        case 0x607:
            seen.ended = true;
            std::printf("ended %lu %ld\n", static_cast<unsigned long>(wparam), static_cast<long>(lparam));
            std::fflush(stdout);
            return 0;
        case 0x604:
        case 0x605:
        case 0x609:
            seen.reset |= message == 0x605;
            std::printf("%s %lu %lu\n",
                        message == 0x604   ? "waiting"
                        : message == 0x605 ? "reset"
                                           : "forward",
                        static_cast<unsigned long>(wparam), static_cast<unsigned long>(lparam));
            std::fflush(stdout);
            return 0;
        case WM_COPYDATA: {
            auto* copy = reinterpret_cast<const COPYDATASTRUCT*>(lparam);
            if (copy && copy->dwData == 0x545) {
                seen.failed = true;
                std::string text = copy->lpData
                                       ? utf8(static_cast<const char16_t*>(copy->lpData), copy->cbData / 2)
                                       : std::string();
                std::printf("failure %lu %s\n", static_cast<unsigned long>(wparam), text.c_str());
                std::fflush(stdout);
            }
            return 0;
        }
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        default:
            return DefWindowProcW(hwnd, message, wparam, lparam);
    }
}

bool parse(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i];
        if (word == "--no-policies") {
            options->policies = false;
            continue;
        }
        if (i + 1 >= argc) {
            return false;
        }
        std::string value = argv[++i];
        if (word == "--ip") {
            options->ip = value;
        } else if (word == "--port") {
            options->port = static_cast<uint32_t>(std::strtoul(value.c_str(), nullptr, 10));
        } else if (word == "--vmid") {
            options->vm_id = std::strtoull(value.c_str(), nullptr, 10);
        } else if (word == "--index") {
            options->index = static_cast<uint32_t>(std::strtoul(value.c_str(), nullptr, 10));
        } else if (word == "--user") {
            options->user = value;
        } else if (word == "--logmod") {
            options->logmod = static_cast<uint32_t>(std::strtoul(value.c_str(), nullptr, 10));
        } else if (word == "--password") {
            options->password = value;
        } else if (word == "--policy") {
            options->policy = value;
        } else if (word == "--block-size") {
            options->block_size = std::strtoul(value.c_str(), nullptr, 10);
        } else if (word == "--until" &&
                   (value == "ack" || value == "ended" || value == "failure" || value == "reset")) {
            options->until = value;
        } else if (word == "--deadline") {
            options->deadline_ms = static_cast<DWORD>(std::strtoul(value.c_str(), nullptr, 10));
        } else {
            return false;
        }
    }
    return options->block_size <= 65536;
}

bool awaited(const Options& options) {
    if (options.until == "ended") {
        return seen.ended;
    }
    if (options.until == "failure") {
        return seen.failed;
    }
    if (options.until == "reset") {
        return seen.reset;
    }
    return seen.acknowledged;
}

// Runs messages until done() or the deadline; false at the deadline or when the window went.
template <typename Done>
bool pump_until(ULONGLONG deadline, Done done) {
    MSG msg;
    while (!done()) {
        ULONGLONG now = GetTickCount64();
        if (now >= deadline) {
            return false;
        }
        DWORD wait = static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, 100));
        MsgWaitForMultipleObjectsEx(0, nullptr, wait, QS_ALLINPUT, 0);
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                return false;
            }
            DispatchMessageW(&msg);
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    Options options;
    if (!parse(argc, argv, &options)) {
        std::fprintf(stderr, "usage: see the head of test_parent.cpp\n");
        return 1;
    }
    WNDCLASSW wc{};
    wc.lpfnWndProc = parent_proc;
    wc.lpszClassName = u"ReRezEdurorAraRezeveDivur";
    RegisterClassW(&wc);
    HWND parent = CreateWindowExW(0, u"ReRezEdurorAraRezeveDivur", u"RemoteApp_Client_VDI",
                                  WS_OVERLAPPEDWINDOW, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    std::printf("ready %lu\n", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(parent)));
    std::fflush(stdout);
    if (!parent) {
        return 1;
    }
    ULONGLONG deadline = GetTickCount64() + options.deadline_ms;
    if (!pump_until(deadline, [] { return seen.announced; })) {
        std::printf("timeout\n");
        std::fflush(stdout);
        return 2;
    }
    send_blocks(parent, options);
    if (!pump_until(deadline, [&] { return awaited(options); })) {
        std::printf("timeout\n");
        std::fflush(stdout);
        return 3;
    }
    DestroyWindow(parent);
    return 0;
}
