// Trace lines: "hh:mm:ss.mmm what", one call, event or fact a line.
#include "trace.h"

#include <cstdio>
#include <mutex>

#include "ptp/codes.h"
#include "version.h"

namespace {

// A trace past this stops with a line that says so: a field report, not a disk filler.
const uint64_t kMaxTraceBytes = 8u << 20;

std::string Named(const char* name, uint16_t code) {
    const std::string hex = TraceHex(code, 4);
    return *name ? std::string(name) + " (" + hex + ")" : hex;
}

std::string ParamsText(const ptp::Params& params) {
    std::string text = "[";
    for (size_t i = 0; i < params.size(); ++i)
        text += (i ? ", " : "") + TraceHex(params[i], 8);
    return text + "]";
}

std::string HexBytes(const std::vector<uint8_t>& bytes) {
    std::string text;
    char pair[4];
    for (uint8_t b : bytes) {
        snprintf(pair, sizeof pair, "%02X ", b);
        text += pair;
    }
    if (!text.empty())
        text.pop_back();
    return text;
}

} // namespace

std::string Quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text)
        out += (static_cast<unsigned char>(c) < 0x20 || c == '"') ? '?' : c;
    return out + "\"";
}

std::string TraceHex(uint32_t value, int digits) {
    char text[16];
    snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

Trace::~Trace() {
    Open(std::string(), std::string());
}

bool Trace::Open(const std::string& path, const std::string& header) {
    {
        std::lock_guard<common::Lock> hold(lock_);
        if (path == path_ && !path.empty())
            return false;
        file_.reset();
        path_ = path;
        written_ = 0;
        // Written through: what was traced is on disk even if the process dies next.
        if (!path.empty())
            file_.reset(CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH,
                                    nullptr));
        // The bound holds across runs: what the file holds already counts.
        LARGE_INTEGER size = {};
        if (file_ && GetFileSizeEx(file_.get(), &size))
            written_ = static_cast<uint64_t>(size.QuadPart);
        on_ = static_cast<bool>(file_);
    }
    if (!on())
        return false;
    SYSTEMTIME now;
    GetLocalTime(&now);
    char date[32];
    snprintf(date, sizeof date, "%04u-%02u-%02u", now.wYear, now.wMonth, now.wDay);
    Line(std::string("KXPTPCLS.DLL ") + VANDREL_VERSION_TEXT + ", " + date + "; " + header);
    return true;
}

void Trace::Line(const std::string& text) {
    if (!on())
        return;
    SYSTEMTIME now;
    GetLocalTime(&now);
    char stamp[32];
    snprintf(stamp, sizeof stamp, "%02u:%02u:%02u.%03u ", now.wHour, now.wMinute, now.wSecond,
             now.wMilliseconds);
    std::string line = stamp + text + "\r\n";
    std::lock_guard<common::Lock> hold(lock_);
    if (file_ && written_ < kMaxTraceBytes) {
        // The line that would pass the bound says so instead, and is the last.
        const bool last = written_ + line.size() >= kMaxTraceBytes;
        if (last)
            line = std::string(stamp) + "trace: size limit reached, nothing more is written\r\n";
        DWORD done = 0;
        WriteFile(file_.get(), line.data(), static_cast<DWORD>(line.size()), &done, nullptr);
        written_ = last ? kMaxTraceBytes : written_ + done;
    }
}

void Trace::Note(const std::string& text) {
    Line(text);
}

void Trace::Device(const ptp::DeviceInfo& info) {
    if (!on())
        return;
    Line("device: " + Quoted(info.manufacturer) + " " + Quoted(info.model) + " version " +
         Quoted(info.deviceVersion) + " serial " + Quoted(info.serialNumber) + ", PTP " +
         std::to_string(info.standardVersion) + ", vendor extension " +
         TraceHex(info.vendorExtensionId, 8) + " " + Quoted(info.vendorExtensionDesc));
    std::string operations;
    for (uint16_t code : info.operationsSupported)
        operations += " " + TraceHex(code, 4);
    Line("device operations:" + operations);
    std::string properties;
    for (uint16_t code : info.devicePropertiesSupported)
        properties += " " + TraceHex(code, 4);
    Line("device properties:" + properties);
}

void Trace::Stores(const std::vector<uint32_t>& ids) {
    if (!on())
        return;
    std::string text = "stores:";
    for (uint32_t id : ids)
        text += " " + TraceHex(id, 8);
    Line(ids.empty() ? "stores: none" : text);
}

void Trace::Call(const ptp::CallRecord& record) {
    if (!on())
        return;
    std::string text =
        Named(ptp::OperationName(record.code), record.code) + " " + ParamsText(record.params);
    if (record.dataOut)
        text += " out " + std::to_string(record.dataOut) + " B";
    if (record.dataIn)
        text += " in " + std::to_string(record.dataIn) + " B";
    const ptp::Result& result = record.result;
    if (result.status == ptp::Status::Ok || result.status == ptp::Status::SinkFailed ||
        result.status == ptp::Status::SourceFailed)
        text += " -> " + Named(ptp::ResponseName(result.code), result.code) + " " +
                ParamsText(result.params);
    if (result.status != ptp::Status::Ok)
        text += std::string(" -> ") + ptp::StatusName(result.status);
    if (!record.failure.empty())
        text += " (" + record.failure + ")";
    if (!record.note.empty())
        text += ", " + record.note;
    Line(text + ", " + std::to_string(record.durationMs) + " ms");
    if (!record.rejected.empty())
        Line("  dataset not read, its first " + std::to_string(record.rejected.size()) +
             " bytes: " + HexBytes(record.rejected));
}

void Trace::Event(const ptp::Event& event) {
    Line("event " + Named(ptp::EventName(event.code), event.code) + " " + ParamsText(event.params));
}
