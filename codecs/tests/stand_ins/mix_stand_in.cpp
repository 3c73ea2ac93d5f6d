// Stand-in for the video-decoder plug-in "libmix.dll": the six exports, which record their calls, and hooks
// through which tests choose results, read what was pushed and call the plug-in's call-backs.
#include <cstdint>
#include <cstring>
#include <mutex>
#include <vector>

#include "codecs/mix_wrapper.h"

namespace {

const size_t BLOCK_SIZE = sizeof(MixPluginBlock);

std::mutex lock;
int init_plugin_result = 0;
int init_decode_result = 0;
int push_result = 0;
int uninit_decode_calls = 0;
int uninit_plugin_calls = 0;
int restore_calls = 0;
uint8_t plugin_block[BLOCK_SIZE];
uint8_t decode_block[BLOCK_SIZE];
std::vector<std::vector<uint8_t>> pushed;

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int mix_init_plugin(MixPluginBlock* block) {
    std::lock_guard<std::mutex> hold(lock);
    memcpy(plugin_block, block, BLOCK_SIZE);
    return init_plugin_result;
}
__attribute__((visibility("default"))) int mix_uninit_plugin() {
    std::lock_guard<std::mutex> hold(lock);
    uninit_plugin_calls++;
    return 0;
}
__attribute__((visibility("default"))) int mix_init_decode(MixPluginBlock* block) {
    std::lock_guard<std::mutex> hold(lock);
    memcpy(decode_block, block, BLOCK_SIZE);
    return init_decode_result;
}
__attribute__((visibility("default"))) int mix_uninit_decode() {
    std::lock_guard<std::mutex> hold(lock);
    uninit_decode_calls++;
    return 0;
}
__attribute__((visibility("default"))) int mix_push_data(const uint8_t* frame, uint32_t size) {
    std::lock_guard<std::mutex> hold(lock);
    pushed.emplace_back(frame, frame + size);
    return push_result;
}
__attribute__((visibility("default"))) int mix_restore_image(int, int) {
    std::lock_guard<std::mutex> hold(lock);
    restore_calls++;
    return 0;
}

// ---- test hooks ----

__attribute__((visibility("default"))) void stub_reset() {
    std::lock_guard<std::mutex> hold(lock);
    init_plugin_result = init_decode_result = push_result = 0;
    uninit_decode_calls = uninit_plugin_calls = restore_calls = 0;
    memset(plugin_block, 0, BLOCK_SIZE);
    memset(decode_block, 0, BLOCK_SIZE);
    pushed.clear();
}
__attribute__((visibility("default"))) void stub_set_results(int init_plugin, int init_decode, int push) {
    std::lock_guard<std::mutex> hold(lock);
    init_plugin_result = init_plugin;
    init_decode_result = init_decode;
    push_result = push;
}
// Copies the last block given to mix_init_plugin (which 0) or mix_init_decode (which 1).
__attribute__((visibility("default"))) void stub_block(int which, void* out) {
    std::lock_guard<std::mutex> hold(lock);
    memcpy(out, which == 0 ? plugin_block : decode_block, BLOCK_SIZE);
}
__attribute__((visibility("default"))) size_t stub_push_count() {
    std::lock_guard<std::mutex> hold(lock);
    return pushed.size();
}
// Size of push number n; its bytes copied to out when out is given.
__attribute__((visibility("default"))) size_t stub_pushed(size_t n, uint8_t* out) {
    std::lock_guard<std::mutex> hold(lock);
    if (n >= pushed.size()) {
        return 0;
    }
    if (out) {
        memcpy(out, pushed[n].data(), pushed[n].size());
    }
    return pushed[n].size();
}
// Calls: 0 mix_uninit_decode, 1 mix_uninit_plugin, 2 mix_restore_image.
__attribute__((visibility("default"))) int stub_calls(int which) {
    std::lock_guard<std::mutex> hold(lock);
    return which == 0 ? uninit_decode_calls : which == 1 ? uninit_plugin_calls : restore_calls;
}
}
