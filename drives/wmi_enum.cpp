#include "drives/wmi_enum.h"

#include <windows.h>
#include <objbase.h>
#include <wbemidl.h>
#include <winioctl.h>

#include <cstddef>

#include "drives/drive_list.h"
#include "drives/medium_identity.h"
#include "engine/app_state.h"
#include "report/error_box.h"
#include "resource.h"

namespace {

// Indexed by MEDIA_TYPE; 7 and 8 share a text.
const wchar_t* const kMediaTypeTable[] = {
    L"Format is unknown",
    L"A 5.25 floppy with 1.2MB",
    L"A 3.5 floppy with 1.44MB",
    L"A 3.5 floppy with 2.88MB",
    L"A 3.5 floppy with 20.8MB",
    L"A 3.5 floppy with 720KB",
    L"A 5.25 floppy with 360KB",
    L"A 5.25 floppy with 320KB",
    L"A 5.25 floppy with 320KB",
    L"A 5.25 floppy with 180KB",
    L"A 5.25 floppy with 160KB",
    L"Removable media other than floppy",
    L"Fixed hard disk media",
    L"A 3.5 floppy with 120MB",
    L"A 3.5 floppy with 640KB",
    L"A 5.25 floppy with 640KB",
    L"A 5.25 floppy with 720KB",
    L"A 3.5 floppy with 1.2MB",
    L"A 3.5 floppy with 1.23MB",
    L"A 5.25 floppy with 1.23MB",
    L"A 3.5 floppy with 128MB",
    L"A 3.5 floppy with 230MB",
    L"An 8 floppy with 256KB",
    L"A 3.5 floppy with 200MB (HiFD)",
    L"A 3.5 floppy with 240MB (HiFD)",
    L"A 3.5 floppy with 32MB",
};
const uint32_t kMediaTypeCount = sizeof(kMediaTypeTable) / sizeof(kMediaTypeTable[0]);
static_assert(kMediaTypeCount == 26, "one text for every media type the geometry query reports");

bool Fail(AppState& state, const wchar_t* text)
{
    ShowErrorBox(state, text);
    return false;
}

// Reads one property into `value`, which is empty beforehand and must be cleared afterwards
// whatever the outcome.
bool ReadProperty(IWbemClassObject* row, const wchar_t* name, VARIANT& value)
{
    return SUCCEEDED(row->Get(name, 0, &value, nullptr, nullptr));
}

bool HoldsText(const VARIANT& value)
{
    return value.vt == VT_BSTR && value.bstrVal != nullptr;
}

// Text properties that are missing or of another type show as empty lines.
std::wstring ReadText(IWbemClassObject* row, const wchar_t* name, VARIANT& value)
{
    std::wstring text;
    if (ReadProperty(row, name, value) && HoldsText(value))
        text = value.bstrVal;
    VariantClear(&value);
    return text;
}

// Fills the scratch record from one row. False when the row is not to be probed: its media
// is reported as not loaded, or it has no usable device path or number.
bool ReadRow(IWbemClassObject* row, DriveRecord& scratch)
{
    VARIANT value;
    VariantInit(&value);

    // A row that cannot tell its media state is left to the probe to decide.
    bool loaded = true;
    if (ReadProperty(row, L"MediaLoaded", value) && value.vt == VT_BOOL)
        loaded = value.boolVal != VARIANT_FALSE;
    VariantClear(&value);
    if (!loaded)
        return false;

    bool usable = ReadProperty(row, L"DeviceID", value) && HoldsText(value);
    if (usable)
        scratch.DeviceID = DevicePathFromWmi(value.bstrVal);
    VariantClear(&value);
    if (!usable)
        return false;

    usable = ReadProperty(row, L"Index", value) && (value.vt == VT_I4 || value.vt == VT_UI4);
    if (usable)
        scratch.Index = value.vt == VT_I4 ? static_cast<uint32_t>(value.lVal) : value.ulVal;
    VariantClear(&value);
    if (!usable)
        return false;

    scratch.Caption = ReadText(row, L"Caption", value);
    scratch.InterfaceType = ReadText(row, L"InterfaceType", value);
    return true;
}

// Opens the scratch drive for reading and asks it for its geometry. False drops the row.
bool ProbeScratchDrive(AppState& state)
{
    state.ProbeHandle =
        CreateFileW(state.ScratchDrive.DeviceID.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_NO_BUFFERING, nullptr);
    if (!IsOpenHandle(state.ProbeHandle)) {
        state.ProbeHandle = nullptr;
        return false;
    }
    // A previous drive's block must never pass for this one's.
    ZeroMemory(&state.GeometryScratch, sizeof(state.GeometryScratch));
    state.BytesRead = 0;
    const BOOL answered =
        DeviceIoControl(state.ProbeHandle, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, &state.GeometryScratch,
                        sizeof(state.GeometryScratch), &state.BytesRead, nullptr);
    // Which medium this is, so that a job can tell when another one answers to the path.
    if (answered)
        state.ScratchDrive.Identity = ReadMediumIdentity(state.ProbeHandle);
    CloseHandle(state.ProbeHandle);
    state.ProbeHandle = nullptr;
    // An answer without the disk size would list the drive with a size it does not have.
    return answered && state.BytesRead >= offsetof(DISK_GEOMETRY_EX, Data);
}

bool ConnectToCimv2(AppState& state)
{
    BSTR space = SysAllocString(L"ROOT\\CIMV2");
    HRESULT result = E_OUTOFMEMORY;
    if (space != nullptr)
        result = state.WbemLocator->ConnectServer(space, nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                                  &state.WbemServices);
    SysFreeString(space);
    return SUCCEEDED(result) && state.WbemServices != nullptr;
}

bool RunDriveQuery(AppState& state)
{
    state.WbemEnumerator = nullptr;
    if (state.WbemServices == nullptr)
        return false;
    BSTR language = SysAllocString(L"WQL");
    BSTR query = SysAllocString(L"SELECT * FROM Win32_DiskDrive");
    HRESULT result = E_OUTOFMEMORY;
    if (language != nullptr && query != nullptr)
        result = state.WbemServices->ExecQuery(language, query, WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY,
                                               nullptr, &state.WbemEnumerator);
    SysFreeString(language);
    SysFreeString(query);
    if (SUCCEEDED(result) && state.WbemEnumerator != nullptr)
        return true;
    if (state.WbemEnumerator != nullptr)
        state.WbemEnumerator->Release();
    state.WbemEnumerator = nullptr;
    return false;
}

void ReleaseRow(AppState& state)
{
    if (state.WbemObject != nullptr)
        state.WbemObject->Release();
    state.WbemObject = nullptr;
}

void ReadDriveRows(AppState& state)
{
    for (;;) {
        ULONG returned = 0;
        state.WbemObject = nullptr;
        const HRESULT result =
            state.WbemEnumerator->Next(static_cast<long>(WBEM_INFINITE), 1, &state.WbemObject, &returned);
        if (result != WBEM_S_NO_ERROR || returned == 0 || state.WbemObject == nullptr) {
            ReleaseRow(state);
            return;
        }
        if (ReadRow(state.WbemObject, state.ScratchDrive) && ProbeScratchDrive(state)) {
            TakeGeometry(state.ScratchDrive, state.GeometryScratch);
            state.DriveList.push_back(state.ScratchDrive);
            ++state.DriveCount;
        }
        ReleaseRow(state);
    }
}

void EmptyDriveCombo(HWND dialog)
{
    while (SendDlgItemMessageW(dialog, IDC_DRIVE_COMBO, CB_GETCOUNT, 0, 0) > 0) {
        if (SendDlgItemMessageW(dialog, IDC_DRIVE_COMBO, CB_DELETESTRING, 0, 0) == CB_ERR)
            break;
    }
}

} // namespace

std::wstring MediaDescriptionFor(uint32_t mediaType)
{
    return kMediaTypeTable[mediaType < kMediaTypeCount ? mediaType : 0];
}

std::wstring DevicePathFromWmi(const std::wstring& deviceId)
{
    // Some WMI providers hand the path out with every backslash doubled (\\\\.\\PHYSICALDRIVE0),
    // under which the drive does not open. The platform's own form starts with a single \\.\ .
    static const wchar_t kDoubledPrefix[] = L"\\\\\\\\.\\\\";
    const size_t prefixLength = sizeof(kDoubledPrefix) / sizeof(kDoubledPrefix[0]) - 1;
    if (deviceId.compare(0, prefixLength, kDoubledPrefix) != 0)
        return deviceId;
    std::wstring path;
    for (size_t i = 0; i < deviceId.size(); ++i) {
        path += deviceId[i];
        if (deviceId[i] == L'\\' && i + 1 < deviceId.size() && deviceId[i + 1] == L'\\')
            ++i;
    }
    return path;
}

void TakeGeometry(DriveRecord& drive, const DISK_GEOMETRY_EX& geometry)
{
    drive.DiskGeometry = geometry;
    // Written for every drive, so no drive shows the text of one enumerated before it.
    drive.MediaDescription = MediaDescriptionFor(static_cast<uint32_t>(geometry.Geometry.MediaType));
}

bool InitWmi()
{
    AppState& state = *g_App;
    if (FAILED(CoInitialize(nullptr)))
        return Fail(state, L"Failed to initialize COM library.");
    const HRESULT security = CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                                                  RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
    // Security that something else in the process has already set is security in place.
    if (FAILED(security) && security != RPC_E_TOO_LATE)
        return Fail(state, L"Failed to initialize security");
    if (FAILED(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                                reinterpret_cast<void**>(&state.WbemLocator))) ||
        state.WbemLocator == nullptr)
        return Fail(state, L"Failed to create IWbemLocator object.");
    if (!ConnectToCimv2(state))
        return Fail(state, L"Could not connect ROOT\\CIMV2.");
    if (FAILED(CoSetProxyBlanket(state.WbemServices, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr,
                                 RPC_C_AUTHN_LEVEL_CALL, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE)))
        return Fail(state, L"Could not set proxy blanket.");
    return true;
}

int32_t EnumerateDrives()
{
    AppState& state = *g_App;
    const HWND dialog = state.MainWindow;
    EmptyDriveCombo(dialog);
    state.DriveList.clear();
    state.DriveCount = 0;

    if (!RunDriveQuery(state)) {
        ShowErrorBox(state, L"Query for WMI failed.");
        return state.DriveCount;
    }
    ReadDriveRows(state);
    state.WbemEnumerator->Release();
    state.WbemEnumerator = nullptr;

    if (!state.DriveList.empty()) {
        SortDriveList(state.DriveList);
        for (const DriveRecord& drive : state.DriveList) {
            const std::wstring text = ComboTextFor(drive);
            SendDlgItemMessageW(dialog, IDC_DRIVE_COMBO, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
        }
    }
    // On an empty list this is refused with its own box, which the operator sees first.
    SelectDrive(state, -1);
    SetStatusText(L"Please select a physical drive!");
    return state.DriveCount;
}
