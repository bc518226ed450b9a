// The vcam server: listens for PTP/IP on a TCP port and serves one session at a time (a camera
// takes one initiator), each with a fresh Responder over the same card.
//
// Every connection is told apart by its first packet, which must arrive within the handshake
// timeout: an Init Command Request starts a session, or gets Init Fail "busy" at once while
// another session runs; an Init Event Request joins the session whose Ack carried its
// connection number, any other gets Init Fail; anything else gets Init Fail and is closed.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <thread>

#include "common/lock.h"
#include "ptp/connection.h"
#include "vcam/card.h"
#include "vcam/profile.h"
#include "vcam/responder.h"

namespace vcam {

class Server {
  public:
    Server(const Profile& profile, Card& card) : profile_(profile), card_(card) {}
    ~Server();

    // Binds host:port (port 0: any free port, see Port()).
    ptp::Status Listen(const std::string& host, uint16_t port);
    uint16_t Port() const { return listener_ ? listener_->Port() : 0; }
    // Accepts connections and serves sessions until Stop(); returns once every connection it
    // took is closed.
    void Run();
    // Only stores a flag: safe from a signal handler and from any thread. Run returns soon.
    void Stop() { stop_ = true; }
    void SetLog(Responder::Log log) { log_ = std::move(log); }
    // Bound on each step of a handshake (first packet, then the event connection); 5 s.
    void SetHandshakeTimeout(int timeoutMs) { handshakeTimeoutMs_ = timeoutMs; }
    // A session without an operation for this long ends; 10 minutes, 0: never.
    void SetIdleTimeout(int timeoutMs) { idleTimeoutMs_ = timeoutMs; }

  private:
    struct Greeter {
        std::thread thread;
        std::atomic<bool> done{false};
    };

    void Greet(ptp::ConnectionPtr connection);
    bool StartSession(ptp::ConnectionPtr& command);
    void RunSession(ptp::ConnectionPtr command);
    bool JoinSession(uint32_t connectionNumber, ptp::ConnectionPtr& event);
    ptp::ConnectionPtr AwaitEvent();
    // Waits on changed_ (lock_ held) in short slices until `done`, Stop() or `timeoutMs`.
    template <typename Done> void WaitUntil(int timeoutMs, Done done);
    void Reap(bool all);
    void Trace(const std::string& line);

    const Profile profile_;
    Card& card_;
    std::unique_ptr<ptp::TcpListener> listener_;
    std::atomic<bool> stop_{false};
    Responder::Log log_;
    common::Lock logLock_; // sessions and greeters trace from their own threads
    int handshakeTimeoutMs_ = 5000;
    int idleTimeoutMs_ = 10 * 60 * 1000;

    std::list<Greeter> greeters_; // connections waiting for their first packet; Run's own

    // The one session; guarded by lock_.
    common::Lock lock_;
    common::Signal changed_;
    bool sessionActive_ = false;
    std::thread sessionThread_;
    Responder* responder_ = nullptr; // while its handshake or session runs
    ptp::Connection* sessionCommand_ = nullptr;
    ptp::ConnectionPtr eventConnection_; // handed from a greeter to the session's handshake
    bool eventJoined_ = false;           // this session's event connection has come
};

} // namespace vcam
