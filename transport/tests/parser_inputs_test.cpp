#include "parser_test_util.h"

namespace {

const int V1 = 1, V2 = 2;
const uint8_t INPUTS = SPICE_CHANNEL_INPUTS;

class InputsMessages : public ::testing::TestWithParam<MinimalBody> {};

TEST_P(InputsMessages, MinimalBodyParsesAndEveryShorterBodyFails) {
    expect_minimal(GetParam());
}

INSTANTIATE_TEST_SUITE_P(
    BothGenerations, InputsMessages,
    ::testing::Values(
        MinimalBody{"init", V2, INPUTS, SPICE_MSG_INPUTS_INIT, Body().u16(2), 2},
        MinimalBody{"key_modifiers", V2, INPUTS, SPICE_MSG_INPUTS_KEY_MODIFIERS, Body().u16(4), 2},
        MinimalBody{"mouse_motion_ack", V2, INPUTS, SPICE_MSG_INPUTS_MOUSE_MOTION_ACK, {}, 2},
        MinimalBody{"init", V1, INPUTS, SPICE_MSG_INPUTS_INIT, Body().u32(2), 2},
        MinimalBody{"key_modifiers", V1, INPUTS, SPICE_MSG_INPUTS_KEY_MODIFIERS, Body().u32(4), 2},
        MinimalBody{"mouse_motion_ack", V1, INPUTS, SPICE_MSG_INPUTS_MOUSE_MOTION_ACK, {}, 2}),
    minimal_body_name);

TEST(InputsModifiers, WidenToTheParsedWord) {
    Parsed v2(V2, INPUTS, SPICE_MSG_INPUTS_KEY_MODIFIERS, Body().u16(0x8007));
    ASSERT_TRUE(v2.ok());
    EXPECT_EQ(v2.as<SpiceMsgInputsKeyModifiers>()->keyboard_modifiers, 0x8007u);
    Parsed v1(V1, INPUTS, SPICE_MSG_INPUTS_INIT, Body().u32(0x10002));
    ASSERT_TRUE(v1.ok());
    EXPECT_EQ(v1.as<SpiceMsgInputsInit>()->keyboard_modifiers, 0x10002u);
}

}  // namespace
