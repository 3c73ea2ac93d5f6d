// The echo's check of what arrives on its socket, on arbitrary datagrams. Input: bytes 0-1 the echo's
// sequence number (big-endian, as on the wire), bytes 2-3 the room for data after the reply record
// (little-endian); the rest is the datagram, as large as the echo's receive buffer at most. An accepted reply
// must be an echo reply of that sequence number, and its data a copy of the datagram's within the room, in a
// buffer of exactly the size given.
#include "winapi/src/icmp_reply.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

using namespace winapi_internal;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const size_t header = 4, icmp_header = 8, max_datagram = icmp_header + 65500;
    if (size < header || size - header > max_datagram) {
        return 0;
    }
    const uint16_t sequence = uint16_t(data[0] << 8 | data[1]);
    const size_t room = size_t(data[2]) | size_t(data[3]) << 8;
    // A block of its own, so that a read past the datagram's end is seen.
    std::vector<uint8_t> datagram(data + header, data + size);
    std::vector<uint8_t> buffer(sizeof(ICMP_ECHO_REPLY) + room, 0xEE);
    const IPAddr source = 0x0100007F;
    if (!take_echo_reply(datagram.data(), datagram.size(), sequence, source, 7, buffer.data(),
                         DWORD(buffer.size()))) {
        return 0;
    }
    ICMP_ECHO_REPLY reply;
    memcpy(&reply, buffer.data(), sizeof(reply));
    const size_t expected = std::min(datagram.size() - icmp_header, room);
    if (datagram.size() < icmp_header || datagram[0] != 0 || datagram[1] != 0 ||
        uint16_t(datagram[6] << 8 | datagram[7]) != sequence || reply.Status != IP_SUCCESS ||
        reply.Address != source || reply.DataSize != expected ||
        reply.Data != buffer.data() + sizeof(ICMP_ECHO_REPLY) ||
        memcmp(buffer.data() + sizeof(ICMP_ECHO_REPLY), datagram.data() + icmp_header, expected) != 0) {
        abort();
    }
    return 0;
}
