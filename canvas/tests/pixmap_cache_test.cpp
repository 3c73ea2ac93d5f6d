#include "canvas/pixmap_cache.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using testing::HasSubstr;

namespace {

// Images that count their own destruction, so tests see every reference the cache takes and drops.
class PixmapCacheTest : public testing::Test {
protected:
    static constexpr uint64_t WAIT_LIMIT_MS = 20 * 1000;

    pixman_image_t* make_image() {
        pixman_image_t* image = pixman_image_create_bits(PIXMAN_x8r8g8b8, 1, 1, nullptr, 0);
        pixman_image_set_destroy_function(image, on_destroy, &destroyed);
        return image;
    }

    static void on_destroy(pixman_image_t*, void* counter) { ++*static_cast<int*>(counter); }

    // Puts an image through the operation table and drops the caller's own reference.
    void put(uint64_t id, bool lossy = false) {
        pixman_image_t* image = make_image();
        (lossy ? face()->ops->put_lossy : face()->ops->put)(face(), id, image);
        pixman_image_unref(image);
    }

    SpiceImageCache* face() { return cache.get(); }

    std::string failure_of(const std::function<void()>& call) {
        try {
            call();
        } catch (const Exception& e) {
            return e.what();
        }
        return "no exception";
    }

    int destroyed = 0;
    std::unique_ptr<PixmapCache> cache = std::make_unique<PixmapCache>(WAIT_LIMIT_MS);
};

TEST_F(PixmapCacheTest, FaceIsTheCacheItselfAndFetchesOwnTheirReference) {
    pixman_image_t* image = make_image();
    face()->ops->put(face(), 7, image);
    pixman_image_t* fetched = face()->ops->get(face(), 7);
    EXPECT_EQ(fetched, image);
    pixman_image_unref(image);
    pixman_image_unref(fetched);
    EXPECT_EQ(destroyed, 0);  // the cache still holds it
    cache.reset();
    EXPECT_EQ(destroyed, 1);
}

TEST_F(PixmapCacheTest, UseCountFollowsPutsAndRemoves) {
    put(5);
    put(5);  // counted only; this second image is not kept
    EXPECT_EQ(destroyed, 1);
    cache->remove(5);
    pixman_image_unref(cache->get(5));
    EXPECT_EQ(destroyed, 1);
    cache->remove(5);
    EXPECT_EQ(destroyed, 2);
    EXPECT_THAT(failure_of([&] { cache->remove(5); }), HasSubstr("pixmap id 5, not found"));
}

TEST_F(PixmapCacheTest, IdsOfOneBucketAreToldApartByTheFullId) {
    const uint64_t ids[] = {5, 5 + 1024, 5 + (uint64_t(1) << 40), 5 + (uint64_t(1) << 63)};
    pixman_image_t* images[4];
    for (int i = 0; i < 4; i++) {
        images[i] = make_image();
        cache->add(ids[i], images[i]);
    }
    cache->remove(ids[1]);  // from the middle of the chain
    for (int i : {0, 2, 3}) {
        pixman_image_t* fetched = cache->get(ids[i]);
        EXPECT_EQ(fetched, images[i]) << i;
        pixman_image_unref(fetched);
    }
    for (pixman_image_t* image : images) {
        pixman_image_unref(image);
    }
    EXPECT_EQ(destroyed, 1);
}

TEST_F(PixmapCacheTest, GetWaitsForAPutFromAnotherThread) {
    auto fetched = std::async(std::launch::async, [&] { return face()->ops->get(face(), 42); });
    EXPECT_EQ(fetched.wait_for(100ms), std::future_status::timeout);
    put(41);  // another id wakes the waiter but does not satisfy it
    EXPECT_EQ(fetched.wait_for(50ms), std::future_status::timeout);
    pixman_image_t* image = make_image();
    cache->add(42, image);
    ASSERT_EQ(fetched.wait_for(2s), std::future_status::ready);
    pixman_image_t* got = fetched.get();
    EXPECT_EQ(got, image);
    pixman_image_unref(got);
    pixman_image_unref(image);
}

TEST_F(PixmapCacheTest, LosslessGetWaitsForTheReplacementWhileGetTakesTheLossyImage) {
    pixman_image_t* lossy = make_image();
    face()->ops->put_lossy(face(), 9, lossy);
    auto lossless = std::async(std::launch::async, [&] { return face()->ops->get_lossless(face(), 9); });
    pixman_image_t* at_once = face()->ops->get(face(), 9);
    EXPECT_EQ(at_once, lossy);
    pixman_image_unref(at_once);
    EXPECT_EQ(lossless.wait_for(100ms), std::future_status::timeout);

    pixman_image_t* replacement = make_image();
    face()->ops->replace_lossy(face(), 9, replacement);
    ASSERT_EQ(lossless.wait_for(2s), std::future_status::ready);
    pixman_image_t* got = lossless.get();
    EXPECT_EQ(got, replacement);
    pixman_image_unref(got);
    pixman_image_unref(lossy);
    EXPECT_EQ(destroyed, 1);  // the cache dropped the lossy image
    pixman_image_unref(replacement);
    // A replaced item is lossless for later lookups too.
    got = cache->get_lossless(9);
    EXPECT_EQ(got, replacement);
    pixman_image_unref(got);
}

TEST_F(PixmapCacheTest, ReplaceWaitsForTheItemToArrive) {
    pixman_image_t* replacement = make_image();
    auto replaced = std::async(std::launch::async, [&] { cache->replace(3, replacement); });
    EXPECT_EQ(replaced.wait_for(100ms), std::future_status::timeout);
    put(3, true);
    ASSERT_EQ(replaced.wait_for(2s), std::future_status::ready);
    replaced.get();
    pixman_image_t* got = cache->get_lossless(3);
    EXPECT_EQ(got, replacement);
    pixman_image_unref(got);
    pixman_image_unref(replacement);
}

TEST_F(PixmapCacheTest, AbortReleasesEveryWaiterAndLaterLookups) {
    put(1, true);
    auto missing = std::async(std::launch::async, [&] { return failure_of([&] { cache->get(2); }); });
    auto lossless =
        std::async(std::launch::async, [&] { return failure_of([&] { cache->get_lossless(1); }); });
    auto replace = std::async(std::launch::async, [&] {
        return failure_of([&] { cache->replace(4, nullptr); });  // never reaches the image
    });
    EXPECT_EQ(missing.wait_for(100ms), std::future_status::timeout);
    EXPECT_EQ(lossless.wait_for(1ms), std::future_status::timeout);
    cache->abort();
    for (auto* waiter : {&missing, &lossless, &replace}) {
        ASSERT_EQ(waiter->wait_for(2s), std::future_status::ready);
        EXPECT_THAT(waiter->get(), HasSubstr("pixmap aborting"));
    }
    cache->clear();  // the session stays aborted
    EXPECT_THAT(failure_of([&] { cache->get(1); }), HasSubstr("pixmap aborting"));
    put(1);
    pixman_image_unref(cache->get(1));  // held images are still served
}

TEST_F(PixmapCacheTest, ClearDropsEveryImageAndLaterGetsWait) {
    cache->clear();  // nothing held: nothing happens
    for (uint64_t id : {1, 1025, 2049, 77}) {
        put(id);
    }
    cache->clear();
    EXPECT_EQ(destroyed, 4);
    auto fetched = std::async(std::launch::async, [&] { return cache->get(1025); });
    EXPECT_EQ(fetched.wait_for(100ms), std::future_status::timeout);
    put(1025);
    ASSERT_EQ(fetched.wait_for(2s), std::future_status::ready);
    pixman_image_unref(fetched.get());
    EXPECT_THAT(failure_of([&] { cache->remove(1); }), HasSubstr("not found"));
}

// The lossless waiter lets go of the lock; the item it saw may be freed before it wakes.
TEST_F(PixmapCacheTest, LosslessWaiterSurvivesTheItemBeingCleared) {
    put(6, true);
    auto lossless = std::async(std::launch::async, [&] { return cache->get_lossless(6); });
    EXPECT_EQ(lossless.wait_for(100ms), std::future_status::timeout);
    cache->clear();
    put(6, true);  // the id back, still lossy: keep waiting
    EXPECT_EQ(lossless.wait_for(100ms), std::future_status::timeout);
    pixman_image_t* image = make_image();
    cache->replace(6, image);
    ASSERT_EQ(lossless.wait_for(2s), std::future_status::ready);
    pixman_image_t* got = lossless.get();
    EXPECT_EQ(got, image);
    pixman_image_unref(got);
    pixman_image_unref(image);
}

TEST(PixmapCacheLimitTest, WaitForAnIdNobodyStoresEnds) {
    PixmapCache cache(200);
    auto start = std::chrono::steady_clock::now();
    try {
        cache.get(uint64_t(-1));
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_THAT(e.what(), HasSubstr("pixmap id 18446744073709551615, wait timed out"));
    }
    EXPECT_GE(std::chrono::steady_clock::now() - start, 150ms);

    pixman_image_t* image = pixman_image_create_bits(PIXMAN_a8, 1, 1, nullptr, 0);
    cache.add(8, image, true);
    EXPECT_THROW(cache.get_lossless(8), Exception);  // a lossy image never replaced
    pixman_image_unref(image);
}

TEST(PixmapCacheLimitTest, ManyThreadsShareOneCache) {
    PixmapCache cache(20 * 1000);
    constexpr int THREADS = 4, IDS = 300;
    // An image of its own for every id, so that a reader given another id's entry sees it.
    std::vector<pixman_image_t*> images;
    for (int i = 0; i < 2 * IDS; i++) {
        images.push_back(pixman_image_create_bits(PIXMAN_a8, 1, 1, nullptr, 0));
    }
    std::atomic<int> wrong{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < THREADS; t++) {
        readers.emplace_back([&cache, &images, &wrong, t] {
            for (int i = 0; i < IDS; i++) {
                pixman_image_t* got = cache.get(uint64_t(i) * 1024 + t % 2);  // long chains, mixed buckets
                wrong += got != images[2 * i + t % 2];
                canvas_image_unref(got);
            }
        });
    }
    for (int i = 0; i < IDS; i++) {
        cache.add(uint64_t(i) * 1024, images[2 * i]);
        cache.add(uint64_t(i) * 1024 + 1, images[2 * i + 1]);
    }
    for (std::thread& reader : readers) {
        reader.join();
    }
    EXPECT_EQ(wrong.load(), 0);
    for (pixman_image_t* image : images) {
        pixman_image_unref(image);
    }
}

}  // namespace
