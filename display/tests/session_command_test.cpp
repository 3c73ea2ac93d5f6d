// The start command and the parent client's blocks: the debug command line, the hand-shake with the
// parent's window, and every block the parent sends, whole, short, oversized and lying about its counts.
#include "display/session_command.h"

#include "runtime/log.h"
#include "winapi/processthreadsapi.h"
#include "winapi/tests/support/child_program.h"
#include "winapi/tests/support/xvfb_server.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

using namespace session_command;
using testing::HasSubstr;
using testing::Not;

namespace {

class FakeHost : public SessionCommandHost {
public:
    struct Connect {
        std::string host;
        int port;
        int secure_port;
        std::string user;
        std::string password;
        uint64_t vm_id;
        uint32_t logon_mode;
        std::string vdi_user_name;
    };

    bool connect(const std::string& host, int port, int secure_port, const std::string& logon_user,
                 const std::string& link_password, const uint64_t* vm_id, uint32_t logon_mode,
                 const std::string& vdi_user_name) override {
        connects.push_back(
            Connect{host, port, secure_port, logon_user, link_password, *vm_id, logon_mode, vdi_user_name});
        return true;
    }
    bool reg_read_userinfo(const SessionBlock::Bytes&) override {
        ++userinfo_reads;
        return userinfo_ok;
    }
    void quit() override { ++quits; }
    void set_debug_connect() override { debug_connect = true; }
    void set_auto_logon_password(const std::string& password) override { auto_logon_password = password; }
    void clear_nav_bar_restart() override { ++nav_bar_restart_cleared; }
    void add_system_hub(uint32_t vendor, uint32_t product) override { hubs.emplace_back(vendor, product); }
    void watermark_settings_changed() override { ++watermark_changes; }
    void update_watermark() override { ++watermark_updates; }

    std::vector<Connect> connects;
    bool userinfo_ok = true;
    int userinfo_reads = 0;
    int quits = 0;
    bool debug_connect = false;
    std::string auto_logon_password;
    int nav_bar_restart_cleared = 0;
    std::vector<std::pair<uint32_t, uint32_t>> hubs;
    int watermark_changes = 0;
    int watermark_updates = 0;
};

// The program log written to a file of the test's own.
class LogCapture {
public:
    LogCapture() {
        path_ = std::filesystem::temp_directory_path() /
                ("ktw_session_command_" + std::to_string(GetCurrentProcessId()) + ".log");
        std::filesystem::remove(path_);
        log_set_file(std::fopen(path_.c_str(), "a"));
    }
    ~LogCapture() {
        log_close();
        std::filesystem::remove(path_);
    }
    std::string text() const {
        std::ifstream in(path_, std::ios::binary);
        std::stringstream all;
        all << in.rdbuf();
        return all.str();
    }

private:
    std::filesystem::path path_;
};

void put_u32(std::vector<uint8_t>& block, size_t offset, uint32_t value) {
    for (size_t i = 0; i < 4; ++i) {
        block[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

void put_text(std::vector<uint8_t>& block, size_t offset, const std::string& text) {
    std::memcpy(block.data() + offset, text.data(), text.size());
}

std::vector<uint8_t> session_block(const std::string& user, uint32_t logon_mode) {
    std::vector<uint8_t> block(SessionBlock::SIZE, 0);
    put_text(block, SessionBlock::USER_NAME, user);
    put_text(block, SessionBlock::LOGON_PASSWORD, "logon-pw");
    put_text(block, SessionBlock::VDI_USER_NAME, "vdi");
    const uint8_t address[4] = {10, 1, 2, 3};
    std::memcpy(block.data() + SessionBlock::HOST_ADDRESS, address, 4);
    block[SessionBlock::HOST_PORT] = 0x0e;  // 5902
    block[SessionBlock::HOST_PORT + 1] = 0x17;
    put_u32(block, SessionBlock::VM_ID, 0x89abcdef);
    put_u32(block, SessionBlock::VM_ID + 4, 0x01234567);
    put_u32(block, SessionBlock::LOGON_MODE, logon_mode);
    put_text(block, SessionBlock::LINK_PASSWORD, "Zq7-link-secret");
    return block;
}

// A list block {u32 size, u32 count} with `room` bytes of entries, each byte 'a'.
std::vector<uint8_t> list_block(uint32_t size_word, uint32_t count, size_t room) {
    std::vector<uint8_t> block(8 + room, 'a');
    put_u32(block, 0, size_word);
    put_u32(block, 4, count);
    return block;
}

std::vector<std::u16string> words(std::initializer_list<const char*> list) {
    std::vector<std::u16string> out;
    for (const char* word : list) {
        out.emplace_back(word, word + std::strlen(word));
    }
    return out;
}

class CopyDataTest : public testing::Test {
protected:
    void SetUp() override {
        SessionBlock::clear();
        ParentBlocks::clear();
    }
    void TearDown() override {
        SessionBlock::clear();
        ParentBlocks::clear();
    }

    int deliver(ULONG_PTR code, const std::vector<uint8_t>& data) {
        COPYDATASTRUCT copy{code, static_cast<DWORD>(data.size()),
                            data.empty() ? nullptr : (void*)data.data()};
        return command.on_copy_data(nullptr, &copy);
    }

    FakeHost host;
    SessionCommand command{host, nullptr};
};

// ---- the debug command line ----

struct DebugCase {
    std::vector<std::u16string> args;
    bool accepted;
    const char* host;
    int port;
    uint64_t vm_id;
};

TEST(DebugCommand, ConnectsOnlyWithAWholeAddressPortAndVmId) {
    const DebugCase cases[] = {
        {words({"debug", "ip", "10.0.0.5", "port", "5900", "vmid", "7"}), true, "10.0.0.5", 5900, 7},
        // Keywords in any order, unknown words skipped one at a time, keywords in any case.
        {words({"debug", "port", "5900", "ip", "10.0.0.5", "extra", "vmid", "7"}), true, "10.0.0.5", 5900, 7},
        {words({"DeBuG", "IP", "127.0.0.1", "Port", "65535", "VMID", "18446744073709551615"}), true,
         "127.0.0.1", 65535, UINT64_MAX},
        {words({"debug", "ip", "10.0.0.5", "port", "5900"}), false},
        {words({"debug", "ip", "10.0.0.5", "port", "5900", "vmid", "0"}), false},
        {words({"debug", "ip", "10.0.0.5", "port", "5900", "vmid"}), false},  // keyword without value
        {words({"debug", "ip", "10.0.0.5", "port", "0", "vmid", "7"}), false},
        {words({"debug", "port", "5900", "vmid", "7"}), false},
        {words({"debug", "ip", "0.0.0.0", "port", "5900", "vmid", "7"}), false},
        // Values that do not parse are refused rather than taken as some other number or address.
        {words({"debug", "ip", "not-an-address", "port", "5900", "vmid", "7"}), false},
        {words({"debug", "ip", "10.0.0.5", "port", "65536", "vmid", "7"}), false},
        {words({"debug", "ip", "10.0.0.5", "port", "59x", "vmid", "7"}), false},
        {words({"debug", "ip", "10.0.0.5", "port", "5900", "vmid", "18446744073709551616"}), false},
        {words({"debug", "ip", "10.0.0.5", "port", "5900", "vmid", "-7"}), false},
        {words({"debug"}), false},
        {{}, false},
    };
    for (const auto& c : cases) {
        std::string shown;
        for (const auto& arg : c.args) {
            shown += std::string(arg.begin(), arg.end()) + " ";
        }
        SCOPED_TRACE(shown);
        LogCapture log;
        FakeHost host;
        SessionCommand command(host, nullptr);
        EXPECT_EQ(command.parse_command(c.args), c.accepted);
        EXPECT_EQ(host.debug_connect, c.accepted);
        if (!c.accepted) {
            EXPECT_TRUE(host.connects.empty());
            EXPECT_THAT(log.text(), HasSubstr("error command line"));
            continue;
        }
        ASSERT_EQ(host.connects.size(), 1u);
        const auto& connect = host.connects[0];
        EXPECT_EQ(connect.host, c.host);
        EXPECT_EQ(connect.port, c.port);
        EXPECT_EQ(connect.secure_port, -1);
        EXPECT_EQ(connect.vm_id, c.vm_id);
        EXPECT_EQ(connect.user, "");
        EXPECT_EQ(connect.password, "");
        EXPECT_EQ(connect.logon_mode, 0u);
        EXPECT_EQ(connect.vdi_user_name, "");
        EXPECT_EQ(command.parent_window(), nullptr);  // no parent is looked for
    }
}

// ---- the session block ----

TEST_F(CopyDataTest, SessionBlockStartsTheConnectionWithTheLogonUserOfItsMode) {
    const struct {
        const char* user_name;
        uint32_t mode;
        const char* logon_user;
    } cases[] = {
        {"CORP\\alice", 0, ""}, {"CORP\\alice", 1, "alice"}, {"CORP\\alice", 2, "CORP\\alice"},
        {"alice", 1, "alice"},  {"A\\B\\carol", 1, "carol"}, {"CORP\\alice", 3, ""},
        {"CORP\\", 1, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.user_name) + " mode " + std::to_string(c.mode));
        FakeHost host;
        SessionCommand command(host, nullptr);
        std::vector<uint8_t> block = session_block(c.user_name, c.mode);
        COPYDATASTRUCT copy{CODE_SESSION_BLOCK, static_cast<DWORD>(block.size()), block.data()};
        EXPECT_EQ(command.on_copy_data(nullptr, &copy), 1);
        ASSERT_EQ(host.connects.size(), 1u);
        const auto& connect = host.connects[0];
        EXPECT_EQ(connect.host, "10.1.2.3");
        EXPECT_EQ(connect.port, 5902);
        EXPECT_EQ(connect.secure_port, -1);
        EXPECT_EQ(connect.user, c.logon_user);
        EXPECT_EQ(connect.password, "Zq7-link-secret");
        EXPECT_EQ(connect.vm_id, 0x0123456789abcdefull);
        EXPECT_EQ(connect.logon_mode, c.mode);
        EXPECT_EQ(connect.vdi_user_name, "vdi");
        EXPECT_EQ(host.auto_logon_password, "logon-pw");
        EXPECT_EQ(host.userinfo_reads, 1);
        EXPECT_EQ(host.quits, 0);
        EXPECT_EQ(SessionBlock::get(), [&] {
            SessionBlock::Bytes bytes;
            std::memcpy(bytes.data(), block.data(), bytes.size());
            return bytes;
        }());
    }
}

TEST_F(CopyDataTest, SessionBlockOfAnyOtherSizeIsRefused) {
    std::vector<uint8_t> good = session_block("CORP\\alice", 2);
    for (size_t size : {size_t(0), size_t(8), SessionBlock::SIZE - 1, SessionBlock::SIZE + 1, size_t(4096)}) {
        SCOPED_TRACE(size);
        LogCapture log;
        std::vector<uint8_t> block = good;
        block.resize(size, 0x55);
        EXPECT_EQ(deliver(CODE_SESSION_BLOCK, block), 1);
        EXPECT_TRUE(host.connects.empty());
        EXPECT_EQ(host.userinfo_reads, 0);
        EXPECT_EQ(SessionBlock::vm_id(), 0u);
        EXPECT_THAT(log.text(), HasSubstr("refused"));
    }
}

TEST_F(CopyDataTest, SessionBlockTextsEndAtTheirFieldsLastByte) {
    std::vector<uint8_t> block(SessionBlock::SIZE, 0);
    // Every text field filled to its last byte, none terminated.
    std::memset(block.data() + 6, 'u', 363);
    std::memset(block.data() + 369, 'l', 99);
    std::memset(block.data() + 508, 'v', 128);
    std::memset(block.data() + 636, 't', 129);
    std::memset(block.data() + 980, 'd', 128);
    std::memset(block.data() + 1112, 'b', 128);
    std::memset(block.data() + 1240, 'w', 128);
    std::memset(block.data() + 1436, 'p', 100);
    put_u32(block, SessionBlock::LOGON_MODE, 2);
    put_u32(block, SessionBlock::HOST_ADDRESS, 0x0100007f);
    ASSERT_EQ(deliver(CODE_SESSION_BLOCK, block), 1);

    ASSERT_EQ(host.connects.size(), 1u);
    EXPECT_EQ(host.connects[0].user, std::string(362, 'u'));
    EXPECT_EQ(host.connects[0].password, std::string(99, 'p'));
    EXPECT_EQ(host.connects[0].vdi_user_name, std::string(127, 'v'));
    EXPECT_EQ(host.auto_logon_password, std::string(98, 'l'));
    EXPECT_EQ(SessionBlock::tunnel_ticket(), std::string(128, 't'));
    EXPECT_EQ(SessionBlock::domain(), std::string(127, 'd'));
    EXPECT_EQ(SessionBlock::bind_domain(), std::string(127, 'b'));
    EXPECT_EQ(SessionBlock::logon_user(), std::string(127, 'w'));
}

TEST_F(CopyDataTest, LinkPasswordIsNeverLogged) {
    LogCapture log;
    log_set_threshold(LOG_LEVEL_DEBUG);
    ASSERT_EQ(deliver(CODE_SESSION_BLOCK, session_block("CORP\\alice", 1)), 1);
    log_set_threshold(LOG_LEVEL_INFO);
    std::string text = log.text();
    EXPECT_THAT(text, HasSubstr("[trace]ip:10.1.2.3,port:5902"));  // the line is there, without the secret
    EXPECT_THAT(text, Not(HasSubstr("Zq7-link-secret")));
    EXPECT_THAT(text, Not(HasSubstr("logon-pw")));
}

TEST_F(CopyDataTest, FailedWindowStateReadQuitsYetStillConnects) {
    LogCapture log;
    host.userinfo_ok = false;
    ASSERT_EQ(deliver(CODE_SESSION_BLOCK, session_block("CORP\\alice", 1)), 1);
    EXPECT_EQ(host.quits, 1);
    EXPECT_EQ(host.nav_bar_restart_cleared, 1);
    EXPECT_EQ(host.connects.size(), 1u);
    EXPECT_THAT(log.text(), HasSubstr("reg_read_userinfo failed, app quit"));
}

// ---- the list blocks ----

TEST_F(CopyDataTest, ListBlocksAreTakenOnlyWhenSizeAndCountFitTheMessage) {
    struct Case {
        const char* what;
        ULONG_PTR code;
        std::vector<uint8_t> block;
        bool taken;
    };
    auto count_of = [](ULONG_PTR code) -> std::optional<size_t> {
        switch (code) {
            case CODE_USB_RULES:
                if (auto list = ParentBlocks::usb_rules())
                    return list->size();
                return std::nullopt;
            case CODE_USB_ACCELERATION_BLACK_LIST:
                if (auto list = ParentBlocks::acceleration_black_list())
                    return list->size();
                return std::nullopt;
            case CODE_CAMERA_LIST:
                if (auto list = ParentBlocks::camera_list())
                    return list->size();
                return std::nullopt;
            default:
                if (auto list = ParentBlocks::camera_configs())
                    return list->size();
                return std::nullopt;
        }
    };
    std::vector<Case> cases;
    for (auto [code, entry] : {std::pair<ULONG_PTR, uint32_t>{CODE_USB_RULES, USB_RULE_ENTRY},
                               {CODE_USB_ACCELERATION_BLACK_LIST, USB_RULE_ENTRY},
                               {CODE_CAMERA_LIST, CAMERA_ENTRY},
                               {CODE_CAMERA_CONFIGS, CAMERA_CONFIG_ENTRY}}) {
        cases.push_back({"two whole entries", code, list_block(8 + 2 * entry, 2, 2 * entry), true});
        cases.push_back({"no entries", code, list_block(8, 0, 0), true});
        cases.push_back(
            {"trailing bytes past the size word", code, list_block(8 + entry, 1, 2 * entry), true});
        cases.push_back({"size word below the header", code, list_block(4, 0, 2 * entry), false});
        cases.push_back({"size word past the message", code, list_block(8 + 2 * entry, 2, entry), false});
        cases.push_back({"count past the size word", code, list_block(8 + entry, 2, 2 * entry), false});
        cases.push_back(
            {"count that wraps 32 bits", code, list_block(8 + entry, 0x80000001u, 2 * entry), false});
        cases.push_back({"message shorter than a header", code, std::vector<uint8_t>(7, 0xff), false});
        cases.push_back({"empty message", code, std::vector<uint8_t>(), false});
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.what) + " code " + std::to_string(c.code));
        LogCapture log;
        // What was stored before stays when a block is refused.
        ParentBlocks::clear();
        uint32_t entry = c.code == CODE_CAMERA_LIST      ? CAMERA_ENTRY
                         : c.code == CODE_CAMERA_CONFIGS ? CAMERA_CONFIG_ENTRY
                                                         : USB_RULE_ENTRY;
        ASSERT_EQ(deliver(c.code, list_block(8 + 3 * entry, 3, 3 * entry)), 1);
        ASSERT_EQ(count_of(c.code), size_t(3));

        EXPECT_EQ(deliver(c.code, c.block), 1);
        if (c.taken) {
            EXPECT_EQ(count_of(c.code), size_t(c.block[4]));
        } else {
            EXPECT_EQ(count_of(c.code), size_t(3));
            EXPECT_THAT(log.text(), HasSubstr("ERROR"));
        }
    }
}

TEST_F(CopyDataTest, ListEntriesAreReadAtTheirOffsetsWithTextsCutInsideTheirField) {
    std::vector<uint8_t> rules = list_block(8 + 2 * 524, 2, 2 * 524);  // first pattern fills all 520 bytes
    std::memset(rules.data() + 8 + 524, 0, 524);
    put_text(rules, 8 + 524, "0bda:");
    put_u32(rules, 8 + 520, 7);
    put_u32(rules, 8 + 524 + 520, 0x80000000u);
    ASSERT_EQ(deliver(CODE_USB_RULES, rules), 1);
    auto stored = ParentBlocks::usb_rules();
    ASSERT_TRUE(stored);
    ASSERT_EQ(stored->size(), 2u);
    EXPECT_EQ((*stored)[0].pattern, std::string(519, 'a'));
    EXPECT_EQ((*stored)[0].quirks, 7u);
    EXPECT_EQ((*stored)[1].pattern, "0bda:");
    EXPECT_EQ((*stored)[1].quirks, 0x80000000u);

    std::vector<uint8_t> cameras = list_block(20, 1, 12);
    put_u32(cameras, 8, 0x046d);
    put_u32(cameras, 12, 0x0825);
    put_u32(cameras, 16, 3);
    ASSERT_EQ(deliver(CODE_CAMERA_LIST, cameras), 1);
    auto camera_list = ParentBlocks::camera_list();
    ASSERT_TRUE(camera_list && camera_list->size() == 1);
    EXPECT_EQ((*camera_list)[0].vendor, 0x046du);
    EXPECT_EQ((*camera_list)[0].product, 0x0825u);
    EXPECT_EQ((*camera_list)[0].third, 3u);

    std::vector<uint8_t> configs = list_block(8 + 316, 1, 316);  // text unterminated
    for (uint32_t word = 0; word < 14; ++word) {
        put_u32(configs, 8 + 4 * word, word + 100);
    }
    ASSERT_EQ(deliver(CODE_CAMERA_CONFIGS, configs), 1);
    auto config_list = ParentBlocks::camera_configs();
    ASSERT_TRUE(config_list && config_list->size() == 1);
    EXPECT_EQ((*config_list)[0].words[0], 100u);
    EXPECT_EQ((*config_list)[0].words[13], 113u);
    EXPECT_EQ((*config_list)[0].text, std::string(259, 'a'));
}

TEST_F(CopyDataTest, SystemHubsAreWholePairsOfTheData) {
    std::vector<uint8_t> data(20, 0);
    put_u32(data, 0, 0x1d6b);
    put_u32(data, 4, 2);
    put_u32(data, 8, 0x8087);
    put_u32(data, 12, 0x0024);
    put_u32(data, 16, 0xdead);  // the last 4 bytes make no pair
    ASSERT_EQ(deliver(CODE_SYSTEM_HUBS, data), 1);
    EXPECT_EQ(host.hubs, (std::vector<std::pair<uint32_t, uint32_t>>{{0x1d6b, 2}, {0x8087, 0x24}}));
    ASSERT_EQ(deliver(CODE_SYSTEM_HUBS, std::vector<uint8_t>(7, 1)), 1);
    EXPECT_EQ(host.hubs.size(), 2u);
}

TEST_F(CopyDataTest, GuestPolicyIsCutToTheDataSizeWithItsTerminator) {
    const struct {
        std::vector<uint8_t> data;
        const char* policy;
    } cases[] = {
        {{'a', 'b', 'c', 0}, "abc"},
        {{'a', 'b', 'c', 'd'}, "abc"},  // unterminated: the last byte becomes the terminator
        {{'a', 0, 'c', 0}, "a"},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(deliver(CODE_GUEST_POLICY, c.data), 1);
        EXPECT_EQ(ParentBlocks::guest_policy(), std::optional<std::string>(c.policy));
    }
    // An empty block is an empty policy.
    char none = 'x';
    COPYDATASTRUCT empty{CODE_GUEST_POLICY, 0, &none};
    ASSERT_EQ(command.on_copy_data(nullptr, &empty), 1);
    EXPECT_EQ(ParentBlocks::guest_policy(), std::optional<std::string>(""));
    // No data at all keeps what there is.
    ASSERT_EQ(deliver(CODE_GUEST_POLICY, {'z', 0}), 1);
    COPYDATASTRUCT null_data{CODE_GUEST_POLICY, 0, nullptr};
    ASSERT_EQ(command.on_copy_data(nullptr, &null_data), 1);
    EXPECT_EQ(ParentBlocks::guest_policy(), std::optional<std::string>("z"));
}

TEST_F(CopyDataTest, WatermarkSettingsAreTakenOnlyAtTheirSize) {
    for (size_t size : {size_t(0), size_t(4), size_t(319), size_t(321), size_t(1544)}) {
        SCOPED_TRACE(size);
        LogCapture log;
        EXPECT_EQ(deliver(CODE_WATERMARK, std::vector<uint8_t>(size, 'x')), 1);
        EXPECT_FALSE(ParentBlocks::watermark());
        EXPECT_EQ(host.watermark_changes, 0);
        EXPECT_THAT(log.text(), HasSubstr("refused"));
    }
    std::vector<uint8_t> settings(320, 'x');  // every text unterminated
    put_u32(settings, 0, 0x11);
    ASSERT_EQ(deliver(CODE_WATERMARK, settings), 1);
    EXPECT_EQ(host.watermark_changes, 1);
    auto stored = ParentBlocks::watermark();
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->at(0), 0x11);
    for (size_t last : {30, 37, 188, 319}) {
        EXPECT_EQ(stored->at(last), 0) << last;
        EXPECT_EQ(stored->at(last - 1), 'x') << last;
    }
}

TEST_F(CopyDataTest, TimeStampBecomesLocalTimeAndUpdatesAWatermarkShowingTime) {
    const char* zone = std::getenv("TZ");
    std::string saved = zone ? zone : "";
    ::setenv("TZ", "UTC", 1);
    ::tzset();

    std::vector<uint8_t> settings(320, 0);
    put_u32(settings, 0, 0x01);  // watermark on, without the time
    ASSERT_EQ(deliver(CODE_WATERMARK, settings), 1);
    std::string stamp = "1700000000";
    ASSERT_EQ(deliver(CODE_TIME_STAMP, std::vector<uint8_t>(stamp.begin(), stamp.end())), 1);
    EXPECT_EQ(ParentBlocks::time_text(), "2023/11/14 22:13");
    EXPECT_EQ(host.watermark_updates, 0);

    put_u32(settings, 0, 0x11);  // now with the time
    ASSERT_EQ(deliver(CODE_WATERMARK, settings), 1);
    stamp = "1700000060";
    ASSERT_EQ(deliver(CODE_TIME_STAMP, std::vector<uint8_t>(stamp.begin(), stamp.end())), 1);
    EXPECT_EQ(ParentBlocks::time_text(), "2023/11/14 22:14");
    EXPECT_EQ(host.watermark_updates, 1);
    // The same minute again changes nothing.
    stamp = "1700000061";
    ASSERT_EQ(deliver(CODE_TIME_STAMP, std::vector<uint8_t>(stamp.begin(), stamp.end())), 1);
    EXPECT_EQ(host.watermark_updates, 1);

    for (std::string bad :
         {std::string(21, '1'), std::string("17000x0000"), std::string(), std::string("-5")}) {
        SCOPED_TRACE(bad);
        LogCapture log;
        ASSERT_EQ(deliver(CODE_TIME_STAMP, std::vector<uint8_t>(bad.begin(), bad.end())), 1);
        EXPECT_EQ(ParentBlocks::time_text(), "2023/11/14 22:14");
        EXPECT_THAT(log.text(), HasSubstr("ERROR"));
    }
    EXPECT_EQ(host.watermark_updates, 1);

    if (zone) {
        ::setenv("TZ", saved.c_str(), 1);
    } else {
        ::unsetenv("TZ");
    }
    ::tzset();
}

TEST_F(CopyDataTest, OtherCodesAndMissingRecordsChangeNothing) {
    EXPECT_EQ(command.on_copy_data(nullptr, nullptr), 0);
    std::vector<uint8_t> block = session_block("CORP\\alice", 1);
    for (ULONG_PTR code : {ULONG_PTR(0), ULONG_PTR(0x200), ULONG_PTR(0x202), ULONG_PTR(0x20B),
                           ULONG_PTR(0x545), ULONG_PTR(0x10201)}) {
        EXPECT_EQ(deliver(code, block), 1) << code;
    }
    // A size with no data behind it.
    COPYDATASTRUCT lying{CODE_SESSION_BLOCK, SessionBlock::SIZE, nullptr};
    EXPECT_EQ(command.on_copy_data(nullptr, &lying), 1);
    EXPECT_TRUE(host.connects.empty());
    EXPECT_EQ(SessionBlock::vm_id(), 0u);
}

// ---- the hand-shake with the parent's window ----

struct Received {
    HWND window;
    UINT message;
    WPARAM wparam;
    LPARAM lparam;
};
std::vector<Received> received;
SessionCommand* current_command = nullptr;

LRESULT CALLBACK recording_proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message >= WM_USER) {
        received.push_back(Received{hwnd, message, wparam, lparam});
        return 0;
    }
    if (message == WM_COPYDATA && current_command) {
        current_command->on_copy_data(hwnd, reinterpret_cast<const COPYDATASTRUCT*>(lparam));
        return 0;
    }
    return DefWindowProcW(hwnd, message, wparam, lparam);
}

// Runs this thread's messages until done() or limit_ms passed.
template <typename Done>
bool pump_until(Done done, DWORD limit_ms = 10000) {
    DWORD start = GetTickCount();
    MSG msg;
    while (!done() && GetTickCount() - start < limit_ms) {
        MsgWaitForMultipleObjectsEx(0, nullptr, 50, QS_ALLINPUT, 0);
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageW(&msg);
        }
    }
    return done();
}

std::u16string window_text(HWND window) {
    WCHAR text[TITLE_ROOM] = {};
    GetWindowTextW(window, text, static_cast<int>(TITLE_ROOM));
    return text;
}

// Windows on a private X server, in a runtime folder of the test program's own, so that no other test's (or
// person's) parent client is found. The folder is one for the whole program: its windows listen there from
// the first one on.
class ParentHandshake : public testing::Test {
protected:
    static void SetUpTestSuite() {
        char pattern[] = "/tmp/ktw-session-command-XXXXXX";
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
    void SetUp() override {
        ASSERT_FALSE(folder_.empty()) << "no runtime folder under /tmp";
        KTW_REQUIRE_XVFB();
        WNDCLASSW wc{};
        wc.lpfnWndProc = recording_proc;
        wc.lpszClassName = u"ktw_session_test";
        RegisterClassW(&wc);
        session_ = CreateWindowExW(0, u"ktw_session_test", u"made name", WS_OVERLAPPEDWINDOW, 0, 0, 64, 48,
                                   nullptr, nullptr, nullptr, nullptr);
        ASSERT_NE(session_, nullptr);
        received.clear();
        SessionBlock::clear();
        ParentBlocks::clear();
    }
    void TearDown() override {
        current_command = nullptr;
        for (HWND window : {session_, parent_}) {
            if (window) {
                DestroyWindow(window);
            }
        }
        SessionBlock::clear();
        ParentBlocks::clear();
    }

    void make_parent(const char16_t* class_name, const char16_t* title) {
        WNDCLASSW wc{};
        wc.lpfnWndProc = recording_proc;
        wc.lpszClassName = class_name;
        RegisterClassW(&wc);
        parent_ = CreateWindowExW(0, class_name, title, WS_OVERLAPPEDWINDOW, 0, 0, 10, 10, nullptr, nullptr,
                                  nullptr, nullptr);
        ASSERT_NE(parent_, nullptr);
    }

    std::vector<Received> to_parent() const {
        std::vector<Received> out;
        for (const auto& r : received) {
            if (r.window == parent_) {
                out.push_back(r);
            }
        }
        return out;
    }

    static std::string folder_;
    HWND session_ = nullptr;
    HWND parent_ = nullptr;
    FakeHost host;
};

std::string ParentHandshake::folder_;

TEST_F(ParentHandshake, AnnouncesTheSessionWindowWithItsIndexAndTitle) {
    make_parent(PARENT_CLASS, PARENT_TITLE);
    const struct {
        std::vector<std::u16string> args;
        const char16_t* wide_title;
        const char* title;
    } cases[] = {
        {words({"3", "0", "Office"}), u"vadi - [Office]", "Office"},
        {words({"3", "0", ""}), u"vadi", ""},
        {words({"3", "0"}), u"made name", "made name"},  // the window keeps the name it was made with
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.title));
        received.clear();
        SetWindowTextW(session_, u"made name");
        SessionCommand command(host, session_);
        ASSERT_TRUE(command.parse_command(c.args));
        EXPECT_EQ(command.session_index(), 3u);
        EXPECT_EQ(command.parent_window(), parent_);
        EXPECT_EQ(command.nav_bar_target(), session_);
        EXPECT_EQ(command.wide_title(), c.wide_title);
        EXPECT_EQ(command.title(), c.title);
        EXPECT_EQ(window_text(session_), c.wide_title);
        ASSERT_TRUE(pump_until([&] { return !to_parent().empty(); }));
        auto messages = to_parent();
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_EQ(messages[0].message, static_cast<UINT>(MSG_ANNOUNCE));
        EXPECT_EQ(messages[0].wparam, 3u);
        EXPECT_EQ(messages[0].lparam, reinterpret_cast<LPARAM>(session_));
        EXPECT_TRUE(host.connects.empty());
        EXPECT_FALSE(host.debug_connect);
    }
}

TEST_F(ParentHandshake, SessionBlockIsAcknowledgedWithTheScreensIndex) {
    make_parent(PARENT_CLASS, PARENT_TITLE);
    SessionCommand command(host, session_);
    ASSERT_TRUE(command.parse_command(words({"9", "1", "Desk"})));
    std::vector<uint8_t> block = session_block("CORP\\alice", 1);
    // The parent's own index is in the block; the screen answers with its own.
    put_u32(block, SessionBlock::SESSION_INDEX, 4);
    EXPECT_FALSE(KillTimer(session_, START_TIMEOUT_TIMER));
    for (int round = 1; round <= 2; ++round) {
        COPYDATASTRUCT copy{CODE_SESSION_BLOCK, static_cast<DWORD>(block.size()), block.data()};
        ASSERT_EQ(command.on_copy_data(session_, &copy), 1);
        // Every block arms the start time-out again.
        EXPECT_TRUE(KillTimer(session_, START_TIMEOUT_TIMER));
        ASSERT_TRUE(pump_until([&] { return to_parent().size() == size_t(1 + round); }));
        auto ack = to_parent().back();
        EXPECT_EQ(ack.message, static_cast<UINT>(MSG_ACKNOWLEDGE));
        EXPECT_EQ(ack.wparam, 9u);
        EXPECT_EQ(ack.lparam, ACK_SESSION_BLOCK);
    }
    // A refused block is not acknowledged.
    block.pop_back();
    COPYDATASTRUCT copy{CODE_SESSION_BLOCK, static_cast<DWORD>(block.size()), block.data()};
    ASSERT_EQ(command.on_copy_data(session_, &copy), 1);
    EXPECT_FALSE(KillTimer(session_, START_TIMEOUT_TIMER));
    pump_until([] { return false; }, 500);  // give a wrong acknowledgement its time to arrive
    EXPECT_EQ(to_parent().size(), 3u);
    EXPECT_EQ(host.connects.size(), 2u);  // the application refuses the second one itself
}

TEST_F(ParentHandshake, MissingParentOrSessionWindowFailsTheStart) {
    LogCapture log;
    make_parent(u"SomeOtherClass", PARENT_TITLE);
    SessionCommand command(host, session_);
    EXPECT_FALSE(command.parse_command(words({"3", "0", "Office"})));
    EXPECT_THAT(log.text(), HasSubstr("m_hwndRAppClient"));
    EXPECT_EQ(window_text(session_), u"made name");

    DestroyWindow(parent_);
    parent_ = nullptr;
    make_parent(PARENT_CLASS, PARENT_TITLE);
    SessionCommand windowless(host, nullptr);
    EXPECT_FALSE(windowless.parse_command(words({"3", "0", "Office"})));
    EXPECT_TRUE(to_parent().empty());
}

// The parent as its own process: the announcement, the session block and every policy block over the
// cross-process messages, the acknowledgement, then the failure text and the session-ended message that the
// application sends it.
TEST_F(ParentHandshake, TestParentProgramDrivesTheWholeExchange) {
    test_support::ChildProgram parent("display_test_parent",
                                      {"--index", "7", "--user", "CORP\\alice", "--logmod", "1", "--password",
                                       "s3cret", "--port", "5930", "--vmid", "42", "--until", "ended"});
    std::string line;
    ASSERT_TRUE(parent.read_line(line));
    ASSERT_EQ(line.rfind("ready ", 0), 0u) << line;
    ASSERT_NE(line, "ready 0");

    SessionCommand command(host, session_);
    current_command = &command;
    ASSERT_TRUE(command.parse_command(words({"3", "0", "Office"})));
    ASSERT_NE(command.parent_window(), nullptr);
    ASSERT_TRUE(pump_until([] { return !ParentBlocks::time_text().empty(); }));

    ASSERT_EQ(host.connects.size(), 1u);
    EXPECT_EQ(host.connects[0].host, "127.0.0.1");
    EXPECT_EQ(host.connects[0].port, 5930);
    EXPECT_EQ(host.connects[0].user, "alice");
    EXPECT_EQ(host.connects[0].password, "s3cret");
    EXPECT_EQ(host.connects[0].vm_id, 42u);
    EXPECT_EQ(SessionBlock::session_index(), 7u);
    auto rules = ParentBlocks::usb_rules();
    ASSERT_TRUE(rules && rules->size() == 2);
    EXPECT_EQ((*rules)[0].pattern, "0BDA:");
    EXPECT_EQ(host.hubs.size(), 2u);
    EXPECT_TRUE(ParentBlocks::acceleration_black_list());
    EXPECT_EQ(ParentBlocks::guest_policy(), std::optional<std::string>("{\"clipboard\":1}"));
    EXPECT_TRUE(ParentBlocks::camera_list());
    EXPECT_TRUE(ParentBlocks::camera_configs());
    EXPECT_EQ(host.watermark_changes, 1);
    EXPECT_EQ(host.watermark_updates, 1);

    // What the application later sends the parent: the failure text, then the end of the session.
    std::u16string failure = u"connect 127.0.0.1:5930 failed";
    std::vector<char16_t> text(260, 0);
    std::copy(failure.begin(), failure.end(), text.begin());
    COPYDATASTRUCT copy{0x545, 520, text.data()};
    DWORD_PTR result = 0;
    EXPECT_TRUE(SendMessageTimeoutW(command.parent_window(), WM_COPYDATA, command.session_index(),
                                    reinterpret_cast<LPARAM>(&copy), SMTO_NORMAL, 5000, &result));
    EXPECT_TRUE(PostMessageW(command.parent_window(), MSG_SESSION_ENDED, SessionBlock::session_index(), 0));

    std::vector<std::string> lines;
    while (parent.read_line(line)) {
        lines.push_back(line);
        if (line.rfind("ended", 0) == 0) {
            break;
        }
    }
    EXPECT_EQ(parent.wait_exit(), 0);
    auto saw = [&](const std::string& wanted) {
        return std::find(lines.begin(), lines.end(), wanted) != lines.end();
    };
    EXPECT_TRUE(saw("announce 3 " + std::to_string(reinterpret_cast<uintptr_t>(session_))));
    for (const char* code :
         {"0x201", "0x203", "0x204", "0x205", "0x206", "0x207", "0x208", "0x209", "0x20a"}) {
        EXPECT_TRUE(saw(std::string("sent ") + code + " 1 0")) << code;
    }
    EXPECT_TRUE(saw("ack 3 6"));
    EXPECT_TRUE(saw("failure 3 connect 127.0.0.1:5930 failed"));
    EXPECT_TRUE(saw("ended 7 0"));
}

}  // namespace
