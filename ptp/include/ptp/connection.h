// Byte-stream connections that carry PTP/IP: TCP (Winsock or POSIX behind one seam) and an
// in-memory pipe pair for the virtual camera embedded in the same process. Both sides of a
// PTP/IP session exchange the very same packet bytes over either.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "ptp/phase.h"
#include "ptp/status.h"

namespace ptp {

// One end of a byte stream. Send and Receive may run on different threads at once, and
// Shutdown may be called from any thread: it unblocks pending calls, which return Closed.
class Connection {
  public:
    virtual ~Connection() = default;

    // Sends every byte; each stall of the peer may last the silence bound of `deadline`, and
    // the whole send ends by its end (Timeout).
    virtual Status Send(const uint8_t* data, size_t size, const Deadline& deadline) = 0;
    // Receives between 1 and `size` bytes into `buffer`; Timeout when nothing arrives within
    // timeoutMs, Closed when the peer closed (after everything it sent was read).
    virtual Status ReceiveSome(uint8_t* buffer, size_t size, size_t& received, int timeoutMs) = 0;
    // Closes both directions; the peer sees Closed once it has read what was sent before.
    virtual void Shutdown() = 0;
    // True once the peer has closed and nothing is left to read. Never blocks or consumes.
    virtual bool PeerClosed() = 0;
    // True while bytes have arrived that no receive has returned yet. From any thread; never
    // blocks or consumes.
    virtual bool Unread() { return false; }
    // Bytes the receives have returned so far.
    uint64_t delivered() const { return delivered_; }
    // The system's error code of the last failed send or receive, 0 when none.
    virtual int LastError() const { return 0; }

    // Sends every byte, waiting at most the send timeout for room each time the peer stalls.
    Status Send(const uint8_t* data, size_t size) {
        return Send(data, size, Deadline(sendTimeoutMs_));
    }
    Status Send(const std::vector<uint8_t>& bytes) { return Send(bytes.data(), bytes.size()); }
    // Receives exactly `size` bytes within `deadline`: its silence bound between two pieces,
    // the whole by its end (Timeout). *received (optional) tells how many bytes did arrive.
    Status Receive(uint8_t* buffer, size_t size, const Deadline& deadline,
                   size_t* received = nullptr);

    void SetSendTimeout(int timeoutMs) { sendTimeoutMs_ = timeoutMs; }
    // TCP: whether small writes leave at once (the default) or wait for acknowledgements.
    virtual void SetNoDelay(bool on) { (void)on; }

  protected:
    int sendTimeoutMs_ = 10000;
    std::atomic<uint64_t> delivered_{0};
};

using ConnectionPtr = std::unique_ptr<Connection>;

// Two connected in-memory endpoints. Each direction is a ring of `capacity` bytes, so a fast
// sender waits for the reader instead of filling memory. Thread-safe.
std::pair<ConnectionPtr, ConnectionPtr> MakePipePair(size_t capacity = 1u << 20);

// TCP connection to host:port (IPv4 literal or name), connect bounded by timeoutMs; a failure
// says why in `failure` (the system's socket error, or that nothing answered).
ConnectionPtr ConnectTcp(const std::string& host, uint16_t port, int timeoutMs, Status* status,
                         std::string* failure = nullptr);

// A listening TCP socket. Accept is bounded by its timeout; Close unblocks it from any thread.
class TcpListener {
  public:
    ~TcpListener();
    TcpListener(const TcpListener&) = delete;
    TcpListener& operator=(const TcpListener&) = delete;

    // Binds host:port ("127.0.0.1", port 0 = any free port) and listens.
    static std::unique_ptr<TcpListener> Listen(const std::string& host, uint16_t port,
                                               Status* status);
    uint16_t Port() const { return port_; }
    // Timeout when no peer connected within timeoutMs; Closed after Close().
    ConnectionPtr Accept(int timeoutMs, Status* status);
    void Close();

  private:
    TcpListener() = default;
    struct Impl;
    std::unique_ptr<Impl> impl_;
    uint16_t port_ = 0;
};

} // namespace ptp
