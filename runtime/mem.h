#pragma once

#include <cstddef>
#include <cstdint>

// Allocation for the procedural modules. None of these returns a failure: they log at SPICE ERROR and
// abort. A zero size gives a null pointer. Blocks are freed with free() (or spice_realloc to size 0).
void* spice_malloc(size_t size);
void* spice_malloc0(size_t size);
void* spice_realloc(void* ptr, size_t size);
// count * size, refused (logged and aborted) when the product exceeds 32 bits.
void* spice_malloc_n(size_t count, size_t size);
void* spice_realloc_n(void* ptr, size_t count, size_t size);
char* spice_strdup(const char* str);
void* spice_memdup(const void* mem, size_t size);

enum {
    SPICE_CHUNKS_FLAGS_UNSTABLE = 1 << 0,  // the chunk data may change under the reader
    SPICE_CHUNKS_FLAGS_FREE = 1 << 1,      // the chunk buffers belong to the record
};

struct SpiceChunk {
    uint8_t* data;
    uint32_t len;
};

// Chunked data: data_size bytes in total, spread over num_chunks buffers.
struct SpiceChunks {
    uint32_t data_size;
    uint32_t num_chunks;
    uint32_t flags;
    SpiceChunk chunk[];
};

// A zero-filled record with room for num_chunks chunks.
SpiceChunks* spice_chunks_new(uint32_t num_chunks);
// Frees the record, and its chunk buffers when SPICE_CHUNKS_FLAGS_FREE is set.
void spice_chunks_destroy(SpiceChunks* chunks);
// Turns a record of two or more chunks into one chunk over a new block of data_size bytes that the
// record owns. Chunks beyond data_size are not copied; a shortfall leaves zeros.
void spice_chunks_flatten(SpiceChunks* chunks);
