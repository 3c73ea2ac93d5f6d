// Named pipes "\\.\pipe\<name>" between the processes of this user. Every pipe carries messages and both ends
// read whole messages: a read into a buffer shorter than the message fails with ERROR_MORE_DATA after filling
// it, and the rest of the message is what the next read returns.
#pragma once

#include "winapi/fileapi.h"
#include "winapi/wintypes.h"

#define PIPE_ACCESS_INBOUND 0x00000001
#define PIPE_ACCESS_OUTBOUND 0x00000002
#define PIPE_ACCESS_DUPLEX 0x00000003

#define PIPE_TYPE_BYTE 0x00000000
#define PIPE_TYPE_MESSAGE 0x00000004
#define PIPE_READMODE_BYTE 0x00000000
#define PIPE_READMODE_MESSAGE 0x00000002
#define PIPE_WAIT 0x00000000
#define PIPE_NOWAIT 0x00000001
#define PIPE_ACCEPT_REMOTE_CLIENTS 0x00000000
#define PIPE_REJECT_REMOTE_CLIENTS 0x00000008

#define PIPE_UNLIMITED_INSTANCES 255

#define NMPWAIT_USE_DEFAULT_WAIT 0x00000000
#define NMPWAIT_WAIT_FOREVER 0xFFFFFFFFu

#ifndef ERROR_PIPE_NOT_CONNECTED
#define ERROR_PIPE_NOT_CONNECTED 233L
#endif

// One more instance of the name (at most maxInstances, 1-255, which every instance must agree on). Only
// message pipes (PIPE_TYPE_MESSAGE) are provided; the open mode must allow both directions.
// INVALID_HANDLE_VALUE on failure: ERROR_INVALID_NAME, ERROR_PIPE_BUSY (all instances exist, or another
// process serves the name), ERROR_ACCESS_DENIED (FILE_FLAG_FIRST_PIPE_INSTANCE for a name that exists),
// ERROR_INVALID_PARAMETER, ERROR_NOT_SUPPORTED.
HANDLE WINAPI CreateNamedPipeW(LPCWSTR name, DWORD openMode, DWORD pipeMode, DWORD maxInstances,
                               DWORD outBufferSize, DWORD inBufferSize, DWORD defaultTimeOut,
                               LPSECURITY_ATTRIBUTES securityAttributes);
// Waits for a client on the instance. Overlapped: FALSE with ERROR_IO_PENDING (the event is reset now and set
// when a client connects), or FALSE with ERROR_PIPE_CONNECTED when a client was already there (a good
// connection; the event is not set). ERROR_NO_DATA when the last client left and DisconnectNamedPipe was not
// called.
BOOL WINAPI ConnectNamedPipe(HANDLE namedPipe, LPOVERLAPPED overlapped);
// Forces the client off (unread data is discarded; the instance's pending reads and writes fail with
// ERROR_PIPE_NOT_CONNECTED); the instance can then wait for a client again.
BOOL WINAPI DisconnectNamedPipe(HANDLE namedPipe);
