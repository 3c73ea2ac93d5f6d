#include "platform/platform.h"

#include "runtime/log.h"
#include "winapi/icmpapi.h"
#include "winapi/winsock2.h"
#include "winapi/ws2tcpip.h"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

const double PING_FAILED_MS = 100000;
const WORD ECHO_DATA_SIZE = 32;
const DWORD ECHO_TIMEOUT_MS = 200;

// A dotted address, else the first IPv4 address of the name. getaddrinfo, unlike gethostbyname, may be called
// from any thread: the probe runs on a timer-queue thread.
bool resolve(const char* host, IPAddr* address) {
    IPAddr dotted = inet_addr(host);
    if (dotted != INADDR_NONE) {
        *address = dotted;
        return true;
    }
    ADDRINFOA hints = {};
    hints.ai_family = AF_INET;
    ADDRINFOA* found = NULL;
    if (getaddrinfo(host, NULL, &hints, &found) != 0 || !found) {
        return false;
    }
    bool ok = false;
    for (ADDRINFOA* entry = found; entry && !ok; entry = entry->ai_next) {
        if (entry->ai_family == AF_INET && entry->ai_addr && entry->ai_addrlen >= sizeof(sockaddr_in)) {
            *address = ((const sockaddr_in*)entry->ai_addr)->sin_addr.s_addr;
            ok = true;
        }
    }
    freeaddrinfo(found);
    return ok;
}

}  // namespace

bool Platform::get_icmp_ping(const char* host, double* round_trip_ms) {
    double round_trip = PING_FAILED_MS;
    bool ok = false;
    if (!host || !round_trip_ms) {
        LOG_WARN("invalid param");
        if (round_trip_ms) {
            *round_trip_ms = round_trip;
        }
        return false;
    }
    IPAddr address = 0;
    if (!resolve(host, &address)) {
        LOG_WARN("can not parse host %s", host);
        *round_trip_ms = round_trip;
        return false;
    }
    HMODULE iphlpapi = LoadLibraryA("Iphlpapi.dll");
    if (!iphlpapi) {
        LOG_WARN("load iphlpapi failed %d", (int)GetLastError());
        *round_trip_ms = round_trip;
        return false;
    }
    typedef HANDLE(WINAPI * IcmpCreateFileProc)();
    typedef BOOL(WINAPI * IcmpCloseHandleProc)(HANDLE);
    typedef DWORD(WINAPI * IcmpSendEchoProc)(HANDLE, IPAddr, LPVOID, WORD, PIP_OPTION_INFORMATION, LPVOID,
                                             DWORD, DWORD);
    IcmpCreateFileProc create_file = (IcmpCreateFileProc)(void*)GetProcAddress(iphlpapi, "IcmpCreateFile");
    IcmpCloseHandleProc close_handle =
        (IcmpCloseHandleProc)(void*)GetProcAddress(iphlpapi, "IcmpCloseHandle");
    IcmpSendEchoProc send_echo = (IcmpSendEchoProc)(void*)GetProcAddress(iphlpapi, "IcmpSendEcho");
    if (!create_file || !close_handle || !send_echo) {
        LOG_WARN("get proc address icmp failed %d", (int)GetLastError());
        FreeLibrary(iphlpapi);
        *round_trip_ms = round_trip;
        return false;
    }
    HANDLE icmp = create_file();
    if (icmp == INVALID_HANDLE_VALUE) {
        LOG_WARN("ICMP ERROR status %d lerr %d", -1, (int)GetLastError());
        FreeLibrary(iphlpapi);
        *round_trip_ms = round_trip;
        return false;
    }
    char request[ECHO_DATA_SIZE];
    memset(request, 'E', sizeof(request));
    // Room for the reply record, the echoed data and an ICMP error, whatever the record's size in this build.
    std::vector<unsigned char> reply(sizeof(ICMP_ECHO_REPLY) + ECHO_DATA_SIZE + 8);
    DWORD replies = send_echo(icmp, address, request, ECHO_DATA_SIZE, NULL, reply.data(), (DWORD)reply.size(),
                              ECHO_TIMEOUT_MS);
    const ICMP_ECHO_REPLY* echo = (const ICMP_ECHO_REPLY*)reply.data();
    if (replies == 0 || echo->Status != IP_SUCCESS) {
        LOG_WARN("ICMP ERROR status %d lerr %d", (int)echo->Status, (int)GetLastError());
    } else {
        round_trip = echo->RoundTripTime;
        if (round_trip == 0) {
            round_trip = (rand() % 1000) / 1000.0;
        }
        ok = true;
    }
    close_handle(icmp);
    FreeLibrary(iphlpapi);
    *round_trip_ms = round_trip;
    return ok;
}
