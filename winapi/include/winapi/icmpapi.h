// ICMP echo, as the IP helper library offers it. The echo goes out through an unprivileged ICMP socket, which
// the system grants to users whose group lies in net.ipv4.ping_group_range; where it does not, IcmpSendEcho
// fails with ERROR_ACCESS_DENIED.
#pragma once

#include "winapi/wintypes.h"

typedef ULONG IPAddr;  // IPv4 address in network byte order

typedef struct ip_option_information {
    UCHAR Ttl;
    UCHAR Tos;
    UCHAR Flags;
    UCHAR OptionsSize;
    UCHAR* OptionsData;
} IP_OPTION_INFORMATION, *PIP_OPTION_INFORMATION;

typedef struct icmp_echo_reply {
    IPAddr Address;
    ULONG Status;
    ULONG RoundTripTime;  // milliseconds
    USHORT DataSize;
    USHORT Reserved;
    PVOID Data;  // points into the reply buffer, after the record
    struct ip_option_information Options;
} ICMP_ECHO_REPLY, *PICMP_ECHO_REPLY;

#define IP_SUCCESS 0
#define IP_STATUS_BASE 11000
#define IP_BUF_TOO_SMALL 11001
#define IP_DEST_NET_UNREACHABLE 11002
#define IP_DEST_HOST_UNREACHABLE 11003
#define IP_REQ_TIMED_OUT 11010
#define IP_GENERAL_FAILURE 11050

HANDLE WINAPI IcmpCreateFile();
BOOL WINAPI IcmpCloseHandle(HANDLE icmpHandle);
// One echo, waiting at most timeout ms. Returns the number of replies stored (1), or 0 with the last error
// set: IP_BUF_TOO_SMALL when the reply buffer cannot hold one ICMP_ECHO_REPLY and the request's data,
// IP_REQ_TIMED_OUT, IP_DEST_HOST_UNREACHABLE / IP_DEST_NET_UNREACHABLE, ERROR_ACCESS_DENIED (no ICMP socket
// for this user), ERROR_INVALID_PARAMETER. Options are ignored.
DWORD WINAPI IcmpSendEcho(HANDLE icmpHandle, IPAddr destinationAddress, LPVOID requestData, WORD requestSize,
                          PIP_OPTION_INFORMATION requestOptions, LPVOID replyBuffer, DWORD replySize,
                          DWORD timeout);
