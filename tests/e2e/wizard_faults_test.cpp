// The fault suite: the real Vandrel.exe under Wine, walked by a user who presses Next until the
// wizard ends, against a camera that fails in one place per row. Every row ends: exactly one
// message (or a completed copy), the photos on the card untouched, and each file of the update
// on the card either whole and identical or absent.
#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "resource_ids.h"
#include "scenario.h"
#include "ui_driver.h"
#include "walk.h"

using testing_support::PatternBytes;
using testing_support::WriteFileBytes;

namespace {

// The update: FIRST.BIN, the folder FW with SUB\MID.BIN, LAST.FIR, sent in this order.
const size_t kFirst = 100000, kMid = 200000, kLast = 300000;
const char kFirmInfo[] = "[Firmware File Name]\nFIRST.BIN\n-\n[Firmware Folder Name]\nFW\n-\n"
                         "[Firmware File Name]\nLAST.FIR\n-\n[Camera Model Name]\nTarvo Camera X1\n"
                         "-\n[Firmware Version]\n1.0.2.0\n-\n[CF Capacity]\n2048\n";
// The update's files, its second file of `mid` bytes.
std::map<std::string, std::string> UpdateFiles(size_t mid = kMid) {
    return {{"FIRST.BIN", PatternBytes(kFirst, 1)},
            {"MID.BIN", PatternBytes(mid, 2)},
            {"LAST.FIR", PatternBytes(kLast, 3)}};
}
// Photos on the card before every run; no run may touch them.
const std::map<std::string, std::string> kPhotos = {
    {"DCIM\\100TARVO\\IMG_0001.JPG", PatternBytes(50000, 11)},
    {"DCIM\\100TARVO\\IMG_0002.JPG", PatternBytes(80000, 12)},
    {"MISC\\NOTES.TXT", "Keep me.\r\n"},
};

// Where a fault fires: in the last check (the card lookup), at the second file's
// SendObjectInfo, half-way through the second file, half-way through the last file, at the
// second file's read-back.
enum Where { kChecks, kBetweenFiles, kMidFile, kLastFile, kNowhere, kReadBack };

std::string Trigger(const std::string& fault, Where where) {
    switch (where) {
    case kChecks:
        return fault + ".operation = GetObjectHandles\n" + fault + ".occurrence = 1\n";
    case kBetweenFiles:
        return fault + ".operation = SendObjectInfo\n" + fault + ".occurrence = 2\n";
    case kMidFile:
        return fault + ".after_bytes = " + std::to_string(kFirst + kMid / 2) + "\n";
    case kLastFile:
        return fault + ".after_bytes = " + std::to_string(kFirst + kMid + kLast / 2) + "\n";
    case kReadBack:
        return fault + ".operation = GetObject\n" + fault + ".occurrence = 2\n";
    default:
        return "";
    }
}

// A fault of the camera: its label, the profile key prefix of its trigger and the lines that
// say what it does.
struct Fault {
    const char* label;
    const char* prefix;
    std::string lines;
};
Fault Response(const char* label, int code, const std::string& more = "") {
    return {label, "fault.response", "fault.response.code = " + std::to_string(code) + "\n" + more};
}
Fault PowerDown(const char* label, int reason, int data = 0) {
    return {label, "fault.power_down",
            "fault.power_down.reason = " + std::to_string(reason) +
                "\nfault.power_down.data = " + std::to_string(data) + "\n"};
}
const Fault kNone = {"no fault", "", ""};
const Fault kBusy = Response("DeviceBusy", 0x2019);
const Fault kGeneral = Response("GeneralError", 0x2002);
const Fault kNoOperation = Response("OperationNotSupported", 0x2005);
const Fault kNoParameter = Response("ParameterNotSupported", 0x2006);
const Fault kNoStore = Response("StoreNotAvailable", 0x2013);
const Fault kFull = Response("StoreFull", 0x200C);
const Fault kReadOnly = Response("StoreReadOnly", 0x200E);
const Fault kIncomplete = Response("IncompleteTransfer", 0x2007);
const Fault kDenied = Response("AccessDenied", 0x200F);
const Fault kBadHandle = Response("InvalidObjectHandle", 0x2009);
const Fault kLowBattery = PowerDown("power-down 1", 1);
const Fault kModeSwitch = PowerDown("power-down 2", 2);
const Fault kCardCover = PowerDown("power-down 3, data 0", 3);
const Fault kCardCoverData = PowerDown("power-down 3, data 7", 3, 7);
const Fault kBatteryCover = PowerDown("power-down 4", 4);
const Fault kIdle = PowerDown("power-down 5", 5);
const Fault kUnknownReason = PowerDown("power-down 9 (unknown)", 9);
const Fault kDrop = {"dropped connection", "fault.drop", ""};
const Fault kCardRemoved = {"card removed", "fault.store_removed", ""};
const Fault kKeepsIncomplete =
    Response("GeneralError, incomplete objects kept", 0x2002, "card.keep_incomplete = yes\n");
const Fault kCorruptReadBack = {"corrupt read-back", "", "fault.corrupt_read.offset = 5000\n"};
const Fault kNoVendorFormat = {"vendor format refused", "",
                               "camera.vendor_formats = no\ncamera.vendor_format_refusal = "
                               "0x2006\n"};
const Fault kUnlistable = {"unlistable folder", "", ""};
const Fault kServerKilled = {"server killed mid-copy", "",
                             "delay.operation = SendObject\ndelay.ms = 700\n"};
const Fault kBusyForGood = {"DeviceBusy for good", "fault.busy", "fault.busy.ms = 60000\n"};

// Cameras as found in the field, from the sample profiles.
std::string SampleCamera(const char* name) {
    std::string text;
    testing_support::ReadFileBytes(VANDREL_SOURCE_DIR "/samples/cameras/" + std::string(name),
                                   text);
    return text + "\n[]\n"; // what follows is outside the sample's last section
}
// A camera of the field, with more profile lines; `prefix` names its fault's trigger keys.
Fault FieldCamera(const char* label, const char* sample, const std::string& more = "",
                  const char* prefix = "") {
    return {label, prefix, SampleCamera(sample) + more};
}
Fault PromptEvent(const char* label, const char* prefix) {
    return FieldCamera(label, "prompt-events.ini", "", prefix);
}
// A camera that reports its power-down and keeps the link: nothing more may reach its card.
const Fault kLowBatteryLinkKept = {"power-down 1, link kept", "fault.power_down",
                                   "fault.power_down.reason = 1\n"
                                   "fault.power_down.disconnect = no\n"};
// A send the camera refuses, and the card taken out just as the refused file is deleted.
const Fault kRefusedThenCardRemoved = {"GeneralError, card removed at the clean-up",
                                       "fault.response",
                                       "fault.response.code = 0x2002\n"
                                       "fault.store_removed.operation = DeleteObject\n"
                                       "fault.store_removed.occurrence = 1\n"};
// Every read-back outlasts the library's bound (timeout_ms below): the first file's fails.
const Fault kReadBackTimeout = {"read-back timeout", "",
                                "delay.operation = GetObject\ndelay.ms = 4000\n"};
const char kShortTimeout[] = "timeout_ms = 1500\n";
// A read-back that answers late, within a second bound of the library's (timeout_ms below).
const Fault kReadBackLate = {"read-back answered late", "",
                             "delay.operation = GetObject\ndelay.ms = 3000\n"};
const char kLateTimeout[] = "timeout_ms = 2000\n";
// A send refused, and the refused file's delete answered busy for longer than an operation
// waits out.
const Fault kRefusedThenBusy = {"GeneralError, the delete busy for 3 s", "fault.response",
                                "fault.response.code = 0x2002\n"
                                "fault.busy.operation = DeleteObject\nfault.busy.ms = 3000\n"};
// A power-down with the link kept, then the delete refused once, or busy for 3 s.
const Fault kLowBatteryThenRefused = {"power-down 1, link kept, the delete refused once",
                                      "fault.power_down",
                                      "fault.power_down.reason = 1\n"
                                      "fault.power_down.disconnect = no\n"
                                      "fault.response.operation = DeleteObject\n"
                                      "fault.response.occurrence = 1\n"};
const Fault kLowBatteryThenBusy = {"power-down 1, link kept, the delete busy for 3 s",
                                   "fault.power_down",
                                   "fault.power_down.reason = 1\n"
                                   "fault.power_down.disconnect = no\n"
                                   "fault.busy.operation = DeleteObject\nfault.busy.ms = 3000\n"};
// A camera that takes 20 KB a second, past the library's bounds (kSlowTimeout).
const Fault kSlowCamera = {"20 KB/s", "", "pace.bytes_per_second = 20K\n"};
const char kSlowTimeout[] = "timeout_ms = 2000\nsend_response_timeout_ms = 2000\n";
// BatteryLevel described without its form flag, low or not, and as an enumeration shorter
// than its count (the camera's own properties off, so BatteryLevel is what counts).
const Fault kBatteryNoForm = {"BatteryLevel without a form flag", "",
                              "camera.vendor_properties = no\n"
                              "property.0x5001 = 0x5001 UINT8 50 noform\n"};
const Fault kBatteryNoFormLow = {"BatteryLevel 5 without a form flag", "",
                                 "camera.vendor_properties = no\n"
                                 "property.0x5001 = 0x5001 UINT8 5 noform\n"};
const Fault kBatteryShortEnumeration = {"BatteryLevel enumeration shorter than its count", "",
                                        "camera.vendor_properties = no\n"
                                        "property.0x5001 = 0x5001 UINT8 80 {0,40,80}+2\n"};
// An answer that is there before its request went out (libgphoto2's virtual camera answers
// some operations twice): out of step, at the checks and between files.
const Fault kEarlyAtTheChecks = {"an answer ahead of its request", "",
                                 "fault.early_reply.operation = GetStorageInfo\n"
                                 "fault.early_reply.occurrence = 1\n"};
const Fault kEarlyReply = {"an answer ahead of its request", "fault.early_reply", ""};

// Kinds of camera, kept for a second run: whether it can rename an object (MTP
// SetObjectPropValue, the virtual camera's default) and whether it keeps what arrived of a
// failed send.
const char kRenames[] = "";
const char kRenamesKeeps[] = "card.keep_incomplete = yes\n";
const char kNoRename[] = "camera.rename = no\n";
const char kNoRenameKeeps[] = "camera.rename = no\ncard.keep_incomplete = yes\n";

// The update files on the card afterwards, each whole: none, the first, the first two, all;
// or any whole files short of all (where the order is not the row's concern); or the first
// and perhaps the second (where an event may come after the second was whole and verified).
enum Card { kNoFiles, kFirstFile, kFirstTwo, kAllFiles, kSome, kFirstMaybeSecond };

// What else the card may hold beside the photos and whole update files. A camera that renames
// may hold files under the library's temporary names (at its root), never an update file that
// is not whole; kTemporary: such a file must be there. kPartial: an update file cut short may
// stay under its own name, as the README says of a camera that keeps what arrived of a failed
// send and cannot rename.
enum Leftover { kWholeOnly, kTemporary, kPartial };

// The camera: embedded in the library, the vcam server over PTP/IP, or uMTP-Responder over
// PTP/IP (peers/), a camera nobody here wrote, named as the update's model.
enum Camera { kEmbedded, kPtpIp, kUmtp };
const char kUmtpConf[] = "manufacturer \"Tarvo\"\nproduct \"Tarvo Camera X1\"\n"
                         "firmware_version \"1.0.1.2\"\nserial \"TX1-00000001\"\n";

struct Row {
    Fault fault;
    Where where;
    std::vector<int> messages; // one of these is shown, once; none: the copy completes
    Card card;
    Camera camera = kEmbedded;
    void (*prepare)(const std::string& folder) = nullptr;
    bool killServerMidCopy = false; // then a second run: completes, or says why not
    const char* kind = kRenames;    // the camera's own profile lines, kept for a second run
    Leftover leftover = kWholeOnly;
    bool again = false;         // a second run on the same card with the healthy camera
    const char* settings = "";  // more lines for KXPTPCLS.ini in the first run
    size_t mid = kMid;          // the size of the update's second file
    const char* then = nullptr; // the second run's camera, when it is another kind
    // Files on the card before the run, beside the photos, that no run may touch.
    std::map<std::string, std::string> kept = {};
};

// A row whose driver settings say more, and which may leave a file under a temporary name.
Row WithSettings(Row row, const char* settings, Leftover leftover = kWholeOnly) {
    row.settings = settings;
    row.leftover = leftover;
    return row;
}

// A row of the camera kinds' part of the table: one message, then a second run.
Row KindRow(const Fault& fault, Where where, int message, Card card, const char* kind,
            Leftover leftover = kWholeOnly, const char* settings = "") {
    Row row = WithSettings({fault, where, {message}, card}, settings, leftover);
    row.kind = kind;
    row.again = true;
    return row;
}

// A row whose update's second file is over a MiB.
Row BigMiddle(Row row) {
    row.mid = 1536 * 1024;
    return row;
}

// A row whose second run meets another kind of camera.
Row Then(Row row, const char* kind) {
    row.then = kind;
    return row;
}

// A row whose card holds one more file before the run, which no run may touch.
Row Keeping(Row row, const std::string& path, const std::string& bytes) {
    row.kept[path] = bytes;
    return row;
}

// A folder the program cannot list: its name has no form in the ANSI code page, so the name
// the search gives back ("?") names nothing.
std::wstring UnlistablePath(const std::string& folder) {
    return std::wstring(folder.begin(), folder.end()) + L"\\FW\\\u4E2D";
}

void UnlistableFolder(const std::string& folder) {
    testing_support::RemoveTree(folder + "\\FW");
    CreateDirectoryA((folder + "\\FW").c_str(), nullptr);
    CreateDirectoryW(UnlistablePath(folder).c_str(), nullptr);
    HANDLE file = CreateFileW((UnlistablePath(folder) + L"\\MID.BIN").c_str(), GENERIC_WRITE, 0,
                              nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(file, UpdateFiles().at("MID.BIN").data(), kMid, &written, nullptr);
    CloseHandle(file);
}

const int kTransmission = IDS_MSG_TRANSMISSION_ERROR;

// Expected messages follow the wizard's rules. In the checks: the translated driver result
// (README table), or the camera event's message when the camera reported one. In the copy:
// the event's message, else the transmission error; "Internal Error" when the camera was lost
// without a message.
const Row kRows[] = {
    {kNone, kNowhere, {}, kAllFiles},
    // DeviceBusy (the other responses follow the table below): a moment of it is waited out;
    // one that lasts is the port's; one that answers a whole file is final.
    {kBusy, kChecks, {}, kAllFiles},
    {kBusy, kBetweenFiles, {}, kAllFiles},
    {kBusyForGood, kChecks, {IDS_MSG_PORT_BUSY}, kNoFiles},
    {kBusyForGood, kBetweenFiles, {kTransmission}, kFirstFile},
    {kBusy, kMidFile, {kTransmission}, kFirstFile},
    {kBusy, kLastFile, {kTransmission}, kFirstTwo},
    // Power-down events by reason. Reason 3 with a data word other than 0 has no message of
    // its own: the checks' own failure shows (the link is gone), or "Internal Error" after
    // the copy.
    {kLowBattery, kChecks, {IDS_MSG_POWER_LOW_BATTERY}, kNoFiles},
    {kLowBattery, kBetweenFiles, {IDS_MSG_POWER_LOW_BATTERY}, kFirstFile},
    {kLowBattery, kMidFile, {IDS_MSG_POWER_LOW_BATTERY}, kFirstFile},
    {kLowBattery, kLastFile, {IDS_MSG_POWER_LOW_BATTERY}, kFirstTwo},
    {kModeSwitch, kChecks, {IDS_MSG_DISCONNECT_MODE_SWITCH}, kNoFiles},
    {kModeSwitch, kBetweenFiles, {IDS_MSG_DISCONNECT_MODE_SWITCH}, kFirstFile},
    {kModeSwitch, kMidFile, {IDS_MSG_DISCONNECT_MODE_SWITCH}, kFirstFile},
    {kModeSwitch, kLastFile, {IDS_MSG_DISCONNECT_MODE_SWITCH}, kFirstTwo},
    {kCardCover, kChecks, {IDS_MSG_DISCONNECT_CARD_COVER}, kNoFiles},
    {kCardCover, kBetweenFiles, {IDS_MSG_DISCONNECT_CARD_COVER}, kFirstFile},
    {kCardCover, kMidFile, {IDS_MSG_DISCONNECT_CARD_COVER}, kFirstFile},
    {kCardCover, kLastFile, {IDS_MSG_DISCONNECT_CARD_COVER}, kFirstTwo},
    {kCardCoverData, kChecks, {IDS_MSG_CAMERA_NOT_READY}, kNoFiles},
    {kCardCoverData, kBetweenFiles, {IDS_MSG_INTERNAL_ERROR}, kFirstFile},
    {kCardCoverData, kMidFile, {IDS_MSG_INTERNAL_ERROR}, kFirstFile},
    {kCardCoverData, kLastFile, {IDS_MSG_INTERNAL_ERROR}, kFirstTwo},
    {kBatteryCover, kChecks, {IDS_MSG_POWER_BATTERY_COVER}, kNoFiles},
    {kBatteryCover, kBetweenFiles, {IDS_MSG_POWER_BATTERY_COVER}, kFirstFile},
    {kBatteryCover, kMidFile, {IDS_MSG_POWER_BATTERY_COVER}, kFirstFile},
    {kBatteryCover, kLastFile, {IDS_MSG_POWER_BATTERY_COVER}, kFirstTwo},
    {kIdle, kChecks, {IDS_MSG_POWER_IDLE}, kNoFiles},
    {kIdle, kBetweenFiles, {IDS_MSG_POWER_IDLE}, kFirstFile},
    {kIdle, kMidFile, {IDS_MSG_POWER_IDLE}, kFirstFile},
    {kIdle, kLastFile, {IDS_MSG_POWER_IDLE}, kFirstTwo},
    {kUnknownReason, kChecks, {IDS_MSG_INTERNAL_ERROR}, kNoFiles},
    {kUnknownReason, kBetweenFiles, {IDS_MSG_INTERNAL_ERROR}, kFirstFile},
    {kUnknownReason, kMidFile, {IDS_MSG_INTERNAL_ERROR}, kFirstFile},
    {kUnknownReason, kLastFile, {IDS_MSG_INTERNAL_ERROR}, kFirstTwo},
    // The link lost (the driver reports reason 13) and the card taken out (reason 3, data 0).
    {kDrop, kChecks, {IDS_MSG_CONNECTION_PROBLEM}, kNoFiles},
    {kDrop, kBetweenFiles, {IDS_MSG_CONNECTION_PROBLEM}, kFirstFile},
    {kDrop, kMidFile, {IDS_MSG_CONNECTION_PROBLEM}, kFirstFile},
    {kDrop, kLastFile, {IDS_MSG_CONNECTION_PROBLEM}, kFirstTwo},
    {kCardRemoved, kChecks, {IDS_MSG_DISCONNECT_CARD_COVER}, kNoFiles},
    {kCardRemoved, kBetweenFiles, {IDS_MSG_DISCONNECT_CARD_COVER}, kFirstFile},
    {kCardRemoved, kMidFile, {IDS_MSG_DISCONNECT_CARD_COVER}, kFirstFile},
    {kCardRemoved, kLastFile, {IDS_MSG_DISCONNECT_CARD_COVER}, kFirstTwo},
    // What a failed file left on a camera that keeps it is deleted; a file whose read-back
    // differs is not kept; a camera refusing the vendor format takes the standard one.
    {kKeepsIncomplete, kMidFile, {kTransmission}, kFirstFile},
    {kCorruptReadBack, kNowhere, {kTransmission}, kNoFiles},
    {kNoVendorFormat, kNowhere, {}, kAllFiles},
    {kUnlistable, kNowhere, {kTransmission}, kSome, kEmbedded, UnlistableFolder},
    // Over PTP/IP to the vcam server.
    {kNone, kNowhere, {}, kAllFiles, kPtpIp},
    {kLowBattery, kChecks, {IDS_MSG_POWER_LOW_BATTERY}, kNoFiles, kPtpIp},
    {kGeneral, kMidFile, {kTransmission}, kFirstFile, kPtpIp},
    {kDrop, kMidFile, {IDS_MSG_CONNECTION_PROBLEM}, kFirstFile, kPtpIp},
    {kCardRemoved, kLastFile, {IDS_MSG_DISCONNECT_CARD_COVER}, kFirstTwo, kPtpIp},
    {kServerKilled, kNowhere, {IDS_MSG_CONNECTION_PROBLEM}, kSome, kPtpIp, nullptr, true},
    // uMTP-Responder renames each file sent (some under a new handle) and counts no objects.
    {kNone, kNowhere, {}, kAllFiles, kUmtp},
    // Cameras that differ from ours as real ones do: the update lands whole at the card's
    // root, or the one message says why not.
    {FieldCamera("decides: into DCIM", "dcim-decides.ini"), kNowhere, {}, kAllFiles},
    {FieldCamera("decides: refuses, Android", "android-mtp.ini"), kNowhere, {}, kAllFiles},
    {FieldCamera("decides: refuses parent", "refuses-undecided.ini"), kNowhere, {}, kAllFiles},
    {FieldCamera("decides: refuses storage", "refuses-undecided.ini",
                 "camera.responder_decides = 0x2008\n"),
     kNowhere,
     {},
     kAllFiles},
    {FieldCamera("empty slot that hangs", "empty-slots.ini"), kNowhere, {}, kAllFiles},
    {FieldCamera("busy writing the card", "busy-writing.ini"), kNowhere, {}, kAllFiles},
    // The answer after a file's last byte outlasts the silence bound (1 s here), not its own.
    WithSettings({FieldCamera("slow card", "slow-card.ini", "delay.after_send_ms = 1500\n"),
                  kNowhere,
                  {},
                  kAllFiles},
                 "timeout_ms = 1000\n"),
    // The library stopped waiting; the session is brought back and what the camera kept is
    // deleted, the camera being there.
    WithSettings(
        {FieldCamera("slow card past its bound", "slow-card.ini", "delay.after_send_ms = 3000\n"),
         kNowhere,
         {kTransmission},
         kNoFiles},
        "timeout_ms = 1000\nsend_response_timeout_ms = 2000\n"),
    {FieldCamera("takes no uploads", "no-uploads.ini"), kNowhere, {kTransmission}, kNoFiles},
    {FieldCamera("takes no uploads, InvalidParameter", "no-uploads.ini",
                 "fault.response.code = 0x201D\n"),
     kNowhere,
     {kTransmission},
     kNoFiles},
    {FieldCamera("DeviceInfo without strings", "short-deviceinfo.ini"), kNowhere, {}, kAllFiles},
    {FieldCamera("DeviceInfo without strings or properties", "short-deviceinfo.ini",
                 "camera.vendor_properties = no\n"),
     kNowhere,
     {IDS_MSG_WRONG_MODEL},
     kNoFiles},
    {FieldCamera("late replies", "late-replies.ini"), kNowhere, {}, kAllFiles},
    {FieldCamera("late replies", "late-replies.ini"), kNowhere, {}, kAllFiles, kPtpIp},
    {FieldCamera("foreign vendor properties", "foreign-properties.ini"), kNowhere, {}, kAllFiles},
    {FieldCamera("foreign vendor properties, low battery", "foreign-properties.ini",
                 "battery.level = 5\n"),
     kNowhere,
     {IDS_MSG_BATTERY_LOW},
     kNoFiles},
    {FieldCamera("small writes without TCP_NODELAY", "nagle-ptpip.ini"),
     kNowhere,
     {},
     kAllFiles,
     kPtpIp},
    // An event sent with the failure it causes is what the user hears of.
    {PromptEvent("prompt power-down 1", "fault.power_down"),
     kChecks,
     {IDS_MSG_POWER_LOW_BATTERY},
     kNoFiles},
    {PromptEvent("prompt power-down 1", "fault.power_down"),
     kMidFile,
     {IDS_MSG_POWER_LOW_BATTERY},
     kFirstFile},
    {PromptEvent("prompt power-down 1", "fault.power_down"),
     kMidFile,
     {IDS_MSG_POWER_LOW_BATTERY},
     kFirstFile,
     kPtpIp},
    {PromptEvent("prompt card removed", "fault.store_removed"),
     kChecks,
     {IDS_MSG_DISCONNECT_CARD_COVER},
     kNoFiles},
    {PromptEvent("prompt card removed", "fault.store_removed"),
     kLastFile,
     {IDS_MSG_DISCONNECT_CARD_COVER},
     kFirstTwo,
     kPtpIp},
    // Cameras that rename and cameras that cannot, that keep what arrived of a failed send and
    // that do not. A file gets its name only once whole and verified where the camera renames;
    // what a failure left under the temporary name is gone after the next run's checks.
    KindRow(kDrop, kMidFile, IDS_MSG_CONNECTION_PROBLEM, kFirstFile, kRenamesKeeps, kTemporary),
    KindRow(kDrop, kMidFile, IDS_MSG_CONNECTION_PROBLEM, kFirstFile, kRenames),
    KindRow(kDrop, kMidFile, IDS_MSG_CONNECTION_PROBLEM, kFirstFile, kNoRenameKeeps, kPartial),
    KindRow(kDrop, kMidFile, IDS_MSG_CONNECTION_PROBLEM, kFirstFile, kNoRename),
    KindRow(kRefusedThenCardRemoved, kMidFile, IDS_MSG_DISCONNECT_CARD_COVER, kFirstFile,
            kRenamesKeeps, kTemporary),
    KindRow(kRefusedThenCardRemoved, kMidFile, IDS_MSG_DISCONNECT_CARD_COVER, kFirstFile,
            kNoRenameKeeps, kPartial),
    KindRow(kLowBatteryLinkKept, kMidFile, IDS_MSG_POWER_LOW_BATTERY, kFirstMaybeSecond,
            kRenamesKeeps),
    KindRow(kLowBatteryLinkKept, kMidFile, IDS_MSG_POWER_LOW_BATTERY, kFirstMaybeSecond,
            kNoRenameKeeps),
    KindRow(kLowBatteryLinkKept, kReadBack, IDS_MSG_POWER_LOW_BATTERY, kFirstMaybeSecond, kRenames),
    KindRow(kLowBatteryLinkKept, kReadBack, IDS_MSG_POWER_LOW_BATTERY, kFirstMaybeSecond,
            kNoRename),
    // At the read-back the file is whole but not yet verified: under the temporary name where
    // the camera renames, under its own where it cannot (and the link or card is gone).
    KindRow(kDrop, kReadBack, IDS_MSG_CONNECTION_PROBLEM, kFirstFile, kRenames, kTemporary),
    KindRow(kDrop, kReadBack, IDS_MSG_CONNECTION_PROBLEM, kFirstTwo, kNoRename),
    KindRow(kCardRemoved, kReadBack, IDS_MSG_DISCONNECT_CARD_COVER, kFirstFile, kRenames,
            kTemporary),
    KindRow(kCardRemoved, kReadBack, IDS_MSG_DISCONNECT_CARD_COVER, kFirstTwo, kNoRename),
    // A read-back that outlasts its bound: the session is brought back (opened again) and the
    // unverified file deleted, whether the camera renames or not.
    KindRow(kReadBackTimeout, kNowhere, kTransmission, kNoFiles, kRenames, kWholeOnly,
            kShortTimeout),
    KindRow(kReadBackTimeout, kNowhere, kTransmission, kNoFiles, kNoRename, kWholeOnly,
            kShortTimeout),
    // Where the camera cannot rename, a timed-out step is given time to end where the link
    // still answers, and the file it left is deleted.
    KindRow(kReadBackLate, kNowhere, kTransmission, kNoFiles, kNoRename, kWholeOnly, kLateTimeout),
    // While the camera and its card are there, a failed file is removed: the clean-up rides
    // out DeviceBusy longer than an operation does, asks again once after a refusal, and
    // brings a session out of step back first.
    KindRow(kRefusedThenBusy, kMidFile, kTransmission, kFirstFile, kNoRenameKeeps),
    KindRow(kLowBatteryThenRefused, kMidFile, IDS_MSG_POWER_LOW_BATTERY, kFirstMaybeSecond,
            kNoRenameKeeps),
    KindRow(kLowBatteryThenBusy, kMidFile, IDS_MSG_POWER_LOW_BATTERY, kFirstMaybeSecond,
            kNoRenameKeeps),
    KindRow(kSlowCamera, kNowhere, kTransmission, kNoFiles, kNoRenameKeeps, kWholeOnly,
            kSlowTimeout),
    // A read-back of more than a MiB stopped by an event is read to its end: the session
    // stays in step and the unverified file goes.
    BigMiddle(
        KindRow(kLowBatteryLinkKept, kReadBack, IDS_MSG_POWER_LOW_BATTERY, kFirstFile, kNoRename)),
    // Renamed in one run, not in the next (a camera switched from MTP to PTP): the next run's
    // checks still remove what the first left under a temporary name.
    Then(
        KindRow(kDrop, kMidFile, IDS_MSG_CONNECTION_PROBLEM, kFirstFile, kRenamesKeeps, kTemporary),
        kNoRename),
    // Only names exactly as the library writes them are leftovers: the user's own stays.
    Keeping({kNone, kNowhere, {}, kAllFiles}, "~KXPTPCLS-0123ABCD.TMP", "the user's own\r\n"),
    // Cameras nobody here wrote (uMTP-Responder, libgphoto2's virtual camera), each behaviour
    // as a profile of our own camera.
    {FieldCamera("renames to a new handle", "renames-to-new-handle.ini"), kNowhere, {}, kAllFiles},
    {FieldCamera("counts by its lists", "counts-by-list.ini"), kNowhere, {}, kAllFiles},
    {FieldCamera("takes no files", "takes-no-files.ini"),
     kNowhere,
     {IDS_MSG_INCOMPATIBLE_MODEL},
     kNoFiles},
    {kBatteryNoForm, kNowhere, {}, kAllFiles},
    {kBatteryNoFormLow, kNowhere, {IDS_MSG_BATTERY_LOW}, kNoFiles},
    {kBatteryShortEnumeration, kNowhere, {}, kAllFiles},
    {kEarlyAtTheChecks, kNowhere, {IDS_MSG_CAMERA_INTERNAL}, kNoFiles},
    {kEarlyReply, kBetweenFiles, {kTransmission}, kFirstFile},
    // An update kept in a folder of its own is no update on the card: every file lands at the
    // root, and only there is a file of the update looked for.
    Keeping({kNone, kNowhere, {}, kAllFiles}, "OLDFW\\FIRST.BIN", PatternBytes(kFirst, 1)),
    // A camera that lists renaming but refuses it: each file goes again under its own name.
    {{"rename refused", "",
      "fault.response.operation = SetObjectPropValue\n"
      "fault.response.code = 0x2005\n"},
     kNowhere,
     {},
     kAllFiles},
};

const char* WhereName(Where where) {
    static const char* names[] = {
        "at the checks", "between files", "mid-file", "in the last file", "", "at the read-back"};
    return names[where];
}

std::string KindName(const char* kind) {
    const std::string lines = kind;
    const bool renames = lines.find("rename = no") == std::string::npos;
    const bool keeps = lines.find("keep_incomplete = yes") != std::string::npos;
    return std::string(renames ? "renames" : "cannot rename") + (keeps ? ", keeps" : "") + ": ";
}

// PTP responses a camera gives mid-session, each at the checks (its own message) and at three
// places of the copy (the transmission error, what was sent before whole). A SendObjectInfo
// refused with ParameterNotSupported is sent again under the standard format, so that copy
// completes.
const struct {
    Fault fault;
    int atChecks;
    bool completesBetweenFiles;
} kResponses[] = {
    {kGeneral, IDS_MSG_CAMERA_INTERNAL, false},
    {kNoOperation, IDS_MSG_INCOMPATIBLE_MODEL, false},
    {kNoParameter, IDS_MSG_INCOMPATIBLE_MODEL, true},
    {kNoStore, IDS_MSG_NO_CARD, false},
    {kFull, IDS_MSG_CAMERA_INTERNAL, false},
    {kReadOnly, IDS_MSG_CAMERA_INTERNAL, false},
    {kIncomplete, IDS_MSG_CAMERA_NOT_READY, false},
    {kDenied, IDS_MSG_CAMERA_INTERNAL, false},
    {kBadHandle, IDS_MSG_CAMERA_INTERNAL, false},
};

std::vector<Row> AllRows() {
    std::vector<Row> rows(std::begin(kRows), std::end(kRows));
    for (const auto& response : kResponses) {
        const Fault& fault = response.fault;
        rows.push_back({fault, kChecks, {response.atChecks}, kNoFiles});
        rows.push_back(response.completesBetweenFiles
                           ? Row{fault, kBetweenFiles, {}, kAllFiles}
                           : Row{fault, kBetweenFiles, {kTransmission}, kFirstFile});
        rows.push_back({fault, kMidFile, {kTransmission}, kFirstFile});
        rows.push_back({fault, kLastFile, {kTransmission}, kFirstTwo});
    }
    return rows;
}

std::string RowName(const Row& row) {
    static const char* const cameras[] = {"", "PTP/IP: ", "uMTP-Responder: "};
    std::string name = std::string(cameras[row.camera]) + (row.again ? KindName(row.kind) : "") +
                       row.fault.label + " " + WhereName(row.where);
    if (row.mid != kMid)
        name += ", a second file of " + std::to_string(row.mid) + " bytes";
    if (row.then)
        name += ", then " + KindName(row.then);
    for (const auto& kept : row.kept)
        name += ", " + kept.first + " on the card";
    return name;
}

bool Renames(const Row& row) {
    return std::string(row.kind).find("rename = no") == std::string::npos;
}

// The message texts of the real program's string table.
std::string Message(int id) {
    static HMODULE exe =
        LoadLibraryExA((testing_support::ExeFolder() + "\\..\\product\\Vandrel.exe").c_str(),
                       nullptr, LOAD_LIBRARY_AS_DATAFILE);
    char text[1024] = "";
    LoadStringA(exe, id, text, sizeof text);
    return text;
}

// What is on the card before a run and must stay as it is: the photos and the row's own.
std::map<std::string, std::string> KeptFiles(const Row& row) {
    std::map<std::string, std::string> files = kPhotos;
    files.insert(row.kept.begin(), row.kept.end());
    return files;
}

// The update folder with the real program and library, a card with photos, the camera profile.
struct FaultUpdate {
    explicit FaultUpdate(const Row& row) : scenario(Profile(row), "vfs") {
        CopyFileA((testing_support::ExeFolder() + "\\..\\product\\Vandrel.exe").c_str(),
                  Path("Vandrel.exe").c_str(), FALSE);
        WriteFileBytes(Path("FirmInfo.txt"), kFirmInfo);
        const std::map<std::string, std::string> files = UpdateFiles(row.mid);
        WriteFileBytes(Path("FIRST.BIN"), files.at("FIRST.BIN"));
        testing_support::MakeFolders(Path("FW\\SUB"));
        WriteFileBytes(Path("FW\\SUB\\MID.BIN"), files.at("MID.BIN"));
        WriteFileBytes(Path("LAST.FIR"), files.at("LAST.FIR"));
        WriteFileBytes(Path("readme.txt"), "Install the update from the card.\r\n");
        for (const auto& kept : KeptFiles(row)) {
            const std::string path = scenario.card() + "\\" + kept.first;
            testing_support::MakeFolders(path.substr(0, path.find_last_of('\\')));
            WriteFileBytes(path, kept.second);
        }
        if (row.prepare)
            row.prepare(scenario.folder());
    }
    // The folder named in wide characters is gone before the scenario removes the rest.
    ~FaultUpdate() {
        DeleteFileW((UnlistablePath(scenario.folder()) + L"\\MID.BIN").c_str());
        RemoveDirectoryW(UnlistablePath(scenario.folder()).c_str());
    }
    static std::string Profile(const Row& row) {
        return row.kind + row.fault.lines + Trigger(row.fault.prefix, row.where);
    }
    std::string Path(const std::string& relative) const { return scenario.Path(relative); }
    testing_support::Scenario scenario;
};

// Presses Next on pages 1 to 3 until the wizard ends, answers each box (OK, or Cancel to a
// question), and finishes from page 4; `whileCopying` runs once the progress dialog is up.
check::WalkOutcome Walk(const FaultUpdate& update,
                        const std::function<void()>& whileCopying = nullptr) {
    check::WalkOptions options;
    options.whileCopying = whileCopying;
    const check::WalkOutcome outcome =
        check::WalkWizard(update.Path("Vandrel.exe"), update.scenario.folder(), options);
    check::CloseNotepads();
    return outcome;
}

void ExpectOutcome(const check::WalkOutcome& outcome, const Row& row) {
    EXPECT_TRUE(outcome.ended) << "the wizard must end";
    EXPECT_EQ(outcome.exitCode, 0u);
    if (row.messages.empty()) {
        EXPECT_TRUE(outcome.completed) << "the copy completes";
        EXPECT_TRUE(outcome.boxes.empty()) << "no message, yet: " << outcome.boxes[0];
        return;
    }
    EXPECT_FALSE(outcome.completed) << "a failed run never reaches the last page";
    std::string expected;
    bool matched = false;
    for (int id : row.messages) {
        expected += "\n  " + Message(id);
        matched = matched || (outcome.boxes.size() == 1 && outcome.boxes[0] == Message(id));
    }
    std::string seen;
    for (const std::string& text : outcome.boxes)
        seen += "\n  " + text;
    EXPECT_TRUE(matched) << "expected exactly one of:" << expected << "\nshown ("
                         << outcome.boxes.size() << "):" << seen;
}

// A name the library sends a file under before it gets its own (~kxptpcls-XXXXXXXX.tmp),
// exactly as it writes them.
bool IsTemporaryName(const std::string& name) {
    if (name.size() != 22 || name.compare(0, 10, "~kxptpcls-") != 0 ||
        name.compare(18, 4, ".tmp") != 0)
        return false;
    return name.find_first_not_of("0123456789abcdef", 10) == 18;
}

// The photos as they were, and the row's other files; of the update only whole files, those
// `card` names; and what else `leftover` lets the card hold. Returns the whole update files.
std::set<std::string> ExpectCard(const std::string& card, const Row& row, Card expected,
                                 bool renames = true, Leftover leftover = kWholeOnly) {
    std::map<std::string, std::string> files = testing_support::ListFiles(card);
    for (const auto& kept : KeptFiles(row)) {
        EXPECT_TRUE(files[kept.first] == kept.second) << kept.first << " was touched";
        files.erase(kept.first);
    }
    const std::map<std::string, std::string> update = UpdateFiles(row.mid);
    std::set<std::string> whole;
    size_t temporary = 0;
    for (const auto& file : files) {
        auto original = update.find(file.first);
        const bool cutShort = original != update.end() &&
                              file.second.size() < original->second.size() &&
                              original->second.compare(0, file.second.size(), file.second) == 0;
        if (original == update.end() && renames && IsTemporaryName(file.first))
            ++temporary;
        else if (original == update.end())
            ADD_FAILURE() << "the card holds " << file.first << " (" << file.second.size()
                          << " bytes), no file of the update";
        else if (file.second == original->second)
            whole.insert(file.first);
        else if (!(leftover == kPartial && cutShort))
            ADD_FAILURE() << file.first << " on the card is not the update's ("
                          << file.second.size() << " of " << original->second.size() << " bytes)";
    }
    if (leftover == kTemporary) {
        EXPECT_GT(temporary, 0u) << "what the failure left is under a temporary name";
    }
    const std::set<std::string> sets[] = {
        {}, {"FIRST.BIN"}, {"FIRST.BIN", "MID.BIN"}, {"FIRST.BIN", "MID.BIN", "LAST.FIR"}};
    if (expected == kSome)
        EXPECT_LT(whole.size(), update.size()) << "a failed copy holds less than the update";
    else if (expected == kFirstMaybeSecond)
        EXPECT_TRUE(whole == sets[kFirstFile] || whole == sets[kFirstTwo])
            << "nothing is sent after the event: " << whole.size() << " whole files";
    else
        EXPECT_EQ(whole, sets[expected]);
    return whole;
}

// Rows print by name in failures.
void PrintTo(const Row& row, std::ostream* out) {
    *out << RowName(row);
}

class FaultSuite : public ::testing::TestWithParam<Row> {};

TEST_P(FaultSuite, EndsWithOneMessageAndAnHonestCard) {
    const Row& row = GetParam();
    FaultUpdate update(row);
    std::unique_ptr<testing_support::CameraServer> server;
    if (row.camera == kUmtp) {
        WriteFileBytes(update.Path("umtprd.conf"), kUmtpConf);
        server.reset(new testing_support::PeerServer(testing_support::Peer::kUmtpResponder,
                                                     update.scenario.folder(), "card", "",
                                                     "umtprd.conf"));
    } else {
        server.reset(new testing_support::VcamServer(update.scenario.folder()));
    }
    const bool overPtpIp = row.camera != kEmbedded;
    const auto settings = [&](const std::string& more) {
        update.scenario.SetSettings(
            (overPtpIp ? server->Settings()
                       : std::string("transport = virtual\nprofile = camera.ini\ncard = card\n")) +
            more);
    };
    auto serve = [&] {
        ASSERT_TRUE(server->Start());
        settings("");
    };
    if (overPtpIp) {
        ASSERT_NO_FATAL_FAILURE(serve());
    }
    if (*row.settings)
        settings(row.settings);
    std::function<void()> kill;
    if (row.killServerMidCopy)
        kill = [&server] {
            Sleep(1000);
            server->Kill();
        };
    ExpectOutcome(Walk(update, kill), row);
    // A copy that completed leaves nothing under a temporary name.
    const std::set<std::string> whole = ExpectCard(
        update.scenario.card(), row, row.card, Renames(row) && !row.messages.empty(), row.leftover);
    if (!row.killServerMidCopy && !row.again)
        return;
    // The camera is back: a second run completes, or says that the update is on the card,
    // and only when a whole file of it is there. Nothing under a temporary name is left.
    update.scenario.SetProfile(row.then ? row.then : row.kind);
    if (overPtpIp) {
        ASSERT_NO_FATAL_FAILURE(serve());
    } else if (*row.settings) {
        settings("");
    }
    const check::WalkOutcome second = Walk(update);
    EXPECT_TRUE(second.ended);
    if (second.completed) {
        EXPECT_TRUE(second.boxes.empty());
        ExpectCard(update.scenario.card(), row, kAllFiles, false);
    } else {
        ASSERT_EQ(second.boxes.size(), 1u);
        EXPECT_EQ(second.boxes[0], Message(IDS_MSG_ALREADY_ON_CARD));
        EXPECT_FALSE(whole.empty()) << "79 with no whole update file on the card";
        // Its checks removed what was left under temporary names.
        ExpectCard(update.scenario.card(), row, row.card, false,
                   row.leftover == kPartial ? kPartial : kWholeOnly);
    }
}

std::string TestName(const ::testing::TestParamInfo<Row>& info) {
    std::string name = std::to_string(info.index) + "_";
    for (char c : RowName(info.param))
        name += isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(Rows, FaultSuite, ::testing::ValuesIn(AllRows()), TestName);

} // namespace
