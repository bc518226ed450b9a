// The USB side of a PTP responder written for a USB device, carried over PTP/IP: each bulk
// transfer becomes PTP/IP packets and back, so an initiator reaches the responder on a loopback
// port as it reaches vcam. One initiator at a time; the responder's own code stays as it is.
//   Bulk out: an Operation Request is a command container; Start Data, Data and End Data are
//   one data container, handed out in transfers of the size the responder reads, with a
//   zero-length transfer after one that fills its buffer exactly.
//   Bulk in: response containers become Operation Responses, data containers Start Data, Data
//   and End Data, in whatever pieces the responder writes them.
//   Interrupt in: event containers become Event packets on the event connection.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ptp/connection.h"

namespace peers {

// The command line every peer takes, as vcam's:
//   --card DIR [--port N] [--quiet | --log FILE] [--idle-timeout SECONDS] [--conf FILE]
// Port 15740 by default, 0 picks a free one; --conf only where the program has a
// configuration file of its own.
struct Options {
    std::string card, log, conf;
    long port = 15740;
    bool quiet = false;
    long idleSeconds = 600; // no initiator for this long ends the program; 0: never
};
bool ParseOptions(int argc, char** argv, const char* program, bool takesConf, Options& options);

class Bridge {
  public:
    explicit Bridge(std::string name) : name_(std::move(name)) {}

    // Listens on 127.0.0.1, says where on the first line of standard output, then sends the
    // program's standard output and error to the log (nowhere with --quiet). SIGINT and SIGTERM
    // stop it.
    bool Start(const Options& options);
    // Waits for an initiator and completes its handshake; false once stopped, or when none
    // came for the idle time.
    bool Accept();
    // Closes both connections of the session.
    void Hangup();

    // The bulk-out pipe: the next transfer of at most `max` bytes, 0 for a zero-length one, -1
    // once the initiator has gone or broken the protocol.
    int ReadOut(uint8_t* buffer, int max);
    // The bulk-in pipe: containers in any pieces. -1 once the initiator has gone.
    int WriteIn(const uint8_t* data, int size);
    // The interrupt pipe: one event container. From any thread; dropped between sessions.
    int WriteInterrupt(const uint8_t* data, int size);

    // Called about every 50 ms while the responder waits for the next operation.
    std::function<void()> onIdle;
    // Called when the initiator cancels the transaction under way.
    std::function<void()> onCancel;

    // A line of the bridge's own trace (to the log).
    void Log(const std::string& line);

  private:
    bool NextContainer();
    bool NextDataPacket();
    bool SendControl(const std::vector<uint8_t>& packet);
    void FinishInContainer();

    const std::string name_;
    long idleSeconds_ = 600;
    std::unique_ptr<ptp::TcpListener> listener_;
    ptp::ConnectionPtr command_;
    std::mutex eventMutex_;
    ptp::ConnectionPtr event_;
    std::mutex logMutex_;
    uint32_t connections_ = 0;

    // Bulk out: the container being handed out.
    std::vector<uint8_t> outHead_; // the command container, or a data container's header
    size_t outHeadAt_ = 0;
    uint64_t outPayloadLeft_ = 0; // data-phase bytes still to come in Data packets
    size_t outPacketLeft_ = 0;    // of them, still unread in the current packet
    bool outPacketIsEnd_ = false; // the current packet is End Data
    bool zeroLengthDue_ = false;
    bool outPhaseOpen_ = false; // a data phase whose End Data has not come yet
    bool dataOutDue_ = false;   // an Operation Request announced a data phase
    uint32_t dataOutTid_ = 0;
    uint16_t dataOutCode_ = 0;
    bool failed_ = false;

    // Bulk in: a container's first bytes until its kind is known, then its data payload.
    std::vector<uint8_t> inHead_;
    uint64_t inDataLeft_ = 0;
    bool inData_ = false;
    uint32_t inTid_ = 0;
    uint64_t inSkip_ = 0; // the rest of a container that has no place in PTP/IP
};

} // namespace peers
