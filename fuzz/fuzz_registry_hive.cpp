// The registry's hive-file parser on arbitrary bytes: it must never crash, and whatever it accepts must write
// back to a file that parses to the same hive.
#include "winapi/src/registry_hive.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    winapi_internal::RegistryKey root;
    if (!winapi_internal::hive_parse(data, size, root)) {
        return 0;
    }
    std::vector<uint8_t> bytes = winapi_internal::hive_serialize(root);
    winapi_internal::RegistryKey again;
    if (!winapi_internal::hive_parse(bytes.data(), bytes.size(), again) || !(again == root) ||
        winapi_internal::hive_serialize(again) != bytes) {
        abort();
    }
    return 0;
}
