// The initiator (host) side of a PTP/IP session: handshake over a command and an event
// connection, OpenSession/CloseSession, one call per operation with a streamed data phase in
// either direction, and a background reader for the event connection.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ptp/codes.h"
#include "ptp/connection.h"
#include "ptp/datasets.h"
#include "ptp/ptpip.h"
#include "ptp/status.h"

namespace ptp {

struct InitiatorConfig {
    Guid guid{}; // keep one per installation
    std::string friendlyName = "Vandrel";
    int timeoutMs = 10000;              // longest silence of the responder within a call
    size_t dataChunk = 1u << 20;        // payload bytes per Data packet sent
    uint64_t maxDatasetSize = 1u << 20; // bound for datasets read by the typed calls
};

// The outcome of a call. status Ok means the responder answered: `code` is its response code
// and `params` its response parameters. Any other status means no (usable) response: the
// transport closed, timed out, the responder broke the protocol, or the caller's data source
// or sink failed. After Timeout or Malformed the session is out of step and every later call
// returns NotConnected. A Refused handshake carries the Init Fail reason in params[0].
struct Result {
    Status status = Status::Ok;
    uint16_t code = 0;
    std::vector<uint32_t> params;

    bool ok() const { return status == Status::Ok && code == RC_OK; }
    static Result Of(Status s) {
        Result r;
        r.status = s;
        return r;
    }
};

// Data sent with an operation: `size` bytes pulled from `read` in pieces (never all at once).
struct DataOut {
    uint64_t size = 0;
    DataSource read;
};

// Data received from an operation, pushed to `write`; a phase longer than maxSize is refused
// (drained, and the call returns SinkFailed).
struct DataIn {
    uint64_t maxSize = 0;
    DataSink write;
};

struct Event {
    uint16_t code = 0;
    uint32_t transactionId = 0;
    std::vector<uint32_t> params;
};

enum class Link { Command, Event };

class Initiator {
  public:
    using EventHandler = std::function<void(const Event&)>;
    using LostHandler = std::function<void(Link link, Status status)>;
    // Opens the event connection once the command connection's handshake succeeded.
    using EventConnector = std::function<ConnectionPtr()>;

    explicit Initiator(InitiatorConfig config = InitiatorConfig());
    ~Initiator(); // Shutdown(); never destroy it from inside a handler
    Initiator(const Initiator&) = delete;
    Initiator& operator=(const Initiator&) = delete;

    // Handlers run on the event reader thread; set them before Connect. The lost handler is
    // called at most once, for the first connection lost without Shutdown or CloseSession
    // being called first.
    void SetEventHandler(EventHandler handler) { onEvent_ = std::move(handler); }
    void SetLostHandler(LostHandler handler) { onLost_ = std::move(handler); }

    // Handshake: Init Command Request/Ack on `command`, then Init Event Request/Ack on the
    // connection `openEvent` returns; starts the event reader.
    Result Connect(ConnectionPtr command, const EventConnector& openEvent);
    // The same over TCP: both connections to host:port.
    Result ConnectTcp(const std::string& host, uint16_t port, int connectTimeoutMs);

    Result OpenSession(uint32_t sessionId = 1);
    // Sends CloseSession; if another thread's call is still pending, shuts the transport
    // down instead (that call then returns Closed) and returns Closed.
    Result CloseSession();
    // Closes both connections and stops the event reader; a pending call returns Closed.
    void Shutdown();

    // One transaction: operation request, optional data phase (out or in, not both), response.
    Result Transact(uint16_t code, const std::vector<uint32_t>& params,
                    const DataOut* out = nullptr, const DataIn* in = nullptr);
    // Data-in into a vector bounded by maxSize.
    Result TransactIn(uint16_t code, const std::vector<uint32_t>& params,
                      std::vector<uint8_t>& data, uint64_t maxSize);

    // Typed operations. Status Malformed when the dataset does not decode.
    Result GetDeviceInfo(DeviceInfo& info);
    Result GetStorageIDs(std::vector<uint32_t>& ids);
    Result GetStorageInfo(uint32_t storageId, StorageInfo& info);
    Result GetNumObjects(uint32_t storageId, uint32_t format, uint32_t parent, uint32_t& count);
    Result GetObjectHandles(uint32_t storageId, uint32_t format, uint32_t parent,
                            std::vector<uint32_t>& handles);
    Result GetObjectInfo(uint32_t handle, ObjectInfo& info);
    Result GetObject(uint32_t handle, const DataIn& in);
    // On success params are the responder's StorageID, Parent and new ObjectHandle.
    Result SendObjectInfo(uint32_t storageId, uint32_t parent, const ObjectInfo& info);
    Result SendObject(const DataOut& out);
    Result GetDevicePropDesc(uint16_t property, DevicePropDesc& desc);
    Result GetDevicePropValue(uint16_t property, uint16_t dataType, PropValue& value);

    bool connected() const { return connected_; }
    bool sessionOpen() const { return sessionOpen_; }
    // What the responder said about itself in its Init Command Ack.
    const InitCommandAck& responder() const { return ack_; }

  private:
    Result Fail(Status status);
    // A data-in dataset, bounded by maxDatasetSize; Malformed when `unpack` rejects it.
    Result TransactDataset(uint16_t code, const std::vector<uint32_t>& params,
                           const std::function<bool(const uint8_t*, size_t)>& unpack);
    Result TransactLocked(uint16_t code, const std::vector<uint32_t>& params, const DataOut* out,
                          const DataIn* in);
    Result ReadResponse(uint32_t tid, const DataIn* in);
    void EventLoop();
    void ReportLost(Link link, Status status);
    uint32_t NextTransactionId();

    InitiatorConfig config_;
    ConnectionPtr command_;
    ConnectionPtr event_;
    InitCommandAck ack_;
    EventHandler onEvent_;
    LostHandler onLost_;

    std::mutex callMutex_; // one transaction at a time
    std::mutex linkMutex_; // guards command_ and event_ while they are set or shut down
    std::atomic<bool> connected_{false};
    std::atomic<bool> sessionOpen_{false};
    std::atomic<bool> broken_{false};
    std::atomic<bool> stopping_{false};
    std::atomic<bool> lostReported_{false};
    std::atomic<bool> closing_{false}; // CloseSession was sent: a closing peer is no loss
    std::atomic<bool> busy_{false};
    uint32_t nextTid_ = 0;
    std::thread eventThread_;
};

} // namespace ptp
