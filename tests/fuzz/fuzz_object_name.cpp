// Fuzzes the card's name check: an accepted name must be a single plain path component.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "vcam/card.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string name(reinterpret_cast<const char*>(data), size);
    if (!vcam::IsSafeObjectName(name))
        return 0;
    std::filesystem::path path(name);
    if (name.find_first_of("/\\:") != std::string::npos || name == "." || name == ".." ||
        path.has_parent_path() || path.has_root_path() || path.filename().string() != name)
        __builtin_trap();
    std::filesystem::path inside = (std::filesystem::path("/card") / path).lexically_normal();
    if (inside.parent_path() != std::filesystem::path("/card"))
        __builtin_trap();
    return 0;
}
