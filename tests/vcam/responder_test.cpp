// The responder's operations over in-memory pipes, driven by the real initiator: what the
// camera reports for each profile setting, listing, reading and writing the card.
#include "ptp/ptpip_framing.h"
#include "vcam_fixture.h"

using namespace ptp;
using namespace vcam;
using namespace vcamtest;

namespace {

Profile Default() {
    return Profile();
}

} // namespace

TEST(ResponderTest, DeviceInfoOfTheDefaultProfile) {
    TempFolder folder;
    CameraSession s(Default(), folder.str());
    ASSERT_TRUE(s.connected.ok());
    ASSERT_TRUE(s.opened.ok());
    EXPECT_EQ(s.host->responder().friendlyName, "Tarvo Camera X1");
    DeviceInfo info;
    ASSERT_TRUE(s.host->GetDeviceInfo(info).ok());
    EXPECT_EQ(info.model, "Tarvo Camera X1");
    EXPECT_EQ(info.manufacturer, "Tarvo");
    EXPECT_EQ(info.deviceVersion, "1.0.1.2");
    EXPECT_EQ(info.vendorExtensionId, 0u);
    for (uint16_t op :
         {OC_GetDeviceInfo, OC_OpenSession, OC_CloseSession, OC_GetStorageIDs, OC_GetStorageInfo,
          OC_GetNumObjects, OC_GetObjectHandles, OC_GetObjectInfo, OC_GetObject, OC_SendObjectInfo,
          OC_SendObject, OC_GetDevicePropDesc, OC_GetDevicePropValue, OC_DeleteObject})
        EXPECT_TRUE(info.SupportsOperation(op)) << std::hex << op;
    for (uint16_t prop : {DPC_BatteryLevel, DPC_Vandrel_BatteryState, DPC_Vandrel_FirmwareVersion,
                          DPC_Vandrel_ModelName})
        EXPECT_TRUE(info.SupportsProperty(prop)) << std::hex << prop;
}

TEST(ResponderTest, PropertiesOfTheDefaultProfile) {
    TempFolder folder;
    CameraSession s(Default(), folder.str());
    DevicePropDesc desc;
    ASSERT_TRUE(s.host->GetDevicePropDesc(DPC_BatteryLevel, desc).ok());
    EXPECT_EQ(desc.dataType, DTC_UINT8);
    EXPECT_EQ(desc.current.integer, 80u);
    EXPECT_EQ(desc.formFlag, DPFF_Range);
    PropValue value;
    ASSERT_TRUE(s.host->GetDevicePropValue(DPC_Vandrel_BatteryState, DTC_UINT32, value).ok());
    EXPECT_EQ(value.integer, 1u);
    ASSERT_TRUE(s.host->GetDevicePropValue(DPC_Vandrel_FirmwareVersion, DTC_UINT32, value).ok());
    EXPECT_EQ(value.integer, 0x01000102u);
    ASSERT_TRUE(s.host->GetDevicePropDesc(DPC_Vandrel_ModelName, desc).ok());
    EXPECT_EQ(desc.dataType, DTC_STR);
    ASSERT_TRUE(s.host->GetDevicePropValue(DPC_Vandrel_ModelName, DTC_STR, value).ok());
    EXPECT_EQ(value.text, "Tarvo Camera X1");
    EXPECT_EQ(s.host->GetDevicePropValue(0x5003, DTC_STR, value).code, RC_DevicePropNotSupported);
}

TEST(ResponderTest, ProfileSettingsShowInTheAnswers) {
    Profile p;
    std::string error;
    ASSERT_TRUE(ParseProfile("camera.model = Other Cam\ncamera.firmware = 2.3.0.9\n"
                             "battery.state = 2\nbattery.level = 7\n",
                             p, error));
    TempFolder folder;
    CameraSession s(p, folder.str());
    DeviceInfo info;
    ASSERT_TRUE(s.host->GetDeviceInfo(info).ok());
    EXPECT_EQ(info.model, "Other Cam");
    EXPECT_EQ(info.deviceVersion, "2.3.0.9");
    PropValue value;
    ASSERT_TRUE(s.host->GetDevicePropValue(DPC_Vandrel_FirmwareVersion, DTC_UINT32, value).ok());
    EXPECT_EQ(value.integer, 0x02030009u);
    ASSERT_TRUE(s.host->GetDevicePropValue(DPC_Vandrel_BatteryState, DTC_UINT32, value).ok());
    EXPECT_EQ(value.integer, 2u);
    ASSERT_TRUE(s.host->GetDevicePropValue(DPC_BatteryLevel, DTC_UINT8, value).ok());
    EXPECT_EQ(value.integer, 7u);
}

TEST(ResponderTest, VendorPropertiesCanBeHidden) {
    Profile p;
    p.vendorProperties = false;
    TempFolder folder;
    CameraSession s(p, folder.str());
    DeviceInfo info;
    ASSERT_TRUE(s.host->GetDeviceInfo(info).ok());
    EXPECT_EQ(info.devicePropertiesSupported, (std::vector<uint16_t>{DPC_BatteryLevel}));
    PropValue value;
    EXPECT_EQ(s.host->GetDevicePropValue(DPC_Vandrel_ModelName, DTC_STR, value).code,
              RC_DevicePropNotSupported);
    DevicePropDesc desc;
    EXPECT_EQ(s.host->GetDevicePropDesc(DPC_Vandrel_BatteryState, desc).code,
              RC_DevicePropNotSupported);
    EXPECT_TRUE(s.host->GetDevicePropValue(DPC_BatteryLevel, DTC_UINT8, value).ok());
}

TEST(ResponderTest, SessionRules) {
    TempFolder folder;
    CameraSession s(Default(), folder.str(), false);
    ASSERT_TRUE(s.connected.ok());
    DeviceInfo info;
    EXPECT_TRUE(s.host->GetDeviceInfo(info).ok()) << "allowed outside a session";
    std::vector<uint32_t> ids;
    EXPECT_EQ(s.host->GetStorageIDs(ids).code, RC_SessionNotOpen);
    EXPECT_EQ(s.host->OpenSession(0).code, RC_InvalidParameter);
    EXPECT_TRUE(s.host->OpenSession(1).ok());
    EXPECT_EQ(s.host->Transact(OC_OpenSession, {2}).code, RC_SessionAlreadyOpen);
    EXPECT_EQ(s.host->Transact(OC_FormatStore, {kStorageId, 0}).code, RC_OperationNotSupported);
    EXPECT_TRUE(s.host->CloseSession().ok());
    EXPECT_EQ(s.Stop(), Status::Ok);
}

TEST(ResponderTest, StorageOfAWritableCard) {
    Profile p;
    p.capacity = 64ull << 30;
    p.freeSpace = 32ull << 30;
    TempFolder folder;
    CameraSession s(p, folder.str());
    std::vector<uint32_t> ids;
    ASSERT_TRUE(s.host->GetStorageIDs(ids).ok());
    EXPECT_EQ(ids, (std::vector<uint32_t>{kStorageId}));
    StorageInfo info;
    ASSERT_TRUE(s.host->GetStorageInfo(kStorageId, info).ok());
    EXPECT_EQ(info.accessCapability, AC_ReadWrite);
    EXPECT_EQ(info.maxCapacity, 64ull << 30);
    EXPECT_EQ(info.freeSpaceInBytes, 32ull << 30);
    EXPECT_EQ(info.storageType, ST_RemovableRAM);
    EXPECT_FALSE(info.storageDescription.empty());
    EXPECT_EQ(info.volumeLabel, "TARVO");
    EXPECT_EQ(s.host->GetStorageInfo(0x00020001, info).code, RC_InvalidStorageID);
}

TEST(ResponderTest, NoCard) {
    Profile p;
    p.cardPresent = false;
    TempFolder folder;
    folder.Write("a.txt", Bytes(1));
    CameraSession s(p, folder.str());
    std::vector<uint32_t> ids{1};
    ASSERT_TRUE(s.host->GetStorageIDs(ids).ok());
    EXPECT_TRUE(ids.empty());
    StorageInfo info;
    EXPECT_EQ(s.host->GetStorageInfo(kStorageId, info).code, RC_StoreNotAvailable);
    uint32_t count;
    EXPECT_EQ(s.host->GetNumObjects(kStorageId, 0, 0, count).code, RC_StoreNotAvailable);
    ObjectInfo object;
    EXPECT_EQ(s.host->GetObjectInfo(1, object).code, RC_StoreNotAvailable);
    EXPECT_EQ(s.SendInfo("fw.bin", 10).code, RC_StoreNotAvailable);
}

TEST(ResponderTest, ListsFlatAndNestedFilesLikeLibgphoto2Expects) {
    TempFolder folder;
    folder.Write("readme.txt", Bytes(6, 'r'));
    folder.Write("DCIM/IMG_0001.JPG", Pattern(3000));
    CameraSession s(Default(), folder.str());
    std::vector<uint32_t> root, all, inDcim;
    ASSERT_TRUE(s.host->GetObjectHandles(kStorageId, 0, kRootParent, root).ok());
    ASSERT_TRUE(s.host->GetObjectHandles(kAllStorages, 0, 0, all).ok());
    EXPECT_EQ(root.size(), 2u);
    EXPECT_EQ(all.size(), 3u);
    uint32_t dcim = 0;
    for (uint32_t h : root) {
        ObjectInfo info;
        ASSERT_TRUE(s.host->GetObjectInfo(h, info).ok());
        EXPECT_EQ(info.parentObject, 0u) << "root objects report parent 0";
        EXPECT_EQ(info.storageId, kStorageId);
        if (info.filename == "DCIM") {
            dcim = h;
            EXPECT_EQ(info.objectFormat, OFC_Association);
            EXPECT_EQ(info.associationType, AT_GenericFolder);
        } else {
            EXPECT_EQ(info.filename, "readme.txt");
            EXPECT_EQ(info.objectCompressedSize, 6u);
            EXPECT_EQ(info.objectFormat, OFC_Text);
        }
    }
    ASSERT_NE(dcim, 0u);
    ASSERT_TRUE(s.host->GetObjectHandles(kStorageId, 0, dcim, inDcim).ok());
    ASSERT_EQ(inDcim.size(), 1u);
    ObjectInfo image;
    ASSERT_TRUE(s.host->GetObjectInfo(inDcim[0], image).ok());
    EXPECT_EQ(image.parentObject, dcim);
    EXPECT_EQ(image.objectFormat, OFC_EXIF_JPEG);
    uint32_t count = 0;
    ASSERT_TRUE(s.host->GetNumObjects(kStorageId, OFC_EXIF_JPEG, 0, count).ok());
    EXPECT_EQ(count, 1u);
    std::vector<uint32_t> none;
    EXPECT_EQ(s.host->GetObjectHandles(kStorageId, 0, inDcim[0], none).code, RC_InvalidParentObject)
        << "a file is no parent";
    ObjectInfo missing;
    EXPECT_EQ(s.host->GetObjectInfo(0xFFFF, missing).code, RC_InvalidObjectHandle);

    Bytes got;
    ASSERT_TRUE(s.host->TransactIn(OC_GetObject, {inDcim[0]}, got, 1 << 20).ok());
    EXPECT_EQ(got, Pattern(3000));
}

// Which objects and properties a property list holds, and what it refuses.
TEST(ResponderTest, PropertyListsSelectObjectsAndProperties) {
    TempFolder folder;
    folder.Write("readme.txt", Bytes(6, 'r'));
    folder.Write("DCIM/IMG_0001.JPG", Pattern(3000));
    Profile lists;
    lists.objectPropList = true;
    CameraSession s(lists, folder.str());
    const uint32_t kAll = 0xFFFFFFFF;
    std::vector<uint32_t> dcim; // the folder's handle, as the root's list shows it
    ASSERT_TRUE(s.host->GetObjectHandles(kStorageId, OFC_Association, kRootParent, dcim).ok());
    ASSERT_EQ(dcim.size(), 1u);
    const struct {
        uint32_t handle, property, depth;
        uint16_t code;
        size_t elements;
    } rows[] = {
        {kAll, kAll, kAll, RC_OK, 3 * 7},
        {kAll, OPC_ObjectFileName, 0, RC_OK, 3},
        {0, OPC_ObjectSize, 1, RC_OK, 2},
        {dcim[0], kAll, 1, RC_OK, 7},
        {dcim[0], kAll, 0, RC_OK, 7},
        {dcim[0], kAll, 2, RC_MTP_SpecificationByDepthUnsupported, 0},
        {kAll, 0xDC44, 0, RC_MTP_InvalidObjectPropCode, 0},
        {0xFFFF, kAll, 0, RC_InvalidObjectHandle, 0},
    };
    for (const auto& row : rows) {
        size_t elements = 0;
        Result r = s.host->GetObjectPropList(row.handle, 0, row.property, row.depth, 1 << 20,
                                             [&](const ObjectProp&) { return ++elements; });
        EXPECT_EQ(r.code, row.code) << row.handle << " " << row.property << " " << row.depth;
        EXPECT_EQ(elements, row.elements) << row.handle << " " << row.property << " " << row.depth;
    }
    EXPECT_EQ(s.host->Transact(OC_MTP_GetObjectPropList, {kAll, 0, kAll, 1, 0}).code,
              RC_MTP_SpecificationByGroupUnsupported);
    CameraSession plain(Default(), folder.str());
    EXPECT_EQ(plain.host->Transact(OC_MTP_GetObjectPropList, {kAll, 0, kAll, 0, 0}).code,
              RC_OperationNotSupported);
}

TEST(ResponderTest, UploadIsWrittenByteForByteAndListedAtOnce) {
    TempFolder folder;
    CameraSession s(Default(), folder.str());
    StorageInfo before, after;
    ASSERT_TRUE(s.host->GetStorageInfo(kStorageId, before).ok());
    Bytes firmware = Pattern(3 * 1024 * 1024 + 5, 7);
    ptp::Result info = s.SendInfo("FW_1.0.2.0.bin", static_cast<uint32_t>(firmware.size()));
    ASSERT_TRUE(info.ok());
    ASSERT_EQ(info.params.size(), 3u);
    EXPECT_EQ(info.params[0], kStorageId);
    uint32_t handle = info.params[2];
    EXPECT_NE(handle, 0u);
    size_t offset = 0;
    ASSERT_TRUE(s.host->SendObject(FromBytes(firmware, &offset)).ok());
    EXPECT_EQ(folder.Read("FW_1.0.2.0.bin"), firmware);
    EXPECT_EQ(folder.List(), (std::vector<std::string>{"FW_1.0.2.0.bin"}));
    ObjectInfo object;
    ASSERT_TRUE(s.host->GetObjectInfo(handle, object).ok());
    EXPECT_EQ(object.filename, "FW_1.0.2.0.bin");
    EXPECT_EQ(object.objectCompressedSize, firmware.size());
    EXPECT_EQ(object.objectFormat, 0xBF01) << "the format the initiator gave";
    ASSERT_TRUE(s.host->GetStorageInfo(kStorageId, after).ok());
    EXPECT_EQ(after.freeSpaceInBytes, before.freeSpaceInBytes - (3 * 1024 + 32) * 1024)
        << "whole 32 KiB clusters";
}

TEST(ResponderTest, UploadIntoASubfolderAndEmptyFiles) {
    TempFolder folder;
    fs::create_directories(folder.path / "FIRMWARE");
    CameraSession s(Default(), folder.str());
    std::vector<uint32_t> root;
    ASSERT_TRUE(s.host->GetObjectHandles(kStorageId, 0, kRootParent, root).ok());
    ASSERT_EQ(root.size(), 1u);
    ASSERT_TRUE(s.Upload("empty.bin", Bytes(), root[0]).ok());
    EXPECT_TRUE(fs::exists(folder.path / "FIRMWARE/empty.bin"));
    EXPECT_EQ(fs::file_size(folder.path / "FIRMWARE/empty.bin"), 0u);
    EXPECT_EQ(s.SendInfo("x.bin", 1, 0x7777).code, RC_InvalidParentObject);
}

TEST(ResponderTest, FoldersCanBeCreated) {
    TempFolder folder;
    CameraSession s(Default(), folder.str());
    ptp::Result made = s.SendInfo("UPDATE", 0, kRootParent, OFC_Association);
    ASSERT_TRUE(made.ok());
    EXPECT_TRUE(fs::is_directory(folder.path / "UPDATE"));
    ASSERT_TRUE(s.Upload("fw.bin", Bytes(10, 1), made.params[2]).ok());
    EXPECT_EQ(folder.Read("UPDATE/fw.bin"), Bytes(10, 1));
}

TEST(ResponderTest, NamesThatLeaveTheCardAreRefusedAndNeverWritten) {
    TempFolder card;
    CameraSession s(Default(), card.str());
    const char* names[] = {"../escape.bin", "..",      "sub/fw.bin", "sub\\fw.bin", "C:fw.bin",
                           "CON",           "nul.bin", "COM1.txt",   "LPT1",        "AUX",
                           "PRN.bin",       "",        ".",          "ctl\x01.bin"};
    for (const char* name : names) {
        ptp::Result result = s.SendInfo(name, 4);
        EXPECT_EQ(result.status, Status::Ok) << name;
        EXPECT_EQ(result.code, RC_InvalidParameter) << '"' << name << '"';
        size_t offset = 0;
        Bytes data(4, 'x');
        EXPECT_EQ(s.host->SendObject(FromBytes(data, &offset)).code, RC_NoValidObjectInfo)
            << "no object may follow a refused name";
    }
    EXPECT_TRUE(card.List().empty());
    EXPECT_FALSE(fs::exists(card.path.parent_path() / "escape.bin"));
}

TEST(ResponderTest, ExistingFilesAreNeverOverwritten) {
    TempFolder folder;
    folder.Write("FW.BIN", Bytes(3, 'o'));
    CameraSession s(Default(), folder.str());
    EXPECT_EQ(s.SendInfo("FW.BIN", 5).code, RC_ObjectWriteProtected);
    EXPECT_EQ(s.SendInfo("fw.bin", 5).code, RC_ObjectWriteProtected) << "as on a FAT card";
    ASSERT_TRUE(s.Upload("new.bin", Bytes(5, 'n')).ok());
    EXPECT_EQ(s.SendInfo("new.bin", 5).code, RC_ObjectWriteProtected) << "nor what was sent";
    EXPECT_EQ(folder.Read("FW.BIN"), Bytes(3, 'o'));
    EXPECT_EQ(folder.Read("new.bin"), Bytes(5, 'n'));
}

TEST(ResponderTest, WriteProtectedCard) {
    Profile p;
    p.writeProtected = true;
    TempFolder folder;
    folder.Write("old.bin", Bytes(1));
    CameraSession s(p, folder.str());
    StorageInfo info;
    ASSERT_TRUE(s.host->GetStorageInfo(kStorageId, info).ok());
    EXPECT_EQ(info.accessCapability, AC_ReadOnly);
    EXPECT_EQ(s.SendInfo("fw.bin", 10).code, RC_StoreReadOnly);
    EXPECT_EQ(s.host->Transact(OC_DeleteObject, {s.HandleOf("old.bin"), 0}).code, RC_StoreReadOnly);
    EXPECT_EQ(folder.List(), (std::vector<std::string>{"old.bin"}));
}

TEST(ResponderTest, DeleteObject) {
    TempFolder folder;
    folder.Write("old.bin", Bytes(5000, 'o'));
    folder.Write("locked.bin", Bytes(1, 'l'));
    folder.Write("DCIM/IMG.JPG", Bytes(1, 'j'));
    fs::create_directories(folder.path / "EMPTY");
    fs::permissions(folder.path / "locked.bin", fs::perms::owner_write, fs::perm_options::remove);
    Profile p;
    p.clusterSize = 4096;
    CameraSession s(p, folder.str());
    auto remove = [&](uint32_t handle) { return s.host->Transact(OC_DeleteObject, {handle, 0}); };
    StorageInfo before, after;
    ASSERT_TRUE(s.host->GetStorageInfo(kStorageId, before).ok());
    uint32_t old = s.HandleOf("old.bin");
    EXPECT_TRUE(remove(old).ok());
    EXPECT_FALSE(fs::exists(folder.path / "old.bin"));
    ASSERT_TRUE(s.host->GetStorageInfo(kStorageId, after).ok());
    EXPECT_EQ(after.freeSpaceInBytes, before.freeSpaceInBytes + 8192) << "its two clusters";
    EXPECT_EQ(remove(old).code, RC_InvalidObjectHandle) << "gone for good";
    EXPECT_EQ(remove(0x7777).code, RC_InvalidObjectHandle);
    EXPECT_EQ(remove(0xFFFFFFFF).code, RC_ParameterNotSupported) << "one object at a time";

    EXPECT_EQ(remove(s.HandleOf("DCIM")).code, RC_AccessDenied) << "a folder with a file in it";
    EXPECT_TRUE(remove(s.HandleOf("EMPTY")).ok());
    EXPECT_EQ(remove(s.HandleOf("locked.bin")).code, RC_ObjectWriteProtected);
    ObjectInfo locked;
    ASSERT_TRUE(s.host->GetObjectInfo(s.HandleOf("locked.bin"), locked).ok());
    EXPECT_EQ(locked.protectionStatus, 1);
    fs::permissions(folder.path / "locked.bin", fs::perms::owner_write, fs::perm_options::add);
    EXPECT_EQ(folder.List(), (std::vector<std::string>{"DCIM", "DCIM/IMG.JPG", "locked.bin"}));

    ASSERT_TRUE(s.Upload("old.bin", Bytes(3, 'n')).ok()) << "the name is free again";
    EXPECT_GT(s.HandleOf("old.bin"), old) << "handles are never reused";
}

// SetObjectPropValue of ObjectFileName, as MTP cameras rename; the result code.
uint16_t Rename(CameraSession& s, uint32_t handle, const std::string& name,
                uint32_t property = OPC_ObjectFileName) {
    std::vector<uint8_t> value;
    PackPropValue(PropValue::String(name), value);
    const Bytes bytes(value.begin(), value.end());
    size_t offset = 0;
    DataOut out = FromBytes(bytes, &offset);
    return s.host->Transact(OC_MTP_SetObjectPropValue, {handle, property}, &out).code;
}

TEST(ResponderTest, ObjectsAreRenamedNeverOverAnotherName) {
    TempFolder folder;
    folder.Write("FW.BIN", Bytes(3, 'o'));
    folder.Write("DCIM/IMG.JPG", Bytes(4, 'j'));
    CameraSession s(Default(), folder.str());
    DeviceInfo device;
    ASSERT_TRUE(s.host->GetDeviceInfo(device).ok());
    EXPECT_TRUE(device.SpeaksMtp());
    EXPECT_TRUE(device.SupportsOperation(OC_MTP_SetObjectPropValue));

    ASSERT_TRUE(s.Upload("part.tmp", Bytes(5, 'n')).ok());
    const uint32_t handle = s.HandleOf("part.tmp");
    EXPECT_EQ(Rename(s, handle, "NEW.BIN"), RC_OK);
    ObjectInfo info;
    ASSERT_TRUE(s.host->GetObjectInfo(handle, info).ok()) << "the handle stays";
    EXPECT_EQ(info.filename, "NEW.BIN");
    EXPECT_EQ(folder.Read("NEW.BIN"), Bytes(5, 'n'));

    EXPECT_EQ(Rename(s, handle, "fw.bin"), RC_ObjectWriteProtected) << "a name already there";
    EXPECT_EQ(Rename(s, handle, "../out.bin"), RC_InvalidParameter);
    EXPECT_EQ(Rename(s, handle, "X.BIN", OPC_ObjectSize), RC_MTP_InvalidObjectPropCode);
    EXPECT_EQ(Rename(s, 0x7777, "X.BIN"), RC_InvalidObjectHandle);
    EXPECT_EQ(Rename(s, handle, "new.bin"), RC_OK) << "its own name in another case";
    EXPECT_EQ(folder.Read("FW.BIN"), Bytes(3, 'o'));

    // A folder takes what is in it along.
    EXPECT_EQ(Rename(s, s.HandleOf("DCIM"), "PHOTOS"), RC_OK);
    const uint32_t photo = s.HandleOf("IMG.JPG");
    Bytes read;
    DataIn in;
    in.maxSize = 100;
    in.write = [&](const uint8_t* data, size_t size) {
        read.insert(read.end(), data, data + size);
        return true;
    };
    EXPECT_TRUE(s.host->GetObject(photo, in).ok());
    EXPECT_EQ(read, Bytes(4, 'j'));
    EXPECT_EQ(folder.List(),
              (std::vector<std::string>{"FW.BIN", "PHOTOS", "PHOTOS/IMG.JPG", "new.bin"}));
}

TEST(ResponderTest, RenamingCanBeTurnedOff) {
    Profile p;
    p.rename = false;
    TempFolder folder;
    folder.Write("FW.BIN", Bytes(3, 'o'));
    CameraSession s(p, folder.str());
    DeviceInfo device;
    ASSERT_TRUE(s.host->GetDeviceInfo(device).ok());
    EXPECT_FALSE(device.SupportsOperation(OC_MTP_SetObjectPropValue));
    EXPECT_EQ(Rename(s, s.HandleOf("FW.BIN"), "NEW.BIN"), RC_OperationNotSupported);
    EXPECT_EQ(folder.List(), (std::vector<std::string>{"FW.BIN"}));
}

TEST(ResponderTest, VendorFormatsCanBeRefused) {
    struct {
        const char* ini;
        uint16_t format;
        uint16_t code;
    } rows[] = {
        {"", 0xBF01, RC_OK},
        {"camera.vendor_formats = no", 0xB000, RC_InvalidObjectFormatCode},
        {"camera.vendor_formats = no", 0xFFFF, RC_InvalidObjectFormatCode},
        {"camera.vendor_formats = no\ncamera.vendor_format_refusal = 0x2006", 0xBF01,
         RC_ParameterNotSupported},
        {"camera.vendor_formats = no", OFC_Undefined, RC_OK},
        {"camera.vendor_formats = no", 0xAFFF, RC_OK},
    };
    for (auto& row : rows) {
        Profile p;
        std::string error;
        ASSERT_TRUE(ParseProfile(row.ini, p, error)) << error;
        TempFolder folder;
        CameraSession s(p, folder.str());
        EXPECT_EQ(s.SendInfo("fw.bin", 10, kRootParent, row.format).code, row.code)
            << row.ini << " " << std::hex << row.format;
    }
}

TEST(ResponderTest, FoldersAreCreatedOnlyAsDeepAsTheyAreListed) {
    TempFolder folder;
    Profile p;
    uint32_t parent = kRootParent;
    {
        CameraSession s(p, folder.str());
        for (uint32_t depth = 0; depth <= kMaxFolderDepth; ++depth) {
            ptp::Result made = s.SendInfo("D" + std::to_string(depth), 0, parent, OFC_Association);
            ASSERT_TRUE(made.ok()) << depth;
            parent = made.params[2];
        }
        EXPECT_EQ(s.SendInfo("deeper.bin", 1, parent).code,
                  RC_SpecificationOfDestinationUnsupported);
        EXPECT_EQ(s.SendInfo("DEEPER", 0, parent, OFC_Association).code,
                  RC_SpecificationOfDestinationUnsupported);
    }
    CameraSession again(p, folder.str());
    uint32_t count = 0;
    ASSERT_TRUE(again.host->GetNumObjects(kStorageId, 0, 0, count).ok());
    EXPECT_EQ(count, kMaxFolderDepth + 1) << "a fresh scan lists every folder made";
}

TEST(ResponderTest, NamesTheHostCannotHoldAreRefusedBeforeTheData) {
    TempFolder folder;
    CameraSession s(Default(), folder.str());
    std::string tooLong, fits;
    for (int i = 0; i < 250; ++i)
        tooLong += "\xC3\xA9"; // beyond 255 bytes here, beyond MAX_PATH on Windows
    for (int i = 0; i < 100; ++i)
        fits += "\xC3\xA9";
    EXPECT_EQ(s.SendInfo(tooLong + ".bin", 4).code, RC_InvalidParameter);
    EXPECT_EQ(s.SendInfo(tooLong, 0, kRootParent, OFC_Association).code, RC_InvalidParameter);
    ASSERT_TRUE(s.Upload(fits + ".bin", Bytes(4, 'f')).ok());
    EXPECT_EQ(folder.List().size(), 1u);
}

TEST(ResponderTest, FullCard) {
    Profile p;
    p.capacity = 4ull << 30;
    p.freeSpace = 3 * 4096;
    p.clusterSize = 4096;
    TempFolder folder;
    CameraSession s(p, folder.str());
    EXPECT_EQ(s.SendInfo("big.bin", 3 * 4096 + 1).code, RC_StoreFull) << "four clusters";
    EXPECT_EQ(s.SendInfo("huge.bin", 0xFFFFFFFF).code, RC_StoreFull) << "4 GiB or more";
    ASSERT_TRUE(s.Upload("fits.bin", Bytes(4096, 2)).ok());
    ASSERT_TRUE(s.SendInfo("DIR", 0, kRootParent, OFC_Association).ok());
    ASSERT_TRUE(s.Upload("empty.bin", Bytes()).ok());
    StorageInfo info;
    ASSERT_TRUE(s.host->GetStorageInfo(kStorageId, info).ok());
    EXPECT_EQ(info.freeSpaceInBytes, 0u) << "a folder and an empty file take a cluster each";
    EXPECT_EQ(s.SendInfo("one.bin", 1).code, RC_StoreFull);
    EXPECT_EQ(s.SendInfo("none.bin", 0).code, RC_StoreFull);
    EXPECT_EQ(s.SendInfo("DIR2", 0, kRootParent, OFC_Association).code, RC_StoreFull);
}

TEST(ResponderTest, SendObjectNeedsItsObjectInfoAndTheAnnouncedSize) {
    TempFolder folder;
    CameraSession s(Default(), folder.str());
    Bytes data(10, 1);
    size_t offset = 0;
    EXPECT_EQ(s.host->SendObject(FromBytes(data, &offset)).code, RC_NoValidObjectInfo);
    ASSERT_TRUE(s.SendInfo("short.bin", 20).ok());
    offset = 0;
    EXPECT_EQ(s.host->SendObject(FromBytes(data, &offset)).code, RC_IncompleteTransfer);
    EXPECT_TRUE(folder.List().empty());
    EXPECT_EQ(s.SendInfo("bad\x01name", 1).code, RC_InvalidParameter);
}

TEST(ResponderTest, CancelledUploadLeavesNothing) {
    TempFolder folder;
    CameraSession s(Default(), folder.str());
    ASSERT_TRUE(s.SendInfo("fw.bin", 1000000).ok());
    int calls = 0;
    DataOut out;
    out.size = 1000000;
    out.read = [&](uint8_t* buffer, size_t count) {
        std::fill(buffer, buffer + count, 3);
        return ++calls < 3;
    };
    ptp::Result result = s.host->SendObject(out);
    EXPECT_EQ(result.status, Status::SourceFailed);
    EXPECT_EQ(result.code, RC_TransactionCancelled);
    EXPECT_TRUE(folder.List().empty());
    std::vector<uint32_t> ids;
    EXPECT_TRUE(s.host->GetStorageIDs(ids).ok()) << "the session goes on";
}

TEST(ResponderTest, HandlesStayStableAcrossSessions) {
    TempFolder folder;
    folder.Write("a.txt", Bytes(1));
    folder.Write("b.txt", Bytes(1));
    Profile p;
    Card card(folder.str(), p.capacity, p.freeSpace);
    std::map<std::string, uint32_t> first;
    for (int round = 0; round < 2; ++round) {
        auto command = MakePipePair();
        auto event = MakePipePair();
        Responder responder(p, card);
        std::thread camera([&] { responder.Serve(*command.second, *event.second); });
        Initiator host;
        ConnectionPtr hostEvent = std::move(event.first);
        ASSERT_TRUE(host.Attach(PtpIpOver(PtpIpConfig(), std::move(command.first),
                                          [&] { return std::move(hostEvent); }))
                        .ok());
        ASSERT_TRUE(host.OpenSession().ok());
        std::vector<uint32_t> handles;
        ASSERT_TRUE(host.GetObjectHandles(kAllStorages, 0, 0, handles).ok());
        for (uint32_t h : handles) {
            ObjectInfo info;
            ASSERT_TRUE(host.GetObjectInfo(h, info).ok());
            if (round == 0)
                first[info.filename] = h;
            else
                EXPECT_EQ(first[info.filename], h) << info.filename;
        }
        EXPECT_EQ(handles.size(), 2u);
        host.Shutdown();
        camera.join();
    }
}

namespace {

// A responder on its own thread over pipes, and the initiator's raw ends of them.
struct RawSession {
    TempFolder folder;
    Profile profile;
    Card card{folder.str(), profile.capacity, profile.freeSpace};
    Responder responder{profile, card};
    std::pair<ConnectionPtr, ConnectionPtr> command = MakePipePair();
    std::pair<ConnectionPtr, ConnectionPtr> event = MakePipePair();
    Status served = Status::Ok;
    std::thread camera{[this] { served = responder.Serve(*command.second, *event.second); }};

    // Waits for Serve to end; true when it ended within a generous bound.
    bool Ended() {
        auto start = std::chrono::steady_clock::now();
        camera.join();
        camera = std::thread([] {});
        return std::chrono::steady_clock::now() - start < std::chrono::seconds(20);
    }
    ~RawSession() {
        command.first->Shutdown();
        event.first->Shutdown();
        camera.join();
    }
    // Init Command Request/Ack; returns the connection number.
    uint32_t InitCommand() {
        Bytes out;
        InitCommandRequest request;
        request.friendlyName = "test";
        EncodeInitCommandRequest(request, out);
        command.first->Send(out);
        Packet ack;
        EXPECT_EQ(ReadPacket(*command.first, ack, Deadline(1000)), Status::Ok);
        EXPECT_EQ(ack.type, PT_InitCommandAck);
        InitCommandAck decoded;
        EXPECT_TRUE(DecodeInitCommandAck(ack.body, decoded));
        return decoded.connectionNumber;
    }
    Packet InitEvent(uint32_t number) {
        Bytes out;
        EncodeInitEventRequest({number}, out);
        event.first->Send(out);
        Packet reply;
        EXPECT_EQ(ReadPacket(*event.first, reply, Deadline(1000)), Status::Ok);
        return reply;
    }
};

} // namespace

TEST(ResponderTest, HandshakeWithTheWrongConnectionNumberFails) {
    RawSession s;
    uint32_t number = s.InitCommand();
    EXPECT_EQ(s.InitEvent(number + 1).type, PT_InitFail);
    ASSERT_TRUE(s.Ended());
    EXPECT_EQ(s.served, Status::Malformed);
}

TEST(ResponderTest, ProbesAreAnsweredOnTheEventConnection) {
    RawSession s;
    ASSERT_EQ(s.InitEvent(s.InitCommand()).type, PT_InitEventAck);
    Bytes probe;
    EncodeEmptyPacket(PT_ProbeRequest, probe);
    s.event.first->Send(probe);
    Packet reply;
    ASSERT_EQ(ReadPacket(*s.event.first, reply, Deadline(1000)), Status::Ok);
    EXPECT_EQ(reply.type, PT_ProbeResponse);
}

TEST(ResponderTest, AProtocolErrorEndsTheSession) {
    RawSession s;
    ASSERT_EQ(s.InitEvent(s.InitCommand()).type, PT_InitEventAck);
    Bytes stray;
    EncodeInitEventAck(stray);
    s.command.first->Send(stray);
    Packet none;
    EXPECT_EQ(ReadPacket(*s.command.first, none, Deadline(1000)), Status::Closed);
    ASSERT_TRUE(s.Ended());
    EXPECT_EQ(s.served, Status::Malformed);
}
