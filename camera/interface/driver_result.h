// Result codes shared by the driver library, the streams and the camera operations.
#pragma once

#include <cstdint>

// Signed 32-bit; 0 is success. The numbers are those the result translation knows.
typedef int32_t DriverResult;

enum : DriverResult {
    kDriverOk = 0,
    kDriverGeneralError = 2,        // the camera failed the operation
    kDriverOutOfMemory = 3,         // an allocation failed
    kDriverLinkState = 5,           // camera link already open, or not open
    kDriverConnectionLost = 11,     // the connection broke in the middle of an operation
    kStreamOpenFailed = 35,         // opening the file failed
    kStreamSeekFailed = 37,         // setting the file position failed
    kStreamTellFailed = 38,         // reading the file position failed
    kStreamReadFailed = 39,         // reading the file failed
    kStreamWriteFailed = 40,        // writing the file failed
    kDriverVerifyFailed = 80,       // what arrived on the card is not the file that was sent
    kDriverMultipleCameras = 81,    // more than one camera attached
    kStreamBadArgument = 96,        // no path, no descriptor or no private block
    kDriverNoCamera = 128,          // no such device
    kDriverNoAnswer = 130,          // the camera does not answer
    kDriverStoreNotAvailable = 135, // no card
    kDriverNotInstalled = 139,      // library or its entry point missing, or bad settings
    kStreamNotOpen = 161,           // stream without an open file or a buffer
    kDriverBusy = 192,              // device busy
    kDriverNotSupported = 194,      // operation or parameter not supported
    kDriverStreamSetupFailed = -1,  // creating or reading back a stream failed
};
