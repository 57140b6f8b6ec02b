// For `make bench`: the least program that makes the platform calls a run of the command makes on
// an adapter set up before, and nothing else: newdev.dll loaded from the system directory (with
// what it imports, as on Windows), the COM-port package staged, the wait for installs in progress,
// the bus update, the look for the COM-port device on its own bus, the second wait, the COM-port
// update. No C++ runtime, no output, no checks beyond what a call needs. Its time beside the
// command's is what the command itself adds to the platform's work.
//
//   newdev-load DIRECTORY   (the command's argument)

#include <windows.h>
#include <setupapi.h>

namespace {

const DWORD INSTALLFLAG_FORCE = 0x00000001;  // newdev.h

typedef BOOL(WINAPI *UpdateDriver_t)(HWND, LPCWSTR, LPCWSTR, DWORD, PBOOL);
typedef DWORD(WINAPI *Wait_t)(DWORD);
typedef BOOL(WINAPI *CopyOEMInf_t)(PCWSTR, PCWSTR, DWORD, DWORD, PWSTR, DWORD, PDWORD, PWSTR *);
typedef HDEVINFO(WINAPI *GetClassDevs_t)(const GUID *, PCWSTR, HWND, DWORD);
typedef BOOL(WINAPI *EnumDeviceInfo_t)(HDEVINFO, DWORD, PSP_DEVINFO_DATA);
typedef BOOL(WINAPI *GetProperty_t)(HDEVINFO, PSP_DEVINFO_DATA, DWORD, PDWORD, PBYTE, DWORD, PDWORD);
typedef BOOL(WINAPI *DestroyList_t)(HDEVINFO);

HMODULE load(const wchar_t *name)
{
    wchar_t path[MAX_PATH + 16];
    UINT length = GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return NULL;
    path[length] = L'\\';
    lstrcpyW(path + length + 1, name);
    return LoadLibraryExW(path, NULL, LOAD_WITH_ALTERED_SEARCH_PATH);
}

template <typename Function> Function function(HMODULE dll, const char *name)
{
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(dll, name)));
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 2)
        return 2;
    HMODULE newdev = load(L"newdev.dll");
    HMODULE setupapi = load(L"setupapi.dll");
    HMODULE cfgmgr32 = load(L"cfgmgr32.dll");
    if (newdev == NULL || setupapi == NULL || cfgmgr32 == NULL)
        return 1;
    UpdateDriver_t update = function<UpdateDriver_t>(newdev, "UpdateDriverForPlugAndPlayDevicesW");
    Wait_t wait = function<Wait_t>(cfgmgr32, "CMP_WaitNoPendingInstallEvents");
    CopyOEMInf_t copy = function<CopyOEMInf_t>(setupapi, "SetupCopyOEMInfW");
    GetClassDevs_t getClassDevs = function<GetClassDevs_t>(setupapi, "SetupDiGetClassDevsW");
    EnumDeviceInfo_t enumDevice = function<EnumDeviceInfo_t>(setupapi, "SetupDiEnumDeviceInfo");
    GetProperty_t getProperty = function<GetProperty_t>(setupapi, "SetupDiGetDeviceRegistryPropertyW");
    DestroyList_t destroy = function<DestroyList_t>(setupapi, "SetupDiDestroyDeviceInfoList");
    if (!update || !wait || !copy || !getClassDevs || !enumDevice || !getProperty || !destroy)
        return 1;

    wchar_t bus[MAX_PATH + 16], port[MAX_PATH + 16];
    int length = MultiByteToWideChar(CP_ACP, 0, argv[1], -1, bus, MAX_PATH) - 1;
    if (length < 0)
        return 1;
    lstrcpyW(port, bus);
    lstrcpyW(bus + length, L"\\ftdibus.inf");
    lstrcpyW(port + length, L"\\ftdiport.inf");

    BOOL restart = FALSE;
    copy(port, NULL, SPOST_PATH, 0, NULL, 0, NULL, NULL);
    wait(30000);
    update(NULL, L"USB\\VID_0403&PID_6001", bus, INSTALLFLAG_FORCE, &restart);
    HDEVINFO devices = getClassDevs(NULL, L"FTDIBUS", NULL, DIGCF_ALLCLASSES | DIGCF_PRESENT);
    if (devices != INVALID_HANDLE_VALUE) {
        SP_DEVINFO_DATA device = {sizeof device, {}, 0, 0};
        wchar_t ids[4096];
        for (DWORD i = 0; enumDevice(devices, i, &device); ++i)
            getProperty(devices, &device, SPDRP_HARDWAREID, NULL, reinterpret_cast<BYTE *>(ids), sizeof ids, NULL);
        destroy(devices);
    }
    wait(30000);
    update(NULL, L"FTDIBUS\\COMPORT&VID_0403&PID_6001", port, INSTALLFLAG_FORCE, &restart);
    return 0;
}
