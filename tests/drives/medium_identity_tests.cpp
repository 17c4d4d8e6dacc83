// Telling one medium from another behind the same device path: the identity rule,
// the parsing of the two answers it is made of, and the drive list's search.
#include <gtest/gtest.h>

#include <windows.h>
#include <dbt.h>
#include <winioctl.h>

#include <cstddef>
#include <cstring>
#include <vector>

#include "drives/drive_record.h"
#include "drives/medium_identity.h"
#include "ui/device_watch.h"

namespace {

MediumIdentity Serial(const char* serial)
{
    MediumIdentity identity;
    identity.SerialAnswered = true;
    identity.SerialNumber = serial;
    return identity;
}

MediumIdentity Layout(DWORD style, DWORD signature = 0, GUID id = GUID())
{
    MediumIdentity identity;
    identity.LayoutAnswered = true;
    identity.PartitionStyle = style;
    identity.MbrSignature = signature;
    identity.GptDiskId = id;
    return identity;
}

const GUID kDiskA = {0x11111111, 0x2222, 0x3333, {1, 2, 3, 4, 5, 6, 7, 8}};
const GUID kDiskB = {0x11111111, 0x2222, 0x3333, {1, 2, 3, 4, 5, 6, 7, 9}};

// A StorageDeviceProperty answer with `text` at `offset` (0: no serial).
std::vector<BYTE> Descriptor(DWORD offset, const char* text, DWORD size = 0)
{
    std::vector<BYTE> answer(128, 0xEE);
    STORAGE_DEVICE_DESCRIPTOR head = {};
    head.Version = sizeof(head);
    head.Size = size != 0 ? size : static_cast<DWORD>(answer.size());
    head.SerialNumberOffset = offset;
    std::memcpy(answer.data(), &head, sizeof(head));
    if (text != nullptr)
        std::memcpy(answer.data() + offset, text, std::strlen(text) + 1);
    return answer;
}

std::vector<BYTE> LayoutAnswer(DWORD style, DWORD signature, GUID id)
{
    std::vector<BYTE> answer(sizeof(DRIVE_LAYOUT_INFORMATION_EX) + 3 * sizeof(PARTITION_INFORMATION_EX));
    DRIVE_LAYOUT_INFORMATION_EX layout = {};
    layout.PartitionStyle = style;
    layout.PartitionCount = 4;
    if (style == PARTITION_STYLE_MBR)
        layout.Mbr.Signature = signature;
    if (style == PARTITION_STYLE_GPT)
        layout.Gpt.DiskId = id;
    std::memcpy(answer.data(), &layout, sizeof(layout));
    return answer;
}

} // namespace

TEST(MediumIdentityRule, UnansweredMatchesOnlyUnansweredAndAnswersMustAgree)
{
    const MediumIdentity unknown;
    const MediumIdentity noSerial = Serial("");
    // A device that answers neither query (a file-backed drive) is the same one both times.
    EXPECT_TRUE(SameMediumIdentity(unknown, unknown));
    EXPECT_TRUE(SameMediumIdentity(Serial("WD-123"), Serial("WD-123")));
    EXPECT_TRUE(SameMediumIdentity(noSerial, noSerial));

    struct Pair {
        MediumIdentity listed, now;
    } differ[] = {
        {Serial("WD-123"), Serial("WD-124")},
        {Serial("WD-123"), unknown},
        {unknown, Serial("WD-123")},
        {noSerial, unknown},
        {noSerial, Serial("X")},
        {Serial("wd-123"), Serial("WD-123")},
    };
    for (const Pair& pair : differ)
        EXPECT_FALSE(SameMediumIdentity(pair.listed, pair.now))
            << pair.listed.SerialAnswered << "'" << pair.listed.SerialNumber << "' vs " << pair.now.SerialAnswered
            << "'" << pair.now.SerialNumber << "'";
}

TEST(MediumIdentityRule, LayoutIdentityByStyleSignatureAndGuid)
{
    const MediumIdentity unknown;
    EXPECT_TRUE(SameMediumIdentity(Layout(PARTITION_STYLE_MBR, 0xCAFE), Layout(PARTITION_STYLE_MBR, 0xCAFE)));
    EXPECT_TRUE(SameMediumIdentity(Layout(PARTITION_STYLE_GPT, 0, kDiskA), Layout(PARTITION_STYLE_GPT, 0, kDiskA)));
    EXPECT_TRUE(SameMediumIdentity(Layout(PARTITION_STYLE_RAW), Layout(PARTITION_STYLE_RAW)));
    // Only the part that belongs to the style counts.
    EXPECT_TRUE(SameMediumIdentity(Layout(PARTITION_STYLE_MBR, 7, kDiskA), Layout(PARTITION_STYLE_MBR, 7, kDiskB)));

    EXPECT_FALSE(SameMediumIdentity(Layout(PARTITION_STYLE_MBR, 0xCAFE), Layout(PARTITION_STYLE_MBR, 0xCAFF)));
    EXPECT_FALSE(SameMediumIdentity(Layout(PARTITION_STYLE_GPT, 0, kDiskA), Layout(PARTITION_STYLE_GPT, 0, kDiskB)));
    EXPECT_FALSE(SameMediumIdentity(Layout(PARTITION_STYLE_MBR, 0), Layout(PARTITION_STYLE_RAW)));
    EXPECT_FALSE(SameMediumIdentity(Layout(PARTITION_STYLE_MBR, 0), Layout(PARTITION_STYLE_GPT)));
    EXPECT_FALSE(SameMediumIdentity(Layout(PARTITION_STYLE_RAW), unknown));
    EXPECT_FALSE(SameMediumIdentity(unknown, Layout(PARTITION_STYLE_RAW)));

    // Both parts must agree: the same serial with another layout is another medium (or a
    // medium rewritten behind the program's back), the same layout with another serial too.
    MediumIdentity a = Layout(PARTITION_STYLE_MBR, 0xCAFE);
    a.SerialAnswered = true;
    a.SerialNumber = "SN1";
    MediumIdentity b = a;
    b.SerialNumber = "SN2";
    EXPECT_FALSE(SameMediumIdentity(a, b));
    b = a;
    b.MbrSignature = 0xBEEF;
    EXPECT_FALSE(SameMediumIdentity(a, b));
}

TEST(MediumIdentityAnswers, SerialNumberFromTheDeviceDescriptor)
{
    const DWORD strings = offsetof(STORAGE_DEVICE_DESCRIPTOR, RawDeviceProperties);
    std::string serial = "stale";
    std::vector<BYTE> answer = Descriptor(64, "  S3Z9NB0K  ");
    ASSERT_TRUE(SerialFromDescriptor(answer.data(), static_cast<DWORD>(answer.size()), &serial));
    EXPECT_EQ(serial, "S3Z9NB0K");

    // No serial: offset 0, an empty or blank string, an offset past the answer or into its fixed part.
    struct Case {
        DWORD offset;
        const char* text;
    } none[] = {{0, nullptr}, {64, ""}, {64, "    "}, {128, nullptr}, {0xFFFFFFFF, nullptr}, {8, nullptr}};
    for (const Case& c : none) {
        answer = Descriptor(c.offset, c.text);
        serial = "stale";
        EXPECT_TRUE(SerialFromDescriptor(answer.data(), static_cast<DWORD>(answer.size()), &serial)) << c.offset;
        EXPECT_EQ(serial, "") << c.offset;
    }
    // The string ends where the answer ends, whether the terminator is there or not.
    answer = Descriptor(strings, "ABCDEF");
    ASSERT_TRUE(SerialFromDescriptor(answer.data(), strings + 3, &serial));
    EXPECT_EQ(serial, "ABC");
    answer = Descriptor(64, "ABCDEF", 67);
    ASSERT_TRUE(SerialFromDescriptor(answer.data(), static_cast<DWORD>(answer.size()), &serial));
    EXPECT_EQ(serial, "ABC");

    // Too short to say where a serial would be: the device did not answer.
    answer = Descriptor(64, "S1");
    EXPECT_FALSE(SerialFromDescriptor(answer.data(), offsetof(STORAGE_DEVICE_DESCRIPTOR, SerialNumberOffset), &serial));
    EXPECT_FALSE(SerialFromDescriptor(nullptr, 0, &serial));
}

TEST(MediumIdentityAnswers, LayoutIdentityFromTheLayoutAnswer)
{
    MediumIdentity identity;
    std::vector<BYTE> answer = LayoutAnswer(PARTITION_STYLE_MBR, 0x1234ABCD, kDiskA);
    ASSERT_TRUE(LayoutFromAnswer(answer.data(), static_cast<DWORD>(answer.size()), &identity));
    EXPECT_EQ(identity.PartitionStyle, static_cast<DWORD>(PARTITION_STYLE_MBR));
    EXPECT_EQ(identity.MbrSignature, 0x1234ABCDu);

    answer = LayoutAnswer(PARTITION_STYLE_GPT, 0, kDiskB);
    ASSERT_TRUE(LayoutFromAnswer(answer.data(), static_cast<DWORD>(answer.size()), &identity));
    EXPECT_EQ(identity.PartitionStyle, static_cast<DWORD>(PARTITION_STYLE_GPT));
    EXPECT_EQ(std::memcmp(&identity.GptDiskId, &kDiskB, sizeof(GUID)), 0);
    EXPECT_EQ(identity.MbrSignature, 0u);

    // A raw medium has no identity of its own; an earlier answer's leaves nothing behind.
    answer = LayoutAnswer(PARTITION_STYLE_RAW, 0, GUID());
    ASSERT_TRUE(LayoutFromAnswer(answer.data(), static_cast<DWORD>(answer.size()), &identity));
    EXPECT_EQ(identity.PartitionStyle, static_cast<DWORD>(PARTITION_STYLE_RAW));
    const GUID none = {};
    EXPECT_EQ(std::memcmp(&identity.GptDiskId, &none, sizeof(GUID)), 0);

    answer = LayoutAnswer(7, 0, GUID());
    EXPECT_FALSE(LayoutFromAnswer(answer.data(), static_cast<DWORD>(answer.size()), &identity));
    answer = LayoutAnswer(PARTITION_STYLE_MBR, 1, GUID());
    EXPECT_FALSE(LayoutFromAnswer(answer.data(), offsetof(DRIVE_LAYOUT_INFORMATION_EX, PartitionEntry) - 1, &identity));
}

TEST(SameMediumInTheList, PathSizeSectorAndIdentityAllCount)
{
    DriveRecord selected;
    selected.DeviceID = L"\\\\.\\PHYSICALDRIVE2";
    selected.DiskGeometry.DiskSize.QuadPart = 8004304896;
    selected.DiskGeometry.Geometry.BytesPerSector = 512;
    selected.Identity = Serial("AA01");

    std::vector<DriveRecord> list(4, selected);
    list[0].DeviceID = L"\\\\.\\PHYSICALDRIVE1";
    list[1].DiskGeometry.DiskSize.QuadPart += 512;
    list[2].DiskGeometry.Geometry.BytesPerSector = 4096;
    list[3].Identity = Serial("AA02");
    EXPECT_EQ(FindSameMedium(list, selected), -1);
    list.push_back(selected);
    list.back().Caption = L"another caption, same medium";
    EXPECT_EQ(FindSameMedium(list, selected), 4);
    EXPECT_EQ(FindSameMedium(std::vector<DriveRecord>(), selected), -1);
}

TEST(DeviceNotices, DiskInterfacesAndLocalVolumesArrivingOrGone)
{
    DEV_BROADCAST_VOLUME volume = {};
    volume.dbcv_size = sizeof(volume);
    volume.dbcv_devicetype = DBT_DEVTYP_VOLUME;
    volume.dbcv_unitmask = 1 << 4;
    DEV_BROADCAST_DEVICEINTERFACE_W disk = {};
    disk.dbcc_size = sizeof(disk);
    disk.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    disk.dbcc_classguid = GUID_DEVINTERFACE_DISK;
    const DEV_BROADCAST_HDR* volumeNotice = reinterpret_cast<DEV_BROADCAST_HDR*>(&volume);
    const DEV_BROADCAST_HDR* diskNotice = reinterpret_cast<DEV_BROADCAST_HDR*>(&disk);

    for (WPARAM event : {DBT_DEVICEARRIVAL, DBT_DEVICEREMOVECOMPLETE}) {
        EXPECT_TRUE(IsMediaChangeNotice(event, volumeNotice));
        EXPECT_TRUE(IsMediaChangeNotice(event, diskNotice));
    }
    for (WPARAM event : {DBT_DEVICEQUERYREMOVE, DBT_DEVICEREMOVEPENDING, DBT_DEVNODES_CHANGED, DBT_CUSTOMEVENT}) {
        EXPECT_FALSE(IsMediaChangeNotice(event, volumeNotice)) << event;
        EXPECT_FALSE(IsMediaChangeNotice(event, diskNotice)) << event;
    }
    EXPECT_FALSE(IsMediaChangeNotice(DBT_DEVICEARRIVAL, nullptr));

    // A network share, another class of device, a port, a notice too short for its type.
    volume.dbcv_flags = DBTF_NET;
    EXPECT_FALSE(IsMediaChangeNotice(DBT_DEVICEARRIVAL, volumeNotice));
    volume.dbcv_flags = DBTF_MEDIA;
    EXPECT_TRUE(IsMediaChangeNotice(DBT_DEVICEARRIVAL, volumeNotice));
    volume.dbcv_size = sizeof(DEV_BROADCAST_HDR);
    EXPECT_FALSE(IsMediaChangeNotice(DBT_DEVICEARRIVAL, volumeNotice));
    disk.dbcc_classguid = GUID_DEVINTERFACE_VOLUME;
    EXPECT_FALSE(IsMediaChangeNotice(DBT_DEVICEARRIVAL, diskNotice));
    DEV_BROADCAST_HDR port = {sizeof(DEV_BROADCAST_HDR), DBT_DEVTYP_PORT, 0};
    EXPECT_FALSE(IsMediaChangeNotice(DBT_DEVICEARRIVAL, &port));
}
