// The registry over one file per hive.
//
// The files live in $KTW_REGISTRY_DIR when it is set, else in $XDG_CONFIG_HOME/ktwsession/registry (default
// ~/.config/ktwsession/registry): HKEY_CURRENT_USER.hive, HKEY_LOCAL_MACHINE.hive and HKEY_CLASSES_ROOT.hive.
// The folder is read again on every call, so a process (or a test) that changes the variable moves to other
// files; an open key stays with the file it was opened in.
//
// HKEY_CLASSES_ROOT is a hive of its own here, not the merged view of the two "Software\Classes" keys Windows
// shows: the program only reads it, and whoever registers a class writes it there.
//
// Other processes may change the files at any time. Every change is a read-modify-write under an exclusive
// flock of "<hive>.lock": the file is re-read if it changed, the change applied, and the whole hive written
// to a temporary file that is synced and renamed over the old one. Readers need no lock, as a rename never
// shows a half-written file; they re-read the file whenever its identity, size or times differ from the copy
// held. A file that cannot be parsed counts as an empty hive; the first change moves it aside to
// "<hive>.bad".
#include "winapi/winreg.h"
#include "winapi/fileapi.h"

#include "files_internal.h"
#include "registry_hive.h"
#include "text_internal.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <sys/file.h>
#include <unistd.h>
#include <unordered_map>

namespace winapi_internal {

namespace {

const uint64_t MAX_HIVE_BYTES = 64ull << 20;

std::string registry_directory() {
    const char* dir = getenv("KTW_REGISTRY_DIR");
    if (dir && dir[0]) {
        return dir;
    }
    return xdg_directory("XDG_CONFIG_HOME", ".config") + "/ktwsession/registry";
}

// What identifies one version of a file: a rename installs a new inode, an edit in place changes size or
// times.
struct FileStamp {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    struct timespec modified = {};
    struct timespec changed = {};

    static FileStamp of(const struct stat& st) {
        FileStamp stamp;
        stamp.exists = true;
        stamp.device = st.st_dev;
        stamp.inode = st.st_ino;
        stamp.size = st.st_size;
        stamp.modified = st.st_mtim;
        stamp.changed = st.st_ctim;
        return stamp;
    }

    bool operator==(const FileStamp& o) const {
        return exists == o.exists && device == o.device && inode == o.inode && size == o.size &&
               modified.tv_sec == o.modified.tv_sec && modified.tv_nsec == o.modified.tv_nsec &&
               changed.tv_sec == o.changed.tv_sec && changed.tv_nsec == o.changed.tv_nsec;
    }
};

class Hive {
public:
    Hive(std::string folder, std::string name)
        : folder_(std::move(folder)), path_(folder_ + "/" + name + ".hive") {}

    // Runs a read-only operation on the current contents.
    LSTATUS read(const std::function<LSTATUS(const RegistryKey&)>& operation) {
        std::lock_guard<std::mutex> lock(mutex_);
        refresh();
        return operation(root_);
    }

    // Runs a change under the file lock and stores the hive when the change reports that it changed
    // something.
    LSTATUS modify(const std::function<LSTATUS(RegistryKey&, bool&)>& change) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!make_directories(folder_, 0700)) {
            return write_error(errno);
        }
        int lock_fd = open((path_ + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (lock_fd < 0) {
            return write_error(errno);
        }
        int locked;
        do {
            locked = flock(lock_fd, LOCK_EX);
        } while (locked != 0 && errno == EINTR);
        LSTATUS status = locked == 0 ? ERROR_SUCCESS : write_error(errno);
        if (status == ERROR_SUCCESS) {
            refresh();
            bool changed = false;
            status = change(root_, changed);
            if (status == ERROR_SUCCESS && changed) {
                status = store();
            }
        }
        close(lock_fd);  // releases the flock
        return status;
    }

private:
    static LSTATUS write_error(int error) {
        switch (error) {
            case EACCES:
            case EPERM:
            case EROFS:
                return ERROR_ACCESS_DENIED;
            case ENOSPC:
            case EDQUOT:
                return ERROR_DISK_FULL;
            default:
                return ERROR_CANTWRITE;
        }
    }

    // Brings root_ up to date with the file.
    void refresh() {
        struct stat st;
        FileStamp now = stat(path_.c_str(), &st) == 0 ? FileStamp::of(st) : FileStamp();
        if (loaded_ && now == stamp_) {
            return;
        }
        loaded_ = true;
        corrupt_ = false;
        stamp_ = FileStamp();
        root_ = RegistryKey();
        if (!now.exists) {
            return;
        }
        std::vector<uint8_t> contents;
        if (!read_whole_file(path_, MAX_HIVE_BYTES, contents, &st)) {
            // Unreadable (or gone since the stat): empty until the file changes again.
            corrupt_ = errno != ENOENT;
            stamp_ = now;
            return;
        }
        stamp_ = FileStamp::of(st);
        corrupt_ = !hive_parse(contents.data(), contents.size(), root_);
    }

    // Writes root_ over the file. On failure the copy in memory is dropped, to be read again from the file.
    LSTATUS store() {
        std::vector<uint8_t> bytes = hive_serialize(root_);
        if (bytes.size() > MAX_HIVE_BYTES) {
            loaded_ = false;
            return ERROR_NOT_ENOUGH_QUOTA;
        }
        std::string temporary = path_ + ".XXXXXX";
        int fd = mkostemp(&temporary[0], O_CLOEXEC);
        if (fd < 0) {
            loaded_ = false;
            return write_error(errno);
        }
        size_t done = 0;
        bool ok = true;
        while (ok && done < bytes.size()) {
            ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            ok = n > 0;
            if (ok) {
                done += (size_t)n;
            } else if (n == 0) {
                errno = ENOSPC;
            }
        }
        ok = ok && fsync(fd) == 0;
        if (ok && corrupt_) {
            rename(path_.c_str(), (path_ + ".bad").c_str());
        }
        ok = ok && rename(temporary.c_str(), path_.c_str()) == 0;
        int error = errno;
        struct stat st;
        // The stamp is taken after the rename, which changes the file's ctime.
        if (ok && fstat(fd, &st) == 0) {
            stamp_ = FileStamp::of(st);
            corrupt_ = false;
        } else {
            loaded_ = false;
        }
        close(fd);
        if (!ok) {
            unlink(temporary.c_str());
            return write_error(error);
        }
        int dir_fd = open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir_fd >= 0) {
            fsync(dir_fd);  // makes the rename itself durable
            close(dir_fd);
        }
        return ERROR_SUCCESS;
    }

    const std::string folder_;
    const std::string path_;
    std::mutex mutex_;  // guards the members below; held through each whole registry call on this hive
    RegistryKey root_;
    FileStamp stamp_;
    bool loaded_ = false;
    bool corrupt_ = false;
};

std::mutex hives_mutex;
std::unordered_map<std::string, std::unique_ptr<Hive>> hives;  // by file path; guarded by hives_mutex

Hive& hive_at(const std::string& folder, const std::string& name) {
    std::lock_guard<std::mutex> lock(hives_mutex);
    std::unique_ptr<Hive>& hive = hives[folder + "/" + name];
    if (!hive) {
        hive = std::make_unique<Hive>(folder, name);
    }
    return *hive;
}

// An open key: where it is and what its opener may do with it.
struct OpenKey {
    Hive* hive = nullptr;
    std::vector<std::u16string> path;  // folded names from the hive's root
    REGSAM access = 0;
};

std::mutex keys_mutex;
std::unordered_map<uintptr_t, OpenKey> open_keys;  // guarded by keys_mutex
uintptr_t next_key = 0x1000;                       // guarded by keys_mutex

bool resolve(HKEY key, OpenKey& out) {
    const char* hive_name = nullptr;
    if (key == HKEY_CLASSES_ROOT) {
        hive_name = "HKEY_CLASSES_ROOT";
    } else if (key == HKEY_CURRENT_USER) {
        hive_name = "HKEY_CURRENT_USER";
    } else if (key == HKEY_LOCAL_MACHINE) {
        hive_name = "HKEY_LOCAL_MACHINE";
    }
    if (hive_name) {
        out.hive = &hive_at(registry_directory(), hive_name);
        out.path.clear();
        out.access = KEY_ALL_ACCESS;
        return true;
    }
    std::lock_guard<std::mutex> lock(keys_mutex);
    auto it = open_keys.find((uintptr_t)key);
    if (it == open_keys.end()) {
        return false;
    }
    out = it->second;
    return true;
}

// The key rights an access mask grants, with the generic rights mapped as Windows maps them for keys.
REGSAM key_rights(REGSAM access) {
    REGSAM rights = access;
    if (access & (GENERIC_ALL | MAXIMUM_ALLOWED)) {
        rights |= KEY_ALL_ACCESS;
    }
    if (access & GENERIC_READ) {
        rights |= KEY_READ;
    }
    if (access & GENERIC_WRITE) {
        rights |= KEY_WRITE;
    }
    return rights;
}

HKEY add_open_key(OpenKey key) {
    std::lock_guard<std::mutex> lock(keys_mutex);
    while (open_keys.count(next_key)) {
        next_key += 4;
    }
    uintptr_t handle = next_key;
    next_key += 4;
    open_keys.emplace(handle, std::move(key));
    return (HKEY)handle;
}

bool is_predefined(HKEY key) {
    return key == HKEY_CLASSES_ROOT || key == HKEY_CURRENT_USER || key == HKEY_LOCAL_MACHINE ||
           key == HKEY_USERS || key == HKEY_PERFORMANCE_DATA || key == HKEY_CURRENT_CONFIG;
}

// Splits "a\b\c" into its names (kept as written). Empty names from doubled or trailing separators are
// skipped; a leading separator is an error, as on Windows.
LSTATUS split_path(const char16_t* sub_key, std::vector<std::u16string>& names) {
    names.clear();
    if (!sub_key || !sub_key[0]) {
        return ERROR_SUCCESS;
    }
    if (sub_key[0] == u'\\') {
        return ERROR_BAD_PATHNAME;
    }
    std::u16string name;
    for (const char16_t* p = sub_key;; p++) {
        if (*p == u'\\' || *p == 0) {
            if (!name.empty()) {
                if (name.size() > REGISTRY_MAX_KEY_NAME) {
                    return ERROR_INVALID_PARAMETER;
                }
                names.push_back(name);
                name.clear();
            }
            if (*p == 0) {
                return ERROR_SUCCESS;
            }
        } else {
            name.push_back(*p);
        }
    }
}

template <class Key>
Key* find_key(Key& root, const std::vector<std::u16string>& folded_path) {
    Key* key = &root;
    for (const std::u16string& name : folded_path) {
        auto it = key->subkeys.find(name);
        if (it == key->subkeys.end()) {
            return nullptr;
        }
        key = it->second.get();
    }
    return key;
}

LSTATUS open_key(HKEY parent, const char16_t* sub_key, REGSAM access, PHKEY result) {
    if (!result) {
        return ERROR_INVALID_PARAMETER;
    }
    *result = nullptr;
    OpenKey base;
    if (!resolve(parent, base)) {
        return ERROR_INVALID_HANDLE;
    }
    std::vector<std::u16string> names;
    LSTATUS status = split_path(sub_key, names);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    OpenKey opened{base.hive, base.path, key_rights(access)};
    for (const std::u16string& name : names) {
        opened.path.push_back(fold_case(name));
    }
    status = base.hive->read([&](const RegistryKey& root) -> LSTATUS {
        if (!find_key(root, base.path)) {
            return ERROR_KEY_DELETED;
        }
        return find_key(root, opened.path) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    });
    if (status == ERROR_SUCCESS) {
        *result = add_open_key(std::move(opened));
    }
    return status;
}

LSTATUS create_key(HKEY parent, const char16_t* sub_key, REGSAM access, PHKEY result, LPDWORD disposition) {
    if (!result || !sub_key) {
        return ERROR_INVALID_PARAMETER;
    }
    *result = nullptr;
    OpenKey base;
    if (!resolve(parent, base)) {
        return ERROR_INVALID_HANDLE;
    }
    std::vector<std::u16string> names;
    LSTATUS status = split_path(sub_key, names);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    if (base.path.size() + names.size() > REGISTRY_MAX_DEPTH) {
        return ERROR_INVALID_PARAMETER;
    }
    OpenKey opened{base.hive, base.path, key_rights(access)};
    bool created = false;
    status = base.hive->modify([&](RegistryKey& root, bool& changed) -> LSTATUS {
        RegistryKey* key = find_key(root, base.path);
        if (!key) {
            return ERROR_KEY_DELETED;
        }
        for (const std::u16string& name : names) {
            std::u16string folded = fold_case(name);
            std::unique_ptr<RegistryKey>& child = key->subkeys[folded];
            if (!child) {
                if (!(base.access & KEY_CREATE_SUB_KEY)) {
                    key->subkeys.erase(folded);
                    return ERROR_ACCESS_DENIED;
                }
                child = std::make_unique<RegistryKey>();
                child->name = name;
                created = true;
            }
            opened.path.push_back(folded);
            key = child.get();
        }
        changed = created;
        return ERROR_SUCCESS;
    });
    if (status == ERROR_SUCCESS) {
        *result = add_open_key(std::move(opened));
        if (disposition) {
            *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
        }
    }
    return status;
}

// A copy of a value, taken under the hive's lock.
LSTATUS query_value(HKEY handle, const char16_t* name, RegistryValue& out) {
    OpenKey key;
    if (!resolve(handle, key)) {
        return ERROR_INVALID_HANDLE;
    }
    if (!(key.access & KEY_QUERY_VALUE)) {
        return ERROR_ACCESS_DENIED;
    }
    std::u16string folded = fold_case(name ? std::u16string(name) : std::u16string());
    return key.hive->read([&](const RegistryKey& root) -> LSTATUS {
        const RegistryKey* found = find_key(root, key.path);
        if (!found) {
            return ERROR_KEY_DELETED;
        }
        auto it = found->values.find(folded);
        if (it == found->values.end()) {
            return ERROR_FILE_NOT_FOUND;
        }
        out = it->second;
        return ERROR_SUCCESS;
    });
}

// Hands a value to the caller with RegQueryValueEx's rules: a NULL buffer asks for the size, a small one gets
// ERROR_MORE_DATA and the size it needs.
LSTATUS return_value(DWORD type, const std::vector<uint8_t>& data, LPDWORD lpType, LPBYTE lpData,
                     LPDWORD lpcbData) {
    if (lpType) {
        *lpType = type;
    }
    if (!lpcbData) {
        return ERROR_SUCCESS;
    }
    DWORD size = (DWORD)data.size();
    if (lpData && *lpcbData < size) {
        *lpcbData = size;
        return ERROR_MORE_DATA;
    }
    if (lpData && size > 0) {
        memcpy(lpData, data.data(), size);
    }
    *lpcbData = size;
    return ERROR_SUCCESS;
}

LSTATUS set_value(HKEY handle, const char16_t* name, DWORD type, std::vector<uint8_t> data) {
    OpenKey key;
    if (!resolve(handle, key)) {
        return ERROR_INVALID_HANDLE;
    }
    if (!(key.access & KEY_SET_VALUE)) {
        return ERROR_ACCESS_DENIED;
    }
    std::u16string value_name = name ? std::u16string(name) : std::u16string();
    if (value_name.size() > REGISTRY_MAX_VALUE_NAME) {
        return ERROR_INVALID_PARAMETER;
    }
    return key.hive->modify([&](RegistryKey& root, bool& changed) -> LSTATUS {
        RegistryKey* found = find_key(root, key.path);
        if (!found) {
            return ERROR_KEY_DELETED;
        }
        // A value written again under another spelling keeps its first name.
        RegistryValue& value = found->values[fold_case(value_name)];
        if (value.name.empty()) {
            value.name = value_name;
        }
        value.type = type;
        value.data = std::move(data);
        changed = true;
        return ERROR_SUCCESS;
    });
}

bool is_string_type(DWORD type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

std::u16string wide_name(LPCSTR name) {
    return name ? ansi_to_utf16(name) : std::u16string();
}

}  // namespace

}  // namespace winapi_internal

using namespace winapi_internal;

LSTATUS WINAPI RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR keyClass, DWORD options,
                               REGSAM access, const LPSECURITY_ATTRIBUTES securityAttributes, PHKEY result,
                               LPDWORD disposition) {
    if (reserved != 0) {
        return ERROR_INVALID_PARAMETER;
    }
    return create_key(key, subKey, access, result, disposition);
}

LSTATUS WINAPI RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR keyClass, DWORD options,
                               REGSAM access, const LPSECURITY_ATTRIBUTES securityAttributes, PHKEY result,
                               LPDWORD disposition) {
    if (reserved != 0 || !subKey) {
        return ERROR_INVALID_PARAMETER;
    }
    return create_key(key, wide_name(subKey).c_str(), access, result, disposition);
}

LSTATUS WINAPI RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result) {
    return open_key(key, subKey, access, result);
}

LSTATUS WINAPI RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result) {
    return open_key(key, wide_name(subKey).c_str(), access, result);
}

LSTATUS WINAPI RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                LPDWORD dataSize) {
    if (reserved || (data && !dataSize)) {
        return ERROR_INVALID_PARAMETER;
    }
    RegistryValue value;
    LSTATUS status = query_value(key, valueName, value);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    return return_value(value.type, value.data, type, data, dataSize);
}

LSTATUS WINAPI RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                LPDWORD dataSize) {
    if (reserved || (data && !dataSize)) {
        return ERROR_INVALID_PARAMETER;
    }
    RegistryValue value;
    LSTATUS status = query_value(key, wide_name(valueName).c_str(), value);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    if (is_string_type(value.type)) {
        // Converted unit for unit: a terminator is returned only if one was stored.
        std::u16string units(value.data.size() / 2, 0);
        memcpy(&units[0], value.data.data(), units.size() * 2);
        std::string ansi = utf16_to_ansi(units);
        value.data.assign(ansi.begin(), ansi.end());
    }
    return return_value(value.type, value.data, type, data, dataSize);
}

LSTATUS WINAPI RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                              DWORD dataSize) {
    if (reserved != 0 || (!data && dataSize > 0)) {
        return ERROR_INVALID_PARAMETER;
    }
    return set_value(key, valueName, type, std::vector<uint8_t>(data, data + (data ? dataSize : 0)));
}

LSTATUS WINAPI RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                              DWORD dataSize) {
    if (reserved != 0 || (!data && dataSize > 0)) {
        return ERROR_INVALID_PARAMETER;
    }
    std::vector<uint8_t> bytes(data, data + (data ? dataSize : 0));
    if (is_string_type(type) && !bytes.empty()) {
        std::u16string wide = ansi_to_utf16((const char*)bytes.data(), bytes.size());
        bytes.resize(wide.size() * 2);
        memcpy(bytes.data(), wide.data(), bytes.size());
    }
    return set_value(key, wide_name(valueName).c_str(), type, std::move(bytes));
}

LSTATUS WINAPI RegCloseKey(HKEY key) {
    if (is_predefined(key)) {
        return ERROR_SUCCESS;
    }
    std::lock_guard<std::mutex> lock(keys_mutex);
    return open_keys.erase((uintptr_t)key) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}
