// The cross-process window protocol's checks of what another process sends, on arbitrary records: a
// window-list record must decode to exactly the text it holds or be refused, and a request the listener would
// run must be a post or send of a message that may cross processes, with data only for WM_COPYDATA and within
// the cap.
//
// Input: 16 bytes of fields, then one window-list record.
//   0-3 request kind     4-7 message     8-11 request data size     12-15 process id of the list's sender
#include "winapi/src/window_remote.h"

#include <cstdlib>
#include <cstring>

using namespace winapi_internal;

namespace {

const size_t HEADER = 16;
const size_t ENTRY = 16;  // window, thread, class length, title length

uint32_t le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void check_request(uint32_t kind, UINT message, uint32_t payload_size) {
    if (remote_request_refusal(kind, message, payload_size) != 0) {
        return;
    }
    bool post = kind == 1, send = kind == 2;
    if ((!post && !send) || !crosses_processes(message) || payload_size > (16u << 20) ||
        (payload_size && (message != WM_COPYDATA || post))) {
        abort();
    }
}

void check_window_entry(const uint8_t* record, size_t size, DWORD pid) {
    RemoteWindow window;
    if (!decode_window_entry(record, size, pid, &window)) {
        return;
    }
    const size_t class_bytes = window.class_name.size() * 2, title_bytes = window.title.size() * 2;
    if (ENTRY + class_bytes + title_bytes != size || uintptr_t(window.hwnd) != le32(record) ||
        window.thread_id != le32(record + 4) || le32(record + 8) != window.class_name.size() ||
        memcmp(window.class_name.data(), record + ENTRY, class_bytes) != 0 ||
        memcmp(window.title.data(), record + ENTRY + class_bytes, title_bytes) != 0) {
        abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < HEADER || size > (1 << 20)) {
        return 0;
    }
    check_request(le32(data), le32(data + 4), le32(data + 8));
    // A block of its own, so that a read past the record's end is seen.
    std::vector<uint8_t> record(data + HEADER, data + size);
    check_window_entry(record.data(), record.size(), le32(data + 12));
    return 0;
}
