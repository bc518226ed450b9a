// Text helpers and the firmware version parser.
#include "ptp/text.h"

namespace ptp {
namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// The number at text[i], 256 for any above 255; i moves past its digits.
unsigned ReadPart(const std::string& text, size_t& i) {
    unsigned value = 0;
    for (; i < text.size() && IsDigit(text[i]); ++i) {
        value = value * 10 + static_cast<unsigned>(text[i] - '0');
        if (value > 255)
            value = 256;
    }
    return value;
}

} // namespace

std::string Trim(const std::string& text) {
    const size_t begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos)
        return "";
    const size_t end = text.find_last_not_of(" \t\r\n");
    return text.substr(begin, end - begin + 1);
}

std::string Lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

bool ParseVersion(const std::string& text, uint32_t& value) {
    uint32_t result = 0;
    int parts = 0;
    size_t i = 0;
    for (;;) {
        const size_t start = i;
        const unsigned part = ReadPart(text, i);
        if (i == start || part > 255 || ++parts > 4)
            return false;
        result = (result << 8) | part;
        if (i == text.size())
            break;
        if (text[i++] != '.')
            return false;
    }
    value = result << (8 * (4 - parts));
    return true;
}

uint32_t ReadDisplayedVersion(const std::string& text) {
    uint32_t single = 0;
    bool haveSingle = false;
    for (size_t i = 0; i < text.size();) {
        if (!IsDigit(text[i])) {
            ++i;
            continue;
        }
        uint32_t result = 0;
        int parts = 0;
        for (;;) {
            const unsigned part = ReadPart(text, i);
            if (parts < 4) {
                result = (result << 8) | (part > 255 ? 255 : part);
                ++parts;
            }
            if (i + 1 < text.size() && text[i] == '.' && IsDigit(text[i + 1]))
                ++i;
            else
                break;
        }
        result <<= 8 * (4 - parts);
        if (parts > 1)
            return result;
        if (!haveSingle) {
            single = result;
            haveSingle = true;
        }
    }
    return single;
}

} // namespace ptp
