#include "runtime/mem.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <string>

namespace {

using testing::HasSubstr;

TEST(SpiceMallocTest, ZeroSizesGiveNull) {
    EXPECT_EQ(spice_malloc(0), nullptr);
    EXPECT_EQ(spice_malloc0(0), nullptr);
    EXPECT_EQ(spice_malloc_n(0, 16), nullptr);
    EXPECT_EQ(spice_malloc_n(16, 0), nullptr);
    const char data[] = "abc";
    EXPECT_EQ(spice_memdup(data, 0), nullptr);
    EXPECT_EQ(spice_memdup(nullptr, 4), nullptr);
    EXPECT_EQ(spice_strdup(nullptr), nullptr);
}

TEST(SpiceMallocTest, ReallocToZeroFreesTheBlock) {
    void* block = spice_malloc(64);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(spice_realloc(block, 0), nullptr);  // the sanitizer build reports a leak otherwise
    void* array = spice_malloc_n(4, 8);
    EXPECT_EQ(spice_realloc_n(array, 0, 8), nullptr);
}

TEST(SpiceMallocTest, CopiesAndZeroFill) {
    char* text = spice_strdup("banner");
    EXPECT_STREQ(text, "banner");
    free(text);

    const unsigned char bytes[] = {1, 0, 2};
    auto* copy = static_cast<unsigned char*>(spice_memdup(bytes, sizeof(bytes)));
    EXPECT_EQ(memcmp(copy, bytes, sizeof(bytes)), 0);
    copy = static_cast<unsigned char*>(spice_realloc_n(copy, 100, 2));
    EXPECT_EQ(memcmp(copy, bytes, sizeof(bytes)), 0);
    free(copy);

    auto* zeros = static_cast<unsigned char*>(spice_malloc0(32));
    for (int i = 0; i < 32; i++) {
        EXPECT_EQ(zeros[i], 0);
    }
    free(zeros);
}

class SpiceMallocDeathTest : public testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(SpiceMallocDeathTest, ProductAbove32BitsIsRefused) {
    EXPECT_EXIT(spice_malloc_n(65536, 65536), testing::KilledBySignal(SIGABRT),
                testing::AllOf(HasSubstr("Spice-ERROR **: "),
                               HasSubstr(":spice_malloc_n: overflow allocating 65536*65536 bytes\n")));
    EXPECT_EXIT(spice_realloc_n(nullptr, 65536, 65536), testing::KilledBySignal(SIGABRT),
                HasSubstr(":spice_realloc_n: spice_realloc_n: overflow allocating 65536*65536 bytes\n"));
}

TEST_F(SpiceMallocDeathTest, AllocationFailureAbortsWhateverTheAbortLevel) {
    // The child is a new run of this program: let a sanitizer runtime there answer with null, as malloc does.
    const char* old_options = getenv("ASAN_OPTIONS");
    std::string saved = old_options ? old_options : "";
    setenv("ASAN_OPTIONS", (saved + ":allocator_may_return_null=1").c_str(), 1);
    EXPECT_EXIT(
        {
            setenv("SPICE_ABORT_LEVEL", "-1", 1);
            spice_malloc(SIZE_MAX);
        },
        testing::KilledBySignal(SIGABRT), HasSubstr("unable to allocate"));
    if (old_options) {
        setenv("ASAN_OPTIONS", saved.c_str(), 1);
    } else {
        unsetenv("ASAN_OPTIONS");
    }
}

// A record whose chunk buffers belong to it, filled with the given texts.
SpiceChunks* make_chunks(uint32_t data_size, std::initializer_list<const char*> texts) {
    SpiceChunks* chunks = spice_chunks_new(static_cast<uint32_t>(texts.size()));
    chunks->data_size = data_size;
    chunks->flags = SPICE_CHUNKS_FLAGS_FREE | SPICE_CHUNKS_FLAGS_UNSTABLE;
    uint32_t i = 0;
    for (const char* text : texts) {
        chunks->chunk[i].len = static_cast<uint32_t>(strlen(text));
        chunks->chunk[i].data = static_cast<uint8_t*>(spice_memdup(text, strlen(text)));
        i++;
    }
    return chunks;
}

std::string flat_text(const SpiceChunks* chunks) {
    return std::string(reinterpret_cast<const char*>(chunks->chunk[0].data), chunks->chunk[0].len);
}

struct FlattenCase {
    const char* name;
    uint32_t data_size;
    std::initializer_list<const char*> texts;
    std::string expected;
};

TEST(SpiceChunksTest, FlattenJoinsChunksWithinTheDataSize) {
    const FlattenCase cases[] = {
        {"exact", 9, {"abc", "de", "fghi"}, "abcdefghi"},
        // Chunk lengths from the peer may add up to more than data_size: the copy stops there.
        {"chunks longer than the data", 4, {"abc", "de", "fghi"}, "abcd"},
        {"chunks shorter than the data", 6, {"ab", "c"}, std::string("abc\0\0\0", 6)},
        {"empty chunk inside", 3, {"a", "", "bc"}, "abc"},
    };
    for (const FlattenCase& c : cases) {
        SpiceChunks* chunks = make_chunks(c.data_size, c.texts);
        spice_chunks_flatten(chunks);
        EXPECT_EQ(chunks->num_chunks, 1u) << c.name;
        EXPECT_EQ(chunks->chunk[0].len, c.data_size) << c.name;
        EXPECT_EQ(flat_text(chunks), c.expected) << c.name;
        EXPECT_EQ(chunks->flags, uint32_t(SPICE_CHUNKS_FLAGS_FREE)) << c.name;
        spice_chunks_destroy(chunks);
    }
}

TEST(SpiceChunksTest, FlattenLeavesBorrowedBuffersToTheirOwner) {
    char first[] = "left";
    char second[] = "right";
    SpiceChunks* chunks = spice_chunks_new(2);
    chunks->data_size = 9;
    chunks->chunk[0] = {reinterpret_cast<uint8_t*>(first), 4};
    chunks->chunk[1] = {reinterpret_cast<uint8_t*>(second), 5};
    spice_chunks_flatten(chunks);
    EXPECT_EQ(flat_text(chunks), "leftright");
    EXPECT_EQ(chunks->flags, uint32_t(SPICE_CHUNKS_FLAGS_FREE));
    EXPECT_STREQ(first, "left");
    spice_chunks_destroy(chunks);
}

TEST(SpiceChunksTest, FlattenOfOneChunkChangesNothing) {
    SpiceChunks* chunks = make_chunks(3, {"abc"});
    uint8_t* data = chunks->chunk[0].data;
    spice_chunks_flatten(chunks);
    EXPECT_EQ(chunks->chunk[0].data, data);
    EXPECT_EQ(chunks->flags, uint32_t(SPICE_CHUNKS_FLAGS_FREE | SPICE_CHUNKS_FLAGS_UNSTABLE));
    spice_chunks_destroy(chunks);
}

}  // namespace
