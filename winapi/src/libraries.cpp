// LoadLibrary and friends over dlopen.
//
// Naming rule: a bare name "name.dll" (or "name" without an extension) is the shared object "name.so", looked
// for beside the program (the folder of /proc/self/exe) and then along the system's library path. A name with
// a folder in it is opened as given, except that "x.dll" becomes "x.so" when no file "x.dll" exists. "\"
// separators become
// "/".
//
// Ordinal rule: GetProcAddress(module, MAKEINTRESOURCEA(n)) resolves the exported symbol named "ordinal_<n>"
// (a stand-in for a Windows library that exports by ordinal exports its functions under these names).
//
// Built-in modules: "ntdll.dll" and "iphlpapi.dll" are always loaded and resolve RtlGetVersion and the ICMP
// functions to this layer's implementations.
#include "winapi/libloaderapi.h"
#include "winapi/icmpapi.h"
#include "winapi/version.h"

#include "files_internal.h"
#include "text_internal.h"

#include <cstring>
#include <dlfcn.h>
#include <limits.h>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace winapi_internal {

namespace {

struct BuiltinExport {
    const char* name;
    FARPROC address;
};

struct Module {
    std::string name;    // the lower-case file name, without folder ("kernel32.dll" style for built-ins)
    void* dl = nullptr;  // dlopen handle; null for built-in modules
    int references = 0;  // LoadLibrary calls not yet matched by FreeLibrary; built-ins are never unloaded
    std::vector<BuiltinExport> exports;
};

std::mutex modules_mutex;
// Loaded modules by dlopen handle; the HMODULE is the Module's address.  Guarded by modules_mutex.
std::unordered_map<void*, Module*> loaded;

Module& ntdll_module() {
    static Module module{"ntdll.dll", nullptr, 1, {{"RtlGetVersion", (FARPROC)(void*)&RtlGetVersion}}};
    return module;
}

Module& iphlpapi_module() {
    static Module module{"iphlpapi.dll",
                         nullptr,
                         1,
                         {{"IcmpCreateFile", (FARPROC)(void*)&IcmpCreateFile},
                          {"IcmpCloseHandle", (FARPROC)(void*)&IcmpCloseHandle},
                          {"IcmpSendEcho", (FARPROC)(void*)&IcmpSendEcho}}};
    return module;
}

Module& program_module() {
    static Module module{"", dlopen(nullptr, RTLD_NOW), 1, {}};
    return module;
}

std::string lower_ascii(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = (char)(c - 'A' + 'a');
        }
    }
    return text;
}

bool ends_with(const std::string& text, const char* suffix) {
    std::string s(suffix);
    return text.size() >= s.size() && lower_ascii(text.substr(text.size() - s.size())) == s;
}

bool file_exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string program_path() {
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    return n <= 0 ? std::string() : std::string(path, (size_t)n);
}

std::string program_folder() {
    std::string exe = program_path();
    size_t slash = exe.rfind('/');
    return slash == std::string::npos ? "" : exe.substr(0, slash);
}

Module* builtin_named(const std::string& file_name) {
    std::string lower = lower_ascii(file_name);
    if (lower == "ntdll.dll" || lower == "ntdll") {
        return &ntdll_module();
    }
    if (lower == "iphlpapi.dll" || lower == "iphlpapi") {
        return &iphlpapi_module();
    }
    return nullptr;
}

bool is_builtin(const Module* module) {
    return module == &ntdll_module() || module == &iphlpapi_module() || module == &program_module();
}

// The paths to try for a name, in order.
std::vector<std::string> candidates(const std::string& name) {
    std::vector<std::string> paths;
    if (name.find('/') != std::string::npos) {
        if (ends_with(name, ".dll") && !file_exists(name)) {
            paths.push_back(name.substr(0, name.size() - 4) + ".so");
        } else {
            paths.push_back(name);
        }
        return paths;
    }
    std::string file = name;
    if (ends_with(file, ".dll")) {
        file = file.substr(0, file.size() - 4) + ".so";
    } else if (!file.empty() && file.back() == '.') {
        file.pop_back();  // a trailing dot means "no extension"
    } else if (file.find('.') == std::string::npos) {
        file += ".so";
    }
    std::string folder = program_folder();
    if (!folder.empty()) {
        paths.push_back(folder + "/" + file);
    }
    paths.push_back(file);  // dlopen searches the library path for a name without "/"
    return paths;
}

HMODULE load_library(const std::string& name) {
    if (name.empty()) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    if (Module* builtin = builtin_named(name)) {
        return (HMODULE)builtin;
    }
    for (const std::string& path : candidates(name)) {
        if (path.find('/') != std::string::npos && !file_exists(path)) {
            continue;
        }
        void* dl = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!dl) {
            continue;
        }
        // Every LoadLibrary holds one dlopen reference, and FreeLibrary gives one back, so the system unloads
        // the object exactly when the last LoadLibrary has been matched.
        std::lock_guard<std::mutex> lock(modules_mutex);
        Module*& module = loaded[dl];
        if (!module) {
            size_t slash = path.rfind('/');
            module = new Module{
                lower_ascii(slash == std::string::npos ? path : path.substr(slash + 1)), dl, 0, {}};
        }
        module->references++;
        return (HMODULE)module;
    }
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

// The module behind a handle while the lock is held, or null.
Module* module_of(HMODULE handle) {
    Module* module = (Module*)handle;
    if (is_builtin(module)) {
        return module;
    }
    for (auto& entry : loaded) {
        if (entry.second == module) {
            return module;
        }
    }
    return nullptr;
}

}  // namespace

}  // namespace winapi_internal

using namespace winapi_internal;

HMODULE WINAPI LoadLibraryW(LPCWSTR fileName) {
    if (!fileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return load_library(native_path(fileName));
}

HMODULE WINAPI LoadLibraryA(LPCSTR fileName) {
    if (!fileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return load_library(native_path_ansi(fileName));
}

FARPROC WINAPI GetProcAddress(HMODULE handle, LPCSTR procName) {
    if (!procName) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    std::string symbol =
        IS_INTRESOURCE(procName) ? "ordinal_" + std::to_string((ULONG_PTR)procName) : procName;
    std::lock_guard<std::mutex> lock(modules_mutex);
    Module* module = module_of(handle);
    if (!module) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    for (const BuiltinExport& e : module->exports) {
        if (symbol == e.name) {
            return e.address;
        }
    }
    void* address = module->dl ? dlsym(module->dl, symbol.c_str()) : nullptr;
    if (!address) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return (FARPROC)address;
}

BOOL WINAPI FreeLibrary(HMODULE handle) {
    void* dl = nullptr;
    {
        std::lock_guard<std::mutex> lock(modules_mutex);
        Module* module = module_of(handle);
        if (!module) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        if (is_builtin(module)) {
            return TRUE;
        }
        dl = module->dl;
        if (--module->references == 0) {
            loaded.erase(dl);
            delete module;
        }
    }
    // Outside the lock: unloading runs the library's destructors, which may call back into this layer.
    dlclose(dl);
    return TRUE;
}

HMODULE WINAPI GetModuleHandleW(LPCWSTR moduleName) {
    if (!moduleName) {
        return (HMODULE)&program_module();
    }
    std::string name = native_path(moduleName);
    size_t slash = name.rfind('/');
    std::string file = lower_ascii(slash == std::string::npos ? name : name.substr(slash + 1));
    if (Module* builtin = builtin_named(file)) {
        return (HMODULE)builtin;
    }
    // Loaded modules answer to the name they were loaded by (".so" stands for ".dll").
    std::string so = ends_with(file, ".dll") ? file.substr(0, file.size() - 4) + ".so"
                                             : (file.find('.') == std::string::npos ? file + ".so" : file);
    std::lock_guard<std::mutex> lock(modules_mutex);
    for (auto& entry : loaded) {
        if (entry.second->name == so || entry.second->name == file) {
            return (HMODULE)entry.second;
        }
    }
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

DWORD WINAPI GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size) {
    std::string path;
    if (!module || module == (HMODULE)&program_module()) {
        path = program_path();
    }
    if (path.empty()) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    if (size == 0 || !fileName) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (path.size() >= size) {
        memcpy(fileName, path.data(), size - 1);
        fileName[size - 1] = '\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    memcpy(fileName, path.c_str(), path.size() + 1);
    return (DWORD)path.size();
}
