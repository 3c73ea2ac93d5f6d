// Stand-in for the maker's core component as the tunnel uses it: the session id and the gateway address,
// with answers the tests choose. Built a second time without GetVPNAddress.
#include <atomic>
#include <cstring>
#include <mutex>
#include <string>

namespace {
std::mutex lock;
unsigned char session_id[32];
int session_result = 1;
unsigned int line_address = 0;  // network order
unsigned int line_port = 0;     // network order, low 16 bits
std::string vpn_address;
unsigned int vpn_port = 0;
int vpn_result = 1;
bool vpn_fill_whole = false;
}  // namespace

extern "C" {

__attribute__((visibility("default"))) int GetSessionID(unsigned char* buffer, int size) {
    std::lock_guard<std::mutex> guard(lock);
    memcpy(buffer, session_id, size < 32 ? size : 32);
    return session_result;
}

__attribute__((visibility("default"))) unsigned int GetCurrentLine(unsigned int* port) {
    std::lock_guard<std::mutex> guard(lock);
    *port = line_port;
    return line_address;
}

#ifndef STUB_WITHOUT_VPN_ADDRESS
__attribute__((visibility("default"))) int GetVPNAddress(char* buffer, int size, unsigned int* port) {
    std::lock_guard<std::mutex> guard(lock);
    if (vpn_fill_whole) {
        // No terminator anywhere in the buffer.
        memset(buffer, 'h', size);
    } else {
        strncpy(buffer, vpn_address.c_str(), size - 1);
        buffer[size - 1] = 0;
    }
    *port = vpn_port;
    return vpn_result;
}
#endif

__attribute__((visibility("default"))) void stub_set_session(const unsigned char* id, int result) {
    std::lock_guard<std::mutex> guard(lock);
    memcpy(session_id, id, 32);
    session_result = result;
}

__attribute__((visibility("default"))) void stub_set_line(unsigned int address, unsigned int port) {
    std::lock_guard<std::mutex> guard(lock);
    line_address = address;
    line_port = port;
}

__attribute__((visibility("default"))) void stub_set_vpn_address(const char* text, unsigned int port,
                                                                 int result, int fill_whole) {
    std::lock_guard<std::mutex> guard(lock);
    vpn_address = text;
    vpn_port = port;
    vpn_result = result;
    vpn_fill_whole = fill_whole != 0;
}
}
