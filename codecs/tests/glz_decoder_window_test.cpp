// The GLZ window on its own (images handed in directly) and under four decoding threads: admission, the
// missing ids, growth, release of head images, abort, and the faults a server's ids and window heads could
// cause.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <map>
#include <random>
#include <thread>

#include "support/glz_test_support.h"
#include "support/lz_encoder.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

class WindowTest : public testing::Test {
protected:
    // Admits id and finishes it at once with one pixel; returns its ring index.
    uint64_t add(uint64_t id, uint64_t win_head_id) {
        uint64_t first_ref;
        uint64_t index = window.pre_decode_update_window(id, win_head_id, &first_ref);
        finish(id, win_head_id);
        return index;
    }
    void finish(uint64_t id, uint64_t win_head_id) {
        window.finish_image(new TestGlzImage(id, win_head_id, 1, &live));
    }
    std::string refusal(uint64_t id, uint64_t win_head_id) {
        uint64_t first_ref;
        try {
            window.pre_decode_update_window(id, win_head_id, &first_ref);
        } catch (const Exception& e) {
            return e.what();
        }
        finish(id, win_head_id);
        return "admitted";
    }

    // A waiter that stays asleep fails the test; the window is then aborted so that it returns all the same.
    template <class Future>
    bool woke_within_2s(Future& waiter) {
        if (waiter.wait_for(seconds(2)) == std::future_status::ready) {
            return true;
        }
        window.set_abort();
        waiter.wait();
        return false;
    }

    std::atomic<int> live{0};
    TestGlzDebug debug;
    GlzDecoderWindow window{debug};
};

TEST_F(WindowTest, AFreshWindowTakesImage0AtIndex0) {
    uint64_t first_ref = 99;
    EXPECT_EQ(window.pre_decode_update_window(0, 0, &first_ref), 0u);
    EXPECT_EQ(first_ref, 0u);
    finish(0, 0);
    GlzDecoderWindow::State s = window.get_state();
    EXPECT_EQ(s.capacity, 100u);
    EXPECT_EQ(s.image_count, 1u);
    EXPECT_EQ(s.missing_count, 0u);
    EXPECT_EQ(live, 1);
}

TEST_F(WindowTest, IdsDecodedOutOfOrderLeaveTheMissingOnesTogether) {
    add(0, 0);
    uint64_t first_ref;
    uint64_t index2 = window.pre_decode_update_window(2, 0, &first_ref);
    EXPECT_EQ(index2, 2u);
    GlzDecoderWindow::State s = window.get_state();
    EXPECT_EQ(s.tail_id, 2u);
    EXPECT_EQ(s.missing_count, 2u) << "ids 1 and 2";
    finish(2, 0);
    EXPECT_EQ(window.get_state().missing_count, 2u) << "image 2 stays listed until image 1 arrives";
    add(1, 0);
    s = window.get_state();
    EXPECT_EQ(s.missing_count, 0u);
    EXPECT_EQ(s.image_count, 3u);
}

TEST_F(WindowTest, GrowsByHalfWhenTheIdsWouldPassTwoThirds) {
    add(0, 0);
    add(65, 0);  // 66 ids: 1.5 x 66 = 99 fits 100 slots
    EXPECT_EQ(window.get_state().capacity, 100u);
    add(66, 0);  // 67 ids: 100.5 does not
    EXPECT_EQ(window.get_state().capacity, 150u);
    // Images stay at their ids across the move.
    for (uint64_t id = 1; id < 65; id++) {
        add(id, 0);
    }
    EXPECT_EQ(window.get_state().missing_count, 0u);
    EXPECT_EQ(live, 67);
}

TEST_F(WindowTest, AWindowHeadThreeIdsOnDeletesThreeImages) {
    add(0, 0);
    add(1, 0);
    add(2, 0);
    add(3, 3);
    GlzDecoderWindow::State s = window.get_state();
    EXPECT_EQ(s.head_id, 3u);
    EXPECT_EQ(s.image_count, 1u);
    EXPECT_EQ(live, 1);
    EXPECT_EQ(refusal(1, 0).rfind("image 1 is older than the window\n", 0), 0u);
}

TEST_F(WindowTest, RefusesIdsItCannotPlace) {
    add(0, 0);
    EXPECT_EQ(refusal(0, 0).rfind("image 0 is decoded twice\n", 0), 0u);
    uint64_t first_ref;
    window.pre_decode_update_window(1, 0, &first_ref);
    EXPECT_EQ(refusal(1, 0).rfind("image 1 is decoded twice\n", 0), 0u) << "while it is being decoded";
    finish(1, 0);

    window.set_window_size(10);
    EXPECT_EQ(refusal(12, 0).rfind("image 12 is too far ahead of the window\n", 0), 0u);
    EXPECT_EQ(refusal(11, 0), "admitted") << "10 ahead of tail 1";
    EXPECT_EQ(window.get_state().capacity, 100u);
    EXPECT_EQ(debug.errors.size(), 3u);
}

// The server names the window head; however far it points, the head stops at the first missing id.
TEST_F(WindowTest, TheHeadNeverPassesTheFirstMissingId) {
    add(0, 0);
    add(4, 0);   // 1 to 3 missing
    add(2, 99);  // a window head far past everything
    add(1, 0);   // 1 and 2 leave the missing ids; 3 is first now
    GlzDecoderWindow::State s = window.get_state();
    EXPECT_EQ(s.head_id, 3u);
    EXPECT_EQ(s.image_count, 2u);
    EXPECT_EQ(s.missing_count, 2u);
    EXPECT_EQ(live, 1) << "images 0 to 2 deleted, 4 kept";

    uint64_t first_ref;
    uint64_t index3 = window.pre_decode_update_window(3, 3, &first_ref);
    finish(3, 3);
    uint64_t index5 = window.pre_decode_update_window(5, 3, &first_ref);
    EXPECT_EQ(first_ref, 3u);
    EXPECT_EQ(window.ring_index_before(index5, 2), index3);
    EXPECT_EQ(window.wait_for_image(index3)->get_id(), 3u);
    finish(5, 3);
    EXPECT_EQ(window.get_state().missing_count, 0u);
}

// A decode keeps every image from its window head on, even when an older image claims a later head.
TEST_F(WindowTest, ARunningDecodeKeepsTheImagesItMayReference) {
    add(0, 0);
    uint64_t first_ref1, first_ref2;
    window.pre_decode_update_window(1, 0, &first_ref1);
    uint64_t index2 = window.pre_decode_update_window(2, 0, &first_ref2);
    finish(1, 2);  // would release image 0 and 1
    EXPECT_EQ(live, 2);
    GlzDecodedImage* image0 = window.wait_for_image(window.ring_index_before(index2, 2));
    EXPECT_EQ(image0->get_id(), 0u);
    finish(2, 2);
    EXPECT_EQ(window.get_state().head_id, 2u);
    EXPECT_EQ(live, 1);

    // A window head older than the head image: references start at the head image.
    window.pre_decode_update_window(3, 0, &first_ref1);
    EXPECT_EQ(first_ref1, 2u);
    finish(3, 0);
}

TEST_F(WindowTest, ClearReturnsToTheFreshState) {
    for (uint64_t id = 0; id < 70; id++) {
        add(id, 0);
    }
    window.clear();
    EXPECT_EQ(live, 0);
    GlzDecoderWindow::State s = window.get_state();
    EXPECT_EQ(s.tail_id, 0u);
    EXPECT_EQ(s.image_count, 1u);
    EXPECT_EQ(s.missing_count, 1u);
    EXPECT_EQ(add(0, 0), 0u);
}

TEST_F(WindowTest, AWaiterForReleasedHeadsWakesWhenADecodeFinishes) {
    add(0, 0);
    uint64_t first_ref;
    window.pre_decode_update_window(1, 0, &first_ref);
    // Image 3 lets go of everything before 2 while 1 is missing: it waits.
    auto waiter =
        std::async(std::launch::async, [&] { return window.pre_decode_update_window(3, 2, &first_ref); });
    EXPECT_EQ(waiter.wait_for(milliseconds(50)), std::future_status::timeout);
    // Image 1 finishes with window head 0: no head image goes, yet the waiter's reason is gone.
    finish(1, 0);
    ASSERT_TRUE(woke_within_2s(waiter));
    waiter.get();
    finish(3, 2);
    add(2, 0);
    EXPECT_EQ(window.get_state().head_id, 2u);
    EXPECT_EQ(live, 2);
}

TEST_F(WindowTest, AWaiterForReleasedHeadsWakesWhenAnotherImageTakesTheTail) {
    add(0, 0);
    uint64_t first_ref1, first_ref3, first_ref4;
    window.pre_decode_update_window(1, 0, &first_ref1);
    auto waiter =
        std::async(std::launch::async, [&] { return window.pre_decode_update_window(3, 2, &first_ref3); });
    EXPECT_EQ(waiter.wait_for(milliseconds(50)), std::future_status::timeout);
    window.pre_decode_update_window(4, 0, &first_ref4);  // 3 is no longer ahead of the tail
    ASSERT_TRUE(woke_within_2s(waiter));
    waiter.get();
    finish(1, 0);
    finish(3, 2);
    finish(4, 2);
    add(2, 0);
    EXPECT_EQ(window.get_state().missing_count, 0u);
}

TEST_F(WindowTest, AbortEndsEveryWait) {
    add(0, 0);
    uint64_t first_ref;
    uint64_t index1 = window.pre_decode_update_window(1, 0, &first_ref);
    // A reader of image 1's slot (as image 2 would be) and an image waiting for heads to go.
    auto reader = std::async(std::launch::async, [&]() -> std::string {
        try {
            window.wait_for_image(index1);
            return "returned";
        } catch (const Exception& e) {
            return e.what();
        }
    });
    auto admitted = std::async(std::launch::async, [&]() -> std::string { return refusal(5, 3); });
    EXPECT_EQ(reader.wait_for(milliseconds(50)), std::future_status::timeout);
    EXPECT_EQ(admitted.wait_for(milliseconds(1)), std::future_status::timeout);
    window.set_abort();
    ASSERT_EQ(reader.wait_for(seconds(2)), std::future_status::ready);
    ASSERT_EQ(admitted.wait_for(seconds(2)), std::future_status::ready);
    EXPECT_EQ(reader.get().rfind("aborting", 0), 0u);
    EXPECT_EQ(admitted.get().rfind("aborting", 0), 0u);
    finish(1, 0);

    // Afterwards an image that needs neither to wait nor to grow the ring still goes in; the others throw at
    // once.
    window.pre_decode_update_window(2, 0, &first_ref);
    EXPECT_EQ(refusal(7, 5).rfind("aborting", 0), 0u) << "2 is missing";
    EXPECT_EQ(refusal(200, 0).rfind("aborting", 0), 0u) << "the ring would grow";
    finish(2, 0);
}

// An id that is missing with no decode running (its image failed before its id was read, or never came) is
// given up once the give-up time has passed, so neither a reference into it nor an image letting go of it
// waits for ever; an id whose decode is running is waited for however long it takes.
TEST_F(WindowTest, MissingIdsNoDecodeIsRunningAreGivenUp) {
    window.set_give_up_time(100);
    add(0, 0);
    uint64_t first_ref;
    const uint64_t index2 = window.pre_decode_update_window(2, 0, &first_ref);
    // Image 2 references 1, which never comes.
    auto reader = std::async(std::launch::async,
                             [&] { return window.wait_for_image(window.ring_index_before(index2, 1)); });
    ASSERT_TRUE(woke_within_2s(reader));
    const GlzDecodedImage* stand_in = reader.get();
    EXPECT_NE(stand_in->get_id(), 1u) << "no reference accepts it";
    EXPECT_EQ(stand_in->get_size(), 0u);
    EXPECT_EQ(window.get_state().missing_count, 1u) << "only 2, still decoding";
    EXPECT_EQ(refusal(1, 0), "image 1 is decoded twice\n") << "a late image 1 is refused";
    finish(2, 0);

    // Image 5 lets go of everything before 4 while 3 never comes.
    add(4, 0);
    auto admitted =
        std::async(std::launch::async, [&] { return window.pre_decode_update_window(5, 4, &first_ref); });
    ASSERT_TRUE(woke_within_2s(admitted));
    admitted.get();
    finish(5, 4);
    GlzDecoderWindow::State s = window.get_state();
    EXPECT_EQ(s.missing_count, 0u);
    EXPECT_EQ(s.head_id, 4u);
    EXPECT_EQ(live, 2) << "images 4 and 5 are held; stand-ins are not counted";
    EXPECT_EQ(debug.warnings.size(), 2u);
    window.clear();
    EXPECT_EQ(live, 0);
}

TEST_F(WindowTest, AnIdBeingDecodedIsNeverGivenUp) {
    window.set_give_up_time(20);
    add(0, 0);
    uint64_t first_ref;
    window.pre_decode_update_window(1, 0, &first_ref);
    const uint64_t index2 = window.pre_decode_update_window(2, 0, &first_ref);
    auto reader = std::async(std::launch::async,
                             [&] { return window.wait_for_image(window.ring_index_before(index2, 1)); });
    EXPECT_EQ(reader.wait_for(milliseconds(300)), std::future_status::timeout);
    finish(1, 0);
    ASSERT_TRUE(woke_within_2s(reader));
    EXPECT_EQ(reader.get()->get_id(), 1u);
    finish(2, 0);
    EXPECT_TRUE(debug.warnings.empty());
}

// ---- Four display channels ----

// Keeps the pixels of every image when the window lets it go.
class KeptImage : public GlzDecodedImage {
public:
    KeptImage(uint64_t id, uint64_t win_head_id, uint32_t pixels,
              std::map<uint64_t, std::vector<uint8_t>>* kept, std::mutex* lock)
        : GlzDecodedImage(id, win_head_id, nullptr, pixels, 4),
          _pixels(size_t(pixels) * 4),
          _kept(kept),
          _lock(lock) {
        _data = _pixels.data();
    }
    ~KeptImage() override {
        std::lock_guard<std::mutex> guard(*_lock);
        (*_kept)[_id] = _pixels;
    }

private:
    std::vector<uint8_t> _pixels;
    std::map<uint64_t, std::vector<uint8_t>>* _kept;
    std::mutex* _lock;
};

class KeepingHandler : public GlzDecodeHandler {
public:
    GlzDecodedImage* alloc_image(void*, uint64_t id, uint64_t win_head_id, LzImageType, int, int,
                                 int gross_pixels, int, bool) override {
        return new KeptImage(id, win_head_id, uint32_t(gross_pixels), &kept, &lock);
    }
    std::map<uint64_t, std::vector<uint8_t>> kept;
    std::mutex lock;
};

// 600 images, each copying from up to the 24 images before it, spread over four threads at random; each
// thread decodes its own in id order with random pauses, as four display channels would. Every image must
// come out right and the window must end with nothing missing.
TEST(WindowThreads, FourThreadsDecodeASessionInRandomArrivalOrder) {
    const uint64_t count = 600, window_images = 24;
    std::mt19937 rng(21);
    std::vector<std::vector<uint8_t>> units(count), streams(count);
    for (uint64_t id = 0; id < count; id++) {
        const uint32_t width = 8 + rng() % 24, height = 4 + rng() % 8;
        uint64_t head = id > window_images ? id - window_images : 0;
        std::vector<uint8_t>& u = units[id];
        while (u.size() < size_t(width) * height * 3) {
            uint64_t src = head + rng() % (id - head + 1);
            size_t len = (1 + rng() % 12) * 3;
            if (src == id || units[src].size() < len) {
                for (size_t i = 0; i < len; i++) {
                    u.push_back(uint8_t(rng() % 4));  // few colours, so that short matches abound too
                }
            } else {
                size_t from = (rng() % ((units[src].size() - len) / 3 + 1)) * 3;
                u.insert(u.end(), units[src].begin() + from, units[src].begin() + from + len);
            }
        }
        u.resize(size_t(width) * height * 3);
        std::vector<GlzRefImage> refs;
        for (uint64_t r = head; r < id; r++) {
            refs.push_back({id - r, &units[r]});
        }
        std::vector<uint8_t> header =
            glz_header(LZ_IMAGE_TYPE_RGB32, true, width, height, 0, id, int32_t(id - head));
        std::vector<uint8_t> body = glz_encode_units(u, 3, 0, refs);
        streams[id] = header;
        streams[id].insert(streams[id].end(), body.begin(), body.end());
    }

    TestGlzDebug debug;
    GlzDecoderWindow window(debug);
    KeepingHandler handler;
    std::vector<std::vector<uint64_t>> queues(4);
    for (uint64_t id = 0; id < count; id++) {
        queues[rng() % 4].push_back(id);
    }
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([&, t] {
            GlzDecoder decoder(window, handler, debug);
            std::mt19937 pause(t);
            for (uint64_t id : queues[t]) {
                if (pause() % 8 == 0) {
                    std::this_thread::sleep_for(std::chrono::microseconds(pause() % 300));
                }
                try {
                    decoder.decode(streams[id].data(), uint32_t(streams[id].size()), nullptr, nullptr);
                } catch (const Exception&) {
                    failures++;
                }
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    EXPECT_EQ(failures, 0);
    EXPECT_TRUE(debug.errors.empty()) << debug.errors.front();
    GlzDecoderWindow::State s = window.get_state();
    EXPECT_EQ(s.tail_id, count - 1);
    EXPECT_EQ(s.missing_count, 0u);
    EXPECT_LE(s.image_count, window_images + 1);
    window.clear();

    ASSERT_EQ(handler.kept.size(), count);
    for (uint64_t id = 0; id < count; id++) {
        std::vector<uint8_t> expected;
        for (size_t i = 0; i < units[id].size(); i += 3) {
            expected.insert(expected.end(), {units[id][i], units[id][i + 1], units[id][i + 2], 0});
        }
        ASSERT_EQ(handler.kept[id], expected) << "image " << id;
    }
}

}  // namespace
