// TCP connections and listener: the only place that touches sockets. Winsock on Windows,
// POSIX elsewhere. Sockets are non-blocking; every wait is a bounded poll in short slices,
// so Shutdown from another thread is noticed promptly on both systems.
#include "ptp/connection.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>

#include "common/handle.h"
#else
#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace ptp {
namespace {

#ifdef _WIN32
using NativeSocket = SOCKET;
const NativeSocket kInvalid = INVALID_SOCKET;
#ifndef MSG_NOSIGNAL
#define MSG_NOSIGNAL 0
#endif

// SIO_TCP_SET_ACK_FREQUENCY of mstcpip.h, with TCP_ACK_FREQUENCY_PARAMETERS.
const DWORD kSetAckFrequency = 0x98000017;

void EnsureWinsock() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    (void)started;
}
int SocketError() {
    return WSAGetLastError();
}
bool WouldBlock(int error) {
    return error == WSAEWOULDBLOCK || error == WSAEINPROGRESS;
}
void CloseNative(NativeSocket s) {
    closesocket(s);
}
bool SetNonBlocking(NativeSocket s) {
    u_long on = 1;
    return ioctlsocket(s, FIONBIO, &on) == 0;
}
#else
using NativeSocket = int;
const NativeSocket kInvalid = -1;
void EnsureWinsock() {}
int SocketError() {
    return errno;
}
bool WouldBlock(int error) {
    return error == EAGAIN || error == EWOULDBLOCK || error == EINPROGRESS;
}
void CloseNative(NativeSocket s) {
    close(s);
}
bool SetNonBlocking(NativeSocket s) {
    int flags = fcntl(s, F_GETFL, 0);
    return flags >= 0 && fcntl(s, F_SETFL, flags | O_NONBLOCK) == 0;
}
#endif

const int kSliceMs = 50;

// Waits until the socket is readable (or writable). 1 ready, 0 timeout, -1 error.
int WaitSocket(NativeSocket s, bool forWrite, int timeoutMs) {
#ifdef _WIN32
    fd_set set, errors;
    FD_ZERO(&set);
    FD_ZERO(&errors);
    FD_SET(s, &set);
    FD_SET(s, &errors);
    timeval tv;
    tv.tv_sec = timeoutMs / 1000;
    tv.tv_usec = (timeoutMs % 1000) * 1000;
    int n = select(0, forWrite ? nullptr : &set, forWrite ? &set : nullptr, &errors, &tv);
    if (n == SOCKET_ERROR)
        return -1;
    return n > 0 ? 1 : 0;
#else
    pollfd p{};
    p.fd = s;
    p.events = forWrite ? POLLOUT : POLLIN;
    int n = poll(&p, 1, timeoutMs);
    if (n < 0)
        return errno == EINTR ? 0 : -1;
    return n > 0 ? 1 : 0;
#endif
}

// Reads go through a buffer, so a packet's header and body (and often the next packets) come
// from one recv: under Wine every socket call is expensive. Large reads bypass the buffer.
class TcpConnection : public Connection {
  public:
    explicit TcpConnection(NativeSocket s) : socket_(s) {
        TcpConnection::SetNoDelay(true);
#ifdef _WIN32
        // Every segment acknowledged at once (Windows' TCP_QUICKACK, and lasting): a camera that
        // writes a packet in two small pieces without TCP_NODELAY then waits for no delayed
        // acknowledgement (up to 200 ms on Windows). Wine does not take it.
        struct {
            unsigned char frequency;
        } ackEvery = {1};
        DWORD returned = 0;
        WSAIoctl(socket_, kSetAckFrequency, &ackEvery, sizeof ackEvery, nullptr, 0, &returned,
                 nullptr, nullptr);
        // Under Wine a wait on an event set by the socket wakes about twice as fast as select.
        readable_.reset(CreateEventA(nullptr, FALSE, FALSE, nullptr));
        if (readable_ && WSAEventSelect(socket_, readable_.get(), FD_READ | FD_CLOSE) != 0)
            readable_.reset();
#endif
    }
    ~TcpConnection() override {
        Shutdown();
        CloseNative(socket_);
    }

    using Connection::Send;
    Status Send(const uint8_t* data, size_t size, const Deadline& deadline) override {
        size_t done = 0;
        auto stalled = Clock::now();
        while (done < size) {
            if (shutdown_)
                return Status::Closed;
            if (deadline.Passed())
                return Status::Timeout;
            int piece = static_cast<int>(std::min<size_t>(size - done, kMaxPiece));
            auto n = send(socket_, reinterpret_cast<const char*>(data + done), piece, MSG_NOSIGNAL);
            if (n > 0) {
                done += static_cast<size_t>(n);
                stalled = Clock::now();
                continue;
            }
            int error = SocketError();
            if (n < 0 && !WouldBlock(error)) {
                lastError_ = error;
                return Status::Closed;
            }
            int left = std::min(deadline.WaitMs(), deadline.silenceMs() - common::MsSince(stalled));
            if (left <= 0)
                return Status::Timeout;
            if (WaitSocket(socket_, true, std::min(left, kSliceMs)) < 0)
                return Status::Error;
        }
        return Status::Ok;
    }

    Status ReceiveSome(uint8_t* buffer, size_t size, size_t& received, int timeoutMs) override {
        received = 0;
        if (size == 0)
            return Status::Ok;
        if (shutdown_)
            return Status::Closed;
        if (begin_ < end_) {
            received = Unbuffer(buffer, size);
            delivered_ += received;
            return Status::Ok;
        }
        auto deadline = common::MsFromNow(timeoutMs);
        bool direct = size >= kBufferSize;
        if (!direct && !buffer_)
            buffer_.reset(new uint8_t[kBufferSize]);
        for (;;) {
            if (shutdown_)
                return Status::Closed;
            uint8_t* into = direct ? buffer : buffer_.get();
            int piece = static_cast<int>(direct ? std::min<size_t>(size, kMaxPiece) : kBufferSize);
            auto n = recv(socket_, reinterpret_cast<char*>(into), piece, 0);
            if (n > 0) {
                if (direct) {
                    received = static_cast<size_t>(n);
                } else {
                    begin_ = 0;
                    end_ = static_cast<size_t>(n);
                    received = Unbuffer(buffer, size);
                }
                delivered_ += received;
                AcknowledgeNow();
                return Status::Ok;
            }
            if (n == 0)
                return Status::Closed;
            if (const int error = SocketError(); !WouldBlock(error)) {
                lastError_ = error;
                return Status::Closed; // reset by the peer or shut down
            }
            int left = common::MsUntil(deadline);
            if (left == 0)
                return Status::Timeout;
            if (!WaitReadable(std::min(left, kSliceMs)))
                return Status::Error;
        }
    }

    void Shutdown() override {
        if (!shutdown_.exchange(true)) {
#ifdef _WIN32
            shutdown(socket_, SD_BOTH);
            if (readable_)
                SetEvent(readable_.get()); // a pending receive ends now
#else
            shutdown(socket_, SHUT_RDWR);
#endif
        }
    }

    bool PeerClosed() override {
        if (shutdown_)
            return true;
        if (buffered_ > 0)
            return false;
        if (WaitSocket(socket_, false, 0) != 1)
            return false;
        char byte;
        auto n = recv(socket_, &byte, 1, MSG_PEEK);
        return n == 0 || (n < 0 && !WouldBlock(SocketError()));
    }

    bool Unread() override {
        if (buffered_ > 0)
            return true;
        if (shutdown_ || WaitSocket(socket_, false, 0) != 1)
            return false;
        char byte;
        return recv(socket_, &byte, 1, MSG_PEEK) == 1;
    }

    int LastError() const override {
        return lastError_;
    }

    void SetNoDelay(bool on) override {
        int value = on ? 1 : 0;
        setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&value),
                   sizeof value);
    }

  private:
    static constexpr size_t kBufferSize = 64 * 1024;

    // A camera that writes a packet in two small pieces without TCP_NODELAY holds the second
    // until the first is acknowledged: acknowledged at once, that costs no delayed-ACK wait.
    void AcknowledgeNow() {
#ifdef TCP_QUICKACK
        int on = 1;
        setsockopt(socket_, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
#endif
    }

    static constexpr size_t kMaxPiece = 1 << 20;

    size_t Unbuffer(uint8_t* out, size_t size) {
        size_t n = std::min(size, end_ - begin_);
        memcpy(out, buffer_.get() + begin_, n);
        begin_ += n;
        buffered_ = end_ - begin_;
        return n;
    }

    // Waits up to timeoutMs for bytes (or the peer's close); false on a socket error.
    bool WaitReadable(int timeoutMs) {
#ifdef _WIN32
        if (readable_)
            return WaitForSingleObject(readable_.get(), static_cast<DWORD>(timeoutMs)) !=
                   WAIT_FAILED;
#endif
        return WaitSocket(socket_, false, timeoutMs) >= 0;
    }

    NativeSocket socket_;
#ifdef _WIN32
    common::Handle readable_; // set by Winsock when bytes or the peer's close arrive
#endif
    std::atomic<bool> shutdown_{false};
    // Bytes received but not yet read; only the receiving thread touches the buffer itself.
    std::unique_ptr<uint8_t[]> buffer_;
    size_t begin_ = 0, end_ = 0;
    std::atomic<size_t> buffered_{0}; // end_ - begin_, for PeerClosed on another thread
    std::atomic<int> lastError_{0};
};

bool Resolve(const std::string& host, uint16_t port, sockaddr_in& address) {
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) == 1)
        return true;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found)
        return false;
    address.sin_addr = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
    return true;
}

void SetStatus(Status* out, Status value) {
    if (out)
        *out = value;
}

} // namespace

ConnectionPtr ConnectTcp(const std::string& host, uint16_t port, int timeoutMs, Status* status,
                         std::string* failure) {
    EnsureWinsock();
    const auto fail = [&](Status why, const std::string& text) {
        SetStatus(status, why);
        if (failure)
            *failure = text;
        return nullptr;
    };
    sockaddr_in address;
    if (!Resolve(host, port, address))
        return fail(Status::Error, "cannot resolve " + host);
    NativeSocket s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == kInvalid || !SetNonBlocking(s)) {
        const int error = SocketError();
        if (s != kInvalid)
            CloseNative(s);
        return fail(Status::Error, "socket error " + std::to_string(error));
    }
    int rc = connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
    if (rc != 0 && !WouldBlock(SocketError())) {
        const int error = SocketError();
        CloseNative(s);
        return fail(Status::Error, "socket error " + std::to_string(error));
    }
    if (rc != 0) {
        int ready = WaitSocket(s, true, timeoutMs);
        int error = 0;
        socklen_t length = sizeof error;
        if (ready == 1)
            getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length);
        if (ready != 1 || error != 0) {
            CloseNative(s);
            return ready == 0 ? fail(Status::Timeout,
                                     "no answer within " + std::to_string(timeoutMs) + " ms")
                              : fail(Status::Error, "socket error " + std::to_string(error));
        }
    }
    SetStatus(status, Status::Ok);
    return ConnectionPtr(new TcpConnection(s));
}

struct TcpListener::Impl {
    NativeSocket socket = kInvalid;
    std::atomic<bool> closed{false};
};

TcpListener::~TcpListener() {
    Close();
    if (impl_->socket != kInvalid)
        CloseNative(impl_->socket);
}

std::unique_ptr<TcpListener> TcpListener::Listen(const std::string& host, uint16_t port,
                                                 Status* status) {
    EnsureWinsock();
    sockaddr_in address;
    if (!Resolve(host, port, address)) {
        SetStatus(status, Status::Error);
        return nullptr;
    }
    std::unique_ptr<TcpListener> listener(new TcpListener());
    listener->impl_.reset(new Impl());
    NativeSocket s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == kInvalid) {
        SetStatus(status, Status::Error);
        return nullptr;
    }
    listener->impl_->socket = s;
#ifndef _WIN32
    int on = 1; // a restarted server may take its port back at once
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
#endif
    if (!SetNonBlocking(s) || bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(s, 8) != 0) {
        SetStatus(status, Status::Error);
        return nullptr;
    }
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    if (getsockname(s, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
        SetStatus(status, Status::Error);
        return nullptr;
    }
    listener->port_ = ntohs(bound.sin_port);
    SetStatus(status, Status::Ok);
    return listener;
}

ConnectionPtr TcpListener::Accept(int timeoutMs, Status* status) {
    auto deadline = common::MsFromNow(timeoutMs);
    for (;;) {
        if (impl_->closed) {
            SetStatus(status, Status::Closed);
            return nullptr;
        }
        NativeSocket s = accept(impl_->socket, nullptr, nullptr);
        if (s != kInvalid) {
            if (!SetNonBlocking(s)) {
                CloseNative(s);
                SetStatus(status, Status::Error);
                return nullptr;
            }
            SetStatus(status, Status::Ok);
            return ConnectionPtr(new TcpConnection(s));
        }
        int error = SocketError();
#ifndef _WIN32
        if (error == EINTR || error == ECONNABORTED)
            continue;
#endif
        if (!WouldBlock(error)) {
            SetStatus(status, Status::Error);
            return nullptr;
        }
        int left = common::MsUntil(deadline);
        if (left == 0) {
            SetStatus(status, Status::Timeout);
            return nullptr;
        }
        if (WaitSocket(impl_->socket, false, std::min(left, kSliceMs)) < 0) {
            SetStatus(status, Status::Error);
            return nullptr;
        }
    }
}

void TcpListener::Close() {
    impl_->closed = true;
}

} // namespace ptp
