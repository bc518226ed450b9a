// PTP/IP as a transport: the command/data connection and the event connection, over TCP or
// over the in-memory pipes of the embedded camera. A thread reads the event connection,
// answers its probes, and notices when either connection goes away.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/lock.h"
#include "ptp/connection.h"
#include "ptp/ptpip.h"
#include "ptp/transport.h"

namespace ptp {

struct PtpIpConfig {
    Guid guid{};
    std::string friendlyName = "Vandrel";
    int timeoutMs = 10000;                    // silence bound; also of each stalled send
    size_t dataChunk = 1u << 20;              // payload bytes per Data packet sent
    uint64_t floorBytesPerSecond = 64 * 1024; // an event packet may take its bytes at this rate
};

class PtpIpTransport final : public Transport {
  public:
    // Opens a connection; null, with the reason in `status` and `why`, when it cannot.
    using Connector = std::function<ConnectionPtr(Status& status, std::string& why)>;

    // The connectors run only inside Open.
    PtpIpTransport(PtpIpConfig config, Connector openCommand, Connector openEvent);
    ~PtpIpTransport() override; // Shutdown()

    Status Open(const Deadline& deadline, Response& refusal) override;
    void Start(TransportListener& listener) override;
    const ResponderInfo& Responder() const override { return responder_; }
    Status SendRequest(const Request& request, const Deadline& deadline) override;
    Status SendData(const Request& request, const DataSource& source,
                    const Deadline& deadline) override;
    Status ReceiveData(const Request& request, DataInTarget& target, Deadline& deadline) override;
    Status ReadResponse(const Request& request, Response& response,
                        const Deadline& deadline) override;
    void DeliverWaitingEvents(const Deadline& deadline) override;
    std::string LastFailure() const override;
    void Shutdown() override;
    Status CatchUp(uint32_t transactionId, Deadline& deadline) override;

  private:
    // Keeps what went wrong for LastFailure, when the link itself cannot say.
    void Failed(const std::string& why);
    // A handshake step that failed, kept for LastFailure.
    Status Handshake(const char* step, Status status, const Response& refusal);
    // Reads what waits on the command connection before `request` goes out: late replies are
    // dropped, anything else is an answer out of order (Malformed).
    Status DropWaiting(const Request& request, const Deadline& deadline);
    // Puts a new connection in its slot under the link lock; shut at once when Shutdown came
    // first.
    void Hold(ConnectionPtr& slot, ConnectionPtr connection);
    Status Exchange(Connection& connection, const Deadline& deadline, uint32_t expectedType,
                    Packet& answer, Response& refusal);
    // The next Start Data (when `start` may take one) or Operation Response of `request`,
    // skipping a stray empty End Data and probes.
    Status ReadAnswer(const Request& request, const Deadline& deadline, Response& response,
                      StartData* start, bool& isStart);
    Status ReceivePhase(const Request& request, uint64_t total, DataInTarget& target,
                        Deadline& deadline);
    Status Cancel(uint32_t transactionId, const Deadline& deadline, Status result);
    // Ends the call's bookkeeping on a failed step.
    Status Step(Status status);
    void EventLoop();

    const PtpIpConfig config_;
    Connector openCommand_, openEvent_;
    ResponderInfo responder_;
    TransportListener* listener_ = nullptr;

    mutable common::Lock linkLock_; // guards command_ and event_ while set or shut down
    ConnectionPtr command_, event_;
    std::string failure_; // what went wrong that the connections cannot tell
    common::Lock joinLock_;
    std::thread eventThread_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> inCall_{false};            // the command connection is in use: no idle check
    std::atomic<uint64_t> eventBytesHandled_{0}; // event connection bytes seen to their end
    std::atomic<bool> eventsEnded_{false};       // the event reader has returned

    // The last answer timed out before its first byte: what still comes can be dropped whole.
    bool quietTimeout_ = false;
    // The response that came instead of a data-in phase, kept for ReadResponse.
    bool haveResponse_ = false;
    Response early_;
    OperationRequest request_;     // reused, so a call allocates nothing
    std::vector<uint8_t> packet_;  // the packet being sent
    std::vector<uint8_t> body_;    // the control packet being read
    std::vector<uint8_t> scratch_; // data-in pieces
};

// PTP/IP over `command`, with the event connection `openEvent` makes once the command
// connection's handshake succeeded (the embedded camera's pipes); for Initiator::Attach.
std::unique_ptr<Transport> PtpIpOver(const PtpIpConfig& config, ConnectionPtr command,
                                     std::function<ConnectionPtr()> openEvent);
// PTP/IP over TCP: both connections to host:port, each attempt bounded by connectTimeoutMs.
std::unique_ptr<Transport> PtpIpOverTcp(const PtpIpConfig& config, const std::string& host,
                                        uint16_t port, int connectTimeoutMs);

} // namespace ptp
