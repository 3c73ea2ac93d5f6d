#include "display/session_command.h"

#include "runtime/log.h"
#include "runtime/stringconv.h"
#include "winapi/winsock2.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <ctime>

using namespace session_command;

namespace {

// Text fields of the session block, each cut at its last byte so that a reader never runs past it.
const struct {
    size_t offset;
    size_t room;
} session_block_texts[] = {
    {SessionBlock::USER_NAME, 363},     {SessionBlock::LOGON_PASSWORD, 99},
    {SessionBlock::VDI_USER_NAME, 128}, {SessionBlock::TUNNEL_TICKET, 129},
    {SessionBlock::DOMAIN, 128},        {SessionBlock::BIND_DOMAIN, 128},
    {SessionBlock::LOGON_USER, 128},    {SessionBlock::LINK_PASSWORD, 100},
};

// Text fields of the watermark settings.
const struct {
    size_t offset;
    size_t room;
} watermark_texts[] = {{24, 7}, {31, 7}, {38, 151}, {189, 131}};

uint32_t read_u32(const uint8_t* data) {
    return static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 |
           static_cast<uint32_t>(data[2]) << 16 | static_cast<uint32_t>(data[3]) << 24;
}

// The text at data up to its NUL, at most room - 1 bytes.
std::string bounded_text(const uint8_t* data, size_t room) {
    const char* start = reinterpret_cast<const char*>(data);
    size_t limit = room ? room - 1 : 0;
    const void* end = std::memchr(start, 0, limit);
    return std::string(start, end ? static_cast<const char*>(end) - start : limit);
}

std::string narrow(const std::u16string& wide) {
    char* converted = WideToUtf8(wide.c_str());
    if (!converted) {
        return std::string();
    }
    std::string text(converted);
    HeapFree(GetProcessHeap(), 0, converted);
    return text;
}

std::string ansi(const std::u16string& wide) {
    char* converted = WideToAnsi(wide.c_str());
    if (!converted) {
        return std::string();
    }
    std::string text(converted);
    HeapFree(GetProcessHeap(), 0, converted);
    return text;
}

// Dotted text of an IPv4 address in network order as it lies in memory.
std::string dotted(uint32_t network_order) {
    uint8_t bytes[4];
    std::memcpy(bytes, &network_order, 4);
    char text[16];
    std::snprintf(text, sizeof(text), "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
    return text;
}

std::u16string lower(std::u16string text) {
    for (auto& c : text) {
        if (c >= u'A' && c <= u'Z') {
            c = static_cast<char16_t>(c - u'A' + u'a');
        }
    }
    return text;
}

// Decimal digits only, at most max; false otherwise.
bool parse_decimal(const std::u16string& text, uint64_t max, uint64_t* value) {
    if (text.empty()) {
        return false;
    }
    uint64_t result = 0;
    for (char16_t c : text) {
        if (c < u'0' || c > u'9') {
            return false;
        }
        uint64_t digit = static_cast<uint64_t>(c - u'0');
        if (result > (max - digit) / 10) {
            return false;
        }
        result = result * 10 + digit;
    }
    *value = result;
    return true;
}

// A number as the parent writes its session index: leading blanks and sign, then digits up to the first
// other character; 0 when there are none.
uint32_t loose_number(const std::u16string& text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == u' ' || text[i] == u'\t')) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == u'-' || text[i] == u'+')) {
        negative = text[i] == u'-';
        ++i;
    }
    uint32_t value = 0;
    for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
        value = value * 10 + static_cast<uint32_t>(text[i] - u'0');
    }
    return negative ? 0u - value : value;
}

}  // namespace

SessionCommand::SessionCommand(SessionCommandHost& host, HWND session_window)
    : host_(host), session_window_(session_window) {}

bool SessionCommand::parse_command(const std::vector<std::u16string>& args) {
    std::string line;
    for (const auto& arg : args) {
        line += (line.empty() ? "" : " ") + narrow(arg);
    }
    if (args.size() < 2) {
        LOG_ERROR("error command line %s", line.c_str());
        return false;
    }
    if (lower(args[0]) == u"debug") {
        return parse_debug(args, line);
    }
    return parse_parent(args);
}

bool SessionCommand::parse_debug(const std::vector<std::u16string>& args, const std::string& line) {
    uint32_t address = 0;
    uint64_t port = 0;
    uint64_t vm_id = 0;
    bool bad_value = false;
    for (size_t i = 1; i < args.size();) {
        std::u16string word = lower(args[i]);
        bool keyword = word == u"ip" || word == u"port" || word == u"vmid";
        if (!keyword || i + 1 >= args.size()) {
            ++i;
            continue;
        }
        const std::u16string& value = args[i + 1];
        i += 2;
        if (word == u"ip") {
            // An address that does not parse is refused, not taken as the all-ones broadcast address.
            ULONG parsed = inet_addr(ansi(value).c_str());
            bad_value |= parsed == INADDR_NONE;
            address = parsed == INADDR_NONE ? 0 : static_cast<uint32_t>(parsed);
        } else if (word == u"port") {
            port = 0;
            bad_value |= !parse_decimal(value, 65535, &port);
        } else {
            vm_id = 0;
            bad_value |= !parse_decimal(value, UINT64_MAX, &vm_id);
        }
    }
    if (bad_value || address == 0 || port == 0 || vm_id == 0) {
        LOG_ERROR("error command line %s", line.c_str());
        return false;
    }
    host_.connect(dotted(address), static_cast<int>(port), -1, std::string(), std::string(), &vm_id, 0,
                  std::string());
    host_.set_debug_connect();
    return true;
}

bool SessionCommand::parse_parent(const std::vector<std::u16string>& args) {
    parent_window_ = FindWindowW(PARENT_CLASS, PARENT_TITLE);
    if (!parent_window_ || !session_window_) {
        LOG_ERROR("hwnd = %p, m_hwndRAppClient = %p", static_cast<void*>(session_window_),
                  static_cast<void*>(parent_window_));
        return false;
    }
    session_index_ = loose_number(args[0]);
    if (args.size() > 2) {
        const std::u16string& name = args[2];
        if (name.empty()) {
            title_.clear();
            wide_title_ = u"vadi";
        } else {
            title_ = ansi(name).substr(0, TITLE_ROOM - 1);
            wide_title_ = (u"vadi - [" + name + u"]").substr(0, TITLE_ROOM - 1);
        }
    } else {
        // Without a title the window keeps the name it was made with.
        WCHAR current[TITLE_ROOM] = {};
        GetWindowTextW(session_window_, current, static_cast<int>(TITLE_ROOM));
        wide_title_ = current;
        title_ = ansi(wide_title_).substr(0, TITLE_ROOM - 1);
    }
    SetWindowTextW(session_window_, wide_title_.c_str());
    PostMessageW(parent_window_, MSG_ANNOUNCE, session_index_, reinterpret_cast<LPARAM>(session_window_));
    nav_bar_target_ = session_window_;
    return true;
}

int SessionCommand::on_copy_data(HWND window, const COPYDATASTRUCT* copy) {
    if (!copy) {
        return 0;
    }
    const auto* data = static_cast<const uint8_t*>(copy->lpData);
    size_t size = copy->cbData;
    if (!data && size != 0) {
        LOG_ERROR("block 0x%lx of %zu bytes without data refused", static_cast<unsigned long>(copy->dwData),
                  size);
        return 1;
    }
    switch (copy->dwData) {
        case CODE_SESSION_BLOCK:
            take_session_block(data, size);
            break;
        case CODE_USB_RULES:
        case CODE_USB_ACCELERATION_BLACK_LIST:
            take_usb_list(copy->dwData, data, size);
            break;
        case CODE_SYSTEM_HUBS:
            take_system_hubs(data, size);
            break;
        case CODE_GUEST_POLICY:
            take_guest_policy(data, size);
            break;
        case CODE_CAMERA_LIST:
        case CODE_CAMERA_CONFIGS:
            take_camera_list(copy->dwData, data, size);
            break;
        case CODE_WATERMARK:
            take_watermark(data, size);
            break;
        case CODE_TIME_STAMP:
            take_time_stamp(data, size);
            break;
        default:
            break;
    }
    return 1;
}

std::string SessionCommand::logon_user(const std::string& user_name, uint32_t logon_mode) {
    if (logon_mode == 1) {
        size_t slash = user_name.rfind('\\');
        return slash == std::string::npos ? user_name : user_name.substr(slash + 1);
    }
    if (logon_mode == 2) {
        return user_name;
    }
    return std::string();
}

void SessionCommand::take_session_block(const uint8_t* data, size_t size) {
    if (!data || size != SessionBlock::SIZE) {
        LOG_ERROR("session block of %zu bytes refused, %zu expected", size,
                  static_cast<size_t>(SessionBlock::SIZE));
        return;
    }
    SessionBlock::Bytes block;
    std::memcpy(block.data(), data, SessionBlock::SIZE);
    for (const auto& text : session_block_texts) {
        block[text.offset + text.room - 1] = 0;
    }

    if (parent_window_) {
        PostMessageW(parent_window_, MSG_ACKNOWLEDGE, session_index_, ACK_SESSION_BLOCK);
    }
    if (session_window_) {
        SetTimer(session_window_, START_TIMEOUT_TIMER, START_TIMEOUT_MS, nullptr);
    }
    SessionBlock::set(block.data(), block.size());
    std::string user = logon_user(SessionBlock::user_name(), SessionBlock::logon_mode());

    LOG_INFO("spice antiscreenhot %u", SessionBlock::anti_screen_capture());
    LOG_INFO("Usb compress %u", SessionBlock::u32(SessionBlock::USB_COMPRESS));
    uint32_t audio[7];
    for (size_t i = 0; i < 7; ++i) {
        audio[i] = SessionBlock::u32(SessionBlock::AUDIO_ENABLE + 4 * i);
    }
    LOG_INFO(
        "audio config, enable:%u, playback:(lossy:%u, algorithm:%u, quality:%u), record:(lossy:%u, "
        "algorithm:%u, quality:%u)",
        audio[0], audio[1], audio[2], audio[3], audio[4], audio[5], audio[6]);

    if (!host_.reg_read_userinfo(block)) {
        host_.clear_nav_bar_restart();
        LOG_ERROR("reg_read_userinfo failed, app quit");
        host_.quit();
    }

    std::string host = dotted(SessionBlock::host_address());
    std::string password = SessionBlock::link_password();
    // The link password is never written to the log; only whether there is one.
    LOG_INFO("[trace]ip:%s,port:%u,ForceLink:%u,DectTime:%u,logmod:%u,password:%s", host.c_str(),
             static_cast<unsigned>(SessionBlock::host_port()), SessionBlock::force_link(),
             SessionBlock::dect_time(), SessionBlock::logon_mode(), password.empty() ? "none" : "set");

    host_.set_auto_logon_password(SessionBlock::logon_password());
    uint64_t vm_id = SessionBlock::vm_id();
    host_.connect(host, SessionBlock::host_port(), -1, user, password, &vm_id, SessionBlock::logon_mode(),
                  SessionBlock::vdi_user_name());
}

void SessionCommand::take_usb_list(ULONG_PTR code, const uint8_t* data, size_t size) {
    const char* name =
        code == CODE_USB_RULES ? "SESSIONMSG_SEND_USB_RULES" : "SESSIONMSG_SEND_USB_RULES_ACCBLACK_LIST";
    uint64_t block_size = size >= LIST_HEADER ? read_u32(data) : 0;
    uint64_t count = size >= LIST_HEADER ? read_u32(data + 4) : 0;
    if (block_size < LIST_HEADER || block_size > size) {
        LOG_ERROR("recv %s , but cbSize is %llu.it's invalid!", name,
                  static_cast<unsigned long long>(block_size));
        return;
    }
    if (count > (block_size - LIST_HEADER) / USB_RULE_ENTRY) {
        LOG_ERROR("recv %s , but %llu entries do not fit its %llu bytes", name,
                  static_cast<unsigned long long>(count), static_cast<unsigned long long>(block_size));
        return;
    }
    std::vector<ParentBlocks::UsbRule> rules;
    rules.reserve(count);
    for (uint64_t i = 0; i < count; ++i) {
        const uint8_t* entry = data + LIST_HEADER + i * USB_RULE_ENTRY;
        rules.push_back(ParentBlocks::UsbRule{bounded_text(entry, 520), read_u32(entry + 520)});
    }
    if (code == CODE_USB_RULES) {
        LOG_INFO("recv %s , ResetFilters %llu", name, static_cast<unsigned long long>(count));
        ParentBlocks::set_usb_rules(std::move(rules));
    } else {
        LOG_INFO("recv %s , accblacklist %llu", name, static_cast<unsigned long long>(count));
        ParentBlocks::set_acceleration_black_list(std::move(rules));
    }
}

void SessionCommand::take_system_hubs(const uint8_t* data, size_t size) {
    for (size_t at = 0; at < size && size - at >= HUB_ENTRY; at += HUB_ENTRY) {
        host_.add_system_hub(read_u32(data + at), read_u32(data + at + 4));
    }
}

void SessionCommand::take_guest_policy(const uint8_t* data, size_t size) {
    if (!data) {
        LOG_INFO("recv Guest Policy == NULL");
        return;
    }
    // Cut to the data size with its terminator: an empty block is an empty policy.
    std::string policy = size ? bounded_text(data, size) : std::string();
    LOG_INFO("recv Guest Policy(%s) from VuDurivaRizArozuv", policy.c_str());
    ParentBlocks::set_guest_policy(std::move(policy));
}

void SessionCommand::take_camera_list(ULONG_PTR code, const uint8_t* data, size_t size) {
    bool cameras = code == CODE_CAMERA_LIST;
    LOG_INFO("[camera][OnCopyData] recv %s ",
             cameras ? "SESSIONMSG_SEND_CAMERA_LIST" : "SESSIONMSG_SEND_CAMERA_CONFIG_LIST");
    const char* name = cameras ? "CameraForceToUsb" : "camera config";
    uint64_t entry_size = cameras ? CAMERA_ENTRY : CAMERA_CONFIG_ENTRY;
    uint64_t block_size = size >= LIST_HEADER ? read_u32(data) : 0;
    uint64_t count = size >= LIST_HEADER ? read_u32(data + 4) : 0;
    if (block_size < LIST_HEADER || block_size > size) {
        LOG_ERROR("[camera]recv %s , but cbSize is %llu.it's invalid!", name,
                  static_cast<unsigned long long>(block_size));
        return;
    }
    if (count > (block_size - LIST_HEADER) / entry_size) {
        LOG_ERROR("[camera]recv %s , but %llu entries do not fit its %llu bytes", name,
                  static_cast<unsigned long long>(count), static_cast<unsigned long long>(block_size));
        return;
    }
    if (cameras) {
        std::vector<ParentBlocks::Camera> list;
        list.reserve(count);
        for (uint64_t i = 0; i < count; ++i) {
            const uint8_t* entry = data + LIST_HEADER + i * CAMERA_ENTRY;
            list.push_back(ParentBlocks::Camera{read_u32(entry), read_u32(entry + 4), read_u32(entry + 8)});
        }
        LOG_INFO("recv SESSIONMSG_SEND_CAMERA_LIST , UsbCamera %llu", static_cast<unsigned long long>(count));
        ParentBlocks::set_camera_list(std::move(list));
        return;
    }
    std::vector<ParentBlocks::CameraConfig> configs;
    configs.reserve(count);
    for (uint64_t i = 0; i < count; ++i) {
        const uint8_t* entry = data + LIST_HEADER + i * CAMERA_CONFIG_ENTRY;
        ParentBlocks::CameraConfig config;
        for (size_t word = 0; word < config.words.size(); ++word) {
            config.words[word] = read_u32(entry + 4 * word);
        }
        config.text = bounded_text(entry + 56, 260);
        configs.push_back(std::move(config));
    }
    LOG_INFO("recv SESSIONMSG_SEND_CAMERA_CONFIG_LIST , camera config %llu",
             static_cast<unsigned long long>(count));
    ParentBlocks::set_camera_configs(std::move(configs));
}

void SessionCommand::take_watermark(const uint8_t* data, size_t size) {
    if (!data || size != ParentBlocks::WATERMARK_SIZE) {
        LOG_ERROR("watermark settings of %zu bytes refused, %zu expected", size,
                  static_cast<size_t>(ParentBlocks::WATERMARK_SIZE));
        return;
    }
    ParentBlocks::Watermark settings;
    std::memcpy(settings.data(), data, settings.size());
    for (const auto& text : watermark_texts) {
        settings[text.offset + text.room - 1] = 0;
    }
    ParentBlocks::set_watermark(settings);
    host_.watermark_settings_changed();
}

bool SessionCommand::format_time_stamp(const std::string& digits, std::string* text) {
    if (digits.empty() || digits.size() > TIME_STAMP_MAX) {
        return false;
    }
    std::u16string wide(digits.begin(), digits.end());
    uint64_t seconds = 0;
    if (!parse_decimal(wide, static_cast<uint64_t>(INT64_MAX), &seconds)) {
        return false;
    }
    time_t when = static_cast<time_t>(seconds);
    struct tm local;
    if (!localtime_r(&when, &local)) {
        return false;
    }
    char formatted[64];
    if (std::strftime(formatted, sizeof(formatted), "%Y/%m/%d %H:%M", &local) == 0) {
        return false;
    }
    *text = formatted;
    return true;
}

void SessionCommand::take_time_stamp(const uint8_t* data, size_t size) {
    if (size > TIME_STAMP_MAX) {
        LOG_ERROR("when format unitx time stamp, timeStampLen beyond max len");
        return;
    }
    std::string digits = data ? std::string(reinterpret_cast<const char*>(data), size) : std::string();
    std::string text;
    if (!format_time_stamp(digits, &text)) {
        LOG_ERROR("localtime(dt) is null");
        return;
    }
    std::string previous = ParentBlocks::time_text();
    ParentBlocks::set_time_text(text);
    bool changed =
        previous.size() != text.size() ||
        !std::equal(previous.begin(), previous.end(), text.begin(),
                    [](unsigned char a, unsigned char b) { return std::tolower(a) == std::tolower(b); });
    auto settings = ParentBlocks::watermark();
    bool shows_time = settings && (read_u32(settings->data()) & (1u << 4));
    if (changed && shows_time) {
        host_.update_watermark();
    }
}
