// Datasets: round trips, byte layouts at the named offsets, and truncated or over-long input.
#include <gtest/gtest.h>

#include <map>

#include "ptp/bytes.h"
#include "ptp/codes.h"
#include "ptp/datasets.h"

using namespace ptp;

using Bytes = std::vector<uint8_t>;

namespace {

// Byte offsets of the fixed parts, as the protocol lays them out.
enum : size_t {
    SI_AccessCapability = 4,
    SI_MaxCapacity = 6,
    SI_FreeSpaceInBytes = 14,
    SI_FreeSpaceInImages = 22,
    SI_StorageDescription = 26,
    OI_ObjectFormat = 4,
    OI_ObjectCompressedSize = 8,
    OI_ParentObject = 38,
    OI_Filename = 52,
};

DeviceInfo SampleDeviceInfo() {
    DeviceInfo info;
    info.operationsSupported = {OC_GetDeviceInfo, OC_OpenSession, OC_SendObject};
    info.eventsSupported = {EC_StoreRemoved};
    info.devicePropertiesSupported = {DPC_BatteryLevel, DPC_Vandrel_ModelName};
    info.imageFormats = {OFC_EXIF_JPEG};
    info.manufacturer = "Tarvo";
    info.model = "Tarvo Camera X1";
    info.deviceVersion = "1.0.1.2";
    info.serialNumber = "42";
    return info;
}

ObjectInfo SampleObjectInfo() {
    ObjectInfo info;
    info.storageId = 0x00010001;
    info.objectFormat = 0xBF01;
    info.objectCompressedSize = 200000;
    info.parentObject = 0xFFFFFFFF;
    info.filename = "FW.BIN";
    return info;
}

// Every proper prefix of a valid dataset must be refused by `unpack`.
template <typename T, typename Unpack>
void ExpectPrefixesRefused(const Bytes& full, Unpack unpack) {
    for (size_t n = 0; n < full.size(); ++n) {
        T value;
        EXPECT_FALSE(unpack(full.data(), n, value)) << "accepted a prefix of " << n << " bytes";
    }
}

} // namespace

TEST(DeviceInfoTest, RoundTrip) {
    Bytes data;
    ASSERT_TRUE(PackDeviceInfo(SampleDeviceInfo(), data));
    DeviceInfo back;
    ASSERT_TRUE(UnpackDeviceInfo(data.data(), data.size(), back));
    EXPECT_EQ(back.operationsSupported, SampleDeviceInfo().operationsSupported);
    EXPECT_EQ(back.model, "Tarvo Camera X1");
    EXPECT_EQ(back.deviceVersion, "1.0.1.2");
    EXPECT_TRUE(back.SupportsOperation(OC_SendObject));
    EXPECT_FALSE(back.SupportsOperation(OC_DeleteObject));
    EXPECT_TRUE(back.SupportsProperty(DPC_Vandrel_ModelName));
}

TEST(DeviceInfoTest, KnownHead) {
    Bytes data;
    ASSERT_TRUE(PackDeviceInfo(DeviceInfo(), data));
    // 100, vendor 0, version 0, empty desc, mode 0, five empty arrays, four empty strings.
    Bytes expected = {0x64, 0, 0, 0, 0, 0, 0, 0, 0x00, 0, 0};
    for (int i = 0; i < 5; ++i)
        expected.insert(expected.end(), {0, 0, 0, 0});
    expected.insert(expected.end(), {0, 0, 0, 0});
    EXPECT_EQ(data, expected);
}

TEST(DeviceInfoTest, EndsAfterAnyTrailingStringButNowhereElse) {
    Bytes data;
    ASSERT_TRUE(PackDeviceInfo(SampleDeviceInfo(), data));
    // Cameras in the field may end it after any trailing string, or before the first: the
    // strings missing are empty. Any other prefix is refused.
    const DeviceInfo sample = SampleDeviceInfo();
    const std::string strings[] = {sample.manufacturer, sample.model, sample.deviceVersion,
                                   sample.serialNumber};
    size_t end = data.size();
    std::map<size_t, int> endings = {{end, 4}};
    for (int kept = 3; kept >= 0; --kept) {
        end -= 1 + 2 * (strings[kept].size() + 1); // count byte, UCS-2 units and terminator
        endings[end] = kept;
    }
    for (size_t n = 0; n < data.size(); ++n) {
        DeviceInfo info;
        const auto ending = endings.find(n);
        ASSERT_EQ(UnpackDeviceInfo(data.data(), n, info), ending != endings.end()) << n;
        if (ending != endings.end()) {
            const std::string got[] = {info.manufacturer, info.model, info.deviceVersion,
                                       info.serialNumber};
            for (int i = 0; i < 4; ++i)
                EXPECT_EQ(got[i], i < ending->second ? strings[i] : "") << n << " bytes, " << i;
        }
    }
    Bytes bad = data;
    bad[11] = 0xFF; // OperationsSupported count, high byte: far more than what follows
    DeviceInfo info;
    EXPECT_FALSE(UnpackDeviceInfo(bad.data(), bad.size(), info));
}

TEST(StorageInfoTest, LayoutAndLargeCapacities) {
    StorageInfo info;
    info.storageType = ST_RemovableRAM;
    info.filesystemType = FST_GenericHierarchical;
    info.accessCapability = AC_ReadOnly;
    info.maxCapacity = 64ull << 30;
    info.freeSpaceInBytes = (32ull << 30) + 5;
    info.storageDescription = "Memory card";
    info.volumeLabel = "TARVO";
    Bytes data;
    ASSERT_TRUE(PackStorageInfo(info, data));
    EXPECT_EQ(GetU16(&data[SI_AccessCapability]), 1);
    EXPECT_EQ(GetU64(&data[SI_MaxCapacity]), 64ull << 30);
    EXPECT_EQ(GetU64(&data[SI_FreeSpaceInBytes]), (32ull << 30) + 5);
    EXPECT_EQ(GetU32(&data[SI_FreeSpaceInImages]), 0xFFFFFFFFu);
    EXPECT_EQ(data[SI_StorageDescription], 12) << "11 characters + NUL";
    StorageInfo back;
    ASSERT_TRUE(UnpackStorageInfo(data.data(), data.size(), back));
    EXPECT_EQ(back.maxCapacity, info.maxCapacity);
    EXPECT_EQ(back.freeSpaceInBytes, info.freeSpaceInBytes);
    EXPECT_EQ(back.volumeLabel, "TARVO");
    ExpectPrefixesRefused<StorageInfo>(data, UnpackStorageInfo);
}

TEST(ObjectInfoTest, LayoutAsLibgphoto2SendsIt) {
    Bytes data;
    ASSERT_TRUE(PackObjectInfo(SampleObjectInfo(), data));
    // 52 fixed bytes, the name (count + 7 units), three empty strings.
    ASSERT_EQ(data.size(), 52u + 1 + 2 * 7 + 3);
    EXPECT_EQ(GetU16(&data[OI_ObjectFormat]), 0xBF01);
    EXPECT_EQ(GetU32(&data[OI_ObjectCompressedSize]), 200000u);
    EXPECT_EQ(GetU32(&data[OI_ParentObject]), 0xFFFFFFFFu);
    EXPECT_EQ(data[OI_Filename], 7);
    EXPECT_EQ(data[OI_Filename + 1], 'F');
    ObjectInfo back;
    ASSERT_TRUE(UnpackObjectInfo(data.data(), data.size(), back));
    EXPECT_EQ(back.filename, "FW.BIN");
    EXPECT_EQ(back.objectCompressedSize, 200000u);
}

TEST(ObjectInfoTest, OptionalStringsMayBeAbsentButNotCut) {
    Bytes data;
    ASSERT_TRUE(PackObjectInfo(SampleObjectInfo(), data));
    ObjectInfo info;
    size_t nameEnd = 52 + 1 + 14;
    EXPECT_TRUE(UnpackObjectInfo(data.data(), nameEnd, info)) << "dates and keywords absent";
    EXPECT_FALSE(UnpackObjectInfo(data.data(), nameEnd - 1, info)) << "filename cut";
    EXPECT_FALSE(UnpackObjectInfo(data.data(), 52, info)) << "no filename";
    ObjectInfo dated = SampleObjectInfo();
    dated.captureDate = "20261208T120000";
    data.clear();
    ASSERT_TRUE(PackObjectInfo(dated, data));
    EXPECT_FALSE(UnpackObjectInfo(data.data(), nameEnd + 5, info)) << "capture date cut";
}

TEST(ObjectInfoTest, NameTooLongIsNotPacked) {
    ObjectInfo info = SampleObjectInfo();
    info.filename = std::string(300, 'a');
    Bytes data;
    EXPECT_FALSE(PackObjectInfo(info, data));
}

TEST(DevicePropDescTest, BatteryLevelKnownBytes) {
    DevicePropDesc desc;
    desc.propertyCode = DPC_BatteryLevel;
    desc.dataType = DTC_UINT8;
    desc.getSet = 0;
    desc.factoryDefault = PropValue::Unsigned(DTC_UINT8, 100);
    desc.current = PropValue::Unsigned(DTC_UINT8, 80);
    desc.formFlag = DPFF_Range;
    desc.rangeMin = PropValue::Unsigned(DTC_UINT8, 0);
    desc.rangeMax = PropValue::Unsigned(DTC_UINT8, 100);
    desc.rangeStep = PropValue::Unsigned(DTC_UINT8, 1);
    Bytes data;
    ASSERT_TRUE(PackDevicePropDesc(desc, data));
    EXPECT_EQ(data, (Bytes{0x01, 0x50, 0x02, 0x00, 0x00, 0x64, 0x50, 0x01, 0x00, 0x64, 0x01}));
    DevicePropDesc back;
    ASSERT_TRUE(UnpackDevicePropDesc(data.data(), data.size(), back));
    EXPECT_EQ(back.current.integer, 80u);
    EXPECT_EQ(back.rangeMax.integer, 100u);
    EXPECT_FALSE(back.cutShort);
    // Without its form flag it has no form; anything shorter, or a range cut short, is refused.
    for (size_t n = 0; n < data.size(); ++n) {
        const bool read = UnpackDevicePropDesc(data.data(), n, back);
        EXPECT_EQ(read, n == 7) << "a prefix of " << n << " bytes";
        if (read) {
            EXPECT_TRUE(back.cutShort && back.formFlag == DPFF_None && back.current.integer == 80);
        }
    }
}

TEST(DevicePropDescTest, StringAndEnumeration) {
    DevicePropDesc desc;
    desc.propertyCode = DPC_Vandrel_ModelName;
    desc.dataType = DTC_STR;
    desc.factoryDefault = PropValue::String("X1");
    desc.current = PropValue::String("Tarvo Camera X1");
    desc.formFlag = DPFF_Enumeration;
    desc.enumValues = {PropValue::String("X1"), PropValue::String("Tarvo Camera X1")};
    Bytes data;
    ASSERT_TRUE(PackDevicePropDesc(desc, data));
    DevicePropDesc back;
    ASSERT_TRUE(UnpackDevicePropDesc(data.data(), data.size(), back));
    EXPECT_EQ(back.current.text, "Tarvo Camera X1");
    ASSERT_EQ(back.enumValues.size(), 2u);
    EXPECT_EQ(back.enumValues[1], desc.enumValues[1]);
    // An enumeration cut short has the values that are whole.
    const size_t values = data.size() - (1 + 2 * 3) - (1 + 2 * 16); // "X1", "Tarvo Camera X1"
    const struct {
        size_t size;
        size_t values;
    } kCut[] = {{values, 0}, {values + 3, 0}, {values + 7, 1}, {data.size() - 1, 1}};
    for (const auto& cut : kCut) {
        ASSERT_TRUE(UnpackDevicePropDesc(data.data(), cut.size, back)) << cut.size;
        EXPECT_TRUE(back.cutShort);
        EXPECT_EQ(back.enumValues.size(), cut.values) << cut.size;
    }
}

TEST(DevicePropDescTest, EnumerationShorterThanItsCountHasTheValuesThere) {
    Bytes data = {0x03, 0xD0, 0x06, 0x00, 0x00, 1, 0, 0, 0, 1, 0, 0,
                  0,    0x02, 0xFF, 0xFF, 7,    0, 0, 0, 9, 0, 0};
    DevicePropDesc desc;
    ASSERT_TRUE(UnpackDevicePropDesc(data.data(), data.size(), desc));
    ASSERT_EQ(desc.enumValues.size(), 1u);
    EXPECT_EQ(desc.enumValues[0].integer, 7u);
    EXPECT_TRUE(desc.cutShort);
    Bytes unknownType = {0x03, 0xD0, 0x0B, 0x00, 0x00, 1};
    EXPECT_FALSE(UnpackDevicePropDesc(unknownType.data(), unknownType.size(), desc));
}

TEST(PropValueTest, IntegersOfEveryWidth) {
    struct Case {
        uint16_t type;
        Bytes bytes;
        uint64_t value;
    } cases[] = {
        {DTC_UINT8, {0x80}, 0x80},
        {DTC_INT8, {0x80}, ~uint64_t(0) - 127},
        {DTC_UINT16, {0x34, 0x12}, 0x1234},
        {DTC_INT16, {0xFE, 0xFF}, ~uint64_t(0) - 1},
        {DTC_UINT32, {0x02, 0x01, 0x00, 0x01}, 0x01000102},
        {DTC_UINT64, {1, 0, 0, 0, 0, 0, 0, 0x80}, 0x8000000000000001ull},
    };
    for (const Case& c : cases) {
        PropValue value;
        ASSERT_TRUE(UnpackPropValue(c.bytes.data(), c.bytes.size(), c.type, value)) << c.type;
        EXPECT_EQ(value.integer, c.value) << "type " << c.type;
        Bytes out;
        ASSERT_TRUE(PackPropValue(value, out));
        EXPECT_EQ(out, c.bytes) << "type " << c.type;
        EXPECT_FALSE(UnpackPropValue(c.bytes.data(), c.bytes.size() - 1, c.type, value));
    }
}

TEST(PropValueTest, Int128AndArrays) {
    Bytes wide(16);
    for (size_t i = 0; i < 16; ++i)
        wide[i] = static_cast<uint8_t>(i + 1);
    PropValue value;
    ASSERT_TRUE(UnpackPropValue(wide.data(), wide.size(), DTC_UINT128, value));
    EXPECT_EQ(value.integer, 0x0807060504030201ull);
    EXPECT_EQ(value.high, 0x100F0E0D0C0B0A09ull);
    Bytes array = {2, 0, 0, 0, 0x01, 0x00, 0x02, 0x00};
    ASSERT_TRUE(UnpackPropValue(array.data(), array.size(), DTC_ArrayMask | DTC_UINT16, value));
    EXPECT_EQ(value.array, (std::vector<uint64_t>{1, 2}));
    Bytes overlong = {0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x00};
    EXPECT_FALSE(
        UnpackPropValue(overlong.data(), overlong.size(), DTC_ArrayMask | DTC_UINT16, value));
}

TEST(U32ArrayTest, RoundTripAndBounds) {
    Bytes data;
    PackU32Array({0x00010001, 7}, data);
    EXPECT_EQ(data, (Bytes{2, 0, 0, 0, 1, 0, 1, 0, 7, 0, 0, 0}));
    std::vector<uint32_t> back;
    ASSERT_TRUE(UnpackU32Array(data.data(), data.size(), back));
    EXPECT_EQ(back, (std::vector<uint32_t>{0x00010001, 7}));
    EXPECT_FALSE(UnpackU32Array(data.data(), data.size() - 1, back));
}

TEST(ObjectPropListTest, KnownBytesAndBounds) {
    std::vector<ObjectProp> props = {{5, OPC_ObjectFileName, PropValue::String("A.JPG")},
                                     {5, OPC_ObjectSize, PropValue::Unsigned(DTC_UINT64, 1)}};
    Bytes data;
    ASSERT_TRUE(PackObjectPropList(props, data));
    const Bytes head = {2, 0, 0, 0, 5, 0, 0, 0, 0x07, 0xDC, 0xFF, 0xFF, 6, 'A', 0};
    EXPECT_EQ(Bytes(data.begin(), data.begin() + head.size()), head);
    std::vector<ObjectProp> back;
    auto keep = [&](const ObjectProp& prop) {
        back.push_back(prop);
        return true;
    };
    ASSERT_TRUE(UnpackObjectPropList(data.data(), data.size(), keep));
    ASSERT_EQ(back.size(), 2u);
    EXPECT_EQ(back[0].value.text, "A.JPG");
    EXPECT_EQ(back[1].handle, 5u);
    EXPECT_EQ(back[1].value.integer, 1u);
    EXPECT_FALSE(UnpackObjectPropList(data.data(), data.size() - 1, keep)) << "cut short";
    Bytes overlong = {0xFF, 0xFF, 0xFF, 0x0F, 5, 0, 0, 0, 0x04, 0xDC, 0x08, 0x00};
    EXPECT_FALSE(UnpackObjectPropList(overlong.data(), overlong.size(), keep)) << "count";
    EXPECT_FALSE(UnpackObjectPropList(data.data(), data.size(), [](const ObjectProp&) {
        return false;
    })) << "the receiver stops it";
}
