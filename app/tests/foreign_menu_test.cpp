// The foreign-menu pipe against real pipe clients: init records, item messages whole, merged and split, the
// records that end a connection, and the focus notices.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/foreign_menu.h"
#include "runtime/tests/loop_helpers.h"
#include "winapi/windows.h"

namespace {

std::string u32le(uint32_t v) {
    std::string out(4, '\0');
    for (int i = 0; i < 4; i++) {
        out[size_t(i)] = char(uint8_t(v >> (8 * i)));
    }
    return out;
}

uint32_t get32(const std::string& s, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; i--) {
        v = v << 8 | uint8_t(s[at + size_t(i)]);
    }
    return v;
}

std::string init_record(const std::string& title, uint32_t credentials = 0) {
    uint32_t size = uint32_t(20 + title.size());
    return u32le(ForeignMenu::MAGIC) + u32le(1) + u32le(size) + u32le(credentials) + u32le(0) + title;
}

std::string message(uint32_t id, const std::string& body) {
    return u32le(id) + u32le(uint32_t(8 + body.size())) + body;
}

std::string add_item(uint32_t item, uint32_t flags, const std::string& text) {
    return message(ForeignMenu::ADD_ITEM,
                   u32le(item) + u32le(flags) + u32le(0) + text + std::string(1, '\0'));
}

// A program's end of the pipe.
class PipeClient {
public:
    PipeClient() {
        std::string full = "\\\\.\\pipe\\" + ForeignMenu::pipe_name();
        std::u16string wide(full.begin(), full.end());
        _pipe = CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr);
        _overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    ~PipeClient() {
        if (_pipe != INVALID_HANDLE_VALUE) {
            CloseHandle(_pipe);
        }
        CloseHandle(_overlapped.hEvent);
    }

    bool connected() const { return _pipe != INVALID_HANDLE_VALUE; }

    bool write(const std::string& data) {
        DWORD bytes = 0;
        if (!WriteFile(_pipe, data.data(), DWORD(data.size()), nullptr, &_overlapped) &&
            GetLastError() != ERROR_IO_PENDING) {
            return false;
        }
        return WaitForSingleObject(_overlapped.hEvent, 2000) == WAIT_OBJECT_0 &&
               GetOverlappedResult(_pipe, &_overlapped, &bytes, FALSE) && bytes == data.size();
    }

    // Reads until size bytes came; false on time-out or when the server closed.
    bool read(size_t size, std::string* out) {
        std::vector<char> buffer(8192);
        while (out->size() < size) {
            DWORD bytes = 0;
            if (!ReadFile(_pipe, buffer.data(), DWORD(buffer.size()), nullptr, &_overlapped) &&
                GetLastError() != ERROR_IO_PENDING) {
                return false;
            }
            if (WaitForSingleObject(_overlapped.hEvent, 2000) != WAIT_OBJECT_0) {
                CancelIo(_pipe);
                return false;
            }
            if (!GetOverlappedResult(_pipe, &_overlapped, &bytes, FALSE)) {
                return false;
            }
            out->append(buffer.data(), bytes);
        }
        return true;
    }

    // True when the server closed its end (a read fails at once rather than timing out).
    bool closed_by_server() {
        std::string ignored;
        auto start = std::chrono::steady_clock::now();
        bool failed = !read(1, &ignored);
        return failed && std::chrono::steady_clock::now() - start < std::chrono::milliseconds(1900);
    }

private:
    HANDLE _pipe;
    OVERLAPPED _overlapped = {};
};

// The application's side: its menu, item ids and how often the menu was rebuilt. Loop thread; the snapshot is
// taken at every rebuild for the test thread.
class FakeApplication : public ForeignMenuInterface {
public:
    FakeApplication() : _app_menu(new Menu(*this, "app")) {}
    ~FakeApplication() override { _app_menu->unref(); }

    void do_command(int) override {}
    // The lowest free id from 1024, as the application hands them out.
    int get_foreign_menu_item_id(ForeignMenuConnection* connection, int32_t item_id) override {
        for (const auto& entry : _ids) {
            if (entry.second.first == connection && entry.second.second == item_id) {
                return entry.first;
            }
        }
        int id = 1024;
        while (_ids.count(id)) {
            id++;
        }
        _ids[id] = {connection, item_id};
        return id;
    }
    void clear_menu_items(ForeignMenuConnection* connection) override {
        for (auto it = _ids.begin(); it != _ids.end();) {
            it = it->second.first == connection ? _ids.erase(it) : std::next(it);
        }
        std::lock_guard<std::mutex> lock(_mutex);
        _cleared++;
    }
    void remove_menu_item(int command_id) override { _ids.erase(command_id); }
    Menu* get_app_menu() override { return _app_menu->ref(); }
    void update_menu() override {
        _updates++;
        std::string text;
        for (size_t i = 0; i < _app_menu->item_count(); i++) {
            Menu* sub = _app_menu->sub_at(i);
            text += (i ? "|" : "") + sub->title() + "{";
            for (size_t j = 0; j < sub->item_count(); j++) {
                std::string item;
                int32_t id;
                int32_t state;
                sub->command_at(j, item, id, state);
                text += item + "=" + std::to_string(id) + "/" + std::to_string(state) + ";";
            }
            text += "}";
            sub->unref();
        }
        std::lock_guard<std::mutex> lock(_mutex);
        _snapshot = text;
    }

    std::string snapshot() {
        std::lock_guard<std::mutex> lock(_mutex);
        return _snapshot;
    }
    int updates() const { return _updates; }
    int cleared() {
        std::lock_guard<std::mutex> lock(_mutex);
        return _cleared;
    }

private:
    Menu* _app_menu;
    std::map<int, std::pair<ForeignMenuConnection*, int32_t>> _ids;
    std::mutex _mutex;
    std::string _snapshot = "none";
    int _cleared = 0;
    std::atomic<int> _updates{0};
};

class ForeignMenuTest : public testing::Test {
protected:
    void start(bool active = false) {
        _menu.reset(new ForeignMenu(_app, _loop_thread.loop, active));
        ASSERT_TRUE(_menu->listening());
        _loop_thread.start();
    }
    void TearDown() override {
        on_loop([this] { _menu.reset(); });
        int exit_code;
        _loop_thread.loop.quit(0);
        EXPECT_TRUE(_loop_thread.ended(&exit_code));
    }

    // Runs f on the loop's thread and waits for it.
    template <class F>
    auto on_loop(F f) -> decltype(f()) {
        auto task = std::make_shared<std::packaged_task<decltype(f())()>>(std::move(f));
        auto result = task->get_future();
        post(_loop_thread.loop, [task](AbstractProcessLoop&) { (*task)(); });
        return result.get();
    }
    size_t connections() {
        return on_loop([this] { return _menu->connection_count(); });
    }
    // The snapshot once it equals the expected text (or as it stands after two seconds).
    std::string snapshot_when(const std::string& expected) {
        eventually([&] { return _app.snapshot() == expected; });
        return _app.snapshot();
    }

    FakeApplication _app;
    LoopThread _loop_thread;
    std::unique_ptr<ForeignMenu> _menu;
};

TEST_F(ForeignMenuTest, InitRecords) {
    struct Case {
        const char* name;
        std::string record;
        bool accepted;
        const char* menu;
    } cases[] = {
        {"exactly 20 bytes", init_record(""), true, "Untitled{}"},
        {"title with its terminator", init_record(std::string("Tools\0", 6)), true, "Tools{}"},
        {"last byte stands for the terminator", init_record("Toolsx"), true, "Tools{}"},
        {"credentials 1", init_record("Tools", 1), false, nullptr},
        {"wrong magic", u32le(0x12345678) + init_record("").substr(4), false, nullptr},
        {"wrong version", u32le(ForeignMenu::MAGIC) + u32le(2) + init_record("").substr(8), false, nullptr},
        {"size below the credentials' end",
         u32le(ForeignMenu::MAGIC) + u32le(1) + u32le(16) + u32le(0) + message(0, ""), false, nullptr},
        {"size 0", u32le(ForeignMenu::MAGIC) + u32le(1) + u32le(0) + std::string(8, '\0'), false, nullptr},
        {"size over the read buffer",
         u32le(ForeignMenu::MAGIC) + u32le(1) + u32le(5000) + std::string(4000, '\0'), false, nullptr},
    };
    start();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PipeClient client;
        ASSERT_TRUE(client.connected());
        ASSERT_TRUE(eventually([&] { return connections() == 1; }));
        int updates = _app.updates();
        ASSERT_TRUE(client.write(c.record));
        if (c.accepted) {
            EXPECT_EQ(snapshot_when(c.menu), c.menu);
            EXPECT_EQ(connections(), 1u);
            // A second init is read as a message whose size word is the version, 1.
            ASSERT_TRUE(client.write(init_record("again")));
        }
        EXPECT_TRUE(client.closed_by_server());
        EXPECT_TRUE(eventually([&] { return connections() == 0; }));
        if (!c.accepted) {
            EXPECT_EQ(_app.updates(), updates) << "a refused record makes no menu";
        }
        on_loop([this] { _app.update_menu(); });
        EXPECT_EQ(_app.snapshot(), "") << "no menu stays behind";
    }
}

TEST_F(ForeignMenuTest, ItemMessagesMergedAndSplitAcrossReads) {
    start();
    PipeClient client;
    ASSERT_TRUE(client.connected());
    // The init record and three messages in one write.
    ASSERT_TRUE(client.write(init_record(std::string("Tools\0", 6)) + add_item(7, 1, "Seven") +
                             add_item(8, 6, "Eight") + message(3, "ignored")));
    EXPECT_EQ(snapshot_when("Tools{Seven=1024/1;Eight=1025/2;}"), "Tools{Seven=1024/1;Eight=1025/2;}");

    // A message in three pieces is handled once whole.
    std::string rename = message(ForeignMenu::SET_TITLE, std::string("Mine\0", 5));
    ASSERT_TRUE(client.write(rename.substr(0, 3)));
    ASSERT_TRUE(client.write(rename.substr(3, 6)));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(_app.snapshot(), "Tools{Seven=1024/1;Eight=1025/2;}");
    ASSERT_TRUE(client.write(rename.substr(9) + message(ForeignMenu::REMOVE_ITEM, u32le(7))));
    EXPECT_EQ(snapshot_when("Mine{Eight=1025/2;}"), "Mine{Eight=1025/2;}");

    // A title message without text bytes gives an empty title; clearing empties the menu.
    ASSERT_TRUE(client.write(message(ForeignMenu::SET_TITLE, "") + message(ForeignMenu::CLEAR, "")));
    EXPECT_EQ(snapshot_when("{}"), "{}");
    EXPECT_EQ(_app.cleared(), 1);
    EXPECT_EQ(connections(), 1u);
}

TEST_F(ForeignMenuTest, MalformedMessagesEndTheConnection) {
    struct Case {
        const char* name;
        std::string data;
    } cases[] = {
        {"header size 4", u32le(ForeignMenu::CLEAR) + u32le(4)},
        {"add item without its fields", message(ForeignMenu::ADD_ITEM, u32le(7) + u32le(0))},
        {"add item of 19 bytes", message(ForeignMenu::ADD_ITEM, std::string(11, '\0'))},
        {"remove item without its id", message(ForeignMenu::REMOVE_ITEM, "")},
        {"remove item of 11 bytes", message(ForeignMenu::REMOVE_ITEM, "abc")},
        {"message over the read buffer", u32le(ForeignMenu::CLEAR) + u32le(4097) + std::string(4089, 'x')},
    };
    start();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PipeClient client;
        ASSERT_TRUE(client.connected());
        ASSERT_TRUE(client.write(init_record("T") + add_item(1, 0, "One")));
        EXPECT_EQ(snapshot_when("{One=1024/0;}"), "{One=1024/0;}");
        ASSERT_TRUE(client.write(c.data));
        EXPECT_TRUE(client.closed_by_server());
        EXPECT_TRUE(eventually([&] { return connections() == 0; }));
        EXPECT_EQ(snapshot_when(""), "");
    }
}

TEST_F(ForeignMenuTest, FocusNoticesReachEveryConnection) {
    start(true);
    PipeClient initialised;
    PipeClient fresh;
    ASSERT_TRUE(initialised.connected() && fresh.connected());
    std::string first;
    std::string second;
    ASSERT_TRUE(initialised.read(8, &first));
    ASSERT_TRUE(fresh.read(8, &second));
    EXPECT_EQ(get32(first, 0), uint32_t(ForeignMenu::APP_ACTIVATED))
        << "sent at once: the window has the focus";
    EXPECT_EQ(get32(second, 4), 8u);
    ASSERT_TRUE(initialised.write(init_record(std::string("T\0", 2))));
    EXPECT_EQ(snapshot_when("T{}"), "T{}");

    on_loop([this] { _menu->on_deactivate(); });
    on_loop([this] { _menu->on_activate(); });
    for (PipeClient* client : {&initialised, &fresh}) {
        std::string notices;
        ASSERT_TRUE(client->read(16, &notices));
        EXPECT_EQ(get32(notices, 0), uint32_t(ForeignMenu::APP_DEACTIVATED));
        EXPECT_EQ(get32(notices, 8), uint32_t(ForeignMenu::APP_ACTIVATED));
    }
    EXPECT_EQ(connections(), 2u);
}

}  // namespace
