// CreateFile, ReadFile, WriteFile, DeleteFile and CreateDirectory over POSIX descriptors.
#include "winapi/fileapi.h"

#include "files_internal.h"
#include "io_object.h"
#include "named_pipe.h"
#include "text_internal.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace winapi_internal {

std::string native_path(LPCWSTR path) {
    std::string native = utf16_to_utf8(path);
    for (char& c : native) {
        if (c == '\\') {
            c = '/';
        }
    }
    return native;
}

std::string native_path_ansi(LPCSTR path) {
    std::u16string wide = ansi_to_utf16(path);
    return native_path(wide.c_str());
}

DWORD error_from_errno(int error) {
    switch (error) {
        case 0:
            return ERROR_SUCCESS;
        case ENOENT:
            return ERROR_FILE_NOT_FOUND;
        case ENOTDIR:
            return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EISDIR:
        case EROFS:
            return ERROR_ACCESS_DENIED;
        case EEXIST:
            return ERROR_ALREADY_EXISTS;
        case EBADF:
            return ERROR_INVALID_HANDLE;
        case EMFILE:
        case ENFILE:
            return ERROR_TOO_MANY_OPEN_FILES;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case ENOSPC:
        case EDQUOT:
            return ERROR_DISK_FULL;
        case ENAMETOOLONG:
            return ERROR_FILENAME_EXCED_RANGE;
        case ENOTEMPTY:
            return ERROR_DIR_NOT_EMPTY;
        case EINVAL:
            return ERROR_INVALID_PARAMETER;
        case EPIPE:
            return ERROR_BROKEN_PIPE;
        default:
            return ERROR_INVALID_FUNCTION;
    }
}

bool make_directories(const std::string& path, unsigned mode) {
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        std::string prefix = path.substr(0, slash);
        if (!prefix.empty() && mkdir(prefix.c_str(), mode) != 0 && errno != EEXIST) {
            return false;
        }
        if (slash == std::string::npos) {
            break;
        }
    }
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return false;
    }
    return true;
}

bool read_whole_file(const std::string& path, uint64_t max_size, std::vector<uint8_t>& contents,
                     struct stat* info) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    contents.clear();
    struct stat st;
    bool ok = fstat(fd, &st) == 0;
    if (ok && !S_ISREG(st.st_mode)) {
        errno = EINVAL;
        ok = false;
    }
    if (ok && (uint64_t)st.st_size > max_size) {
        errno = EFBIG;
        ok = false;
    }
    // The size is only a hint: the file may change while it is read. Never read more than max_size.
    if (ok) {
        contents.reserve((size_t)st.st_size);
        if (info) {
            *info = st;
        }
    }
    uint8_t buffer[65536];
    while (ok) {
        ssize_t n = read(fd, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            ok = false;
        } else if (n == 0) {
            break;
        } else if (contents.size() + (uint64_t)n > max_size) {
            errno = EFBIG;
            ok = false;
        } else {
            contents.insert(contents.end(), buffer, buffer + n);
        }
    }
    int saved = errno;
    close(fd);
    errno = saved;
    return ok;
}

namespace {

class FileObject : public IoObject {
public:
    explicit FileObject(int fd) : fd_(fd) {}
    ~FileObject() override { close(fd_); }

    BOOL read(LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead, LPOVERLAPPED overlapped) override {
        if (overlapped || !bytesRead || (!buffer && bytesToRead > 0)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        *bytesRead = 0;
        ssize_t n;
        do {
            n = ::read(fd_, buffer, bytesToRead);
        } while (n < 0 && errno == EINTR);
        if (n < 0) {
            SetLastError(error_from_errno(errno));
            return FALSE;
        }
        *bytesRead = (DWORD)n;
        return TRUE;
    }

    BOOL write(LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten, LPOVERLAPPED overlapped) override {
        if (overlapped || !bytesWritten || (!buffer && bytesToWrite > 0)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        *bytesWritten = 0;
        // A file write on Windows completes whole or fails.
        const char* p = (const char*)buffer;
        DWORD done = 0;
        while (done < bytesToWrite) {
            ssize_t n = ::write(fd_, p + done, bytesToWrite - done);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                *bytesWritten = done;
                SetLastError(n < 0 ? error_from_errno(errno) : ERROR_DISK_FULL);
                return FALSE;
            }
            done += (DWORD)n;
        }
        *bytesWritten = done;
        return TRUE;
    }

private:
    int fd_;
};

// ENOENT covers a missing file and a missing folder on the way; Windows tells them apart.
DWORD missing_error(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0) {
        return ERROR_FILE_NOT_FOUND;
    }
    struct stat st;
    std::string parent = path.substr(0, slash);
    return stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? ERROR_FILE_NOT_FOUND
                                                                 : ERROR_PATH_NOT_FOUND;
}

DWORD open_error(const std::string& path, int error) {
    return error == ENOENT ? missing_error(path) : error_from_errno(error);
}

HANDLE create_file(const std::string& path, DWORD access, DWORD disposition, DWORD flags) {
    if (path.empty()) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (flags & FILE_FLAG_OVERLAPPED) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return INVALID_HANDLE_VALUE;
    }
    bool reading = (access & (GENERIC_READ | GENERIC_ALL)) != 0;
    bool writing = (access & (GENERIC_WRITE | GENERIC_ALL)) != 0;
    int mode = reading && writing ? O_RDWR : (writing ? O_WRONLY : O_RDONLY);
    mode |= O_CLOEXEC;
    if (flags & FILE_FLAG_WRITE_THROUGH) {
        mode |= O_DSYNC;
    }

    int fd = -1;
    bool existed = false;
    switch (disposition) {
        case CREATE_NEW:
            fd = open(path.c_str(), mode | O_CREAT | O_EXCL, 0666);
            if (fd < 0 && errno == EEXIST) {
                SetLastError(ERROR_FILE_EXISTS);
                return INVALID_HANDLE_VALUE;
            }
            break;
        case CREATE_ALWAYS:
        case OPEN_ALWAYS:
            // Create exclusively first so that the caller learns whether the file was there before.
            for (int attempt = 0; attempt < 8 && fd < 0; attempt++) {
                fd = open(path.c_str(), mode | O_CREAT | O_EXCL, 0666);
                if (fd >= 0 || errno != EEXIST) {
                    break;
                }
                fd = open(path.c_str(), mode | (disposition == CREATE_ALWAYS ? O_TRUNC : 0));
                existed = fd >= 0;
                if (fd < 0 && errno != ENOENT) {
                    break;
                }
            }
            break;
        case OPEN_EXISTING:
            fd = open(path.c_str(), mode);
            break;
        case TRUNCATE_EXISTING:
            if (!writing) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return INVALID_HANDLE_VALUE;
            }
            fd = open(path.c_str(), mode | O_TRUNC);
            break;
        default:
            SetLastError(ERROR_INVALID_PARAMETER);
            return INVALID_HANDLE_VALUE;
    }
    if (fd < 0) {
        SetLastError(open_error(path, errno));
        return INVALID_HANDLE_VALUE;
    }
    // Windows opens a folder only with FILE_FLAG_BACKUP_SEMANTICS, which the program never passes.
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        close(fd);
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE handle = handle_insert(std::make_shared<FileObject>(fd));
    if (!handle) {
        return INVALID_HANDLE_VALUE;
    }
    if (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS) {
        SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    }
    return handle;
}

BOOL delete_file(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (unlink(path.c_str()) != 0) {
        SetLastError(open_error(path, errno));
        return FALSE;
    }
    return TRUE;
}

BOOL create_directory(const std::string& path) {
    if (path.empty()) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    if (mkdir(path.c_str(), 0777) != 0) {
        SetLastError(errno == ENOENT ? ERROR_PATH_NOT_FOUND : error_from_errno(errno));
        return FALSE;
    }
    return TRUE;
}

}  // namespace

}  // namespace winapi_internal

using namespace winapi_internal;

HANDLE WINAPI CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode,
                          LPSECURITY_ATTRIBUTES attributes, DWORD creationDisposition,
                          DWORD flagsAndAttributes, HANDLE templateFile) {
    if (!fileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (is_pipe_name(fileName)) {
        return open_pipe_client(fileName, desiredAccess, flagsAndAttributes);
    }
    return create_file(native_path(fileName), desiredAccess, creationDisposition, flagsAndAttributes);
}

HANDLE WINAPI CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode,
                          LPSECURITY_ATTRIBUTES attributes, DWORD creationDisposition,
                          DWORD flagsAndAttributes, HANDLE templateFile) {
    if (!fileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::u16string wide = ansi_to_utf16(fileName);
    if (is_pipe_name(wide.c_str())) {
        return open_pipe_client(wide.c_str(), desiredAccess, flagsAndAttributes);
    }
    return create_file(native_path_ansi(fileName), desiredAccess, creationDisposition, flagsAndAttributes);
}

BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead,
                     LPOVERLAPPED overlapped) {
    std::shared_ptr<IoObject> object = handle_lookup_as<IoObject>(file);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return object->read(buffer, bytesToRead, bytesRead, overlapped);
}

BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
                      LPOVERLAPPED overlapped) {
    std::shared_ptr<IoObject> object = handle_lookup_as<IoObject>(file);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return object->write(buffer, bytesToWrite, bytesWritten, overlapped);
}

BOOL WINAPI DeleteFileW(LPCWSTR fileName) {
    if (!fileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return delete_file(native_path(fileName));
}

BOOL WINAPI DeleteFileA(LPCSTR fileName) {
    if (!fileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return delete_file(native_path_ansi(fileName));
}

BOOL WINAPI CreateDirectoryW(LPCWSTR pathName, LPSECURITY_ATTRIBUTES attributes) {
    if (!pathName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return create_directory(native_path(pathName));
}

BOOL WINAPI CreateDirectoryA(LPCSTR pathName, LPSECURITY_ATTRIBUTES attributes) {
    if (!pathName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return create_directory(native_path_ansi(pathName));
}
