#include "transport/protocol/marshaller.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// A root marshaller destroyed at the end of the test, and the bytes written so far, for comparing.
struct Message {
    SpiceMarshaller* m = spice_marshaller_create();
    Bytes expected;

    ~Message() { spice_marshaller_destroy(m); }

    // Reserves size bytes in part and fills them with a running pattern.
    uint8_t* write(SpiceMarshaller* part, size_t size) {
        uint8_t* p = spice_marshaller_reserve(part, size);
        for (size_t i = 0; i < size; i++) {
            p[i] = static_cast<uint8_t>(expected.size() + i * 7);
        }
        expected.insert(expected.end(), p, p + size);
        return p;
    }
    uint8_t* write(size_t size) { return write(m, size); }

    Bytes flatten(size_t skip = 0) {
        size_t length = 0;
        int free_result = 0;
        uint8_t* p = spice_marshaller_flatten(m, skip, &length, &free_result);
        Bytes out(p, p + length);
        if (free_result) {
            free(p);
        }
        return out;
    }

    SpiceMarshallerData* data() const { return m->data; }

    std::vector<MarshallerBuffer*> buffers() const {
        std::vector<MarshallerBuffer*> chain;
        for (MarshallerBuffer* b = &m->data->buffers; b; b = b->next) {
            chain.push_back(b);
        }
        return chain;
    }

    // Index of the chained buffer holding p, or -1 when p lies in none.
    int buffer_of(const uint8_t* p) const {
        std::vector<MarshallerBuffer*> chain = buffers();
        for (size_t i = 0; i < chain.size(); i++) {
            if (p >= chain[i]->data && p < chain[i]->data + chain[i]->capacity) {
                return static_cast<int>(i);
            }
        }
        return -1;
    }
};

struct FreeCounter {
    int calls = 0;
    static void release(uint8_t* data, void* opaque) {
        static_cast<FreeCounter*>(opaque)->calls++;
        delete[] data;
    }
};

TEST(Marshaller, MessageInOneBufferFlattensInPlace) {
    Message msg;
    msg.write(6);  // the header
    msg.write(MARSHALLER_FIRST_BUFFER_SIZE - 6);
    ASSERT_EQ(msg.m->n_items, 1u);
    EXPECT_EQ(spice_marshaller_get_total_size(msg.m), MARSHALLER_FIRST_BUFFER_SIZE);

    size_t length = 0;
    int free_result = -1;
    uint8_t* p = spice_marshaller_flatten(msg.m, 6, &length, &free_result);
    EXPECT_EQ(free_result, 0);
    EXPECT_EQ(p, msg.m->items[0].data + 6);
    EXPECT_EQ(length, MARSHALLER_FIRST_BUFFER_SIZE - 6);
    EXPECT_EQ(msg.flatten(), msg.expected);
}

// Where a second reservation lands after a first one in the (small) first buffer: extending the first item,
// in the same buffer, at the start of the next buffer, or in a block of its own.
TEST(Marshaller, ReservationPlacementAtBufferBoundaries) {
    enum Where { Extended, NextBuffer, Separate, SameBufferNewItem };
    struct Case {
        const char* name;
        size_t first;
        bool first_by_ref;  // the first item is referenced data, so the second cannot extend it
        size_t second;
        Where where;
    };
    const Case cases[] = {
        {"exact fill extends", MARSHALLER_FIRST_BUFFER_SIZE - 1, false, 1, Extended},
        {"one byte over the edge", MARSHALLER_FIRST_BUFFER_SIZE, false, 1, NextBuffer},
        {"2044 without room starts a buffer", 10, false, 2044, NextBuffer},
        {"2045 without room gets its own block", 10, false, 2045, Separate},
        {"block that fills the buffer stays in it", 0, true, MARSHALLER_FIRST_BUFFER_SIZE, SameBufferNewItem},
        {"after referenced data a new item", 10, true, 10, SameBufferNewItem},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Message msg;
        uint8_t ref[16] = {};
        if (c.first_by_ref) {
            spice_marshaller_new_item(msg.m, ref, sizeof ref, nullptr, nullptr);
            msg.expected.assign(ref, ref + sizeof ref);
        } else {
            msg.write(c.first);
        }
        size_t position = msg.data()->current_buffer_position;
        uint8_t* p = msg.write(c.second);
        const MarshallerItem& last = msg.m->items[msg.m->n_items - 1];

        switch (c.where) {
            case Extended:
                EXPECT_EQ(msg.m->n_items, 1u);
                EXPECT_EQ(msg.data()->current_buffer_position, MARSHALLER_FIRST_BUFFER_SIZE);
                break;
            case NextBuffer:
                EXPECT_EQ(msg.m->n_items, 2u);
                EXPECT_EQ(p, msg.buffers().at(1)->data);
                EXPECT_EQ(msg.data()->current_buffer, msg.buffers().at(1));
                EXPECT_EQ(msg.data()->current_buffer_position, c.second);
                break;
            case Separate:
                EXPECT_EQ(msg.m->n_items, 2u);
                EXPECT_EQ(msg.buffer_of(p), -1);
                EXPECT_NE(last.free_data, nullptr);
                EXPECT_EQ(msg.buffers().size(), 1u);
                EXPECT_EQ(msg.data()->current_buffer_position, position);
                break;
            case SameBufferNewItem:
                EXPECT_EQ(msg.m->n_items, 2u);
                EXPECT_EQ(p, msg.buffers().at(0)->data + position);
                EXPECT_EQ(last.free_data, nullptr);
                break;
        }
        EXPECT_EQ(last.data, c.where == Extended ? msg.m->items[0].data : p);
        EXPECT_EQ(spice_marshaller_get_total_size(msg.m), msg.expected.size());
        EXPECT_EQ(msg.flatten(), msg.expected);
    }
}

TEST(Marshaller, SmallWriteAfterSeparateBlockContinuesInTheBuffer) {
    Message msg;
    msg.write(40);
    msg.write(3000);
    msg.write(2045);
    uint8_t* p = msg.write(8);
    EXPECT_EQ(msg.m->n_items, 4u);
    EXPECT_EQ(p, msg.buffers().at(0)->data + 40);
    msg.write(8);  // extends the item that ends at the buffer position
    EXPECT_EQ(msg.m->n_items, 4u);
    EXPECT_EQ(msg.flatten(), msg.expected);
}

TEST(Marshaller, ItemArrayGrowsPastTheInlineItems) {
    Message msg;
    uint8_t refs[12][4];
    msg.write(5);
    for (size_t i = 0; i < 12; i++) {
        memset(refs[i], static_cast<int>(0xA0 + i), sizeof refs[i]);
        spice_marshaller_new_item(msg.m, refs[i], sizeof refs[i], nullptr, nullptr);
        msg.expected.insert(msg.expected.end(), refs[i], refs[i] + 4);
        if (i == 3) {
            // The fifth item moved the inline items to a heap array of twice the capacity.
            EXPECT_NE(msg.m->items, msg.m->static_items);
            EXPECT_EQ(msg.m->items_size, 2 * MARSHALLER_INLINE_ITEMS);
        }
    }
    EXPECT_EQ(msg.m->n_items, 13u);
    EXPECT_EQ(msg.m->items_size, 16u);

    // The buffer item is found again in the moved array: a write after it starts a new item, the next extends
    // it.
    msg.write(3);
    msg.write(3);
    EXPECT_EQ(msg.m->n_items, 14u);
    EXPECT_EQ(msg.m->items[13].len, 6u);
    EXPECT_EQ(msg.flatten(), msg.expected);
}

TEST(Marshaller, SubMarshallerSlotAndChainOrder) {
    Message msg;
    msg.write(6);
    SpiceMarshaller* sub1 = spice_marshaller_add_sub(msg.m);
    msg.expected.insert(msg.expected.end(), 4, 0);
    SpiceMarshaller* sub2 = spice_marshaller_add_sub(msg.m);
    msg.expected.insert(msg.expected.end(), 4, 0);
    msg.write(2);  // root bytes after the slots, still ahead of every sub-marshaller's bytes

    EXPECT_EQ(sub1->pointer_ref.marshaller, msg.m);
    EXPECT_EQ(sub1->pointer_ref.item_nr, 0u);
    EXPECT_EQ(sub1->pointer_ref.offset, 6u);
    EXPECT_FALSE(sub1->pointer_ref.is_64bit);
    EXPECT_EQ(sub2->pointer_ref.offset, 10u);
    EXPECT_EQ(msg.m->next, sub1);
    EXPECT_EQ(sub1->next, sub2);
    EXPECT_EQ(msg.data()->last_marshaller, sub2);

    uint8_t* a = spice_marshaller_reserve(sub1, 3);
    memcpy(a, "abc", 3);
    SpiceMarshaller* nested = spice_marshaller_add_sub(sub1);
    uint8_t* b = spice_marshaller_reserve(sub2, 2);
    memcpy(b, "xy", 2);
    uint8_t* c = spice_marshaller_reserve(nested, 1);
    *c = 'n';
    EXPECT_EQ(nested->pointer_ref.marshaller, sub1);
    EXPECT_EQ(nested->pointer_ref.offset, 3u);
    EXPECT_EQ(sub2->next, nested);

    for (char ch : std::string("abc\0\0\0\0xyn", 10)) {
        msg.expected.push_back(static_cast<uint8_t>(ch));
    }
    EXPECT_EQ(spice_marshaller_get_size(msg.m), 16u);
    EXPECT_EQ(spice_marshaller_get_size(sub1), 7u);
    EXPECT_EQ(spice_marshaller_get_total_size(sub2), msg.expected.size());
    EXPECT_EQ(msg.flatten(), msg.expected);
}

// A root of one item whose sub-marshallers hold data must still be copied whole, not returned in place.
TEST(Marshaller, OneRootItemWithSubMarshallerDataIsCopied) {
    Message msg;
    msg.write(6);
    SpiceMarshaller* sub = spice_marshaller_add_sub(msg.m);
    msg.expected.insert(msg.expected.end(), 4, 0);
    msg.write(sub, 5);
    ASSERT_EQ(msg.m->n_items, 1u);

    size_t length = 0;
    int free_result = 0;
    uint8_t* p = spice_marshaller_flatten(msg.m, 0, &length, &free_result);
    EXPECT_EQ(free_result, 1);
    EXPECT_EQ(Bytes(p, p + length), msg.expected);
    free(p);
}

TEST(Marshaller, FlattenFromSkipOffsets) {
    Message msg;
    msg.write(4000);
    msg.write(200);  // second buffer
    uint8_t ref[50];
    memset(ref, 0x5A, sizeof ref);
    spice_marshaller_new_item(msg.m, ref, sizeof ref, nullptr, nullptr);
    msg.expected.insert(msg.expected.end(), ref, ref + sizeof ref);
    const size_t total = msg.expected.size();
    ASSERT_EQ(spice_marshaller_get_total_size(msg.m), total);

    for (size_t skip : {size_t{0}, size_t{6}, size_t{4000}, size_t{4001}, total - 1}) {
        SCOPED_TRACE(skip);
        size_t length = 0;
        int free_result = 0;
        uint8_t* p = spice_marshaller_flatten(msg.m, skip, &length, &free_result);
        EXPECT_EQ(free_result, 1);
        EXPECT_EQ(Bytes(p, p + length), Bytes(msg.expected.begin() + skip, msg.expected.end()));
        free(p);
    }
    for (size_t skip : {total, total + 1}) {
        size_t length = 99;
        int free_result = 99;
        EXPECT_EQ(spice_marshaller_flatten(msg.m, skip, &length, &free_result), nullptr);
        EXPECT_EQ(length, 0u);
        EXPECT_EQ(free_result, 0);
    }
}

TEST(Marshaller, FlattenOfOneItemAtAndPastItsEnd) {
    Message msg;
    msg.write(10);
    size_t length = 99;
    int free_result = 99;
    EXPECT_EQ(spice_marshaller_flatten(msg.m, 10, &length, &free_result), nullptr);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(spice_marshaller_flatten(msg.m, 9, &length, &free_result), msg.m->items[0].data + 9);
    EXPECT_EQ(length, 1u);
    EXPECT_EQ(free_result, 0);
}

TEST(Marshaller, ResetReleasesItemsAndReusesChainedBuffers) {
    FreeCounter counter;
    Message msg;
    auto build = [&] {
        msg.expected.clear();
        msg.write(6);
        for (int i = 0; i < 5; i++) {
            msg.write(2040);  // after the first buffer, buffers of 2040, 4080 (two) and 4088 (two)
        }
        msg.write(3000);  // own block
        SpiceMarshaller* sub = spice_marshaller_add_sub(msg.m);
        msg.expected.insert(msg.expected.end(), 4, 0);
        spice_marshaller_new_item(sub, new uint8_t[8](), 8, FreeCounter::release, &counter);
        msg.expected.insert(msg.expected.end(), 8, 0);
        for (int i = 0; i < 5; i++) {  // grows the sub-marshaller's item array onto the heap
            spice_marshaller_new_item(sub, new uint8_t[1](), 1, FreeCounter::release, &counter);
            msg.expected.push_back(0);
        }
    };

    build();
    std::vector<MarshallerBuffer*> chain = msg.buffers();
    ASSERT_EQ(chain.size(), 4u);
    EXPECT_EQ(msg.flatten(), msg.expected);

    spice_marshaller_reset(msg.m);
    EXPECT_EQ(counter.calls, 6);
    EXPECT_EQ(msg.m->n_items, 0u);
    EXPECT_EQ(msg.m->next, nullptr);
    EXPECT_EQ(spice_marshaller_get_total_size(msg.m), 0u);
    EXPECT_EQ(spice_marshaller_get_size(msg.m), 0u);
    EXPECT_EQ(msg.data()->current_buffer, chain[0]);
    EXPECT_EQ(msg.data()->current_buffer_position, 0u);

    build();
    EXPECT_EQ(msg.buffers(), chain);  // the same buffers, none added
    EXPECT_EQ(msg.flatten(), msg.expected);
    EXPECT_EQ(spice_marshaller_get_total_size(msg.m), msg.expected.size());
}

// A small message lives in its first buffer; the chained ones double up to the largest size, a block of the
// separate size that fits a large buffer stays in it, and a kept buffer too small after a reset is replaced.
TEST(Marshaller, BuffersGrowWithTheMessage) {
    Message msg;
    msg.write(6);
    msg.write(12);
    EXPECT_EQ(msg.buffers().size(), 1u) << "a pong needs no buffer of its own";

    for (int i = 0; i < 38; i++) {  // 1, 2, 5, 10 and 20 per buffer
        msg.write(100);
    }
    std::vector<size_t> capacities;
    for (MarshallerBuffer* b : msg.buffers()) {
        capacities.push_back(b->capacity);
    }
    EXPECT_EQ(capacities, (std::vector<size_t>{MARSHALLER_FIRST_BUFFER_SIZE, 128, 256, 512, 1024, 2048}));
    msg.write(MARSHALLER_BUFFER_SIZE - 4000);  // 48 bytes left: a buffer of the largest size
    EXPECT_EQ(msg.buffers().size(), 7u);
    EXPECT_EQ(msg.buffers().back()->capacity, size_t(MARSHALLER_BUFFER_SIZE));
    uint8_t* large = msg.write(MARSHALLER_SEPARATE_ITEM_SIZE);
    EXPECT_EQ(msg.buffer_of(large), 6);
    EXPECT_EQ(msg.flatten(), msg.expected);

    spice_marshaller_reset(msg.m);
    msg.expected.clear();
    msg.write(MARSHALLER_FIRST_BUFFER_SIZE);
    uint8_t* p = msg.write(2000);  // the kept 128-byte buffer is too small for it
    std::vector<MarshallerBuffer*> chain = msg.buffers();
    ASSERT_EQ(chain.size(), 7u);
    EXPECT_EQ(chain[1]->capacity, 2000u);
    EXPECT_EQ(p, chain[1]->data);
    EXPECT_EQ(chain[2]->capacity, 256u);
    EXPECT_EQ(msg.flatten(), msg.expected);
}

TEST(Marshaller, DestroyReleasesReferencedItems) {
    FreeCounter counter;
    SpiceMarshaller* m = spice_marshaller_create();
    spice_marshaller_new_item(m, new uint8_t[4](), 4, FreeCounter::release, &counter);
    SpiceMarshaller* sub = spice_marshaller_add_sub(m);
    spice_marshaller_new_item(sub, new uint8_t[4](), 4, FreeCounter::release, &counter);
    spice_marshaller_reserve(m, 5000);
    spice_marshaller_destroy(m);
    EXPECT_EQ(counter.calls, 2);
}

TEST(Marshaller, LittleEndianPackedWrites) {
    Message msg;
    spice_marshaller_add_uint8(msg.m, 0x01);
    spice_marshaller_add_uint16(msg.m, 0x0302);
    spice_marshaller_add_uint32(msg.m, 0x07060504);
    spice_marshaller_add_uint64(msg.m, 0x0f0e0d0c0b0a0908);
    spice_marshaller_add_int32(msg.m, -2);
    spice_marshaller_add_int64(msg.m, -3);
    Bytes expected = {1,  2,    3,    4,    5,    6,    7,    8,    9,    10,   11,   12,   13,  14,
                      15, 0xFE, 0xFF, 0xFF, 0xFF, 0xFD, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(msg.flatten(), expected);
    EXPECT_EQ(msg.m->n_items, 1u);
}

TEST(MarshallerDeathTest, ResetOfSubMarshallerIsRefused) {
    SpiceMarshaller* m = spice_marshaller_create();
    SpiceMarshaller* sub = spice_marshaller_add_sub(m);
    EXPECT_DEATH(spice_marshaller_reset(sub), "assertion `d->marshallers == m' failed");
    spice_marshaller_destroy(m);
}

}  // namespace
