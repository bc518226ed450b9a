// Deadline-bounded packet reads for the responder and the server.
#include "packet_reader.h"

#include <algorithm>

#include "ptp/ptpip_framing.h"

namespace vcam {

using namespace ptp;

namespace {

const int kStopSliceMs = 200; // a reader with a stop flag looks at it this often

// Reads through `inner` in slices, so that the framing's waits notice the stop flag; Closed
// once it is set.
class Stoppable : public Connection {
  public:
    Stoppable(Connection& inner, const StopCheck& stopped) : inner_(inner), stopped_(stopped) {}

    Status Send(const uint8_t* data, size_t size, const Deadline& deadline) override {
        return inner_.Send(data, size, deadline);
    }
    Status ReceiveSome(uint8_t* buffer, size_t size, size_t& received, int timeoutMs) override {
        const auto end = common::MsFromNow(timeoutMs);
        for (;;) {
            if (stopped_())
                return Status::Closed;
            int left = MsUntil(end);
            Status status =
                inner_.ReceiveSome(buffer, size, received, std::min(left, kStopSliceMs));
            if (status != Status::Timeout || left <= kStopSliceMs)
                return status;
        }
    }
    void Shutdown() override { inner_.Shutdown(); }
    bool PeerClosed() override { return inner_.PeerClosed(); }
    bool Unread() override { return inner_.Unread(); }
    int LastError() const override { return inner_.LastError(); }

  private:
    Connection& inner_;
    const StopCheck& stopped_;
};

} // namespace

Status ReadPacketBefore(Connection& connection, Packet& packet, const Deadline& deadline,
                        const StopCheck& stopped) {
    if (!stopped)
        return ReadPacket(connection, packet, deadline);
    Stoppable watched(connection, stopped);
    return ReadPacket(watched, packet, deadline);
}

Status ReadNextPacket(Connection& connection, Packet& packet, const Deadline& wait,
                      Deadline complete, bool* idle) {
    PacketHeader header;
    Status status = AwaitHeader(connection, header, wait, complete, idle);
    if (status != Status::Ok)
        return status;
    packet.type = header.type;
    return ReadBody(connection, header, kMaxControlBody, packet.body, complete);
}

} // namespace vcam
