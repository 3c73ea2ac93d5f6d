#include "platform/parent_blocks.h"

#include "runtime/threads.h"

#include <utility>

namespace {

struct Stores {
    Mutex lock;
    // All guarded by lock.
    std::optional<std::vector<ParentBlocks::UsbRule>> usb_rules;
    std::optional<std::vector<ParentBlocks::UsbRule>> black_list;
    std::optional<std::vector<ParentBlocks::Camera>> cameras;
    std::optional<std::vector<ParentBlocks::CameraConfig>> camera_configs;
    std::optional<std::string> guest_policy;
    std::optional<ParentBlocks::Watermark> watermark;
    std::string time_text;
};

Stores& stores() {
    static Stores instance;
    return instance;
}

template <typename T>
void put(T Stores::*member, T value) {
    Stores& s = stores();
    Lock lock(s.lock);
    s.*member = std::move(value);
}

template <typename T>
T take(T Stores::*member) {
    Stores& s = stores();
    Lock lock(s.lock);
    return s.*member;
}

}  // namespace

void ParentBlocks::set_usb_rules(std::vector<UsbRule> rules) {
    put(&Stores::usb_rules, std::optional<std::vector<UsbRule>>(std::move(rules)));
}

std::optional<std::vector<ParentBlocks::UsbRule>> ParentBlocks::usb_rules() {
    return take(&Stores::usb_rules);
}

void ParentBlocks::set_acceleration_black_list(std::vector<UsbRule> rules) {
    put(&Stores::black_list, std::optional<std::vector<UsbRule>>(std::move(rules)));
}

std::optional<std::vector<ParentBlocks::UsbRule>> ParentBlocks::acceleration_black_list() {
    return take(&Stores::black_list);
}

void ParentBlocks::set_camera_list(std::vector<Camera> cameras) {
    put(&Stores::cameras, std::optional<std::vector<Camera>>(std::move(cameras)));
}

std::optional<std::vector<ParentBlocks::Camera>> ParentBlocks::camera_list() {
    return take(&Stores::cameras);
}

void ParentBlocks::set_camera_configs(std::vector<CameraConfig> configs) {
    put(&Stores::camera_configs, std::optional<std::vector<CameraConfig>>(std::move(configs)));
}

std::optional<std::vector<ParentBlocks::CameraConfig>> ParentBlocks::camera_configs() {
    return take(&Stores::camera_configs);
}

void ParentBlocks::set_guest_policy(std::optional<std::string> policy) {
    put(&Stores::guest_policy, std::move(policy));
}

std::optional<std::string> ParentBlocks::guest_policy() {
    return take(&Stores::guest_policy);
}

void ParentBlocks::set_watermark(const Watermark& settings) {
    put(&Stores::watermark, std::optional<Watermark>(settings));
}

std::optional<ParentBlocks::Watermark> ParentBlocks::watermark() {
    return take(&Stores::watermark);
}

void ParentBlocks::set_time_text(const std::string& text) {
    put(&Stores::time_text, text);
}

std::string ParentBlocks::time_text() {
    return take(&Stores::time_text);
}

void ParentBlocks::clear() {
    Stores& s = stores();
    Lock lock(s.lock);
    s.usb_rules.reset();
    s.black_list.reset();
    s.cameras.reset();
    s.camera_configs.reset();
    s.guest_policy.reset();
    s.watermark.reset();
    s.time_text.clear();
}
