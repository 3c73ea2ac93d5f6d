// Stand-in for the maker's core component: exports the lock-screen switch and lets tests choose its answer.
#include <atomic>

namespace {
std::atomic<int> result{1};
std::atomic<int> last_flag{-1};
std::atomic<int> calls{0};
}  // namespace

extern "C" {

__attribute__((visibility("default"))) int DisableWindowLockScreen(int flag) {
    last_flag = flag;
    calls++;
    return result;
}

__attribute__((visibility("default"))) void stub_set_result(int value) {
    result = value;
}
__attribute__((visibility("default"))) int stub_last_flag() {
    return last_flag;
}
__attribute__((visibility("default"))) int stub_calls() {
    return calls;
}
}
