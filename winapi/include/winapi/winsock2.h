// Winsock 2 as this program uses it: TCP sockets, select, WSAEventSelect, socket options and the WSA error
// codes, with the Windows types, layouts and numbering.
//
// SOCKET values are the Linux descriptors themselves, so a library that takes a descriptor (OpenSSL's socket
// BIO) can be handed a SOCKET. The functions have C++ linkage: they never stand in for the C library's socket
// calls that other libraries of the process make.
#pragma once

#include "winapi/wintypes.h"

// glibc declares fd_set, FD_SETSIZE and the FD_* macros, struct timeval, select and u_long in headers that
// the C++ library includes on its own. They are included here first, so that they are complete before the
// Windows fd_set below takes their place. struct timeval and u_long stay glibc's own: the Windows calls take
// them by name (their fields are wider here than on Windows), so that a POSIX header included afterwards
// still sees the system's types.
#include <sys/select.h>
#include <sys/time.h>
#include <sys/types.h>

#define WSAAPI

typedef UINT_PTR SOCKET;
#define INVALID_SOCKET ((SOCKET)(~(SOCKET)0))
#define SOCKET_ERROR (-1)

typedef HANDLE WSAEVENT;
typedef USHORT ADDRESS_FAMILY;

// fd_set is a list of sockets on Windows, not a bit set. It is the one POSIX name the layer redefines, and
// safely: <sys/select.h> was read above and its guard keeps it from being read again, and any other POSIX
// declaration of fd_set read after this would conflict with it, a compile error rather than a silent change
// of layout.
#undef FD_SETSIZE
#define FD_SETSIZE 64

struct winsock_fd_set {
    u_int fd_count;
    SOCKET fd_array[FD_SETSIZE];
};
#define fd_set winsock_fd_set

inline int winsock_fd_isset(SOCKET s, const fd_set* set) {
    for (u_int i = 0; i < set->fd_count && i < FD_SETSIZE; ++i) {
        if (set->fd_array[i] == s) {
            return 1;
        }
    }
    return 0;
}

inline void winsock_fd_add(SOCKET s, fd_set* set) {
    if (!winsock_fd_isset(s, set) && set->fd_count < FD_SETSIZE) {
        set->fd_array[set->fd_count++] = s;
    }
}

inline void winsock_fd_remove(SOCKET s, fd_set* set) {
    for (u_int i = 0; i < set->fd_count && i < FD_SETSIZE; ++i) {
        if (set->fd_array[i] == s) {
            for (u_int j = i + 1; j < set->fd_count && j < FD_SETSIZE; ++j) {
                set->fd_array[j - 1] = set->fd_array[j];
            }
            --set->fd_count;
            return;
        }
    }
}

#undef FD_ZERO
#undef FD_SET
#undef FD_CLR
#undef FD_ISSET
#define FD_ZERO(set) (((fd_set*)(set))->fd_count = 0)
#define FD_SET(s, set) winsock_fd_add((SOCKET)(s), (fd_set*)(set))
#define FD_CLR(s, set) winsock_fd_remove((SOCKET)(s), (fd_set*)(set))
#define FD_ISSET(s, set) winsock_fd_isset((SOCKET)(s), (const fd_set*)(set))

struct in_addr {
    union {
        struct {
            UCHAR s_b1, s_b2, s_b3, s_b4;
        } S_un_b;
        ULONG S_addr;
    } S_un;
};
#define s_addr S_un.S_addr
typedef struct in_addr IN_ADDR, *PIN_ADDR, *LPIN_ADDR;

struct sockaddr {
    ADDRESS_FAMILY sa_family;
    CHAR sa_data[14];
};
typedef struct sockaddr SOCKADDR, *PSOCKADDR, *LPSOCKADDR;

struct sockaddr_in {
    ADDRESS_FAMILY sin_family;
    USHORT sin_port;
    IN_ADDR sin_addr;
    CHAR sin_zero[8];
};
typedef struct sockaddr_in SOCKADDR_IN, *PSOCKADDR_IN, *LPSOCKADDR_IN;

struct hostent {
    char* h_name;
    char** h_aliases;
    short h_addrtype;
    short h_length;
    char** h_addr_list;
};
#define h_addr h_addr_list[0]
typedef struct hostent HOSTENT, *PHOSTENT, *LPHOSTENT;

#define WSADESCRIPTION_LEN 256
#define WSASYS_STATUS_LEN 128

// The 64-bit layout (the 32-bit one puts the texts before iMaxSockets).
typedef struct WSAData {
    WORD wVersion;
    WORD wHighVersion;
    unsigned short iMaxSockets;
    unsigned short iMaxUdpDg;
    char* lpVendorInfo;
    char szDescription[WSADESCRIPTION_LEN + 1];
    char szSystemStatus[WSASYS_STATUS_LEN + 1];
} WSADATA, *LPWSADATA;

typedef struct _OVERLAPPED* LPWSAOVERLAPPED;
typedef void(CALLBACK* LPWSAOVERLAPPED_COMPLETION_ROUTINE)(DWORD error, DWORD bytes,
                                                           LPWSAOVERLAPPED overlapped, DWORD flags);

#define AF_UNSPEC 0
#define AF_INET 2
#define AF_INET6 23

#define SOCK_STREAM 1
#define SOCK_DGRAM 2

#define IPPROTO_IP 0
#define IPPROTO_TCP 6
#define IPPROTO_UDP 17

#define INADDR_ANY ((ULONG)0x00000000)
#define INADDR_LOOPBACK 0x7f000001
#define INADDR_NONE 0xffffffff

#define SOMAXCONN 0x7fffffff

#define SOL_SOCKET 0xffff
#define SO_REUSEADDR 0x0004
#define SO_KEEPALIVE 0x0008
#define SO_SNDBUF 0x1001
#define SO_RCVBUF 0x1002
#define SO_ERROR 0x1007
#define SO_TYPE 0x1008
#define TCP_NODELAY 0x0001

#define SD_RECEIVE 0
#define SD_SEND 1
#define SD_BOTH 2

#define FIONBIO ((LONG)0x8004667E)
#define FIONREAD ((LONG)0x4004667F)

// The network events WSAEventSelect records here.
#define FD_READ 0x01
#define FD_WRITE 0x02
#define FD_CLOSE 0x20

#define WSABASEERR 10000
#define WSAEINTR 10004
#define WSAEBADF 10009
#define WSAEACCES 10013
#define WSAEFAULT 10014
#define WSAEINVAL 10022
#define WSAEMFILE 10024
#define WSAEWOULDBLOCK 10035
#define WSAEINPROGRESS 10036
#define WSAEALREADY 10037
#define WSAENOTSOCK 10038
#define WSAEDESTADDRREQ 10039
#define WSAEMSGSIZE 10040
#define WSAEPROTOTYPE 10041
#define WSAENOPROTOOPT 10042
#define WSAEPROTONOSUPPORT 10043
#define WSAESOCKTNOSUPPORT 10044
#define WSAEOPNOTSUPP 10045
#define WSAEPFNOSUPPORT 10046
#define WSAEAFNOSUPPORT 10047
#define WSAEADDRINUSE 10048
#define WSAEADDRNOTAVAIL 10049
#define WSAENETDOWN 10050
#define WSAENETUNREACH 10051
#define WSAENETRESET 10052
#define WSAECONNABORTED 10053
#define WSAECONNRESET 10054
#define WSAENOBUFS 10055
#define WSAEISCONN 10056
#define WSAENOTCONN 10057
#define WSAESHUTDOWN 10058
#define WSAETIMEDOUT 10060
#define WSAECONNREFUSED 10061
#define WSAEHOSTDOWN 10064
#define WSAEHOSTUNREACH 10065
#define WSASYSNOTREADY 10091
#define WSAVERNOTSUPPORTED 10092
#define WSANOTINITIALISED 10093
#define WSASYSCALLFAILURE 10107
#define WSATYPE_NOT_FOUND 10109
#define WSAHOST_NOT_FOUND 11001
#define WSATRY_AGAIN 11002
#define WSANO_RECOVERY 11003
#define WSANO_DATA 11004
#define WSA_NOT_ENOUGH_MEMORY 8

// Reference-counted: every successful WSAStartup needs one WSACleanup. Returns the error code directly.
int WSAAPI WSAStartup(WORD versionRequested, LPWSADATA data);
// The last one closes the sockets still open.
int WSAAPI WSACleanup();
int WSAAPI WSAGetLastError();
void WSAAPI WSASetLastError(int error);

SOCKET WSAAPI socket(int af, int type, int protocol);
int WSAAPI closesocket(SOCKET s);
int WSAAPI bind(SOCKET s, const struct sockaddr* name, int namelen);
int WSAAPI listen(SOCKET s, int backlog);
SOCKET WSAAPI accept(SOCKET s, struct sockaddr* addr, int* addrlen);
int WSAAPI connect(SOCKET s, const struct sockaddr* name, int namelen);
int WSAAPI getsockname(SOCKET s, struct sockaddr* name, int* namelen);
int WSAAPI getpeername(SOCKET s, struct sockaddr* name, int* namelen);

// nfds is ignored. A failed connect of a non-blocking socket shows only in the except set.
int WSAAPI select(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds,
                  const struct timeval* timeout);

// flags must be 0 (no out-of-band or peek support).
int WSAAPI send(SOCKET s, const char* buf, int len, int flags);
int WSAAPI recv(SOCKET s, char* buf, int len, int flags);
int WSAAPI shutdown(SOCKET s, int how);

// FIONBIO and FIONREAD.
int WSAAPI ioctlsocket(SOCKET s, LONG cmd, u_long* argp);
// SOL_SOCKET: SO_REUSEADDR, SO_KEEPALIVE, SO_SNDBUF, SO_RCVBUF, SO_ERROR (get), SO_TYPE (get);
// IPPROTO_TCP: TCP_NODELAY. Values are ints.
int WSAAPI setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen);
int WSAAPI getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen);
// SIO_KEEPALIVE_VALS (mstcpip.h) only, without overlapped I/O.
int WSAAPI WSAIoctl(SOCKET s, DWORD ioControlCode, LPVOID inBuffer, DWORD inBufferSize, LPVOID outBuffer,
                    DWORD outBufferSize, LPDWORD bytesReturned, LPWSAOVERLAPPED overlapped,
                    LPWSAOVERLAPPED_COMPLETION_ROUTINE completionRoutine);
// networkEvents: any of FD_READ, FD_WRITE, FD_CLOSE; 0 cancels the association.
int WSAAPI WSAEventSelect(SOCKET s, WSAEVENT eventObject, LONG networkEvents);

ULONG WSAAPI inet_addr(const char* cp);
// The text lives in a buffer of the calling thread until its next call.
char* WSAAPI inet_ntoa(struct in_addr in);
// IPv4 only; the result lives in storage of the calling thread until its next call.
struct hostent* WSAAPI gethostbyname(const char* name);

// The 32-bit conversions and inet_addr keep the Windows width of u_long.
#undef htons
#undef ntohs
#undef htonl
#undef ntohl
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
inline u_short htons(u_short v) {
    return __builtin_bswap16(v);
}
inline ULONG htonl(ULONG v) {
    return __builtin_bswap32(v);
}
#else
inline u_short htons(u_short v) {
    return v;
}
inline ULONG htonl(ULONG v) {
    return v;
}
#endif
inline u_short ntohs(u_short v) {
    return htons(v);
}
inline ULONG ntohl(ULONG v) {
    return htonl(v);
}
