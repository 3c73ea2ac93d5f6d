// IP helper: the adapters of the machine and the interface a destination is routed through. Adapters come
// from getifaddrs and /sys/class/net, routes from /proc/net/route; only IPv4 is offered.
#pragma once

#include "winapi/icmpapi.h"
#include "winapi/wintypes.h"

typedef CHAR* PCHAR;
typedef WCHAR* PWCHAR;
typedef ULONG* PULONG;
typedef uint8_t UINT8;

struct sockaddr;  // the same record under winsock2.h and the system's socket headers

typedef struct _SOCKET_ADDRESS {
    struct sockaddr* lpSockaddr;
    INT iSockaddrLength;
} SOCKET_ADDRESS, *PSOCKET_ADDRESS, *LPSOCKET_ADDRESS;

#define MAX_ADAPTER_ADDRESS_LENGTH 8

#define IF_TYPE_OTHER 1
#define IF_TYPE_ETHERNET_CSMACD 6
#define IF_TYPE_SOFTWARE_LOOPBACK 24
#define IF_TYPE_IEEE80211 71

typedef enum {
    IfOperStatusUp = 1,
    IfOperStatusDown,
    IfOperStatusTesting,
    IfOperStatusUnknown,
    IfOperStatusDormant,
    IfOperStatusNotPresent,
    IfOperStatusLowerLayerDown
} IF_OPER_STATUS;

typedef enum {
    IpPrefixOriginOther = 0,
    IpPrefixOriginManual,
    IpPrefixOriginWellKnown,
    IpPrefixOriginDhcp,
    IpPrefixOriginRouterAdvertisement
} IP_PREFIX_ORIGIN;

typedef enum {
    IpSuffixOriginOther = 0,
    IpSuffixOriginManual,
    IpSuffixOriginWellKnown,
    IpSuffixOriginDhcp,
    IpSuffixOriginLinkLayerAddress,
    IpSuffixOriginRandom
} IP_SUFFIX_ORIGIN;

typedef enum {
    IpDadStateInvalid = 0,
    IpDadStateTentative,
    IpDadStateDuplicate,
    IpDadStateDeprecated,
    IpDadStatePreferred
} IP_DAD_STATE;

typedef struct _IP_ADAPTER_UNICAST_ADDRESS {
    union {
        ULONGLONG Alignment;
        struct {
            ULONG Length;
            DWORD Flags;
        };
    };
    struct _IP_ADAPTER_UNICAST_ADDRESS* Next;
    SOCKET_ADDRESS Address;
    IP_PREFIX_ORIGIN PrefixOrigin;
    IP_SUFFIX_ORIGIN SuffixOrigin;
    IP_DAD_STATE DadState;
    ULONG ValidLifetime;
    ULONG PreferredLifetime;
    ULONG LeaseLifetime;
    UINT8 OnLinkPrefixLength;
} IP_ADAPTER_UNICAST_ADDRESS, *PIP_ADAPTER_UNICAST_ADDRESS;

// The anycast, multicast and DNS server lists are never filled (their pointers are null).
typedef struct _IP_ADAPTER_ADDRESSES {
    union {
        ULONGLONG Alignment;
        struct {
            ULONG Length;
            DWORD IfIndex;
        };
    };
    struct _IP_ADAPTER_ADDRESSES* Next;
    PCHAR AdapterName;  // the interface's name (eth0)
    PIP_ADAPTER_UNICAST_ADDRESS FirstUnicastAddress;
    void* FirstAnycastAddress;
    void* FirstMulticastAddress;
    void* FirstDnsServerAddress;
    PWCHAR DnsSuffix;     // empty
    PWCHAR Description;   // the interface's name
    PWCHAR FriendlyName;  // the interface's name; null with GAA_FLAG_SKIP_FRIENDLY_NAME
    BYTE PhysicalAddress[MAX_ADAPTER_ADDRESS_LENGTH];
    DWORD PhysicalAddressLength;  // 0 for the loopback interface
    DWORD Flags;
    DWORD Mtu;
    DWORD IfType;  // IF_TYPE_*
    IF_OPER_STATUS OperStatus;
} IP_ADAPTER_ADDRESSES, *PIP_ADAPTER_ADDRESSES;

#define GAA_FLAG_SKIP_UNICAST 0x0001
#define GAA_FLAG_SKIP_ANYCAST 0x0002
#define GAA_FLAG_SKIP_MULTICAST 0x0004
#define GAA_FLAG_SKIP_DNS_SERVER 0x0008
#define GAA_FLAG_SKIP_FRIENDLY_NAME 0x0020

// Every network interface (ordered by interface index) with its IPv4 addresses, laid out in the caller's
// buffer. Family AF_INET only. ERROR_SUCCESS; ERROR_BUFFER_OVERFLOW with *size set to the bytes needed when
// the buffer is missing or smaller; ERROR_NO_DATA when the machine has no interface; ERROR_INVALID_PARAMETER
// for a missing size, another family or a reserved pointer; ERROR_NOT_ENOUGH_MEMORY when the interfaces
// cannot be listed.
ULONG WINAPI GetAdaptersAddresses(ULONG family, ULONG flags, PVOID reserved, PIP_ADAPTER_ADDRESSES addresses,
                                  PULONG size);

// The index of the interface that traffic to destination (network byte order) leaves through: the most
// specific matching route of the main routing table, the lowest metric among equals; the default route for
// 0.0.0.0; the loopback interface for 127.0.0.0/8. NO_ERROR; ERROR_INVALID_PARAMETER without an index
// pointer; ERROR_NOT_FOUND when no route matches.
DWORD WINAPI GetBestInterface(IPAddr destination, PDWORD bestIfIndex);
