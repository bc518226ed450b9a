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

int CameraServer::PortOfFirstLine(const std::string& line) {
    const size_t colon = line.rfind(':');
    if (colon == std::string::npos || line.find(" listening on 127.0.0.1:") == std::string::npos)
        return 0;
    return atoi(line.c_str() + colon + 1);
}

std::string CameraServer::Settings() const {
    return "transport = ptpip\nhosts = 127.0.0.1:" + std::to_string(port) + "\n";
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
    // Its first line, once it listens. With --quiet or --log it writes nothing more.
    std::string line;
    char c;
    DWORD n = 0;
    while (process_ && line.size() < 200 && ReadFile(readEnd, &c, 1, &n, nullptr) && n == 1 &&
           c != '\n')
        line += c;
    CloseHandle(readEnd);
    port = PortOfFirstLine(line);
    return port > 0;
}

void VcamServer::Kill() {
    if (process_) {
        TerminateProcess(process_.get(), 9);
        WaitForSingleObject(process_.get(), 10000);
        process_.reset();
    }
}

const char* PeerName(Peer peer) {
    return peer == Peer::kUmtpResponder ? "uMTP-Responder" : "libgphoto2 vcamera";
}

namespace {

// The Linux path of a Windows one, as Wine maps it; empty where there is none.
std::string UnixPath(const std::string& path) {
    using ToUnix = char*(CDECL*)(LPCWSTR);
    static const ToUnix toUnix = reinterpret_cast<ToUnix>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    char* unix = toUnix ? toUnix(check::Wide(path).c_str()) : nullptr;
    if (!unix)
        return "";
    std::string result = unix;
    HeapFree(GetProcessHeap(), 0, unix);
    return result;
}

// Wine starts a Linux program with its standard handles on /dev/null and gives no handle of
// it: what it says goes to files, and it is stopped by its process ID.
bool StartLinuxProgram(const char* program, std::string commandLine) {
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessA(program, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &pi))
        return false;
    if (pi.hProcess)
        CloseHandle(pi.hProcess);
    if (pi.hThread)
        CloseHandle(pi.hThread);
    return true;
}

std::string ShellQuoted(const std::string& text) {
    return "'" + text + "'";
}

} // namespace

PeerServer::PeerServer(Peer peer, std::string folder, std::string card, std::string log,
                       std::string conf)
    : peer_(peer), folder_(std::move(folder)), card_(std::move(card)), log_(std::move(log)),
      conf_(std::move(conf)) {}

bool PeerServer::Start() {
    Kill();
    port = 0;
    const std::string base = UnixPath(folder_);
    if (base.empty() || base.find('\'') != std::string::npos)
        return false;
    const auto inFolder = [&](const std::string& name) {
        return name.find(':') != std::string::npos ? UnixPath(name) : base + "/" + name;
    };
    // The program runs with its output in peer.out, whose first line names the port; the
    // idle timeout ends it should this test end before it could stop it.
    const std::string program =
        VANDREL_PEERS_DIR +
        std::string(peer_ == Peer::kUmtpResponder ? "/umtp-peer" : "/vcamera-peer");
    std::string script = "echo $$ > " + ShellQuoted(base + "/peer.pid") + "\nexec " +
                         ShellQuoted(program) + " --port 0 --idle-timeout 120 --card " +
                         ShellQuoted(inFolder(card_)) +
                         (log_.empty() ? " --quiet" : " --log " + ShellQuoted(inFolder(log_))) +
                         (conf_.empty() ? "" : " --conf " + ShellQuoted(inFolder(conf_))) + " > " +
                         ShellQuoted(base + "/peer.out") + " 2>&1\n";
    const std::string out = folder_ + "\\peer.out", pidFile = folder_ + "\\peer.pid";
    DeleteFileA(out.c_str());
    DeleteFileA(pidFile.c_str());
    if (!WriteFileBytes(folder_ + "\\peer.sh", script) ||
        !StartLinuxProgram("Z:\\bin\\sh", "sh \"" + base + "/peer.sh\""))
        return false;
    std::string text, pid;
    for (int i = 0; i < 400 && text.find('\n') == std::string::npos; ++i, Sleep(25))
        ReadFileBytes(out, text);
    ReadFileBytes(pidFile, pid);
    pid_ = strtoul(pid.c_str(), nullptr, 10);
    port = PortOfFirstLine(text.substr(0, text.find('\n')));
    return port > 0;
}

void PeerServer::Kill() {
    if (!pid_)
        return;
    const std::string id = std::to_string(pid_);
    pid_ = 0;
    if (!StartLinuxProgram("Z:\\bin\\kill", "kill -KILL " + id))
        return;
    // Gone once its entry in /proc is, or holds only its exit status.
    std::string stat;
    for (int i = 0; i < 400 && ReadFileBytes("Z:\\proc\\" + id + "\\stat", stat) &&
                    stat.find(") Z ") == std::string::npos;
         ++i)
        Sleep(25);
}

} // namespace testing_support
