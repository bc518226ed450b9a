// Little-endian reader/writer and the UTF-8/UCS-2 conversions behind PTP strings.
#include "ptp/bytes.h"

#include <cstring>

namespace ptp {

void PutU16(uint8_t* at, uint16_t value) {
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
}
void PutU32(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        at[i] = static_cast<uint8_t>(value >> (8 * i));
}
void PutU64(uint8_t* at, uint64_t value) {
    for (int i = 0; i < 8; ++i)
        at[i] = static_cast<uint8_t>(value >> (8 * i));
}
uint16_t GetU16(const uint8_t* at) {
    return static_cast<uint16_t>(at[0] | (at[1] << 8));
}
uint32_t GetU32(const uint8_t* at) {
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | at[i];
    return value;
}
uint64_t GetU64(const uint8_t* at) {
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i)
        value = (value << 8) | at[i];
    return value;
}

bool ByteReader::Take(size_t count, const uint8_t*& at) {
    if (!ok_ || count > size_ - offset_) {
        ok_ = false;
        return false;
    }
    at = data_ + offset_;
    offset_ += count;
    return true;
}

bool ByteReader::U8(uint8_t& value) {
    const uint8_t* at;
    if (!Take(1, at))
        return false;
    value = at[0];
    return true;
}
bool ByteReader::U16(uint16_t& value) {
    const uint8_t* at;
    if (!Take(2, at))
        return false;
    value = GetU16(at);
    return true;
}
bool ByteReader::U32(uint32_t& value) {
    const uint8_t* at;
    if (!Take(4, at))
        return false;
    value = GetU32(at);
    return true;
}
bool ByteReader::U64(uint64_t& value) {
    const uint8_t* at;
    if (!Take(8, at))
        return false;
    value = GetU64(at);
    return true;
}
bool ByteReader::Bytes(uint8_t* out, size_t count) {
    const uint8_t* at;
    if (!Take(count, at))
        return false;
    if (count)
        std::memcpy(out, at, count);
    return true;
}
bool ByteReader::Skip(size_t count) {
    const uint8_t* at;
    return Take(count, at);
}

bool ByteReader::String(std::string& utf8) {
    uint8_t count;
    if (!U8(count))
        return false;
    const uint8_t* at;
    if (!Take(size_t(count) * 2, at))
        return false;
    std::u16string units;
    for (size_t i = 0; i < count; ++i) {
        char16_t unit = static_cast<char16_t>(GetU16(at + 2 * i));
        if (unit == 0)
            break; // the terminator; anything after it is ignored
        units.push_back(unit);
    }
    utf8 = Ucs2ToUtf8(units);
    return true;
}

bool ByteReader::U16Array(std::vector<uint16_t>& values) {
    uint32_t count;
    if (!U32(count))
        return false;
    if (count > kMaxArrayCount || count > remaining() / 2) {
        ok_ = false;
        return false;
    }
    values.resize(count);
    for (uint16_t& value : values)
        U16(value);
    return ok_;
}

bool ByteReader::U32Array(std::vector<uint32_t>& values) {
    uint32_t count;
    if (!U32(count))
        return false;
    if (count > kMaxArrayCount || count > remaining() / 4) {
        ok_ = false;
        return false;
    }
    values.resize(count);
    for (uint32_t& value : values)
        U32(value);
    return ok_;
}

void ByteWriter::U8(uint8_t value) {
    out_.push_back(value);
}
void ByteWriter::U16(uint16_t value) {
    uint8_t b[2];
    PutU16(b, value);
    out_.insert(out_.end(), b, b + 2);
}
void ByteWriter::U32(uint32_t value) {
    uint8_t b[4];
    PutU32(b, value);
    out_.insert(out_.end(), b, b + 4);
}
void ByteWriter::U64(uint64_t value) {
    uint8_t b[8];
    PutU64(b, value);
    out_.insert(out_.end(), b, b + 8);
}
void ByteWriter::Bytes(const uint8_t* data, size_t count) {
    if (count)
        out_.insert(out_.end(), data, data + count);
}

bool ByteWriter::String(const std::string& utf8) {
    std::u16string units;
    if (!Utf8ToUcs2(utf8, units) || units.size() + 1 > kMaxStringUnits) {
        ok_ = false;
        U8(0); // keep the layout readable; the caller must not send it
        return false;
    }
    if (units.empty()) {
        U8(0);
        return true;
    }
    U8(static_cast<uint8_t>(units.size() + 1));
    for (char16_t unit : units)
        U16(static_cast<uint16_t>(unit));
    U16(0);
    return true;
}

void ByteWriter::U16Array(const std::vector<uint16_t>& values) {
    U32(static_cast<uint32_t>(values.size()));
    for (uint16_t value : values)
        U16(value);
}
void ByteWriter::U32Array(const std::vector<uint32_t>& values) {
    U32(static_cast<uint32_t>(values.size()));
    for (uint32_t value : values)
        U32(value);
}

bool Utf8ToUcs2(const std::string& utf8, std::u16string& units) {
    units.clear();
    size_t i = 0;
    const size_t n = utf8.size();
    while (i < n) {
        uint8_t c = static_cast<uint8_t>(utf8[i]);
        uint32_t cp;
        size_t extra;
        if (c < 0x80) {
            cp = c;
            extra = 0;
        } else if ((c & 0xE0) == 0xC0) {
            cp = c & 0x1F;
            extra = 1;
        } else if ((c & 0xF0) == 0xE0) {
            cp = c & 0x0F;
            extra = 2;
        } else {
            return false; // 4-byte sequences lie outside the BMP; others are invalid
        }
        if (extra > n - i - 1)
            return false;
        for (size_t k = 1; k <= extra; ++k) {
            uint8_t cc = static_cast<uint8_t>(utf8[i + k]);
            if ((cc & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        if ((extra == 1 && cp < 0x80) || (extra == 2 && cp < 0x800) ||
            (cp >= 0xD800 && cp <= 0xDFFF))
            return false; // overlong form or a lone surrogate
        units.push_back(static_cast<char16_t>(cp));
        i += extra + 1;
    }
    return true;
}

std::string Ucs2ToUtf8(const std::u16string& units) {
    std::string out;
    for (size_t i = 0; i < units.size(); ++i) {
        uint32_t cp = units[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
            units[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (units[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

} // namespace ptp
