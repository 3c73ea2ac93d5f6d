#include "transport/protocol/wire_reader.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

TEST(WireReader, ReadsLittleEndianAndFailsForGoodOnTheFirstShortRead) {
    const uint8_t bytes[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07};
    WireReader r(bytes, bytes + sizeof(bytes));
    EXPECT_EQ(r.u16(), 0x0201);
    EXPECT_EQ(r.uint_n(3), 0x050403u);
    EXPECT_EQ(r.u32(), 0u);  // 2 bytes left
    EXPECT_FALSE(r.ok());
    EXPECT_EQ(r.offset(), 5u);  // a failed read moves nothing
    EXPECT_EQ(r.u8(), 0);       // and every later read fails too
    EXPECT_EQ(r.remaining(), 0u);
    EXPECT_EQ(r.bytes(0), nullptr);
}

// count x size is compared with the rest in a form that cannot overflow, whatever the two values.
TEST(WireReader, NeedCannotBeFooledByAnOverflowingProduct) {
    const uint8_t bytes[16] = {};
    struct Case {
        uint64_t count, size;
        bool fits;
    } cases[] = {
        {16, 1, true},          {17, 1, false},        {4, 4, true},          {1ull << 62, 4, false},
        {UINT64_MAX, 2, false}, {0, UINT64_MAX, true}, {UINT64_MAX, 0, true}, {0x100000001ull, 0x10, false},
    };
    for (const Case& c : cases) {
        WireReader r(bytes, bytes + sizeof(bytes));
        EXPECT_EQ(r.need(c.count, c.size), c.fits) << c.count << " x " << c.size;
        EXPECT_EQ(r.ok(), c.fits);
    }
}

TEST(WireReader, TargetsMustStartInsideTheBody) {
    const uint8_t bytes[8] = {0, 0, 0, 0, 0, 0, 0, 9};
    WireReader r(bytes, bytes + sizeof(bytes));
    WireReader last = r.at(7);
    EXPECT_EQ(last.u8(), 9);
    EXPECT_TRUE(last.ok());
    EXPECT_FALSE(r.at(8).ok());
    EXPECT_FALSE(r.at(UINT64_MAX).ok());
    EXPECT_FALSE(WireReader(bytes + 1, bytes).ok());
}

TEST(WireReader, RestTakesEveryRemainingByte) {
    const uint8_t bytes[5] = {1, 2, 3, 4, 5};
    WireReader r(bytes, bytes + sizeof(bytes));
    r.skip(2);
    uint32_t n = 0;
    EXPECT_EQ(r.rest(&n), bytes + 2);
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(r.rest(&n), bytes + 5);
    EXPECT_EQ(n, 0u);
    EXPECT_TRUE(r.ok());
}

}  // namespace
