#include "scenario.h"

namespace testing_support {

std::string ExeFolder() {
    char path[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string folder(path);
    return folder.substr(0, folder.find_last_of('\\'));
}

std::string MakeTempFolder(const char* prefix) {
    char base[MAX_PATH], name[MAX_PATH];
    GetTempPathA(MAX_PATH, base);
    GetTempFileNameA(base, prefix, 0, name);
    DeleteFileA(name);
    CreateDirectoryA(name, nullptr);
    return name;
}

std::string BuiltLibraryPath() {
    return ExeFolder() + "\\..\\product\\KXPTPCLS.DLL";
}

Scenario::Scenario(const std::string& profile, const char* prefix)
    : folder_(MakeTempFolder(prefix)) {
    CopyFileA(BuiltLibraryPath().c_str(), Path("KXPTPCLS.DLL").c_str(), FALSE);
    CreateDirectoryA(card().c_str(), nullptr);
    SetProfile(profile);
    SetSettings("transport = virtual\nprofile = camera.ini\ncard = card\n");
}

Scenario::~Scenario() {
    RemoveTree(folder_);
}

void Scenario::SetProfile(const std::string& profile) {
    WriteFileBytes(Path("camera.ini"), profile);
}

void Scenario::SetSettings(const std::string& settings) {
    WriteFileBytes(Path("KXPTPCLS.ini"), settings);
}

void Scenario::UseLibraryHere() {
    SetDllDirectoryA(folder_.c_str());
}

} // namespace testing_support
