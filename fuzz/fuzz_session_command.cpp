// The parent client's WM_COPYDATA blocks on arbitrary bytes: every block code with any size and contents.
// Nothing may crash, read outside the message or store a list whose entries run past it.
//
// Input: byte 0 picks the code (0x200 to 0x20B), byte 1 bit 0 sets the block's size word to the data's length
// so that the list blocks' counts are reached, bit 1 sends no data pointer; the rest is the data.
#include "display/session_command.h"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

class NullHost : public SessionCommandHost {
public:
    bool connect(const std::string& host, int, int, const std::string& user, const std::string& password,
                 const uint64_t* vm_id, uint32_t, const std::string& vdi_user_name) override {
        // Every text handed on is bounded by its field.
        if (!vm_id || host.size() > 15 || user.size() > 362 || password.size() > 99 ||
            vdi_user_name.size() > 127) {
            abort();
        }
        return true;
    }
    bool reg_read_userinfo(const SessionBlock::Bytes&) override { return true; }
    void quit() override {}
    void set_debug_connect() override {}
    void set_auto_logon_password(const std::string& password) override {
        if (password.size() > 98) {
            abort();
        }
    }
    void clear_nav_bar_restart() override {}
    void add_system_hub(uint32_t, uint32_t) override {}
    void watermark_settings_changed() override {}
    void update_watermark() override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    ULONG_PTR code = 0x200 + data[0] % 12;
    bool fit_size_word = data[1] & 1;
    bool no_pointer = data[1] & 2;
    std::vector<uint8_t> block(data + 2, data + size);
    if (fit_size_word && block.size() >= 4) {
        uint32_t length = static_cast<uint32_t>(block.size());
        std::memcpy(block.data(), &length, 4);
    }
    NullHost host;
    SessionCommand command(host, nullptr);
    COPYDATASTRUCT copy{code, static_cast<DWORD>(block.size()),
                        no_pointer || block.empty() ? nullptr : block.data()};
    if (command.on_copy_data(nullptr, &copy) != 1) {
        abort();
    }
    size_t room = block.size() > 8 ? block.size() - 8 : 0;
    auto rules = ParentBlocks::usb_rules();
    auto black_list = ParentBlocks::acceleration_black_list();
    auto cameras = ParentBlocks::camera_list();
    auto configs = ParentBlocks::camera_configs();
    if ((code == session_command::CODE_USB_RULES && rules && rules->size() * 524 > room) ||
        (code == session_command::CODE_USB_ACCELERATION_BLACK_LIST && black_list &&
         black_list->size() * 524 > room) ||
        (code == session_command::CODE_CAMERA_LIST && cameras && cameras->size() * 12 > room) ||
        (code == session_command::CODE_CAMERA_CONFIGS && configs && configs->size() * 316 > room)) {
        abort();
    }
    ParentBlocks::clear();
    SessionBlock::clear();
    return 0;
}
