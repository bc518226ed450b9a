// Small text helpers shared by the settings and profile readers above this library, and the
// firmware version as one part per byte (the vendor property 0xD031's form).
#pragma once

#include <cstdint>
#include <string>

namespace ptp {

// Without leading and trailing blanks, tabs, CR and LF.
std::string Trim(const std::string& text);
// ASCII letters lowered; other bytes (multibyte text included) stay as they are.
std::string Lower(std::string text);

// "1.0.1.2" -> 0x01000102: one to four dotted parts of 0..255, nothing else.
bool ParseVersion(const std::string& text, uint32_t& value);

} // namespace ptp
