// Named events and mutexes: one namespace, "already exists", and sharing with another process.
#include "winapi/synchapi.h"

#include "support/child_program.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace {

// Every test process gets its own runtime folder, so parallel runs (and a real session on this machine) never
// share a name.
class NamedObjects : public ::testing::Test {
protected:
    // A folder that cannot be made fails each test in SetUp (a failure here would only skip them).
    static void SetUpTestSuite() {
        char pattern[] = "/tmp/ktw-named-test-XXXXXX";
        if (::mkdtemp(pattern)) {
            folder_ = pattern;
            ::setenv("XDG_RUNTIME_DIR", folder_.c_str(), 1);
        }
    }
    static void TearDownTestSuite() {
        if (!folder_.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(folder_, ignored);
            folder_.clear();
        }
    }
    void SetUp() override { ASSERT_FALSE(folder_.empty()) << "no runtime folder under /tmp"; }

    static std::string folder_;
};

std::string NamedObjects::folder_;

// The helper program; it reports a number a line.
class Helper : public test_support::ChildProgram {
public:
    explicit Helper(std::vector<std::string> args) : ChildProgram("winapi_kernel_helper", std::move(args)) {}

    // The helper's report line as a number; -1 when none came within 10 s.
    long report() {
        std::string line;
        return read_line(line) ? std::strtol(line.c_str(), nullptr, 10) : -1;
    }
};

TEST_F(NamedObjects, SecondCreateOpensTheSameObjectAndKeepsItsState) {
    HANDLE first = CreateEventW(nullptr, TRUE, FALSE, u"Local\\shared-state");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(GetLastError(), 0u);

    // The flags of the second call are ignored: the event stays manual-reset and not signalled.
    HANDLE second = CreateEventW(nullptr, FALSE, TRUE, u"Local\\shared-state");
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(WaitForSingleObject(second, 0), WAIT_TIMEOUT);

    SetEvent(first);
    EXPECT_EQ(WaitForSingleObject(second, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(second, 0), WAIT_OBJECT_0);
    CloseHandle(first);
    CloseHandle(second);
}

TEST_F(NamedObjects, NewNamedObjectClearsTheLastError) {
    SetLastError(ERROR_ALREADY_EXISTS);
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, u"fresh-event");
    EXPECT_EQ(GetLastError(), 0u);
    SetLastError(ERROR_ALREADY_EXISTS);
    HANDLE mutex = CreateMutexW(nullptr, FALSE, u"fresh-mutex");
    EXPECT_EQ(GetLastError(), 0u);
    CloseHandle(event);
    CloseHandle(mutex);
}

TEST_F(NamedObjects, EventsAndMutexesShareOneNamespace) {
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, u"Local\\taken");
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(CreateMutexW(nullptr, FALSE, u"Local\\taken"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    HANDLE mutex = CreateMutexW(nullptr, FALSE, u"Local\\held");
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(CreateEventW(nullptr, FALSE, FALSE, u"Local\\held"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(OpenEventW(SYNCHRONIZE, FALSE, u"Local\\held"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    CloseHandle(event);
    CloseHandle(mutex);
}

TEST_F(NamedObjects, OpenFindsOnlyLiveNames) {
    EXPECT_EQ(OpenEventW(EVENT_ALL_ACCESS, FALSE, u"never-made"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, u"CancelKtwSession7");
    HANDLE opened = OpenEventW(EVENT_ALL_ACCESS, FALSE, u"CancelKtwSession7");
    ASSERT_NE(opened, nullptr);
    SetEvent(opened);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);

    // The name goes with the last handle.
    CloseHandle(event);
    CloseHandle(opened);
    EXPECT_EQ(OpenEventW(SYNCHRONIZE, FALSE, u"CancelKtwSession7"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(NamedObjects, NameSpellings) {
    struct Case {
        const char16_t* first;
        const char16_t* second;
        bool same;
    };
    const Case cases[] = {
        {u"Local\\spelling", u"spelling", true},
        {u"Global\\spelling", u"Local\\spelling", false},
        {u"Spelling", u"spelling", false},  // names are case-sensitive
        {u"with space/and:colon", u"with space/and:colon", true},
        {u"\u00e9v\u00e9nement", u"\u00e9v\u00e9nement", true},
    };
    for (const Case& c : cases) {
        HANDLE first = CreateEventW(nullptr, TRUE, FALSE, c.first);
        ASSERT_NE(first, nullptr);
        HANDLE second = CreateEventW(nullptr, TRUE, FALSE, c.second);
        ASSERT_NE(second, nullptr);
        EXPECT_EQ(GetLastError() == ERROR_ALREADY_EXISTS, c.same) << std::string(c.first, c.first + 3);
        CloseHandle(first);
        CloseHandle(second);
    }
}

TEST_F(NamedObjects, BadNamesFail) {
    std::u16string too_long(MAX_PATH + 1, u'x');
    const std::pair<std::u16string, DWORD> cases[] = {
        {u"Local\\folder\\name", ERROR_PATH_NOT_FOUND},
        {u"Local\\", ERROR_INVALID_NAME},
        {too_long, ERROR_FILENAME_EXCED_RANGE},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CreateEventW(nullptr, FALSE, FALSE, c.first.c_str()), nullptr);
        EXPECT_EQ(GetLastError(), c.second);
    }
    // A name at the limit is fine, although too long for a file name when escaped.
    std::u16string longest(MAX_PATH, u'%');
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, longest.c_str());
    ASSERT_NE(event, nullptr);
    HANDLE again = CreateEventW(nullptr, FALSE, FALSE, longest.c_str());
    EXPECT_NE(again, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    CloseHandle(event);
    CloseHandle(again);
}

TEST_F(NamedObjects, NarrowAndWideNamesMeetInOneObject) {
    HANDLE wide_event = CreateEventW(nullptr, FALSE, FALSE, u"1234VoranthNavbarFinisthInit");
    HANDLE narrow_event = CreateEventA(nullptr, FALSE, FALSE, "1234VoranthNavbarFinisthInit");
    ASSERT_NE(narrow_event, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    SetEvent(narrow_event);
    EXPECT_EQ(WaitForSingleObject(wide_event, 0), WAIT_OBJECT_0);
    CloseHandle(wide_event);
    CloseHandle(narrow_event);
}

TEST_F(NamedObjects, NamedAutoResetEventReleasesOneWait) {
    HANDLE event = CreateEventW(nullptr, FALSE, TRUE, u"auto-named");
    HANDLE other = OpenEventW(EVENT_ALL_ACCESS, FALSE, u"auto-named");
    SetEvent(other);  // already signalled: no count
    EXPECT_EQ(WaitForSingleObject(other, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    SetEvent(event);
    ResetEvent(other);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    CloseHandle(event);
    CloseHandle(other);
}

TEST_F(NamedObjects, EventSetByAnotherProcessWakesAWaiterHere) {
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, u"Local\\set-from-outside");
    ASSERT_NE(event, nullptr);
    Helper setter({"set-event", "Local\\set-from-outside"});
    EXPECT_EQ(WaitForSingleObject(event, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(setter.report(), 0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);  // consumed by the one wait
    CloseHandle(event);
}

TEST_F(NamedObjects, EventCreatedByAnotherProcessKeepsItsKindAndState) {
    Helper holder({"hold-event", "Local\\made-outside", "1", "1"});
    ASSERT_EQ(holder.report(), 0);

    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, u"Local\\made-outside");
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    // Manual-reset and signalled, as the other process made it.
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    ResetEvent(event);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    CloseHandle(event);

    EXPECT_EQ(CreateMutexW(nullptr, FALSE, u"Local\\made-outside"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    // Its files outlive the killed process; the name must not.
    holder.stop();
    EXPECT_EQ(OpenEventW(SYNCHRONIZE, FALSE, u"Local\\made-outside"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    HANDLE fresh = CreateEventW(nullptr, FALSE, FALSE, u"Local\\made-outside");
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_EQ(WaitForSingleObject(fresh, 0), WAIT_TIMEOUT);  // the old signalled state is gone
    CloseHandle(fresh);
}

TEST_F(NamedObjects, SingleInstanceMutexExistsOnlyWhileTheOtherProcessLives) {
    Helper first_instance({"hold-mutex", "Local\\KTWSession_Mutex_Client"});
    ASSERT_EQ(first_instance.report(), 0);

    HANDLE second = CreateMutexW(nullptr, FALSE, u"Local\\KTWSession_Mutex_Client");
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    CloseHandle(second);

    first_instance.stop();
    HANDLE after = CreateMutexW(nullptr, FALSE, u"Local\\KTWSession_Mutex_Client");
    ASSERT_NE(after, nullptr);
    EXPECT_EQ(GetLastError(), 0u);

    // And now this process is the first instance.
    Helper next_instance({"hold-mutex", "Local\\KTWSession_Mutex_Client"});
    EXPECT_EQ(next_instance.report(), static_cast<long>(ERROR_ALREADY_EXISTS));
    CloseHandle(after);
}

}  // namespace
