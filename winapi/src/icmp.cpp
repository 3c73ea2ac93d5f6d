// IcmpCreateFile, IcmpCloseHandle and IcmpSendEcho over an unprivileged ICMP socket.
#include "winapi/icmpapi.h"

#include "event_fd.h"
#include "icmp_reply.h"
#include "kernel_object.h"
#include "tick_clock.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <vector>

namespace winapi_internal {

namespace {

class IcmpObject : public KernelObject {};

constexpr size_t icmp_header_size = 8;
constexpr uint8_t icmp_echo_reply_type = 0;
constexpr uint8_t icmp_echo_request_type = 8;
constexpr WORD max_request_size = 65500;

std::atomic<uint16_t> next_sequence{1};

uint64_t now_ms() {
    return monotonic_ns() / 1000000;
}

DWORD echo_error_from_errno(int error) {
    switch (error) {
        case EACCES:
        case EPERM:
            return ERROR_ACCESS_DENIED;
        case EHOSTUNREACH:
        case ECONNREFUSED:
            return IP_DEST_HOST_UNREACHABLE;
        case ENETUNREACH:
            return IP_DEST_NET_UNREACHABLE;
        default:
            return IP_GENERAL_FAILURE;
    }
}

DWORD fail(PICMP_ECHO_REPLY reply, DWORD error) {
    if (error >= IP_STATUS_BASE) {
        reply->Status = error;
    }
    SetLastError(error);
    return 0;
}

}  // namespace

bool take_echo_reply(const uint8_t* packet, size_t size, uint16_t sequence, IPAddr source,
                     ULONG round_trip_ms, void* reply_buffer, DWORD reply_size) {
    if (size < icmp_header_size || packet[0] != icmp_echo_reply_type || packet[1] != 0 ||
        (uint16_t)(packet[6] << 8 | packet[7]) != sequence) {
        return false;  // not the answer to this echo
    }
    PICMP_ECHO_REPLY reply = (PICMP_ECHO_REPLY)reply_buffer;
    size_t data_size = std::min<size_t>(size - icmp_header_size, reply_size - sizeof(ICMP_ECHO_REPLY));
    reply->Address = source;
    reply->Status = IP_SUCCESS;
    reply->RoundTripTime = round_trip_ms;
    reply->DataSize = (USHORT)data_size;
    reply->Data = (uint8_t*)reply_buffer + sizeof(ICMP_ECHO_REPLY);
    std::memcpy(reply->Data, packet + icmp_header_size, data_size);
    return true;
}

}  // namespace winapi_internal

using namespace winapi_internal;

HANDLE WINAPI IcmpCreateFile() {
    HANDLE handle = handle_insert(std::make_shared<IcmpObject>());
    return handle ? handle : INVALID_HANDLE_VALUE;
}

BOOL WINAPI IcmpCloseHandle(HANDLE icmpHandle) {
    if (!handle_lookup_as<IcmpObject>(icmpHandle)) {
        return FALSE;
    }
    return CloseHandle(icmpHandle);
}

DWORD WINAPI IcmpSendEcho(HANDLE icmpHandle, IPAddr destinationAddress, LPVOID requestData, WORD requestSize,
                          PIP_OPTION_INFORMATION requestOptions, LPVOID replyBuffer, DWORD replySize,
                          DWORD timeout) {
    if (!handle_lookup_as<IcmpObject>(icmpHandle)) {
        return 0;
    }
    if (!replyBuffer || (!requestData && requestSize > 0) || requestSize > max_request_size) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if ((uint64_t)replySize < sizeof(ICMP_ECHO_REPLY) + requestSize) {
        SetLastError(IP_BUF_TOO_SMALL);
        return 0;
    }
    PICMP_ECHO_REPLY reply = (PICMP_ECHO_REPLY)replyBuffer;
    std::memset(reply, 0, sizeof *reply);
    reply->Address = destinationAddress;

    UniqueFd socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP));
    if (!socket.valid()) {
        return fail(reply, echo_error_from_errno(errno));
    }
    // The system fills in the identifier and the checksum of an unprivileged echo, and hands this socket only
    // the replies that carry its identifier.
    uint16_t sequence = next_sequence++;
    std::vector<uint8_t> packet(icmp_header_size + requestSize, 0);
    packet[0] = icmp_echo_request_type;
    packet[6] = (uint8_t)(sequence >> 8);
    packet[7] = (uint8_t)sequence;
    if (requestSize > 0) {
        std::memcpy(packet.data() + icmp_header_size, requestData, requestSize);
    }
    sockaddr_in destination{};
    destination.sin_family = AF_INET;
    destination.sin_addr.s_addr = destinationAddress;
    const uint64_t sent_at = now_ms();
    if (::sendto(socket.get(), packet.data(), packet.size(), 0, (const sockaddr*)&destination,
                 sizeof destination) < 0) {
        return fail(reply, echo_error_from_errno(errno));
    }

    std::vector<uint8_t> received(icmp_header_size + max_request_size);
    for (;;) {
        uint64_t elapsed = now_ms() - sent_at;
        if (elapsed >= timeout) {
            return fail(reply, IP_REQ_TIMED_OUT);
        }
        pollfd ready{socket.get(), POLLIN, 0};
        int polled = ::poll(&ready, 1, (int)std::min<uint64_t>(timeout - elapsed, 1u << 30));
        if (polled < 0 && errno == EINTR) {
            continue;
        }
        if (polled <= 0) {
            return fail(reply, polled == 0 ? IP_REQ_TIMED_OUT : IP_GENERAL_FAILURE);
        }
        sockaddr_in source{};
        socklen_t source_size = sizeof source;
        ssize_t n =
            ::recvfrom(socket.get(), received.data(), received.size(), 0, (sockaddr*)&source, &source_size);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            return fail(reply, echo_error_from_errno(errno));
        }
        if (take_echo_reply(received.data(), (size_t)n, sequence, source.sin_addr.s_addr,
                            (ULONG)(now_ms() - sent_at), replyBuffer, replySize)) {
            return 1;
        }
    }
}
