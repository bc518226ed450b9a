// Outcome of a transport or protocol step, shared by every layer of ptp/ and vcam/.
// These are our own results, never PTP response codes (those stay uint16_t RC_ values).
#pragma once

namespace ptp {

enum class Status {
    Ok,           // done; for a transaction: the responder answered (see the response code)
    Timeout,      // the peer sent nothing for the whole timeout
    Closed,       // the connection was closed by the peer or shut down locally
    Error,        // the transport failed (socket error, connect refused)
    Malformed,    // the peer sent bytes that break the protocol (bad length, type, ID, size)
    Refused,      // the responder answered the handshake with Init Fail
    NotConnected, // no connection, or an earlier failure left it out of step
    SourceFailed, // the caller's data source failed during a data-out phase
    SinkFailed,   // the caller's data sink refused data, or the data exceeded its bound
};

const char* StatusName(Status status);

} // namespace ptp
