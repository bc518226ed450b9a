// Path joins that never cut.
#include "common/paths.h"

#include <cstring>

bool JoinPath(char* path, const char* first, const char* second) {
    const size_t a = strlen(first), b = strlen(second);
    if (a + 1 + b >= MAX_PATH)
        return false;
    memmove(path, first, a);
    path[a] = '\\';
    memcpy(path + a + 1, second, b + 1);
    return true;
}

const char* LastPathComponent(const char* path) {
    const char* name = path;
    for (const char* p = path; *p; ++p) {
        if (IsDBCSLeadByte(static_cast<BYTE>(*p))) {
            if (!p[1])
                break;
            ++p;
            continue;
        }
        if (*p == '\\')
            name = p + 1;
    }
    return name;
}
