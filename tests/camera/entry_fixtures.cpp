// Stand-ins for broken driver installations: a library without the entry point, and one whose
// entry point hands out no object.
#include <cstdint>

#ifdef NO_ENTRY_POINT
extern "C" __declspec(dllexport) int32_t SomethingElse(void) {
    return 0;
}
#else
extern "C" __declspec(dllexport) void* pGet_kxCPTPClass(void) {
    return nullptr;
}
#endif
