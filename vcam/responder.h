// The virtual camera's PTP responder: serves one PTP/IP session over a command and an event
// connection, with the card and the faults of its profile. The same class runs inside the
// vcam server (TCP) and embedded in the driver library (in-memory pipes, on the driver's
// thread):
//
//   auto [hostCommand, cameraCommand] = ptp::MakePipePair();
//   auto [hostEvent, cameraEvent] = ptp::MakePipePair();
//   vcam::Card card(folder, profile.capacity, profile.freeSpace);
//   vcam::Responder responder(profile, card);
//   std::thread camera([&] { responder.Serve(*cameraCommand, *cameraEvent); });
//   initiator.Connect(std::move(hostCommand), [&] { return std::move(hostEvent); });
//   ...
//   initiator.Shutdown(); // the responder sees the pipes close and Serve returns
//   camera.join();
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ptp/connection.h"
#include "ptp/datasets.h"
#include "ptp/ptpip.h"
#include "vcam/card.h"
#include "vcam/profile.h"

namespace vcam {

class Responder {
  public:
    using EventAcceptor = std::function<ptp::ConnectionPtr()>;
    using Log = std::function<void(const std::string& line)>;

    // The card must outlive the responder; it may be shared by responders that run one after
    // another (handles then stay stable across sessions).
    // `externalStop` (optional) is a flag that ends Serve like Stop() does, such as a
    // server's flag set from a signal handler.
    Responder(const Profile& profile, Card& card, const std::atomic<bool>* externalStop = nullptr);

    // Serves one session: handshake on `command`, then Init Event on the connection that
    // `acceptEvent` returns, then operations until the initiator closes, a fault drops the
    // connections, the initiator breaks the protocol, or Stop() is called. Both connections
    // are shut down on return. Returns Ok when the initiator closed, Closed when a fault or
    // Stop() ended it, Malformed on a protocol error, Timeout when the initiator went silent
    // within a transaction.
    ptp::Status Serve(ptp::Connection& command, const EventAcceptor& acceptEvent);
    ptp::Status Serve(ptp::Connection& command, ptp::Connection& event);

    // From any thread: Serve returns within 200 ms when idle, or once the operation under way
    // ends (at the latest after the peer timeout). Shutting its connections down is faster.
    void Stop() { stop_ = true; }
    // Optional trace of operations and faults, one line each (for the server's output).
    void SetLog(Log log) { log_ = std::move(log); }
    // The longest silence accepted from the initiator inside a transaction or handshake.
    void SetPeerTimeout(int timeoutMs) { peerTimeoutMs_ = timeoutMs; }

  private:
    enum class Next { Continue, Drop, Fail };
    struct Request;
    struct Pending {
        bool valid = false;
        bool folder = false;
        uint32_t handle = 0;
        uint32_t parent = 0;
        std::string name;
        uint16_t format = 0;
        uint32_t size = 0;
    };

    ptp::Status Run(ptp::Connection& command, const std::function<ptp::Connection*()>& event);
    Next Handle(const ptp::OperationRequest& request);
    Next Dispatch(Request& request);

    Next OpenSession(Request& r);
    Next GetDeviceInfo(Request& r);
    Next GetStorageIDs(Request& r);
    Next GetStorageInfo(Request& r);
    Next GetNumObjects(Request& r);
    Next GetObjectHandles(Request& r);
    Next GetObjectInfo(Request& r);
    Next GetObject(Request& r);
    Next SendObjectInfo(Request& r);
    Next SendObject(Request& r);
    Next GetDevicePropDesc(Request& r);
    Next GetDevicePropValue(Request& r);

    // Data phases and answers.
    Next Respond(Request& r, uint16_t code, std::vector<uint32_t> params = {});
    Next SendData(Request& r, const std::vector<uint8_t>& data);
    // Reads the Start Data that opens a data-out phase (or the Cancel that replaces it).
    Next ReadStartData(Request& r, ptp::StartData& start);
    // Receives a data-out phase into `data` (bounded); drains it when `data` is null.
    Next ReceiveData(Request& r, std::vector<uint8_t>* data, size_t maxSize, bool& tooBig);
    Next Drain(Request& r);

    // Faults.
    bool Fires(const Trigger& trigger, uint16_t code, uint32_t occurrence) const;
    void SendEvent(uint16_t code, uint32_t transactionId, std::vector<uint32_t> params);
    Next PowerDown(uint32_t transactionId);
    void RemoveCard(uint32_t transactionId);
    void DropConnections();
    // Counts SendObject payload bytes and fires the byte-triggered faults.
    Next CountBytes(uint32_t transactionId, uint64_t bytes, uint16_t& overrideCode);
    void Pause(uint32_t milliseconds);
    void Trace(const std::string& line);
    bool stopped() const { return stop_ || (externalStop_ && *externalStop_); }

    bool PropertyListed(uint16_t code) const;
    bool BuildPropDesc(uint16_t code, ptp::DevicePropDesc& desc) const;
    ptp::ObjectInfo InfoOf(const CardObject& object) const;
    uint16_t CheckStorage(uint32_t storageId, bool allowAll) const;
    // Handles matching GetNumObjects/GetObjectHandles parameters, or the refusal code.
    uint16_t Select(const Request& r, std::vector<uint32_t>& handles) const;

    const Profile profile_;
    Card& card_;
    ptp::Connection* command_ = nullptr;
    ptp::Connection* event_ = nullptr;
    std::mutex eventMutex_; // events and probe answers share the event connection
    std::atomic<bool> stop_{false};
    const std::atomic<bool>* externalStop_;
    Log log_;
    int peerTimeoutMs_ = 10000;

    // Session state; reset for every connection.
    bool sessionOpen_ = false;
    bool cardPresent_ = true;
    Pending pending_;
    std::unique_ptr<Upload> upload_; // the file SendObject is receiving
    std::map<uint16_t, uint32_t> occurrences_;
    uint64_t bytesReceived_ = 0;
    bool powerDownFired_ = false, storeRemovedFired_ = false, dropFired_ = false,
         responseFired_ = false;
};

} // namespace vcam
