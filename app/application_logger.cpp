#include <cstdio>
#include <string>

#include "app/application.h"
#include "platform/platform.h"
#include "runtime/log.h"

namespace {

// A log longer than this at start is emptied; during a run it grows without limit.
const long LOG_FILE_MAX_SIZE = 20 * 1024 * 1024;

long file_size(FILE* file) {
    if (fseek(file, 0, SEEK_END) != 0) {
        return -1;
    }
    return ftell(file);
}

}  // namespace

void Application::init_logger() {
    if (log_file_is_open()) {
        LOG_WARN("Logger has been inited");
        return;
    }

    std::string path = Platform::app_data_folder("ktwsession") + "/ktwlog.log";
    FILE* file = fopen(path.c_str(), "a");
    if (!file) {
        fprintf(stderr, "Failed to open log file %s\n", path.c_str());
        return;
    }
    if (file_size(file) > LOG_FILE_MAX_SIZE) {
        fclose(file);
        file = fopen(path.c_str(), "w");
        if (!file) {
            fprintf(stderr, "Failed to open log file with w flag, file is %s\n", path.c_str());
            return;
        }
    }
    log_set_file(file);
}
