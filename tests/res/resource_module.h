// The module whose resources the tests read, chosen by resources_main.cpp.
#pragma once

#include <windows.h>

extern HMODULE resourceModule;
// File of that module, for the version functions that take a path.
extern char resourceModulePath[MAX_PATH];
