// The virtual camera's profile: what it reports (model, firmware, battery, card) and which
// faults it injects. Loaded from an ini file; every key is optional and defaults to a healthy
// "Tarvo Camera X1" with firmware 1.0.1.2, a good battery and a writable 1 GiB card.
//
// Keys ("section.key", or "key" inside "[section]"; lines starting with ; or # are comments;
// numbers are decimal or 0x-hex; sizes take K, M, G, T suffixes (powers of 1024);
// booleans are 1/0, yes/no, true/false, on/off; an operation is a name such as SendObject or
// a code such as 0x100D):
//
//   camera.model             Tarvo Camera X1  DeviceInfo Model and property 0xD032 (STR)
//   camera.manufacturer      Tarvo            DeviceInfo Manufacturer
//   camera.serial            TX1-00000001     DeviceInfo SerialNumber
//   camera.firmware          1.0.1.2          DeviceInfo DeviceVersion; 0xD031 (UINT32) is
//                                             0x01000102, one part per byte, major first
//   camera.count             1                cameras attached (0, 1, 2); read by the driver
//   camera.vendor_properties yes              list 0xD003/0xD031/0xD032; with "no" they are
//                                             neither listed nor answered
//   battery.state            1                0xD003 (UINT32): 1 sufficient, 2 low
//   battery.level            80               BatteryLevel 0x5001 (UINT8, percent); defaults
//                                             to 10 when battery.state is not 1
//   card.present             yes              no: GetStorageIDs lists nothing and storage
//                                             operations answer StoreNotAvailable
//   card.write_protected     no               yes: AccessCapability 1, SendObjectInfo answers
//                                             StoreReadOnly
//   card.capacity            1G               MaxCapacity in bytes (64-bit)
//   card.free                capacity minus the files already on the card
//   card.label               TARVO            StorageInfo VolumeLabel
//   card.folder              (none)           folder that stands for the card, when the
//                                             program is not given one
//   card.cluster_size        32K              unit of allocation (1 byte to 32M): every file
//                                             and folder takes whole clusters, at least one
//   card.keep_incomplete     no               yes: an object whose data stopped short (a
//                                             failed, cancelled or short SendObject, or a
//                                             connection lost mid-file) stays on the card
//                                             under its name and handle with the bytes that
//                                             arrived; its ObjectInfo still announces the
//                                             size SendObjectInfo gave, as a camera that
//                                             creates the object first does, while GetObject
//                                             returns only what is in the file
//   camera.vendor_formats    yes              no: SendObjectInfo refuses object formats
//                                             0xB000 and up ...
//   camera.vendor_format_refusal 0x200B       ... with this response code (InvalidObject-
//                                             FormatCode; 0x2006 ParameterNotSupported ...)
//   camera.rename            yes              no: SetObjectPropValue (MTP) is neither listed
//                                             nor answered; with yes an object's name
//                                             (ObjectFileName 0xDC07) can be set, never to
//                                             one the card already holds
//   pace.bytes_per_second    0                SendObject data is taken no faster than this
//                                             (sizes as above: 750K); 0: as fast as it comes
//
// Faults. Each fires when its trigger is met: `operation` (its arrival; with `occurrence` N
// only the Nth arrival, counted per connection, 0 = every one) or `after_bytes` (once that many
// SendObject payload bytes arrived on the connection, counted across objects).
//   fault.response.operation / .occurrence / .after_bytes, fault.response.code (0x2002):
//       answer with this response code instead of doing the operation (a data-out phase is
//       drained first; a data-in operation sends no data)
//   fault.power_down.operation / .occurrence / .after_bytes, .reason (1), .data (0),
//   fault.power_down.disconnect (yes):
//       send event 0xC001 with params [reason, data], then drop both connections (with
//       disconnect=no the operation goes on normally)
//   fault.store_removed.operation / .occurrence / .after_bytes:
//       send StoreRemoved (0x4005, [StorageID]); from then on the card is absent and the
//       current operation answers StoreNotAvailable
//   fault.drop.operation / .occurrence / .after_bytes:
//       close both connections without an answer
//   fault.rescan.operation / .occurrence / .after_bytes:
//       read the card folder again and announce what changed, as a camera whose card changed
//       under it (a picture taken, a file deleted on the camera): ObjectAdded (0x4002,
//       [handle]) for each new object, ObjectRemoved (0x4003, [handle]) for each one gone
//   fault.corrupt_read.occurrence (every one), fault.corrupt_read.offset (0):
//       flip every bit of one byte (at this offset, or the last one when the object is
//       shorter) of what the Nth GetObject of the connection sends back; either key turns the
//       fault on, the file itself stays as it is
//   delay.ms (0), delay.operation (every operation):
//       wait this long before handling each (or only the given) operation
//   delay.after_send_ms (0): a slow card: wait this long after the last byte of a
//       SendObject before answering it
//   fault.busy.operation / .occurrence, fault.busy.ms (500): answer DeviceBusy to that
//       operation (a data-out phase is drained first) from the arrival that triggers it, for
//       this long
//   fault.stale_reply.operation / .occurrence: a late reply: first answer the operation with
//       a response carrying the previous transaction ID, then as usual
//   fault.event_lead_ms (200): how long a power-down or card-removed event is sent before
//       the failure it causes; 0: at once, as real cameras do
//
// Cameras of other kinds, as found in the field:
//   storage.card_id          0x00010001       the card's StorageID
//   storage.empty_slots      (none)           IDs listed before the card's, each an empty
//                                             slot (low 16 bits 0): StoreNotAvailable ...
//   storage.slots_hang       no               ... or, with yes, GetStorageInfo on one never
//                                             answers
//   camera.responder_decides root             SendObjectInfo with StorageID 0 or parent 0
//                                             ("responder decides"): root puts the object at
//                                             the root, dcim into DCIM\100TARVO (made when
//                                             missing), a response code refuses it
//   camera.device_info_strings 4              how many of DeviceInfo's trailing strings
//                                             (Manufacturer, Model, DeviceVersion, Serial) it
//                                             sends; the dataset ends after them
//   camera.vendor_extension  tarvo.com: 1.0   VendorExtensionDesc (with MTP property lists,
//                                             after "microsoft.com: 1.0; ")
//   camera.vendor_properties yes              also "foreign": 0xD003/0xD031/0xD032 are listed
//                                             but describing or reading them answers
//                                             DevicePropNotSupported, as another maker's
//                                             properties of the same codes
//   camera.split_writes      no               PTP/IP: a dataset and its response leave in
//                                             separate writes, without TCP_NODELAY
//   camera.device_version    camera.firmware  DeviceInfo DeviceVersion as sent, any text, even
//                                             empty; 0xD031 keeps camera.firmware's number
//   property.CODE            (none)           lists CODE and describes it as given, for
//                                             GetDevicePropDesc and GetDevicePropValue:
//                                             "CODE' TYPE CURRENT [MIN..MAX]", CODE' maybe
//                                             another code, TYPE INT8 ... UINT64 with numbers
//                                             as their unsigned bits (INT8 0xF6 is -10), a
//                                             range stepping by 1; or "CODE' STR TEXT";
//                                             "none": CODE is neither listed nor described
//                                             "CODE' TYPE CURRENT noform": a description that
//                                             ends after its current value (no form flag);
//                                             "CODE' TYPE CURRENT {V,V,...}": an enumeration,
//                                             "{V,...}+N" one whose count claims N values more
//                                             than it carries
//   property.every           (none)           one description (as above) that answers every
//                                             GetDevicePropDesc; its code is listed
//   camera.left_out          (none)           operations (names or codes, comma-separated)
//                                             the camera neither lists nor does ...
//   camera.left_out_answer   0x2005           ... answering them with this code, or "ok": OK
//                                             with no parameters and no data, as libgphoto2's
//                                             virtual camera answers what it does not know
//   camera.rename_new_handle no               yes: a renamed object gets a new handle; the
//                                             camera sends ObjectRemoved for the old one and
//                                             ObjectAdded for the new one, as uMTP-Responder
//                                             does
//   fault.early_reply.operation / .occurrence: after the answer, a second response carrying
//                                             the next transaction's ID in the same write: an
//                                             answer that is there before its request
//   fault.close_events       no               close the event connection right after its
//                                             handshake; the session goes on
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "ptp/datasets.h"

namespace vcam {

enum : uint64_t { kNever = ~uint64_t(0) };

// When a fault fires; an empty trigger (operation 0, afterBytes kNever) never does.
struct Trigger {
    uint16_t operation = 0;
    uint32_t occurrence = 0;
    uint64_t afterBytes = kNever;

    bool enabled() const { return operation != 0 || afterBytes != kNever; }
};

struct Profile {
    std::string model = "Tarvo Camera X1";
    std::string manufacturer = "Tarvo";
    std::string serialNumber = "TX1-00000001";
    std::string firmware = "1.0.1.2";
    uint32_t firmwareVersion = 0x01000102;
    uint32_t cameraCount = 1;
    bool vendorProperties = true;

    uint32_t batteryState = 1;
    uint8_t batteryLevel = 80;

    bool cardPresent = true;
    bool writeProtected = false;
    uint64_t capacity = uint64_t(1) << 30;
    uint64_t freeSpace = kNever; // kNever: capacity minus the files already on the card
    std::string volumeLabel = "TARVO";
    std::string cardFolder;
    uint32_t clusterSize = 32 * 1024;
    bool keepIncomplete = false;

    bool vendorFormats = true;
    bool objectPropList = false; // MTP GetObjectPropList, listed with the MTP extension
    bool rename = true;          // MTP SetObjectPropValue of ObjectFileName, likewise
    uint16_t vendorFormatRefusal = 0x200B;
    uint64_t paceBytesPerSecond = 0; // 0: unpaced

    Trigger responseFault;
    uint16_t responseCode = 0x2002;

    Trigger powerDown;
    uint32_t powerDownReason = 1;
    uint32_t powerDownData = 0;
    bool powerDownDisconnect = true;

    Trigger storeRemoved;
    Trigger drop;
    Trigger rescan;

    bool corruptRead = false;
    uint32_t corruptReadOccurrence = 0; // 0: every GetObject
    uint64_t corruptReadOffset = 0;

    uint32_t delayMs = 0;
    uint16_t delayOperation = 0; // 0: every operation
    uint32_t afterSendDelayMs = 0;

    Trigger busy;
    uint32_t busyMs = 500;
    Trigger staleReply;
    uint32_t eventLeadMs = 200;

    uint32_t storageId = 0x00010001;
    std::vector<uint32_t> emptySlots;
    bool slotsHang = false;
    bool decidesIntoDcim = false;  // "responder decides" puts objects into DCIM\100TARVO
    uint16_t undecidedRefusal = 0; // ... or is refused with this code
    uint32_t deviceInfoStrings = 4;
    std::string vendorExtension = "tarvo.com: 1.0";
    bool vendorPropertiesForeign = false;
    bool splitWrites = false;
    // Descriptions of property.CODE; a data type of 0 stands for "none".
    std::map<uint16_t, ptp::DevicePropDesc> properties;
    ptp::DevicePropDesc everyProperty; // property.every; data type 0: none
    // By a description's own code: values its enumeration's count claims beyond those sent.
    std::map<uint16_t, uint16_t> missingValues;
    bool closeEvents = false;
    std::vector<uint16_t> leftOut;   // operations neither listed nor done
    uint16_t leftOutAnswer = 0x2005; // 0: OK without parameters
    bool renameNewHandle = false;
    Trigger earlyReply;
};

// Parses ini text over the defaults already in `profile`. On failure `error` names the line.
bool ParseProfile(const std::string& text, Profile& profile, std::string& error);
bool LoadProfile(const std::string& path, Profile& profile, std::string& error);

} // namespace vcam
