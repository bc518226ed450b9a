// Names of operation and response codes, and the parser for operations named in profiles.
#include "ptp/codes.h"
#include "ptp/status.h"

#include <cstdlib>
#include <cstring>

namespace ptp {
namespace {

struct CodeName {
    uint16_t code;
    const char* name;
};

const CodeName kOperationNames[] = {
    {OC_GetDeviceInfo, "GetDeviceInfo"},
    {OC_OpenSession, "OpenSession"},
    {OC_CloseSession, "CloseSession"},
    {OC_GetStorageIDs, "GetStorageIDs"},
    {OC_GetStorageInfo, "GetStorageInfo"},
    {OC_GetNumObjects, "GetNumObjects"},
    {OC_GetObjectHandles, "GetObjectHandles"},
    {OC_GetObjectInfo, "GetObjectInfo"},
    {OC_GetObject, "GetObject"},
    {OC_GetThumb, "GetThumb"},
    {OC_DeleteObject, "DeleteObject"},
    {OC_SendObjectInfo, "SendObjectInfo"},
    {OC_SendObject, "SendObject"},
    {OC_InitiateCapture, "InitiateCapture"},
    {OC_FormatStore, "FormatStore"},
    {OC_ResetDevice, "ResetDevice"},
    {OC_SelfTest, "SelfTest"},
    {OC_SetObjectProtection, "SetObjectProtection"},
    {OC_PowerDown, "PowerDown"},
    {OC_GetDevicePropDesc, "GetDevicePropDesc"},
    {OC_GetDevicePropValue, "GetDevicePropValue"},
    {OC_SetDevicePropValue, "SetDevicePropValue"},
    {OC_ResetDevicePropValue, "ResetDevicePropValue"},
    {OC_TerminateOpenCapture, "TerminateOpenCapture"},
    {OC_MoveObject, "MoveObject"},
    {OC_CopyObject, "CopyObject"},
    {OC_GetPartialObject, "GetPartialObject"},
    {OC_InitiateOpenCapture, "InitiateOpenCapture"},
    {OC_MTP_GetObjectPropList, "GetObjectPropList"},
    {OC_MTP_SetObjectPropValue, "SetObjectPropValue"},
};

const CodeName kResponseNames[] = {
    {RC_Undefined, "Undefined"},
    {RC_OK, "OK"},
    {RC_GeneralError, "GeneralError"},
    {RC_SessionNotOpen, "SessionNotOpen"},
    {RC_InvalidTransactionID, "InvalidTransactionID"},
    {RC_OperationNotSupported, "OperationNotSupported"},
    {RC_ParameterNotSupported, "ParameterNotSupported"},
    {RC_IncompleteTransfer, "IncompleteTransfer"},
    {RC_InvalidStorageID, "InvalidStorageID"},
    {RC_InvalidObjectHandle, "InvalidObjectHandle"},
    {RC_DevicePropNotSupported, "DevicePropNotSupported"},
    {RC_InvalidObjectFormatCode, "InvalidObjectFormatCode"},
    {RC_StoreFull, "StoreFull"},
    {RC_ObjectWriteProtected, "ObjectWriteProtected"},
    {RC_StoreReadOnly, "StoreReadOnly"},
    {RC_AccessDenied, "AccessDenied"},
    {RC_NoThumbnailPresent, "NoThumbnailPresent"},
    {RC_SelfTestFailed, "SelfTestFailed"},
    {RC_PartialDeletion, "PartialDeletion"},
    {RC_StoreNotAvailable, "StoreNotAvailable"},
    {RC_SpecificationByFormatUnsupported, "SpecificationByFormatUnsupported"},
    {RC_NoValidObjectInfo, "NoValidObjectInfo"},
    {RC_InvalidCodeFormat, "InvalidCodeFormat"},
    {RC_UnknownVendorCode, "UnknownVendorCode"},
    {RC_CaptureAlreadyTerminated, "CaptureAlreadyTerminated"},
    {RC_DeviceBusy, "DeviceBusy"},
    {RC_InvalidParentObject, "InvalidParentObject"},
    {RC_InvalidDevicePropFormat, "InvalidDevicePropFormat"},
    {RC_InvalidDevicePropValue, "InvalidDevicePropValue"},
    {RC_InvalidParameter, "InvalidParameter"},
    {RC_SessionAlreadyOpen, "SessionAlreadyOpen"},
    {RC_TransactionCancelled, "TransactionCancelled"},
    {RC_SpecificationOfDestinationUnsupported, "SpecificationOfDestinationUnsupported"},
    {RC_InvalidEnumHandle, "InvalidEnumHandle"},
    {RC_NoStreamEnabled, "NoStreamEnabled"},
    {RC_InvalidDataset, "InvalidDataset"},
    {RC_MTP_InvalidObjectPropCode, "InvalidObjectPropCode"},
    {RC_MTP_SpecificationByGroupUnsupported, "SpecificationByGroupUnsupported"},
    {RC_MTP_SpecificationByDepthUnsupported, "SpecificationByDepthUnsupported"},
};

const CodeName kEventNames[] = {
    {EC_CancelTransaction, "CancelTransaction"},
    {EC_ObjectAdded, "ObjectAdded"},
    {EC_ObjectRemoved, "ObjectRemoved"},
    {EC_StoreAdded, "StoreAdded"},
    {EC_StoreRemoved, "StoreRemoved"},
    {EC_DevicePropChanged, "DevicePropChanged"},
    {EC_ObjectInfoChanged, "ObjectInfoChanged"},
    {EC_DeviceInfoChanged, "DeviceInfoChanged"},
    {EC_RequestObjectTransfer, "RequestObjectTransfer"},
    {EC_StoreFull, "StoreFull"},
    {EC_DeviceReset, "DeviceReset"},
    {EC_StorageInfoChanged, "StorageInfoChanged"},
    {EC_CaptureComplete, "CaptureComplete"},
    {EC_UnreportedStatus, "UnreportedStatus"},
    {EC_Vandrel_PowerDown, "PowerDown"},
};

template <size_t N> const char* Lookup(const CodeName (&table)[N], uint16_t code) {
    for (const CodeName& entry : table) {
        if (entry.code == code)
            return entry.name;
    }
    return "";
}

} // namespace

const char* OperationName(uint16_t code) {
    return Lookup(kOperationNames, code);
}
const char* ResponseName(uint16_t code) {
    return Lookup(kResponseNames, code);
}
const char* EventName(uint16_t code) {
    return Lookup(kEventNames, code);
}

bool ParseOperation(const std::string& text, uint16_t& code) {
    for (const CodeName& entry : kOperationNames) {
        if (text == entry.name) {
            code = entry.code;
            return true;
        }
    }
    if (text.empty())
        return false;
    char* end = nullptr;
    unsigned long value = std::strtoul(text.c_str(), &end, 0);
    if (*end != '\0' || value == 0 || value > 0xFFFF)
        return false;
    code = static_cast<uint16_t>(value);
    return true;
}

const char* StatusName(Status status) {
    switch (status) {
    case Status::Ok:
        return "ok";
    case Status::Timeout:
        return "timeout";
    case Status::Closed:
        return "connection closed";
    case Status::Error:
        return "transport error";
    case Status::Malformed:
        return "malformed packet";
    case Status::Refused:
        return "refused by the responder";
    case Status::NotConnected:
        return "not connected";
    case Status::SourceFailed:
        return "data source failed";
    case Status::SinkFailed:
        return "data sink failed";
    }
    return "unknown";
}

} // namespace ptp
