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
//   initiator.Attach(ptp::PtpIpOver(config, std::move(hostCommand),
//                                   [&] { return std::move(hostEvent); }));
//   ...
//   initiator.Shutdown(); // the responder sees the pipes close and Serve returns
//   camera.join();
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "ptp/connection.h"
#include "ptp/status.h"
#include "vcam/card.h"
#include "vcam/profile.h"

namespace vcam {

class Session;

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
    // within a transaction or the handshake, or stayed idle past the idle timeout.
    ptp::Status Serve(ptp::Connection& command, const EventAcceptor& acceptEvent);
    ptp::Status Serve(ptp::Connection& command, ptp::Connection& event);

    // From any thread: Serve returns within 200 ms when idle, or once the operation under way
    // ends (at the latest after the peer timeout). Shutting its connections down is faster.
    void Stop() { stop_ = true; }
    // Optional trace of operations and faults, one line each (for the server's output).
    void SetLog(Log log) { log_ = std::move(log); }
    // The longest silence accepted from the initiator inside a transaction; a packet that
    // has begun must also be in whole within it.
    void SetPeerTimeout(int timeoutMs) { peerTimeoutMs_ = timeoutMs; }
    // The longest the handshake may take: from the start of Serve to the Init Command
    // Request, and from the Ack to the Init Event Request (5 s unless set).
    void SetHandshakeTimeout(int timeoutMs) { handshakeTimeoutMs_ = timeoutMs; }
    // A session without an operation for this long ends; 0 (the default): never.
    void SetIdleTimeout(int timeoutMs) { idleTimeoutMs_ = timeoutMs; }
    // The connection number of this session's Init Command Ack, set before the Ack is sent
    // (0 until then), so that whoever accepts event connections can match theirs.
    uint32_t connectionNumber() const { return connectionNumber_; }

  private:
    friend class Session;
    bool stopped() const { return stop_ || (externalStop_ && *externalStop_); }
    void Trace(const std::string& line) const {
        if (log_)
            log_(line);
    }

    const Profile profile_;
    Card& card_;
    std::atomic<bool> stop_{false};
    const std::atomic<bool>* externalStop_;
    Log log_;
    int peerTimeoutMs_ = 10000;
    int handshakeTimeoutMs_ = 5000;
    int idleTimeoutMs_ = 0;
    std::atomic<uint32_t> connectionNumber_{0};
};

} // namespace vcam
