// Driver results become messages; camera power and disconnect events become error reports.
#include "camera_events.h"

#include <mutex>
#include <shared_mutex>

#include "camera_link.h"
#include "common/interlocked.h"
#include "common/lock.h"

namespace {

// Reading the target and posting to it is one step under this lock, so that a window that hands
// the target on can then collect every report that was meant for it.
common::Lock targetLock;
HWND errorTargetWindow = nullptr;

struct ResultMessage {
    uint16_t first;
    uint16_t last;
    MessageId message;
};

// Low 16 bits of a driver result, as ranges, to the message that explains it.
const ResultMessage kResultMessages[] = {
    {2, 2, IDS_MSG_CAMERA_INTERNAL},      {11, 11, IDS_MSG_CAMERA_NOT_READY},
    {193, 193, IDS_MSG_CAMERA_NOT_READY}, {32, 40, IDS_MSG_FILE_NOT_FOUND},
    {160, 167, IDS_MSG_FILE_NOT_FOUND},   {169, 169, IDS_MSG_FILE_NOT_FOUND},
    {41, 41, IDS_MSG_FILE_ACCESS},        {42, 42, IDS_MSG_LOW_RESOURCES},
    {132, 132, IDS_MSG_LOW_RESOURCES},    {168, 168, IDS_MSG_LOW_RESOURCES},
    {80, 81, IDS_MSG_IMAGE_PROPERTIES},   {83, 83, IDS_MSG_IMAGE_PROPERTIES},
    {128, 128, IDS_MSG_NO_CAMERA},        {130, 130, IDS_MSG_NO_CAMERA},
    {135, 136, IDS_MSG_NO_CARD},          {139, 139, IDS_MSG_DRIVER_NOT_INSTALLED},
    {192, 192, IDS_MSG_PORT_BUSY},        {194, 194, IDS_MSG_INCOMPATIBLE_MODEL},
};

struct ReasonMessage {
    uint16_t reason;
    MessageId message;
};

// Reasons of the power and disconnect class; any other reason is an internal error.
const ReasonMessage kReasonMessages[] = {
    {1, IDS_MSG_POWER_LOW_BATTERY},
    {2, IDS_MSG_DISCONNECT_MODE_SWITCH},
    {kEventReasonCardSlot, IDS_MSG_DISCONNECT_CARD_COVER},
    {4, IDS_MSG_POWER_BATTERY_COVER},
    {5, IDS_MSG_POWER_IDLE},
    {kEventReasonConnectionLost, IDS_MSG_CONNECTION_PROBLEM},
};

} // namespace

MessageId TranslateDriverResult(DriverResult result) {
    const uint16_t code = static_cast<uint16_t>(static_cast<uint32_t>(result) & 0xFFFF);
    for (const ResultMessage& row : kResultMessages) {
        if (code >= row.first && code <= row.last)
            return row.message;
    }
    return -1;
}

extern "C" int32_t CameraEventFilter(uint32_t eventCode, const uint32_t* eventData,
                                     uint32_t eventValue, uint32_t) {
    if (eventCode & kEventIgnoredBit)
        return 0;
    if ((eventCode & kEventClassMask) != kEventClassPower)
        return 0;
    CameraEventHandlerFn handler = ReadSharedPointer(&cameraLink.eventHandler);
    if (handler)
        handler(eventCode, eventData, eventValue);
    return 0;
}

void CameraEventHandler(uint32_t eventCode, const uint32_t* eventData, uint32_t) {
    if ((eventCode & kEventIgnoredBit) || (eventCode & kEventClassMask) != kEventClassPower)
        return;
    WriteShared(&cameraLink.cameraLost, 1);
    const uint16_t reason = static_cast<uint16_t>(eventCode & 0xFFFF);
    MessageId message = IDS_MSG_INTERNAL_ERROR;
    for (const ReasonMessage& row : kReasonMessages) {
        if (row.reason == reason)
            message = row.message;
    }
    // The card cover reason reports only when the event's first word is 0.
    if (reason == kEventReasonCardSlot && (!eventData || *eventData != 0))
        return;
    std::shared_lock<common::Lock> hold(targetLock);
    if (errorTargetWindow) // a null window would make this a message to the calling thread
        PostMessageA(errorTargetWindow, UWM_REPORT_ERROR, 0, message);
}

void SetErrorTargetWindow(HWND window) {
    std::lock_guard<common::Lock> hold(targetLock);
    errorTargetWindow = window;
}

HWND ErrorTargetWindow() {
    std::shared_lock<common::Lock> hold(targetLock);
    return errorTargetWindow;
}

MessageId TakeQueuedReports() {
    MessageId first = 0;
    MSG report;
    while (PeekMessageA(&report, nullptr, UWM_REPORT_ERROR, UWM_REPORT_ERROR, PM_REMOVE)) {
        if (first == 0)
            first = static_cast<MessageId>(report.lParam);
    }
    return first;
}

MessageId PreferQueuedReport(MessageId own) {
    const MessageId queued = TakeQueuedReports();
    return queued != 0 ? queued : own;
}
