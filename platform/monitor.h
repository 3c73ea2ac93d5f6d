// Display devices (monitors) on which the screens are placed, and their display modes. Main thread only.
#pragma once

#include <list>
#include <string>
#include <vector>

#include "winapi/windows.h"

struct Point {
    int x;
    int y;
};

class Monitor {
public:
    explicit Monitor(int id) : _id(id), _free(true) {}
    virtual ~Monitor() {}

    int get_id() const { return _id; }
    bool is_free() const { return _free; }
    void set_free() { _free = true; }
    void set_used() { _free = false; }

    virtual int get_depth() = 0;
    virtual Point get_position() = 0;
    virtual Point get_size() = 0;
    virtual bool is_out_of_sync() = 0;
    virtual int get_screen_id() = 0;
    virtual Point get_register_display_size() = 0;
    virtual Point get_cur_display_size() = 0;
    virtual void set_mode(int width, int height) = 0;
    virtual void restore() = 0;

private:
    int _id;
    bool _free;
};

typedef std::list<Monitor*> MonitorsList;

class WinMonitor : public Monitor {
public:
    WinMonitor(int id, const WCHAR* device_name, const WCHAR* description);
    // Restores the registry mode when this monitor's mode was changed.
    ~WinMonitor() override;

    int get_depth() override { return _depth; }
    Point get_position() override;
    Point get_size() override { return {_width, _height}; }
    bool is_out_of_sync() override { return _out_of_sync; }
    int get_screen_id() override { return 0; }
    Point get_register_display_size() override;
    Point get_cur_display_size() override;
    void set_mode(int width, int height) override;
    void restore() override;

    const std::u16string& get_device_name() const { return _dev_name; }
    const std::u16string& get_description() const { return _dev_string; }

private:
    void update_position();
    bool change_display_settings(int width, int height);
    bool best_display_setting(int width, int height);
    Point current_display_size();

    std::u16string _dev_name;
    std::u16string _dev_string;
    bool _mode_changed = false;
    int _position_x = 0;
    int _position_y = 0;
    int _width = 0;
    int _height = 0;
    int _depth = 0;
    bool _out_of_sync = false;
};

// One display mode as the device offers it.
struct DisplayModeInfo {
    DWORD width;
    DWORD height;
    DWORD bits;
    DWORD frequency;
};

// The mode best_display_setting picks for a requested size: the smallest area at least that wide and high
// (frequency 1, "the hardware default", skipped); on equal area, a higher frequency at the same depth, or a
// deeper mode while the best is not 32 bits. -1 when no mode is large enough.
int choose_best_display_mode(const std::vector<DisplayModeInfo>& modes, DWORD width, DWORD height);
