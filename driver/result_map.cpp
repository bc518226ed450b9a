// Each PTP response code or transport failure becomes the driver result whose message fits best.
#include "result_map.h"

namespace {

struct ResponseRow {
    uint16_t response;
    DriverResult result;
};

const ResponseRow kResponses[] = {
    {ptp::RC_OK, kDriverOk},
    {ptp::RC_DeviceBusy, kDriverBusy},
    {ptp::RC_OperationNotSupported, kDriverNotSupported},
    {ptp::RC_ParameterNotSupported, kDriverNotSupported},
    {ptp::RC_DevicePropNotSupported, kDriverNotSupported},
    {ptp::RC_StoreNotAvailable, kDriverStoreNotAvailable},
    {ptp::RC_InvalidStorageID, kDriverStoreNotAvailable},
    {ptp::RC_IncompleteTransfer, kDriverConnectionLost},
    {ptp::RC_GeneralError, kDriverGeneralError},
};

struct StatusRow {
    ptp::Status status;
    DriverResult result;
};

const StatusRow kStatuses[] = {
    {ptp::Status::Timeout, kDriverNoAnswer},      // the camera stopped answering
    {ptp::Status::Closed, kDriverConnectionLost}, // the connection broke mid-operation
    {ptp::Status::Error, kDriverConnectionLost},
    {ptp::Status::NotConnected, kDriverConnectionLost},
    {ptp::Status::Malformed, kDriverGeneralError},  // the camera broke the protocol
    {ptp::Status::Refused, kDriverBusy},            // another initiator holds the camera
    {ptp::Status::SinkFailed, kDriverGeneralError}, // more data than the answer may hold
};

} // namespace

DriverResult MapPtpResult(const ptp::Result& result) {
    if (result.status != ptp::Status::Ok) {
        for (const StatusRow& row : kStatuses) {
            if (row.status == result.status)
                return row.result;
        }
        return kDriverGeneralError;
    }
    for (const ResponseRow& row : kResponses) {
        if (row.response == result.code)
            return row.result;
    }
    // Any other refusal (store full, write-protected, invalid name...) is the camera's error.
    return kDriverGeneralError;
}
