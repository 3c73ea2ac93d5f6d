// GetAdaptersAddresses and GetBestInterface over getifaddrs, /sys/class/net and /proc/net/route.
#include "ip_helper.h"

#include "winapi/iphlpapi.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <fstream>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <map>
#include <net/if.h>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <vector>

namespace winapi_internal {

namespace {

const char net_root[] = "/sys/class/net";
const char route_table[] = "/proc/net/route";

constexpr DWORD arp_ether = 1;
constexpr DWORD arp_loopback = 772;

bool read_text(const std::string& path, std::string* text) {
    std::ifstream file(path);
    if (!file) {
        return false;
    }
    std::ostringstream out;
    out << file.rdbuf();
    *text = out.str();
    return true;
}

bool read_number(const std::string& path, unsigned long* value) {
    std::string text;
    if (!read_text(path, &text)) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    *value = strtoul(text.c_str(), &end, 10);
    return end != text.c_str() && errno == 0;
}

bool is_folder(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

struct Adapter {
    std::string name;
    DWORD index = 0;
    unsigned flags = 0;  // IFF_*
    std::vector<uint8_t> mac;
    std::vector<in_addr> ipv4;
    std::vector<uint8_t> prefix;  // per address
};

IF_OPER_STATUS oper_status(const Adapter& adapter) {
    std::string state;
    if (read_text(std::string(net_root) + "/" + adapter.name + "/operstate", &state)) {
        state.erase(state.find_last_not_of(" \n") + 1);
        static const std::pair<const char*, IF_OPER_STATUS> states[] = {
            {"up", IfOperStatusUp},
            {"down", IfOperStatusDown},
            {"testing", IfOperStatusTesting},
            {"dormant", IfOperStatusDormant},
            {"notpresent", IfOperStatusNotPresent},
            {"lowerlayerdown", IfOperStatusLowerLayerDown},
        };
        for (const auto& entry : states) {
            if (state == entry.first) {
                return entry.second;
            }
        }
    }
    // The loopback and some virtual interfaces say "unknown"; their flags tell whether they carry traffic.
    return (adapter.flags & IFF_UP) && (adapter.flags & IFF_RUNNING) ? IfOperStatusUp : IfOperStatusUnknown;
}

uint8_t prefix_length(const sockaddr* mask) {
    if (!mask || mask->sa_family != AF_INET) {
        return 0;
    }
    uint32_t bits = ntohl(reinterpret_cast<const sockaddr_in*>(mask)->sin_addr.s_addr);
    uint8_t length = 0;
    while (bits & 0x80000000u) {
        ++length;
        bits <<= 1;
    }
    return length;
}

bool list_adapters(std::vector<Adapter>* out) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        return false;
    }
    std::map<std::string, Adapter> by_name;
    for (ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        if (!entry->ifa_name) {
            continue;
        }
        Adapter& adapter = by_name[entry->ifa_name];
        adapter.name = entry->ifa_name;
        adapter.flags = entry->ifa_flags;
        if (!entry->ifa_addr) {
            continue;
        }
        if (entry->ifa_addr->sa_family == AF_PACKET) {
            const auto* link = reinterpret_cast<const sockaddr_ll*>(entry->ifa_addr);
            size_t length = std::min<size_t>(link->sll_halen, MAX_ADAPTER_ADDRESS_LENGTH);
            adapter.mac.assign(link->sll_addr, link->sll_addr + length);
        } else if (entry->ifa_addr->sa_family == AF_INET) {
            adapter.ipv4.push_back(reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr);
            adapter.prefix.push_back(prefix_length(entry->ifa_netmask));
        }
    }
    freeifaddrs(list);
    out->clear();
    for (auto& named : by_name) {
        named.second.index = if_nametoindex(named.first.c_str());
        if (named.second.index) {  // gone since it was listed
            out->push_back(std::move(named.second));
        }
    }
    std::sort(out->begin(), out->end(), [](const Adapter& a, const Adapter& b) { return a.index < b.index; });
    return true;
}

size_t align8(size_t n) {
    return (n + 7) & ~size_t(7);
}

// Bytes one adapter takes in the caller's buffer: its record, its addresses, its name and its texts.
size_t adapter_size(const Adapter& adapter, ULONG flags) {
    size_t size = align8(sizeof(IP_ADAPTER_ADDRESSES));
    if (!(flags & GAA_FLAG_SKIP_UNICAST)) {
        size += adapter.ipv4.size() * align8(sizeof(IP_ADAPTER_UNICAST_ADDRESS) + sizeof(sockaddr_in));
    }
    size += align8(adapter.name.size() + 1);
    size_t texts = 1 + (adapter.name.size() + 1) * ((flags & GAA_FLAG_SKIP_FRIENDLY_NAME) ? 1 : 2);
    return size + align8(texts * sizeof(WCHAR));
}

WCHAR* put_text(uint8_t*& at, const std::string& text) {
    auto* out = reinterpret_cast<WCHAR*>(at);
    for (size_t i = 0; i < text.size(); ++i) {
        out[i] = static_cast<unsigned char>(text[i]);
    }
    out[text.size()] = 0;
    at += (text.size() + 1) * sizeof(WCHAR);
    return out;
}

// Lays one adapter out at `at`, which has adapter_size bytes.
IP_ADAPTER_ADDRESSES* put_adapter(uint8_t* at, const Adapter& adapter, ULONG flags) {
    auto* record = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(at);
    memset(record, 0, sizeof(*record));
    record->Length = sizeof(IP_ADAPTER_ADDRESSES);
    record->IfIndex = adapter.index;
    at += align8(sizeof(IP_ADAPTER_ADDRESSES));

    if (!(flags & GAA_FLAG_SKIP_UNICAST)) {
        IP_ADAPTER_UNICAST_ADDRESS** link = &record->FirstUnicastAddress;
        for (size_t i = 0; i < adapter.ipv4.size(); ++i) {
            auto* unicast = reinterpret_cast<IP_ADAPTER_UNICAST_ADDRESS*>(at);
            memset(unicast, 0, sizeof(*unicast));
            auto* address = reinterpret_cast<sockaddr_in*>(at + sizeof(IP_ADAPTER_UNICAST_ADDRESS));
            memset(address, 0, sizeof(*address));
            address->sin_family = AF_INET;
            address->sin_addr = adapter.ipv4[i];
            unicast->Length = sizeof(IP_ADAPTER_UNICAST_ADDRESS);
            unicast->Address.lpSockaddr = reinterpret_cast<sockaddr*>(address);
            unicast->Address.iSockaddrLength = sizeof(sockaddr_in);
            unicast->DadState = IpDadStatePreferred;
            unicast->ValidLifetime = 0xFFFFFFFFu;
            unicast->PreferredLifetime = 0xFFFFFFFFu;
            unicast->LeaseLifetime = 0xFFFFFFFFu;
            unicast->OnLinkPrefixLength = adapter.prefix[i];
            *link = unicast;
            link = &unicast->Next;
            at += align8(sizeof(IP_ADAPTER_UNICAST_ADDRESS) + sizeof(sockaddr_in));
        }
    }

    record->AdapterName = reinterpret_cast<PCHAR>(at);
    memcpy(at, adapter.name.c_str(), adapter.name.size() + 1);
    at += align8(adapter.name.size() + 1);
    record->DnsSuffix = put_text(at, "");
    record->Description = put_text(at, adapter.name);
    if (!(flags & GAA_FLAG_SKIP_FRIENDLY_NAME)) {
        record->FriendlyName = put_text(at, adapter.name);
    }

    const bool loopback = (adapter.flags & IFF_LOOPBACK) != 0;
    if (!loopback) {
        memcpy(record->PhysicalAddress, adapter.mac.data(), adapter.mac.size());
        record->PhysicalAddressLength = static_cast<DWORD>(adapter.mac.size());
    }
    unsigned long mtu = 0;
    if (read_number(std::string(net_root) + "/" + adapter.name + "/mtu", &mtu) && mtu <= 0xFFFFFFFFu) {
        record->Mtu = static_cast<DWORD>(mtu);
    }
    record->IfType = interface_type(net_root, adapter.name, loopback);
    record->OperStatus = oper_status(adapter);
    return record;
}

}  // namespace

DWORD interface_type(const std::string& root, const std::string& name, bool loopback) {
    const std::string folder = root + "/" + name;
    unsigned long type = 0;
    if (!read_number(folder + "/type", &type)) {
        return loopback ? IF_TYPE_SOFTWARE_LOOPBACK : IF_TYPE_OTHER;
    }
    if (type == arp_ether) {
        bool wireless = is_folder(folder + "/wireless") || is_folder(folder + "/phy80211");
        return wireless ? IF_TYPE_IEEE80211 : IF_TYPE_ETHERNET_CSMACD;
    }
    return type == arp_loopback ? IF_TYPE_SOFTWARE_LOOPBACK : IF_TYPE_OTHER;
}

std::string route_interface(const std::string& table, uint32_t destination) {
    constexpr unsigned route_up = 0x1;  // RTF_UP
    std::istringstream lines(table);
    std::string line;
    if (!std::getline(lines, line) || line.compare(0, 5, "Iface") != 0) {
        return std::string();
    }
    std::string best;
    int best_length = -1;
    unsigned long best_metric = 0;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string name, dest, gateway, flags, refs, use, metric, mask;
        if (!(fields >> name >> dest >> gateway >> flags >> refs >> use >> metric >> mask)) {
            continue;
        }
        // Addresses are the in-memory words printed in hex: the same value as an address in network order.
        char* end = nullptr;
        unsigned long route_dest = strtoul(dest.c_str(), &end, 16);
        bool ok = *end == 0;
        unsigned long route_mask = strtoul(mask.c_str(), &end, 16);
        ok = ok && *end == 0;
        unsigned long route_flags = strtoul(flags.c_str(), &end, 16);
        ok = ok && *end == 0;
        unsigned long route_metric = strtoul(metric.c_str(), &end, 10);
        ok = ok && *end == 0;
        if (!ok || route_dest > 0xFFFFFFFFu || route_mask > 0xFFFFFFFFu || !(route_flags & route_up)) {
            continue;
        }
        if ((destination & route_mask) != route_dest) {
            continue;
        }
        int length = __builtin_popcount(static_cast<uint32_t>(route_mask));
        if (length > best_length || (length == best_length && route_metric < best_metric)) {
            best = name;
            best_length = length;
            best_metric = route_metric;
        }
    }
    return best;
}

}  // namespace winapi_internal

using namespace winapi_internal;

ULONG WINAPI GetAdaptersAddresses(ULONG family, ULONG flags, PVOID reserved, PIP_ADAPTER_ADDRESSES addresses,
                                  PULONG size) {
    if (!size || reserved || family != AF_INET) {
        return ERROR_INVALID_PARAMETER;
    }
    std::vector<Adapter> adapters;
    if (!list_adapters(&adapters)) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    if (adapters.empty()) {
        return ERROR_NO_DATA;
    }
    uint64_t needed = 0;
    for (const Adapter& adapter : adapters) {
        needed += adapter_size(adapter, flags);
    }
    if (needed > 0xFFFFFFFFu) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    if (!addresses || *size < needed) {
        *size = static_cast<ULONG>(needed);
        return ERROR_BUFFER_OVERFLOW;
    }
    auto* at = reinterpret_cast<uint8_t*>(addresses);
    IP_ADAPTER_ADDRESSES* previous = nullptr;
    for (const Adapter& adapter : adapters) {
        IP_ADAPTER_ADDRESSES* record = put_adapter(at, adapter, flags);
        if (previous) {
            previous->Next = record;
        }
        previous = record;
        at += adapter_size(adapter, flags);
    }
    return ERROR_SUCCESS;
}

DWORD WINAPI GetBestInterface(IPAddr destination, PDWORD bestIfIndex) {
    if (!bestIfIndex) {
        return ERROR_INVALID_PARAMETER;
    }
    std::string name;
    if ((ntohl(destination) >> 24) == 127) {
        // The loopback net lives in the local table, which /proc/net/route does not show.
        ifaddrs* list = nullptr;
        if (getifaddrs(&list) == 0) {
            for (ifaddrs* entry = list; entry && name.empty(); entry = entry->ifa_next) {
                if (entry->ifa_name && (entry->ifa_flags & IFF_LOOPBACK)) {
                    name = entry->ifa_name;
                }
            }
            freeifaddrs(list);
        }
    } else {
        std::string table;
        if (read_text(route_table, &table)) {
            name = route_interface(table, destination);
        }
    }
    DWORD index = name.empty() ? 0 : if_nametoindex(name.c_str());
    if (!index) {
        return ERROR_NOT_FOUND;
    }
    *bestIfIndex = index;
    return NO_ERROR;
}
