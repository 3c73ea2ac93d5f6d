#include "winapi/windows.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <unistd.h>
#include <string>

namespace {

const std::string MODULE_SO = std::string(KTW_TEST_BINARY_DIR) + "/ktwtestmod.so";

typedef int (*IntProc)();

bool is_loaded(const std::string& path) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle) {
        dlclose(handle);
    }
    return handle != nullptr;
}

TEST(Libraries, DllNameLoadsTheSharedObjectBesideTheProgram) {
    HMODULE module = LoadLibraryA("ktwtestmod.dll");
    ASSERT_NE(module, nullptr);
    IntProc answer = (IntProc)GetProcAddress(module, "ktwtest_answer");
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer(), 42);
    EXPECT_EQ(GetModuleHandleW(u"ktwtestmod.dll"), module);

    SetLastError(0);
    EXPECT_EQ(GetProcAddress(module, "KTWTEST_ANSWER"), nullptr) << "export names are case-sensitive";
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PROC_NOT_FOUND);
    EXPECT_TRUE(FreeLibrary(module));
}

TEST(Libraries, OrdinalsResolveToOrdinalNamedExports) {
    HMODULE module = LoadLibraryW(u"ktwtestmod");
    ASSERT_NE(module, nullptr);
    IntProc second = (IntProc)GetProcAddress(module, MAKEINTRESOURCEA(2));
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second(), 2);
    EXPECT_EQ(GetProcAddress(module, MAKEINTRESOURCEA(3)), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PROC_NOT_FOUND);
    FreeLibrary(module);
}

TEST(Libraries, ModulesStayLoadedUntilTheLastFreeLibrary) {
    ASSERT_FALSE(is_loaded(MODULE_SO));
    HMODULE first = LoadLibraryA("ktwtestmod.dll");
    HMODULE second = LoadLibraryA(MODULE_SO.c_str());
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(second, first);
    IntProc count = (IntProc)GetProcAddress(first, "ktwtest_count");
    ASSERT_NE(count, nullptr);
    EXPECT_EQ(count(), 1);
    EXPECT_EQ(count(), 2);

    EXPECT_TRUE(FreeLibrary(first));
    EXPECT_TRUE(is_loaded(MODULE_SO));
    EXPECT_EQ(count(), 3);
    EXPECT_EQ(GetModuleHandleW(u"ktwtestmod.dll"), first);

    EXPECT_TRUE(FreeLibrary(second));
    EXPECT_FALSE(is_loaded(MODULE_SO));
    EXPECT_EQ(GetModuleHandleW(u"ktwtestmod.dll"), nullptr);
    EXPECT_FALSE(FreeLibrary(second));
    EXPECT_EQ(GetProcAddress(second, "ktwtest_count"), nullptr);

    HMODULE again = LoadLibraryA("ktwtestmod.dll");
    ASSERT_NE(again, nullptr);
    count = (IntProc)GetProcAddress(again, "ktwtest_count");
    EXPECT_EQ(count(), 1) << "a fresh load starts from fresh state";
    FreeLibrary(again);
}

TEST(Libraries, PathsAreOpenedAsGivenWithDllMeaningSo) {
    std::string windows_path = std::string(KTW_TEST_BINARY_DIR) + "\\ktwtestmod.dll";
    HMODULE module = LoadLibraryA(windows_path.c_str());
    ASSERT_NE(module, nullptr);
    FreeLibrary(module);

    SetLastError(0);
    EXPECT_EQ(LoadLibraryA((std::string(KTW_TEST_BINARY_DIR) + "/missing.dll").c_str()), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_MOD_NOT_FOUND);
    SetLastError(0);
    EXPECT_EQ(LoadLibraryW(u"dbghelp.dll"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_MOD_NOT_FOUND);
    EXPECT_EQ(LoadLibraryA(""), nullptr);
}

TEST(Libraries, NtdllIsBuiltInAndReportsWindows10) {
    HMODULE ntdll = GetModuleHandleW(u"ntdll.dll");
    ASSERT_NE(ntdll, nullptr);
    EXPECT_EQ(LoadLibraryW(u"NTDLL.DLL"), ntdll);
    typedef NTSTATUS (*RtlGetVersionProc)(RTL_OSVERSIONINFOW*);
    RtlGetVersionProc get_version = (RtlGetVersionProc)GetProcAddress(ntdll, "RtlGetVersion");
    ASSERT_NE(get_version, nullptr);
    RTL_OSVERSIONINFOW info = {};
    info.dwOSVersionInfoSize = sizeof(info);
    EXPECT_EQ(get_version(&info), STATUS_SUCCESS);
    EXPECT_EQ(info.dwMajorVersion, 10u);
    EXPECT_EQ(info.dwMinorVersion, 0u);
    EXPECT_TRUE(FreeLibrary(ntdll));
    EXPECT_EQ(GetProcAddress(ntdll, "NtQuerySystemInformation"), nullptr);
}

TEST(Libraries, IphlpapiIsBuiltInWithTheIcmpFunctions) {
    HMODULE iphlpapi = LoadLibraryA("Iphlpapi.dll");
    ASSERT_NE(iphlpapi, nullptr);
    EXPECT_EQ(LoadLibraryA("IPHLPAPI"), iphlpapi);
    for (const char* name : {"IcmpCreateFile", "IcmpCloseHandle", "IcmpSendEcho"}) {
        EXPECT_NE(GetProcAddress(iphlpapi, name), nullptr) << name;
    }
    EXPECT_EQ(GetProcAddress(iphlpapi, "GetAdaptersInfo"), nullptr);
    EXPECT_TRUE(FreeLibrary(iphlpapi));
    EXPECT_TRUE(FreeLibrary(iphlpapi));
}

TEST(Libraries, NullModuleNameIsTheProgram) {
    HMODULE program = GetModuleHandleW(nullptr);
    ASSERT_NE(program, nullptr);
    EXPECT_EQ(GetModuleHandleW(nullptr), program);
    EXPECT_NE(program, GetModuleHandleW(u"ntdll.dll"));
}

TEST(Libraries, ModuleFileNameOfTheProgramIsItsOwnFile) {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    ASSERT_GT(n, 0);
    const std::string path(self, size_t(n));

    char name[4096];
    EXPECT_EQ(GetModuleFileNameA(nullptr, name, sizeof(name)), DWORD(path.size()));
    EXPECT_EQ(std::string(name), path);
    EXPECT_EQ(GetModuleFileNameA(GetModuleHandleW(nullptr), name, sizeof(name)), DWORD(path.size()));

    // Too small: cut, terminated, the size returned.
    char small[5];
    SetLastError(0);
    EXPECT_EQ(GetModuleFileNameA(nullptr, small, sizeof(small)), DWORD(sizeof(small)));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(std::string(small), path.substr(0, 4));

    EXPECT_EQ(GetModuleFileNameA(GetModuleHandleW(u"ntdll.dll"), name, sizeof(name)), 0u);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));
}

}  // namespace
