// The video plug-in wrapper's reassembly fed arbitrary display message 321 sequences, against the stand-in
// plug-in (built beside this target as "libmix.so"). Input: fragments, each u8 control, u8 frame id, u8
// index, u16 little-endian data length, then that many bytes (fewer at the end of the input). Control bit 0
// restart, bit 1 last, bit 2 number the fragment as the wrapper expects (else the two bytes given), bit 3
// start a new decoder first, bit 4 add a run of zeros just short of the buffer to the data.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codecs/mix_wrapper.h"
#include "runtime/log.h"

namespace {

class NullSender : public MixMessageSender {
public:
    void send_mix_message(uint16_t, const uint8_t*, uint32_t) override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static NullSender sender;
    static MixWrapper* wrapper = [] {
        log_set_threshold(unsigned(-1));
        MixWrapper* w = new MixWrapper(true);
        w->set_display_channel(&sender);
        if (!w->init_mix_wrapper()) {
            abort();  // the stand-in plug-in must be beside the target
        }
        return w;
    }();
    static void (*reset_stand_in)() = reinterpret_cast<void (*)()>(
        reinterpret_cast<void (*)()>(GetProcAddress(LoadLibraryA("libmix.dll"), "stub_reset")));
    reset_stand_in();
    wrapper->init_mix_decode(640, 480);

    size_t at = 0;
    static std::vector<uint8_t> block;  // keeps its room between inputs
    while (at + 5 <= size) {
        const uint8_t control = data[at];
        uint64_t frame_id = data[at + 1];
        uint32_t index = data[at + 2];
        size_t length = size_t(data[at + 3]) | size_t(data[at + 4]) << 8;
        at += 5;
        if (length > size - at) {
            length = size - at;
        }
        if (control & 4) {
            frame_id = wrapper->expected_frame_id();
            index = wrapper->expected_index();
        }
        if (control & 8) {
            wrapper->init_mix_decode(640, 480);
        }
        const size_t zeros = (control & 16) ? MixWrapper::FRAME_BUFFER_SIZE - 16 : 0;
        block.assign(sizeof(SpiceMsgDisplayVideoFragment) + zeros + length, 0);
        auto* m = reinterpret_cast<SpiceMsgDisplayVideoFragment*>(block.data());
        m->id = uint32_t(at);
        m->frame_id = frame_id;
        m->index = index;
        m->restart = control & 1;
        m->last = (control >> 1) & 1;
        m->data_size = uint32_t(zeros + length);
        if (length) {
            memcpy(block.data() + sizeof(*m) + zeros, data + at, length);
        }
        at += length;
        wrapper->handle_mix_data(m);
    }
    return 0;
}
