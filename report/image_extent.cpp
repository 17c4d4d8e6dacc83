#include "report/image_extent.h"

#include "engine/app_state.h"
#include "engine/partitions_image.h"
#include "report/byte_count.h"

namespace {

const wchar_t* WholeDriveCause(WholeDrive whole)
{
    switch (whole) {
    case WholeDrive::No:
        break;
    case WholeDrive::NoTable:
        return L"it has no partition table";
    case WholeDrive::Damaged:
        return L"its partition table is damaged";
    case WholeDrive::JoinsOtherDisks:
        return L"it is a dynamic disk or part of a storage pool";
    case WholeDrive::OtherSectorSize:
        return L"its partition table is made for another sector size";
    case WholeDrive::NearEnd:
        return L"its partitions end within 1 MiB of its end";
    case WholeDrive::ReadError:
        return L"its partition table can't be read";
    }
    return L"";
}

} // namespace

std::wstring ImageExtentLine(const AppState& app)
{
    if (!app.JobPartitionsOnly)
        return std::wstring();
    if (app.ImageRescued)
        return L"\nIt holds the whole disk: a rescue reads all of it.";
    if (app.ImagedWhole != WholeDrive::No)
        return std::wstring(L"\nIt holds the whole disk: ") + WholeDriveCause(app.ImagedWhole) + L".";
    std::wstring imaged = FormatByteCount(static_cast<uint64_t>(PlannedCreateBytes(app)));
    imaged.pop_back();
    const int64_t driveSize = app.DriveList[static_cast<size_t>(app.SelectedIndex)].DiskGeometry.DiskSize.QuadPart;
    return L"\nIt holds the partitions: " + imaged + L" of " + FormatByteCount(static_cast<uint64_t>(driveSize)) +
           L"Bytes.";
}
