// Global memory. Every live block is in a table, so a stale or foreign handle is refused instead of being
// followed: clipboard data crosses threads and owners, and a wrong handle must not touch freed memory.
#include "winapi/winbase.h"

#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>

namespace {

struct GlobalBlock {
    void* data = nullptr;
    SIZE_T size = 0;
    bool moveable = false;
    unsigned locks = 0;
};

// Keyed by handle: the data pointer for fixed blocks, the address of the record for moveable ones (never a
// data pointer, so the two kinds cannot collide).
std::mutex table_lock;
std::map<HGLOBAL, std::unique_ptr<GlobalBlock>>& blocks() {  // table_lock
    static auto* table = new std::map<HGLOBAL, std::unique_ptr<GlobalBlock>>();
    return *table;
}

const SIZE_T MAX_GLOBAL_BLOCK = (SIZE_T)-1 >> 1;

GlobalBlock* find(HGLOBAL memory) {  // table_lock held
    auto it = blocks().find(memory);
    return it == blocks().end() ? nullptr : it->second.get();
}

}  // namespace

HGLOBAL WINAPI GlobalAlloc(UINT flags, SIZE_T bytes) {
    if (bytes > MAX_GLOBAL_BLOCK) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    auto block = std::make_unique<GlobalBlock>();
    // One byte at least, so that every block has a distinct address.
    SIZE_T allocated = bytes ? bytes : 1;
    block->data = (flags & GMEM_ZEROINIT) ? calloc(1, allocated) : malloc(allocated);
    if (!block->data) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    block->size = bytes;
    block->moveable = (flags & GMEM_MOVEABLE) != 0;
    HGLOBAL handle = block->moveable ? (HGLOBAL)block.get() : (HGLOBAL)block->data;
    std::lock_guard<std::mutex> guard(table_lock);
    blocks()[handle] = std::move(block);
    return handle;
}

LPVOID WINAPI GlobalLock(HGLOBAL memory) {
    std::lock_guard<std::mutex> guard(table_lock);
    GlobalBlock* block = find(memory);
    if (!block) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (block->moveable) {
        block->locks++;
    }
    return block->data;
}

BOOL WINAPI GlobalUnlock(HGLOBAL memory) {
    std::lock_guard<std::mutex> guard(table_lock);
    GlobalBlock* block = find(memory);
    if (!block) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!block->moveable) {
        return FALSE;
    }
    if (block->locks == 0) {
        SetLastError(ERROR_NOT_LOCKED);
        return FALSE;
    }
    if (--block->locks == 0) {
        SetLastError(ERROR_SUCCESS);
        return FALSE;
    }
    return TRUE;
}

SIZE_T WINAPI GlobalSize(HGLOBAL memory) {
    std::lock_guard<std::mutex> guard(table_lock);
    GlobalBlock* block = find(memory);
    if (!block) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return block->size;
}

HGLOBAL WINAPI GlobalFree(HGLOBAL memory) {
    std::unique_ptr<GlobalBlock> block;
    {
        std::lock_guard<std::mutex> guard(table_lock);
        auto it = blocks().find(memory);
        if (it == blocks().end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return memory;
        }
        block = std::move(it->second);
        blocks().erase(it);
    }
    free(block->data);
    return nullptr;
}
