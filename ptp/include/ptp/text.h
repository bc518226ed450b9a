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
// A version as a camera displays it ("V1.10", "3-1.2.0 beta"): its first dotted group of
// numbers (else its first number), up to four parts, each clamped to 255; 0 when it has none.
uint32_t ReadDisplayedVersion(const std::string& text);

} // namespace ptp
