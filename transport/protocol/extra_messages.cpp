#include "transport/protocol/extra_messages.h"

#include <cstring>

#include "transport/protocol/parse_structs.h"

namespace {

// n bytes copied directly behind the record just taken.
void copy_behind(ParseCtx& c, const uint8_t* bytes, uint64_t n) {
    uint8_t* out = c.b.array<uint8_t>(n);
    if (out && bytes) {
        memcpy(out, bytes, n);
    }
}

}  // namespace

void parse_display_extra_320(ParseCtx& c) {
    SpiceMsgDisplayExtra320* m = c.b.record<SpiceMsgDisplayExtra320>();
    m->value = c.r.u32();
    uint32_t size1 = c.r.u32();
    uint32_t size2 = c.r.u32();
    m->size1 = size1;
    m->size2 = size2;
    uint64_t n = uint64_t(size1) + size2;  // two u32 sizes: the sum needs 64 bits
    copy_behind(c, c.r.bytes(n), n);
}

void parse_display_video_fragment(ParseCtx& c) {
    SpiceMsgDisplayVideoFragment* m = c.b.record<SpiceMsgDisplayVideoFragment>();
    m->id = c.r.u32();
    m->frame_id = c.r.u64();
    m->index = c.r.u32();
    m->restart = c.r.u16();
    m->last = c.r.u16();
    uint32_t size = c.r.u32();
    m->data_size = size;
    copy_behind(c, c.r.bytes(size), size);
}

void parse_display_draw_cache_build(ParseCtx& c) {
    SpiceMsgDisplayDrawCacheBuild* m = c.b.record<SpiceMsgDisplayDrawCacheBuild>();
    m->cache_id = c.r.u64();
    m->format = c.r.u8();
    m->flags = c.r.u8();
    m->width = c.r.u32();
    m->height = c.r.u32();
    m->surface_id = c.r.u32();
    m->reserved = c.r.u32();
    m->area = read_rect(c.r);
}

void parse_display_draw_cache_copy(ParseCtx& c) {
    SpiceMsgDisplayDrawCacheCopy* m = c.b.record<SpiceMsgDisplayDrawCacheCopy>();
    read_display_base(c, &m->base);
    read_copy_body(c, &m->data);
    m->cache_id = c.r.u64();
}

void parse_cursor_draw(ParseCtx& c) {
    SpiceMsgCursorDraw* m = c.b.record<SpiceMsgCursorDraw>();
    m->color = c.r.u32();
    m->pickbox_size = c.r.u16();
    m->cursor_size = c.r.u16();
    m->left = c.r.u16();
    m->top = c.r.u16();
    m->right = c.r.u16();
    m->bottom = c.r.u16();
}
