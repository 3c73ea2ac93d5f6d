// Programs that tests run as their peer: Xvfb, xclip, QEMU, openssl. Where one is missing, a test that needs
// it is skipped on a developer's machine and fails where the CI variable is set, so that a CI machine without
// its peers never reports their tests as passed. (A capability a machine may lack by design, such as
// unprivileged ICMP, is a plain skip everywhere.)
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <unistd.h>

namespace test_support {

// An executable file of this name in one of PATH's folders.
inline bool program_installed(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::stringstream folders(path ? path : "");
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        if (!folder.empty() && ::access((folder + "/" + name).c_str(), X_OK) == 0) {
            return true;
        }
    }
    return false;
}

// CI sets CI (to "true"); empty, "0" and "false" count as unset.
inline bool under_ci() {
    const char* ci = std::getenv("CI");
    return ci && *ci && std::string(ci) != "0" && std::string(ci) != "false";
}

}  // namespace test_support

// Ends the calling test (or its SetUp) when `program` is not installed: a failure under CI, a skip elsewhere.
#define KTW_REQUIRE_PROGRAM(program)                                         \
    do {                                                                     \
        if (!test_support::program_installed(program)) {                     \
            if (test_support::under_ci()) {                                  \
                FAIL() << (program) << " is not installed, and CI needs it"; \
            } else {                                                         \
                GTEST_SKIP() << (program) << " is not installed";            \
            }                                                                \
        }                                                                    \
    } while (0)
