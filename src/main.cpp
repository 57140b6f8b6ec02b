// usb-serial-driver-update: updates the Plug and Play drivers of the USB serial adapter with
// vendor ID 0403 and product ID 6001 from a driver package directory, first the bus driver
// (ftdibus.inf), then the COM-port driver (ftdiport.inf), and prints one line per driver.
//
// Installers and scripts parse what this prints, so the lines are fixed literals, the exit status
// is always 0 and the outcome is told by the output alone. Why the rest looks the way it does:
// - People start this as administrator from a Downloads folder, and a DLL found by its bare name
//   is looked for beside the .exe first, then on PATH, before and after the system directory. So
//   before anything else the process's DLL search is limited to the system directory, for every
//   DLL loaded from then on, including those the platform's installer code loads by bare name
//   while it works. SetDefaultDllDirectories does that; it is looked up at run time because 6.0,
//   and 6.1 without update KB2533623, lack it. There the current directory is at least taken out
//   of the search.
// - newdev.dll is not a KnownDLL. Imported statically, or loaded by its bare name, it would be
//   searched for beside the .exe and in the current directory, so it is loaded by its full path
//   in the system directory, with its own imports resolved from there, whichever search applies.
//   user32.dll, setupapi.dll and cfgmgr32.dll are loaded the same way, after it: Windows' newdev.dll
//   imports the first two, and setupapi.dll the third, so there they are loaded already.
// - Windows installs devices on its own: the adapter plugged in just before the run is still
//   being installed with Windows' own choice of driver when the run starts. An installer must not
//   install over that (Microsoft, "How a Device Installation Application Checks for In-Progress
//   Device Installations"), so the run waits for installs in progress before each update, bounded.
// - On a first install the COM-port device does not exist yet when the bus driver's update
//   returns: the bus driver reports it once it has started, on its own time. A call for a
//   hardware ID that no device carries fails with ERROR_NO_SUCH_DEVINST and installs nothing,
//   so after a successful bus update, with no COM-port device yet, the run waits for the COM-port
//   device (polling, at most PORT_WAIT_MS), and then for Windows' own install on it to end, before
//   the second update. Where the bus update says a restart is needed (an application holds the
//   COM port open), the COM-port device cannot come before the restart: the run does not wait.
//   The waits print nothing, and when anything they ask the platform fails they are skipped: the
//   second update runs as it would have.
// - The COM-port package goes into the driver store before the bus update, as Windows' own
//   preinstalling does for a child device's package: Windows then installs it on the COM-port
//   device by itself whenever that appears, also after the run's bound, or after a restart.
// - A service or a fleet agent's session-0 install runs where nobody sees a window. There a
//   prompt the install needs (a publisher not yet trusted) could wait for ever, so both updates
//   are asked not to show any and to fail with a code instead.
// - Every write is flushed at once: a script reading through a pipe must see each line while the
//   next driver update, which can take minutes, is still running.
// - The directory is converted from the process's ANSI code page (CP_ACP), the one the runtime
//   used to hand it to main. The thread's code page follows the user's locale instead and can
//   differ from it, which would misread every non-ASCII character. Where Windows honours the
//   manifest's activeCodePage (10 version 1903 and later), CP_ACP is UTF-8 and any name arrives.
//   The directory is never interpreted: no separator is added or removed and nothing is checked
//   for existence. The platform's error code is the report for every problem with it.

#include <windows.h>
#include <setupapi.h>

#include "adapter.h"
#include "system-dll.h"

#include <cstddef>
#include <cstdio>
#include <cwchar>
#include <new>
#include <string>

namespace {

typedef BOOL(WINAPI *UpdateDriverForPlugAndPlayDevicesW_t)(HWND hwndParent, LPCWSTR HardwareId,
                                                           LPCWSTR FullInfPath, DWORD InstallFlags,
                                                           PBOOL bRebootRequired);

typedef HDEVINFO(WINAPI *SetupDiGetClassDevsW_t)(const GUID *ClassGuid, PCWSTR Enumerator, HWND hwndParent,
                                                 DWORD Flags);
typedef BOOL(WINAPI *SetupDiEnumDeviceInfo_t)(HDEVINFO DeviceInfoSet, DWORD MemberIndex,
                                              PSP_DEVINFO_DATA DeviceInfoData);
typedef BOOL(WINAPI *SetupDiGetDeviceRegistryPropertyW_t)(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                                          DWORD Property, PDWORD PropertyRegDataType,
                                                          PBYTE PropertyBuffer, DWORD PropertyBufferSize,
                                                          PDWORD RequiredSize);
typedef BOOL(WINAPI *SetupDiDestroyDeviceInfoList_t)(HDEVINFO DeviceInfoSet);
typedef DWORD(WINAPI *CMP_WaitNoPendingInstallEvents_t)(DWORD dwTimeout);
typedef BOOL(WINAPI *SetupCopyOEMInfW_t)(PCWSTR SourceInfFileName, PCWSTR OEMSourceMediaLocation,
                                         DWORD OEMSourceMediaType, DWORD CopyStyle, PWSTR DestinationInfFileName,
                                         DWORD DestinationInfFileNameSize, PDWORD RequiredSize,
                                         PWSTR *DestinationInfFileNameComponent);
typedef BOOL(WINAPI *SetupSetNonInteractiveMode_t)(BOOL NonInteractiveFlag);
typedef HWINSTA(WINAPI *GetProcessWindowStation_t)(void);
typedef BOOL(WINAPI *GetUserObjectInformationW_t)(HANDLE hObj, int nIndex, PVOID pvInfo, DWORD nLength,
                                                  LPDWORD lpnLengthNeeded);

// The tests' short-bounds copy of the command sets these; the shipped one never does.
#ifndef TEST_WAIT_MS
#define TEST_WAIT_MS 30000
#endif

// How long the run waits for installs in progress before the bus update. Windows' own install of
// a just-plugged adapter takes seconds; 30 s leaves room for a busy machine without letting an
// install that never ends hold the run much longer than the driver updates themselves take.
const DWORD INSTALLS_WAIT_MS = TEST_WAIT_MS;
// How long the run waits, after the bus driver's update, for the COM-port device and for Windows'
// install on it, in all. A started bus driver reports its COM-port device within about a second;
// 30 s leaves room for a machine busy scanning the new driver files, yet keeps an installer whose
// adapter never reports one (the wrong model, a damaged device) from hanging much longer than
// the driver updates themselves take.
const DWORD PORT_WAIT_MS = TEST_WAIT_MS;
const DWORD PORT_POLL_MS = 200;
// The forced bus update restarts the USB device, which can then be missing from a look or two
// while it starts again: only a USB device missing this long means the adapter is gone.
const DWORD USB_GONE_GRACE_MS = 3000;
// Room for a device's whole list of hardware IDs: real devices list a few, of some 50 characters.
const std::size_t HARDWARE_IDS_ROOM = 4096;

// From newdev.h, spelled out so that this file needs no newdev import library.
const DWORD INSTALLFLAG_FORCE = 0x00000001;
const DWORD INSTALLFLAG_NONINTERACTIVE = 0x00000004;

struct Update {
    const wchar_t *hardwareId;
    const wchar_t *infName;  // brings its own leading backslash
    std::size_t infNameLength;
    const char *ok;
    const char *error;
};

const Update updates[] = {
    {BUS_HARDWARE_ID, L"\\ftdibus.inf", 12, "FTDIBus driver update: OK\n",
     "FTDIBus driver update error: %d\n"},
    {PORT_HARDWARE_ID, L"\\ftdiport.inf", 13, "FTDIPort driver update: OK\n",
     "FTDIPort driver update error: %d\n"},
};

// The full INF path: the directory as given, converted to UTF-16, then the file name. A directory
// that is empty or cannot be converted contributes nothing, and the platform judges the bare name.
// Throws std::bad_alloc when the path's memory cannot be had.
std::wstring composeInfPath(const char *directory, const wchar_t *infName, std::size_t infNameLength)
{
    std::wstring path;
    int count = MultiByteToWideChar(CP_ACP, 0, directory, -1, NULL, 0);
    if (count > 1) {
        path.reserve(static_cast<std::size_t>(count) + infNameLength);
        path.resize(static_cast<std::size_t>(count));
        int converted = MultiByteToWideChar(CP_ACP, 0, directory, -1, path.data(), count);
        // The conversion's own NUL is dropped: the string keeps one of its own.
        path.resize(converted > 1 ? static_cast<std::size_t>(converted - 1) : 0);
    }
    path.append(infName, infNameLength);
    return path;
}

// What a look at the present devices found: which of the updates' hardware IDs they carry.
const int LOOK_FAILED = -1;
const int BUS_FOUND = BUS_DEVICE;
const int PORT_FOUND = PORT_DEVICE;

// Which of the two hardware IDs the present devices carry: all of them, or those of one
// enumerator.
int lookForDevices(HMODULE setupapi, const wchar_t *enumerator)
{
    SetupDiGetClassDevsW_t getClassDevs = systemFunction<SetupDiGetClassDevsW_t>(setupapi, "SetupDiGetClassDevsW");
    SetupDiEnumDeviceInfo_t enumDeviceInfo = systemFunction<SetupDiEnumDeviceInfo_t>(setupapi, "SetupDiEnumDeviceInfo");
    SetupDiGetDeviceRegistryPropertyW_t getProperty =
        systemFunction<SetupDiGetDeviceRegistryPropertyW_t>(setupapi, "SetupDiGetDeviceRegistryPropertyW");
    SetupDiDestroyDeviceInfoList_t destroyList =
        systemFunction<SetupDiDestroyDeviceInfoList_t>(setupapi, "SetupDiDestroyDeviceInfoList");
    if (getClassDevs == NULL || enumDeviceInfo == NULL || getProperty == NULL || destroyList == NULL)
        return LOOK_FAILED;
    HDEVINFO devices = getClassDevs(NULL, enumerator, NULL, DIGCF_ALLCLASSES | DIGCF_PRESENT);
    if (devices == INVALID_HANDLE_VALUE)
        return LOOK_FAILED;
    int found = 0;
    // And two NULs should the list come unterminated.
    wchar_t ids[HARDWARE_IDS_ROOM + 2];
    SP_DEVINFO_DATA device = {sizeof device, {}, 0, 0};
    for (DWORD i = 0; enumDeviceInfo(devices, i, &device); ++i) {
        ZeroMemory(ids, sizeof ids);
        if (!getProperty(devices, &device, SPDRP_HARDWAREID, NULL, reinterpret_cast<BYTE *>(ids),
                         sizeof ids - 2 * sizeof(wchar_t), NULL))
            continue;  // none, or more than any real device has: not one of the adapter's
        found |= adapterDeviceOf(ids);
    }
    DWORD error = GetLastError();
    destroyList(devices);
    return error == ERROR_NO_MORE_ITEMS ? found : LOOK_FAILED;
}

// After a successful bus update: waits until the COM-port device is there, the USB device is gone
// or PORT_WAIT_MS have passed, and then, within what is left of PORT_WAIT_MS, for installs in
// progress, which on Windows include its own install on a COM-port device just reported.
void waitForPortDevice(HMODULE setupapi, CMP_WaitNoPendingInstallEvents_t waitForInstalls)
{
    ULONGLONG start = GetTickCount64();
    // An adapter set up before, the common case, is told at the cost of a look at the few devices
    // of the COM-port device's own bus, the enumerator its hardware ID names. Only where it is not
    // found there (or that bus is not known yet) are all of the machine's devices looked at, which
    // takes longer.
    int found = lookForDevices(setupapi, PORT_ENUMERATOR);
    ULONGLONG usbSeen = start;
    while (found == LOOK_FAILED || !(found & PORT_FOUND)) {
        found = lookForDevices(setupapi, NULL);
        if (found == LOOK_FAILED)
            return;
        ULONGLONG now = GetTickCount64();
        if (found & BUS_FOUND)
            usbSeen = now;
        if ((found & PORT_FOUND) || now - start >= PORT_WAIT_MS || now - usbSeen >= USB_GONE_GRACE_MS)
            break;
        Sleep(PORT_POLL_MS);
    }
    ULONGLONG waited = GetTickCount64() - start;
    if (waitForInstalls != NULL && waited < PORT_WAIT_MS)
        waitForInstalls(static_cast<DWORD>(PORT_WAIT_MS - waited));
}

// The flags for both updates. Where the process's window station is not visible (a service, a
// fleet agent's session-0 install), no prompt an update needs can be seen or answered: there the
// updates are to fail with a code instead of showing one. At a desktop, or where this cannot be
// told, they may prompt as before.
DWORD installFlags(bool systemOnly)
{
    HMODULE user32 = loadSystemDll(L"user32.dll", systemOnly);
    GetProcessWindowStation_t getStation = systemFunction<GetProcessWindowStation_t>(user32, "GetProcessWindowStation");
    GetUserObjectInformationW_t getInformation =
        systemFunction<GetUserObjectInformationW_t>(user32, "GetUserObjectInformationW");
    USEROBJECTFLAGS station;
    if (getStation == NULL || getInformation == NULL ||
        !getInformation(getStation(), UOI_FLAGS, &station, sizeof station, NULL) || (station.dwFlags & WSF_VISIBLE))
        return INSTALLFLAG_FORCE;
    return INSTALLFLAG_FORCE | INSTALLFLAG_NONINTERACTIVE;
}

}  // namespace

int main(int argc, char **argv)
{
    bool systemOnly = searchSystemDirectoryOnly();

    if (argc != 2) {
        std::printf("Parameter missing.");
        std::fflush(stdout);
        std::getchar();
        return 0;
    }

    UpdateDriverForPlugAndPlayDevicesW_t UpdateDriverForPlugAndPlayDevicesW =
        systemFunction<UpdateDriverForPlugAndPlayDevicesW_t>(loadSystemDll(L"newdev.dll", systemOnly),
                                                             "UpdateDriverForPlugAndPlayDevicesW");
    DWORD loadError = UpdateDriverForPlugAndPlayDevicesW == NULL ? GetLastError() : ERROR_SUCCESS;
    DWORD flags = installFlags(systemOnly);
    HMODULE setupapi = loadSystemDll(L"setupapi.dll", systemOnly);
    CMP_WaitNoPendingInstallEvents_t waitForInstalls = systemFunction<CMP_WaitNoPendingInstallEvents_t>(
        loadSystemDll(L"cfgmgr32.dll", systemOnly), "CMP_WaitNoPendingInstallEvents");

    // Both paths first: the COM-port package is staged before the bus update.
    std::wstring paths[2];
    DWORD pathErrors[2] = {ERROR_SUCCESS, ERROR_SUCCESS};
    for (std::size_t i = 0; i < 2; ++i) {
        try {
            paths[i] = composeInfPath(argv[1], updates[i].infName, updates[i].infNameLength);
        } catch (const std::bad_alloc &) {
            pathErrors[i] = ERROR_NOT_ENOUGH_MEMORY;
        }
    }

    // The staging has no flag of its own against prompts: SetupAPI's mode covers it.
    SetupSetNonInteractiveMode_t setNonInteractive =
        systemFunction<SetupSetNonInteractiveMode_t>(setupapi, "SetupSetNonInteractiveMode");
    if ((flags & INSTALLFLAG_NONINTERACTIVE) && setNonInteractive != NULL)
        setNonInteractive(TRUE);
    // Its outcome changes nothing: the forced COM-port update runs and reports all the same.
    SetupCopyOEMInfW_t stage = systemFunction<SetupCopyOEMInfW_t>(setupapi, "SetupCopyOEMInfW");
    if (pathErrors[1] == ERROR_SUCCESS && stage != NULL)
        stage(paths[1].c_str(), NULL, SPOST_PATH, 0, NULL, 0, NULL, NULL);

    if (waitForInstalls != NULL)
        waitForInstalls(INSTALLS_WAIT_MS);
    // The platform documents only when it writes TRUE here.
    BOOL restart = FALSE;
    for (std::size_t i = 0; i < 2; ++i) {
        const Update &update = updates[i];
        BOOL ok = FALSE;
        DWORD error = pathErrors[i] != ERROR_SUCCESS ? pathErrors[i] : loadError;
        if (pathErrors[i] == ERROR_SUCCESS && UpdateDriverForPlugAndPlayDevicesW != NULL) {
            ok = UpdateDriverForPlugAndPlayDevicesW(NULL, update.hardwareId, paths[i].c_str(), flags, &restart);
            if (!ok)
                error = GetLastError();
        }
        if (ok)
            std::printf("%s", update.ok);
        else
            std::printf(update.error, static_cast<int>(error));
        std::fflush(stdout);
        if (i == 0 && ok && !restart)
            waitForPortDevice(setupapi, waitForInstalls);
    }
    return 0;
}
