#include "codecs/glz_decoder_window.h"

#include <algorithm>
#include <chrono>
#include <new>

#include "runtime/exception.h"
#include "runtime/utils.h"

namespace {

const uint64_t INITIAL_CAPACITY = 100;
const uint32_t SMALLEST_WINDOW_SIZE = 12582912;
const uint64_t GIVE_UP_NS = 10000000000ULL;

std::atomic<GlzDecodedImage*>* new_ring(uint64_t capacity) {
    auto* ring = new (std::nothrow) std::atomic<GlzDecodedImage*>[capacity];
    if (ring) {
        for (uint64_t i = 0; i < capacity; i++) {
            ring[i].store(nullptr, std::memory_order_relaxed);
        }
    }
    return ring;
}

std::string id_text(const char* format, uint64_t id) {
    std::string text;
    format_string(text, format, (unsigned long long)id);
    return text;
}

// The nanoseconds left until deadline, at least 1 while any are left; 0 once it has passed.
uint64_t ns_left(std::chrono::steady_clock::time_point deadline) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) {
        return 0;
    }
    const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - now);
    return std::max<uint64_t>(1, uint64_t(left.count()));
}

std::chrono::steady_clock::time_point deadline_after(uint64_t ns) {
    return std::chrono::steady_clock::now() + std::chrono::nanoseconds(ns);
}

}  // namespace

GlzDecoderWindow::GlzDecoderWindow(GlzDecoderDebug& debug_calls)
    : _debug_calls(debug_calls),
      _given_up(UINT64_MAX, 0, nullptr, 0, 4),
      _images(nullptr),
      _capacity(INITIAL_CAPACITY),
      _readers(0),
      _max_ids_ahead(SMALLEST_WINDOW_SIZE),
      _give_up_ns(GIVE_UP_NS),
      _aborting(false) {
    _images = new_ring(_capacity);
    if (!_images) {
        report_error("failed allocating images\n");
    }
    reset_state();
}

GlzDecoderWindow::~GlzDecoderWindow() {
    {
        Lock lock(_lock);
        free_all_images();
        reset_state();
    }
    delete[] _images;
}

void GlzDecoderWindow::report_error(const std::string& message) {
    _debug_calls.error(message);
    // The sink's error does not return; should one do so, the image still fails.
    throw Exception(message);
}

void GlzDecoderWindow::set_window_size(uint32_t pixels) {
    Lock lock(_lock);
    _max_ids_ahead = pixels;
}

void GlzDecoderWindow::set_give_up_time(uint64_t milliseconds) {
    Lock lock(_lock);
    _give_up_ns = milliseconds * 1000000;
}

bool GlzDecoderWindow::in_flight(uint64_t id) const {
    return std::any_of(_in_flight.begin(), _in_flight.end(), [id](const InFlight& f) { return f.id == id; });
}

void GlzDecoderWindow::refuse_unacceptable(uint64_t id) {
    if (id < head_id()) {
        report_error(id_text("image %llu is older than the window\n", id));
    }
    if (id > _tail_id) {
        if (id - _tail_id > _max_ids_ahead) {
            report_error(id_text("image %llu is too far ahead of the window\n", id));
        }
        return;
    }
    if (in_flight(id) || image_of(id)) {
        report_error(id_text("image %llu is decoded twice\n", id));
    }
}

uint64_t GlzDecoderWindow::required_capacity(uint64_t id) const {
    if (id <= _tail_id) {
        return 0;
    }
    uint64_t n = _n_images + (id - _tail_id);
    if (2 * _capacity >= 3 * n) {
        return 0;
    }
    return std::max(3 * n / 2, 3 * _capacity / 2);
}

uint64_t GlzDecoderWindow::pre_decode_update_window(uint64_t id, uint64_t win_head_id,
                                                    uint64_t* first_ref_id) {
    // Images let go of while waiting are deleted once _lock is gone, on every way out.
    struct Released : std::vector<GlzDecodedImage*> {
        ~Released() {
            for (GlzDecodedImage* old : *this) {
                delete old;
            }
        }
    } released;
    Lock lock(_lock);
    auto give_up_at = deadline_after(_give_up_ns);
    for (;;) {
        refuse_unacceptable(id);
        // An image that lets go of older ones waits until they are decoded, so that they can leave the ring.
        bool must_wait = id > _tail_id && _missing_count && first_missing_id() < win_head_id;
        uint64_t new_capacity = must_wait ? 0 : required_capacity(id);
        if (!must_wait && !new_capacity) {
            break;
        }
        if (_aborting) {
            THROW("aborting");
        }
        if (must_wait) {
            if (!_images_released_cond.timed_wait(lock, ns_left(give_up_at)) && !ns_left(give_up_at)) {
                give_up_missing(first_missing_id(), win_head_id, released);
                give_up_at = deadline_after(_give_up_ns);
            }
        } else if (_readers == 0) {
            grow_ring(new_capacity);
        } else {
            // Readers index the ring without _lock: it may only move once they are all gone.
            _decode_finished_cond.wait(lock);
        }
    }
    add_missing_ids(id);

    uint64_t first_ref = std::min(std::max(win_head_id, head_id()), id);
    _in_flight.push_back(InFlight{id, first_ref});
    *first_ref_id = first_ref;
    // Counted before _lock goes, so that no growth between here and the decode moves the index returned.
    _readers++;
    return ring_index(id);
}

void GlzDecoderWindow::grow_ring(uint64_t new_capacity) {
    std::atomic<GlzDecodedImage*>* ring = new_ring(new_capacity);
    if (!ring) {
        report_error("failed allocating images array");
    }
    for (uint64_t i = 0; i < _n_images; i++) {
        ring[i].store(_images[(_head + i) % _capacity].load(std::memory_order_relaxed),
                      std::memory_order_relaxed);
    }
    delete[] _images;
    _images = ring;
    _head = 0;
    _capacity = new_capacity;
}

void GlzDecoderWindow::add_missing_ids(uint64_t id) {
    if (id <= _tail_id) {
        return;
    }
    uint64_t added = id - _tail_id;
    _missing_count += added;
    _n_images += added;
    _tail_id = id;
    // A newer tail can end the wait of an image that was ahead of it.
    _images_released_cond.notify_all();
}

GlzDecodedImage* GlzDecoderWindow::wait_for_image(uint64_t index) {
    GlzDecodedImage* image = _images[index].load(std::memory_order_acquire);
    if (image) {
        return image;
    }
    uint64_t give_up_ns;
    {
        Lock lock(_lock);
        give_up_ns = _give_up_ns;
    }
    for (;;) {
        {
            const auto give_up_at = deadline_after(give_up_ns);
            Lock lock(_image_lock);
            while (!(image = _images[index].load(std::memory_order_acquire))) {
                if (_aborting) {
                    THROW("aborting");
                }
                if (!_new_image_cond.timed_wait(lock, ns_left(give_up_at)) && !ns_left(give_up_at)) {
                    break;
                }
            }
            if (image) {
                return image;
            }
        }
        // Given up unless a decode of it is running, which finishes it either way. This reader keeps the ring
        // in place, and the id it waits for stays between the head and the tail.
        std::vector<GlzDecodedImage*> released;
        {
            Lock lock(_lock);
            const uint64_t id = _tail_id - (ring_index(_tail_id) + _capacity - index) % _capacity;
            give_up_missing(id, id + 1, released);
        }
        for (GlzDecodedImage* old : released) {
            delete old;
        }
    }
}

void GlzDecoderWindow::give_up_missing(uint64_t from_id, uint64_t to_id,
                                       std::vector<GlzDecodedImage*>& released) {
    from_id = std::max(from_id, head_id());
    to_id = std::min(to_id, _tail_id + 1);
    uint64_t given_up = 0;
    {
        Lock lock(_image_lock);
        for (uint64_t id = from_id; id < to_id; id++) {
            if (!image_of(id) && !in_flight(id)) {
                _images[ring_index(id)].store(&_given_up, std::memory_order_release);
                given_up++;
            }
        }
        if (!given_up) {
            return;
        }
        _new_image_cond.notify_all();
    }
    std::string text;
    format_string(text, "gave up %llu images from %llu that never came\n", (unsigned long long)given_up,
                  (unsigned long long)from_id);
    _debug_calls.warn(text);
    shrink_to_needed(released);
    _images_released_cond.notify_all();
}

void GlzDecoderWindow::finish_image(GlzDecodedImage* image) {
    // Images let go of are deleted after _lock: that may free much memory, and no reader can still want them.
    std::vector<GlzDecodedImage*> released;
    {
        Lock lock(_lock);
        _readers--;
        for (auto it = _in_flight.begin(); it != _in_flight.end(); ++it) {
            if (it->id == image->get_id()) {
                _in_flight.erase(it);
                break;
            }
        }
        if (store_image(image)) {
            shrink_to_needed(released);
        } else {
            released.push_back(image);
        }
        _decode_finished_cond.notify_all();
        // Waiters for released head images re-examine their condition after every decode, not only when heads
        // went: a finished decode that released nothing can still end their wait.
        _images_released_cond.notify_all();
    }
    for (GlzDecodedImage* old : released) {
        delete old;
    }
}

bool GlzDecoderWindow::store_image(GlzDecodedImage* image) {
    uint64_t id = image->get_id();
    // Only a clear() during a decode puts an image outside the window or onto a taken slot.
    if (id < head_id() || id > _tail_id || image_of(id)) {
        return false;
    }
    Lock lock(_image_lock);
    _images[ring_index(id)].store(image, std::memory_order_release);
    _new_image_cond.notify_all();
    return true;
}

void GlzDecoderWindow::shrink_to_needed(std::vector<GlzDecodedImage*>& released) {
    if (!_missing_count || !image_of(first_missing_id())) {
        return;
    }
    // The first missing image has come; those after it that came early leave the missing ones with it.
    do {
        _missing_count--;
    } while (_missing_count && image_of(first_missing_id()));

    uint64_t last_decoded = _missing_count ? first_missing_id() - 1 : _tail_id;
    uint64_t new_head_id = image_of(last_decoded)->get_window_head_id();
    // Whatever the server claims, the head stays on the first missing id (or the tail) and on the oldest
    // image a running decode may reference.
    new_head_id = std::min(new_head_id, _missing_count ? first_missing_id() : _tail_id);
    for (const InFlight& f : _in_flight) {
        new_head_id = std::min(new_head_id, f.first_ref_id);
    }
    drop_head_images(new_head_id, released);
}

void GlzDecoderWindow::drop_head_images(uint64_t new_head_id, std::vector<GlzDecodedImage*>& released) {
    if (new_head_id <= head_id()) {
        return;
    }
    uint64_t k = new_head_id - head_id();
    {
        Lock lock(_image_lock);
        for (uint64_t i = 0; i < k; i++) {
            std::atomic<GlzDecodedImage*>& slot = _images[(_head + i) % _capacity];
            if (slot.load(std::memory_order_relaxed) != &_given_up) {
                released.push_back(slot.load(std::memory_order_relaxed));
            }
            slot.store(nullptr, std::memory_order_relaxed);
        }
    }
    _head = (_head + k) % _capacity;
    _n_images -= k;
    _images_released_cond.notify_all();
}

void GlzDecoderWindow::free_all_images() {
    Lock lock(_image_lock);
    for (uint64_t i = 0; i < _n_images; i++) {
        std::atomic<GlzDecodedImage*>& slot = _images[(_head + i) % _capacity];
        if (slot.load(std::memory_order_relaxed) != &_given_up) {
            delete slot.load(std::memory_order_relaxed);
        }
        slot.store(nullptr, std::memory_order_relaxed);
    }
}

void GlzDecoderWindow::reset_state() {
    _head = 0;
    _tail_id = 0;
    _n_images = 1;
    _missing_count = 1;
    _in_flight.clear();
}

void GlzDecoderWindow::clear() {
    Lock lock(_lock);
    free_all_images();
    reset_state();
}

void GlzDecoderWindow::set_abort() {
    Lock lock(_lock);
    Lock image_lock(_image_lock);
    _aborting = true;
    _new_image_cond.notify_all();
    _images_released_cond.notify_all();
    _decode_finished_cond.notify_all();
}

GlzDecoderWindow::State GlzDecoderWindow::get_state() {
    Lock lock(_lock);
    return State{_capacity, _n_images, head_id(), _tail_id, _missing_count};
}
