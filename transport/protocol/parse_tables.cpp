// The channel parsers and the two tables that route message bodies to them by channel type.
#include "transport/protocol/parse_structs.h"

namespace {

template <const MessageTable& Table>
uint8_t* parse_channel(uint8_t* message_start, uint8_t* message_end, uint16_t message_type, int minor,
                       size_t* size_out, message_destructor_t* free_message) {
    return parse_channel_message(Table, message_start, message_end, message_type, minor, size_out,
                                 free_message);
}

}  // namespace

const SpiceChannelParser server_channel_parsers[12] = {
    {nullptr, 0},
    {parse_channel<main_messages_v2>, 118},
    {parse_channel<display_messages_v2>, 801},
    {parse_channel<inputs_messages_v2>, 111},
    {parse_channel<cursor_messages_v2>, 110},
    {parse_channel<playback_messages_v2>, 107},
    {parse_channel<record_messages_v2>, 104},
    {parse_channel<tunnel_messages_v2>, 108},
    {nullptr, 0},  // smartcard: no messages are parsed
    {parse_channel<usbredir_messages_v2>, 103},
    {parse_channel<port_messages_v2>, 202},
    {parse_channel<webdav_messages_v2>, 202},
};

const SpiceChannelParser server_channel_parsers1[7] = {
    {nullptr, 0},
    {parse_channel<main_messages_v1>, 111},
    {parse_channel<display_messages_v1>, 313},
    {parse_channel<inputs_messages_v1>, 111},
    {parse_channel<cursor_messages_v1>, 108},
    {parse_channel<playback_messages_v1>, 104},
    {parse_channel<record_messages_v1>, 102},
};

const SpiceChannelParser* spice_get_server_channel_parser(uint8_t channel_type, int major_version) {
    if (major_version == 1) {
        return channel_type < SERVER_CHANNEL_PARSERS1_COUNT ? &server_channel_parsers1[channel_type]
                                                            : nullptr;
    }
    return channel_type < SERVER_CHANNEL_PARSERS_COUNT ? &server_channel_parsers[channel_type] : nullptr;
}
