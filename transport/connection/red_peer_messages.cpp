#include "transport/connection/red_peer.h"

#include "runtime/mem.h"

#include <cstdlib>

RedPeer::CompoundInMessage::CompoundInMessage(uint32_t size, uint16_t type, uint8_t flag)
    : InMessage(type, size, nullptr), _refs(1), _serial(0), _sub_list_offset(0), _flag(flag) {
    if (size > MAX_MESSAGE_SIZE) {
        THROW_ERR(SPICEC_ERROR_CODE_RECV_FAILED, "message size %u of type %u exceeds %u", size, type,
                  MAX_MESSAGE_SIZE);
    }
    _data = static_cast<uint8_t*>(spice_malloc(size));
}

RedPeer::CompoundInMessage::~CompoundInMessage() {
    free(_data);
}

RedPeer::OutMessage::OutMessage(uint32_t type) : _marshaller(spice_marshaller_create()), _header(nullptr) {
    write_header(type);
}

RedPeer::OutMessage::~OutMessage() {
    spice_marshaller_destroy(_marshaller);
}

void RedPeer::OutMessage::write_header(uint32_t type) {
    _header = spice_marshaller_reserve_space(_marshaller, sizeof(SpiceMiniDataHeader));
    _header[0] = static_cast<uint8_t>(type);
    _header[1] = static_cast<uint8_t>(type >> 8);
    for (size_t i = 2; i < sizeof(SpiceMiniDataHeader); ++i) {
        _header[i] = 0;
    }
}

uint16_t RedPeer::OutMessage::type() const {
    return static_cast<uint16_t>(_header[0] | (_header[1] << 8));
}

void RedPeer::OutMessage::set_body_size() {
    size_t body = spice_marshaller_get_total_size(_marshaller) - sizeof(SpiceMiniDataHeader);
    for (size_t i = 0; i < 4; ++i) {
        _header[2 + i] = static_cast<uint8_t>(body >> (8 * i));
    }
}

void RedPeer::OutMessage::reset(uint32_t type) {
    spice_marshaller_reset(_marshaller);
    write_header(type);
}
