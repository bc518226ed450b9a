// Profile defaults, every key, sections, sizes, and errors that name the line.
#include <gtest/gtest.h>

#include "ptp/codes.h"
#include "vcam/profile.h"

using namespace vcam;

namespace {
const char* const kSampleCameras[] = {
    "android-mtp.ini",           "busy-writing.ini",      "dcim-decides.ini",     "empty-slots.ini",
    "foreign-properties.ini",    "late-replies.ini",      "nagle-ptpip.ini",      "no-uploads.ini",
    "prompt-events.ini",         "refuses-undecided.ini", "short-deviceinfo.ini", "slow-card.ini",
    "renames-to-new-handle.ini", "counts-by-list.ini",    "takes-no-files.ini",
};
} // namespace

TEST(ProfileTest, DefaultsAreAHealthyCamera) {
    Profile p;
    EXPECT_EQ(p.model, "Tarvo Camera X1");
    EXPECT_EQ(p.firmware, "1.0.1.2");
    EXPECT_EQ(p.firmwareVersion, 0x01000102u);
    EXPECT_EQ(p.batteryState, 1u);
    EXPECT_EQ(p.batteryLevel, 80);
    EXPECT_EQ(p.cameraCount, 1u);
    EXPECT_TRUE(p.cardPresent);
    EXPECT_FALSE(p.writeProtected);
    EXPECT_EQ(p.capacity, 1ull << 30);
    EXPECT_TRUE(p.vendorProperties);
    EXPECT_EQ(p.clusterSize, 32u * 1024);
    EXPECT_FALSE(p.keepIncomplete || p.corruptRead || p.paceBytesPerSecond);
    EXPECT_TRUE(p.vendorFormats);
    EXPECT_EQ(p.vendorFormatRefusal, ptp::RC_InvalidObjectFormatCode);
    EXPECT_TRUE(p.rename);
    EXPECT_FALSE(p.responseFault.enabled() || p.powerDown.enabled() || p.drop.enabled() ||
                 p.storeRemoved.enabled());
}

TEST(ProfileTest, EveryKeyInSectionsOrDotted) {
    const char* text = "; a comment\n"
                       "# another\n"
                       "[camera]\n"
                       "model = Tarvo Camera X2\n"
                       "manufacturer=Tarvo Inc.\n"
                       "serial = S1\n"
                       "firmware = 2.1\n"
                       "count = 2\n"
                       "vendor_properties = no\n"
                       "[battery]\n"
                       "state = 2\n"
                       "[card]\n"
                       "present = false\n"
                       "write_protected = yes\n"
                       "capacity = 64G\n"
                       "free = 0x100000\n"
                       "label = CARD\n"
                       "folder = /tmp/card\n"
                       "cluster_size = 4K\n"
                       "keep_incomplete = yes\n"
                       "[camera]\n"
                       "vendor_formats = no\n"
                       "vendor_format_refusal = 0x2006\n"
                       "rename = no\n"
                       "[pace]\n"
                       "bytes_per_second = 750K\n"
                       "[fault.response]\n"
                       "operation = SendObject\n"
                       "occurrence = 2\n"
                       "code = 0x2019\n"
                       "[fault.power_down]\n"
                       "after_bytes = 1M\n"
                       "reason = 3\n"
                       "data = 0xABCD\n"
                       "disconnect = off\n"
                       "[]\n"
                       "fault.store_removed.operation = 0x1005\n"
                       "fault.drop.after_bytes = 4096\n"
                       "fault.drop.occurrence = 1\n"
                       "fault.corrupt_read.occurrence = 3\n"
                       "fault.corrupt_read.offset = 0x10\n"
                       "delay.ms = 250\n"
                       "delay.operation = GetObjectInfo\n"
                       "delay.after_send_ms = 15000\n"
                       "fault.busy.operation = OpenSession\n"
                       "fault.busy.ms = 300\n"
                       "fault.stale_reply.operation = GetObjectInfo\n"
                       "fault.event_lead_ms = 0\n"
                       "storage.card_id = 0x00020001\n"
                       "storage.empty_slots = 0x00010000, 0x00030000\n"
                       "storage.slots_hang = yes\n"
                       "camera.responder_decides = 0x201A\n"
                       "camera.device_info_strings = 2\n"
                       "camera.vendor_extension = fujifilm.co.jp: 1.0\n"
                       "camera.split_writes = yes\n"
                       "camera.device_version = V1.10\n"
                       "property.every = 0x5001 UINT64 0 0..0x4000000000000000\n"
                       "[property]\n"
                       "0xD003 = 0xD031 INT8 0x30 0xF6..0x32\n"
                       "0xD031 = none\n"
                       "53298 = 0xD032 STR Other Cam\n"
                       "0x5001 = 0x5001 UINT8 50 noform\n"
                       "0xD000 = 0xD000 UINT16 3 {1,3,5}+4\n"
                       "[fault]\n"
                       "close_events = yes\n"
                       "early_reply.operation = GetStorageInfo\n"
                       "[camera]\n"
                       "left_out = GetNumObjects, 0x100C\n"
                       "left_out_answer = ok\n"
                       "rename_new_handle = yes\n";
    Profile p;
    std::string error;
    ASSERT_TRUE(ParseProfile(text, p, error)) << error;
    EXPECT_EQ(p.model, "Tarvo Camera X2");
    EXPECT_EQ(p.manufacturer, "Tarvo Inc.");
    EXPECT_EQ(p.serialNumber, "S1");
    EXPECT_EQ(p.firmwareVersion, 0x02010000u);
    EXPECT_EQ(p.cameraCount, 2u);
    EXPECT_FALSE(p.vendorProperties);
    EXPECT_EQ(p.batteryState, 2u);
    EXPECT_EQ(p.batteryLevel, 10) << "a low battery without a level reads as 10 %";
    EXPECT_FALSE(p.cardPresent);
    EXPECT_TRUE(p.writeProtected);
    EXPECT_EQ(p.capacity, 64ull << 30);
    EXPECT_EQ(p.freeSpace, 0x100000u);
    EXPECT_EQ(p.volumeLabel, "CARD");
    EXPECT_EQ(p.cardFolder, "/tmp/card");
    EXPECT_EQ(p.clusterSize, 4096u);
    EXPECT_TRUE(p.keepIncomplete);
    EXPECT_FALSE(p.vendorFormats);
    EXPECT_EQ(p.vendorFormatRefusal, ptp::RC_ParameterNotSupported);
    EXPECT_FALSE(p.rename);
    EXPECT_EQ(p.paceBytesPerSecond, 750u * 1024);
    EXPECT_TRUE(p.corruptRead);
    EXPECT_EQ(p.corruptReadOccurrence, 3u);
    EXPECT_EQ(p.corruptReadOffset, 16u);
    EXPECT_EQ(p.responseFault.operation, ptp::OC_SendObject);
    EXPECT_EQ(p.responseFault.occurrence, 2u);
    EXPECT_EQ(p.responseCode, ptp::RC_DeviceBusy);
    EXPECT_EQ(p.powerDown.afterBytes, 1u << 20);
    EXPECT_EQ(p.powerDownReason, 3u);
    EXPECT_EQ(p.powerDownData, 0xABCDu);
    EXPECT_FALSE(p.powerDownDisconnect);
    EXPECT_EQ(p.storeRemoved.operation, ptp::OC_GetStorageInfo);
    EXPECT_EQ(p.drop.afterBytes, 4096u);
    EXPECT_EQ(p.delayMs, 250u);
    EXPECT_EQ(p.delayOperation, ptp::OC_GetObjectInfo);
    EXPECT_EQ(p.afterSendDelayMs, 15000u);
    EXPECT_EQ(p.busy.operation, ptp::OC_OpenSession);
    EXPECT_EQ(p.busyMs, 300u);
    EXPECT_EQ(p.staleReply.operation, ptp::OC_GetObjectInfo);
    EXPECT_EQ(p.eventLeadMs, 0u);
    EXPECT_EQ(p.storageId, 0x00020001u);
    EXPECT_EQ(p.emptySlots, (std::vector<uint32_t>{0x00010000, 0x00030000}));
    EXPECT_TRUE(p.slotsHang);
    EXPECT_FALSE(p.decidesIntoDcim);
    EXPECT_EQ(p.undecidedRefusal, ptp::RC_InvalidParentObject);
    EXPECT_EQ(p.deviceInfoStrings, 2u);
    EXPECT_EQ(p.vendorExtension, "fujifilm.co.jp: 1.0");
    EXPECT_TRUE(p.splitWrites);
    EXPECT_EQ(p.firmware, "V1.10");
    EXPECT_EQ(p.firmwareVersion, 0x02010000u) << "0xD031 keeps camera.firmware's";
    EXPECT_EQ(p.everyProperty.propertyCode, ptp::DPC_BatteryLevel);
    EXPECT_EQ(p.everyProperty.dataType, ptp::DTC_UINT64);
    EXPECT_EQ(p.everyProperty.current.integer, 0u);
    EXPECT_EQ(p.everyProperty.formFlag, ptp::DPFF_Range);
    EXPECT_EQ(p.everyProperty.rangeMax.integer, 1ull << 62);
    EXPECT_EQ(p.everyProperty.rangeStep.integer, 1u);
    ASSERT_EQ(p.properties.size(), 5u);
    EXPECT_TRUE(p.properties[ptp::DPC_BatteryLevel].cutShort) << "noform";
    const ptp::DevicePropDesc& listed = p.properties[0xD000];
    EXPECT_EQ(listed.formFlag, ptp::DPFF_Enumeration);
    EXPECT_EQ(listed.enumValues.size(), 3u);
    EXPECT_EQ(listed.enumValues[2].integer, 5u);
    EXPECT_EQ(p.missingValues[0xD000], 4u);
    EXPECT_EQ(p.earlyReply.operation, ptp::OC_GetStorageInfo);
    EXPECT_EQ(p.leftOut, (std::vector<uint16_t>{ptp::OC_GetNumObjects, ptp::OC_SendObjectInfo}));
    EXPECT_EQ(p.leftOutAnswer, 0u) << "ok";
    EXPECT_TRUE(p.renameNewHandle);
    const ptp::DevicePropDesc& state = p.properties[ptp::DPC_Vandrel_BatteryState];
    EXPECT_EQ(state.propertyCode, ptp::DPC_Vandrel_FirmwareVersion);
    EXPECT_EQ(state.dataType, ptp::DTC_INT8);
    EXPECT_EQ(state.current.integer, 0x30u);
    EXPECT_EQ(state.rangeMin.integer, 0xF6u);
    EXPECT_EQ(state.rangeMax.integer, 0x32u);
    EXPECT_EQ(p.properties[ptp::DPC_Vandrel_FirmwareVersion].dataType, 0) << "none";
    EXPECT_EQ(p.properties[ptp::DPC_Vandrel_ModelName].current.text, "Other Cam");
    EXPECT_EQ(p.properties[ptp::DPC_Vandrel_ModelName].formFlag, ptp::DPFF_None);
    EXPECT_TRUE(p.closeEvents);
}

// Each camera personality the samples describe is a profile the camera takes.
TEST(ProfileTest, SampleCamerasLoad) {
    const std::string folder = VANDREL_SOURCE_DIR "/samples/cameras/";
    int loaded = 0;
    for (const char* name : kSampleCameras) {
        Profile p;
        std::string error;
        EXPECT_TRUE(LoadProfile(folder + name, p, error)) << name << ": " << error;
        ++loaded;
    }
    EXPECT_GE(loaded, 10);
}

TEST(ProfileTest, CardSizesUpTo64GiB) {
    struct {
        const char* text;
        uint64_t bytes;
    } cases[] = {{"4G", 4ull << 30},    {"32GiB", 32ull << 30},
                 {"64GB", 64ull << 30}, {"512M", 512ull << 20},
                 {"1T", 1ull << 40},    {"68719476736", 64ull << 30},
                 {"0x1B", 27}};
    for (auto& c : cases) {
        Profile p;
        std::string error;
        ASSERT_TRUE(ParseProfile(std::string("card.capacity = ") + c.text, p, error)) << c.text;
        EXPECT_EQ(p.capacity, c.bytes) << c.text;
    }
}

TEST(ProfileTest, ErrorsNameTheLine) {
    const char* bad[] = {"camera.colour = red",
                         "card.capacity = lots",
                         "battery.level = 101",
                         "camera.count = -1",
                         "fault.response.operation = Fly",
                         "camera.firmware = 1.256",
                         "card.cluster_size = 0",
                         "card.cluster_size = 64M",
                         "camera.vendor_format_refusal = 0x12345",
                         "fault.corrupt_read.offset = -1",
                         "storage.empty_slots = 0x00010001",
                         "storage.card_id = 0x00020000",
                         "camera.responder_decides = somewhere",
                         "camera.responder_decides = 0x2001",
                         "camera.device_info_strings = 5",
                         "camera.vendor_properties = maybe",
                         "property.every = 0x5001 UINT8 256",
                         "property.every = 0x5001 UINT8 1 0..0x100",
                         "property.every = 0x5001 UINT8 1 5",
                         "property.every = 0x5001 FLOAT 1",
                         "property.every = 0x5001 UINT8 1 0..100 more",
                         "property.every = 0x10000 UINT8 1",
                         "property.every = none",
                         "property.0 = none",
                         "property.0x5001 = maybe",
                         "fault.close_events = sometimes",
                         "property.every = 0x5001 UINT8 1 {1,256}",
                         "property.every = 0x5001 UINT8 1 {1,2}-1",
                         "property.every = 0x5001 UINT8 1 {1,2",
                         "camera.left_out = GetNumObjects, Fly",
                         "camera.left_out_answer = 0",
                         "camera.rename_new_handle = often",
                         "no equals sign",
                         "[unterminated"};
    for (const char* text : bad) {
        Profile p;
        std::string error;
        EXPECT_FALSE(ParseProfile(std::string("\n") + text, p, error)) << text;
        EXPECT_NE(error.find("line 2"), std::string::npos) << error;
    }
}

TEST(ProfileTest, LoadMissingFileFails) {
    Profile p;
    std::string error;
    EXPECT_FALSE(LoadProfile("/nonexistent/vcam.ini", p, error));
    EXPECT_FALSE(error.empty());
}
