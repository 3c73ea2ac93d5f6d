// The adapters and the best interface against the machine's own view (getifaddrs, /sys/class/net, `ip
// route`), and the interface types and route choice over fixture folders and tables.
#include "../src/ip_helper.h"

#include "winapi/iphlpapi.h"
#include "winapi/windows.h"

#include <arpa/inet.h>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <map>
#include <net/if.h>
#include <netinet/in.h>
#include <set>
#include <string>
#include <vector>

#include "support/peer_programs.h"
#include "support/test_files.h"

namespace {

using winapi_internal::interface_type;
using winapi_internal::route_interface;

std::string read_line(const std::string& path) {
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return line;
}

std::string mac_text(const BYTE* mac, DWORD length) {
    std::string out;
    char part[4];
    for (DWORD i = 0; i < length; ++i) {
        snprintf(part, sizeof part, i ? ":%02x" : "%02x", mac[i]);
        out += part;
    }
    return out;
}

std::vector<uint8_t> adapters_buffer(ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST) {
    ULONG size = 0;
    EXPECT_EQ(ERROR_BUFFER_OVERFLOW, GetAdaptersAddresses(AF_INET, flags, nullptr, nullptr, &size));
    std::vector<uint8_t> buffer(size + 64);  // interfaces may come and go in between
    size = ULONG(buffer.size());
    EXPECT_EQ(ERROR_SUCCESS,
              GetAdaptersAddresses(AF_INET, flags, nullptr, (PIP_ADAPTER_ADDRESSES)buffer.data(), &size));
    return buffer;
}

TEST(IpHelperTest, AdaptersMatchTheMachinesInterfaces) {
    // What getifaddrs and sysfs say: name -> IPv4 addresses.
    std::map<std::string, std::set<std::string>> expected;
    ifaddrs* list = nullptr;
    ASSERT_EQ(0, getifaddrs(&list));
    for (ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        auto& addresses = expected[entry->ifa_name];
        if (entry->ifa_addr && entry->ifa_addr->sa_family == AF_INET) {
            addresses.insert(inet_ntoa(((sockaddr_in*)entry->ifa_addr)->sin_addr));
        }
    }
    freeifaddrs(list);

    std::vector<uint8_t> buffer = adapters_buffer();
    const uint8_t* begin = buffer.data();
    const uint8_t* end = begin + buffer.size();
    auto inside = [&](const void* p, size_t n) {
        return (const uint8_t*)p >= begin && (const uint8_t*)p + n <= end;
    };
    std::set<std::string> seen;
    DWORD last_index = 0;
    for (auto* a = (PIP_ADAPTER_ADDRESSES)buffer.data(); a; a = a->Next) {
        ASSERT_TRUE(inside(a, sizeof *a));
        ASSERT_TRUE(inside(a->AdapterName, 1));
        std::string name = a->AdapterName;
        SCOPED_TRACE(name);
        ASSERT_TRUE(expected.count(name));
        seen.insert(name);
        EXPECT_EQ(sizeof(IP_ADAPTER_ADDRESSES), a->Length);
        EXPECT_EQ(if_nametoindex(name.c_str()), a->IfIndex);
        EXPECT_GT(a->IfIndex, last_index);
        last_index = a->IfIndex;
        EXPECT_EQ(nullptr, a->FirstAnycastAddress);
        EXPECT_EQ(nullptr, a->FirstMulticastAddress);
        ASSERT_TRUE(inside(a->FriendlyName, 2 * (name.size() + 1)));
        EXPECT_EQ(std::u16string(name.begin(), name.end()), std::u16string(a->FriendlyName));

        const std::string folder = "/sys/class/net/" + name;
        const std::string type = read_line(folder + "/type");
        if (type == "772") {
            EXPECT_EQ(DWORD(IF_TYPE_SOFTWARE_LOOPBACK), a->IfType);
            EXPECT_EQ(0u, a->PhysicalAddressLength);
            EXPECT_EQ(IfOperStatusUp, a->OperStatus);
        } else {
            if (type == "1") {
                bool wireless = std::filesystem::is_directory(folder + "/wireless");
                EXPECT_EQ(DWORD(wireless ? IF_TYPE_IEEE80211 : IF_TYPE_ETHERNET_CSMACD), a->IfType);
            }
            EXPECT_EQ(read_line(folder + "/address"), mac_text(a->PhysicalAddress, a->PhysicalAddressLength));
            const std::string state = read_line(folder + "/operstate");
            if (state == "up" || state == "down") {
                EXPECT_EQ(state == "up" ? IfOperStatusUp : IfOperStatusDown, a->OperStatus);
            }
        }
        EXPECT_EQ(std::to_string(a->Mtu), read_line(folder + "/mtu"));

        std::set<std::string> addresses;
        for (auto* u = a->FirstUnicastAddress; u; u = u->Next) {
            ASSERT_TRUE(inside(u, sizeof *u));
            ASSERT_TRUE(inside(u->Address.lpSockaddr, sizeof(sockaddr_in)));
            ASSERT_EQ(int(sizeof(sockaddr_in)), u->Address.iSockaddrLength);
            auto* address = (sockaddr_in*)u->Address.lpSockaddr;
            EXPECT_EQ(AF_INET, address->sin_family);
            addresses.insert(inet_ntoa(address->sin_addr));
        }
        EXPECT_EQ(expected[name], addresses);
    }
    EXPECT_EQ(expected.size(), seen.size());

    // Without unicast addresses the same adapters come in less room.
    std::vector<uint8_t> bare = adapters_buffer(GAA_FLAG_SKIP_UNICAST);
    size_t count = 0;
    for (auto* a = (PIP_ADAPTER_ADDRESSES)bare.data(); a; a = a->Next, ++count) {
        EXPECT_EQ(nullptr, a->FirstUnicastAddress);
    }
    EXPECT_EQ(seen.size(), count);
}

TEST(IpHelperTest, ShortBuffersAndBadArgumentsAreRefused) {
    const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST;
    ULONG needed = 0;
    ASSERT_EQ(ERROR_BUFFER_OVERFLOW, GetAdaptersAddresses(AF_INET, flags, nullptr, nullptr, &needed));
    ASSERT_GT(needed, sizeof(IP_ADAPTER_ADDRESSES));

    // One byte short: refused with the size, and nothing is written.
    std::vector<uint8_t> buffer(needed, 0xAB);
    ULONG size = needed - 1;
    EXPECT_EQ(ERROR_BUFFER_OVERFLOW,
              GetAdaptersAddresses(AF_INET, flags, nullptr, (PIP_ADAPTER_ADDRESSES)buffer.data(), &size));
    EXPECT_EQ(needed, size);
    EXPECT_EQ(std::vector<uint8_t>(needed, 0xAB), buffer);
    size = needed;
    EXPECT_EQ(ERROR_SUCCESS,
              GetAdaptersAddresses(AF_INET, flags, nullptr, (PIP_ADAPTER_ADDRESSES)buffer.data(), &size));

    int reserved = 0;
    EXPECT_EQ(ERROR_INVALID_PARAMETER, GetAdaptersAddresses(AF_INET, flags, nullptr, nullptr, nullptr));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, GetAdaptersAddresses(AF_INET6, flags, nullptr, nullptr, &size));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, GetAdaptersAddresses(AF_INET, flags, &reserved, nullptr, &size));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, GetBestInterface(0, nullptr));
}

TEST(IpHelperTest, InterfaceTypesFromTheSysfsFolders) {
    test_support::TempDir root;
    auto make = [&](const std::string& name, const char* type, const char* sub) {
        std::filesystem::create_directories(root.file(name));
        if (type) {
            std::ofstream(root.file(name + "/type")) << type << "\n";
        }
        if (sub) {
            std::filesystem::create_directories(root.file(name + "/" + sub));
        }
    };
    struct Case {
        const char* name;
        const char* type;  // null: no type file
        const char* sub;   // a folder inside, or null
        bool loopback;
        DWORD expected;
    };
    const Case cases[] = {
        {"eth0", "1", nullptr, false, IF_TYPE_ETHERNET_CSMACD},
        {"wlan0", "1", "wireless", false, IF_TYPE_IEEE80211},
        {"wlp2s0", "1", "phy80211", false, IF_TYPE_IEEE80211},
        {"lo", "772", nullptr, true, IF_TYPE_SOFTWARE_LOOPBACK},
        {"ppp0", "512", nullptr, false, IF_TYPE_OTHER},
        {"tun0", "65534", nullptr, false, IF_TYPE_OTHER},
        {"odd0", "ether", nullptr, false, IF_TYPE_OTHER},
        {"gone0", nullptr, nullptr, false, IF_TYPE_OTHER},
        {"gonelo", nullptr, nullptr, true, IF_TYPE_SOFTWARE_LOOPBACK},
    };
    for (const Case& c : cases) {
        make(c.name, c.type, c.sub);
        EXPECT_EQ(c.expected, interface_type(root.path(), c.name, c.loopback)) << c.name;
    }
    EXPECT_EQ(DWORD(IF_TYPE_OTHER), interface_type(root.path(), "absent", false));
}

TEST(IpHelperTest, RouteChoice) {
    const std::string header =
        "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";
    // eth0: default via metric 100, 192.0.2.0/24; wlan0: default metric 600, 192.0.2.128/25;
    // tun0: 10.0.0.0/8 (down); ppp0 and ppp1: 198.51.100.0/24 with metrics 20 and 10.
    const std::string table = header +
                              "eth0\t00000000\t010200C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n"
                              "wlan0\t00000000\t010200C0\t0003\t0\t0\t600\t00000000\t0\t0\t0\n"
                              "eth0\t000200C0\t00000000\t0001\t0\t0\t100\t00FFFFFF\t0\t0\t0\n"
                              "wlan0\t800200C0\t00000000\t0001\t0\t0\t600\t80FFFFFF\t0\t0\t0\n"
                              "tun0\t0000000A\t00000000\t0000\t0\t0\t0\t000000FF\t0\t0\t0\n"
                              "bad0\tzz\t00000000\t0001\t0\t0\t0\t00000000\t0\t0\t0\n"
                              "short0\t00000000\n"
                              "ppp0\t006433C6\t00000000\t0001\t0\t0\t20\t00FFFFFF\t0\t0\t0\n"
                              "ppp1\t006433C6\t00000000\t0001\t0\t0\t10\t00FFFFFF\t0\t0\t0\n";
    struct Case {
        const char* destination;
        std::string table;
        const char* expected;
    };
    const Case cases[] = {
        {"0.0.0.0", table, "eth0"},       // the default route of lower metric
        {"203.0.113.9", table, "eth0"},   // only the defaults match
        {"192.0.2.7", table, "eth0"},     // /24 beats the defaults
        {"192.0.2.200", table, "wlan0"},  // /25 beats /24 whatever the metrics
        {"10.1.2.3", table, "eth0"},      // the down route is passed over
        {"198.51.100.1", table, "ppp1"},  // equal masks: the lower metric
        {"203.0.113.9", header + "eth0\t000200C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n", ""},
        {"0.0.0.0", header, ""},
        {"0.0.0.0", "eth0\t00000000\t010200C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n", ""},  // no header
        {"0.0.0.0", "", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.expected, route_interface(c.table, inet_addr(c.destination))) << c.destination;
    }
}

// The interface `ip route` names for a destination ("" when it has no route).
std::string ip_route_device(const std::string& destination) {
    std::string command = "ip -4 route get " + destination + " 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) {
        return "";
    }
    char line[512];
    std::string out;
    while (fgets(line, sizeof line, pipe)) {
        out += line;
    }
    pclose(pipe);
    size_t at = out.find(" dev ");
    if (at == std::string::npos) {
        return "";
    }
    at += 5;
    return out.substr(at, out.find(' ', at) - at);
}

TEST(IpHelperTest, BestInterfaceAgreesWithIpRoute) {
    KTW_REQUIRE_PROGRAM("ip");
    // 0.0.0.0 stands for the default route, which `ip route get` finds for any far address.
    const std::pair<const char*, const char*> destinations[] = {
        {"0.0.0.0", "203.0.113.9"}, {"203.0.113.9", "203.0.113.9"}, {"127.0.0.1", "127.0.0.1"}};
    for (const auto& destination : destinations) {
        SCOPED_TRACE(destination.first);
        std::string device = ip_route_device(destination.second);
        DWORD index = 0xDEAD;
        DWORD result = GetBestInterface(inet_addr(destination.first), &index);
        if (device.empty()) {
            EXPECT_EQ(DWORD(ERROR_NOT_FOUND), result);
            EXPECT_EQ(0xDEADu, index);
        } else {
            ASSERT_EQ(DWORD(NO_ERROR), result);
            EXPECT_EQ(if_nametoindex(device.c_str()), index) << device;
        }
    }
}

}  // namespace
