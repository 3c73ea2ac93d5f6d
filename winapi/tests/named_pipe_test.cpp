#include "winapi/windows.h"

#include "../src/named_pipe.h"
#include "support/test_files.h"

#include <atomic>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

namespace {

// The sockets and lock files of the tests' pipes go to a runtime folder of their own.
class PrivateRuntimeFolder : public testing::Environment {
public:
    void SetUp() override {
        env_ = std::make_unique<test_support::ScopedEnv>("XDG_RUNTIME_DIR", folder_.path());
    }
    void TearDown() override { env_.reset(); }

private:
    test_support::TempDir folder_;
    std::unique_ptr<test_support::ScopedEnv> env_;
};
testing::Environment* const runtime_folder = testing::AddGlobalTestEnvironment(new PrivateRuntimeFolder);

constexpr DWORD server_open_mode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED;
constexpr DWORD server_pipe_mode = PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT;

std::u16string unique_pipe_name() {
    static std::atomic<int> counter{0};
    std::string name =
        "\\\\.\\pipe\\ktw-test-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(counter++);
    return std::u16string(name.begin(), name.end());
}

HANDLE open_client(const std::u16string& name, bool overlapped = false) {
    return CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                       overlapped ? FILE_FLAG_OVERLAPPED : 0, NULL);
}

bool signalled(HANDLE event, DWORD milliseconds) {
    return WaitForSingleObject(event, milliseconds) == WAIT_OBJECT_0;
}

class NamedPipeTest : public testing::Test {
protected:
    void SetUp() override {
        name_ = unique_pipe_name();
        server_ = CreateNamedPipeW(name_.c_str(), server_open_mode, server_pipe_mode,
                                   PIPE_UNLIMITED_INSTANCES, 8192, 8192, 5000, nullptr);
        ASSERT_NE(server_, INVALID_HANDLE_VALUE) << GetLastError();
        event_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        overlapped_.hEvent = event_;
    }

    void TearDown() override {
        if (client_ != INVALID_HANDLE_VALUE) {
            CloseHandle(client_);
        }
        CloseHandle(server_);
        CloseHandle(event_);
    }

    // A client that connects before the server waits, then the server's wait.
    void connect_client_first() {
        client_ = open_client(name_);
        ASSERT_NE(client_, INVALID_HANDLE_VALUE) << GetLastError();
        ASSERT_FALSE(ConnectNamedPipe(server_, &overlapped_));
        ASSERT_EQ(GetLastError(), (DWORD)ERROR_PIPE_CONNECTED);
    }

    void client_writes(const std::string& message) {
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(client_, message.data(), (DWORD)message.size(), &written, nullptr))
            << GetLastError();
        ASSERT_EQ(written, message.size());
    }

    // Reads one message on the server into a buffer of `size` bytes, waiting for it when it is not there yet.
    std::string server_reads(DWORD size, DWORD* error) {
        std::vector<char> buffer(size + 1);
        DWORD got = 0;
        *error = ERROR_SUCCESS;
        if (!ReadFile(server_, buffer.data(), size, nullptr, &overlapped_)) {
            *error = GetLastError();
            if (*error == ERROR_IO_PENDING) {
                EXPECT_TRUE(signalled(event_, 2000));
                *error = ERROR_SUCCESS;
            }
        } else {
            EXPECT_TRUE(signalled(event_, 0)) << "an immediate completion sets the event too";
        }
        if (!GetOverlappedResult(server_, &overlapped_, &got, FALSE)) {
            *error = GetLastError();
        }
        return std::string(buffer.data(), got);
    }

    std::u16string name_;
    HANDLE server_ = INVALID_HANDLE_VALUE;
    HANDLE client_ = INVALID_HANDLE_VALUE;
    HANDLE event_ = nullptr;
    OVERLAPPED overlapped_{};
};

TEST_F(NamedPipeTest, ClientBeforeTheWaitIsAGoodConnectionWithoutTheEvent) {
    connect_client_first();
    EXPECT_FALSE(signalled(event_, 50));
    client_writes("hello");
    DWORD error;
    EXPECT_EQ(server_reads(64, &error), "hello");
    EXPECT_EQ(error, (DWORD)ERROR_SUCCESS);
}

TEST_F(NamedPipeTest, PendingConnectSetsTheEventWhenAClientComes) {
    ASSERT_FALSE(ConnectNamedPipe(server_, &overlapped_));
    ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
    DWORD bytes;
    EXPECT_FALSE(GetOverlappedResult(server_, &overlapped_, &bytes, FALSE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_IO_INCOMPLETE);
    EXPECT_FALSE(signalled(event_, 50));

    client_ = open_client(name_);
    ASSERT_NE(client_, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(signalled(event_, 2000));
    EXPECT_TRUE(GetOverlappedResult(server_, &overlapped_, &bytes, FALSE));
    EXPECT_TRUE(HasOverlappedIoCompleted(&overlapped_));
}

TEST_F(NamedPipeTest, MessagesKeepTheirBoundariesAndALongOneIsReadInPieces) {
    connect_client_first();
    client_writes("first");
    client_writes("");
    client_writes("0123456789abcdef");
    client_writes("last");

    DWORD error;
    EXPECT_EQ(server_reads(64, &error), "first");
    EXPECT_EQ(error, (DWORD)ERROR_SUCCESS);
    EXPECT_EQ(server_reads(64, &error), "");
    EXPECT_EQ(error, (DWORD)ERROR_SUCCESS);
    EXPECT_EQ(server_reads(10, &error), "0123456789");
    EXPECT_EQ(error, (DWORD)ERROR_MORE_DATA);
    EXPECT_EQ(server_reads(4, &error), "abcd");
    EXPECT_EQ(error, (DWORD)ERROR_MORE_DATA);
    EXPECT_EQ(server_reads(2, &error), "ef") << "a rest that fills the buffer exactly ends the message";
    EXPECT_EQ(error, (DWORD)ERROR_SUCCESS);
    EXPECT_EQ(server_reads(64, &error), "last");
    EXPECT_EQ(error, (DWORD)ERROR_SUCCESS);
}

TEST_F(NamedPipeTest, PendingReadCompletesWhenTheMessageArrives) {
    connect_client_first();
    char buffer[16];
    ASSERT_FALSE(ReadFile(server_, buffer, sizeof buffer, nullptr, &overlapped_));
    ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
    EXPECT_FALSE(signalled(event_, 50));
    client_writes("late");
    ASSERT_TRUE(signalled(event_, 2000));
    DWORD got = 0;
    ASSERT_TRUE(GetOverlappedResult(server_, &overlapped_, &got, FALSE));
    EXPECT_EQ(std::string(buffer, got), "late");
}

TEST_F(NamedPipeTest, WriteLargerThanTheSocketBufferPendsUntilTheReaderTakesIt) {
    connect_client_first();
    std::string message(4 << 20, '\0');
    for (size_t i = 0; i < message.size(); i++) {
        message[i] = (char)(i * 7 + i / 4096);
    }
    BOOL done = WriteFile(server_, message.data(), (DWORD)message.size(), nullptr, &overlapped_);
    ASSERT_FALSE(done);
    ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);

    std::string received(message.size(), '\0');
    DWORD got = 0;
    ASSERT_TRUE(ReadFile(client_, &received[0], (DWORD)received.size(), &got, nullptr)) << GetLastError();
    EXPECT_EQ(got, message.size());
    EXPECT_TRUE(received == message);

    ASSERT_TRUE(signalled(event_, 2000));
    DWORD written = 0;
    EXPECT_TRUE(GetOverlappedResult(server_, &overlapped_, &written, FALSE));
    EXPECT_EQ(written, message.size());
}

TEST_F(NamedPipeTest, CancelIoAbortsThePendingReadAndThePipeStillWorks) {
    connect_client_first();
    char buffer[16];
    ASSERT_FALSE(ReadFile(server_, buffer, sizeof buffer, nullptr, &overlapped_));
    ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);

    // Only the thread that started an operation cancels it.
    std::thread([this] { EXPECT_TRUE(CancelIo(server_)); }).join();
    EXPECT_FALSE(HasOverlappedIoCompleted(&overlapped_));

    ASSERT_TRUE(CancelIo(server_));
    EXPECT_TRUE(signalled(event_, 0));
    DWORD got;
    EXPECT_FALSE(GetOverlappedResult(server_, &overlapped_, &got, FALSE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_OPERATION_ABORTED);

    client_writes("after");
    DWORD error;
    EXPECT_EQ(server_reads(16, &error), "after");
}

TEST_F(NamedPipeTest, CancelIoAbortsAPendingConnect) {
    ASSERT_FALSE(ConnectNamedPipe(server_, &overlapped_));
    ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
    ASSERT_TRUE(CancelIo(server_));
    EXPECT_TRUE(signalled(event_, 0));
    DWORD bytes;
    EXPECT_FALSE(GetOverlappedResult(server_, &overlapped_, &bytes, FALSE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_OPERATION_ABORTED);

    // The instance can wait again.
    connect_client_first();
}

TEST_F(NamedPipeTest, ClientThatLeavesBreaksThePipeUntilTheServerDisconnects) {
    connect_client_first();
    char buffer[16];
    ASSERT_FALSE(ReadFile(server_, buffer, sizeof buffer, nullptr, &overlapped_));
    ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
    CloseHandle(client_);
    client_ = INVALID_HANDLE_VALUE;

    ASSERT_TRUE(signalled(event_, 2000));
    DWORD got;
    EXPECT_FALSE(GetOverlappedResult(server_, &overlapped_, &got, FALSE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_BROKEN_PIPE);
    EXPECT_FALSE(ReadFile(server_, buffer, sizeof buffer, nullptr, &overlapped_));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_BROKEN_PIPE);
    EXPECT_FALSE(WriteFile(server_, "x", 1, nullptr, &overlapped_));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_DATA);
    EXPECT_FALSE(ConnectNamedPipe(server_, &overlapped_));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_DATA);

    ASSERT_TRUE(DisconnectNamedPipe(server_));
    EXPECT_FALSE(ReadFile(server_, buffer, sizeof buffer, nullptr, &overlapped_));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PIPE_NOT_CONNECTED);
    connect_client_first();
    client_writes("again");
    DWORD error;
    EXPECT_EQ(server_reads(16, &error), "again");
}

TEST_F(NamedPipeTest, DisconnectAndCloseFailTheOtherSide) {
    connect_client_first();
    ASSERT_TRUE(DisconnectNamedPipe(server_));
    char buffer[4];
    DWORD got;
    EXPECT_FALSE(ReadFile(client_, buffer, sizeof buffer, &got, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_BROKEN_PIPE);

    // A blocked client read ends when the server's handle goes.
    CloseHandle(client_);
    connect_client_first();
    std::thread closer([this] {
        Sleep(50);
        CloseHandle(server_);
        server_ = INVALID_HANDLE_VALUE;
    });
    EXPECT_FALSE(ReadFile(client_, buffer, sizeof buffer, &got, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_BROKEN_PIPE);
    closer.join();
    EXPECT_EQ(open_client(name_), INVALID_HANDLE_VALUE) << "the name went with its last instance";
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
}

TEST_F(NamedPipeTest, ServerMessagesReachABlockingClientWithTheirBoundaries) {
    connect_client_first();
    ASSERT_TRUE(WriteFile(server_, "one", 3, nullptr, &overlapped_));
    EXPECT_TRUE(signalled(event_, 0));
    ASSERT_TRUE(WriteFile(server_, "three", 5, nullptr, &overlapped_));
    char buffer[8];
    DWORD got = 0;
    ASSERT_TRUE(ReadFile(client_, buffer, sizeof buffer, &got, nullptr));
    EXPECT_EQ(std::string(buffer, got), "one");
    EXPECT_FALSE(ReadFile(client_, buffer, 2, &got, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_MORE_DATA);
    EXPECT_EQ(std::string(buffer, got), "th");
    ASSERT_TRUE(ReadFile(client_, buffer, sizeof buffer, &got, nullptr));
    EXPECT_EQ(std::string(buffer, got), "ree");
}

TEST_F(NamedPipeTest, InstancesOfOneNameEachServeOneClient) {
    HANDLE second = CreateNamedPipeW(name_.c_str(), server_open_mode, server_pipe_mode,
                                     PIPE_UNLIMITED_INSTANCES, 8192, 8192, 5000, nullptr);
    ASSERT_NE(second, INVALID_HANDLE_VALUE);
    OVERLAPPED second_overlapped{};
    second_overlapped.hEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_FALSE(ConnectNamedPipe(server_, &overlapped_));
    ASSERT_FALSE(ConnectNamedPipe(second, &second_overlapped));
    ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);

    HANDLE clients[2] = {open_client(name_), open_client(name_)};
    ASSERT_TRUE(signalled(event_, 2000));
    ASSERT_TRUE(signalled(second_overlapped.hEvent, 2000));
    ASSERT_TRUE(WriteFile(clients[0], "a", 1, nullptr, nullptr));
    ASSERT_TRUE(WriteFile(clients[1], "b", 1, nullptr, nullptr));
    // Which instance took which client is not defined; each has exactly one of them.
    DWORD error;
    std::string first = server_reads(4, &error);
    char buffer[4];
    DWORD got = 0;
    if (!ReadFile(second, buffer, sizeof buffer, nullptr, &second_overlapped)) {
        ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
    }
    ASSERT_TRUE(signalled(second_overlapped.hEvent, 2000));
    ASSERT_TRUE(GetOverlappedResult(second, &second_overlapped, &got, FALSE));
    std::string both = first + std::string(buffer, got);
    EXPECT_TRUE(both == "ab" || both == "ba") << both;

    for (HANDLE h : {clients[0], clients[1], second, second_overlapped.hEvent}) {
        CloseHandle(h);
    }
}

TEST(NamedPipeErrorsTest, RefusedRequests) {
    std::u16string name = unique_pipe_name();
    struct Case {
        const char* what;
        std::u16string name;
        DWORD open_mode;
        DWORD pipe_mode;
        DWORD max_instances;
        DWORD error;
    };
    const Case cases[] = {
        {"no pipe prefix", u"\\\\.\\pip\\x", server_open_mode, server_pipe_mode, 1, ERROR_INVALID_NAME},
        {"empty name", u"\\\\.\\pipe\\", server_open_mode, server_pipe_mode, 1, ERROR_INVALID_NAME},
        {"too long", u"\\\\.\\pipe\\" + std::u16string(250, u'x'), server_open_mode, server_pipe_mode, 1,
         ERROR_INVALID_NAME},
        {"no instances", name, server_open_mode, server_pipe_mode, 0, ERROR_INVALID_PARAMETER},
        {"too many instances", name, server_open_mode, server_pipe_mode, 256, ERROR_INVALID_PARAMETER},
        {"byte pipe", name, server_open_mode, PIPE_TYPE_BYTE, 1, ERROR_NOT_SUPPORTED},
    };
    for (const Case& c : cases) {
        SetLastError(0);
        EXPECT_EQ(
            CreateNamedPipeW(c.name.c_str(), c.open_mode, c.pipe_mode, c.max_instances, 0, 0, 0, nullptr),
            INVALID_HANDLE_VALUE)
            << c.what;
        EXPECT_EQ(GetLastError(), c.error) << c.what;
    }

    HANDLE only = CreateNamedPipeW(name.c_str(), server_open_mode, server_pipe_mode, 1, 0, 0, 0, nullptr);
    ASSERT_NE(only, INVALID_HANDLE_VALUE);
    EXPECT_EQ(CreateNamedPipeW(name.c_str(), server_open_mode, server_pipe_mode, 1, 0, 0, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PIPE_BUSY);
    EXPECT_EQ(CreateNamedPipeW(name.c_str(), server_open_mode, server_pipe_mode, 2, 0, 0, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(CreateNamedPipeW(name.c_str(), server_open_mode | FILE_FLAG_FIRST_PIPE_INSTANCE,
                               server_pipe_mode, 1, 0, 0, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);

    char buffer[4];
    OVERLAPPED overlapped{};
    EXPECT_FALSE(ReadFile(only, buffer, sizeof buffer, nullptr, &overlapped));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PIPE_LISTENING);
    EXPECT_FALSE(ReadFile(only, buffer, sizeof buffer, nullptr, nullptr))
        << "an overlapped handle needs a record";
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);

    // Names ignore case.
    std::u16string upper = name;
    for (char16_t& c : upper) {
        c = c >= u'a' && c <= u'z' ? (char16_t)(c - 32) : c;
    }
    HANDLE client = open_client(upper);
    EXPECT_NE(client, INVALID_HANDLE_VALUE);
    CloseHandle(client);
    CloseHandle(only);

    EXPECT_EQ(open_client(unique_pipe_name()), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
}

TEST(NamedPipeProcessesTest, ANameServedByALiveProcessIsBusyAndIsFreedWhenItDies) {
    std::u16string name = unique_pipe_name();
    int to_parent[2], to_child[2];
    ASSERT_EQ(pipe(to_parent), 0);
    ASSERT_EQ(pipe(to_child), 0);
    pid_t child = fork();
    if (child == 0) {
        HANDLE pipe = CreateNamedPipeW(name.c_str(), server_open_mode, server_pipe_mode, 1, 0, 0, 0, nullptr);
        char ready = pipe != INVALID_HANDLE_VALUE ? 'y' : 'n';
        ssize_t ignored = ::write(to_parent[1], &ready, 1);
        ignored = ::read(to_child[0], &ready, 1);
        (void)ignored;
        _exit(0);  // dies serving the name, leaving its socket file behind
    }
    char ready = 0;
    ASSERT_EQ(::read(to_parent[0], &ready, 1), 1);
    ASSERT_EQ(ready, 'y');
    EXPECT_EQ(CreateNamedPipeW(name.c_str(), server_open_mode, server_pipe_mode, 1, 0, 0, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PIPE_BUSY);

    ASSERT_EQ(::write(to_child[1], "x", 1), 1);
    int status;
    waitpid(child, &status, 0);
    for (int fd : {to_parent[0], to_parent[1], to_child[0], to_child[1]}) {
        close(fd);
    }
    HANDLE server = CreateNamedPipeW(name.c_str(), server_open_mode, server_pipe_mode, 1, 0, 0, 0, nullptr);
    ASSERT_NE(server, INVALID_HANDLE_VALUE) << GetLastError();
    HANDLE client = open_client(name);
    EXPECT_NE(client, INVALID_HANDLE_VALUE);
    OVERLAPPED overlapped{};
    EXPECT_FALSE(ConnectNamedPipe(server, &overlapped));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PIPE_CONNECTED);
    CloseHandle(client);
    CloseHandle(server);
}

}  // namespace
