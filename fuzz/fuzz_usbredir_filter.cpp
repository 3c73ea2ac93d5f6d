// The usbredir filter-rule text parser on arbitrary text (cut at the first NUL).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "devices/usbredirhost/usbredirparser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    usb_redir_filter_rule* rules = nullptr;
    int count = 0;
    if (usbredirparser_filter_string_to_rules(text.c_str(), &rules, &count) == 0) {
        for (int i = 0; i < count; ++i) {
            if (rules[i].device_class < -1 || rules[i].device_class > 255 || rules[i].vendor_id > 0xFFFF) {
                abort();
            }
        }
    }
    free(rules);
    return 0;
}
