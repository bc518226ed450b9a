// Fault injection: when the profile's faults fire, and how the session carries them out.
#include "faults.h"

#include <algorithm>
#include <chrono>
#include <set>
#include <thread>

#include "ptp/codes.h"
#include "ptp/ptpip_framing.h"
#include "session.h"

namespace vcam {

using namespace ptp;

uint32_t Faults::DelayFor(uint16_t operation) const {
    if (profile_.delayOperation == 0 || profile_.delayOperation == operation)
        return profile_.delayMs;
    return 0;
}

bool Faults::Fires(const Trigger& trigger, uint16_t operation, uint32_t occurrence) const {
    return trigger.operation != 0 && trigger.operation == operation &&
           (trigger.occurrence == 0 || trigger.occurrence == occurrence);
}

bool Faults::Crossed(const Trigger& trigger, bool& fired) const {
    if (fired || trigger.afterBytes == kNever || bytesReceived_ < trigger.afterBytes)
        return false;
    fired = true;
    return true;
}

FaultActions Faults::AtOperation(uint16_t operation) {
    uint32_t occurrence = ++occurrences_[operation];
    FaultActions actions;
    actions.drop = Fires(profile_.drop, operation, occurrence);
    actions.powerDown = Fires(profile_.powerDown, operation, occurrence);
    actions.removeCard = Fires(profile_.storeRemoved, operation, occurrence);
    actions.rescan = Fires(profile_.rescan, operation, occurrence);
    if (Fires(profile_.responseFault, operation, occurrence))
        actions.responseCode = profile_.responseCode;
    // One window of DeviceBusy, from the arrival that opens it.
    if (!busyOpened_ && Fires(profile_.busy, operation, occurrence)) {
        busyOpened_ = true;
        busyUntil_ = common::MsFromNow(profile_.busyMs);
    }
    if (busyOpened_ && operation == profile_.busy.operation && Clock::now() < busyUntil_ &&
        !actions.responseCode)
        actions.responseCode = RC_DeviceBusy;
    actions.staleReply = Fires(profile_.staleReply, operation, occurrence);
    actions.earlyReply = Fires(profile_.earlyReply, operation, occurrence);
    return actions;
}

bool Faults::CorruptsThisRead() const {
    auto count = occurrences_.find(OC_GetObject);
    uint32_t occurrence = count == occurrences_.end() ? 0 : count->second;
    return profile_.corruptRead &&
           (profile_.corruptReadOccurrence == 0 || profile_.corruptReadOccurrence == occurrence);
}

FaultActions Faults::AfterBytes(uint64_t bytes) {
    bytesReceived_ += bytes;
    FaultActions actions;
    actions.drop = Crossed(profile_.drop, dropFired_);
    actions.powerDown = Crossed(profile_.powerDown, powerDownFired_);
    actions.removeCard = Crossed(profile_.storeRemoved, storeRemovedFired_);
    actions.rescan = Crossed(profile_.rescan, rescanFired_);
    if (actions.removeCard)
        actions.responseCode = RC_StoreNotAvailable; // the card went with the bytes
    if (Crossed(profile_.responseFault, responseFired_) && !actions.responseCode)
        actions.responseCode = profile_.responseCode;
    return actions;
}

Session::Next Session::Inject(const FaultActions& actions, uint32_t transactionId,
                              uint16_t& overrideCode) {
    if (actions.drop) {
        Trace("fault: connection dropped");
        DropConnections();
        return Next::Drop;
    }
    if (actions.powerDown && PowerDown(transactionId) == Next::Drop)
        return Next::Drop;
    if (actions.removeCard)
        RemoveCard(transactionId);
    if (actions.rescan)
        Rescan(transactionId);
    if (actions.responseCode && !overrideCode)
        overrideCode = actions.responseCode;
    return Next::Continue;
}

void Session::Pause(uint32_t milliseconds) {
    SleepUntil(common::MsFromNow(milliseconds));
}

void Session::SleepUntil(Clock::time_point due) {
    const auto slice = std::chrono::milliseconds(20); // Stop() is noticed this often
    for (auto now = Clock::now(); now < due && !owner_.stopped(); now = Clock::now())
        std::this_thread::sleep_for(std::min<Clock::duration>(due - now, slice));
}

void Session::EndUpload() {
    if (upload_ && !upload_->committed() && profile_.keepIncomplete) {
        uint64_t written = upload_->written();
        if (upload_->KeepIncomplete(uploadAnnounced_))
            Trace("kept an incomplete object of " + std::to_string(written) + " of " +
                  std::to_string(uploadAnnounced_) + " bytes");
    }
    upload_.reset();
}

void Session::SendEvent(uint16_t code, uint32_t transactionId, std::vector<uint32_t> params) {
    Operation event;
    event.code = code;
    event.transactionId = transactionId;
    event.params = std::move(params);
    std::vector<uint8_t> bytes;
    EncodeEvent(event, bytes);
    std::lock_guard<common::Lock> hold(eventLock_);
    SendPacket(*event_, bytes);
}

Session::Next Session::PowerDown(uint32_t transactionId) {
    Trace("fault: power-down event, reason " + std::to_string(profile_.powerDownReason) +
          ", data " + std::to_string(profile_.powerDownData));
    SendEvent(EC_Vandrel_PowerDown, transactionId,
              {profile_.powerDownReason, profile_.powerDownData});
    if (!profile_.powerDownDisconnect)
        return Next::Continue;
    Pause(profile_.eventLeadMs);
    DropConnections();
    return Next::Drop;
}

void Session::DropConnections() {
    EndUpload(); // a partial file is gone, or kept, before the initiator sees the drop
    command_.Shutdown();
    event_->Shutdown();
}

void Session::Rescan(uint32_t transactionId) {
    std::set<uint32_t> before, after;
    for (const CardObject* object : card_.Objects())
        before.insert(object->handle);
    if (!cardPresent_ || !card_.Scan())
        return;
    for (const CardObject* object : card_.Objects())
        after.insert(object->handle);
    Trace("fault: card read again");
    for (uint32_t handle : after) {
        if (!before.count(handle))
            SendEvent(EC_ObjectAdded, transactionId, {handle});
    }
    for (uint32_t handle : before) {
        if (!after.count(handle))
            SendEvent(EC_ObjectRemoved, transactionId, {handle});
    }
}

void Session::RemoveCard(uint32_t transactionId) {
    Trace("fault: card removed");
    cardPresent_ = false;
    SendEvent(EC_StoreRemoved, transactionId, {profile_.storageId});
    // The event's lead over the failure: real cameras send both at once, and a failure
    // answered at once can overtake the event on its own connection.
    Pause(profile_.eventLeadMs);
}

} // namespace vcam
