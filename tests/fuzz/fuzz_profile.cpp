// Fuzzes the virtual camera's profile parser (its ini file may come from anywhere).
#include <cstddef>
#include <cstdint>
#include <string>

#include "vcam/profile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    vcam::Profile profile;
    std::string error;
    vcam::ParseProfile(std::string(reinterpret_cast<const char*>(data), size), profile, error);
    return 0;
}
