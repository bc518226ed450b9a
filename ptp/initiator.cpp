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
    SinkTarget(const DataIn& in, uint64_t maxDrain, Watchdog* watchdog, const Deadline& deadline)
        : in_(in), maxDrain_(maxDrain), watchdog_(watchdog), deadline_(deadline) {}
    bool Begin(uint64_t total) override {
        began_ = true;
        total_ = total;
        refused_ = total != kDataSizeUnknown && total > in_.maxSize;
        return !refused_;
    }
    bool Write(const uint8_t* data, size_t size) override {
        Progress();
        // A phase of unknown size is held to the bound as its bytes come.
        taken_ += size;
        refused_ = refused_ || taken_ > in_.maxSize || !in_.write(data, size);
        return !refused_;
    }
    bool Drain(uint64_t total) override {
        Progress();
        return total <= maxDrain_;
    }
    bool refused() const { return refused_; }
    bool began() const { return began_; }
    uint64_t total() const { return total_; }

  private:
    // Each piece that arrives gives the next one the silence bound again.
    void Progress() {
        if (watchdog_)
            watchdog_->Arm(deadline_.WaitMs());
    }

    const DataIn& in_;
    const uint64_t maxDrain_;
    Watchdog* const watchdog_;
    const Deadline& deadline_;
    uint64_t taken_ = 0;
    bool refused_ = false;
    bool began_ = false;
    uint64_t total_ = 0;
};

// DeviceBusy is asked again after these pauses, doubling up to the last.
const int kFirstBusyPauseMs = 25;
const int kLastBusyPauseMs = 400;
// How long a failure waits for events the responder sent before it.
const int kSettleEventsMs = 500;

Result Answer(const Response& response, Status status) {
    Result result;
    result.status = status;
    result.code = response.code;
    result.params = response.params;
    return result;
}

} // namespace

struct Initiator::CallScope {
    Initiator& session;
    ~CallScope() { session.EndCall(); }
};

Initiator::Initiator(InitiatorConfig config) : config_(std::move(config)) {}

Initiator::~Initiator() {
    Shutdown();
}

void Initiator::BeginCall() {
    std::unique_lock<std::mutex> lock(gateMutex_);
    gateFree_.wait(lock, [this] { return !busy_; });
    busy_ = true;
}

bool Initiator::TryBeginCall() {
    std::lock_guard<std::mutex> lock(gateMutex_);
    if (busy_)
        return false;
    busy_ = true;
    return true;
}

void Initiator::EndCall() {
    {
        std::lock_guard<std::mutex> lock(gateMutex_);
        busy_ = false;
    }
    gateFree_.notify_all();
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
    std::unique_ptr<Transport> previous;  // one that never connected
    {
        std::lock_guard<std::mutex> lock(linkMutex_);
        previous = std::move(transport_);
        transport_ = std::move(transport);
        if (stopping_)
            transport_->Shutdown();
    }
    previous.reset();
    Deadline deadline(config_.timeoutMs, config_.handshakeTimeoutMs, 0);
    Response refusal;
    Status status = transport_->Open(deadline, refusal);
    if (status != Status::Ok) {
        transport_->Shutdown();
        Result result = Result::Of(status);
        if (status == Status::Refused)
            result.params = refusal.params;
        return result;
    }
    connected_ = true;
    broken_ = false;
    if (transport_->NeedsWatchdog())
        watchdog_ = std::make_unique<Watchdog>([this] { transport_->Abort(); });
    transport_->Start(*this);
    Result result;
    result.code = RC_OK;
    return result;
}

void Initiator::Shutdown() {
    stopping_ = true;
    {
        std::lock_guard<std::mutex> lock(linkMutex_);
        if (transport_)
            transport_->Shutdown();
    }
    connected_ = false;
    sessionOpen_ = false;
}

uint32_t Initiator::NextTransactionId() {
    uint32_t tid = nextTid_;
    nextTid_ = nextTid_ >= 0xFFFFFFFEu ? 1 : nextTid_ + 1;
    return tid;
}

void Initiator::DeliverWaitingEvents() {
    std::lock_guard<std::mutex> lock(linkMutex_);
    if (transport_ && connected_)
        transport_->SettleEvents(kSettleEventsMs);
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

Status Initiator::Unusable() const {
    if (stopping_)
        return Status::Closed;
    return !connected_ || broken_ ? Status::NotConnected : Status::Ok;
}

Deadline Initiator::OperationDeadline(uint64_t bytes) const {
    Deadline deadline(config_.timeoutMs, config_.timeoutMs, config_.floorBytesPerSecond);
    deadline.Allow(bytes);
    return deadline;
}

template <typename Step> Status Initiator::Watched(const Deadline& deadline, Step step) {
    if (!watchdog_)
        return step();
    watchdog_->Arm(deadline.WaitMs());
    const Status status = step();
    return watchdog_->Disarm() && status != Status::Ok ? Status::Timeout : status;
}

Result Initiator::Transact(uint16_t code, const Params& params, const DataOut* out,
                           const DataIn* in) {
    BeginCall();
    CallScope scope{*this};
    return AskWhileBusy([&] { return TransactLocked(code, params, out, in); }, out);
}

Result Initiator::AskWhileBusy(const std::function<Result()>& attempt, const DataOut* out) {
    // A camera busy writing its card or waking up is asked again, a little later each time,
    // within the operation's own bound; an answer that came after data is final.
    const Clock::time_point start = Clock::now();
    const int bound = std::min(config_.busyRetryMs, config_.timeoutMs);
    int pauseMs = kFirstBusyPauseMs;
    for (;;) {
        lastDataIn_ = false;
        Result result = attempt();
        const bool busy = result.status == Status::Ok && result.code == RC_DeviceBusy;
        if (!busy || lastDataIn_ || (out && !out->rewind) ||
            common::MsSince(start) + pauseMs > bound)
            return result;
        for (const Clock::time_point until = common::MsFromNow(pauseMs);
             Clock::now() < until && !stopping_;)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (out && !out->rewind())
            return result;
        pauseMs = std::min(pauseMs * 2, kLastBusyPauseMs);
    }
}

Result Initiator::Observed(uint16_t code, const Params& params, uint64_t dataOut,
                           const std::function<Result(CallRecord&)>& call) {
    const Clock::time_point start = Clock::now();
    CallRecord record;
    record.code = code;
    record.params = params;
    record.dataOut = dataOut;
    record.result = call(record);
    if (onCall_) {
        record.durationMs = common::MsSince(start);
        if (record.result.status != Status::Ok && transport_)
            record.failure = transport_->LastFailure();
        onCall_(record);
    }
    return record.result;
}

Result Initiator::TransactLocked(uint16_t code, const Params& params, const DataOut* out,
                                 const DataIn* in) {
    return Observed(code, params, out ? out->size : 0, [&](CallRecord& record) {
        return TransactStep(code, params, out, in, record);
    });
}

Result Initiator::TransactStep(uint16_t code, const Params& params, const DataOut* out,
                               const DataIn* in, CallRecord& record) {
    if (Status why = Unusable(); why != Status::Ok)
        return Result::Of(why);
    if ((out && in) || !params.valid())
        return Result::Of(Status::Error);
    Request request;
    request.code = code;
    request.transactionId = (code == OC_OpenSession || !sessionOpen_) ? 0 : NextTransactionId();
    lastTid_ = request.transactionId;
    request.params = params;
    request.data = out ? DataDirection::Out : in ? DataDirection::In : DataDirection::None;
    request.outSize = out ? out->size : 0;
    Deadline deadline = OperationDeadline(request.outSize);
    Transport& transport = *transport_;

    Status status = Watched(deadline, [&] { return transport.SendRequest(request, deadline); });
    if (status != Status::Ok)
        return Fail(status);
    Response response;
    if (out) {
        DataSource source = out->read;
        if (watchdog_) // each piece pulled gives the next the silence bound again
            source = [&](uint8_t* buffer, size_t count) {
                watchdog_->Arm(deadline.WaitMs());
                return out->read(buffer, count);
            };
        status = Watched(deadline, [&] { return transport.SendData(request, source, deadline); });
        if (status == Status::SourceFailed) {
            if (Watched(deadline, [&] {
                    return transport.ReadResponse(request, response, deadline);
                }) != Status::Ok)
                return Fail(Status::SourceFailed);
            return Answer(response, Status::SourceFailed);
        }
        if (status != Status::Ok)
            return Fail(status);
        // A slow card answers long after the last byte; silence elsewhere keeps its bound.
        if (code == OC_SendObject)
            deadline = Deadline(std::max(config_.timeoutMs, config_.objectResponseMs));
    }
    bool sinkFailed = false;
    if (in) {
        SinkTarget target(*in, config_.maxDrainSize, watchdog_.get(), deadline);
        status =
            Watched(deadline, [&] { return transport.ReceiveData(request, target, deadline); });
        lastDataIn_ = target.began();
        record.dataIn = target.total();
        if (status != Status::Ok)
            return Fail(status);
        sinkFailed = target.refused();
    }
    status = Watched(deadline, [&] { return transport.ReadResponse(request, response, deadline); });
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

Result Initiator::SessionOperation(uint16_t code, const Params& params) {
    if (!transport_ || !transport_->OwnsSession())
        return TransactLocked(code, params, nullptr, nullptr);
    if (Status why = Unusable(); why != Status::Ok)
        return Result::Of(why);
    return Observed(code, params, 0, [&](CallRecord&) {
        Deadline deadline = OperationDeadline(0);
        Response response;
        Status status =
            code == OC_OpenSession
                ? transport_->OpenSession(params.empty() ? 0 : params[0], response, deadline)
                : transport_->CloseSession(response, deadline);
        return status == Status::Ok ? Answer(response, status) : Fail(status);
    });
}

Result Initiator::OpenSession(uint32_t sessionId) {
    BeginCall();
    CallScope scope{*this};
    Result result =
        AskWhileBusy([&] { return SessionOperation(OC_OpenSession, {sessionId}); }, nullptr);
    if (result.status == Status::Ok &&
        (result.code == RC_OK || result.code == RC_SessionAlreadyOpen)) {
        sessionOpen_ = true;
        closing_ = false;
        nextTid_ = 1;
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
    Result result = SessionOperation(OC_CloseSession, {});
    sessionOpen_ = false;
    return result;
}

Result Initiator::Resume() {
    BeginCall();
    CallScope scope{*this};
    if (!timedOut_ || stopping_ || !connected_ || !transport_)
        return Result::Of(Status::NotConnected);
    timedOut_ = false;
    Deadline deadline = OperationDeadline(0);
    const Status status = transport_->Resync(lastTid_, deadline);
    if (status != Status::Ok)
        return Fail(status);
    broken_ = false;
    Result result;
    result.code = RC_OK;
    return result;
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
