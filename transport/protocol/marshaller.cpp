#include "transport/protocol/marshaller.h"

#include <cstdlib>
#include <cstring>

#include "runtime/log.h"
#include "runtime/mem.h"

namespace {

void free_heap_item(uint8_t* data, void* /*opaque*/) {
    free(data);
}

void marshaller_init(SpiceMarshaller* m, SpiceMarshallerData* data) {
    m->total_size = 0;
    m->data = data;
    m->next = nullptr;
    m->pointer_ref = MarshallerRef{};
    m->n_items = 0;
    m->items_size = MARSHALLER_INLINE_ITEMS;
    m->items = m->static_items;
}

MarshallerItem* marshaller_add_item(SpiceMarshaller* m) {
    if (m->n_items == m->items_size) {
        size_t capacity = m->items_size * 2;
        if (m->items == m->static_items) {
            m->items = static_cast<MarshallerItem*>(spice_malloc_n(capacity, sizeof(MarshallerItem)));
            memcpy(m->items, m->static_items, m->n_items * sizeof(MarshallerItem));
        } else {
            m->items =
                static_cast<MarshallerItem*>(spice_realloc_n(m->items, capacity, sizeof(MarshallerItem)));
        }
        m->items_size = capacity;
    }
    MarshallerItem* item = &m->items[m->n_items++];
    *item = MarshallerItem{};
    return item;
}

void marshaller_release_items(SpiceMarshaller* m) {
    for (size_t i = 0; i < m->n_items; i++) {
        MarshallerItem* item = &m->items[i];
        if (item->free_data) {
            item->free_data(item->data, item->opaque);
        }
    }
    m->n_items = 0;
}

size_t buffer_room(const SpiceMarshallerData* d) {
    return d->current_buffer->capacity - d->current_buffer_position;
}

// Moves to the buffer after the current one for a reservation of size bytes, which must fit there. A chained
// buffer kept from before a reset is used again when it is large enough, and replaced when it is not.
void next_buffer(SpiceMarshallerData* d, size_t size) {
    MarshallerBuffer* current = d->current_buffer;
    MarshallerBuffer* kept = current->next;
    if (!kept || kept->capacity < size) {
        size_t capacity = current->capacity * 2;
        if (capacity > MARSHALLER_BUFFER_SIZE) {
            capacity = MARSHALLER_BUFFER_SIZE;
        }
        if (capacity < size) {
            capacity = size;
        }
        auto* buffer = static_cast<MarshallerBuffer*>(spice_malloc(sizeof(MarshallerBuffer) + capacity));
        buffer->capacity = capacity;
        buffer->data = reinterpret_cast<uint8_t*>(buffer + 1);
        buffer->next = kept ? kept->next : nullptr;
        free(kept);
        current->next = buffer;
    }
    d->current_buffer = current->next;
    d->current_buffer_position = 0;
}

}  // namespace

SpiceMarshaller* spice_marshaller_create() {
    auto* d = static_cast<SpiceMarshallerData*>(spice_malloc0(sizeof(SpiceMarshallerData)));
    SpiceMarshaller* m = &d->static_marshaller;
    marshaller_init(m, d);
    d->marshallers = m;
    d->last_marshaller = m;
    d->buffers.capacity = MARSHALLER_FIRST_BUFFER_SIZE;
    d->buffers.data = d->first_data;
    d->current_buffer = &d->buffers;
    return m;
}

void spice_marshaller_reset(SpiceMarshaller* m) {
    SpiceMarshallerData* d = m->data;
    spice_assert(d->marshallers == m);

    marshaller_release_items(m);
    SpiceMarshaller* sub = m->next;
    while (sub) {
        SpiceMarshaller* next = sub->next;
        marshaller_release_items(sub);
        if (sub->items != sub->static_items) {
            free(sub->items);
        }
        free(sub);
        sub = next;
    }
    // The root keeps its item array and the chained buffers for the next message.
    m->next = nullptr;
    m->total_size = 0;
    d->last_marshaller = m;
    d->total_size = 0;
    d->current_buffer = &d->buffers;
    d->current_buffer_position = 0;
    d->current_buffer_marshaller = nullptr;
    d->current_buffer_item = 0;
}

void spice_marshaller_destroy(SpiceMarshaller* m) {
    SpiceMarshallerData* d = m->data;
    spice_marshaller_reset(m);
    if (m->items != m->static_items) {
        free(m->items);
    }
    MarshallerBuffer* buffer = d->buffers.next;
    while (buffer) {
        MarshallerBuffer* next = buffer->next;
        free(buffer);
        buffer = next;
    }
    free(d);
}

uint8_t* spice_marshaller_reserve(SpiceMarshaller* m, size_t size) {
    SpiceMarshallerData* d = m->data;
    uint8_t* res;

    if (d->current_buffer_marshaller == m && d->current_buffer_item + 1 == m->n_items &&
        size <= buffer_room(d)) {
        MarshallerItem* item = &m->items[d->current_buffer_item];
        res = item->data + item->len;
        item->len += size;
        d->current_buffer_position += size;
    } else {
        MarshallerItem* item = marshaller_add_item(m);
        item->len = size;
        if (size <= buffer_room(d) || size < MARSHALLER_SEPARATE_ITEM_SIZE) {
            if (size > buffer_room(d)) {
                next_buffer(d, size);
            }
            item->data = d->current_buffer->data + d->current_buffer_position;
            d->current_buffer_position += size;
            d->current_buffer_marshaller = m;
            d->current_buffer_item = m->n_items - 1;
        } else {
            item->data = static_cast<uint8_t*>(spice_malloc(size));
            item->free_data = free_heap_item;
        }
        res = item->data;
    }

    m->total_size += size;
    d->total_size += size;
    return res;
}

void spice_marshaller_new_item(SpiceMarshaller* m, uint8_t* data, size_t size,
                               spice_marshaller_item_free_func free_data, void* opaque) {
    MarshallerItem* item = marshaller_add_item(m);
    item->data = data;
    item->len = size;
    item->free_data = free_data;
    item->opaque = opaque;
    m->total_size += size;
    m->data->total_size += size;
}

SpiceMarshaller* spice_marshaller_add_sub(SpiceMarshaller* m) {
    SpiceMarshallerData* d = m->data;
    memset(spice_marshaller_reserve(m, 4), 0, 4);

    auto* sub = static_cast<SpiceMarshaller*>(spice_malloc(sizeof(SpiceMarshaller)));
    marshaller_init(sub, d);
    d->last_marshaller->next = sub;
    d->last_marshaller = sub;

    const MarshallerItem& slot_item = m->items[m->n_items - 1];
    sub->pointer_ref = MarshallerRef{m, m->n_items - 1, false, slot_item.len - 4};
    return sub;
}

uint8_t* spice_marshaller_flatten(SpiceMarshaller* m, size_t skip, size_t* length, int* free_result) {
    SpiceMarshallerData* d = m->data;
    SpiceMarshaller* root = d->marshallers;

    *free_result = 0;
    if (skip >= d->total_size) {
        *length = 0;
        return nullptr;
    }
    // One item holding every byte of the message (no sub-marshaller wrote anything) needs no copy.
    if (root->n_items == 1 && root->items[0].len == d->total_size) {
        *length = root->items[0].len - skip;
        return root->items[0].data + skip;
    }

    *free_result = 1;
    *length = d->total_size - skip;
    auto* out = static_cast<uint8_t*>(spice_malloc(*length));
    uint8_t* p = out;
    for (SpiceMarshaller* part = root; part; part = part->next) {
        for (size_t i = 0; i < part->n_items; i++) {
            const MarshallerItem& item = part->items[i];
            if (skip >= item.len) {
                skip -= item.len;
                continue;
            }
            size_t n = item.len - skip;
            memcpy(p, item.data + skip, n);
            p += n;
            skip = 0;
        }
    }
    return out;
}

void spice_marshaller_set_base(SpiceMarshaller* m, size_t base) {
    m->data->base = base;
}

size_t spice_marshaller_get_size(SpiceMarshaller* m) {
    return m->total_size;
}

size_t spice_marshaller_get_total_size(SpiceMarshaller* m) {
    return m->data->total_size;
}

void spice_marshaller_add_uint8(SpiceMarshaller* m, uint8_t v) {
    *spice_marshaller_reserve(m, 1) = v;
}

void spice_marshaller_add_uint16(SpiceMarshaller* m, uint16_t v) {
    uint8_t* p = spice_marshaller_reserve(m, 2);
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void spice_marshaller_add_uint32(SpiceMarshaller* m, uint32_t v) {
    uint8_t* p = spice_marshaller_reserve(m, 4);
    for (int i = 0; i < 4; i++) {
        p[i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

void spice_marshaller_add_uint64(SpiceMarshaller* m, uint64_t v) {
    uint8_t* p = spice_marshaller_reserve(m, 8);
    for (int i = 0; i < 8; i++) {
        p[i] = static_cast<uint8_t>(v >> (8 * i));
    }
}
