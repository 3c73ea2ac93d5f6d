// The check of what arrives on an echo socket, apart from the socket that brought it.
#pragma once

#include "winapi/icmpapi.h"

#include <cstddef>
#include <cstdint>

namespace winapi_internal {

// One datagram received on the echo socket for the echo with this sequence number, from source (network
// order). False when it is not the answer to that echo (too short, another type or code, another sequence).
// Otherwise the reply record at the start of reply_buffer is filled in, its data copied after the record as
// far as reply_size leaves room; reply_size is at least sizeof(ICMP_ECHO_REPLY).
bool take_echo_reply(const uint8_t* packet, size_t size, uint16_t sequence, IPAddr source,
                     ULONG round_trip_ms, void* reply_buffer, DWORD reply_size);

}  // namespace winapi_internal
