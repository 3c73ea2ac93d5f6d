// The two interfaces that the GLZ decoder and its window share with their owners: a decoded image as the
// window holds it, and the debug sink both report through.
#pragma once

#include <cstdint>
#include <string>

// A decoded GLZ image: gross pixels of bytes_per_pixel bytes at data, written contiguously from the first
// pixel. The canvas allocates it (GlzDecodeHandler); once handed to the window, the window owns it and
// deletes it.
class GlzDecodedImage {
public:
    GlzDecodedImage(uint64_t id, uint64_t win_head_id, uint8_t* data, uint32_t size, uint32_t bytes_per_pixel)
        : _id(id), _win_head_id(win_head_id), _data(data), _bytes_per_pixel(bytes_per_pixel), _size(size) {}
    virtual ~GlzDecodedImage() {}

    GlzDecodedImage(const GlzDecodedImage&) = delete;
    GlzDecodedImage& operator=(const GlzDecodedImage&) = delete;

    uint64_t get_id() const { return _id; }
    uint64_t get_window_head_id() const { return _win_head_id; }
    uint8_t* get_data() const { return _data; }
    uint32_t get_bytes_per_pixel() const { return _bytes_per_pixel; }
    uint32_t get_size() const { return _size; }  // in pixels

protected:
    uint64_t _id;
    uint64_t _win_head_id;
    uint8_t* _data;
    uint32_t _bytes_per_pixel;
    uint32_t _size;
};

// Where the GLZ decoder and window report. error throws the program's Exception with the text and does not
// return; warn and info only log.
class GlzDecoderDebug {
public:
    virtual ~GlzDecoderDebug() {}
    virtual void error(const std::string& str) = 0;
    virtual void warn(const std::string& str) = 0;
    virtual void info(const std::string& str) = 0;
};
