// Names and addresses: getaddrinfo, getnameinfo, gethostbyname, inet_addr, inet_ntoa.
#include "winsock_internal.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace winapi_internal {
namespace winsock {
namespace {

using posix_net::Endpoint;
using posix_net::Family;
using posix_net::ResolveStatus;

static_assert(offsetof(ADDRINFOA, ai_canonname) < offsetof(ADDRINFOA, ai_addr), "Windows addrinfo order");

int resolve_error(ResolveStatus status) {
    switch (status) {
        case ResolveStatus::ok:
            return 0;
        case ResolveStatus::no_name:
            return WSAHOST_NOT_FOUND;
        case ResolveStatus::try_again:
            return WSATRY_AGAIN;
        case ResolveStatus::out_of_memory:
            return WSA_NOT_ENOUGH_MEMORY;
        case ResolveStatus::bad_family:
            return WSAEAFNOSUPPORT;
        case ResolveStatus::bad_socket_type:
            return WSAESOCKTNOSUPPORT;
        case ResolveStatus::bad_service:
            return WSATYPE_NOT_FOUND;
        case ResolveStatus::bad_flags:
            return WSAEINVAL;
        case ResolveStatus::overflow:
            return WSAEFAULT;
        case ResolveStatus::system:
            return error_from_errno(errno, false);
        case ResolveStatus::failure:
            break;
    }
    return WSANO_RECOVERY;
}

// Both resolver calls return their code and leave it as the last error too.
int finish(int code) {
    SetLastError(static_cast<DWORD>(code));
    return code;
}

struct FlagPair {
    int windows;
    unsigned ours;
};

const FlagPair address_flags[] = {
    {AI_PASSIVE, posix_net::resolve_passive},
    {AI_CANONNAME, posix_net::resolve_canonical_name},
    {AI_NUMERICHOST, posix_net::resolve_numeric_host},
    {AI_NUMERICSERV, posix_net::resolve_numeric_service},
    {AI_ALL, posix_net::resolve_all},
    {AI_ADDRCONFIG, posix_net::resolve_address_config},
    {AI_V4MAPPED, posix_net::resolve_v4_mapped},
};

const FlagPair name_flags[] = {
    {NI_NOFQDN, posix_net::name_no_fqdn},    {NI_NUMERICHOST, posix_net::name_numeric_host},
    {NI_NAMEREQD, posix_net::name_required}, {NI_NUMERICSERV, posix_net::name_numeric_service},
    {NI_DGRAM, posix_net::name_datagram},
};

// False for a flag outside the table.
template <size_t N>
bool translate_flags(int flags, const FlagPair (&table)[N], unsigned* ours) {
    *ours = 0;
    for (const FlagPair& pair : table) {
        if (flags & pair.windows) {
            *ours |= pair.ours;
            flags &= ~pair.windows;
        }
    }
    return flags == 0;
}

// One result entry in a single allocation: the record, its address, and the canonical name when given.
ADDRINFOA* new_entry(const posix_net::ResolvedAddress& address, int flags,
                     const std::string* canonical_name) {
    size_t size =
        sizeof(ADDRINFOA) + sizeof(sockaddr_in6) + (canonical_name ? canonical_name->size() + 1 : 0);
    char* block = static_cast<char*>(std::calloc(1, size));
    if (!block) {
        return nullptr;
    }
    auto* entry = reinterpret_cast<ADDRINFOA*>(block);
    entry->ai_flags = flags;
    entry->ai_family = address.family == Family::inet ? AF_INET : AF_INET6;
    entry->ai_socktype = address.socket_type;
    entry->ai_protocol = address.protocol;
    entry->ai_addr = reinterpret_cast<sockaddr*>(block + sizeof(ADDRINFOA));
    int length = sizeof(sockaddr_in6);
    from_endpoint(address.endpoint, entry->ai_addr, &length);
    entry->ai_addrlen = static_cast<size_t>(length);
    if (canonical_name) {
        entry->ai_canonname = block + sizeof(ADDRINFOA) + sizeof(sockaddr_in6);
        std::memcpy(entry->ai_canonname, canonical_name->c_str(), canonical_name->size() + 1);
    }
    return entry;
}

// gethostbyname's result, one per thread.
struct HostEntry {
    hostent entry = {};
    std::string name;
    std::vector<in_addr> addresses;
    std::vector<char*> address_list;
    char* aliases[1] = {nullptr};
};

// Parses one part of a dotted address: decimal, octal (leading 0) or hexadecimal (leading 0x).
bool parse_part(const char** text, uint64_t* value) {
    const char* p = *text;
    unsigned base = 10;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        base = 16;
        p += 2;
    } else if (p[0] == '0') {
        base = 8;
    }
    const char* digits = p;
    *value = 0;
    for (;; ++p) {
        unsigned digit;
        if (*p >= '0' && *p <= '9') {
            digit = static_cast<unsigned>(*p - '0');
        } else if (*p >= 'a' && *p <= 'f') {
            digit = static_cast<unsigned>(*p - 'a' + 10);
        } else if (*p >= 'A' && *p <= 'F') {
            digit = static_cast<unsigned>(*p - 'A' + 10);
        } else {
            break;
        }
        if (digit >= base) {
            break;
        }
        *value = *value * base + digit;
        if (*value > 0xffffffffu) {
            return false;
        }
    }
    *text = p;
    return p != digits;
}

}  // namespace
}  // namespace winsock
}  // namespace winapi_internal

using namespace winapi_internal::winsock;
namespace posix_net = winapi_internal::posix_net;

int WSAAPI getaddrinfo(const char* nodeName, const char* serviceName, const ADDRINFOA* hints,
                       PADDRINFOA* result) {
    if (!result) {
        return finish(WSAEINVAL);
    }
    *result = nullptr;
    if (!started()) {
        return WSANOTINITIALISED;
    }
    posix_net::ResolveHints ours;
    int flags = 0;
    if (hints) {
        flags = hints->ai_flags;
        if (!translate_flags(flags, address_flags, &ours.flags)) {
            return finish(EAI_BADFLAGS);
        }
        switch (hints->ai_family) {
            case AF_UNSPEC:
                break;
            case AF_INET:
                ours.family = Family::inet;
                break;
            case AF_INET6:
                ours.family = Family::inet6;
                break;
            default:
                return finish(EAI_FAMILY);
        }
        ours.socket_type = hints->ai_socktype;
        ours.protocol = hints->ai_protocol;
    }
    if (!nodeName && !serviceName) {
        return finish(EAI_NONAME);
    }
    std::vector<posix_net::ResolvedAddress> addresses;
    std::string canonical_name;
    try {
        int error =
            resolve_error(posix_net::resolve(nodeName, serviceName, ours, &addresses, &canonical_name));
        if (error) {
            return finish(error);
        }
    } catch (const std::bad_alloc&) {
        return finish(EAI_MEMORY);
    }
    if (addresses.empty()) {
        return finish(EAI_NONAME);
    }
    ADDRINFOA* head = nullptr;
    ADDRINFOA** tail = &head;
    for (const auto& address : addresses) {
        bool first = head == nullptr;
        bool with_name = first && (ours.flags & posix_net::resolve_canonical_name) && !canonical_name.empty();
        ADDRINFOA* entry = new_entry(address, flags, with_name ? &canonical_name : nullptr);
        if (!entry) {
            freeaddrinfo(head);
            return finish(EAI_MEMORY);
        }
        *tail = entry;
        tail = &entry->ai_next;
    }
    *result = head;
    return 0;
}

void WSAAPI freeaddrinfo(PADDRINFOA addrInfo) {
    while (addrInfo) {
        ADDRINFOA* next = addrInfo->ai_next;
        std::free(addrInfo);
        addrInfo = next;
    }
}

int WSAAPI getnameinfo(const SOCKADDR* addr, socklen_t addrlen, char* host, DWORD hostlen, char* serv,
                       DWORD servlen, int flags) {
    if (!started()) {
        return WSANOTINITIALISED;
    }
    unsigned ours;
    if (!translate_flags(flags, name_flags, &ours)) {
        return finish(EAI_BADFLAGS);
    }
    posix_net::Endpoint endpoint;
    if (int error = to_endpoint(addr, addrlen, &endpoint)) {
        return finish(error);
    }
    if (!host) {
        hostlen = 0;
    }
    if (!serv) {
        servlen = 0;
    }
    if (hostlen == 0 && servlen == 0) {
        return finish(EAI_NONAME);
    }
    return finish(resolve_error(posix_net::name_of(endpoint, host, hostlen, serv, servlen, ours)));
}

struct hostent* WSAAPI gethostbyname(const char* name) {
    if (!started()) {
        return nullptr;
    }
    if (!name) {
        fail(WSAEFAULT);
        return nullptr;
    }
    posix_net::ResolveHints hints;
    hints.family = Family::inet;
    hints.socket_type = SOCK_STREAM;  // one entry per address
    hints.flags = posix_net::resolve_canonical_name;
    std::vector<posix_net::ResolvedAddress> addresses;
    std::string canonical_name;
    thread_local HostEntry host;
    try {
        posix_net::ResolveStatus status =
            posix_net::resolve(name, nullptr, hints, &addresses, &canonical_name);
        if (status != posix_net::ResolveStatus::ok || addresses.empty()) {
            fail(status == posix_net::ResolveStatus::ok ? WSANO_DATA : resolve_error(status));
            return nullptr;
        }
        host.name = canonical_name.empty() ? name : canonical_name;
        host.addresses.resize(addresses.size());
        host.address_list.clear();
        for (size_t i = 0; i < addresses.size(); ++i) {
            std::memcpy(&host.addresses[i], addresses[i].endpoint.address, sizeof(in_addr));
            host.address_list.push_back(reinterpret_cast<char*>(&host.addresses[i]));
        }
        host.address_list.push_back(nullptr);
    } catch (const std::bad_alloc&) {
        fail(WSA_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    host.entry.h_name = &host.name[0];
    host.entry.h_aliases = host.aliases;
    host.entry.h_addrtype = AF_INET;
    host.entry.h_length = sizeof(in_addr);
    host.entry.h_addr_list = host.address_list.data();
    return &host.entry;
}

ULONG WSAAPI inet_addr(const char* cp) {
    if (!cp) {
        return INADDR_NONE;
    }
    uint64_t parts[4];
    int count = 0;
    const char* p = cp;
    for (;;) {
        if (count == 4 || !parse_part(&p, &parts[count])) {
            return INADDR_NONE;
        }
        ++count;
        if (*p == '\0') {
            break;
        }
        if (*p != '.') {
            return INADDR_NONE;
        }
        ++p;
    }
    // The last part fills the bytes the others leave: a.b is a and 24 bits, a.b.c is a, b and 16 bits.
    uint64_t address = 0;
    for (int i = 0; i < count - 1; ++i) {
        if (parts[i] > 0xff) {
            return INADDR_NONE;
        }
        address |= parts[i] << (24 - 8 * i);
    }
    uint64_t last_limit = 0xffffffffu >> (8 * (count - 1));
    if (parts[count - 1] > last_limit) {
        return INADDR_NONE;
    }
    address |= parts[count - 1];
    return htonl(static_cast<ULONG>(address));
}

char* WSAAPI inet_ntoa(struct in_addr in) {
    thread_local char text[16];
    const auto& b = in.S_un.S_un_b;
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", b.s_b1, b.s_b2, b.s_b3, b.s_b4);
    return text;
}
