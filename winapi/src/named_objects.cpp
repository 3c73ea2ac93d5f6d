#include "named_objects.h"

#include "runtime_folder.h"

#include <openssl/sha.h>

#include <cstdio>
#include <mutex>
#include <string_view>
#include <unordered_map>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace winapi_internal {
namespace {

// Longest escaped name kept readable in a file name; longer ones are replaced by their hash.
constexpr size_t max_readable_key = 200;

bool is_event(NamedKind kind) {
    return kind != NamedKind::mutex;
}

// Events and mutexes share one namespace; the two reset kinds of event are one type.
bool same_type(NamedKind a, NamedKind b) {
    return is_event(a) == is_event(b);
}

bool starts_with(std::u16string_view text, std::u16string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// The file-name key of an object name: 'L' (session) or 'G' (global) namespace, then the name with every
// character other than ASCII letters, digits, '_' and '-' escaped (names are case-sensitive, as files are).
bool object_key(LPCWSTR name, std::string* key) {
    size_t length = 0;
    while (name[length]) {
        if (++length > MAX_PATH) {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return false;
        }
    }
    std::u16string_view rest(name, length);
    char space = 'L';
    if (starts_with(rest, u"Local\\")) {
        rest.remove_prefix(6);
    } else if (starts_with(rest, u"Global\\")) {
        rest.remove_prefix(7);
        space = 'G';
    }
    if (rest.empty()) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    if (rest.find(u'\\') != std::u16string_view::npos) {
        SetLastError(ERROR_PATH_NOT_FOUND);  // there are no folders below the namespace
        return false;
    }
    std::string escaped;
    for (char16_t c : rest) {
        bool plain = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') ||
                     c == u'_' || c == u'-';
        if (plain) {
            escaped += static_cast<char>(c);
        } else {
            char code[8];
            std::snprintf(code, sizeof code, "%%%04x", static_cast<unsigned>(c));
            escaped += code;
        }
    }
    if (escaped.size() > max_readable_key) {
        std::string units;
        for (char16_t c : rest) {
            units += static_cast<char>(c & 0xFF);
            units += static_cast<char>(c >> 8);
        }
        unsigned char digest[SHA256_DIGEST_LENGTH];
        SHA256(reinterpret_cast<const unsigned char*>(units.data()), units.size(), digest);
        escaped = "#";
        for (unsigned char byte : digest) {
            char hex[3];
            std::snprintf(hex, sizeof hex, "%02x", byte);
            escaped += hex;
        }
    }
    *key = std::string(1, space) + "-" + escaped;
    return true;
}

struct LiveName {
    std::weak_ptr<KernelObject> object;
    NamedKind kind;
};

// In-process state of the names. The lock is recursive because dropping a NameHold (which takes it) can
// happen while a creation that holds it fails.
struct Registry {
    std::recursive_mutex lock;
    std::unordered_map<std::string, LiveName> names;  // guarded by lock
    UniqueFd folder_lock_fd;                          // guarded by lock
    int folder_lock_depth = 0;                        // guarded by lock
};

Registry& registry() {
    static Registry* instance = new Registry;  // never destroyed: objects may outlive static destruction
    return *instance;
}

// The exclusive lock on objects/.lock, taken with the registry's lock held. Nested holds in this process
// share one flock (a second flock on another descriptor of the same file would wait for the first).
class FolderLock {
public:
    explicit FolderLock(const std::string& folder) {
        Registry& reg = registry();
        if (reg.folder_lock_depth > 0) {
            ++reg.folder_lock_depth;
            held_ = true;
            return;
        }
        UniqueFd fd(::open((folder + "/.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
        if (!fd.valid()) {
            SetLastError(kernel_error_from_errno(errno));
            return;
        }
        while (::flock(fd.get(), LOCK_EX) != 0) {
            if (errno != EINTR) {
                SetLastError(kernel_error_from_errno(errno));
                return;
            }
        }
        reg.folder_lock_fd = std::move(fd);
        reg.folder_lock_depth = 1;
        held_ = true;
    }
    ~FolderLock() {
        Registry& reg = registry();
        if (held_ && --reg.folder_lock_depth == 0) {
            reg.folder_lock_fd.reset();
        }
    }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

    bool held() const { return held_; }

private:
    bool held_ = false;
};

bool read_kind(int fd, NamedKind* kind) {
    char record[4];
    if (::pread(fd, record, sizeof record, 0) < 1) {
        return false;
    }
    switch (record[0]) {
        case 'a':
            *kind = NamedKind::auto_event;
            return true;
        case 'm':
            *kind = NamedKind::manual_event;
            return true;
        case 'x':
            *kind = NamedKind::mutex;
            return true;
        default:
            return false;  // not ours, or damaged: treated as a name of another type
    }
}

bool write_kind(int fd, NamedKind kind) {
    char record[2] = {static_cast<char>(kind), '\n'};
    return ::ftruncate(fd, 0) == 0 && ::pwrite(fd, record, sizeof record, 0) == sizeof record;
}

UniqueFd open_fifo(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW));
    struct stat info;
    if (fd.valid() && (::fstat(fd.get(), &info) != 0 || !S_ISFIFO(info.st_mode))) {
        fd.reset();
        errno = EACCES;
    }
    return fd;
}

std::shared_ptr<KernelObject> find_or_make(LPCWSTR name, NamedKind kind, const NamedObjectFactory& make,
                                           bool create, bool* existed) {
    std::string key;
    if (!object_key(name, &key)) {
        return nullptr;
    }
    Registry& reg = registry();
    std::lock_guard<std::recursive_mutex> guard(reg.lock);

    auto live = reg.names.find(key);
    if (live != reg.names.end()) {
        if (std::shared_ptr<KernelObject> object = live->second.object.lock()) {
            if (!same_type(live->second.kind, kind)) {
                SetLastError(ERROR_INVALID_HANDLE);
                return nullptr;
            }
            *existed = true;
            return object;
        }
    }

    std::string folder = runtime_folder();
    if (folder.empty()) {
        return nullptr;
    }
    folder += "/objects";
    if (!make_private_folder(folder)) {
        return nullptr;
    }
    FolderLock folder_lock(folder);
    if (!folder_lock.held()) {
        return nullptr;
    }
    const std::string base = folder + "/" + key;
    const std::string companion_path = base + ".obj";
    const std::string fifo_path = base + ".fifo";

    int flags = O_RDWR | O_CLOEXEC | O_NOFOLLOW | (create ? O_CREAT : 0);
    UniqueFd companion(::open(companion_path.c_str(), flags, 0600));
    if (!companion.valid()) {
        SetLastError(errno == ENOENT ? ERROR_FILE_NOT_FOUND : kernel_error_from_errno(errno));
        return nullptr;
    }
    // Only a live holder's shared lock can stop this; a holder that died released its lock with its files.
    bool held_elsewhere = ::flock(companion.get(), LOCK_EX | LOCK_NB) != 0;
    if (held_elsewhere && errno != EWOULDBLOCK) {
        SetLastError(kernel_error_from_errno(errno));
        return nullptr;
    }
    auto drop_files = [&] {
        ::unlink(fifo_path.c_str());
        ::unlink(companion_path.c_str());
    };

    NamedKind recorded = kind;
    UniqueFd fifo;
    if (held_elsewhere) {
        if (!read_kind(companion.get(), &recorded) || !same_type(recorded, kind)) {
            SetLastError(ERROR_INVALID_HANDLE);
            return nullptr;
        }
        if (is_event(recorded)) {
            fifo = open_fifo(fifo_path);
            if (!fifo.valid()) {
                SetLastError(kernel_error_from_errno(errno));
                return nullptr;
            }
        }
    } else {
        if (!create) {
            drop_files();
            SetLastError(ERROR_FILE_NOT_FOUND);
            return nullptr;
        }
        bool made = write_kind(companion.get(), kind);
        if (made && is_event(kind)) {
            // A FIFO left by a process that died may still hold its old signalled state: start afresh.
            ::unlink(fifo_path.c_str());
            made = ::mkfifo(fifo_path.c_str(), 0600) == 0;
            if (made) {
                fifo = open_fifo(fifo_path);
                made = fifo.valid();
            }
        }
        if (!made) {
            SetLastError(kernel_error_from_errno(errno));
            drop_files();
            return nullptr;
        }
    }
    if (::flock(companion.get(), LOCK_SH | LOCK_NB) != 0) {
        SetLastError(kernel_error_from_errno(errno));
        if (!held_elsewhere) {
            drop_files();
        }
        return nullptr;
    }

    std::shared_ptr<KernelObject> object = make(
        recorded, !held_elsewhere, std::make_unique<NameHold>(base, std::move(companion), std::move(fifo)));
    if (!object) {
        SetLastError(ERROR_TOO_MANY_OPEN_FILES);
        return nullptr;
    }
    reg.names[key] = LiveName{object, recorded};
    *existed = held_elsewhere;
    return object;
}

}  // namespace

NameHold::NameHold(std::string base_path, UniqueFd companion, UniqueFd fifo)
    : base_path_(std::move(base_path)), companion_(std::move(companion)), fifo_(std::move(fifo)) {}

NameHold::~NameHold() {
    Registry& reg = registry();
    std::lock_guard<std::recursive_mutex> guard(reg.lock);
    {
        FolderLock folder_lock(base_path_.substr(0, base_path_.rfind('/')));
        if (folder_lock.held() && ::flock(companion_.get(), LOCK_EX | LOCK_NB) == 0) {
            ::unlink((base_path_ + ".fifo").c_str());
            ::unlink((base_path_ + ".obj").c_str());
        }
        companion_.reset();
        fifo_.reset();
    }
    std::string key = base_path_.substr(base_path_.rfind('/') + 1);
    auto entry = reg.names.find(key);
    if (entry != reg.names.end() && entry->second.object.expired()) {
        reg.names.erase(entry);
    }
}

std::shared_ptr<KernelObject> create_named_object(LPCWSTR name, NamedKind kind,
                                                  const NamedObjectFactory& make, bool* existed) {
    *existed = false;
    return find_or_make(name, kind, make, true, existed);
}

std::shared_ptr<KernelObject> open_named_object(LPCWSTR name, NamedKind kind,
                                                const NamedObjectFactory& make) {
    bool existed = false;
    return find_or_make(name, kind, make, false, &existed);
}

}  // namespace winapi_internal
