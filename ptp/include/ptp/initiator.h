// The initiator (host) side of a PTP session over any transport: OpenSession/CloseSession,
// transaction IDs, one call per operation with a streamed data phase in either direction,
// deadlines, events, and typed calls that decode their datasets.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/lock.h"

#include "ptp/codes.h"
#include "ptp/connection.h"
#include "ptp/datasets.h"
#include "ptp/status.h"
#include "ptp/transport.h"

namespace ptp {

struct InitiatorConfig {
    int timeoutMs = 10000;                    // longest silence of the responder within a call
    uint64_t floorBytesPerSecond = 64 * 1024; // a call ends by timeoutMs + its bytes at this rate
    int handshakeTimeoutMs = 10000;           // bound on the whole connection handshake
    uint64_t maxDatasetSize = 1u << 20;       // bound for datasets read by the typed calls
    uint64_t maxDrainSize = 1u << 20;         // a refused data-in phase up to this is drained
    int busyRetryMs = 0;                      // DeviceBusy is asked again for this long
    int objectResponseMs = 60000;             // a slow card's answer after SendObject's last byte
};

// The outcome of a call. status Ok means the responder answered: `code` is its response code
// and `params` its response parameters. Any other status means no (usable) response: the
// transport closed, timed out, the responder broke the protocol, or the caller's data source
// or sink failed. After Timeout, Malformed or a cancelled data-in phase the session is out of
// step and every later call returns NotConnected. A Refused handshake carries the device's
// reason in params[0].
struct Result {
    Status status = Status::Ok;
    uint16_t code = 0;
    Params params;

    bool ok() const { return status == Status::Ok && code == RC_OK; }
    static Result Of(Status s) {
        Result r;
        r.status = s;
        return r;
    }
};

// Data sent with an operation: `size` bytes pulled from `read` in pieces (never all at once).
// With `rewind`, the phase can be sent again from its start: a DeviceBusy answer is retried.
struct DataOut {
    DataOut() = default;
    DataOut(uint64_t bytes, DataSource source, std::function<bool()> again = nullptr)
        : size(bytes), read(std::move(source)), rewind(std::move(again)) {}

    uint64_t size = 0;
    DataSource read;
    std::function<bool()> rewind;
};

// Data sent from `bytes` in memory, which must outlive the call; it can be sent again.
DataOut DataOutOf(const std::vector<uint8_t>& bytes);

// Data received from an operation, pushed to `write`. A phase longer than maxSize, or one the
// sink refuses, makes the call return SinkFailed: up to `drainUpTo` (by default
// InitiatorConfig::maxDrainSize) it is drained and the session stays in step; a longer one is
// cancelled.
struct DataIn {
    uint64_t maxSize = 0;
    DataSink write;
    uint64_t drainUpTo = 0; // 0: the configured bound
};

// One transaction as it went, for a trace: never the data itself.
struct CallRecord {
    uint16_t code = 0;
    Params params;
    uint64_t dataOut = 0; // bytes of a data-out phase
    uint64_t dataIn = 0;  // bytes a data-in phase announced
    bool dataInBegan = false;
    Result result;
    int durationMs = 0;
    std::string failure;           // the transport's own account of a failure, when it has one
    std::string note;              // what the dataset's reading noticed (read as far as it went)
    std::vector<uint8_t> rejected; // the first bytes of a dataset that could not be read
};

class Initiator : private TransportListener {
  public:
    using EventHandler = std::function<void(const Event&)>;
    using LostHandler = std::function<void(Link link, Status status)>;

    explicit Initiator(InitiatorConfig config = InitiatorConfig());
    ~Initiator() override; // Shutdown(); never destroy it from inside a handler
    Initiator(const Initiator&) = delete;
    Initiator& operator=(const Initiator&) = delete;

    // Handlers run on the transport's event thread; set them before connecting. The lost
    // handler is called at most once, for the first loss without Shutdown or CloseSession
    // being called first.
    void SetEventHandler(EventHandler handler) { onEvent_ = std::move(handler); }
    void SetLostHandler(LostHandler handler) { onLost_ = std::move(handler); }
    // Told of every transaction once it ended, on the calling thread.
    void SetCallObserver(std::function<void(const CallRecord&)> observer) {
        onCall_ = std::move(observer);
    }
    // Hands the events the responder has already sent to the event handler before returning
    // (bounded), once after each failed call: a failure they explain is then reported after
    // them. Holds no lock while it waits.
    void DeliverWaitingEvents();
    // How to reach the responder again when the session has fallen out of step (Recover);
    // without it such a session stays unusable.
    void SetReconnect(std::function<std::unique_ptr<Transport>()> reconnect) {
        reconnect_ = std::move(reconnect);
    }

    // Opens `transport` within handshakeTimeoutMs and starts its events.
    Result Attach(std::unique_ptr<Transport> transport);

    Result OpenSession(uint32_t sessionId = 1);
    // Sends CloseSession. While another thread's call is pending it ends the session at once
    // instead (Shutdown: that call returns Closed) and returns Closed.
    Result CloseSession();
    // From any thread: closes the transport; a pending call returns Closed.
    void Shutdown();

    // One transaction: operation request, optional data phase (out or in, not both), response.
    Result Transact(uint16_t code, const Params& params, const DataOut* out = nullptr,
                    const DataIn* in = nullptr);
    // Data-in into a vector bounded by maxSize.
    Result TransactIn(uint16_t code, const Params& params, std::vector<uint8_t>& data,
                      uint64_t maxSize);

    // Typed operations. Status Malformed when the dataset does not decode.
    Result GetDeviceInfo(DeviceInfo& info);
    Result GetStorageIDs(std::vector<uint32_t>& ids);
    Result GetStorageInfo(uint32_t storageId, StorageInfo& info);
    Result GetNumObjects(uint32_t storageId, uint32_t format, uint32_t parent, uint32_t& count);
    Result GetObjectHandles(uint32_t storageId, uint32_t format, uint32_t parent,
                            std::vector<uint32_t>& handles);
    Result GetObjectInfo(uint32_t handle, ObjectInfo& info);
    Result GetObject(uint32_t handle, const DataIn& in);
    // `format` only narrows handle 0xFFFFFFFF (every object).
    Result DeleteObject(uint32_t handle, uint32_t format = 0);
    // On success params are the responder's StorageID, Parent and new ObjectHandle.
    Result SendObjectInfo(uint32_t storageId, uint32_t parent, const ObjectInfo& info);
    Result SendObject(const DataOut& out);
    Result GetDevicePropDesc(uint16_t property, DevicePropDesc& desc);
    // MTP: one property (0xFFFFFFFF: all) of the objects that `handle` and `depth` select
    // (0xFFFFFFFF and 0xFFFFFFFF: every object), narrowed to `format` (0: any); a dataset
    // of up to `maxSize` bytes, handed over element by element.
    Result GetObjectPropList(uint32_t handle, uint32_t format, uint32_t property, uint32_t depth,
                             uint64_t maxSize, const std::function<bool(const ObjectProp&)>& each);
    Result GetDevicePropValue(uint16_t property, uint16_t dataType, PropValue& value);

    // Brings a session that fell out of step (a timeout, a stopped data phase, an answer out
    // of order) back: after a call that timed out before any of its answer came, the responder
    // is given up to timeoutMs more (and a late data phase's bytes at the floor rate) to finish
    // it and what it sends is dropped; otherwise, or when it does not, the link is made again
    // and the session opened anew. Ok when calls can run again; a session in step is left as
    // it is. `reopened` tells whether the session is a new one.
    Result Recover(bool* reopened = nullptr);

    bool connected() const { return connected_; }
    // True after a call that left the session out of step, until Recover.
    bool outOfStep() const { return broken_ && connected_ && !stopping_; }
    // What the link itself said of its last failure (a socket error, an HRESULT), or "".
    std::string LastFailure() const;
    // True once a loss has been reported to the lost handler (or is being reported).
    bool lost() const { return lostReported_; }
    bool sessionOpen() const { return sessionOpen_; }
    // What the responder said about itself while connecting.
    const ResponderInfo& responder() const;

  private:
    struct CallScope;
    // Runs on a finished call before the observer hears of it: reads the dataset.
    using Finish = std::function<void(CallRecord&)>;

    void OnEvent(const Event& event) override;
    void OnLost(Link link, Status status) override;

    // One call at a time: BeginCall waits for the running one, TryBeginCall does not.
    void BeginCall();
    bool TryBeginCall();
    void EndCall();

    // The call `Transact` makes, its gate held: asked again while the responder is busy.
    Result Call(uint16_t code, const Params& params, const DataOut* out, const DataIn* in,
                const Finish& finish);
    // OpenSession, the gate held.
    Result BeginSession(uint32_t sessionId);
    // One transaction as it goes over the link: request, data phase, response.
    Result Exchange(CallRecord& record, const DataOut* out, const DataIn* in);
    // A data-in dataset, bounded by `maxSize` (0: maxDatasetSize); Malformed when `unpack`
    // rejects it, which may leave a note on what it read.
    Result TransactDataset(uint16_t code, const Params& params,
                           const std::function<bool(const uint8_t*, size_t, std::string&)>& unpack,
                           uint64_t maxSize = 0);
    Result Fail(Status status);
    // Why no call can run now, or Ok when one can.
    Status WhyUnusable() const;
    Deadline OperationDeadline(uint64_t bytes) const;
    // Replaces the transport, shut down first, with the one `make` gives, opened within
    // handshakeTimeoutMs and started; a session that was open is gone with the old one. The
    // gate is held.
    Status Reattach(const std::function<std::unique_ptr<Transport>()>& make, Response& refusal);
    // The transport, taken out once no Shutdown from another thread uses it.
    std::unique_ptr<Transport> TakeTransport();
    void ReportLost(Link link, Status status);
    uint32_t NextTransactionId();

    InitiatorConfig config_;
    EventHandler onEvent_;
    LostHandler onLost_;
    std::function<void(const CallRecord&)> onCall_;
    std::function<std::unique_ptr<Transport>()> reconnect_;

    mutable common::Lock linkLock_; // transport_ while it is set, taken or shut down
    common::Signal shutDown_;
    std::unique_ptr<Transport> transport_;
    int shuttingDown_ = 0; // Shutdowns using transport_ outside the lock

    common::Lock gateLock_;
    common::Signal gateFree_;
    bool busy_ = false; // a call runs

    std::atomic<bool> connected_{false};
    std::atomic<bool> sessionOpen_{false};
    std::atomic<bool> broken_{false};
    std::atomic<bool> stopping_{false};
    std::atomic<bool> lostReported_{false};
    std::atomic<bool> closing_{false}; // CloseSession was sent: a closing peer is no loss
    uint32_t nextTid_ = 0;
    uint32_t sessionId_ = 0;
    uint32_t lastTid_ = 0;   // the transaction of the last call
    bool timedOut_ = false;  // ... which failed by a timeout
    bool delivered_ = false; // ... whose waiting events were delivered
};

} // namespace ptp
