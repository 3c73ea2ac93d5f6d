// The session's window of decoded GLZ images: the images that later GLZ images may still reference.
//
// One window per session, shared by the GlzDecoder of every canvas: the main channel client (RedClient)
// creates it, clears it at connect and after a migration, aborts it when the session ends and destroys it
// after every channel thread has ended. The display channel threads decode into it at the same time, each
// waiting only for images another thread is still decoding.
//
// Image ids in the window run without gap from the head image's id to the tail id; the images among them not
// yet decoded are the missing ones. Since ids only join at the tail and leave the missing ones only from the
// front, the missing ids are always the run from the first missing id to the tail id, kept here as a count.
//
// A missing id that no decode is running may never come: its image failed before its id was known (a zlib
// stream that would not inflate, data shorter than a header) or was never sent. Every wait for one therefore
// has a deadline, after which the window gives those ids up: their slots then hold a stand-in that no
// reference accepts.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "codecs/glz_decoded_image.h"
#include "runtime/threads.h"

class GlzDecoderWindow {
public:
    // Fresh state: id 0 missing, 100 slots. Allocation failure goes to debug_calls' error.
    explicit GlzDecoderWindow(GlzDecoderDebug& debug_calls);
    virtual ~GlzDecoderWindow();

    GlzDecoderWindow(const GlzDecoderWindow&) = delete;
    GlzDecoderWindow& operator=(const GlzDecoderWindow&) = delete;

    // The GLZ window size, in pixels, that the client announces to the server (RedClient sets it when it
    // sizes the window). Ids more than that many ahead of the tail are refused: every id costs a ring slot,
    // and since each image holds at least one pixel no conforming server runs that far ahead. Until set:
    // 12,582,912, the smallest size the client announces.
    void set_window_size(uint32_t pixels);
    // How long a decode waits for missing ids that no decode is running before giving them up (10 s; tests
    // shorten it).
    void set_give_up_time(uint64_t milliseconds);

    // ---- Decoding (display channel threads) ----

    // Makes room for image id, whose window head is win_head_id: waits while older images it lets go of are
    // still missing, grows the ring when needed (once no decode is running), and adds the ids up to id. From
    // here to finish_image the decode counts as a reader, which keeps the ring in place, so the ring index
    // returned stays the image's. Ids it waits for that no decode is running are given up after the give-up
    // time. *first_ref_id receives the oldest id the image may reference: its window head, or the head image
    // when that has moved further. Refused through debug_calls' error: an id older than the window, an id
    // already decoded or being decoded, an id too far ahead. Throws Exception "aborting" after set_abort when
    // it has to wait or grow.
    uint64_t pre_decode_update_window(uint64_t id, uint64_t win_head_id, uint64_t* first_ref_id);

    // Readers only: the ring index distance images before index, for a distance below the ring's capacity.
    uint64_t ring_index_before(uint64_t index, uint64_t distance) const {
        return (index + _capacity - distance) % _capacity;
    }
    // Readers only: the image in the slot at index, waiting while the slot is empty. An id given up comes
    // back as a stand-in of no pixels whose id is none of the window's. Throws Exception "aborting" after
    // set_abort.
    GlzDecodedImage* wait_for_image(uint64_t index);

    // Ends the decode as a reader and hands the image to the window, which owns it from now on, then lets go
    // of the head images no later image may reference. Every decode that pre_decode_update_window admitted
    // ends here, a failed one with an image of no pixels, so that nothing waits for it for ever.
    void finish_image(GlzDecodedImage* image);

    // ---- The owner (main channel thread) ----

    // Deletes every image and returns to the fresh state. No decode may be running.
    void clear();
    // Wakes every waiter; from now on every wait throws Exception "aborting". Nothing clears it.
    void set_abort();

    struct State {
        uint64_t capacity;
        uint64_t image_count;  // ids from the head image to the tail id
        uint64_t head_id;
        uint64_t tail_id;
        uint64_t missing_count;  // the missing ids are the last missing_count ids up to tail_id
    };
    State get_state();

private:
    struct InFlight {
        uint64_t id;
        uint64_t first_ref_id;
    };

    [[noreturn]] void report_error(const std::string& message);
    uint64_t head_id() const { return _tail_id - _n_images + 1; }
    uint64_t first_missing_id() const { return _tail_id - _missing_count + 1; }
    uint64_t ring_index(uint64_t id) const { return (_head + _n_images - 1 + id - _tail_id) % _capacity; }
    GlzDecodedImage* image_of(uint64_t id) const {
        return _images[ring_index(id)].load(std::memory_order_relaxed);
    }
    void refuse_unacceptable(uint64_t id);
    uint64_t required_capacity(uint64_t id) const;
    void grow_ring(uint64_t new_capacity);
    void add_missing_ids(uint64_t id);
    bool store_image(GlzDecodedImage* image);
    bool in_flight(uint64_t id) const;
    void give_up_missing(uint64_t from_id, uint64_t to_id, std::vector<GlzDecodedImage*>& released);
    void shrink_to_needed(std::vector<GlzDecodedImage*>& released);
    void drop_head_images(uint64_t new_head_id, std::vector<GlzDecodedImage*>& released);
    void free_all_images();
    void reset_state();

    GlzDecoderDebug& _debug_calls;
    // Stands in the slots of ids given up; never deleted.
    GlzDecodedImage _given_up;

    // Lock order: _lock before _image_lock.
    Mutex _lock;
    Mutex _image_lock;
    Condition _new_image_cond;        // with _image_lock: a slot was filled, or abort
    Condition _images_released_cond;  // with _lock: head images dropped, a decode finished, the tail moved,
                                      // or abort
    Condition
        _decode_finished_cond;  // with _lock: a decode finished, or abort (the ring waits for no reader)

    // The ring. The array and _capacity change only under _lock with no reader, so a reader (a decode between
    // pre_decode_update_window and finish_image) uses them without _lock; slot contents change under
    // _image_lock and are atomic so that a reader may look first.
    std::atomic<GlzDecodedImage*>* _images;
    uint64_t _capacity;
    // Guarded by _lock.
    uint64_t _readers;
    uint64_t _head;  // ring index of the head image
    uint64_t _tail_id;
    uint64_t _n_images;
    uint64_t _missing_count;
    uint64_t _max_ids_ahead;
    uint64_t _give_up_ns;
    std::vector<InFlight>
        _in_flight;  // admitted decodes not finished yet; the head never passes their first_ref_id
    bool _aborting;  // written under _lock and _image_lock
};
