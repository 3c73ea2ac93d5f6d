// SpiceMarshaller: the bytes of one outgoing message, kept as a list of items over chained buffers and read
// out as one block at send time. The first buffer is small and lies in the message's own allocation, and each
// further one doubles up to MARSHALLER_BUFFER_SIZE, so that a small message (a pong, an acknowledgement)
// costs about its size and a large one about twice its size at most.
//
// A marshaller is built by one thread and then handed, under the channel's queue lock, to the channel's
// worker, which alone reads and destroys it.
#pragma once

#include <cstddef>
#include <cstdint>

struct SpiceMarshaller;
struct SpiceMarshallerData;

// Called when an item's data is released (reset or destroy); opaque is the value given with the item.
typedef void (*spice_marshaller_item_free_func)(uint8_t* data, void* opaque);

struct MarshallerItem {
    uint8_t* data;
    size_t len;
    spice_marshaller_item_free_func free_data;  // null for data inside a buffer
    void* opaque;
};

enum : size_t {
    MARSHALLER_FIRST_BUFFER_SIZE = 64,
    MARSHALLER_BUFFER_SIZE = 4088,  // the largest chained buffer
    MARSHALLER_INLINE_ITEMS = 4,
    // Reservations at least this large that do not fit the current buffer get a block of their own rather
    // than wasting the rest of the buffer and starting a new one.
    MARSHALLER_SEPARATE_ITEM_SIZE = 2045,
};

struct MarshallerBuffer {
    MarshallerBuffer* next;
    size_t capacity;
    uint8_t*
        data;  // capacity bytes: the first buffer's in SpiceMarshallerData, a chained one's right behind it
};

// The 4-byte slot of a parent marshaller that stands for a sub-marshaller's data.
struct MarshallerRef {
    SpiceMarshaller* marshaller;
    size_t item_nr;
    bool is_64bit;
    size_t offset;
};

struct SpiceMarshaller {
    size_t total_size;  // bytes written to this marshaller
    SpiceMarshallerData* data;
    SpiceMarshaller* next;  // chain order is the order of the linearized bytes
    MarshallerRef pointer_ref;
    size_t n_items;
    size_t items_size;  // capacity of items
    MarshallerItem* items;
    MarshallerItem static_items[MARSHALLER_INLINE_ITEMS];
};

// Shared by the root marshaller and its sub-marshallers; one allocation per message.
struct SpiceMarshallerData {
    size_t total_size;             // bytes of all marshallers
    size_t base;                   // where pointer offsets count from (the message header's length)
    SpiceMarshaller* marshallers;  // the root
    SpiceMarshaller* last_marshaller;
    size_t current_buffer_position;
    MarshallerBuffer* current_buffer;
    // The item that ends at the current position, kept as marshaller and index because item arrays move when
    // they grow. current_buffer_marshaller is null when no item ends there.
    SpiceMarshaller* current_buffer_marshaller;
    size_t current_buffer_item;
    SpiceMarshaller static_marshaller;
    MarshallerBuffer buffers;  // the chain starts with this embedded buffer
    uint8_t first_data[MARSHALLER_FIRST_BUFFER_SIZE];
};

SpiceMarshaller* spice_marshaller_create();

// Resets, then frees every chained buffer and the message's data. m must be the root.
void spice_marshaller_destroy(SpiceMarshaller* m);

// Releases every item and sub-marshaller and rewinds the root for a new message; the chained buffers stay and
// are used again. m must be the root.
void spice_marshaller_reset(SpiceMarshaller* m);

// size writable bytes appended to m. Never fails: running out of memory aborts.
uint8_t* spice_marshaller_reserve(SpiceMarshaller* m, size_t size);

// The name the channel classes use for spice_marshaller_reserve.
inline uint8_t* spice_marshaller_reserve_space(SpiceMarshaller* m, size_t size) {
    return spice_marshaller_reserve(m, size);
}

// Appends size bytes at data by reference: they are not copied, and free_data (data, opaque), when not null,
// is called once the message no longer needs them.
void spice_marshaller_new_item(SpiceMarshaller* m, uint8_t* data, size_t size,
                               spice_marshaller_item_free_func free_data, void* opaque);

// Reserves a 4-byte pointer slot (written 0) in m and returns a new marshaller whose data follows every
// earlier marshaller's in the linearized message.
SpiceMarshaller* spice_marshaller_add_sub(SpiceMarshaller* m);

// The whole message from byte skip on, as one block. free_result says whether the caller must free() it: a
// message that is one item is returned in place. skip at or past the end gives null, length 0 and nothing to
// free.
uint8_t* spice_marshaller_flatten(SpiceMarshaller* m, size_t skip, size_t* length, int* free_result);

void spice_marshaller_set_base(SpiceMarshaller* m, size_t base);
size_t spice_marshaller_get_size(SpiceMarshaller* m);        // bytes of m alone
size_t spice_marshaller_get_total_size(SpiceMarshaller* m);  // bytes of the whole message

// Packed little-endian writes, as every message body is laid out.
void spice_marshaller_add_uint8(SpiceMarshaller* m, uint8_t v);
void spice_marshaller_add_uint16(SpiceMarshaller* m, uint16_t v);
void spice_marshaller_add_uint32(SpiceMarshaller* m, uint32_t v);
void spice_marshaller_add_uint64(SpiceMarshaller* m, uint64_t v);
inline void spice_marshaller_add_int32(SpiceMarshaller* m, int32_t v) {
    spice_marshaller_add_uint32(m, static_cast<uint32_t>(v));
}
inline void spice_marshaller_add_int64(SpiceMarshaller* m, int64_t v) {
    spice_marshaller_add_uint64(m, static_cast<uint64_t>(v));
}
