// One PTP/IP session of the virtual camera, from the handshake to the last operation: the
// state that lives as long as one pair of connections. Its pieces live in four files:
// responder.cpp (handshake, session loop, data phases), operations.cpp and properties.cpp (one
// handler per operation) and faults.cpp (carrying out the profile's faults).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/lock.h"
#include "faults.h"
#include "packet_reader.h"
#include "ptp/connection.h"
#include "ptp/datasets.h"
#include "ptp/ptpip.h"
#include "vcam/card.h"
#include "vcam/profile.h"
#include "vcam/responder.h"

namespace vcam {

// True for the operations the camera answers (listed in its DeviceInfo).
bool Supports(uint16_t operation);
// "0x100C": codes in traces.
std::string Hex(uint32_t value);

class Session {
  public:
    Session(Responder& owner, ptp::Connection& command);
    ~Session(); // both connections are shut down, a partial upload is gone

    ptp::Status Run(const std::function<ptp::Connection*()>& acceptEvent);

  private:
    enum class Next { Continue, Drop, Fail };

    struct Request {
        uint16_t code = 0;
        uint32_t tid = 0;
        std::vector<uint32_t> params;
        bool dataOut = false;      // a data-out phase follows the request
        bool dataConsumed = false; // ... and has been read
        bool cancelled = false;    // the initiator cancelled that phase
        bool abandoned = false;    // too large to drain: answered at once, then the end
        uint64_t announced = 0;    // the phase's length from its Start Data
        bool earlyReply = false;   // a second answer, ahead of the next request, goes with it

        uint32_t P(size_t i) const { return i < params.size() ? params[i] : 0; }
    };

    // The ObjectInfo a SendObject will complete.
    struct Pending {
        bool valid = false;
        bool folder = false;
        uint32_t handle = 0;
        uint32_t parent = 0;
        std::string name;
        uint16_t format = 0;
        uint32_t size = 0;
    };

    // responder.cpp
    ptp::Status Handshake(const std::function<ptp::Connection*()>& acceptEvent);
    ptp::Status Loop();
    Next Handle(const ptp::OperationRequest& request);
    Next Respond(Request& r, uint16_t code, std::vector<uint32_t> params = {});
    Next SendData(Request& r, const std::vector<uint8_t>& data);
    // Reads the Start Data that opens a data-out phase (or the Cancel that replaces it).
    Next ReadStartData(Request& r, ptp::StartData& start);
    // Receives a data-out phase into `data` (bounded); drains it when `data` is null.
    Next ReceiveData(Request& r, std::vector<uint8_t>* data, size_t maxSize, bool& tooBig);
    Next Drain(Request& r);
    // Marks a phase that is refused and too large to drain; true when it is.
    bool Abandon(Request& r);
    void Trace(const std::string& line) const { owner_.Trace(line); }
    // The initiator's longest silence inside a transaction; for one packet, also its whole.
    ptp::Deadline Silence() const { return ptp::Deadline(owner_.peerTimeoutMs_); }
    ptp::Deadline WholePacket() const {
        return ptp::Deadline(owner_.peerTimeoutMs_, owner_.peerTimeoutMs_, 0);
    }

    // operations.cpp
    Next Dispatch(Request& r);
    Next OpenSession(Request& r);
    Next CloseSession(Request& r);
    Next GetDeviceInfo(Request& r);
    Next GetStorageIDs(Request& r);
    Next GetStorageInfo(Request& r);
    Next GetNumObjects(Request& r);
    Next GetObjectHandles(Request& r);
    Next GetObjectInfo(Request& r);
    Next GetObjectPropList(Request& r);
    Next GetObject(Request& r);
    Next SendObjectInfo(Request& r);
    Next SendObject(Request& r);
    Next GetDevicePropDesc(Request& r);
    Next GetDevicePropValue(Request& r);
    Next DeleteObject(Request& r);
    // With the early-reply fault, a response to the next transaction goes out with `bytes`.
    void AppendEarlyReply(const Request& r, std::vector<uint8_t>& bytes);
    // An operation the profile leaves out: neither listed nor done.
    bool LeftOut(uint16_t operation) const;
    Next SetObjectPropValue(Request& r);
    // Why a new object may not go into `parent` as `info` says; RC_OK when it may.
    uint16_t CheckNewObject(uint32_t parent, const ptp::ObjectInfo& info) const;
    // The folder a camera that decides for itself puts objects in, made when missing.
    bool ImageFolder(uint32_t& parent);
    // Ends the file SendObject was receiving: kept as an incomplete object when the profile
    // keeps them, deleted otherwise. Nothing when it was stored whole.
    void EndUpload();
    // DeviceInfo's DevicePropertiesSupported.
    std::vector<uint16_t> ListedProperties() const;
    bool BuildPropDesc(uint16_t code, ptp::DevicePropDesc& desc) const;
    ptp::ObjectInfo InfoOf(const CardObject& object) const;
    uint16_t CheckStorage(uint32_t storageId, bool allowAll) const;
    // Handles matching GetNumObjects/GetObjectHandles parameters, or the refusal code.
    uint16_t Select(const Request& r, std::vector<uint32_t>& handles) const;

    // faults.cpp
    // Carries out what fired; Drop when the connections are gone. A response code the faults
    // ask for is left in `overrideCode` for the caller to answer.
    Next Inject(const FaultActions& actions, uint32_t transactionId, uint16_t& overrideCode);
    Next PowerDown(uint32_t transactionId);
    void RemoveCard(uint32_t transactionId);
    void Rescan(uint32_t transactionId);
    void SendEvent(uint16_t code, uint32_t transactionId, std::vector<uint32_t> params);
    void DropConnections();
    void Pause(uint32_t milliseconds);
    // Sleeps until `due`, or until the responder is stopped.
    void SleepUntil(Clock::time_point due);

    Responder& owner_;
    const Profile& profile_;
    Card& card_;
    ptp::Connection& command_;
    ptp::Connection* event_ = nullptr;
    common::Lock eventLock_; // events and probe answers share the event connection
    Faults faults_;

    bool sessionOpen_ = false;
    bool cardPresent_ = true;
    Pending pending_;
    std::unique_ptr<Upload> upload_; // the file SendObject is receiving
    uint32_t uploadAnnounced_ = 0;   // ... and the size its ObjectInfo announced
};

} // namespace vcam
