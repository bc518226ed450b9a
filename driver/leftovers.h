// The temporary names a file is sent under before it gets its own, and their leftovers.
#pragma once

#include <string>

// A new name of the form ~kxptpcls-XXXXXXXX.tmp (eight hex digits): no user's file and no
// camera's own file is named so.
std::string TemporaryName();
// True for a name TemporaryName could have given, exactly as it gives it.
bool IsTemporaryName(const std::string& name);
