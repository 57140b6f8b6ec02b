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
// - On a first install the COM-port device does not exist yet when the bus driver's update
//   returns: the bus driver reports it once it has started, on its own time. A call for a
//   hardware ID that no device carries fails with ERROR_NO_SUCH_DEVINST and installs nothing,
//   so after a successful bus update, with the USB device there and no COM-port device yet, the
//   run waits for the COM-port device (polling, at most PORT_WAIT_MS), and then for Windows' own
//   install attempt on it to end, before the second update. The wait prints nothing, and when
//   anything it asks the platform fails it is skipped: the second update runs as it would have.
//   setupapi.dll, which newdev.dll has already loaded, is reached only then, by its full path.
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

// How long the run waits, after the bus driver's update, for the COM-port device and for Windows'
// install attempt on it. A started bus driver reports its COM-port device within about a second;
// 30 s leaves room for a machine busy scanning the new driver files, yet keeps an installer whose
// adapter never reports one (the wrong model, a damaged device) from hanging much longer than
// the driver updates themselves take.
const DWORD PORT_WAIT_MS = 30000;
const DWORD PORT_POLL_MS = 200;
// Room for a device's whole list of hardware IDs: real devices list a few, of some 50 characters.
const std::size_t HARDWARE_IDS_ROOM = 4096;

// INSTALLFLAG_FORCE from newdev.h, spelled out so that this file needs no newdev import library.
const DWORD INSTALLFLAG_FORCE = 0x00000001;

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

// After a successful bus update: where the USB device is there and its COM-port device is not
// yet, waits until the COM-port device appears and Windows' own install attempt on it has ended,
// PORT_WAIT_MS at most in all.
void waitForPortDevice(bool systemOnly)
{
    HMODULE setupapi = loadSystemDll(L"setupapi.dll", systemOnly);
    if (setupapi == NULL)
        return;
    // An adapter set up before, the common case, is told at the cost of a look at the few devices
    // of the COM-port device's own bus, the enumerator its hardware ID names. Only where it is not
    // found there (or that bus is not known yet) are all of the machine's devices looked at, which
    // takes longer.
    int found = lookForDevices(setupapi, PORT_ENUMERATOR);
    if (found != LOOK_FAILED && (found & PORT_FOUND))
        return;
    found = lookForDevices(setupapi, NULL);
    if (found != BUS_FOUND)
        return;
    ULONGLONG start = GetTickCount64();
    for (;;) {
        Sleep(PORT_POLL_MS);
        found = lookForDevices(setupapi, NULL);
        ULONGLONG waited = GetTickCount64() - start;
        if (found != BUS_FOUND || waited >= PORT_WAIT_MS) {
            CMP_WaitNoPendingInstallEvents_t waitInstalls =
                systemFunction<CMP_WaitNoPendingInstallEvents_t>(setupapi, "CMP_WaitNoPendingInstallEvents");
            if (found != LOOK_FAILED && (found & PORT_FOUND) && waitInstalls != NULL && waited < PORT_WAIT_MS)
                waitInstalls(static_cast<DWORD>(PORT_WAIT_MS - waited));
            return;
        }
    }
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

    BOOL restart;
    std::wstring paths[2];
    for (std::size_t i = 0; i < 2; ++i) {
        const Update &update = updates[i];
        BOOL ok = FALSE;
        DWORD error = loadError;
        try {
            paths[i] = composeInfPath(argv[1], update.infName, update.infNameLength);
            if (UpdateDriverForPlugAndPlayDevicesW != NULL) {
                ok = UpdateDriverForPlugAndPlayDevicesW(NULL, update.hardwareId, paths[i].c_str(),
                                                        INSTALLFLAG_FORCE, &restart);
                if (!ok)
                    error = GetLastError();
            }
        } catch (const std::bad_alloc &) {
            error = ERROR_NOT_ENOUGH_MEMORY;
        }
        if (ok)
            std::printf("%s", update.ok);
        else
            std::printf(update.error, static_cast<int>(error));
        std::fflush(stdout);
        if (i == 0 && ok)
            waitForPortDevice(systemOnly);
    }
    return 0;
}
