#pragma once

#include <cstdint>
#include <string>

class Platform {
public:
    // The user's roaming application-data folder with name below it, created when missing.
    // Throws Exception when the folder cannot be found or created.
    static std::string app_data_folder(const std::string& name);
    static uint64_t get_process_id();
};
