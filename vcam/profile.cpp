// Ini loader of the virtual camera's profile.
#include "vcam/profile.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "ptp/codes.h"
#include "ptp/text.h"

namespace vcam {
namespace {

using ptp::Lower;
using ptp::Trim;

bool ParseU64(const std::string& text, uint64_t& value) {
    if (text.empty() || text[0] == '-')
        return false;
    char* end = nullptr;
    value = std::strtoull(text.c_str(), &end, 0);
    return *end == '\0';
}

bool ParseU32(const std::string& text, uint32_t& value, uint32_t max = 0xFFFFFFFFu) {
    uint64_t wide;
    if (!ParseU64(text, wide) || wide > max)
        return false;
    value = static_cast<uint32_t>(wide);
    return true;
}

// A byte count with an optional K, M, G or T suffix (powers of 1024), also as KB or KiB.
bool ParseSize(const std::string& text, uint64_t& value) {
    const std::string units = "kmgt";
    std::string lower = Lower(text);
    for (const std::string tail : {"ib", "b"}) {
        size_t n = tail.size();
        if (lower.size() > n + 1 && lower.compare(lower.size() - n, n, tail) == 0 &&
            units.find(lower[lower.size() - n - 1]) != std::string::npos) {
            lower.resize(lower.size() - n);
            break;
        }
    }
    int shift = 0;
    size_t at = lower.empty() ? std::string::npos : units.find(lower.back());
    if (at != std::string::npos && lower.compare(0, 2, "0x") != 0) {
        shift = 10 * static_cast<int>(at + 1);
        lower.pop_back();
    }
    if (!ParseU64(Trim(lower), value) || (shift && value > (kNever >> shift)))
        return false;
    value <<= shift;
    return true;
}

bool ParseBool(const std::string& text, bool& value) {
    std::string lower = Lower(text);
    if (lower == "1" || lower == "yes" || lower == "true" || lower == "on") {
        value = true;
        return true;
    }
    if (lower == "0" || lower == "no" || lower == "false" || lower == "off") {
        value = false;
        return true;
    }
    return false;
}

// A 16-bit code, such as a response code.
bool ParseCode(const std::string& text, uint16_t& code) {
    uint32_t number = 0;
    if (!ParseU32(text, number, 0xFFFF))
        return false;
    code = static_cast<uint16_t>(number);
    return true;
}

bool ParseOperationCode(const std::string& text, uint16_t& code) {
    return ptp::ParseOperation(text, code);
}

// Empty storage slots: IDs whose low 16 bits are 0, comma-separated, at most 8.
bool ParseSlots(const std::string& text, std::vector<uint32_t>& slots) {
    slots.clear();
    std::stringstream items(text);
    std::string item;
    while (std::getline(items, item, ',')) {
        uint32_t id = 0;
        if (!ParseU32(Trim(item), id) || (id & 0xFFFF) != 0 || id == 0 || slots.size() == 8)
            return false;
        slots.push_back(id);
    }
    return !slots.empty();
}

// A property's description, "CODE TYPE CURRENT [MIN..MAX]" or "CODE STR TEXT" (see profile.h).
bool ParseDescription(const std::string& text, ptp::DevicePropDesc& desc, uint16_t& missing) {
    static const char* const kTypes[] = {"int8",  "uint8",  "int16", "uint16",
                                         "int32", "uint32", "int64", "uint64"};
    std::istringstream words(text);
    std::string code, type, current, form, extra;
    words >> code >> type;
    desc = ptp::DevicePropDesc();
    missing = 0;
    if (!ParseCode(code, desc.propertyCode) || desc.propertyCode == 0)
        return false;
    if (Lower(type) == "str") {
        std::getline(words, current);
        desc.dataType = ptp::DTC_STR;
        desc.factoryDefault = desc.current = ptp::PropValue::String(Trim(current));
        return current.size() < 200;
    }
    for (int i = 0; i < 8; ++i)
        if (Lower(type) == kTypes[i])
            desc.dataType = static_cast<uint16_t>(ptp::DTC_INT8 + i);
    const int bits = 8 << ((desc.dataType - 1) / 2);
    const uint64_t max = bits == 64 ? kNever : (uint64_t(1) << bits) - 1;
    uint64_t number = 0;
    words >> current >> form;
    if (desc.dataType == 0 || (words >> extra) || !ParseU64(current, number) || number > max)
        return false;
    desc.factoryDefault = desc.current = ptp::PropValue::Unsigned(desc.dataType, number);
    const auto value = [&](const std::string& word, ptp::PropValue& v) {
        uint64_t n = 0;
        if (!ParseU64(Trim(word), n) || n > max)
            return false;
        v = ptp::PropValue::Unsigned(desc.dataType, n);
        return true;
    };
    const size_t dots = form.find("..");
    if (form.empty())
        return true;
    if (Lower(form) == "noform") {
        desc.cutShort = true; // the description ends after its current value
        return true;
    }
    if (form[0] == '{') {
        const size_t close = form.find('}');
        if (close == std::string::npos)
            return false;
        desc.formFlag = ptp::DPFF_Enumeration;
        std::stringstream values(form.substr(1, close - 1));
        for (std::string word; std::getline(values, word, ',');) {
            desc.enumValues.emplace_back();
            if (!value(word, desc.enumValues.back()) || desc.enumValues.size() > 255)
                return false;
        }
        const std::string more = form.substr(close + 1);
        uint32_t n = 0;
        if (!more.empty() && (more[0] != '+' || !ParseU32(more.substr(1), n, 0xFFFF - 255)))
            return false;
        missing = static_cast<uint16_t>(n);
        desc.cutShort = missing != 0;
        return true;
    }
    desc.formFlag = ptp::DPFF_Range;
    desc.rangeStep = ptp::PropValue::Unsigned(desc.dataType, 1);
    return dots != std::string::npos && value(form.substr(0, dots), desc.rangeMin) &&
           value(form.substr(dots + 2), desc.rangeMax);
}

bool ParseOperations(const std::string& text, std::vector<uint16_t>& codes) {
    codes.clear();
    std::stringstream words(text);
    for (std::string word; std::getline(words, word, ',');) {
        uint16_t code = 0;
        if (!ParseOperationCode(Trim(word), code))
            return false;
        codes.push_back(code);
    }
    return true;
}

// A trigger key ("operation", "occurrence", "after_bytes"); false when `key` is none of them.
bool SetTrigger(Trigger& trigger, const std::string& key, const std::string& value, bool& ok) {
    if (key == "operation")
        ok = ParseOperationCode(value, trigger.operation);
    else if (key == "occurrence")
        ok = ParseU32(value, trigger.occurrence);
    else if (key == "after_bytes")
        ok = ParseSize(value, trigger.afterBytes);
    else
        return false;
    return true;
}

// Applies one key; false with `known` false for an unknown key, with `known` true for a bad value.
bool Apply(Profile& p, const std::string& key, const std::string& value, bool& known,
           bool& levelGiven) {
    known = true;
    uint32_t number = 0;
    bool ok = false;
    if (key == "camera.model")
        p.model = value, ok = true; // an empty name: a camera that reports none
    else if (key == "camera.manufacturer")
        p.manufacturer = value, ok = true;
    else if (key == "camera.serial")
        p.serialNumber = value, ok = true;
    else if (key == "camera.firmware")
        p.firmware = value, ok = ptp::ParseVersion(value, p.firmwareVersion);
    else if (key == "camera.count")
        ok = ParseU32(value, p.cameraCount, 16);
    else if (key == "camera.vendor_properties") {
        p.vendorPropertiesForeign = Lower(value) == "foreign";
        ok = p.vendorPropertiesForeign ? (p.vendorProperties = true)
                                       : ParseBool(value, p.vendorProperties);
    } else if (key == "camera.vendor_extension")
        p.vendorExtension = value, ok = value.size() < 200;
    else if (key == "camera.device_info_strings")
        ok = ParseU32(value, p.deviceInfoStrings, 4);
    else if (key == "camera.split_writes")
        ok = ParseBool(value, p.splitWrites);
    else if (key == "camera.device_version")
        p.firmware = value, ok = value.size() < 200;
    else if (key == "property.every") {
        uint16_t missing = 0;
        ok = ParseDescription(value, p.everyProperty, missing);
        p.missingValues[p.everyProperty.propertyCode] = missing;
    } else if (key.compare(0, 9, "property.") == 0) {
        uint16_t code = 0, missing = 0;
        ptp::DevicePropDesc desc; // "none": data type 0
        ok = ParseCode(key.substr(9), code) && code != 0 &&
             (Lower(value) == "none" || ParseDescription(value, desc, missing));
        if (ok) {
            p.properties[code] = desc;
            p.missingValues[desc.propertyCode] = missing;
        }
    } else if (key == "camera.left_out")
        ok = ParseOperations(value, p.leftOut);
    else if (key == "camera.left_out_answer") {
        p.leftOutAnswer = 0;
        ok = Lower(value) == "ok" || (ParseCode(value, p.leftOutAnswer) && p.leftOutAnswer != 0);
    } else if (key == "camera.rename_new_handle")
        ok = ParseBool(value, p.renameNewHandle);
    else if (key == "fault.close_events")
        ok = ParseBool(value, p.closeEvents);
    else if (key == "camera.responder_decides") {
        const std::string v = Lower(value);
        p.decidesIntoDcim = v == "dcim";
        p.undecidedRefusal = 0;
        ok = v == "root" || v == "dcim" ||
             (ParseCode(value, p.undecidedRefusal) && p.undecidedRefusal != 0 &&
              p.undecidedRefusal != 0x2001);
    } else if (key == "storage.card_id")
        ok = ParseU32(value, p.storageId) && (p.storageId & 0xFFFF) != 0 &&
             p.storageId != 0xFFFFFFFF;
    else if (key == "storage.empty_slots")
        ok = ParseSlots(value, p.emptySlots);
    else if (key == "storage.slots_hang")
        ok = ParseBool(value, p.slotsHang);
    else if (key == "delay.after_send_ms")
        ok = ParseU32(value, p.afterSendDelayMs, 600000);
    else if (key == "fault.busy.ms")
        ok = ParseU32(value, p.busyMs, 600000);
    else if (key == "fault.event_lead_ms")
        ok = ParseU32(value, p.eventLeadMs, 10000);
    else if (key == "battery.state")
        ok = ParseU32(value, p.batteryState);
    else if (key == "battery.level") {
        ok = ParseU32(value, number, 100);
        p.batteryLevel = static_cast<uint8_t>(number);
        levelGiven = true;
    } else if (key == "card.present")
        ok = ParseBool(value, p.cardPresent);
    else if (key == "card.write_protected")
        ok = ParseBool(value, p.writeProtected);
    else if (key == "card.capacity")
        ok = ParseSize(value, p.capacity);
    else if (key == "card.free")
        ok = ParseSize(value, p.freeSpace);
    else if (key == "card.label")
        p.volumeLabel = value, ok = true;
    else if (key == "card.folder")
        p.cardFolder = value, ok = !value.empty();
    else if (key == "card.cluster_size") {
        uint64_t size = 0;
        ok = ParseSize(value, size) && size >= 1 && size <= (32u << 20);
        p.clusterSize = static_cast<uint32_t>(size);
    } else if (key == "card.keep_incomplete")
        ok = ParseBool(value, p.keepIncomplete);
    else if (key == "camera.object_prop_list")
        ok = ParseBool(value, p.objectPropList);
    else if (key == "camera.rename")
        ok = ParseBool(value, p.rename);
    else if (key == "camera.vendor_formats")
        ok = ParseBool(value, p.vendorFormats);
    else if (key == "camera.vendor_format_refusal")
        ok = ParseCode(value, p.vendorFormatRefusal);
    else if (key == "pace.bytes_per_second")
        ok = ParseSize(value, p.paceBytesPerSecond);
    else if (key == "fault.corrupt_read.occurrence")
        ok = p.corruptRead = ParseU32(value, p.corruptReadOccurrence);
    else if (key == "fault.corrupt_read.offset")
        ok = p.corruptRead = ParseSize(value, p.corruptReadOffset);
    else if (key == "fault.response.code")
        ok = ParseCode(value, p.responseCode);
    else if (key.compare(0, 15, "fault.response.") == 0 &&
             SetTrigger(p.responseFault, key.substr(15), value, ok)) {
    } else if (key == "fault.power_down.reason")
        ok = ParseU32(value, p.powerDownReason);
    else if (key == "fault.power_down.data")
        ok = ParseU32(value, p.powerDownData);
    else if (key == "fault.power_down.disconnect")
        ok = ParseBool(value, p.powerDownDisconnect);
    else if (key.compare(0, 17, "fault.power_down.") == 0 &&
             SetTrigger(p.powerDown, key.substr(17), value, ok)) {
    } else if (key.compare(0, 20, "fault.store_removed.") == 0 &&
               SetTrigger(p.storeRemoved, key.substr(20), value, ok)) {
    } else if (key.compare(0, 11, "fault.drop.") == 0 &&
               SetTrigger(p.drop, key.substr(11), value, ok)) {
    } else if (key.compare(0, 13, "fault.rescan.") == 0 &&
               SetTrigger(p.rescan, key.substr(13), value, ok)) {
    } else if (key.compare(0, 11, "fault.busy.") == 0 &&
               SetTrigger(p.busy, key.substr(11), value, ok)) {
    } else if (key.compare(0, 18, "fault.stale_reply.") == 0 &&
               SetTrigger(p.staleReply, key.substr(18), value, ok)) {
    } else if (key.compare(0, 18, "fault.early_reply.") == 0 &&
               SetTrigger(p.earlyReply, key.substr(18), value, ok)) {
    } else if (key == "delay.ms")
        ok = ParseU32(value, p.delayMs, 600000);
    else if (key == "delay.operation")
        ok = ParseOperationCode(value, p.delayOperation);
    else
        known = false;
    return known && ok;
}

} // namespace

bool ParseProfile(const std::string& text, Profile& profile, std::string& error) {
    std::stringstream lines(text);
    std::string line;
    std::string section;
    bool levelGiven = false;
    int number = 0;
    while (std::getline(lines, line)) {
        ++number;
        std::string trimmed = Trim(line);
        if (trimmed.empty() || trimmed[0] == ';' || trimmed[0] == '#')
            continue;
        if (trimmed[0] == '[') {
            if (trimmed.back() != ']') {
                error = "line " + std::to_string(number) + ": bad section header";
                return false;
            }
            section = Lower(Trim(trimmed.substr(1, trimmed.size() - 2)));
            continue;
        }
        size_t equals = trimmed.find('=');
        if (equals == std::string::npos) {
            error = "line " + std::to_string(number) + ": expected key = value";
            return false;
        }
        std::string key = Lower(Trim(trimmed.substr(0, equals)));
        std::string value = Trim(trimmed.substr(equals + 1));
        std::string full = section.empty() ? key : section + "." + key;
        bool known = false;
        if (!Apply(profile, full, value, known, levelGiven)) {
            error = "line " + std::to_string(number) + ": " +
                    (known ? "bad value for " : "unknown key ") + full;
            return false;
        }
    }
    if (!levelGiven && profile.batteryState != 1)
        profile.batteryLevel = 10;
    return true;
}

bool LoadProfile(const std::string& path, Profile& profile, std::string& error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = "cannot open " + path;
        return false;
    }
    std::stringstream text;
    text << file.rdbuf();
    return ParseProfile(text.str(), profile, error);
}

} // namespace vcam
