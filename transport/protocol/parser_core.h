// The machinery every server-message parser runs on (plain, extra and compact): the block builder, the parse
// context and the message tables. Internal to transport/.
//
// Each message parser is written once and run twice over the same body. The first run measures: it reads and
// checks every field and only counts the bytes the parsed block needs. The second run, over one block of
// exactly that size, writes. A parser therefore never decides anything from what it wrote, only from what it
// read, and writes fixed records freely in both runs (the measuring run hands out a scratch record that is
// never read). Arrays are the one place a parser must look at the mode: while measuring, array() gives NULL
// and the elements are skipped, not read. A parser that also updates state of its own while it reads (the
// compact draw encoding's context) must measure on a copy of that state, so that the writing run starts from
// the same values.
#pragma once

#include <cstddef>
#include <cstdint>

#include "transport/protocol/server_messages.h"
#include "transport/protocol/wire_reader.h"

class BlockBuilder {
public:
    // A measuring builder.
    BlockBuilder() = default;
    // A writing builder over a block of capacity bytes.
    BlockBuilder(uint8_t* block, uint64_t capacity) : block_(block), capacity_(capacity) {}

    bool writing() const { return block_ != nullptr; }
    bool failed() const { return failed_; }
    uint64_t used() const { return used_; }

    // A record at the next multiple of its alignment (at least 4). Never NULL: in the measuring run, and
    // after an overrun, it is a scratch area that must not be read back.
    template <class T>
    T* record() {
        static_assert(sizeof(T) <= kScratchSize, "record larger than the measuring scratch");
        return static_cast<T*>(take(sizeof(T), alignof(T) < 4 ? 4 : alignof(T)));
    }
    // count elements directly behind the previous record or array. NULL while measuring (or after an
    // overrun).
    template <class T>
    T* array(uint64_t count) {
        if (count > kMaxBlock / sizeof(T)) {
            failed_ = true;
            return nullptr;
        }
        void* p = take(count * sizeof(T), alignof(T));
        return writing() && !failed_ ? static_cast<T*>(p) : nullptr;
    }

private:
    static constexpr size_t kScratchSize = 256;
    static constexpr uint64_t kMaxBlock = uint64_t(1) << 40;
    void* take(uint64_t bytes, uint64_t align);

    uint8_t* block_ = nullptr;
    uint64_t capacity_ = 0;
    uint64_t used_ = 0;
    bool failed_ = false;
};

// Protocol generation of a parser: the current one (major version 2) or generation 1.
enum class Gen { V1 = 1, V2 = 2 };

struct ParseCtx {
    WireReader r;     // the fixed part, read in order
    WireReader body;  // the whole body, from which pointer fields are followed
    BlockBuilder& b;
    Gen gen;
    int minor;
    // State a parser carries from one message to the next (the compact draw encoding's context); each run is
    // handed its own, so that the measuring run cannot disturb what the writing run starts from.
    void* state = nullptr;

    bool ok() const { return r.ok(); }
    // Fails the whole parse; sub-structure parsers that read through a reader of their own report here.
    void fail() { r.fail(); }

    // A pointer field: a u32 offset (generation 1: a u64 of which the low 32 bits count). -1 when absent.
    int64_t pointer(WireReader& in);
    int64_t pointer() { return pointer(r); }
    // A reader at a body offset given by a pointer field; it fails when the offset is not inside the body.
    WireReader target(int64_t offset) const { return body.at(offset < 0 ? body.size() : uint64_t(offset)); }

    // An inline array of count elements of wire_size bytes each, read by read_one into block records.
    template <class T, class ReadOne>
    T* read_array(WireReader& in, uint64_t count, uint64_t wire_size, ReadOne read_one) {
        if (!in.need(count, wire_size)) {
            return nullptr;
        }
        T* out = b.template array<T>(count);
        if (!out) {
            in.skip(count * wire_size);
            return nullptr;
        }
        for (uint64_t i = 0; i < count; i++) {
            out[i] = read_one(in);
        }
        return out;
    }
    // size bytes copied into the block and followed by a NUL (peer strings are used as C strings).
    char* copy_string(const uint8_t* bytes, uint32_t size);
};

typedef void (*BodyParser)(ParseCtx& c);

enum class MessageKind : uint8_t {
    Parsed,  // the body parser builds a block
    Raw,     // the result is the body itself
    Empty,   // a 1-byte block; no byte is read
};

struct MessageEntry {
    uint16_t type;
    MessageKind kind;
    BodyParser parse;  // Parsed only
    const char* name;
};

constexpr MessageEntry parsed_msg(uint16_t type, BodyParser parse, const char* name) {
    return MessageEntry{type, MessageKind::Parsed, parse, name};
}
constexpr MessageEntry raw_msg(uint16_t type, const char* name) {
    return MessageEntry{type, MessageKind::Raw, nullptr, name};
}
constexpr MessageEntry empty_msg(uint16_t type, const char* name) {
    return MessageEntry{type, MessageKind::Empty, nullptr, name};
}

struct MessageTable {
    const char* channel;
    Gen gen;
    const MessageEntry* entries;
    size_t count;
};

// Runs one entry over a body: the measuring run, one allocation, the writing run. Failures are logged.
uint8_t* parse_message_entry(const MessageEntry& entry, Gen gen, uint8_t* message_start, uint8_t* message_end,
                             int minor, size_t* size_out, message_destructor_t* free_message);

// The same for a body parser that carries state: the measuring run gets measure_state, the writing run
// write_state (see ParseCtx::state). name appears in the failure logs.
uint8_t* parse_message_body(BodyParser parse, const char* name, Gen gen, uint8_t* message_start,
                            uint8_t* message_end, int minor, void* measure_state, void* write_state,
                            size_t* size_out, message_destructor_t* free_message);

// The channel parser over a channel's table, the common messages of its generation first. Failures are
// logged.
uint8_t* parse_channel_message(const MessageTable& table, uint8_t* message_start, uint8_t* message_end,
                               uint16_t message_type, int minor, size_t* size_out,
                               message_destructor_t* free_message);

// The common messages (1-8 and 100; generation 1: 1-7).
extern const MessageTable common_messages_v2;
extern const MessageTable common_messages_v1;
