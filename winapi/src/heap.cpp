// The process heap and fixed local memory, over malloc. Each block carries a small header with the size asked
// for (HeapSize reports it) and a mark that catches pointers that did not come from here.
#include "winapi/heapapi.h"
#include "winapi/winbase.h"

#include <cstdlib>
#include <cstring>

namespace {

struct alignas(16) BlockHeader {
    uint64_t mark;
    size_t size;
};

const uint64_t LIVE_MARK = 0x6B74772D68656170ull;  // "ktw-heap"
const uint64_t FREED_MARK = 0x6B74772D66726565ull;
const size_t MAX_BLOCK = ((size_t)-1 >> 1) - sizeof(BlockHeader);

// Stands for the one heap; only its address is used.
int process_heap;

BlockHeader* header_of(LPCVOID memory) {
    if (!memory || ((uintptr_t)memory % alignof(BlockHeader)) != 0) {
        return nullptr;
    }
    BlockHeader* header = (BlockHeader*)memory - 1;
    return header->mark == LIVE_MARK ? header : nullptr;
}

void* allocate(SIZE_T bytes, bool zero) {
    if (bytes > MAX_BLOCK) {
        return nullptr;
    }
    BlockHeader* header =
        (BlockHeader*)(zero ? calloc(1, sizeof(BlockHeader) + bytes) : malloc(sizeof(BlockHeader) + bytes));
    if (!header) {
        return nullptr;
    }
    header->mark = LIVE_MARK;
    header->size = bytes;
    return header + 1;
}

bool release(LPVOID memory) {
    BlockHeader* header = header_of(memory);
    if (!header) {
        return false;
    }
    header->mark = FREED_MARK;
    free(header);
    return true;
}

bool is_process_heap(HANDLE heap) {
    return heap == (HANDLE)&process_heap;
}

}  // namespace

HANDLE WINAPI GetProcessHeap() {
    return (HANDLE)&process_heap;
}

LPVOID WINAPI HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
    if (!is_process_heap(heap)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    void* memory = allocate(bytes, (flags & HEAP_ZERO_MEMORY) != 0);
    if (!memory) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    return memory;
}

LPVOID WINAPI HeapReAlloc(HANDLE heap, DWORD flags, LPVOID memory, SIZE_T bytes) {
    if (!is_process_heap(heap)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    BlockHeader* header = header_of(memory);
    if (!header) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    size_t old_size = header->size;
    if (bytes > MAX_BLOCK || ((flags & HEAP_REALLOC_IN_PLACE_ONLY) && bytes > old_size)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (flags & HEAP_REALLOC_IN_PLACE_ONLY) {
        header->size = bytes;
        return memory;
    }
    BlockHeader* grown = (BlockHeader*)realloc(header, sizeof(BlockHeader) + bytes);
    if (!grown) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    grown->size = bytes;
    if ((flags & HEAP_ZERO_MEMORY) && bytes > old_size) {
        memset((char*)(grown + 1) + old_size, 0, bytes - old_size);
    }
    return grown + 1;
}

BOOL WINAPI HeapFree(HANDLE heap, DWORD flags, LPVOID memory) {
    if (!is_process_heap(heap)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!memory) {
        return TRUE;
    }
    if (!release(memory)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

SIZE_T WINAPI HeapSize(HANDLE heap, DWORD flags, LPCVOID memory) {
    BlockHeader* header = is_process_heap(heap) ? header_of(memory) : nullptr;
    if (!header) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return (SIZE_T)-1;
    }
    return header->size;
}

HLOCAL WINAPI LocalAlloc(UINT flags, SIZE_T bytes) {
    if (flags & ~(UINT)LMEM_ZEROINIT) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    void* memory = allocate(bytes, (flags & LMEM_ZEROINIT) != 0);
    if (!memory) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    return memory;
}

HLOCAL WINAPI LocalFree(HLOCAL memory) {
    if (memory && !release(memory)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return memory;
    }
    return nullptr;
}
