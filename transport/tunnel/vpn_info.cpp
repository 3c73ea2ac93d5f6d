#include "transport/tunnel/vpn_info.h"

#include "runtime/log.h"
#include "runtime/stringconv.h"
#include "transport/tunnel/core_component_loader.h"

#include "winapi/windows.h"
#include "winapi/winsock2.h"

#include <cstring>

namespace {

const size_t TICKET_DIGITS = 128;
const size_t TICKET_BYTES = 64;
const int SESSION_ID_BUFFER = 32;
const uint32_t REQUEST_WORD_A = 10;

// Exports of the core component; only what the calls here rely on is fixed.
typedef int (*GetSessionIDProc)(unsigned char* buffer, int size);
typedef DWORD (*GetCurrentLineProc)(DWORD* port);
typedef int (*GetVPNAddressProc)(char* buffer, int size, DWORD* port);

// FARPROC to the export's own type; going through void (*)() says the change of type is meant.
template <typename Proc>
Proc export_of(HMODULE module, const char* name) {
    return reinterpret_cast<Proc>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// Narrow text of the system code page into a UTF-8 buffer of size bytes, terminator included.
bool narrow_to_utf8(const std::string& text, size_t size, char* utf8) {
    WCHAR* wide = AnsiToWide(text.c_str());
    if (!wide) {
        return false;
    }
    bool converted = wide_to_utf8(size, wide, utf8);
    HeapFree(GetProcessHeap(), 0, wide);
    return converted;
}

// The ticket's last 16 bytes key the records, and the user name travels in the request.
bool LoadOspxTicket(VpnInfo* info, const std::string& ticket, const std::string& user_name) {
    char ticket_utf8[TICKET_DIGITS + 1] = {};
    unsigned char ticket_bytes[TICKET_BYTES];
    if (!narrow_to_utf8(ticket, sizeof(ticket_utf8), ticket_utf8) || strlen(ticket_utf8) < TICKET_DIGITS ||
        !HexToBytes64(ticket_utf8, ticket_bytes)) {
        LOG_INFO("load ticket failed.");
        return false;
    }
    if (!narrow_to_utf8(user_name, sizeof(info->user_name), info->user_name)) {
        LOG_INFO("convert user name failed.");
        memset(info->user_name, 0, sizeof(info->user_name));
    }
    memcpy(info->stream_key, ticket_bytes + TICKET_BYTES - VPN_KEY_SIZE, VPN_KEY_SIZE);
    memcpy(info->stream_key_copy, ticket_bytes + TICKET_BYTES - VPN_KEY_SIZE, VPN_KEY_SIZE);
    return true;
}

void copy_text(char* to, size_t size, const char* from) {
    size_t length = strnlen(from, size - 1);
    memcpy(to, from, length);
    to[length] = 0;
}

}  // namespace

bool LoadOspxAddressAndSessId(VpnInfo* info, const std::string& ticket, const std::string& user_name) {
    memset(info, 0, sizeof(*info));
    HMODULE core = LoadCoreComModule();
    if (!core) {
        LOG_INFO("load voranthcore failed.");
        return false;
    }
    GetSessionIDProc get_session_id = export_of<GetSessionIDProc>(core, "GetSessionID");
    GetCurrentLineProc get_current_line = export_of<GetCurrentLineProc>(core, "GetCurrentLine");
    if (!get_session_id || !get_current_line) {
        LOG_INFO("get voranthcore functions failed.");
        FreeLibrary(core);
        return false;
    }
    unsigned char session_id[SESSION_ID_BUFFER] = {};
    if (!get_session_id(session_id, SESSION_ID_BUFFER)) {
        LOG_INFO("GetSessionID failed.");
        FreeLibrary(core);
        return false;
    }
    memcpy(info->stream_key, session_id, VPN_KEY_SIZE);
    memcpy(info->session_id, session_id, VPN_KEY_SIZE);
    memcpy(info->request_key, session_id, VPN_KEY_SIZE);

    LoadOspxTicket(info, ticket, user_name);
    info->request_a = REQUEST_WORD_A;

    DWORD port_word = 0;
    DWORD address = get_current_line(&port_word);
    u_short port = ntohs((u_short)(port_word & 0xFFFF));
    in_addr gateway;
    gateway.s_addr = address;
    const char* address_text = address != 0 && port != 0 ? inet_ntoa(gateway) : nullptr;
    if (address_text) {
        copy_text(info->hostname, sizeof(info->hostname), address_text);
        info->port = port;
        FreeLibrary(core);
        return true;
    }

    GetVPNAddressProc get_vpn_address = export_of<GetVPNAddressProc>(core, "GetVPNAddress");
    if (!get_vpn_address) {
        LOG_INFO("get GetVPNAddress function address failed.");
        FreeLibrary(core);
        return false;
    }
    char vpn_address[VPN_HOSTNAME_SIZE] = {};
    port_word = 0;
    if (!get_vpn_address(vpn_address, (int)sizeof(vpn_address), &port_word)) {
        LOG_INFO("GetVPNAddress failed.");
        FreeLibrary(core);
        return false;
    }
    copy_text(info->hostname, sizeof(info->hostname), vpn_address);
    info->port = port_word & 0xFFFF;
    FreeLibrary(core);
    return true;
}
