// The vcam server: listens for PTP/IP on a TCP port and serves sessions one after another,
// each with a fresh Responder over the same card.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "ptp/connection.h"
#include "vcam/card.h"
#include "vcam/profile.h"
#include "vcam/responder.h"

namespace vcam {

class Server {
  public:
    Server(const Profile& profile, Card& card) : profile_(profile), card_(card) {}

    // Binds host:port (port 0: any free port, see Port()).
    ptp::Status Listen(const std::string& host, uint16_t port);
    uint16_t Port() const { return listener_ ? listener_->Port() : 0; }
    // Accepts a command connection, then its event connection, serves the session, and
    // repeats until Stop().
    void Run();
    // Only stores a flag: safe from a signal handler and from any thread. Run returns soon.
    void Stop() { stop_ = true; }
    void SetLog(Responder::Log log) { log_ = std::move(log); }

  private:
    const Profile profile_;
    Card& card_;
    std::unique_ptr<ptp::TcpListener> listener_;
    std::atomic<bool> stop_{false};
    Responder::Log log_;
};

} // namespace vcam
