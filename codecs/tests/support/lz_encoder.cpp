#include "support/lz_encoder.h"

#include <algorithm>
#include <cstddef>
#include <unordered_map>

namespace {

const uint64_t LZ_MAX_DIST = 8191 + 65535 + 1;   // the 16-bit escape form
const uint64_t GLZ_MAX_OFFSET = (1u << 25) - 1;  // with the very-long offset byte
const unsigned MAX_CANDIDATES = 16;

void put_be(std::vector<uint8_t>& out, uint64_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; i--) {
        out.push_back(uint8_t(v >> (8 * i)));
    }
}

// Positions of each unit value in one image, most recent last.
class UnitIndex {
public:
    UnitIndex(const std::vector<uint8_t>& units, unsigned unit_bytes)
        : units_(units), unit_bytes_(unit_bytes) {}

    uint64_t count() const { return units_.size() / unit_bytes_; }
    uint32_t key(uint64_t pos) const {
        uint32_t k = 0;
        for (unsigned i = 0; i < unit_bytes_; i++) {
            k = (k << 8) | units_[pos * unit_bytes_ + i];
        }
        return k;
    }
    void add(uint64_t pos) { positions_[key(pos)].push_back(pos); }
    void add_all() {
        for (uint64_t p = 0; p < count(); p++) {
            add(p);
        }
    }
    const std::vector<uint64_t>* find(uint32_t key) const {
        auto it = positions_.find(key);
        return it == positions_.end() ? nullptr : &it->second;
    }
    const uint8_t* unit(uint64_t pos) const { return units_.data() + pos * unit_bytes_; }

private:
    const std::vector<uint8_t>& units_;
    unsigned unit_bytes_;
    std::unordered_map<uint32_t, std::vector<uint64_t>> positions_;
};

// Units of src from pos that equal those of cur from at, up to max.
uint64_t match_length(const UnitIndex& src, uint64_t pos, const UnitIndex& cur, uint64_t at, uint64_t max,
                      unsigned unit_bytes) {
    uint64_t n = 0;
    while (n < max && pos + n < src.count() &&
           std::equal(src.unit(pos + n), src.unit(pos + n) + unit_bytes, cur.unit(at + n))) {
        n++;
    }
    return n;
}

struct Best {
    uint64_t len = 0;
    uint64_t pos = 0;  // in the source image
    uint64_t image_dist = 0;
};

// The longest match for the units at `at`, among recent earlier positions of this image within max_dist and
// the earlier images.
Best find_match(const UnitIndex& cur, uint64_t at, uint64_t max_dist, uint64_t max_offset,
                const std::vector<std::pair<uint64_t, UnitIndex*>>& refs, unsigned unit_bytes) {
    Best best;
    const uint64_t left = cur.count() - at;
    uint32_t key = cur.key(at);
    auto consider = [&](const UnitIndex& src, const std::vector<uint64_t>* positions, uint64_t image_dist,
                        uint64_t lowest) {
        if (!positions) {
            return;
        }
        unsigned tried = 0;
        for (auto it = positions->rbegin(); it != positions->rend() && tried < MAX_CANDIDATES;
             ++it, tried++) {
            if (*it < lowest || *it > max_offset) {
                if (*it < lowest) {
                    break;
                }
                continue;
            }
            uint64_t len = match_length(src, *it, cur, at, left, unit_bytes);
            if (len > best.len) {
                best = Best{len, *it, image_dist};
                if (len == left) {
                    return;
                }
            }
        }
    };
    consider(cur, cur.find(key), 0, at > max_dist ? at - max_dist : 0);
    for (const auto& ref : refs) {
        consider(*ref.second, ref.second->find(key), ref.first, 0);
    }
    return best;
}

void flush_literals(std::vector<uint8_t>& out, const UnitIndex& cur, uint64_t from, uint64_t to,
                    unsigned unit_bytes) {
    while (from < to) {
        uint64_t n = to - from < 32 ? to - from : 32;
        out.push_back(uint8_t(n - 1));
        out.insert(out.end(), cur.unit(from), cur.unit(from) + n * unit_bytes);
        from += n;
    }
}

void put_length_extension(std::vector<uint8_t>& out, uint64_t rest) {
    while (rest >= 255) {
        out.push_back(255);
        rest -= 255;
    }
    out.push_back(uint8_t(rest));
}

}  // namespace

std::vector<uint8_t> lz_header(uint32_t type, uint32_t width, uint32_t height, uint32_t stride,
                               uint32_t top_down) {
    std::vector<uint8_t> out;
    for (uint32_t word : {0x20205A4Cu, 0x00010001u, type, width, height, stride, top_down}) {
        put_be(out, word, 4);
    }
    return out;
}

std::vector<uint8_t> lz_encode_units(const std::vector<uint8_t>& units, unsigned unit_bytes,
                                     std::vector<LzMatch>* matches, unsigned min_len) {
    const uint64_t bias = unit_bytes == 1 ? 3 : unit_bytes == 2 ? 2 : 1;
    const uint64_t shortest = std::max<uint64_t>(bias, min_len);
    std::vector<uint8_t> out;
    UnitIndex cur(units, unit_bytes);
    uint64_t literal_from = 0;
    uint64_t at = 0;
    while (at < cur.count()) {
        Best m = find_match(cur, at, LZ_MAX_DIST, UINT64_MAX, {}, unit_bytes);
        if (m.len < shortest) {
            cur.add(at++);
            continue;
        }
        flush_literals(out, cur, literal_from, at, unit_bytes);
        const uint64_t dist = at - m.pos;
        if (matches) {
            matches->push_back(LzMatch{m.len, dist, 0});
        }
        const uint64_t len = m.len - bias;
        const uint64_t d = dist - 1;
        uint8_t c = uint8_t((len < 6 ? len + 1 : 7) << 5);
        if (d < 8191) {
            out.push_back(uint8_t(c | (d >> 8)));
            if (len >= 6) {
                put_length_extension(out, len - 6);
            }
            out.push_back(uint8_t(d));
        } else {
            out.push_back(uint8_t(c | 31));
            if (len >= 6) {
                put_length_extension(out, len - 6);
            }
            out.push_back(255);
            put_be(out, d - 8191, 2);
        }
        for (uint64_t i = 0; i < m.len; i++) {
            cur.add(at++);
        }
        literal_from = at;
    }
    flush_literals(out, cur, literal_from, at, unit_bytes);
    return out;
}

std::vector<uint8_t> glz_header(uint32_t type, bool top_down, uint32_t width, uint32_t height,
                                uint32_t stride, uint64_t id, int32_t win_head_dist) {
    std::vector<uint8_t> out;
    put_be(out, 0x20205A4C, 4);
    put_be(out, 0x00010001, 4);
    out.push_back(uint8_t(type | (top_down ? 0x10 : 0)));
    put_be(out, width, 4);
    put_be(out, height, 4);
    put_be(out, stride, 4);
    put_be(out, id, 8);
    put_be(out, uint32_t(win_head_dist), 4);
    return out;
}

std::vector<uint8_t> glz_encode_units(const std::vector<uint8_t>& units, unsigned unit_bytes, unsigned bias,
                                      const std::vector<GlzRefImage>& refs, std::vector<LzMatch>* matches,
                                      unsigned min_len) {
    const uint64_t shortest = std::max<uint64_t>(bias + 1, min_len);
    std::vector<uint8_t> out;
    UnitIndex cur(units, unit_bytes);
    std::vector<UnitIndex> ref_indexes;
    ref_indexes.reserve(refs.size());
    std::vector<std::pair<uint64_t, UnitIndex*>> ref_list;
    for (const GlzRefImage& r : refs) {
        ref_indexes.emplace_back(*r.units, unit_bytes);
        ref_indexes.back().add_all();
    }
    for (size_t i = 0; i < refs.size(); i++) {
        ref_list.emplace_back(refs[i].image_dist, &ref_indexes[i]);
    }

    uint64_t literal_from = 0;
    uint64_t at = 0;
    while (at < cur.count()) {
        Best m = find_match(cur, at, GLZ_MAX_OFFSET + 1, GLZ_MAX_OFFSET, ref_list, unit_bytes);
        if (m.len < shortest) {
            cur.add(at++);
            continue;
        }
        flush_literals(out, cur, literal_from, at, unit_bytes);
        // Within this image the offset counts back from 1; into another image it is the unit's index there.
        const uint64_t offset = m.image_dist ? m.pos : at - m.pos - 1;
        if (matches) {
            matches->push_back(LzMatch{m.len, m.image_dist ? m.pos : at - m.pos, m.image_dist});
        }
        const uint64_t len = m.len - bias;
        const bool short_form = offset < 4096;
        uint8_t c = uint8_t((len < 7 ? len : 7) << 5 | (short_form ? 0 : 16) | (offset & 15));
        out.push_back(c);
        if (len >= 7) {
            put_length_extension(out, len - 7);
        }
        out.push_back(uint8_t(offset >> 4));
        unsigned extra = 0;
        if (short_form) {
            uint64_t rest = m.image_dist >> 6;
            while (rest) {
                extra++;
                rest >>= 8;
            }
            out.push_back(uint8_t(extra << 6 | (m.image_dist & 63)));
            for (unsigned i = 0; i < extra; i++) {
                out.push_back(uint8_t(m.image_dist >> (6 + 8 * i)));
            }
        } else {
            uint64_t rest = m.image_dist;
            while (rest) {
                extra++;
                rest >>= 8;
            }
            const bool very_long = offset >= (1u << 17);
            out.push_back(uint8_t(extra << 6 | (very_long ? 32 : 0) | ((offset >> 12) & 31)));
            for (unsigned i = 0; i < extra; i++) {
                out.push_back(uint8_t(m.image_dist >> (8 * i)));
            }
            if (very_long) {
                out.push_back(uint8_t(offset >> 17));
            }
        }
        for (uint64_t i = 0; i < m.len; i++) {
            cur.add(at++);
        }
        literal_from = at;
    }
    flush_literals(out, cur, literal_from, at, unit_bytes);
    return out;
}
