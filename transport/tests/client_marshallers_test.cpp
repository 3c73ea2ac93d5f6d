#include "transport/protocol/client_marshallers.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <optional>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using Table = SpiceMessageMarshallers;
using Body = std::function<bool(const Table*, SpiceMarshaller*)>;

template <typename Msg>
using Writer = void (*)(SpiceMarshaller*, const Msg*);

// Writes msg through the given slot of whichever table the row is run against.
template <typename Msg>
Body body(Writer<Msg> Table::*slot, Msg msg) {
    return [slot, msg](const Table* table, SpiceMarshaller* m) {
        return spice_marshall_message_with(table->*slot, "slot under test", m, &msg);
    };
}

struct Row {
    const char* name;
    Body write;
    Bytes current;
    std::optional<Bytes> protocol1;  // nullopt: protocol 1 has no writer for it
};

// Field values use distinct bytes so that order, width and byte order all show in the output.
const std::vector<Row>& rows() {
    static const std::vector<Row> table = {
        {"empty", body(&Table::msg_SpiceMsgEmpty, SpiceMsgEmpty{}), {}, Bytes{}},
        {"data", body(&Table::msg_SpiceMsgData, SpiceMsgData{}), {}, Bytes{}},
        {"ack sync",
         body(&Table::msgc_ack_sync, SpiceMsgcAckSync{0x01020304}),
         {4, 3, 2, 1},
         Bytes{4, 3, 2, 1}},
        {"pong",
         body(&Table::msgc_pong, SpiceMsgcPong{0x01020304, 0x1112131415161718}),
         {4, 3, 2, 1, 0x18, 0x17, 0x16, 0x15, 0x14, 0x13, 0x12, 0x11},
         Bytes{4, 3, 2, 1, 0x18, 0x17, 0x16, 0x15, 0x14, 0x13, 0x12, 0x11}},
        {"disconnecting",
         body(&Table::msgc_disconnecting, SpiceMsgcDisconnecting{0x1112131415161718, 0x01020304}),
         {0x18, 0x17, 0x16, 0x15, 0x14, 0x13, 0x12, 0x11, 4, 3, 2, 1},
         Bytes{0x18, 0x17, 0x16, 0x15, 0x14, 0x13, 0x12, 0x11, 4, 3, 2, 1}},
        {"main client info",
         body(&Table::msgc_main_client_info, SpiceMsgcClientInfo{0x1112131415161718}),
         {0x18, 0x17, 0x16, 0x15, 0x14, 0x13, 0x12, 0x11},
         Bytes{0x18, 0x17, 0x16, 0x15, 0x14, 0x13, 0x12, 0x11}},
        {"main mouse mode request",
         body(&Table::msgc_main_mouse_mode_request, SpiceMsgcMainMouseModeRequest{0x0102}),
         {2, 1},
         Bytes{2, 1, 0, 0}},
        {"main agent start",
         body(&Table::msgc_main_agent_start, SpiceMsgcMainAgentStart{0x01020304}),
         {4, 3, 2, 1},
         Bytes{4, 3, 2, 1}},
        {"main agent token",
         body(&Table::msgc_main_agent_token, SpiceMsgcMainAgentTokens{0x01020304}),
         {4, 3, 2, 1},
         Bytes{4, 3, 2, 1}},
        {"main migrate dst do seamless",
         body(&Table::msgc_main_migrate_dst_do_seamless, SpiceMsgcMainMigrateDstDoSeamless{0x01020304}),
         {4, 3, 2, 1},
         std::nullopt},
        {"display init",
         body(&Table::msgc_display_init, SpiceMsgcDisplayInit{0x01, 0x1112131415161718, 0x02, -2}),
         {1, 0x18, 0x17, 0x16, 0x15, 0x14, 0x13, 0x12, 0x11, 2, 0xFE, 0xFF, 0xFF, 0xFF},
         Bytes{1, 0x18, 0x17, 0x16, 0x15, 0x14, 0x13, 0x12, 0x11, 2, 0xFE, 0xFF, 0xFF, 0xFF}},
        {"display stream report",
         body(&Table::msgc_display_stream_report,
              SpiceMsgcDisplayStreamReport{1, 2, 0x03000003, 4, 5, 6, 7, 0xFFFFFFFF}),
         {1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 3, 4,    0,    0,    0,
          5, 0, 0, 0, 6, 0, 0, 0, 7, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF},
         std::nullopt},
        {"inputs key down",
         body(&Table::msgc_inputs_key_down, SpiceMsgcKeyDown{0xE01D}),
         {0x1D, 0xE0, 0, 0},
         Bytes{0x1D, 0xE0, 0, 0}},
        {"inputs key up",
         body(&Table::msgc_inputs_key_up, SpiceMsgcKeyUp{0x019D}),
         {0x9D, 0x01, 0, 0},
         Bytes{0x9D, 0x01, 0, 0}},
        {"inputs key modifiers",
         body(&Table::msgc_inputs_key_modifiers, SpiceMsgcKeyModifiers{0x0107}),
         {7, 1},
         Bytes{7, 1, 0, 0}},
        {"inputs mouse motion",
         body(&Table::msgc_inputs_mouse_motion, SpiceMsgcMouseMotion{-2, 3, 0x0105}),
         {0xFE, 0xFF, 0xFF, 0xFF, 3, 0, 0, 0, 5, 1},
         Bytes{0xFE, 0xFF, 0xFF, 0xFF, 3, 0, 0, 0, 5, 1, 0, 0}},
        {"inputs mouse position",
         body(&Table::msgc_inputs_mouse_position, SpiceMsgcMousePosition{0x0400, 0x0300, 0x0102, 3}),
         {0, 4, 0, 0, 0, 3, 0, 0, 2, 1, 3},
         Bytes{0, 4, 0, 0, 0, 3, 0, 0, 2, 1, 0, 0, 3}},
        {"inputs mouse press",
         body(&Table::msgc_inputs_mouse_press, SpiceMsgcMousePress{1, 0x0201}),
         {1, 1, 2},
         Bytes{1, 0, 0, 0, 1, 2, 0, 0}},
        {"inputs mouse release",
         body(&Table::msgc_inputs_mouse_release, SpiceMsgcMouseRelease{3, 0x0400}),
         {3, 0, 4},
         Bytes{3, 0, 0, 0, 0, 4, 0, 0}},
        {"record data",
         body(&Table::msgc_record_data, SpiceMsgcRecordPacket{0x01020304}),
         {4, 3, 2, 1},
         Bytes{4, 3, 2, 1}},
        {"record mode",
         body(&Table::msgc_record_mode, SpiceMsgcRecordMode{0x01020304, 2}),
         {4, 3, 2, 1, 2, 0},
         Bytes{4, 3, 2, 1, 2, 0, 0, 0}},
        {"record start mark",
         body(&Table::msgc_record_start_mark, SpiceMsgcRecordStartMark{0x01020304}),
         {4, 3, 2, 1},
         Bytes{4, 3, 2, 1}},
        {"tunnel service add, IPv4 print service",
         body(&Table::msgc_tunnel_service_add,
              SpiceMsgcTunnelAddGenericService{2, 0x01020304, 0x11121314, 0x21222324, 1, {10, 0, 0, 1}}),
         {2, 0, 4, 3, 2, 1, 0x14, 0x13, 0x12, 0x11, 0x24, 0x23, 0x22, 0x21,
          0, 0, 0, 0, 0, 0, 0,    0,    1,    0,    10,   0,    0,    1},
         std::nullopt},
        {"tunnel service add, print service of another address type",
         body(&Table::msgc_tunnel_service_add,
              SpiceMsgcTunnelAddGenericService{2, 0x01020304, 0x11121314, 0x21222324, 0x0305, {10, 0, 0, 1}}),
         {2, 0, 4, 3, 2, 1, 0x14, 0x13, 0x12, 0x11, 0x24, 0x23, 0x22, 0x21, 0, 0, 0, 0, 0, 0, 0, 0, 5, 3},
         std::nullopt},
        {"tunnel service add, generic service",
         body(&Table::msgc_tunnel_service_add,
              SpiceMsgcTunnelAddGenericService{1, 0x01020304, 0x11121314, 0x21222324, 1, {10, 0, 0, 1}}),
         {1, 0, 4, 3, 2, 1, 0x14, 0x13, 0x12, 0x11, 0x24, 0x23, 0x22, 0x21, 0, 0, 0, 0, 0, 0, 0, 0},
         std::nullopt},
        {"tunnel service remove",
         body(&Table::msgc_tunnel_service_remove, SpiceMsgcTunnelServiceRemove{0x01020304}),
         {4, 3, 2, 1},
         std::nullopt},
        {"tunnel socket open ack",
         body(&Table::msgc_tunnel_socket_open_ack, SpiceMsgcTunnelSocketOpenAck{0x0102, 0x11121314}),
         {2, 1, 0x14, 0x13, 0x12, 0x11},
         std::nullopt},
        {"tunnel socket open nack",
         body(&Table::msgc_tunnel_socket_open_nack, SpiceMsgcTunnelSocketOpenNack{0x0102}),
         {2, 1},
         std::nullopt},
        {"tunnel socket fin",
         body(&Table::msgc_tunnel_socket_fin, SpiceMsgcTunnelSocketFin{0x0203}),
         {3, 2},
         std::nullopt},
        {"tunnel socket closed",
         body(&Table::msgc_tunnel_socket_closed, SpiceMsgcTunnelSocketClosed{0x0304}),
         {4, 3},
         std::nullopt},
        {"tunnel socket closed ack",
         body(&Table::msgc_tunnel_socket_closed_ack, SpiceMsgcTunnelSocketClosedAck{0x0405}),
         {5, 4},
         std::nullopt},
        {"tunnel socket data",
         body(&Table::msgc_tunnel_socket_data, SpiceMsgcTunnelSocketData{0x0506}),
         {6, 5},
         std::nullopt},
        {"tunnel socket token",
         body(&Table::msgc_tunnel_socket_token, SpiceMsgcTunnelSocketTokens{0x0102, 0x11121314}),
         {2, 1, 0x14, 0x13, 0x12, 0x11},
         std::nullopt},
        {"port event", body(&Table::msgc_port_event, SpiceMsgcPortEvent{0x01}), {1}, std::nullopt},
    };
    return table;
}

// The body a table writes for a row, or nullopt when the table has no writer (and nothing was written).
std::optional<Bytes> marshall(const Table* table, const Row& row) {
    SpiceMarshaller* m = spice_marshaller_create();
    std::optional<Bytes> out;
    if (row.write(table, m)) {
        size_t length = 0;
        int free_result = 0;
        uint8_t* p = spice_marshaller_flatten(m, 0, &length, &free_result);
        out = Bytes(p, p + length);
        if (free_result) {
            free(p);
        }
    } else {
        EXPECT_EQ(spice_marshaller_get_total_size(m), 0u);
    }
    spice_marshaller_destroy(m);
    return out;
}

TEST(ClientMarshallers, CurrentProtocolBodies) {
    for (const Row& row : rows()) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(marshall(spice_message_marshallers_get(), row), row.current);
    }
}

TEST(ClientMarshallers, Protocol1Bodies) {
    for (const Row& row : rows()) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(marshall(spice_message_marshallers_get1(), row), row.protocol1);
    }
}

TEST(ClientMarshallers, SlotsTwoAndThreeAreEmptyInBothTables) {
    for (const Table* table : {spice_message_marshallers_get(), spice_message_marshallers_get1()}) {
        EXPECT_EQ(table->unused_2, nullptr);
        EXPECT_EQ(table->unused_3, nullptr);
    }
}

TEST(ClientMarshallers, MissingSlotIsReportedWithoutWriting) {
    SpiceMarshaller* m = spice_marshaller_create();
    spice_marshaller_reserve(m, 6);
    SpiceMsgcPortEvent event{1};
    EXPECT_FALSE(spice_marshall_message(spice_message_marshallers_get1(), msgc_port_event, m, &event));
    EXPECT_EQ(spice_marshaller_get_total_size(m), 6u);
    EXPECT_TRUE(spice_marshall_message(spice_message_marshallers_get(), msgc_port_event, m, &event));
    EXPECT_EQ(spice_marshaller_get_total_size(m), 7u);
    spice_marshaller_destroy(m);
}

// The service message's name and description slots are sub-marshallers that nothing fills: the body stays in
// the root, in place.
TEST(ClientMarshallers, TunnelServiceSlotsAreEmptySubMarshallers) {
    SpiceMarshaller* m = spice_marshaller_create();
    SpiceMsgcTunnelAddGenericService service{2, 1, 2, 3, 1, {127, 0, 0, 1}};
    spice_message_marshallers_get()->msgc_tunnel_service_add(m, &service);
    ASSERT_NE(m->next, nullptr);
    ASSERT_NE(m->next->next, nullptr);
    EXPECT_EQ(m->next->next->next, nullptr);
    EXPECT_EQ(m->next->pointer_ref.offset, 14u);
    EXPECT_EQ(m->next->next->pointer_ref.offset, 18u);
    EXPECT_EQ(spice_marshaller_get_size(m->next), 0u);

    size_t length = 0;
    int free_result = 1;
    spice_marshaller_flatten(m, 0, &length, &free_result);
    EXPECT_EQ(length, 28u);
    EXPECT_EQ(free_result, 0);
    spice_marshaller_destroy(m);
}

}  // namespace
