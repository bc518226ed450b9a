// Initiator session: transaction IDs, calls with streamed data phases and their deadlines,
// events and losses from the transport. Nothing here knows which transport it talks to.
#include "ptp/initiator.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace ptp {
namespace {

// The caller's DataIn as the transport sees it.
class SinkTarget : public DataInTarget {
  public:
    SinkTarget(const DataIn& in, uint64_t maxDrain) : in_(in), maxDrain_(maxDrain) {}
    bool Begin(uint64_t total) override {
        began_ = true;
        total_ = total;
        refused_ = total != kDataSizeUnknown && total > in_.maxSize;
        return !refused_;
    }
    bool Write(const uint8_t* data, size_t size) override {
        // A phase of unknown size is held to the bound as its bytes come.
        taken_ += size;
        refused_ = refused_ || taken_ > in_.maxSize || !in_.write(data, size);
        return !refused_;
    }
    bool Drain(uint64_t total) override { return total <= maxDrain_; }
    bool refused() const { return refused_; }
    bool began() const { return began_; }
    uint64_t total() const { return total_; }

  private:
    const DataIn& in_;
    const uint64_t maxDrain_;
    uint64_t taken_ = 0;
    bool refused_ = false;
    bool began_ = false;
    uint64_t total_ = 0;
};

// DeviceBusy is asked again after these pauses, doubling up to the last.
const int kFirstBusyPauseMs = 25;
const int kLastBusyPauseMs = 400;
// How long a failure waits for events the responder sent before it.
const int kWaitingEventsMs = 500;
// A dataset that cannot be read is kept this far for the call's record.
const size_t kRejectedBytes = 256;

Result Answer(const Response& response, Status status) {
    Result result;
    result.status = status;
    result.code = response.code;
    result.params = response.params;
    return result;
}

Result Ok() {
    Result result;
    result.code = RC_OK;
    return result;
}

} // namespace

// Holds the call gate for one call (BeginCall before it is made).
struct Initiator::CallScope {
    Initiator& session;
    ~CallScope() { session.EndCall(); }
};

Initiator::Initiator(InitiatorConfig config) : config_(std::move(config)) {}

Initiator::~Initiator() {
    Shutdown();
    std::unique_lock<common::Lock> hold(linkLock_);
    while (shuttingDown_)
        shutDown_.Wait(linkLock_, common::kForever);
}

void Initiator::BeginCall() {
    std::unique_lock<common::Lock> hold(gateLock_);
    while (busy_)
        gateFree_.Wait(gateLock_, common::kForever);
    busy_ = true;
}

bool Initiator::TryBeginCall() {
    std::lock_guard<common::Lock> hold(gateLock_);
    if (busy_)
        return false;
    busy_ = true;
    return true;
}

void Initiator::EndCall() {
    {
        std::lock_guard<common::Lock> hold(gateLock_);
        busy_ = false;
    }
    gateFree_.WakeAll();
}

const ResponderInfo& Initiator::responder() const {
    static const ResponderInfo none;
    return transport_ ? transport_->Responder() : none;
}

Result Initiator::Attach(std::unique_ptr<Transport> transport) {
    if (!transport)
        return Result::Of(Status::NotConnected);
    BeginCall();
    CallScope scope{*this};
    if (connected_)
        return Result::Of(Status::Error); // one transport per session
    Response refusal;
    const Status status = Reattach([&] { return std::move(transport); }, refusal);
    Result result = Result::Of(status);
    if (status == Status::Ok)
        result.code = RC_OK;
    else if (status == Status::Refused)
        result.params = refusal.params;
    return result;
}

void Initiator::Shutdown() {
    Transport* transport = nullptr;
    {
        std::lock_guard<common::Lock> hold(linkLock_);
        stopping_ = true;
        transport = transport_.get();
        if (transport)
            ++shuttingDown_;
    }
    // Outside the lock: the transport may wait for a listener call that shuts down too.
    if (transport) {
        transport->Shutdown();
        {
            std::lock_guard<common::Lock> hold(linkLock_);
            --shuttingDown_;
        }
        shutDown_.WakeAll();
    }
    connected_ = false;
    sessionOpen_ = false;
}

std::unique_ptr<Transport> Initiator::TakeTransport() {
    std::unique_lock<common::Lock> hold(linkLock_);
    // A Shutdown from another thread may be using it.
    while (shuttingDown_)
        shutDown_.Wait(linkLock_, common::kForever);
    return std::move(transport_);
}

std::string Initiator::LastFailure() const {
    std::lock_guard<common::Lock> hold(linkLock_);
    return transport_ ? transport_->LastFailure() : std::string();
}

uint32_t Initiator::NextTransactionId() {
    uint32_t tid = nextTid_;
    nextTid_ = nextTid_ >= 0xFFFFFFFEu ? 1 : nextTid_ + 1;
    return tid;
}

void Initiator::DeliverWaitingEvents() {
    // Only the calling thread replaces the transport, and a Shutdown from another thread ends
    // the wait at once: no lock is held across it.
    if (delivered_ || !transport_ || !connected_)
        return;
    delivered_ = true;
    transport_->DeliverWaitingEvents(Deadline(kWaitingEventsMs, kWaitingEventsMs, 0));
}

Result Initiator::Fail(Status status) {
    // Whatever the responder still sends for this call would be taken for the next one.
    broken_ = true;
    timedOut_ = status == Status::Timeout;
    // A link that broke under a call is lost now, not when the event reader next looks: the
    // caller may decide by it as soon as the call returns. A camera that powers down says so
    // on its event link just before the command link goes: the loss is reported after that.
    if (status == Status::Closed || status == Status::Error) {
        DeliverWaitingEvents();
        ReportLost(Link::Command, status);
    }
    return Result::Of(status);
}

Status Initiator::WhyUnusable() const {
    if (stopping_)
        return Status::Closed;
    return !connected_ || broken_ ? Status::NotConnected : Status::Ok;
}

Deadline Initiator::OperationDeadline(uint64_t bytes) const {
    Deadline deadline(config_.timeoutMs, config_.timeoutMs, config_.floorBytesPerSecond);
    deadline.Allow(bytes);
    return deadline;
}

Result Initiator::Transact(uint16_t code, const Params& params, const DataOut* out,
                           const DataIn* in) {
    BeginCall();
    CallScope scope{*this};
    return Call(code, params, out, in, nullptr);
}

Result Initiator::Call(uint16_t code, const Params& params, const DataOut* out, const DataIn* in,
                       const Finish& finish) {
    delivered_ = false;
    // A camera busy writing its card or waking up is asked again, a little later each time,
    // within the operation's own bound; an answer that came after data is final.
    const int bound = std::min(config_.busyRetryMs, config_.timeoutMs);
    const Deadline busyFor(bound, bound, 0);
    for (int pauseMs = kFirstBusyPauseMs;; pauseMs = std::min(pauseMs * 2, kLastBusyPauseMs)) {
        const Clock::time_point began = Clock::now();
        CallRecord record;
        record.code = code;
        record.params = params;
        record.dataOut = out ? out->size : 0;
        record.result = Exchange(record, out, in);
        if (finish)
            finish(record);
        if (onCall_) {
            record.durationMs = common::MsSince(began);
            if (record.result.status != Status::Ok)
                record.failure = LastFailure();
            onCall_(record);
        }
        const Result& result = record.result;
        const bool busy = result.status == Status::Ok && result.code == RC_DeviceBusy;
        if (!busy || record.dataInBegan || (out && !out->rewind) || busyFor.WaitMs() < pauseMs)
            return result;
        for (const Deadline pause(pauseMs, pauseMs, 0); !pause.Passed() && !stopping_;)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (out && !out->rewind())
            return result;
    }
}

Result Initiator::Exchange(CallRecord& record, const DataOut* out, const DataIn* in) {
    if (Status why = WhyUnusable(); why != Status::Ok)
        return Result::Of(why);
    if ((out && in) || !record.params.valid())
        return Result::Of(Status::Error);
    Request request;
    request.code = record.code;
    request.transactionId =
        (record.code == OC_OpenSession || !sessionOpen_) ? 0 : NextTransactionId();
    lastTid_ = request.transactionId;
    request.params = record.params;
    request.data = out ? DataDirection::Out : in ? DataDirection::In : DataDirection::None;
    request.outSize = out ? out->size : 0;
    Deadline deadline = OperationDeadline(request.outSize);
    Transport& transport = *transport_;

    Status status = transport.SendRequest(request, deadline);
    if (status != Status::Ok)
        return Fail(status);
    Response response;
    if (out) {
        status = transport.SendData(request, out->read, deadline);
        if (status == Status::SourceFailed) {
            // The phase was abandoned; a responder may still answer it.
            if (transport.ReadResponse(request, response, deadline) != Status::Ok)
                return Fail(Status::SourceFailed);
            return Answer(response, Status::SourceFailed);
        }
        if (status != Status::Ok)
            return Fail(status);
        // A slow card answers long after the last byte; silence elsewhere keeps its bound.
        if (record.code == OC_SendObject)
            deadline = Deadline(std::max(config_.timeoutMs, config_.objectResponseMs));
    }
    bool sinkFailed = false;
    if (in) {
        SinkTarget target(*in, in->drainUpTo ? in->drainUpTo : config_.maxDrainSize);
        status = transport.ReceiveData(request, target, deadline);
        record.dataIn = target.total();
        record.dataInBegan = target.began();
        if (status != Status::Ok)
            return Fail(status);
        sinkFailed = target.refused();
    }
    status = transport.ReadResponse(request, response, deadline);
    if (status != Status::Ok)
        return Fail(status);
    return Answer(response, sinkFailed ? Status::SinkFailed : Status::Ok);
}

Result Initiator::TransactIn(uint16_t code, const Params& params, std::vector<uint8_t>& data,
                             uint64_t maxSize) {
    data.clear();
    DataIn in;
    in.maxSize = maxSize;
    in.write = [&data](const uint8_t* bytes, size_t size) {
        data.insert(data.end(), bytes, bytes + size);
        return true;
    };
    return Transact(code, params, nullptr, &in);
}

Result
Initiator::TransactDataset(uint16_t code, const Params& params,
                           const std::function<bool(const uint8_t*, size_t, std::string&)>& unpack,
                           uint64_t maxSize) {
    std::vector<uint8_t> data;
    DataIn in;
    in.maxSize = maxSize ? maxSize : config_.maxDatasetSize;
    in.write = [&data](const uint8_t* bytes, size_t size) {
        data.insert(data.end(), bytes, bytes + size);
        return true;
    };
    BeginCall();
    CallScope scope{*this};
    return Call(code, params, nullptr, &in, [&](CallRecord& record) {
        if (!record.result.ok() || unpack(data.data(), data.size(), record.note))
            return;
        record.result.status = Status::Malformed;
        record.rejected.assign(data.begin(),
                               data.begin() + std::min<size_t>(data.size(), kRejectedBytes));
    });
}

Result Initiator::OpenSession(uint32_t sessionId) {
    BeginCall();
    CallScope scope{*this};
    return BeginSession(sessionId);
}

Result Initiator::BeginSession(uint32_t sessionId) {
    Result result = Call(OC_OpenSession, {sessionId}, nullptr, nullptr, nullptr);
    if (result.status == Status::Ok &&
        (result.code == RC_OK || result.code == RC_SessionAlreadyOpen)) {
        sessionOpen_ = true;
        closing_ = false;
        nextTid_ = 1;
        sessionId_ = sessionId;
    }
    return result;
}

Result Initiator::CloseSession() {
    if (!TryBeginCall()) {
        // Another thread's call is still running: the session ends now, and that call with it.
        Shutdown();
        return Result::Of(Status::Closed);
    }
    CallScope scope{*this};
    closing_ = true; // a camera may close its connections once the session ends
    Result result = Call(OC_CloseSession, {}, nullptr, nullptr, nullptr);
    sessionOpen_ = false;
    return result;
}

Status Initiator::Reattach(const std::function<std::unique_ptr<Transport>()>& make,
                           Response& refusal) {
    std::unique_ptr<Transport> old = TakeTransport();
    // Shut down deliberately, so no loss is reported of it, and gone before the new one is
    // made: its responder may be the same.
    if (old)
        old->Shutdown();
    old.reset();
    connected_ = false;
    sessionOpen_ = false;
    std::unique_ptr<Transport> fresh = make();
    if (!fresh)
        return Status::NotConnected;
    {
        std::lock_guard<common::Lock> hold(linkLock_);
        transport_ = std::move(fresh);
        if (stopping_)
            transport_->Shutdown();
    }
    Deadline deadline(config_.timeoutMs, config_.handshakeTimeoutMs, 0);
    const Status status = transport_->Open(deadline, refusal);
    if (status != Status::Ok) {
        transport_->Shutdown();
        return status;
    }
    connected_ = true;
    broken_ = false;
    timedOut_ = false;
    transport_->Start(*this);
    return Status::Ok;
}

Result Initiator::Recover(bool* reopened) {
    if (reopened)
        *reopened = false;
    BeginCall();
    CallScope scope{*this};
    if (stopping_ || lostReported_ || !transport_)
        return Result::Of(Status::Closed);
    if (!broken_)
        return Ok();
    // A call that timed out before its answer began: the responder may still finish it.
    if (timedOut_ && connected_) {
        timedOut_ = false;
        Deadline deadline = OperationDeadline(0);
        if (transport_->CatchUp(lastTid_, deadline) == Status::Ok) {
            broken_ = false;
            return Ok();
        }
    }
    if (!reconnect_)
        return Result::Of(Status::NotConnected);
    Response refusal;
    const Status status = Reattach(reconnect_, refusal);
    if (status != Status::Ok) {
        // The responder is not there any more: its link is lost.
        ReportLost(Link::Command, status);
        return Result::Of(status);
    }
    if (reopened)
        *reopened = true;
    return BeginSession(sessionId_ ? sessionId_ : 1);
}

void Initiator::ReportLost(Link link, Status status) {
    if (stopping_ || closing_ || lostReported_.exchange(true))
        return;
    if (onLost_)
        onLost_(link, status);
}

void Initiator::OnEvent(const Event& event) {
    if (onEvent_)
        onEvent_(event);
}

void Initiator::OnLost(Link link, Status status) {
    ReportLost(link, status);
}

} // namespace ptp
