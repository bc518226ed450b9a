// Runs the resource tests on the module named by the first argument, or on this program.
#include <gtest/gtest.h>

#include <cstdio>

#include "resource_module.h"

HMODULE resourceModule = nullptr;
char resourceModulePath[MAX_PATH] = {};

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (argc > 1) {
        // A path from the build system is a Unix path; Wine maps it through drive Z:.
        if (argv[1][0] == '/')
            snprintf(resourceModulePath, sizeof resourceModulePath, "Z:%s", argv[1]);
        else
            snprintf(resourceModulePath, sizeof resourceModulePath, "%s", argv[1]);
        resourceModule = LoadLibraryExA(resourceModulePath, nullptr,
                                        LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        if (!resourceModule) {
            fprintf(stderr, "cannot load %s as data (error %lu)\n", resourceModulePath,
                    GetLastError());
            return 2;
        }
    } else {
        resourceModule = GetModuleHandleA(nullptr);
        GetModuleFileNameA(nullptr, resourceModulePath, sizeof resourceModulePath);
    }
    printf("resources of %s\n", resourceModulePath);
    return RUN_ALL_TESTS();
}
