// A camera that pairs with, or remembers, an initiator knows it by its GUID: one per PC.
#include "identity.h"

#include <windows.h>

#include <cstring>

#include "common/handle.h"

namespace {

uint64_t Fnv1a(const std::string& text, uint64_t seed) {
    uint64_t hash = seed;
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 0x100000001B3ull;
    }
    return hash;
}

// Windows' own identity of its installation, made once at setup.
std::string MachineGuid() {
    common::RegistryKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Cryptography", 0,
                      KEY_QUERY_VALUE | KEY_WOW64_64KEY, key.receive()) != ERROR_SUCCESS)
        return std::string();
    char value[128] = "";
    DWORD size = sizeof value - 1, type = 0;
    const LONG r = RegQueryValueExA(key.get(), "MachineGuid", nullptr, &type,
                                    reinterpret_cast<BYTE*>(value), &size);
    return r == ERROR_SUCCESS && type == REG_SZ ? std::string(value, strnlen(value, size))
                                                : std::string();
}

} // namespace

ptp::Guid GuidOfIdentity(const std::string& identity) {
    const uint64_t halves[2] = {Fnv1a(identity, 0xCBF29CE484222325ull),
                                Fnv1a(identity, 0x84222325CBF29CE4ull)};
    ptp::Guid guid;
    for (size_t i = 0; i < guid.size(); ++i)
        guid[i] = static_cast<uint8_t>(halves[i / 8] >> (8 * (i % 8)));
    guid[6] = static_cast<uint8_t>((guid[6] & 0x0F) | 0x80); // version 8: made by its vendor
    guid[8] = static_cast<uint8_t>((guid[8] & 0x3F) | 0x80); // RFC 4122 variant
    return guid;
}

ptp::Guid InstallationGuid() {
    std::string identity = MachineGuid();
    if (identity.empty()) {
        // Without it, the computer's name and its system volume's serial number.
        char name[MAX_COMPUTERNAME_LENGTH + 1] = "";
        DWORD length = sizeof name;
        if (GetComputerNameA(name, &length))
            identity = name;
        DWORD serial = 0;
        if (GetVolumeInformationA("C:\\", nullptr, 0, &serial, nullptr, nullptr, nullptr, 0))
            identity += "\n" + std::to_string(serial);
    }
    return GuidOfIdentity("Vandrel initiator\n" + identity);
}
