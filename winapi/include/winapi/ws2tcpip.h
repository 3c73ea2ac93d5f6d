// Name resolution (getaddrinfo, getnameinfo) and the IPv6 address types, with the Windows flag values and the
// Windows layout of struct addrinfo.
#pragma once

#include "winapi/winsock2.h"

// glibc's socklen_t (unsigned; an int on Windows) comes with <unistd.h>; getnameinfo takes it by name.
#include <unistd.h>

struct in6_addr {
    union {
        UCHAR Byte[16];
        USHORT Word[8];
    } u;
};
#define s6_addr u.Byte
typedef struct in6_addr IN6_ADDR, *PIN6_ADDR, *LPIN6_ADDR;

struct sockaddr_in6 {
    ADDRESS_FAMILY sin6_family;
    USHORT sin6_port;
    ULONG sin6_flowinfo;
    IN6_ADDR sin6_addr;
    ULONG sin6_scope_id;
};
typedef struct sockaddr_in6 SOCKADDR_IN6, *PSOCKADDR_IN6, *LPSOCKADDR_IN6;

// ai_canonname comes before ai_addr on Windows (glibc has the reverse order), and ai_addrlen is a size_t.
typedef struct addrinfo {
    int ai_flags;
    int ai_family;
    int ai_socktype;
    int ai_protocol;
    size_t ai_addrlen;
    char* ai_canonname;
    struct sockaddr* ai_addr;
    struct addrinfo* ai_next;
} ADDRINFOA, *PADDRINFOA;

#define AI_PASSIVE 0x00000001
#define AI_CANONNAME 0x00000002
#define AI_NUMERICHOST 0x00000004
#define AI_NUMERICSERV 0x00000008
#define AI_ALL 0x00000100
#define AI_ADDRCONFIG 0x00000400
#define AI_V4MAPPED 0x00000800

#define NI_NOFQDN 0x01
#define NI_NUMERICHOST 0x02
#define NI_NAMEREQD 0x04
#define NI_NUMERICSERV 0x08
#define NI_DGRAM 0x10

#define NI_MAXHOST 1025
#define NI_MAXSERV 32

// The resolver's errors are WSA codes.
#define EAI_AGAIN WSATRY_AGAIN
#define EAI_BADFLAGS WSAEINVAL
#define EAI_FAIL WSANO_RECOVERY
#define EAI_FAMILY WSAEAFNOSUPPORT
#define EAI_MEMORY WSA_NOT_ENOUGH_MEMORY
#define EAI_NONAME WSAHOST_NOT_FOUND
#define EAI_NODATA EAI_NONAME
#define EAI_SERVICE WSATYPE_NOT_FOUND
#define EAI_SOCKTYPE WSAESOCKTNOSUPPORT

// Both return 0 or a WSA code (also left in WSAGetLastError).
int WSAAPI getaddrinfo(const char* nodeName, const char* serviceName, const ADDRINFOA* hints,
                       PADDRINFOA* result);
void WSAAPI freeaddrinfo(PADDRINFOA addrInfo);
int WSAAPI getnameinfo(const SOCKADDR* addr, socklen_t addrlen, char* host, DWORD hostlen, char* serv,
                       DWORD servlen, int flags);
