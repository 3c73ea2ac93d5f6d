// The program's bitmap resources from arbitrary files: the input is written as bitmap1.bmp in a private
// resource folder and loaded the ways the program loads bitmaps: as the premultiplied 32-bit resource
// (get_alpha_bitmap_res), and as a file with and without LR_CREATEDIBSECTION. A loaded bitmap's pixels are
// read back whole (GetBitmapBits) into a block of exactly the size its description gives.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/platform_utils.h"
#include "runtime/exception.h"
#include "runtime/log.h"
#include "winapi/windows.h"

namespace {

std::string folder;
std::string path;

void read_back(HANDLE loaded) {
    if (!loaded) {
        return;
    }
    BITMAP info;
    if (GetObjectW(loaded, sizeof(info), &info) != int(sizeof(info)) || info.bmWidth <= 0 ||
        info.bmHeight <= 0 || uint64_t(info.bmWidthBytes) * 8 < uint64_t(info.bmWidth) * info.bmBitsPixel) {
        abort();
    }
    const uint64_t total = uint64_t(info.bmWidthBytes) * uint64_t(info.bmHeight);
    std::vector<uint8_t> bits(total);
    if (uint64_t(GetBitmapBits(HBITMAP(loaded), LONG(total), bits.data())) != total) {
        abort();
    }
    DeleteObject(loaded);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    log_set_threshold((unsigned)-1);
    char pattern[] = "/tmp/fuzz_resource_XXXXXX";
    if (!mkdtemp(pattern)) {
        abort();
    }
    folder = pattern;
    path = folder + "/bitmap1.bmp";
    setenv("KTW_RESOURCE_DIR", folder.c_str(), 1);
    atexit([] {
        unlink(path.c_str());
        rmdir(folder.c_str());
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1 << 20)) {
        return 0;
    }
    FILE* file = fopen(path.c_str(), "wb");
    if (!file) {
        abort();
    }
    fwrite(data, 1, size, file);
    fclose(file);

    try {
        HBITMAP bitmap = get_alpha_bitmap_res(1);
        read_back(bitmap);
    } catch (Exception&) {
    }
    read_back(LoadImageA(nullptr, path.c_str(), IMAGE_BITMAP, 0, 0, LR_LOADFROMFILE));
    read_back(LoadImageA(nullptr, path.c_str(), IMAGE_BITMAP, 0, 0, LR_LOADFROMFILE | LR_CREATEDIBSECTION));
    return 0;
}
