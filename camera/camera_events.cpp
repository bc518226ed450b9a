// Driver results become messages; camera power and disconnect events become error reports.
#include "camera_events.h"

#include "camera_link.h"

namespace {

// Reading the target and posting to it is one step under this lock, so that a window that hands
// the target on can then collect every report that was meant for it.
SRWLOCK targetLock = SRWLOCK_INIT;
HWND errorTargetWindow = nullptr;

struct ResultMessage {
    uint16_t first;
    uint16_t last;
    MessageId message;
};

// Low 16 bits of a driver result, as ranges, to the message that explains it.
const ResultMessage kResultMessages[] = {
    {2, 2, 51},     {11, 11, 55},   {193, 193, 55}, {32, 40, 44},   {160, 167, 44}, {169, 169, 44},
    {41, 41, 45},   {42, 42, 57},   {132, 132, 57}, {168, 168, 57}, {80, 81, 47},   {83, 83, 47},
    {128, 128, 48}, {130, 130, 48}, {135, 136, 52}, {139, 139, 53}, {192, 192, 54}, {194, 194, 56},
};

struct ReasonMessage {
    uint16_t reason;
    MessageId message;
};

const ReasonMessage kReasonMessages[] = {
    {1, 64}, {2, 66}, {3, 67}, {4, 65}, {5, 63}, {13, 59},
};

const MessageId kInternalError = 58;
const uint16_t kReasonCardCover = 3;

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
    CameraEventHandlerFn handler = cameraLink.eventHandler;
    if (handler)
        handler(eventCode, eventData, eventValue);
    return 0;
}

void CameraEventHandler(uint32_t eventCode, const uint32_t* eventData, uint32_t) {
    if ((eventCode & kEventIgnoredBit) || (eventCode & kEventClassMask) != kEventClassPower)
        return;
    InterlockedExchange(&cameraLink.cameraLost, 1);
    const uint16_t reason = static_cast<uint16_t>(eventCode & 0xFFFF);
    MessageId message = kInternalError;
    for (const ReasonMessage& row : kReasonMessages) {
        if (row.reason == reason)
            message = row.message;
    }
    // The card cover reason reports only when the event's first word is 0.
    if (reason == kReasonCardCover && (!eventData || *eventData != 0))
        return;
    AcquireSRWLockShared(&targetLock);
    if (errorTargetWindow) // a null window would make this a message to the calling thread
        PostMessageA(errorTargetWindow, UWM_REPORT_ERROR, 0, message);
    ReleaseSRWLockShared(&targetLock);
}

void SetErrorTargetWindow(HWND window) {
    AcquireSRWLockExclusive(&targetLock);
    errorTargetWindow = window;
    ReleaseSRWLockExclusive(&targetLock);
}

HWND ErrorTargetWindow() {
    AcquireSRWLockShared(&targetLock);
    HWND window = errorTargetWindow;
    ReleaseSRWLockShared(&targetLock);
    return window;
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
