// PTP (ISO 15740) and PTP/IP code spaces: one enum per family, the protocol's own names.
#pragma once

#include <cstdint>
#include <string>

namespace ptp {

// The values stay in aligned columns.
// clang-format off

// Operation codes.
enum OperationCode : uint16_t {
    OC_Undefined            = 0x1000,
    OC_GetDeviceInfo        = 0x1001,
    OC_OpenSession          = 0x1002,
    OC_CloseSession         = 0x1003,
    OC_GetStorageIDs        = 0x1004,
    OC_GetStorageInfo       = 0x1005,
    OC_GetNumObjects        = 0x1006,
    OC_GetObjectHandles     = 0x1007,
    OC_GetObjectInfo        = 0x1008,
    OC_GetObject            = 0x1009,
    OC_GetThumb             = 0x100A,
    OC_DeleteObject         = 0x100B,
    OC_SendObjectInfo       = 0x100C,
    OC_SendObject           = 0x100D,
    OC_InitiateCapture      = 0x100E,
    OC_FormatStore          = 0x100F,
    OC_ResetDevice          = 0x1010,
    OC_SelfTest             = 0x1011,
    OC_SetObjectProtection  = 0x1012,
    OC_PowerDown            = 0x1013,
    OC_GetDevicePropDesc    = 0x1014,
    OC_GetDevicePropValue   = 0x1015,
    OC_SetDevicePropValue   = 0x1016,
    OC_ResetDevicePropValue = 0x1017,
    OC_TerminateOpenCapture = 0x1018,
    OC_MoveObject           = 0x1019,
    OC_CopyObject           = 0x101A,
    OC_GetPartialObject     = 0x101B,
    OC_InitiateOpenCapture  = 0x101C,
    // Of the MTP extension: the properties of many objects in one dataset.
    OC_MTP_GetObjectPropList = 0x9805,
    // Of the MTP extension: one property of one object set, such as its name.
    OC_MTP_SetObjectPropValue = 0x9804,
};

// A DeviceInfo VendorExtensionID saying the MTP extension's codes are meant.
enum : uint32_t { kMtpVendorExtensionId = 6 };
// The set of vendor codes in a Tarvo camera's VendorExtensionDesc: the DPC_Vandrel_
// properties mean what they say here only on a camera that lists it.
constexpr const char kTarvoExtension[] = "tarvo.com";

// Response codes.
enum ResponseCode : uint16_t {
    RC_Undefined                             = 0x2000,
    RC_OK                                    = 0x2001,
    RC_GeneralError                          = 0x2002,
    RC_SessionNotOpen                        = 0x2003,
    RC_InvalidTransactionID                  = 0x2004,
    RC_OperationNotSupported                 = 0x2005,
    RC_ParameterNotSupported                 = 0x2006,
    RC_IncompleteTransfer                    = 0x2007,
    RC_InvalidStorageID                      = 0x2008,
    RC_InvalidObjectHandle                   = 0x2009,
    RC_DevicePropNotSupported                = 0x200A,
    RC_InvalidObjectFormatCode               = 0x200B,
    RC_StoreFull                             = 0x200C,
    RC_ObjectWriteProtected                  = 0x200D,
    RC_StoreReadOnly                         = 0x200E,
    RC_AccessDenied                          = 0x200F,
    RC_NoThumbnailPresent                    = 0x2010,
    RC_SelfTestFailed                        = 0x2011,
    RC_PartialDeletion                       = 0x2012,
    RC_StoreNotAvailable                     = 0x2013,
    RC_SpecificationByFormatUnsupported      = 0x2014,
    RC_NoValidObjectInfo                     = 0x2015,
    RC_InvalidCodeFormat                     = 0x2016,
    RC_UnknownVendorCode                     = 0x2017,
    RC_CaptureAlreadyTerminated              = 0x2018,
    RC_DeviceBusy                            = 0x2019,
    RC_InvalidParentObject                   = 0x201A,
    RC_InvalidDevicePropFormat               = 0x201B,
    RC_InvalidDevicePropValue                = 0x201C,
    RC_InvalidParameter                      = 0x201D,
    RC_SessionAlreadyOpen                    = 0x201E,
    RC_TransactionCancelled                  = 0x201F,
    RC_SpecificationOfDestinationUnsupported = 0x2020,
    RC_InvalidEnumHandle                     = 0x2021,
    RC_NoStreamEnabled                       = 0x2022,
    RC_InvalidDataset                        = 0x2023,
    RC_MTP_InvalidObjectPropCode             = 0xA801,
    RC_MTP_SpecificationByGroupUnsupported   = 0xA807,
    RC_MTP_SpecificationByDepthUnsupported   = 0xA808,
};

// Event codes. EC_Vandrel_PowerDown is the virtual camera's vendor event:
// params [reason, data word].
enum EventCode : uint16_t {
    EC_Undefined             = 0x4000,
    EC_CancelTransaction     = 0x4001,
    EC_ObjectAdded           = 0x4002,
    EC_ObjectRemoved         = 0x4003,
    EC_StoreAdded            = 0x4004,
    EC_StoreRemoved          = 0x4005,
    EC_DevicePropChanged     = 0x4006,
    EC_ObjectInfoChanged     = 0x4007,
    EC_DeviceInfoChanged     = 0x4008,
    EC_RequestObjectTransfer = 0x4009,
    EC_StoreFull             = 0x400A,
    EC_DeviceReset           = 0x400B,
    EC_StorageInfoChanged    = 0x400C,
    EC_CaptureComplete       = 0x400D,
    EC_UnreportedStatus      = 0x400E,
    EC_Vandrel_PowerDown     = 0xC001,
};

// Device property codes: the standard ones we use and the camera's vendor properties.
enum DevicePropCode : uint16_t {
    DPC_Undefined               = 0x5000,
    DPC_BatteryLevel            = 0x5001, // UINT8, percent
    DPC_DateTime                = 0x5011,
    DPC_Vandrel_BatteryState    = 0xD003, // UINT32: 1 sufficient, 2 low
    DPC_Vandrel_FirmwareVersion = 0xD031, // UINT32: one version part per byte, major first
    DPC_Vandrel_ModelName       = 0xD032, // STR
};

// MTP object property codes: the ones that say what an ObjectInfo says.
enum ObjectPropCode : uint16_t {
    OPC_StorageID        = 0xDC01, // UINT32
    OPC_ObjectFormat     = 0xDC02, // UINT16
    OPC_ProtectionStatus = 0xDC03, // UINT16
    OPC_ObjectSize       = 0xDC04, // UINT64
    OPC_AssociationType  = 0xDC05, // UINT16
    OPC_ObjectFileName   = 0xDC07, // STR
    OPC_ParentObject     = 0xDC0B, // UINT32
};

// Data type codes of property values.
enum DataTypeCode : uint16_t {
    DTC_Undefined = 0x0000,
    DTC_INT8      = 0x0001,
    DTC_UINT8     = 0x0002,
    DTC_INT16     = 0x0003,
    DTC_UINT16    = 0x0004,
    DTC_INT32     = 0x0005,
    DTC_UINT32    = 0x0006,
    DTC_INT64     = 0x0007,
    DTC_UINT64    = 0x0008,
    DTC_INT128    = 0x0009,
    DTC_UINT128   = 0x000A,
    DTC_ArrayMask = 0x4000,
    DTC_STR       = 0xFFFF,
};

// Object format codes (the few we name; any code is accepted on the wire).
enum ObjectFormatCode : uint16_t {
    OFC_Undefined      = 0x3000,
    OFC_Association    = 0x3001,
    OFC_Script         = 0x3002,
    OFC_Executable     = 0x3003,
    OFC_Text           = 0x3004,
    OFC_HTML           = 0x3005,
    OFC_UndefinedImage = 0x3800,
    OFC_EXIF_JPEG      = 0x3801,
    OFC_PNG            = 0x380B,
};

enum AssociationType : uint16_t {
    AT_Undefined     = 0x0000,
    AT_GenericFolder = 0x0001,
};

enum StorageType : uint16_t {
    ST_Undefined    = 0x0000,
    ST_FixedROM     = 0x0001,
    ST_RemovableROM = 0x0002,
    ST_FixedRAM     = 0x0003,
    ST_RemovableRAM = 0x0004,
};

enum FilesystemType : uint16_t {
    FST_Undefined           = 0x0000,
    FST_GenericFlat         = 0x0001,
    FST_GenericHierarchical = 0x0002,
    FST_DCF                 = 0x0003,
};

enum AccessCapability : uint16_t {
    AC_ReadWrite            = 0x0000,
    AC_ReadOnly             = 0x0001,
    AC_ReadOnlyWithDeletion = 0x0002,
};

enum DevicePropFormFlag : uint8_t {
    DPFF_None        = 0x00,
    DPFF_Range       = 0x01,
    DPFF_Enumeration = 0x02,
};

// PTP/IP packet types.
enum PacketType : uint32_t {
    PT_InitCommandRequest = 0x01,
    PT_InitCommandAck     = 0x02,
    PT_InitEventRequest   = 0x03,
    PT_InitEventAck       = 0x04,
    PT_InitFail           = 0x05,
    PT_OperationRequest   = 0x06,
    PT_OperationResponse  = 0x07,
    PT_Event              = 0x08,
    PT_StartData          = 0x09,
    PT_Data               = 0x0A,
    PT_Cancel             = 0x0B,
    PT_EndData            = 0x0C,
    PT_ProbeRequest       = 0x0D,
    PT_ProbeResponse      = 0x0E,
};

// DataPhaseInfo of an Operation Request.
enum DataPhase : uint32_t {
    DP_NoDataOrDataIn = 1,
    DP_DataOut        = 2,
};

// Reason of an Init Fail packet.
enum InitFailReason : uint32_t {
    IFR_RejectedInitiator = 1,
    IFR_Busy              = 2,
    IFR_Unspecified       = 3,
};

// Special parameter values.
enum : uint32_t {
    kAllStorages   = 0xFFFFFFFF, // StorageID meaning every store
    kRootParent    = 0xFFFFFFFF, // Parent filter meaning the store root
    kSizeUnknown32 = 0xFFFFFFFF, // ObjectCompressedSize of an object of 4 GiB or more
    kAllObjects    = 0xFFFFFFFF, // ObjectHandle meaning every object
    kAllProperties = 0xFFFFFFFF, // MTP ObjectPropCode meaning every property
    kAllLevels     = 0xFFFFFFFF, // MTP Depth meaning the whole tree below
};

// An ObjectInfo's ParentObject that names the store's root: 0, or 0xFFFFFFFF as some cameras
// say.
inline bool IsRootParent(uint32_t parentObject) {
    return parentObject == 0 || parentObject == kRootParent;
}

// A StorageID whose low 16 bits are 0 names an empty slot, no store.
inline bool IsEmptySlot(uint32_t storageId) {
    return (storageId & 0xFFFF) == 0;
}

// clang-format on

enum : uint16_t { kPtpIpPort = 15740 };
enum : uint32_t { kPtpIpVersion = 0x00010000 };

// Names for logs and profile files ("SendObject" for 0x100C ...); "" when unknown.
const char* OperationName(uint16_t code);
const char* ResponseName(uint16_t code);
const char* EventName(uint16_t code);
// Parses an operation given by name ("SendObject") or number ("0x100D", "4109").
bool ParseOperation(const std::string& text, uint16_t& code);

} // namespace ptp
