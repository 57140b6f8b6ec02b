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
// - Every write is flushed at once: a script reading through a pipe must see each line while the
//   next driver update, which can take minutes, is still running.
// - The directory is converted from the process's ANSI code page (CP_ACP), the one the runtime
//   used to hand it to main. The thread's code page follows the user's locale instead and can
//   differ from it, which would misread every non-ASCII character. Where Windows honours the
//   manifest's activeCodePage (10 version 1903 and later), CP_ACP is UTF-8 and any name arrives.
//   The directory is never interpreted: no separator is added or removed and nothing is checked
//   for existence. The platform's error code is the report for every problem with it.

#include <windows.h>

#include <cstddef>
#include <cstdio>
#include <new>
#include <string>

namespace {

typedef BOOL(WINAPI *UpdateDriverForPlugAndPlayDevicesW_t)(HWND hwndParent, LPCWSTR HardwareId,
                                                           LPCWSTR FullInfPath, DWORD InstallFlags,
                                                           PBOOL bRebootRequired);

typedef BOOL(WINAPI *SetDefaultDllDirectories_t)(DWORD DirectoryFlags);

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
    {L"USB\\VID_0403&PID_6001", L"\\ftdibus.inf", 12, "FTDIBus driver update: OK\n",
     "FTDIBus driver update error: %d\n"},
    {L"FTDIBUS\\COMPORT&VID_0403&PID_6001", L"\\ftdiport.inf", 13, "FTDIPort driver update: OK\n",
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

// Limits every later DLL search of the process to the system directory where the platform can;
// returns whether it could.
bool searchSystemDirectoryOnly()
{
    // kernel32 is mapped into every process: looking it up loads nothing.
    HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    SetDefaultDllDirectories_t SetDefaultDllDirectories = reinterpret_cast<SetDefaultDllDirectories_t>(
        reinterpret_cast<void (*)()>(GetProcAddress(kernel32, "SetDefaultDllDirectories")));
    bool systemOnly =
        SetDefaultDllDirectories != NULL && SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    // Where the above is missing, the best left: the current directory out of the search.
    SetDllDirectoryW(L"");
    return systemOnly;
}

// Resolves UpdateDriverForPlugAndPlayDevicesW from the system directory's newdev.dll only. On
// failure returns NULL with the thread's last-error code telling why.
UpdateDriverForPlugAndPlayDevicesW_t loadUpdateDriver(bool systemOnly)
{
    const wchar_t newdevName[] = L"\\newdev.dll";
    wchar_t path[MAX_PATH + sizeof newdevName / sizeof newdevName[0]];
    UINT length = GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0)
        return NULL;
    if (length >= MAX_PATH) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return NULL;
    }
    lstrcpyW(path + length, newdevName);
    // Both make the DLL's own imports resolve from the system directory. The platform forbids
    // combining them, and the first exists only where SetDefaultDllDirectories does.
    DWORD flags = systemOnly ? LOAD_LIBRARY_SEARCH_SYSTEM32 : LOAD_WITH_ALTERED_SEARCH_PATH;
    HMODULE newdev = LoadLibraryExW(path, NULL, flags);
    if (newdev == NULL)
        return NULL;
    return reinterpret_cast<UpdateDriverForPlugAndPlayDevicesW_t>(
        reinterpret_cast<void (*)()>(GetProcAddress(newdev, "UpdateDriverForPlugAndPlayDevicesW")));
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
        loadUpdateDriver(systemOnly);
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
    }
    return 0;
}
