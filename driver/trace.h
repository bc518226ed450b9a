// The trace a user can turn on in the settings (`trace = FILE`) to send when a camera fails in
// the field: every transaction, event and link failure, and what the camera said of itself, a
// line each, written through as they happen. Never the contents of a file. Thread-safe.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "common/handle.h"
#include "common/lock.h"
#include "ptp/datasets.h"
#include "ptp/initiator.h"

class Trace {
  public:
    Trace() = default;
    ~Trace();
    Trace(const Trace&) = delete;
    Trace& operator=(const Trace&) = delete;

    // Starts writing to `path` (appended to), or stops when it is empty; true when it started
    // anew, with a first line that names the library's version, the date and `header`. A file
    // that cannot be opened traces nothing: the trace never fails an operation.
    bool Open(const std::string& path, const std::string& header);
    bool on() const { return on_; }

    void Note(const std::string& text);
    void Device(const ptp::DeviceInfo& info);
    void Stores(const std::vector<uint32_t>& ids);
    void Call(const ptp::CallRecord& record);
    void Event(const ptp::Event& event);

  private:
    void Line(const std::string& text);

    common::Lock lock_;
    common::Handle file_;
    std::atomic<bool> on_{false};
    std::string path_;
    uint64_t written_ = 0;
};

// "0x0000100C": codes and IDs as the trace prints them.
std::string TraceHex(uint32_t value, int digits);
// A name as the trace prints it: in quotes, control characters and quotes made '?'.
std::string Quoted(const std::string& text);
