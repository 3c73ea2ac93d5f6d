// The application's own layers on a session screen: the input barrier under the dialog layer, the sticky-key
// image and the watermark. The application reaches them through ApplicationLayer; the program installs the
// factories below (install_application_layers). Main thread, except copy_pixels, which the screen's repaint
// may run on another thread; the layers' locks keep their state consistent with it.
#pragma once

#include "app/application_layer.h"
#include "display/screen_layer.h"
#include "platform/pixels_source.h"
#include "runtime/threads.h"

#include <memory>

class LocalCursor;
struct ApplicationParts;

// A ScreenLayer the application puts on and takes off its screens.
class AppScreenLayer : public ScreenLayer, public ApplicationLayer {
public:
    AppScreenLayer(int z_order, bool opaque) : ScreenLayer(z_order, opaque) {}
    // Takes the layer off its screen when it is on one.
    ~AppScreenLayer() override;

    SessionScreen* attached_screen() override;
    void attach(SessionScreen& screen) override;
    void detach() override;
};

// Blocks the pointer to every layer below the dialog layer while a dialog is up: every point is its own, and
// the pointer over it shows the "not allowed" cursor. It draws nothing.
class GUIBarrier : public AppScreenLayer {
public:
    static const int Z_ORDER = 2;

    explicit GUIBarrier(int screen_id);
    ~GUIBarrier() override;

    int screen_id() const { return _screen_id; }
    bool pointer_test(int x, int y) override { return true; }
    void on_pointer_enter(int x, int y, unsigned int buttons_state) override;

private:
    const int _screen_id;
    LocalCursor* _cursor;
};

// The sticky-key image (program resource 104), centred across the screen at two thirds of its height, shown
// while sticky Alt is on. Without the resource the layer shows nothing.
class InfoLayer : public AppScreenLayer {
public:
    static const int Z_ORDER = 4;

    InfoLayer();
    ~InfoLayer() override;

    void set_info_mode(bool show) override;
    void attach(SessionScreen& screen) override;
    void copy_pixels(const pixman_region32_t& region, RedDrawable& dest) override;
    void on_size_changed() override;

    bool showing();
    // Where the image goes on the screen (left, top, right, bottom).
    RECT image_rect();

private:
    void place();

    std::unique_ptr<AlphaImageFromRes> _image;
    SIZE _image_size;
    Mutex _info_lock;
    bool _showing;  // _info_lock
    POINT _offset;  // _info_lock
    RECT _rect;     // _info_lock
};

// Blends the watermark window's pixels over the whole screen while the watermark is enabled and its window
// exists.
class WatermarkLayer : public AppScreenLayer {
public:
    static const int Z_ORDER = 5;

    WatermarkLayer();
    ~WatermarkLayer() override;

    void attach(SessionScreen& screen) override;
    void copy_pixels(const pixman_region32_t& region, RedDrawable& dest) override;
    void on_size_changed() override;

    // Process-wide, any thread: the watermark's window, the memory device context holding its pixels and
    // whether it is enabled. Kept by the watermark; a null window turns the layer's drawing off.
    static void set_watermark(HWND window, HDC memory_dc, bool enabled);

private:
    Mutex _layer_lock;
    WatermarkSource _source;  // _layer_lock
};

// Installs the factories of the three layers into the application's parts.
void install_application_layers(ApplicationParts& parts);
