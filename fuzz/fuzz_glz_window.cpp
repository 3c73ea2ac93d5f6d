// The session's GLZ window under image ids and window heads in any order, as one display thread sees them:
// ids ahead of the tail (the ring grows), ids left missing and filled later, ids refused (too old, twice, too
// far ahead), decodes left running while others are admitted, and clears. The harness never makes a call that
// would wait for a decode no thread will finish: before an admission that would wait it finishes the running
// decodes, and when it would still wait it skips the step.
//
// Input: steps of three bytes [kind][id][head]. kind bits 0-1: 0 admit, 1 finish the oldest running decode, 2
// finish the newest, 3 clear (when none runs); bit 7 makes the id step large. The id is the tail's plus a
// step (id byte - 8, or id byte << 16 when large); the window head lies head bytes before it.
//
// Checks: every reference an admitted image may make (from its first reference id to itself) to an image
// already finished finds that image in the ring; the window's counts stay consistent.
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <set>

#include "codecs/glz_decoder_window.h"
#include "runtime/exception.h"

namespace {

class Debug : public GlzDecoderDebug {
public:
    void error(const std::string& str) override { throw Exception(str); }
    void warn(const std::string&) override {}
    void info(const std::string&) override {}
};

struct Running {
    uint64_t id;
    uint64_t win_head_id;
};

void check_state(const GlzDecoderWindow::State& s) {
    if (s.image_count == 0 || s.image_count > s.capacity || s.missing_count > s.image_count ||
        s.head_id != s.tail_id - s.image_count + 1) {
        abort();
    }
}

class Harness {
public:
    Harness() : window_(debug_) {}

    ~Harness() {
        while (!running_.empty()) {
            finish(true);
        }
    }

    void finish(bool oldest) {
        if (running_.empty()) {
            return;
        }
        Running r = oldest ? running_.front() : running_.back();
        oldest ? running_.pop_front() : running_.pop_back();
        window_.finish_image(new GlzDecodedImage(r.id, r.win_head_id, nullptr, 0, 4));
        finished_.insert(r.id);
        forget_dropped();
    }

    void clear() {
        if (!running_.empty()) {
            return;
        }
        window_.clear();
        finished_.clear();
    }

    void admit(uint64_t id, uint64_t win_head_id) {
        if (would_wait(id, win_head_id)) {
            while (!running_.empty()) {
                finish(true);
            }
            if (would_wait(id, win_head_id)) {
                return;  // it waits for an id nobody decodes
            }
        }
        uint64_t first_ref = 0;
        uint64_t index;
        try {
            index = window_.pre_decode_update_window(id, win_head_id, &first_ref);
        } catch (Exception&) {
            return;
        }
        running_.push_back(Running{id, win_head_id});
        GlzDecoderWindow::State s = window_.get_state();
        check_state(s);
        if (first_ref > id || first_ref < s.head_id) {
            abort();
        }
        // The references this image may make to images already decoded.
        for (auto it = finished_.lower_bound(first_ref); it != finished_.end() && *it < id; ++it) {
            const uint64_t distance = id - *it;
            if (distance >= s.capacity) {
                abort();
            }
            GlzDecodedImage* image = window_.wait_for_image(window_.ring_index_before(index, distance));
            if (image->get_id() != *it) {
                abort();
            }
        }
    }

    uint64_t tail() { return window_.get_state().tail_id; }

private:
    // Mirrors the conditions under which an admission waits: for older missing images it lets go of, or for
    // the running decodes to end before the ring can grow.
    bool would_wait(uint64_t id, uint64_t win_head_id) {
        GlzDecoderWindow::State s = window_.get_state();
        if (id <= s.tail_id) {
            return false;
        }
        const uint64_t first_missing = s.tail_id - s.missing_count + 1;
        if (s.missing_count && first_missing < win_head_id) {
            return true;
        }
        const uint64_t n = s.image_count + (id - s.tail_id);
        return 2 * s.capacity < 3 * n && !running_.empty();
    }

    void forget_dropped() {
        const uint64_t head = window_.get_state().head_id;
        finished_.erase(finished_.begin(), finished_.lower_bound(head));
    }

    Debug debug_;
    GlzDecoderWindow window_;
    std::deque<Running> running_;
    std::set<uint64_t> finished_;  // decoded and still in the window
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 3 * 512) {
        return 0;
    }
    Harness harness;
    for (size_t at = 0; at + 2 < size; at += 3) {
        const uint8_t kind = data[at];
        switch (kind & 3) {
            case 0: {
                const uint64_t tail = harness.tail();
                // Large steps stay small enough to keep runs quick; bit 6 asks for one past the window's
                // reach.
                int64_t step = kind & 0x80 ? int64_t(data[at + 1]) << 12 : int64_t(data[at + 1]) - 8;
                if (kind & 0x40) {
                    step = int64_t(12582912) + data[at + 1];
                }
                if (step < 0 && uint64_t(-step) > tail) {
                    break;
                }
                const uint64_t id = tail + step;
                const uint64_t win_head_id = id >= data[at + 2] ? id - data[at + 2] : 0;
                harness.admit(id, win_head_id);
                break;
            }
            case 1:
            case 2:
                harness.finish((kind & 3) == 1);
                break;
            case 3:
                harness.clear();
                break;
        }
    }
    return 0;
}
