// Puts the process-wide camera link back to its start, as a new process would have it. A link
// left half open by a failed open still holds the library's object: it is released through the
// library before the library is unloaded, as every user of the library must.
#pragma once

#include <windows.h>

#include <cstring>

#include "camera_link.h"

namespace testing_support {

inline void ResetCameraLink() {
    if (cameraLink.isOpen)
        CameraClose();
    if (cameraLink.library) {
        auto release = reinterpret_cast<Free_kxCPTPClassFn>(
            reinterpret_cast<void*>(GetProcAddress(cameraLink.library, KX_FREE_CLASS_EXPORT)));
        if (cameraLink.camera && release)
            release(cameraLink.camera);
        FreeLibrary(cameraLink.library);
    }
    memset(&cameraLink, 0, sizeof cameraLink);
    SetDllDirectoryA(nullptr);
}

} // namespace testing_support
