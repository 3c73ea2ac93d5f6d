#include "winapi/windows.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

bool all_zero(const void* memory, size_t size) {
    const unsigned char* p = (const unsigned char*)memory;
    for (size_t i = 0; i < size; i++) {
        if (p[i] != 0) {
            return false;
        }
    }
    return true;
}

TEST(Heap, AllocatesZeroedBlocksAndKeepsTheirSize) {
    HANDLE heap = GetProcessHeap();
    ASSERT_NE(heap, nullptr);
    char* block = (char*)HeapAlloc(heap, HEAP_ZERO_MEMORY, 100);
    ASSERT_NE(block, nullptr);
    EXPECT_TRUE(all_zero(block, 100));
    EXPECT_EQ(HeapSize(heap, 0, block), 100u);
    memset(block, 'x', 100);

    block = (char*)HeapReAlloc(heap, HEAP_ZERO_MEMORY, block, 5000);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(block[99], 'x') << "the old contents move with the block";
    EXPECT_TRUE(all_zero(block + 100, 4900)) << "the added bytes are zero";
    EXPECT_EQ(HeapSize(heap, 0, block), 5000u);
    EXPECT_EQ(HeapReAlloc(heap, HEAP_REALLOC_IN_PLACE_ONLY, block, 6000), nullptr);
    EXPECT_EQ(HeapReAlloc(heap, HEAP_REALLOC_IN_PLACE_ONLY, block, 10), block);
    EXPECT_EQ(HeapSize(heap, 0, block), 10u);
    EXPECT_TRUE(HeapFree(heap, 0, block));
    EXPECT_TRUE(HeapFree(heap, 0, nullptr));

    void* empty = HeapAlloc(heap, 0, 0);
    EXPECT_NE(empty, nullptr);
    EXPECT_EQ(HeapSize(heap, 0, empty), 0u);
    HeapFree(heap, 0, empty);
}

TEST(Heap, RefusesForeignHeapsAndPointers) {
    HANDLE heap = GetProcessHeap();
    EXPECT_EQ(HeapAlloc((HANDLE)0x1234, 0, 10), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_EQ(HeapAlloc(heap, 0, (SIZE_T)-1), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_ENOUGH_MEMORY);

    alignas(16) unsigned char not_from_heap[64] = {};
    EXPECT_FALSE(HeapFree(heap, 0, not_from_heap + 32));
    EXPECT_EQ(HeapSize(heap, 0, not_from_heap + 32), (SIZE_T)-1);
}

TEST(LocalMemory, FixedBlocksAreFreedByLocalFree) {
    char* block = (char*)LocalAlloc(LPTR, 64);
    ASSERT_NE(block, nullptr);
    EXPECT_TRUE(all_zero(block, 64));
    EXPECT_EQ(LocalFree(block), nullptr);
    EXPECT_EQ(LocalFree(nullptr), nullptr);
    EXPECT_EQ(LocalAlloc(LMEM_MOVEABLE, 64), nullptr) << "moveable local memory is not provided";
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
}

}  // namespace
