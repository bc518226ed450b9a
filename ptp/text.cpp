// Text helpers and the firmware version parser.
#include "ptp/text.h"

namespace ptp {

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
        unsigned part = 0;
        const size_t start = i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
            part = part * 10 + static_cast<unsigned>(text[i++] - '0');
            if (part > 255)
                return false;
        }
        if (i == start || ++parts > 4)
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

} // namespace ptp
