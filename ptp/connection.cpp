// Connection::Receive and the in-memory pipe pair.
#include "ptp/connection.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "common/lock.h"

namespace ptp {

Status Connection::Receive(uint8_t* buffer, size_t size, const Deadline& deadline,
                           size_t* received) {
    size_t done = 0;
    Status status = Status::Ok;
    while (done < size) {
        if (deadline.Passed()) {
            status = Status::Timeout;
            break;
        }
        size_t got = 0;
        status = ReceiveSome(buffer + done, size - done, got, deadline.WaitMs());
        if (status != Status::Ok)
            break;
        done += got;
    }
    if (received)
        *received = done;
    return status;
}

namespace {

// One direction of a pipe: a ring of bytes. A blocked sender waits until half the ring is
// free (or its rest fits), so bytes move in large pieces with few wake-ups.
struct Channel {
    common::Lock lock;
    common::Signal changed;
    std::unique_ptr<uint8_t[]> ring; // allocated by the first Put
    const size_t capacity;
    size_t head = 0; // first unread byte
    size_t used = 0;
    size_t senderWants = 0; // room a blocked sender waits for; 0 when none waits
    bool closed = false;

    explicit Channel(size_t cap) : capacity(std::max<size_t>(cap, 1)) {}

    size_t Free() const { return capacity - used; }
    // Room a sender with `rest` bytes to go waits for.
    size_t Wanted(size_t rest) const { return std::max<size_t>(1, std::min(rest, capacity / 2)); }

    size_t Put(const uint8_t* data, size_t size) {
        if (!ring)
            ring.reset(new uint8_t[capacity]);
        size = std::min(size, Free());
        size_t tail = (head + used) % capacity;
        size_t first = std::min(size, capacity - tail);
        memcpy(ring.get() + tail, data, first);
        memcpy(ring.get(), data + first, size - first);
        used += size;
        return size;
    }

    size_t Take(uint8_t* out, size_t size) {
        size = std::min(size, used);
        size_t first = std::min(size, capacity - head);
        memcpy(out, ring.get() + head, first);
        memcpy(out + first, ring.get(), size - first);
        head = (head + size) % capacity;
        used -= size;
        return size;
    }

    void Close() {
        {
            std::lock_guard<common::Lock> hold(lock);
            closed = true;
        }
        changed.WakeAll();
    }

    // Waits (the lock held by the caller) until `ready` or timeoutMs passed; returns ready().
    template <typename Ready> bool WaitFor(int timeoutMs, Ready ready) {
        auto end = common::MsFromNow(timeoutMs);
        while (!ready()) {
            const int left = common::MsUntil(end);
            if (left <= 0)
                return false;
            changed.Wait(lock, left + 1);
        }
        return true;
    }
};

class PipeEnd : public Connection {
  public:
    PipeEnd(std::shared_ptr<Channel> in, std::shared_ptr<Channel> out)
        : in_(std::move(in)), out_(std::move(out)) {}
    ~PipeEnd() override { Shutdown(); }

    using Connection::Send;
    Status Send(const uint8_t* data, size_t size, const Deadline& deadline) override {
        Channel& out = *out_;
        std::unique_lock<common::Lock> hold(out.lock);
        size_t done = 0;
        while (done < size) {
            if (deadline.Passed())
                return Status::Timeout;
            size_t wanted = out.Wanted(size - done);
            out.senderWants = wanted;
            bool ready =
                out.WaitFor(deadline.WaitMs(), [&] { return out.closed || out.Free() >= wanted; });
            out.senderWants = 0;
            if (out.closed)
                return Status::Closed;
            if (!ready)
                return Status::Timeout;
            done += out.Put(data + done, size - done);
            // Woken after the lock is let go, the receiver does not block on it at once.
            hold.unlock();
            out.changed.WakeAll();
            if (done < size)
                hold.lock();
        }
        return Status::Ok;
    }

    Status ReceiveSome(uint8_t* buffer, size_t size, size_t& received, int timeoutMs) override {
        received = 0;
        if (size == 0)
            return Status::Ok;
        Channel& in = *in_;
        std::unique_lock<common::Lock> hold(in.lock);
        bool ready =
            in.WaitFor(timeoutMs, [&] { return in.closed || in.used > 0 || localShutdown_; });
        if (localShutdown_)
            return Status::Closed;
        if (in.used > 0) {
            received = in.Take(buffer, size);
            delivered_ += received;
            const bool senderMayGo = in.senderWants && in.Free() >= in.senderWants;
            hold.unlock();
            if (senderMayGo)
                in.changed.WakeAll(); // only once the sender's wait can end
            return Status::Ok;
        }
        return in.closed || ready ? Status::Closed : Status::Timeout;
    }

    void Shutdown() override {
        {
            // Our own pending receive ends at once, even with bytes still queued.
            std::lock_guard<common::Lock> hold(in_->lock);
            localShutdown_ = true;
        }
        in_->Close();
        out_->Close();
    }

    bool PeerClosed() override {
        std::lock_guard<common::Lock> hold(in_->lock);
        return in_->closed && in_->used == 0;
    }

    bool Unread() override {
        std::lock_guard<common::Lock> hold(in_->lock);
        return in_->used > 0;
    }

  private:
    std::shared_ptr<Channel> in_;
    std::shared_ptr<Channel> out_;
    bool localShutdown_ = false; // guarded by in_->lock
};

} // namespace

std::pair<ConnectionPtr, ConnectionPtr> MakePipePair(size_t capacity) {
    auto aToB = std::make_shared<Channel>(capacity);
    auto bToA = std::make_shared<Channel>(capacity);
    ConnectionPtr a(new PipeEnd(bToA, aToB));
    ConnectionPtr b(new PipeEnd(aToB, bToA));
    return {std::move(a), std::move(b)};
}

} // namespace ptp
