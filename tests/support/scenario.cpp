#include "scenario.h"

#include <cstdlib>
#include <utility>

namespace testing_support {

std::string ExeFolder() {
    char path[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string folder(path);
    return folder.substr(0, folder.find_last_of('\\'));
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

VcamServer::VcamServer(std::string folder, std::string profile, std::string card, std::string log)
    : folder_(std::move(folder)), profile_(std::move(profile)), card_(std::move(card)),
      log_(std::move(log)) {}

bool VcamServer::Start() {
    Kill();
    port = 0;
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &sa, 0))
        return false;
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = writeEnd;
    si.hStdError = writeEnd;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    const std::string exe = ExeFolder() + "\\..\\..\\vcam\\vcam.exe";
    std::string command = "\"" + exe + "\" --port 0 --profile \"" + profile_ + "\" --card \"" +
                          card_ + "\" " + (log_.empty() ? "--quiet" : "--log \"" + log_ + "\"");
    PROCESS_INFORMATION pi = {};
    if (CreateProcessA(exe.c_str(), &command[0], nullptr, nullptr, TRUE, 0, nullptr,
                       folder_.c_str(), &si, &pi)) {
        process_.reset(pi.hProcess);
        CloseHandle(pi.hThread);
    }
    CloseHandle(writeEnd);
    // Its first line, once it listens: "vcam listening on 127.0.0.1:PORT". With --quiet or
    // --log it writes nothing more.
    std::string line;
    char c;
    DWORD n = 0;
    while (process_ && line.size() < 200 && ReadFile(readEnd, &c, 1, &n, nullptr) && n == 1 &&
           c != '\n')
        line += c;
    CloseHandle(readEnd);
    const size_t colon = line.rfind(':');
    if (colon != std::string::npos && line.find("listening") != std::string::npos)
        port = atoi(line.c_str() + colon + 1);
    return port > 0;
}

void VcamServer::Kill() {
    if (process_) {
        TerminateProcess(process_.get(), 9);
        WaitForSingleObject(process_.get(), 10000);
        process_.reset();
    }
}

std::string VcamServer::Settings() const {
    return "transport = ptpip\nhosts = 127.0.0.1:" + std::to_string(port) + "\n";
}

} // namespace testing_support
