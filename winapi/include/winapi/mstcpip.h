// Keep-alive settings of a TCP socket (WSAIoctl SIO_KEEPALIVE_VALS).
#pragma once

#include "winapi/winsock2.h"

// Times in milliseconds. The number of probes is fixed at 10, as on Windows since Vista.
struct tcp_keepalive {
    ULONG onoff;
    ULONG keepalivetime;
    ULONG keepaliveinterval;
};

// IOC_IN | IOC_VENDOR | 4
#define SIO_KEEPALIVE_VALS 0x98000004u
