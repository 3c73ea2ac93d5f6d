#include "runtime/mem.h"

#include <cstdlib>
#include <cstring>

#include "runtime/log.h"

// Allocation failures end the process whatever SPICE_ABORT_LEVEL says: the callers cannot handle them.
#define MEM_FATAL(...)            \
    do {                          \
        spice_error(__VA_ARGS__); \
        abort();                  \
    } while (0)

namespace {

const size_t MAX_ALLOCATION = UINT32_MAX;

void* checked_malloc(size_t size) {
    void* mem = malloc(size);
    if (!mem) {
        MEM_FATAL("unable to allocate %lu bytes", static_cast<unsigned long>(size));
    }
    return mem;
}

}  // namespace

void* spice_malloc(size_t size) {
    return size ? checked_malloc(size) : nullptr;
}

void* spice_malloc0(size_t size) {
    if (size == 0) {
        return nullptr;
    }
    void* mem = calloc(1, size);
    if (!mem) {
        MEM_FATAL("unable to allocate %lu bytes", static_cast<unsigned long>(size));
    }
    return mem;
}

void* spice_realloc(void* ptr, size_t size) {
    if (size == 0) {
        free(ptr);
        return nullptr;
    }
    void* mem = realloc(ptr, size);
    if (!mem) {
        MEM_FATAL("unable to allocate %lu bytes", static_cast<unsigned long>(size));
    }
    return mem;
}

void* spice_malloc_n(size_t count, size_t size) {
    if (size != 0 && count > MAX_ALLOCATION / size) {
        MEM_FATAL("overflow allocating %lu*%lu bytes", static_cast<unsigned long>(count),
                  static_cast<unsigned long>(size));
    }
    return spice_malloc(count * size);
}

void* spice_realloc_n(void* ptr, size_t count, size_t size) {
    if (size != 0 && count > MAX_ALLOCATION / size) {
        MEM_FATAL("spice_realloc_n: overflow allocating %lu*%lu bytes", static_cast<unsigned long>(count),
                  static_cast<unsigned long>(size));
    }
    return spice_realloc(ptr, count * size);
}

char* spice_strdup(const char* str) {
    if (!str) {
        return nullptr;
    }
    size_t size = strlen(str) + 1;
    char* copy = static_cast<char*>(checked_malloc(size));
    memcpy(copy, str, size);
    return copy;
}

void* spice_memdup(const void* mem, size_t size) {
    if (!mem || size == 0) {
        return nullptr;
    }
    void* copy = checked_malloc(size);
    memcpy(copy, mem, size);
    return copy;
}

SpiceChunks* spice_chunks_new(uint32_t num_chunks) {
    auto* chunks = static_cast<SpiceChunks*>(
        spice_malloc0(sizeof(SpiceChunks) + static_cast<uint64_t>(num_chunks) * sizeof(SpiceChunk)));
    chunks->num_chunks = num_chunks;
    return chunks;
}

void spice_chunks_destroy(SpiceChunks* chunks) {
    if (!chunks) {
        return;
    }
    if (chunks->flags & SPICE_CHUNKS_FLAGS_FREE) {
        for (uint32_t i = 0; i < chunks->num_chunks; i++) {
            free(chunks->chunk[i].data);
        }
    }
    free(chunks);
}

void spice_chunks_flatten(SpiceChunks* chunks) {
    if (chunks->num_chunks < 2) {
        return;
    }
    auto* data = static_cast<uint8_t*>(spice_malloc(chunks->data_size));
    // The chunk lengths come from the peer: never copy more than data_size, and zero what they leave.
    uint64_t copied = 0;
    for (uint32_t i = 0; i < chunks->num_chunks && copied < chunks->data_size; i++) {
        uint64_t len = chunks->chunk[i].len;
        if (len > chunks->data_size - copied) {
            len = chunks->data_size - copied;
        }
        if (len != 0) {
            memcpy(data + copied, chunks->chunk[i].data, len);
            copied += len;
        }
    }
    if (copied < chunks->data_size) {
        memset(data + copied, 0, chunks->data_size - copied);
    }
    if (chunks->flags & SPICE_CHUNKS_FLAGS_FREE) {
        for (uint32_t i = 0; i < chunks->num_chunks; i++) {
            free(chunks->chunk[i].data);
        }
    }
    chunks->num_chunks = 1;
    chunks->flags = (chunks->flags & ~SPICE_CHUNKS_FLAGS_UNSTABLE) | SPICE_CHUNKS_FLAGS_FREE;
    chunks->chunk[0].data = data;
    chunks->chunk[0].len = chunks->data_size;
}
