// Bounds-checked little-endian reader and writer, and PTP strings (count byte + UCS-2LE).
// Every field goes through these byte by byte: nothing is ever cast onto a buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ptp {

// Longest PTP string in code units, terminator included.
enum : size_t { kMaxStringUnits = 255 };
// Upper bound for any array count we accept, whatever the bytes left would allow.
enum : size_t { kMaxArrayCount = 1u << 20 };

// Reads from a borrowed buffer. Each read checks the bytes left first; the first failed read
// makes the reader fail for good, so a chain of reads can be checked once at the end.
class ByteReader {
  public:
    ByteReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    explicit ByteReader(const std::vector<uint8_t>& bytes)
        : ByteReader(bytes.data(), bytes.size()) {}

    bool U8(uint8_t& value);
    bool U16(uint16_t& value);
    bool U32(uint32_t& value);
    bool U64(uint64_t& value);
    bool Bytes(uint8_t* out, size_t count);
    bool Skip(size_t count);
    // PTP string: count byte (terminator included), UCS-2LE units; returned as UTF-8.
    bool String(std::string& utf8);
    // u32 count, then the elements; the count is checked against the bytes left.
    bool U16Array(std::vector<uint16_t>& values);
    bool U32Array(std::vector<uint32_t>& values);

    bool ok() const { return ok_; }
    size_t offset() const { return offset_; }
    size_t remaining() const { return size_ - offset_; }
    const uint8_t* current() const { return data_ + offset_; }

  private:
    bool Take(size_t count, const uint8_t*& at);

    const uint8_t* data_;
    size_t size_;
    size_t offset_ = 0;
    bool ok_ = true;
};

// Appends to a caller's vector. String() fails (and marks the writer failed) for text that a
// PTP string cannot carry: longer than 254 units, invalid UTF-8, or outside the BMP.
class ByteWriter {
  public:
    explicit ByteWriter(std::vector<uint8_t>& out) : out_(out) {}

    void U8(uint8_t value);
    void U16(uint16_t value);
    void U32(uint32_t value);
    void U64(uint64_t value);
    void Bytes(const uint8_t* data, size_t count);
    bool String(const std::string& utf8);
    void U16Array(const std::vector<uint16_t>& values);
    void U32Array(const std::vector<uint32_t>& values);

    bool ok() const { return ok_; }

  private:
    std::vector<uint8_t>& out_;
    bool ok_ = true;
};

// UTF-8 <-> UCS-2. ToUcs2 fails on invalid UTF-8 and on characters outside the BMP;
// FromUcs2 turns unpaired surrogates into U+FFFD and pairs into their character.
bool Utf8ToUcs2(const std::string& utf8, std::u16string& units);
std::string Ucs2ToUtf8(const std::u16string& units);

// Little-endian stores for fixed headers built in place.
void PutU16(uint8_t* at, uint16_t value);
void PutU32(uint8_t* at, uint32_t value);
void PutU64(uint8_t* at, uint64_t value);
uint16_t GetU16(const uint8_t* at);
uint32_t GetU32(const uint8_t* at);
uint64_t GetU64(const uint8_t* at);

} // namespace ptp
