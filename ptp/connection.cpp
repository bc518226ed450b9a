// Connection::Receive and the in-memory pipe pair.
#include "ptp/connection.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>

namespace ptp {

Status Connection::Receive(uint8_t* buffer, size_t size, int timeoutMs, size_t* received) {
    size_t done = 0;
    Status status = Status::Ok;
    while (done < size) {
        size_t got = 0;
        status = ReceiveSome(buffer + done, size - done, got, timeoutMs);
        if (status != Status::Ok)
            break;
        done += got;
    }
    if (received)
        *received = done;
    return status;
}

namespace {

// One direction of a pipe: a bounded byte queue.
struct Channel {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<uint8_t> bytes;
    size_t capacity;
    bool closed = false;

    explicit Channel(size_t cap) : capacity(std::max<size_t>(cap, 1)) {}

    void Close() {
        std::lock_guard<std::mutex> lock(mutex);
        closed = true;
        changed.notify_all();
    }
};

class PipeEnd : public Connection {
  public:
    PipeEnd(std::shared_ptr<Channel> in, std::shared_ptr<Channel> out)
        : in_(std::move(in)), out_(std::move(out)) {}
    ~PipeEnd() override { Shutdown(); }

    Status Send(const uint8_t* data, size_t size) override {
        std::unique_lock<std::mutex> lock(out_->mutex);
        size_t done = 0;
        while (done < size) {
            bool ready =
                out_->changed.wait_for(lock, std::chrono::milliseconds(sendTimeoutMs_), [&] {
                    return out_->closed || out_->bytes.size() < out_->capacity;
                });
            if (out_->closed)
                return Status::Closed;
            if (!ready)
                return Status::Timeout;
            size_t piece = std::min(size - done, out_->capacity - out_->bytes.size());
            out_->bytes.insert(out_->bytes.end(), data + done, data + done + piece);
            done += piece;
            out_->changed.notify_all();
        }
        return Status::Ok;
    }

    Status ReceiveSome(uint8_t* buffer, size_t size, size_t& received, int timeoutMs) override {
        received = 0;
        if (size == 0)
            return Status::Ok;
        std::unique_lock<std::mutex> lock(in_->mutex);
        bool ready = in_->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
            return in_->closed || !in_->bytes.empty() || localShutdown_;
        });
        if (localShutdown_)
            return Status::Closed;
        if (!in_->bytes.empty()) {
            size_t piece = std::min(size, in_->bytes.size());
            std::copy(in_->bytes.begin(), in_->bytes.begin() + piece, buffer);
            in_->bytes.erase(in_->bytes.begin(), in_->bytes.begin() + piece);
            received = piece;
            in_->changed.notify_all();
            return Status::Ok;
        }
        return in_->closed || ready ? Status::Closed : Status::Timeout;
    }

    void Shutdown() override {
        {
            // Our own pending receive ends at once, even with bytes still queued.
            std::lock_guard<std::mutex> lock(in_->mutex);
            localShutdown_ = true;
        }
        in_->Close();
        out_->Close();
    }

    bool PeerClosed() override {
        std::lock_guard<std::mutex> lock(in_->mutex);
        return in_->closed && in_->bytes.empty();
    }

  private:
    std::shared_ptr<Channel> in_;
    std::shared_ptr<Channel> out_;
    bool localShutdown_ = false; // guarded by in_->mutex
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
