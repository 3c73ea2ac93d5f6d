#include "x11_shm.h"

#include "x11_connection.h"

#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <cstdint>
#include <cstdlib>

namespace winapi_internal {
namespace {

struct ShmImage {
    static const uint32_t MARK = 0x53484d31;  // tells our destroy data from anyone else's
    uint32_t mark = MARK;
    XShmSegmentInfo info{};
    XImage* ximage = nullptr;
};

bool attach_failed = false;  // GUI thread

int note_attach_error(Display*, XErrorEvent*) {
    attach_failed = true;
    return 0;
}

// Whether the server offers the extension and took our memory: 0 unknown, 1 usable, -1 not.
int shm_state = 0;

// The switch is read for every new back buffer, so a program may compare both paths.
bool shm_usable(Display* display) {
    if (getenv("KTW_X11_NO_SHM")) {
        return false;
    }
    if (shm_state == 0) {
        int major, minor;
        Bool pixmaps;
        shm_state = XShmQueryVersion(display, &major, &minor, &pixmaps) ? 1 : -1;
    }
    return shm_state == 1;
}

void release_segment(pixman_image_t*, void* data) {
    auto* shm = static_cast<ShmImage*>(data);
    Display* display = x11_display();
    if (display) {
        // On another thread the server keeps its attachment until the connection closes; the memory is
        // already marked for removal and goes then.
        XShmDetach(display, &shm->info);
        XSync(display, False);
    }
    shm->ximage->data = nullptr;
    XDestroyImage(shm->ximage);
    shmdt(shm->info.shmaddr);
    delete shm;
}

}  // namespace

pixman_image_t* x11_shm_create_image(int width, int height) {
    Display* display = x11_display();
    if (!display || width <= 0 || height <= 0 || !shm_usable(display)) {
        return nullptr;
    }
    int screen = DefaultScreen(display);
    if (DefaultDepth(display, screen) != 24) {
        return nullptr;
    }
    auto* shm = new ShmImage;
    shm->ximage = XShmCreateImage(display, DefaultVisual(display, screen), 24, ZPixmap, nullptr, &shm->info,
                                  static_cast<unsigned>(width), static_cast<unsigned>(height));
    if (!shm->ximage || shm->ximage->bits_per_pixel != 32) {
        if (shm->ximage) {
            XDestroyImage(shm->ximage);
        }
        delete shm;
        return nullptr;
    }
    uint64_t size = uint64_t(shm->ximage->bytes_per_line) * uint64_t(height);
    shm->info.shmid = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
    if (shm->info.shmid < 0) {
        XDestroyImage(shm->ximage);
        delete shm;
        return nullptr;
    }
    shm->info.shmaddr = static_cast<char*>(shmat(shm->info.shmid, nullptr, 0));
    if (shm->info.shmaddr == reinterpret_cast<char*>(-1)) {
        shmctl(shm->info.shmid, IPC_RMID, nullptr);
        XDestroyImage(shm->ximage);
        delete shm;
        return nullptr;
    }
    shm->ximage->data = shm->info.shmaddr;
    shm->info.readOnly = True;
    attach_failed = false;
    XErrorHandler previous = XSetErrorHandler(note_attach_error);
    Status attached = XShmAttach(display, &shm->info);
    XSync(display, False);
    XSetErrorHandler(previous);
    // Removed now: the segment lives while this process or the server has it attached.
    shmctl(shm->info.shmid, IPC_RMID, nullptr);
    if (!attached || attach_failed) {
        shm_state = -1;  // the server cannot reach our memory; stop trying
        shmdt(shm->info.shmaddr);
        shm->ximage->data = nullptr;
        XDestroyImage(shm->ximage);
        delete shm;
        return nullptr;
    }
    pixman_image_t* image =
        pixman_image_create_bits(PIXMAN_x8r8g8b8, width, height,
                                 reinterpret_cast<uint32_t*>(shm->info.shmaddr), shm->ximage->bytes_per_line);
    if (!image) {
        release_segment(nullptr, shm);
        return nullptr;
    }
    pixman_image_set_destroy_function(image, release_segment, shm);
    return image;
}

bool x11_shm_is_shared(pixman_image_t* image) {
    auto* shm = static_cast<ShmImage*>(pixman_image_get_destroy_data(image));
    return shm && shm->mark == ShmImage::MARK;
}

bool x11_shm_put(Drawable drawable, GC gc, pixman_image_t* image, int left, int top, int width, int height) {
    Display* display = x11_display();
    if (!display) {
        return false;
    }
    if (!x11_shm_is_shared(image)) {
        return false;
    }
    auto* shm = static_cast<ShmImage*>(pixman_image_get_destroy_data(image));
    XShmPutImage(display, drawable, gc, shm->ximage, left, top, left, top, static_cast<unsigned>(width),
                 static_cast<unsigned>(height), False);
    XSync(display, False);
    return true;
}

}  // namespace winapi_internal
