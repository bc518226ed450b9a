// The seam between the PTP session and the link that carries it: PTP/IP (over TCP or the
// embedded camera's in-memory pipes) and Windows Portable Devices. The session numbers
// transactions and decodes datasets; a transport moves one operation at a time through its
// phases, within the deadlines it is given, and reports events and the loss of the device.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "ptp/phase.h"
#include "ptp/status.h"

namespace ptp {

// Up to five operation, response or event parameters, kept in place (no allocation).
class Params {
  public:
    using value_type = uint32_t;
    using iterator = uint32_t*;
    using const_iterator = const uint32_t*;
    enum : size_t { kCapacity = 5 };

    Params() = default;
    Params(std::initializer_list<uint32_t> values) {
        for (uint32_t v : values)
            push_back(v);
    }

    // More than kCapacity values are dropped and leave the list invalid.
    void push_back(uint32_t value) {
        if (size_ < kCapacity)
            values_[size_++] = value;
        else
            overflow_ = true;
    }
    void clear() { size_ = 0, overflow_ = false; }
    bool valid() const { return !overflow_; }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    uint32_t operator[](size_t i) const { return values_[i]; }
    const uint32_t* begin() const { return values_; }
    const uint32_t* end() const { return values_ + size_; }

  private:
    uint32_t values_[kCapacity] = {};
    size_t size_ = 0;
    bool overflow_ = false;
};

bool operator==(const Params& a, const std::vector<uint32_t>& b);
inline bool operator==(const std::vector<uint32_t>& a, const Params& b) {
    return b == a;
}

enum class DataDirection { None, In, Out };

// An operation as the session hands it to a transport: the direction of its data phase and
// the size of a data-out phase are known up front.
struct Request {
    uint16_t code = 0;
    uint32_t transactionId = 0; // unused by a transport that numbers transactions itself
    Params params;
    DataDirection data = DataDirection::None;
    uint64_t outSize = 0;
};

struct Response {
    uint16_t code = 0;
    Params params;
};

struct Event {
    uint16_t code = 0;
    uint32_t transactionId = 0;
    Params params;
};

// The link that was lost: the one that carries operations, or a separate one for events.
enum class Link { Command, Event };

// What a transport learned about the responder while connecting.
struct ResponderInfo {
    std::string friendlyName;
};

// A data-in phase whose responder did not say how long it is (USB's 0xFFFFFFFF): it ends with
// a short piece.
const uint64_t kDataSizeUnknown = ~uint64_t(0);

// Where a data-in phase goes, fed by the transport.
class DataInTarget {
  public:
    virtual ~DataInTarget() = default;
    // The size the responder announced (or kDataSizeUnknown), before any byte; false refuses
    // the phase.
    virtual bool Begin(uint64_t total) = 0;
    // The next bytes; false refuses the rest.
    virtual bool Write(const uint8_t* data, size_t size) = 0;
    // A refused phase of `total` bytes (of unknown size: the bytes up to the end of the next
    // piece): true reads and drops the rest (the session stays in step), false cancels it.
    virtual bool Drain(uint64_t total) = 0;
};

// Told by the transport, on a thread of its own, until Shutdown returns.
class TransportListener {
  public:
    virtual ~TransportListener() = default;
    virtual void OnEvent(const Event& event) = 0;
    // The device or one of its links is gone (a deliberate Shutdown is no loss).
    virtual void OnLost(Link link, Status status) = 0;
};

// One operation at a time: SendRequest, then SendData or ReceiveData when the request has a
// data phase, then ReadResponse; OpenSession and CloseSession too, which a transport whose
// device stack owns the session answers itself. The session calls from one thread at a time;
// only Shutdown may come from any thread. Every step ends by `deadline` (Timeout), whatever
// the device does (a transport whose device calls cannot bound themselves arms a watchdog),
// and a data-in phase extends it by the size it announces.
class Transport {
  public:
    virtual ~Transport() = default;

    // Connects and identifies both sides (PTP/IP: the Init exchanges). Refused carries the
    // device's reason in refusal.params[0].
    virtual Status Open(const Deadline& deadline, Response& refusal) = 0;
    // Starts reporting events and losses to `listener`, which must outlive the transport.
    virtual void Start(TransportListener& listener) = 0;
    virtual const ResponderInfo& Responder() const = 0;

    virtual Status SendRequest(const Request& request, const Deadline& deadline) = 0;
    // request.outSize bytes pulled from `source` in the transport's own chunk size.
    // SourceFailed when the source failed; the phase was then abandoned, and a response may
    // still follow. Ok also when the responder ended the phase early with a refusal, which
    // ReadResponse then gives.
    virtual Status SendData(const Request& request, const DataSource& source,
                            const Deadline& deadline) = 0;
    // Ok also when the responder answered without a data phase (Begin is then never
    // called). SinkFailed when the target refused the phase and it was cancelled: the session
    // is then out of step.
    virtual Status ReceiveData(const Request& request, DataInTarget& target,
                               Deadline& deadline) = 0;
    virtual Status ReadResponse(const Request& request, Response& response,
                                const Deadline& deadline) = 0;

    // Waits, until the end of `deadline`, for the events the device has already sent to reach
    // the listener. A transport whose events cannot lag behind its responses does nothing.
    virtual void DeliverWaitingEvents(const Deadline& deadline) { (void)deadline; }
    // After a step that timed out before any of its answer had come: reads and drops what the
    // responder still sends for `transactionId`, to its response, by `deadline`. Ok when the
    // session is in step again; NotConnected from a transport that cannot tell.
    virtual Status CatchUp(uint32_t transactionId, Deadline& deadline) {
        (void)transactionId, (void)deadline;
        return Status::NotConnected;
    }
    // What the link itself said of the last failure (a socket error, an HRESULT), or "".
    virtual std::string LastFailure() const { return std::string(); }

    // From any thread: a pending step returns Closed at once, and no listener call starts
    // after this returns (unless called from the listener itself).
    virtual void Shutdown() = 0;
};

} // namespace ptp
