// The library's two entry points. The object remembers the library's folder, where its
// settings file and, by default, the virtual camera's card live.
#include <windows.h>

#include <new>
#include <string>

#include "kx_camera.h"

namespace {

std::string LibraryFolder() {
    HMODULE self = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&LibraryFolder), &self);
    char path[MAX_PATH] = "";
    DWORD n = GetModuleFileNameA(self, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return ".";
    std::string folder(path, n);
    const size_t slash = folder.find_last_of("\\/");
    return slash == std::string::npos ? "." : folder.substr(0, slash);
}

} // namespace

extern "C" __declspec(dllexport) CPTPClass* pGet_kxCPTPClass(void) {
    try {
        return new KxCamera(LibraryFolder());
    } catch (...) {
        return nullptr;
    }
}

extern "C" __declspec(dllexport) int32_t Free_kxCPTPClass(CPTPClass* object) {
    try {
        delete static_cast<KxCamera*>(object);
    } catch (...) {
        return kDriverGeneralError;
    }
    return kDriverOk;
}
