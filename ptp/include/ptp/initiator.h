// The initiator (host) side of a PTP session over any transport: OpenSession/CloseSession,
// transaction IDs, one call per operation with a streamed data phase in either direction,
// deadlines, events, and typed calls that decode their datasets.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ptp/codes.h"
#include "ptp/connection.h"
#include "ptp/datasets.h"
#include "ptp/status.h"
#include "ptp/transport.h"
#include "ptp/watchdog.h"

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
// sink refuses, makes the call return SinkFailed: up to InitiatorConfig::maxDrainSize it is
// drained (the session stays in step), a longer one is cancelled.
struct DataIn {
    uint64_t maxSize = 0;
    DataSink write;
};

// One transaction as it went, for a trace: never the data itself.
struct CallRecord {
    uint16_t code = 0;
    Params params;
    uint64_t dataOut = 0; // bytes of a data-out phase
    uint64_t dataIn = 0;  // bytes a data-in phase announced
    Result result;
    int durationMs = 0;
    std::string failure; // the transport's own account of a failure, when it has one
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
    // (bounded): a failure they explain is then reported after them.
    void DeliverWaitingEvents();

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

    // After a call that timed out before any of its answer came: waits up to timeoutMs more
    // (and a late data phase's bytes at the floor rate) for the responder to finish it,
    // dropping what it sends. Ok when it did: the session is usable again.
    Result Resume();

    bool connected() const { return connected_; }
    // True once a loss has been reported to the lost handler (or is being reported).
    bool lost() const { return lostReported_; }
    bool sessionOpen() const { return sessionOpen_; }
    // What the responder said about itself while connecting.
    const ResponderInfo& responder() const;

  private:
    struct CallScope;

    void OnEvent(const Event& event) override;
    void OnLost(Link link, Status status) override;

    // One call at a time: BeginCall waits for the running one, TryBeginCall does not.
    void BeginCall();
    bool TryBeginCall();
    void EndCall();

    Result Fail(Status status);
    // Why no call can run now, or Ok.
    Status Unusable() const;
    Deadline OperationDeadline(uint64_t bytes) const;
    // A data-in dataset, bounded by maxDatasetSize; Malformed when `unpack` rejects it.
    Result TransactDataset(uint16_t code, const Params& params,
                           const std::function<bool(const uint8_t*, size_t)>& unpack);
    Result TransactLocked(uint16_t code, const Params& params, const DataOut* out,
                          const DataIn* in);
    // Runs `attempt` again while the responder answers DeviceBusy, within busyRetryMs.
    Result AskWhileBusy(const std::function<Result()>& attempt, const DataOut* out);
    Result TransactStep(uint16_t code, const Params& params, const DataOut* out, const DataIn* in,
                        CallRecord& record);
    // Runs `call` and tells the call observer of it.
    Result Observed(uint16_t code, const Params& params, uint64_t dataOut,
                    const std::function<Result(CallRecord&)>& call);
    // OpenSession or CloseSession: on the wire, or asked of a transport that owns the session.
    Result SessionOperation(uint16_t code, const Params& params);
    void ReportLost(Link link, Status status);
    uint32_t NextTransactionId();
    // One transport step under the watchdog, when the transport needs one.
    template <typename Step> Status Watched(const Deadline& deadline, Step step);

    InitiatorConfig config_;
    EventHandler onEvent_;
    LostHandler onLost_;
    std::function<void(const CallRecord&)> onCall_;
    std::unique_ptr<Transport> transport_;
    std::mutex linkMutex_; // guards transport_ while it is set or shut down

    std::mutex gateMutex_;
    std::condition_variable gateFree_;
    bool busy_ = false; // a call runs; guarded by gateMutex_

    std::atomic<bool> connected_{false};
    std::atomic<bool> sessionOpen_{false};
    std::atomic<bool> broken_{false};
    std::atomic<bool> stopping_{false};
    std::atomic<bool> lostReported_{false};
    std::atomic<bool> closing_{false}; // CloseSession was sent: a closing peer is no loss
    uint32_t nextTid_ = 0;
    bool lastDataIn_ = false;            // the last transaction's data-in phase began
    std::unique_ptr<Watchdog> watchdog_; // destroyed before the transport it aborts
    uint32_t lastTid_ = 0;               // the transaction of the last call
    bool timedOut_ = false;              // ... which failed by a timeout
};

} // namespace ptp
