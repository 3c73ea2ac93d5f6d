// Global memory: fixed and moveable blocks, lock counts, and refusal of handles that are not live blocks.
#include "winapi/winbase.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(GlobalMemoryTest, FixedBlockHandleIsItsPointer) {
    HGLOBAL block = GlobalAlloc(GPTR, 64);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(GlobalLock(block), (LPVOID)block);
    EXPECT_EQ(GlobalSize(block), 64u);
    const uint8_t* bytes = (const uint8_t*)block;
    for (int i = 0; i < 64; i++) {
        ASSERT_EQ(bytes[i], 0) << i;
    }
    EXPECT_FALSE(GlobalUnlock(block));
    EXPECT_EQ(GlobalFree(block), nullptr);
}

TEST(GlobalMemoryTest, MoveableBlockCountsLocks) {
    HGLOBAL block = GlobalAlloc(GHND, 10);
    ASSERT_NE(block, nullptr);
    char* first = (char*)GlobalLock(block);
    ASSERT_NE(first, nullptr);
    EXPECT_NE((void*)first, (void*)block);
    memcpy(first, "123456789", 10);
    EXPECT_EQ(GlobalLock(block), (LPVOID)first);
    EXPECT_TRUE(GlobalUnlock(block));  // still locked once
    SetLastError(ERROR_INVALID_DATA);
    EXPECT_FALSE(GlobalUnlock(block));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SUCCESS);
    EXPECT_FALSE(GlobalUnlock(block));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_LOCKED);
    EXPECT_STREQ((const char*)GlobalLock(block), "123456789");
    GlobalUnlock(block);
    EXPECT_EQ(GlobalFree(block), nullptr);
}

TEST(GlobalMemoryTest, HandlesThatAreNotLiveBlocksAreRefused) {
    HGLOBAL block = GlobalAlloc(GMEM_DDESHARE, 8);  // the clipboard's text blocks are made this way
    ASSERT_NE(block, nullptr);
    ASSERT_EQ(GlobalFree(block), nullptr);
    int local = 0;
    for (HGLOBAL bad : {block, (HGLOBAL)&local}) {
        EXPECT_EQ(GlobalLock(bad), nullptr);
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
        EXPECT_EQ(GlobalSize(bad), 0u);
        EXPECT_EQ(GlobalFree(bad), bad);
    }
    EXPECT_EQ(GlobalAlloc(GMEM_MOVEABLE, (SIZE_T)-1), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_ENOUGH_MEMORY);
}

}  // namespace
