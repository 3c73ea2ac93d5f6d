// Real traffic: every message that QEMU's SPICE server sent to a client (recorded by tools/record_qemu.sh
// into tests/fixtures/qemu) goes through the current generation's parsers and must parse; a few facts of the
// recorded session (the BIOS text screen, the channels QEMU offers) are checked in the parsed structures.
// Also the loader of those recordings, which reads files as untrusted input.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "parser_test_util.h"
#include "support/recording.h"
#include "transport/protocol/message_list.h"

namespace {

// ---- The loader ----

std::vector<uint8_t> file_header() {
    return Body().text(std::string("KTWREC1\0", 8)).zeros(8);
}

TEST(RecordingLoader, ReadsEveryRecordInOrder) {
    std::vector<uint8_t> file = Body()
                                    .bytes(file_header())
                                    .u8(SPICE_CHANNEL_DISPLAY)
                                    .u16(SPICE_MSG_SET_ACK)
                                    .u32(8)
                                    .u32(1)
                                    .u32(20)
                                    .u8(SPICE_CHANNEL_DISPLAY)
                                    .u16(SPICE_MSG_DISPLAY_MARK)
                                    .u32(0)
                                    .u8(SPICE_CHANNEL_MAIN)
                                    .u16(SPICE_MSG_PING)
                                    .u32(3)
                                    .bytes({7, 8, 9});
    std::vector<RecordedMessage> messages;
    std::string error;
    ASSERT_TRUE(parse_recording(file, &messages, &error)) << error;
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0].channel_type, SPICE_CHANNEL_DISPLAY);
    EXPECT_EQ(messages[0].type, SPICE_MSG_SET_ACK);
    EXPECT_EQ(messages[0].body, std::vector<uint8_t>(Body().u32(1).u32(20)));
    EXPECT_EQ(messages[1].type, SPICE_MSG_DISPLAY_MARK);
    EXPECT_TRUE(messages[1].body.empty());
    EXPECT_EQ(messages[2].channel_type, SPICE_CHANNEL_MAIN);
    EXPECT_EQ(messages[2].body, (std::vector<uint8_t>{7, 8, 9}));

    ASSERT_TRUE(parse_recording(file_header(), &messages, &error)) << error;
    EXPECT_TRUE(messages.empty());
}

TEST(RecordingLoader, RefusesDamagedFiles) {
    struct Case {
        const char* what;
        std::vector<uint8_t> file;
    };
    const std::vector<uint8_t> header = file_header();
    const std::vector<uint8_t> one_record = Body().bytes(header).u8(1).u16(4).u32(2).bytes({1, 2});
    const Case cases[] = {
        {"empty", {}},
        {"header cut short", std::vector<uint8_t>(header.begin(), header.end() - 1)},
        {"wrong magic", Body().text(std::string("KTWREC2\0", 8)).zeros(8)},
        {"record header cut short", Body().bytes(header).u8(1).u16(4).u16(0)},
        {"body one byte short", std::vector<uint8_t>(one_record.begin(), one_record.end() - 1)},
        {"body size past any file", Body().bytes(header).u8(1).u16(4).u32(0xFFFFFFFF).zeros(16)},
        {"good record, then a torn one", Body().bytes(one_record).u8(2).u16(304)},
    };
    for (const Case& c : cases) {
        std::vector<RecordedMessage> messages;
        std::string error;
        EXPECT_FALSE(parse_recording(c.file, &messages, &error)) << c.what;
        EXPECT_FALSE(error.empty()) << c.what;
    }
}

TEST(RecordingLoader, ReportsAMissingFile) {
    std::vector<RecordedMessage> messages;
    std::string error;
    EXPECT_FALSE(load_recording(std::string(KTW_TEST_BINARY_DIR) + "/no-such.rec", &messages, &error));
    EXPECT_NE(error.find("no-such.rec"), std::string::npos);
}

// ---- The recorded traffic ----

// The server linked major 2, minor 2 on every channel.
const int kMajor = 2, kMinor = 2;

struct Recorded {
    std::string name;  // "default.display"
    std::vector<RecordedMessage> messages;
};

const std::vector<Recorded>& recordings() {
    static const std::vector<Recorded> all = [] {
        std::vector<Recorded> out;
        for (const std::string& path : list_files(KTW_QEMU_FIXTURE_DIR, ".rec")) {
            Recorded r;
            r.name = path.substr(path.rfind('/') + 1);
            r.name.resize(r.name.size() - 4);
            std::string error;
            EXPECT_TRUE(load_recording(path, &r.messages, &error)) << error;
            out.push_back(std::move(r));
        }
        return out;
    }();
    return all;
}

// Every message of the given type in the recordings whose name ends in suffix, parsed.
template <class Visit>
void for_each_parsed(const std::string& suffix, uint16_t type, Visit visit) {
    for (const Recorded& r : recordings()) {
        if (r.name.size() < suffix.size() ||
            r.name.compare(r.name.size() - suffix.size(), suffix.size(), suffix)) {
            continue;
        }
        for (const RecordedMessage& m : r.messages) {
            if (m.type == type) {
                Parsed parsed(kMajor, m.channel_type, m.type, m.body, kMinor);
                ASSERT_TRUE(parsed.ok()) << r.name << " type " << m.type;
                visit(r.name, parsed);
            }
        }
    }
}

TEST(RecordedTraffic, EveryVariantRecordedEveryChannel) {
    std::set<std::string> names;
    for (const Recorded& r : recordings()) {
        names.insert(r.name);
        EXPECT_FALSE(r.messages.empty()) << r.name;
    }
    for (const char* variant : {"default", "quic", "lz", "glz", "off", "audio"}) {
        for (const char* channel : {"main", "display", "cursor", "inputs"}) {
            EXPECT_EQ(names.count(std::string(variant) + "." + channel), 1u) << variant << "." << channel;
        }
    }
    EXPECT_EQ(names.count("audio.playback"), 1u);
    EXPECT_EQ(names.count("audio.record"), 1u);
}

TEST(RecordedTraffic, EveryMessageParses) {
    size_t count = 0;
    for (const Recorded& r : recordings()) {
        for (size_t i = 0; i < r.messages.size(); i++) {
            const RecordedMessage& m = r.messages[i];
            write_fuzz_seed({("qemu_" + r.name + "_" + std::to_string(i)).c_str(), kMajor, m.channel_type,
                             m.type, m.body, kMinor});
            Parsed parsed(kMajor, m.channel_type, m.type, m.body, kMinor);
            EXPECT_TRUE(parsed.ok()) << r.name << " message " << i << ": type " << m.type << ", "
                                     << m.body.size() << " bytes";
            count++;
            if (m.type != SPICE_MSG_LIST || !parsed.ok()) {
                continue;
            }
            // The sub-messages of a list are parsed one by one, each over its own bytes.
            std::vector<uint8_t> body = m.body;
            SpiceMessageList list(body.data(), body.data() + body.size());
            ASSERT_TRUE(list.valid()) << r.name << " message " << i;
            for (uint16_t k = 0; k < list.count(); k++) {
                SpiceSubMessage sub;
                ASSERT_TRUE(list.get(k, &sub)) << r.name << " message " << i << " sub-message " << k;
                Parsed parsed_sub(kMajor, m.channel_type, sub.type, std::vector<uint8_t>(sub.data, sub.end),
                                  kMinor);
                EXPECT_TRUE(parsed_sub.ok())
                    << r.name << " message " << i << " sub-message " << k << ": type " << sub.type;
            }
        }
    }
    EXPECT_GT(count, 0u) << "no recorded messages under " KTW_QEMU_FIXTURE_DIR;
}

TEST(RecordedTraffic, ChannelListNamesTheChannelsThatWereLinked) {
    std::map<std::string, std::set<int>> listed;
    for_each_parsed(".main", SPICE_MSG_MAIN_CHANNELS_LIST, [&](const std::string& name, const Parsed& p) {
        auto list = p.as<SpiceMsgChannels>();
        for (uint32_t i = 0; i < list->num_of_channels; i++) {
            EXPECT_EQ(list->channels[i].id, 0) << name;
            listed[name].insert(list->channels[i].type);
        }
    });
    const std::set<int> plain = {SPICE_CHANNEL_DISPLAY, SPICE_CHANNEL_INPUTS, SPICE_CHANNEL_CURSOR};
    std::set<int> with_audio = plain;
    with_audio.insert({SPICE_CHANNEL_PLAYBACK, SPICE_CHANNEL_RECORD});
    ASSERT_EQ(listed.size(), 6u);
    for (const auto& entry : listed) {
        EXPECT_EQ(entry.second, entry.first == "audio.main" ? with_audio : plain) << entry.first;
    }
}

TEST(RecordedTraffic, TheLastSurfaceIsTheBiosTextScreen) {
    std::map<std::string, SpiceMsgSurfaceCreate> last;
    for_each_parsed(
        ".display", SPICE_MSG_DISPLAY_SURFACE_CREATE,
        [&](const std::string& name, const Parsed& p) { last[name] = *p.as<SpiceMsgSurfaceCreate>(); });
    ASSERT_EQ(last.size(), 6u);
    for (const auto& entry : last) {
        const SpiceMsgSurfaceCreate& s = entry.second;
        EXPECT_EQ(s.surface_id, 0u) << entry.first;
        EXPECT_EQ(s.width, 720u) << entry.first;
        EXPECT_EQ(s.height, 400u) << entry.first;
        EXPECT_EQ(s.format, 32u) << entry.first;
        EXPECT_EQ(s.flags & SPICE_SURFACE_FLAGS_PRIMARY, unsigned(SPICE_SURFACE_FLAGS_PRIMARY))
            << entry.first;
    }
}

// QEMU copies unscaled images onto the surface created last, so the box, the source area and the image agree
// in size and the box lies on that surface; a rectangle read in the wrong field order or an image pointer
// followed to the wrong place breaks that.
TEST(RecordedTraffic, DrawCopiesFitTheirImagesAndTheirSurface) {
    size_t copies = 0;
    for (const Recorded& r : recordings()) {
        SpiceMsgSurfaceCreate surface{};
        for (const RecordedMessage& msg : r.messages) {
            if (msg.channel_type != SPICE_CHANNEL_DISPLAY) {
                continue;
            }
            Parsed p(kMajor, msg.channel_type, msg.type, msg.body, kMinor);
            ASSERT_TRUE(p.ok()) << r.name << " type " << msg.type;
            if (msg.type == SPICE_MSG_DISPLAY_SURFACE_CREATE) {
                surface = *p.as<SpiceMsgSurfaceCreate>();
            }
            if (msg.type != SPICE_MSG_DISPLAY_DRAW_COPY) {
                continue;
            }
            auto m = p.as<SpiceMsgDisplayDrawCopy>();
            const SpiceRect& box = m->base.box;
            const SpiceRect& area = m->data.src_area;
            EXPECT_EQ(m->base.surface_id, surface.surface_id) << r.name;
            EXPECT_TRUE(box.left >= 0 && box.top >= 0 && box.left < box.right && box.top < box.bottom)
                << r.name;
            EXPECT_TRUE(int64_t(box.right) <= surface.width && int64_t(box.bottom) <= surface.height)
                << r.name;
            EXPECT_EQ(box.right - box.left, area.right - area.left) << r.name;
            EXPECT_EQ(box.bottom - box.top, area.bottom - area.top) << r.name;
            ASSERT_NE(m->data.src_bitmap, nullptr) << r.name;
            const SpiceImageDescriptor& image = m->data.src_bitmap->descriptor;
            EXPECT_EQ(int64_t(image.width), area.right - area.left) << r.name;
            EXPECT_EQ(int64_t(image.height), area.bottom - area.top) << r.name;
            copies++;
        }
    }
    EXPECT_GT(copies, 0u);
}

}  // namespace
