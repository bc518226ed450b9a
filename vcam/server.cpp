// The vcam server's accept loop.
#include "vcam/server.h"

#include <chrono>
#include <thread>

namespace vcam {

namespace {
const int kAcceptSliceMs = 200;   // Stop() is noticed this often
const int kEventConnectMs = 5000; // the event connection must follow within this time
} // namespace

ptp::Status Server::Listen(const std::string& host, uint16_t port) {
    ptp::Status status;
    listener_ = ptp::TcpListener::Listen(host, port, &status);
    return status;
}

void Server::Run() {
    while (!stop_ && listener_) {
        ptp::Status status;
        ptp::ConnectionPtr command = listener_->Accept(kAcceptSliceMs, &status);
        if (!command) {
            if (status == ptp::Status::Closed)
                break;
            if (status != ptp::Status::Timeout)
                std::this_thread::sleep_for(std::chrono::milliseconds(kAcceptSliceMs));
            continue;
        }
        Responder responder(profile_, card_, &stop_);
        responder.SetLog(log_);
        ptp::Status result = responder.Serve(*command, [this]() -> ptp::ConnectionPtr {
            ptp::Status ignored;
            return listener_->Accept(kEventConnectMs, &ignored);
        });
        if (log_)
            log_(std::string("session ended: ") + ptp::StatusName(result));
    }
}

} // namespace vcam
