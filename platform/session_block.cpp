#include "platform/session_block.h"

#include "runtime/threads.h"

#include <algorithm>
#include <cstring>

namespace {

// The block and its lock; the record is all zeros until a block arrives.
struct Store {
    Mutex lock;
    SessionBlock::Bytes bytes{};  // guarded by lock
};

Store& store() {
    static Store instance;
    return instance;
}

}  // namespace

bool SessionBlock::set(const void* data, size_t size) {
    if (!data || size != SIZE) {
        return false;
    }
    Store& s = store();
    Lock lock(s.lock);
    std::memcpy(s.bytes.data(), data, SIZE);
    return true;
}

void SessionBlock::clear() {
    Store& s = store();
    Lock lock(s.lock);
    s.bytes.fill(0);
}

SessionBlock::Bytes SessionBlock::get() {
    Store& s = store();
    Lock lock(s.lock);
    return s.bytes;
}

void SessionBlock::set_u32(size_t offset, uint32_t value) {
    if (offset > SIZE - 4) {
        return;
    }
    Store& s = store();
    Lock lock(s.lock);
    for (size_t i = 0; i < 4; ++i) {
        s.bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

void SessionBlock::set_text(size_t offset, size_t room, const std::string& text) {
    if (offset >= SIZE || room == 0 || room > SIZE - offset) {
        return;
    }
    size_t length = std::min(text.size(), room - 1);
    Store& s = store();
    Lock lock(s.lock);
    std::memset(s.bytes.data() + offset, 0, room);
    std::memcpy(s.bytes.data() + offset, text.data(), length);
}

namespace {

uint64_t little_endian(size_t offset, size_t width) {
    if (offset > SessionBlock::SIZE - width) {
        return 0;
    }
    Store& s = store();
    Lock lock(s.lock);
    uint64_t value = 0;
    for (size_t i = 0; i < width; ++i) {
        value |= static_cast<uint64_t>(s.bytes[offset + i]) << (8 * i);
    }
    return value;
}

}  // namespace

uint32_t SessionBlock::u32(size_t offset) {
    return static_cast<uint32_t>(little_endian(offset, 4));
}

uint16_t SessionBlock::u16(size_t offset) {
    return static_cast<uint16_t>(little_endian(offset, 2));
}

uint64_t SessionBlock::u64(size_t offset) {
    return little_endian(offset, 8);
}

std::string SessionBlock::text(size_t offset, size_t room) {
    if (offset >= SIZE) {
        return std::string();
    }
    room = std::min(room, SIZE - offset);
    Store& s = store();
    Lock lock(s.lock);
    const char* start = reinterpret_cast<const char*>(s.bytes.data() + offset);
    const void* end = std::memchr(start, 0, room);
    return std::string(start, end ? static_cast<const char*>(end) - start : room);
}
