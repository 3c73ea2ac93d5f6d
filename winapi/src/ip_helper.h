// The pieces of the IP helper that read the system's files, open to the layer's tests.
#pragma once

#include <cstdint>
#include <string>

#include "winapi/wintypes.h"

namespace winapi_internal {

// IF_TYPE_* of the interface whose folder is net_root/name (as /sys/class/net/eth0): ARP type 1 is Ethernet,
// or 802.11 when the folder holds `wireless` or `phy80211`; 772 is the loopback; anything else,
// IF_TYPE_OTHER. Without a readable type, `loopback` (the interface's IFF_LOOPBACK) decides between loopback
// and other.
DWORD interface_type(const std::string& net_root, const std::string& name, bool loopback);

// The interface a routing table in the layout of /proc/net/route sends destination (network byte order)
// through: among the routes that are up and match, the longest mask, then the lowest metric, then the first.
// Empty when none matches or the text is not such a table.
std::string route_interface(const std::string& table, uint32_t destination);

}  // namespace winapi_internal
