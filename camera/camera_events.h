// Driver results to messages, and camera events to error reports for the window on duty.
#pragma once

#include <windows.h>

#include <cstdint>

#include "driver_result.h"
#include "resource_ids.h"

// Private window message: a camera event's MessageId in lParam, wParam 0. Always posted.
#define UWM_REPORT_ERROR (WM_USER + 1000)

// The window that shows camera-event reports at this moment (wizard page 2 or 3, progress dialog).
// Once SetErrorTargetWindow has returned, no report is posted to the window it replaced.
void SetErrorTargetWindow(HWND window);
HWND ErrorTargetWindow();

// Removes every report queued for the windows of this thread; the first one's MessageId, or 0.
MessageId TakeQueuedReports();
// A failure's own message, unless a camera event's report is still queued: that names the cause.
MessageId PreferQueuedReport(MessageId own);

MessageId TranslateDriverResult(DriverResult result);
extern "C" int32_t CameraEventFilter(uint32_t eventCode, const uint32_t* eventData,
                                     uint32_t eventValue, uint32_t fourth);
void CameraEventHandler(uint32_t eventCode, const uint32_t* eventData, uint32_t eventValue);
