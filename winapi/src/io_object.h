// Kernel objects that ReadFile and WriteFile work on: files here, pipes in their own area.
#pragma once

#include "winapi/fileapi.h"

#include "kernel_object.h"

namespace winapi_internal {

class IoObject : public KernelObject {
public:
    // The arguments of ReadFile/WriteFile after the handle; the same results and last-error rules.
    virtual BOOL read(LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead, LPOVERLAPPED overlapped) = 0;
    virtual BOOL write(LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten, LPOVERLAPPED overlapped) = 0;
};

}  // namespace winapi_internal
