// Fuzzes the compact draw parsers and the display channel's dispatch while the compact encoding is on. An
// input is one byte of options (bit 0: protocol generation 1), then messages, each u8 sub-header flags, u16
// type, u16 body size (cut to what remains) and the body. They are parsed in order against one context, as
// the display channel parses its messages, so that values carried from one message to the next are fuzzed
// too.
#include <algorithm>

#include "parser_fuzz.h"
#include "transport/protocol/compact_parsers.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::quiet_logs();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    spice_parse_display_opt_func_t parser = spice_get_display_opt_parser((data[0] & 1) ? 1 : 2);
    OptDrawContext context{};
    size_t pos = 1;
    while (size - pos >= 5) {
        uint8_t header = data[pos];
        uint16_t type = uint16_t(data[pos + 1] | (data[pos + 2] << 8));
        size_t n = std::min<size_t>(size_t(data[pos + 3] | (data[pos + 4] << 8)), size - pos - 5);
        pos += 5;
        // Each body in a buffer of exactly its size, so that AddressSanitizer sees a read past its end.
        uint8_t* body = static_cast<uint8_t*>(malloc(n ? n : 1));
        memcpy(body, data + pos, n);
        pos += n;
        size_t parsed_size = 0;
        message_destructor_t release = nullptr;
        uint8_t* parsed = parser(header, &context, body, body + n, type, 2, &parsed_size, &release);
        if (parsed) {
            fuzz::touch_result(SPICE_CHANNEL_DISPLAY, type, parsed, parsed_size);
            release(parsed);
        }
        free(body);
    }
    return 0;
}
