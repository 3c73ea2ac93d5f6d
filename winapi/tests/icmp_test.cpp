#include "winapi/icmpapi.h"
#include "winapi/windows.h"

#include <cstring>
#include <gtest/gtest.h>
#include <vector>

namespace {

constexpr IPAddr loopback = 0x0100007F;  // 127.0.0.1 in network order

TEST(IcmpTest, EchoToLoopbackReturnsTheDataAndARoundTrip) {
    HANDLE icmp = IcmpCreateFile();
    ASSERT_NE(icmp, INVALID_HANDLE_VALUE);
    char request[32];
    std::memset(request, 'E', sizeof request);
    std::vector<unsigned char> reply(sizeof(ICMP_ECHO_REPLY) + sizeof request + 8);
    DWORD count = IcmpSendEcho(icmp, loopback, request, sizeof request, nullptr, reply.data(),
                               (DWORD)reply.size(), 2000);
    DWORD error = GetLastError();
    EXPECT_TRUE(IcmpCloseHandle(icmp));
    if (count == 0 && error == ERROR_ACCESS_DENIED) {
        GTEST_SKIP() << "this user may not open ICMP sockets (net.ipv4.ping_group_range)";
    }
    ASSERT_EQ(count, 1u) << error;
    const ICMP_ECHO_REPLY* echo = (const ICMP_ECHO_REPLY*)reply.data();
    EXPECT_EQ(echo->Status, (ULONG)IP_SUCCESS);
    EXPECT_EQ(echo->Address, loopback);
    EXPECT_LT(echo->RoundTripTime, 2000u);
    ASSERT_EQ(echo->DataSize, sizeof request);
    EXPECT_EQ(echo->Data, reply.data() + sizeof(ICMP_ECHO_REPLY));
    EXPECT_EQ(std::memcmp(echo->Data, request, sizeof request), 0);
}

TEST(IcmpTest, RefusedRequestsSendNothing) {
    HANDLE icmp = IcmpCreateFile();
    ASSERT_NE(icmp, INVALID_HANDLE_VALUE);
    char request[32] = {};
    // Record and data must fit; the record is larger in a 64-bit program than in a 32-bit one.
    std::vector<unsigned char> reply(sizeof(ICMP_ECHO_REPLY) + sizeof request - 1);
    EXPECT_EQ(IcmpSendEcho(icmp, loopback, request, sizeof request, nullptr, reply.data(),
                           (DWORD)reply.size(), 200),
              0u);
    EXPECT_EQ(GetLastError(), (DWORD)IP_BUF_TOO_SMALL);
    EXPECT_EQ(IcmpSendEcho(icmp, loopback, nullptr, 4, nullptr, reply.data(), (DWORD)reply.size(), 200), 0u);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(IcmpCloseHandle(icmp));

    EXPECT_EQ(IcmpSendEcho(icmp, loopback, request, sizeof request, nullptr, reply.data(),
                           (DWORD)reply.size(), 200),
              0u);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    EXPECT_FALSE(IcmpCloseHandle(event)) << "only ICMP handles";
    CloseHandle(event);
}

}  // namespace
