// The parent client's blocks other than the session block: USB rules, the USB acceleration black list, the
// system hubs' companions (camera list and camera configurations), the guest policy, the watermark settings
// and the time stamp text. The session window checks each block when it arrives and keeps it here, where
// the USB, camera, watermark and main channel code read it.
//
// Each store holds the last block of its code; a block that was refused leaves the store as it was.
//
// Any thread: every store is written on the main thread and read as a copy under the stores' lock.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class ParentBlocks {
public:
    // One entry of the USB rules (0x203) and of the acceleration black list (0x205): a device whose
    // "VVVV:pppp" text begins with the pattern (case-insensitive) takes the quirk flags.
    struct UsbRule {
        std::string pattern;
        uint32_t quirks;
    };
    struct Camera {
        uint32_t vendor;
        uint32_t product;
        uint32_t third;
    };
    struct CameraConfig {
        std::array<uint32_t, 14> words;
        std::string text;
    };
    static const size_t WATERMARK_SIZE = 320;
    typedef std::array<uint8_t, WATERMARK_SIZE> Watermark;

    static void set_usb_rules(std::vector<UsbRule> rules);
    static std::optional<std::vector<UsbRule>> usb_rules();
    static void set_acceleration_black_list(std::vector<UsbRule> rules);
    static std::optional<std::vector<UsbRule>> acceleration_black_list();
    static void set_camera_list(std::vector<Camera> cameras);
    static std::optional<std::vector<Camera>> camera_list();
    static void set_camera_configs(std::vector<CameraConfig> configs);
    static std::optional<std::vector<CameraConfig>> camera_configs();

    // The guest policy text; none until the parent sends one, and again after the main channel client
    // lets it go.
    static void set_guest_policy(std::optional<std::string> policy);
    static std::optional<std::string> guest_policy();

    static void set_watermark(const Watermark& settings);
    static std::optional<Watermark> watermark();

    // The watermark's time text ("%Y/%m/%d %H:%M"), empty until a time stamp arrives.
    static void set_time_text(const std::string& text);
    static std::string time_text();

    // Every store back to empty (tests).
    static void clear();
};
