#include "codecs/md/mppc_dec.h"

#include <cstdlib>

#include "runtime/log.h"

namespace {

// Grows the decoder's output buffer to the message's size and expands the message into it.
int decompress_md(MdDecoder* md, const uint8_t* data, uint32_t length, uint32_t* out_length) {
    MdHeader header;
    if (!md_read_header(data, length, &header)) {
        MD_LOG(3, "  compression data is not available!\n");
        return 0;
    }
    // The size is the server's word: check it before it sizes a buffer.
    if (header.size > MD_MAX_DECOMPRESSED_SIZE) {
        MD_LOG(3, "  decompression size %u is more than %u!\n", header.size, MD_MAX_DECOMPRESSED_SIZE);
        return 0;
    }
    if (md->output_length < header.size || !md->output) {
        size_t grown = header.size ? header.size : 1;
        MD_LOG(0, " buff_length %u, realloc size %zd", unsigned(md->output_length), grown);
        auto* buffer = static_cast<uint8_t*>(realloc(md->output, grown));
        if (!buffer) {
            MD_LOG(3, "  realloc md buffer fail.");
            return 0;
        }
        md->output = buffer;
        md->output_length = grown;
    }
    size_t produced = md->output_length;
    int result = md_decompress(md, data, length, md->output, &produced);
    if (result != MD_OK) {
        MD_LOG(3, "  md_decompress failed, error %d.", result);
        return 0;
    }
    *out_length = uint32_t(produced);
    return 1;
}

}  // namespace

RdpDecompress* decompress_new(uint32_t level) {
    auto* dec = static_cast<RdpDecompress*>(calloc(1, sizeof(RdpDecompress)));
    if (!dec) {
        MD_LOG(3, "  Out of memory when new rdp_decompress.\n");
        return nullptr;
    }
    dec->type = PACKET_COMPR_TYPE_NONE;
    dec->level = level;
    return dec;
}

int decompress_init(RdpDecompress* dec) {
    spice_assert(dec != nullptr);
    spice_assert(dec->type == PACKET_COMPR_TYPE_NONE);
    spice_assert(dec->md_dec == nullptr);
    if (!dec || dec->md_dec) {
        return 0;
    }
    dec->md_dec = md_dec_new(dec->level);
    if (!dec->md_dec) {
        return 0;
    }
    dec->type = PACKET_COMPR_TYPE_MD;
    return 1;
}

int decompress_rdp(const uint8_t* cbuf, RdpDecompress* dec, uint32_t length, DecompressStream* out) {
    spice_assert(dec != nullptr && cbuf != nullptr && out != nullptr);
    if (!dec || !cbuf || !out) {
        return 0;
    }
    if (dec->failed) {
        MD_LOG(3, "  an earlier message failed: the history is out of step.");
        return 0;
    }
    if (dec->type == PACKET_COMPR_TYPE_NONE && !decompress_init(dec)) {
        MD_LOG(3, "  decompress init failed.");
        dec->failed = true;
        return 0;
    }
    uint32_t produced = 0;
    if (!decompress_md(dec->md_dec, cbuf, length, &produced)) {
        dec->failed = true;
        return 0;
    }
    out->start = dec->md_dec->output;
    out->pos = dec->md_dec->output;
    out->length = produced;
    return 1;
}

void decompress_free(RdpDecompress* dec) {
    if (dec) {
        md_dec_free(dec->md_dec);
        free(dec);
    }
}
