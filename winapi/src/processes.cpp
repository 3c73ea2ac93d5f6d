// CreateProcessW, OpenProcess, TerminateProcess and the process objects behind their handles.
#include "files_internal.h"
#include "process_object.h"
#include "text_internal.h"
#include "winapi/processthreadsapi.h"

#include <cerrno>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace winapi_internal {
namespace {

int pidfd_open(pid_t pid) {
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

bool is_program(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

bool is_folder(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::vector<std::string> split_words(const std::string& text) {
    std::vector<std::string> words;
    std::string word;
    for (char c : text) {
        if (c == ' ' || c == '\t') {
            if (!word.empty()) {
                words.push_back(word);
                word.clear();
            }
        } else {
            word += c;
        }
    }
    if (!word.empty()) {
        words.push_back(word);
    }
    return words;
}

std::string native(const std::u16string& path) {
    return native_path(path.c_str());
}

// The program and its arguments (argv[0] the program) from the command line; false when no program is named.
bool parse_command_line(LPCWSTR application, const std::u16string& line, std::vector<std::string>* argv) {
    if (application) {
        std::string program = native_path(application);
        if (!is_program(program)) {
            return false;
        }
        std::vector<std::string> words = split_words(utf16_to_utf8(line.c_str()));
        argv->push_back(program);
        argv->insert(argv->end(), words.size() > 1 ? words.begin() + 1 : words.end(), words.end());
        return true;
    }
    std::u16string rest;
    std::string program;
    if (!line.empty() && line[0] == u'"') {
        size_t end = line.find(u'"', 1);
        program = native(line.substr(1, end == std::u16string::npos ? std::u16string::npos : end - 1));
        rest = end == std::u16string::npos ? std::u16string() : line.substr(end + 1);
        if (!is_program(program)) {
            return false;
        }
    } else {
        // As the Windows loader does with an unquoted path holding blanks: each run up to a blank, shortest
        // first.
        bool found = false;
        for (size_t at = 0; !found && at <= line.size(); ++at) {
            if (at < line.size() && line[at] != u' ' && line[at] != u'\t') {
                continue;
            }
            std::string candidate = native(line.substr(0, at));
            if (at > 0 && is_program(candidate)) {
                program = candidate;
                rest = line.substr(at);
                found = true;
            }
        }
        if (!found) {
            return false;
        }
    }
    argv->push_back(program);
    for (const std::string& word : split_words(utf16_to_utf8(rest.c_str()))) {
        argv->push_back(word);
    }
    return true;
}

}  // namespace

AcquireResult ProcessObject::try_acquire() {
    pollfd ended{pidfd_.get(), POLLIN, 0};
    return ::poll(&ended, 1, 0) == 1 ? AcquireResult::acquired : AcquireResult::not_signalled;
}

bool ProcessObject::terminate() {
    if (::syscall(SYS_pidfd_send_signal, pidfd_.get(), SIGKILL, nullptr, 0) != 0) {
        SetLastError(ERROR_ACCESS_DENIED);  // as for a process that has ended
        return false;
    }
    return true;
}

DWORD ProcessMainThread::resume() {
    std::lock_guard<std::mutex> hold(lock_);
    if (!suspended_) {
        return 0;
    }
    suspended_ = false;
    char go = 1;
    ssize_t written;
    do {
        written = ::write(gate_.get(), &go, 1);
    } while (written < 0 && errno == EINTR);
    gate_.reset();
    return 1;
}

}  // namespace winapi_internal

using namespace winapi_internal;

BOOL WINAPI CreateProcessW(LPCWSTR applicationName, LPWSTR commandLine,
                           LPSECURITY_ATTRIBUTES processAttributes, LPSECURITY_ATTRIBUTES threadAttributes,
                           BOOL inheritHandles, DWORD creationFlags, LPVOID environment,
                           LPCWSTR currentDirectory, LPSTARTUPINFOW startupInfo,
                           LPPROCESS_INFORMATION processInformation) {
    if ((!applicationName && !commandLine) || !processInformation) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::vector<std::string> args;
    if (!parse_command_line(applicationName, commandLine ? std::u16string(commandLine) : std::u16string(),
                            &args)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    std::string folder = currentDirectory ? native_path(currentDirectory) : std::string();
    if (currentDirectory && !is_folder(folder)) {
        SetLastError(ERROR_DIRECTORY);
        return FALSE;
    }
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(&arg[0]);
    }
    argv.push_back(nullptr);

    bool suspended = (creationFlags & CREATE_SUSPENDED) != 0;
    int gate[2] = {-1, -1};
    if (suspended && ::pipe2(gate, O_CLOEXEC) != 0) {
        SetLastError(error_from_errno(errno));
        return FALSE;
    }
    pid_t pid = ::fork();
    if (pid == 0) {
        // Only async-signal-safe calls from here on. No descriptor of ours reaches the program.
        ::syscall(SYS_close_range, 3u, ~0u, 4u /* CLOSE_RANGE_CLOEXEC */);
        if (gate[0] >= 0) {
            ::close(gate[1]);
            char go = 0;
            ssize_t got;
            do {
                got = ::read(gate[0], &go, 1);
            } while (got < 0 && errno == EINTR);
            if (got != 1) {
                ::_exit(127);  // never resumed
            }
        }
        if (!folder.empty() && ::chdir(folder.c_str()) != 0) {
            ::_exit(127);
        }
        ::execve(argv[0], argv.data(), environ);
        ::_exit(127);
    }
    int fork_error = errno;
    if (gate[0] >= 0) {
        ::close(gate[0]);
    }
    UniqueFd gate_write(gate[1]);
    if (pid < 0) {
        SetLastError(error_from_errno(fork_error));
        return FALSE;
    }
    UniqueFd pidfd(pidfd_open(pid));
    // The child is reaped when it ends, whatever happens to its handles.
    std::thread([pid] {
        while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }).detach();
    if (!pidfd.valid()) {
        ::kill(pid, SIGKILL);
        SetLastError(ERROR_TOO_MANY_OPEN_FILES);
        return FALSE;
    }
    HANDLE process = handle_insert(std::make_shared<ProcessObject>(pid, std::move(pidfd)));
    HANDLE thread =
        handle_insert(std::make_shared<ProcessMainThread>(static_cast<DWORD>(pid), std::move(gate_write)));
    if (!process || !thread) {
        ::kill(pid, SIGKILL);
        if (process) {
            CloseHandle(process);
        }
        if (thread) {
            CloseHandle(thread);
        }
        return FALSE;
    }
    processInformation->hProcess = process;
    processInformation->hThread = thread;
    processInformation->dwProcessId = static_cast<DWORD>(pid);
    processInformation->dwThreadId = static_cast<DWORD>(pid);
    return TRUE;
}

HANDLE WINAPI OpenProcess(DWORD desiredAccess, BOOL inheritHandle, DWORD processId) {
    if (processId == 0 || processId > static_cast<DWORD>(INT32_MAX)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    UniqueFd pidfd(pidfd_open(static_cast<pid_t>(processId)));
    if (!pidfd.valid()) {
        SetLastError(errno == ESRCH ? ERROR_INVALID_PARAMETER : error_from_errno(errno));
        return nullptr;
    }
    return handle_insert(std::make_shared<ProcessObject>(static_cast<pid_t>(processId), std::move(pidfd)));
}

BOOL WINAPI TerminateProcess(HANDLE process, UINT exitCode) {
    std::shared_ptr<ProcessObject> object = handle_lookup_as<ProcessObject>(process);
    return object && object->terminate() ? TRUE : FALSE;
}
