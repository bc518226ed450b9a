// The vcam server: the accept loop, the first packet of every connection, and the one session.
#include "vcam/server.h"

#include <algorithm>
#include <chrono>
#include <vector>

#include "packet_reader.h"
#include "ptp/bytes.h"
#include "ptp/ptpip.h"
#include "ptp/ptpip_framing.h"

namespace vcam {

using namespace ptp;

namespace {

const int kAcceptSliceMs = 200;     // Stop() is noticed this often
const size_t kMaxGreeters = 16;     // connections waiting for their first packet at once
const int kLeavingSessionMs = 2000; // a session whose initiator has left gets this long to end
const int kRefusalSendMs = 200;     // an Init Fail never waits longer for room

// A connection whose first packet the server has read: the session reads it once more.
class Replayed : public Connection {
  public:
    Replayed(ConnectionPtr inner, const Packet& first) : inner_(std::move(inner)) {
        first_.resize(kPacketHeaderSize);
        PutU32(first_.data(), static_cast<uint32_t>(kPacketHeaderSize + first.body.size()));
        PutU32(first_.data() + 4, first.type);
        first_.insert(first_.end(), first.body.begin(), first.body.end());
    }
    Status Send(const uint8_t* data, size_t size, const Deadline& deadline) override {
        return inner_->Send(data, size, deadline);
    }
    Status ReceiveSome(uint8_t* buffer, size_t size, size_t& received, int timeoutMs) override {
        size_t at = offset_;
        if (at < first_.size() && size > 0) {
            received = std::min(size, first_.size() - at);
            std::copy(first_.begin() + at, first_.begin() + at + received, buffer);
            offset_ = at + received;
            return Status::Ok;
        }
        return inner_->ReceiveSome(buffer, size, received, timeoutMs);
    }
    void Shutdown() override { inner_->Shutdown(); }
    bool PeerClosed() override { return offset_ >= first_.size() && inner_->PeerClosed(); }
    void SetNoDelay(bool on) override { inner_->SetNoDelay(on); }

  private:
    ConnectionPtr inner_;
    std::vector<uint8_t> first_;
    std::atomic<size_t> offset_{0};
};

void Refuse(Connection& connection, uint32_t reason) {
    std::vector<uint8_t> bytes;
    EncodeInitFail({reason}, bytes);
    connection.SetSendTimeout(kRefusalSendMs);
    SendPacket(connection, bytes);
    connection.Shutdown();
}

} // namespace

Server::~Server() {
    stop_ = true;
    Reap(true);
    if (sessionThread_.joinable())
        sessionThread_.join();
}

ptp::Status Server::Listen(const std::string& host, uint16_t port) {
    ptp::Status status;
    listener_ = ptp::TcpListener::Listen(host, port, &status);
    return status;
}

void Server::Trace(const std::string& line) {
    std::lock_guard<common::Lock> hold(logLock_);
    if (log_)
        log_(line);
}

template <typename Done> void Server::WaitUntil(int timeoutMs, Done done) {
    const Deadline deadline(kAcceptSliceMs, timeoutMs, 0); // Stop() only sets a flag
    while (!done() && !stop_ && !deadline.Passed())
        changed_.WaitFor(lock_, deadline.WaitMs(), done);
}

void Server::Run() {
    while (!stop_ && listener_) {
        Reap(false);
        ptp::Status status;
        ptp::ConnectionPtr connection = listener_->Accept(kAcceptSliceMs, &status);
        if (!connection) {
            if (status == ptp::Status::Closed)
                break;
            if (status != ptp::Status::Timeout)
                std::this_thread::sleep_for(std::chrono::milliseconds(kAcceptSliceMs));
            continue;
        }
        if (greeters_.size() >= kMaxGreeters) {
            Trace("too many connections waiting for their first packet: refused");
            Refuse(*connection, IFR_Busy);
            continue;
        }
        greeters_.emplace_back();
        Greeter& greeter = greeters_.back();
        Connection* raw = connection.release();
        try {
            greeter.thread = std::thread([this, raw, &greeter] {
                Greet(ptp::ConnectionPtr(raw));
                greeter.done = true;
            });
        } catch (...) { // no thread to spare: this peer is turned away
            greeters_.pop_back();
            ptp::ConnectionPtr refused(raw);
            Refuse(*refused, IFR_Busy);
        }
    }
    stop_ = true;
    Reap(true);
    std::thread session;
    {
        std::lock_guard<common::Lock> hold(lock_);
        session = std::move(sessionThread_);
    }
    if (session.joinable())
        session.join();
}

void Server::Reap(bool all) {
    for (auto it = greeters_.begin(); it != greeters_.end();) {
        if (!all && !it->done) {
            ++it;
            continue;
        }
        if (it->thread.joinable())
            it->thread.join();
        it = greeters_.erase(it);
    }
}

void Server::Greet(ptp::ConnectionPtr connection) {
    try {
        Packet first;
        const ptp::Deadline deadline(handshakeTimeoutMs_, handshakeTimeoutMs_, 0);
        ptp::Status status =
            ReadPacketBefore(*connection, first, deadline, [this] { return stop_.load(); });
        if (status != ptp::Status::Ok) {
            if (status == ptp::Status::Timeout)
                Trace("a connection sent no whole first packet in time: closed");
            return;
        }
        if (first.type == PT_InitCommandRequest) {
            ptp::ConnectionPtr command(new Replayed(std::move(connection), first));
            if (!StartSession(command)) {
                Trace("an initiator came while a session runs: busy");
                Refuse(*command, IFR_Busy);
            }
            return;
        }
        InitEventRequest request;
        if (first.type == PT_InitEventRequest && DecodeInitEventRequest(first.body, request)) {
            ptp::ConnectionPtr event(new Replayed(std::move(connection), first));
            if (!JoinSession(request.connectionNumber, event)) {
                Trace("event connection " + std::to_string(request.connectionNumber) +
                      " matches no handshake: refused");
                Refuse(*event, IFR_RejectedInitiator);
            }
            return;
        }
        Trace("a connection began with packet type " + std::to_string(first.type) + ": refused");
        Refuse(*connection, IFR_Unspecified);
    } catch (...) { // a thread routine lets nothing escape; the connection closes with it
    }
}

bool Server::StartSession(ptp::ConnectionPtr& command) {
    std::lock_guard<common::Lock> hold(lock_);
    // An initiator that has just left may come back before its session has noticed.
    if (sessionActive_ && sessionCommand_ && sessionCommand_->PeerClosed())
        WaitUntil(kLeavingSessionMs, [this] { return !sessionActive_; });
    if (sessionActive_ || stop_)
        return false;
    if (sessionThread_.joinable())
        sessionThread_.join(); // the last session has ended; its thread is on its way out
    Connection* raw = command.release();
    try {
        sessionThread_ = std::thread([this, raw] { RunSession(ptp::ConnectionPtr(raw)); });
    } catch (...) {
        command.reset(raw);
        return false;
    }
    sessionActive_ = true;
    return true;
}

void Server::RunSession(ptp::ConnectionPtr command) {
    try {
        Responder responder(profile_, card_, &stop_);
        responder.SetLog([this](const std::string& line) { Trace(line); });
        responder.SetHandshakeTimeout(handshakeTimeoutMs_);
        responder.SetIdleTimeout(idleTimeoutMs_);
        struct Published {
            Server& server;
            Published(Server& s, Responder* r, Connection* c) : server(s) {
                std::lock_guard<common::Lock> hold(server.lock_);
                server.responder_ = r;
                server.sessionCommand_ = c;
                server.eventJoined_ = false;
            }
            ~Published() {
                std::lock_guard<common::Lock> hold(server.lock_);
                server.responder_ = nullptr;
                server.sessionCommand_ = nullptr;
                server.eventConnection_.reset();
            }
        } published(*this, &responder, command.get());
        ptp::Status result = responder.Serve(*command, [this] { return AwaitEvent(); });
        Trace(std::string("session ended: ") + ptp::StatusName(result));
    } catch (...) { // a thread routine lets nothing escape
    }
    command.reset();
    {
        std::lock_guard<common::Lock> hold(lock_);
        sessionActive_ = false;
    }
    changed_.WakeAll();
}

bool Server::JoinSession(uint32_t connectionNumber, ptp::ConnectionPtr& event) {
    {
        std::lock_guard<common::Lock> hold(lock_);
        if (!responder_ || eventJoined_ || connectionNumber == 0 ||
            responder_->connectionNumber() != connectionNumber)
            return false;
        eventConnection_ = std::move(event);
        eventJoined_ = true;
    }
    changed_.WakeAll();
    return true;
}

ptp::ConnectionPtr Server::AwaitEvent() {
    std::lock_guard<common::Lock> hold(lock_);
    WaitUntil(handshakeTimeoutMs_, [this] { return eventConnection_ != nullptr; });
    return std::move(eventConnection_);
}

} // namespace vcam
