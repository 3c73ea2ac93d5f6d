// FormatMessageA with the system's texts for the Windows and Winsock error codes this layer produces.
#include "winapi/winbase.h"

#include <cstring>
#include <string>

namespace {

struct MessageText {
    DWORD code;
    const char* text;
};

// Sorted by code.
const MessageText SYSTEM_MESSAGES[] = {
    {0, "The operation completed successfully."},
    {1, "Incorrect function."},
    {2, "The system cannot find the file specified."},
    {3, "The system cannot find the path specified."},
    {4, "The system cannot open the file."},
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {8, "Not enough memory resources are available to process this command."},
    {13, "The data is invalid."},
    {14, "Not enough memory resources are available to complete this operation."},
    {18, "There are no more files."},
    {50, "The request is not supported."},
    {80, "The file exists."},
    {87, "The parameter is incorrect."},
    {109, "The pipe has been ended."},
    {111, "The file name is too long."},
    {112, "There is not enough space on the disk."},
    {122, "The data area passed to a system call is too small."},
    {123, "The filename, directory name, or volume label syntax is incorrect."},
    {126, "The specified module could not be found."},
    {127, "The specified procedure could not be found."},
    {145, "The directory is not empty."},
    {160, "One or more arguments are not correct."},
    {161, "The specified path is invalid."},
    {183, "Cannot create a file when that file already exists."},
    {193, "%1 is not a valid Win32 application."},
    {203, "The system could not find the environment option that was entered."},
    {206, "The filename or extension is too long."},
    {231, "All pipe instances are busy."},
    {232, "The pipe is being closed."},
    {234, "More data is available."},
    {259, "No more data is available."},
    {288, "Attempt to release mutex not owned by caller."},
    {317, "The system cannot find message text for message number 0x%1 in the message file for %2."},
    {535, "There is a process on other end of the pipe."},
    {536, "Waiting for a process to open the other end of the pipe."},
    {995, "The I/O operation has been aborted because of either a thread exit or an application request."},
    {996, "Overlapped I/O event is not in a signaled state."},
    {997, "Overlapped I/O operation is in progress."},
    {998, "Invalid access to memory location."},
    {1004, "Invalid flags."},
    {1011, "The configuration registry key could not be opened."},
    {1012, "The configuration registry key could not be read."},
    {1013, "The configuration registry key could not be written."},
    {1018, "Illegal operation attempted on a registry key that has been marked for deletion."},
    {1113, "No mapping for the Unicode character exists in the target multi-byte code page."},
    {1150, "The specified program requires a newer version of Windows."},
    {1168, "Element not found."},
    {1400, "Invalid window handle."},
    {1444, "Invalid thread identifier."},
    {1460, "This operation returned because the timeout period expired."},
    {1816, "Not enough quota is available to process this command."},
    {10004, "A blocking operation was interrupted by a call to WSACancelBlockingCall."},
    {10009, "The file handle supplied is not valid."},
    {10013, "An attempt was made to access a socket in a way forbidden by its access permissions."},
    {10014,
     "The system detected an invalid pointer address in attempting to use a pointer argument in a call."},
    {10022, "An invalid argument was supplied."},
    {10024, "Too many open sockets."},
    {10035, "A non-blocking socket operation could not be completed immediately."},
    {10036, "A blocking operation is currently executing."},
    {10037, "An operation was attempted on a non-blocking socket that already had an operation in progress."},
    {10038, "An operation was attempted on something that is not a socket."},
    {10039, "A required address was omitted from an operation on a socket."},
    {10040,
     "A message sent on a datagram socket was larger than the internal message buffer or some other network "
     "limit, or the buffer used to receive a datagram into was smaller than the datagram itself."},
    {10041,
     "A protocol was specified in the socket function call that does not support the semantics of the socket "
     "type requested."},
    {10042,
     "An unknown, invalid, or unsupported option or level was specified in a getsockopt or setsockopt call."},
    {10043,
     "The requested protocol has not been configured into the system, or no implementation for it exists."},
    {10044, "The support for the specified socket type does not exist in this address family."},
    {10045, "The attempted operation is not supported for the type of object referenced."},
    {10046,
     "The protocol family has not been configured into the system or no implementation for it exists."},
    {10047, "An address incompatible with the requested protocol was used."},
    {10048, "Only one usage of each socket address (protocol/network address/port) is normally permitted."},
    {10049, "The requested address is not valid in its context."},
    {10050, "A socket operation encountered a dead network."},
    {10051, "A socket operation was attempted to an unreachable network."},
    {10052,
     "The connection has been broken due to keep-alive activity detecting a failure while the operation was "
     "in progress."},
    {10053, "An established connection was aborted by the software in your host machine."},
    {10054, "An existing connection was forcibly closed by the remote host."},
    {10055,
     "An operation on a socket could not be performed because the system lacked sufficient buffer space or "
     "because a queue was full."},
    {10056, "A connect request was made on an already connected socket."},
    {10057,
     "A request to send or receive data was disallowed because the socket is not connected and (when sending "
     "on a datagram socket using a sendto call) no address was supplied."},
    {10058,
     "A request to send or receive data was disallowed because the socket had already been shut down in that "
     "direction with a previous shutdown call."},
    {10060,
     "A connection attempt failed because the connected party did not properly respond after a period of "
     "time, or established connection failed because connected host has failed to respond."},
    {10061, "No connection could be made because the target machine actively refused it."},
    {10064, "A socket operation failed because the destination host was down."},
    {10065, "A socket operation was attempted to an unreachable host."},
    {10091,
     "WSAStartup cannot function at this time because the underlying system it uses to provide network "
     "services is currently unavailable."},
    {10092, "The Windows Sockets version requested is not supported."},
    {10093, "Either the application has not called WSAStartup, or WSAStartup failed."},
    {10109, "The specified class was not found."},
    {11001, "No such host is known."},
    {11002,
     "This is usually a temporary error during hostname resolution and means that the local server did not "
     "receive a response from an authoritative server."},
    {11003, "A non-recoverable error occurred during a database lookup."},
    {11004, "The requested name is valid, but no data of the requested type was found."},
};

const char* system_text(DWORD code) {
    size_t lo = 0, hi = sizeof(SYSTEM_MESSAGES) / sizeof(SYSTEM_MESSAGES[0]);
    while (lo < hi) {
        size_t mid = (lo + hi) / 2;
        if (SYSTEM_MESSAGES[mid].code == code) {
            return SYSTEM_MESSAGES[mid].text;
        }
        if (SYSTEM_MESSAGES[mid].code < code) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    return nullptr;
}

bool has_inserts(const char* text) {
    for (const char* p = strchr(text, '%'); p; p = strchr(p + 1, '%')) {
        if (p[1] >= '1' && p[1] <= '9') {
            return true;
        }
    }
    return false;
}

}  // namespace

DWORD WINAPI FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPSTR buffer,
                            DWORD size, va_list* arguments) {
    if (!(flags & FORMAT_MESSAGE_FROM_SYSTEM) ||
        (flags & (FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_FROM_HMODULE)) || !buffer) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const char* found = system_text(messageId);
    if (!found) {
        SetLastError(ERROR_MR_MID_NOT_FOUND);
        return 0;
    }
    if (!(flags & FORMAT_MESSAGE_IGNORE_INSERTS) && has_inserts(found)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::string text = std::string(found) + "\r\n";
    DWORD length = (DWORD)text.size();
    if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        // size is then the least number of characters to allocate.
        SIZE_T bytes = length + 1 > size ? length + 1 : size;
        char* block = (char*)LocalAlloc(LMEM_FIXED, bytes);
        if (!block) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return 0;
        }
        memcpy(block, text.c_str(), length + 1);
        *(char**)buffer = block;
        return length;
    }
    if (length + 1 > size) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    memcpy(buffer, text.c_str(), length + 1);
    return length;
}
