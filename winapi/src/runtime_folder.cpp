#include "runtime_folder.h"

#include "event_fd.h"

#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace winapi_internal {

bool make_private_folder(const std::string& path) {
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        SetLastError(kernel_error_from_errno(errno));
        return false;
    }
    // /tmp is shared: someone else may have put a link or their own folder here first.
    struct stat info;
    if (::lstat(path.c_str(), &info) != 0) {
        SetLastError(kernel_error_from_errno(errno));
        return false;
    }
    if (!S_ISDIR(info.st_mode) || info.st_uid != ::geteuid()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    if ((info.st_mode & 077) != 0 && ::chmod(path.c_str(), 0700) != 0) {
        SetLastError(kernel_error_from_errno(errno));
        return false;
    }
    return true;
}

std::string runtime_folder() {
    const char* base = std::getenv("XDG_RUNTIME_DIR");
    std::string folder;
    if (base && base[0] == '/') {
        folder = std::string(base) + "/ktwsession";
    } else {
        folder = "/tmp/ktwsession-" + std::to_string(::geteuid());
    }
    return make_private_folder(folder) ? folder : std::string();
}

}  // namespace winapi_internal
