// A scriptable stand-in for the platform's newdev.dll, for black-box tests of the command under Wine.
//
// It records what reaches the platform and answers as the test scripts it, through environment
// variables (the command itself reads none, so they reach only this DLL):
//   NEWDEV_STANDIN_LOG      file that gets one line when the DLL is attached and one per call
//   NEWDEV_STANDIN_SCRIPT   comma-separated answers, one per call: "ok", "fail:<code>" (decimal or
//                           0x-hex; sets the last-error code and returns FALSE) or "hold" (waits for
//                           NEWDEV_STANDIN_RELEASE to exist, at most 60 s, then succeeds) or
//                           "windows" (answers as Windows does, see below); missing answers are "ok".
//                           Each may be followed by "+restart" (the call writes TRUE to the restart
//                           indicator, as Windows does when the update needs a restart; otherwise the
//                           indicator is left alone) and "+pending:<ms>" or "+pending:forever" (device
//                           installs stay in progress this long after the call: it sets the cfgmgr32
//                           stand-in's CFGMGR32_STANDIN_PENDING_UNTIL)
//   NEWDEV_STANDIN_NOMEM    <n>: the command's n-th allocation after this DLL is attached fails, and
//                           that one only
//   NEWDEV_STANDIN_LOAD     comma-separated DLL names that the first call loads by bare name, as the
//                           real one loads its helpers while it works; each gets a log line with the
//                           full path of the module it got, or "null"
// It imports what Windows' newdev.dll imports (gdi32, comctl32, setupapi, advapi32, user32, shell32,
// after ReactOS's newdev, which is built to Windows' own), so that the command finds those loaded
// after newdev.dll, as on Windows, and a benchmark charges the command only for what it adds.
// Each call's line tells the restart indicator's value as the call found it ("indicator", -1 for
// none) and whether SetupAPI is in non-interactive mode ("noninteractive").
// "windows" makes Wine's device installation as strict as Windows': a call for a hardware ID that no
// device carries fails with ERROR_NO_SUCH_DEVINST and installs nothing, where Wine's own newdev
// says OK. Any other call goes to Wine's own newdev, which the test prefix keeps in its system
// directory as wine-newdev.dll.
// Each call's line and the line logged when it returns carry GetTickCount64's milliseconds, so a
// test sees how long the command took between two calls.
// Strings are logged as hex UTF-16 units, so the test sees exactly the units that arrived.
// Allocation failures are made by rewriting the command's own import of msvcrt's malloc, which its
// statically linked C++ runtime uses for operator new.

#include <windows.h>
#include <commctrl.h>
#include <setupapi.h>
#include <shellapi.h>

#include "log.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

char logPath[MAX_PATH * 4];
char script[4096];
char releasePath[MAX_PATH * 4];
char loads[4096];
int nomemWhen;
LONG calls;

// One function of each DLL Windows' newdev.dll imports, so that the linker keeps each import.
__attribute__((used)) const void *const newdevImports[] = {
    reinterpret_cast<const void *>(&GetStockObject),          // gdi32
    reinterpret_cast<const void *>(&InitCommonControls),      // comctl32
    reinterpret_cast<const void *>(&RegCloseKey),             // advapi32
    reinterpret_cast<const void *>(&MessageBoxW),             // user32
    reinterpret_cast<const void *>(&ShellExecuteW),           // shell32
};

typedef void *(__cdecl *malloc_t)(size_t);
malloc_t realMalloc;
volatile LONG nomemCountdown;

void *__cdecl failingMalloc(size_t size)
{
    if (nomemCountdown > 0 && InterlockedDecrement(&nomemCountdown) == 0)
        return NULL;
    return realMalloc(size);
}

void appendLog(const char *line)
{
    appendLogLine(logPath, line);
}

void appendHex(char *out, size_t size, const wchar_t *text)
{
    size_t used = strlen(out);
    if (text == NULL) {
        snprintf(out + used, size - used, "null");
        return;
    }
    for (; *text && used + 5 < size; ++text, used += 4)
        snprintf(out + used, size - used, "%04x", static_cast<unsigned>(*text));
}

// Points the main module's import of msvcrt.dll!malloc at failingMalloc.
bool hookMalloc()
{
    BYTE *base = reinterpret_cast<BYTE *>(GetModuleHandleW(NULL));
    IMAGE_NT_HEADERS *nt =
        reinterpret_cast<IMAGE_NT_HEADERS *>(base + reinterpret_cast<IMAGE_DOS_HEADER *>(base)->e_lfanew);
    IMAGE_DATA_DIRECTORY &imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (IMAGE_IMPORT_DESCRIPTOR *dll =
             reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR *>(base + imports.VirtualAddress);
         dll->Name; ++dll) {
        if (lstrcmpiA(reinterpret_cast<char *>(base + dll->Name), "msvcrt.dll") != 0)
            continue;
        IMAGE_THUNK_DATA *name = reinterpret_cast<IMAGE_THUNK_DATA *>(base + dll->OriginalFirstThunk);
        IMAGE_THUNK_DATA *slot = reinterpret_cast<IMAGE_THUNK_DATA *>(base + dll->FirstThunk);
        for (; name->u1.AddressOfData; ++name, ++slot) {
            if (IMAGE_SNAP_BY_ORDINAL(name->u1.Ordinal))
                continue;
            IMAGE_IMPORT_BY_NAME *byName =
                reinterpret_cast<IMAGE_IMPORT_BY_NAME *>(base + name->u1.AddressOfData);
            if (strcmp(reinterpret_cast<char *>(byName->Name), "malloc") != 0)
                continue;
            DWORD protection;
            VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, PAGE_READWRITE, &protection);
            realMalloc = reinterpret_cast<malloc_t>(slot->u1.Function);
            slot->u1.Function = reinterpret_cast<ULONG_PTR>(&failingMalloc);
            VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, protection, &protection);
            return true;
        }
    }
    return false;
}

void armNomem()
{
    if (realMalloc == NULL && !hookMalloc()) {
        appendLog("nomem-hook-failed\n");
        return;
    }
    InterlockedExchange(&nomemCountdown, nomemWhen);
}

// Loads each DLL named in NEWDEV_STANDIN_LOAD by its bare name, wherever the process's search finds it.
void loadHelpers()
{
    for (char *name = strtok(loads, ","); name != NULL; name = strtok(NULL, ",")) {
        wchar_t wide[MAX_PATH];
        MultiByteToWideChar(CP_ACP, 0, name, -1, wide, MAX_PATH);
        HMODULE module = LoadLibraryW(wide);
        wchar_t path[MAX_PATH] = L"";
        if (module != NULL)
            GetModuleFileNameW(module, path, MAX_PATH);
        char line[MAX_PATH * 8 + 32] = "load name=";
        appendHex(line, sizeof line - 16, wide);
        snprintf(line + strlen(line), sizeof line - strlen(line), " module=");
        appendHex(line, sizeof line - 2, module != NULL ? path : NULL);
        snprintf(line + strlen(line), sizeof line - strlen(line), "\n");
        appendLog(line);
    }
}

// The answer scripted for call number n (from 1), or "ok".
void answerFor(LONG n, char *answer, size_t size)
{
    const char *item = script;
    for (LONG i = 1; i < n && item; ++i) {
        item = strchr(item, ',');
        if (item)
            ++item;
    }
    answer[0] = 0;
    if (item) {
        size_t length = strcspn(item, ",");
        if (length >= size)
            length = size - 1;
        memcpy(answer, item, length);
        answer[length] = 0;
    }
    if (!answer[0])
        snprintf(answer, size, "ok");
}

// Whether a device of any class carries the hardware ID among its hardware IDs. Wine registers
// a device only while it is plugged in (a removed one leaves nothing), so registered is present.
bool devicePresent(LPCWSTR hardwareId)
{
    HDEVINFO set = SetupDiGetClassDevsW(NULL, NULL, NULL, DIGCF_ALLCLASSES | DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE)
        return false;
    bool found = false;
    SP_DEVINFO_DATA device = {sizeof device, {}, 0, 0};
    for (DWORD i = 0; !found && SetupDiEnumDeviceInfo(set, i, &device); ++i) {
        wchar_t ids[4096] = L"";
        if (!SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID, NULL,
                                               reinterpret_cast<BYTE *>(ids), sizeof ids - 2 * sizeof(wchar_t), NULL))
            continue;
        for (const wchar_t *id = ids; *id && !found; id += lstrlenW(id) + 1)
            found = lstrcmpiW(id, hardwareId) == 0;
    }
    SetupDiDestroyDeviceInfoList(set);
    return found;
}

typedef BOOL(WINAPI *UpdateDriver_t)(HWND, LPCWSTR, LPCWSTR, DWORD, PBOOL);

// As Windows answers: no device, no install; otherwise what Wine's own newdev does.
BOOL answerAsWindows(HWND parent, LPCWSTR hardwareId, LPCWSTR infPath, DWORD flags, PBOOL restart)
{
    if (!devicePresent(hardwareId)) {
        SetLastError(ERROR_NO_SUCH_DEVINST);
        return FALSE;
    }
    wchar_t path[MAX_PATH];
    UINT length = GetSystemDirectoryW(path, MAX_PATH - 20);
    lstrcpyW(path + length, L"\\wine-newdev.dll");
    HMODULE wine = LoadLibraryW(path);
    UpdateDriver_t update = wine == NULL ? NULL : reinterpret_cast<UpdateDriver_t>(reinterpret_cast<void (*)()>(
        GetProcAddress(wine, "UpdateDriverForPlugAndPlayDevicesW")));
    if (update == NULL) {
        appendLog("wine-newdev-missing\n");
        SetLastError(ERROR_MOD_NOT_FOUND);
        return FALSE;
    }
    return update(parent, hardwareId, infPath, flags, restart);
}

BOOL answerCall(LONG n, HWND hwndParent, LPCWSTR HardwareId, LPCWSTR FullInfPath, DWORD InstallFlags,
                PBOOL bRebootRequired);

}  // namespace

extern "C" __declspec(dllexport) BOOL WINAPI UpdateDriverForPlugAndPlayDevicesW(
    HWND hwndParent, LPCWSTR HardwareId, LPCWSTR FullInfPath, DWORD InstallFlags,
    PBOOL bRebootRequired)
{
    LONG n = InterlockedIncrement(&calls);
    static char line[200000];
    snprintf(line, sizeof line, "call %ld ms=%llu parent=%p flags=%lx restart=%p indicator=%d noninteractive=%d hwid=",
             n, GetTickCount64(), static_cast<void *>(hwndParent), InstallFlags, static_cast<void *>(bRebootRequired),
             bRebootRequired ? static_cast<int>(*bRebootRequired) : -1, SetupGetNonInteractiveMode() ? 1 : 0);
    appendHex(line, sizeof line, HardwareId);
    strcat(line, " inf=");
    appendHex(line, sizeof line, FullInfPath);
    strcat(line, "\n");
    appendLog(line);
    BOOL result = answerCall(n, hwndParent, HardwareId, FullInfPath, InstallFlags, bRebootRequired);
    DWORD error = GetLastError();
    char returned[64];
    snprintf(returned, sizeof returned, "return %ld ms=%llu\n", n, GetTickCount64());
    appendLog(returned);
    SetLastError(error);
    return result;
}

namespace {

BOOL answerCall(LONG n, HWND hwndParent, LPCWSTR HardwareId, LPCWSTR FullInfPath, DWORD InstallFlags,
                PBOOL bRebootRequired)
{
    char answer[64];
    answerFor(n, answer, sizeof answer);
    // The modifiers, taken off the answer.
    bool restart = false;
    char pending[32] = "";
    if (char *plus = strstr(answer, "+restart")) {
        restart = true;
        memmove(plus, plus + 8, strlen(plus + 8) + 1);
    }
    if (char *plus = strstr(answer, "+pending:")) {
        snprintf(pending, sizeof pending, "%s", plus + 9);
        *plus = 0;
    }
    if (n == 1)
        loadHelpers();

    BOOL result = TRUE;
    DWORD error = ERROR_SUCCESS;
    if (strcmp(answer, "hold") == 0) {
        for (int waited = 0; waited < 60000; waited += 20) {
            if (GetFileAttributesA(releasePath) != INVALID_FILE_ATTRIBUTES)
                break;
            Sleep(20);
        }
    } else if (strcmp(answer, "windows") == 0) {
        result = answerAsWindows(hwndParent, HardwareId, FullInfPath, InstallFlags, bRebootRequired);
        error = GetLastError();
    } else if (strncmp(answer, "fail:", 5) == 0) {
        result = FALSE;
        error = static_cast<DWORD>(strtoul(answer + 5, NULL, 0));
    }
    if (restart && bRebootRequired)
        *bRebootRequired = TRUE;
    // Installs left in progress from the moment the call returns.
    if (pending[0]) {
        char until[32];
        if (strcmp(pending, "forever") == 0)
            snprintf(until, sizeof until, "forever");
        else
            snprintf(until, sizeof until, "%llu", GetTickCount64() + strtoull(pending, NULL, 0));
        SetEnvironmentVariableA("CFGMGR32_STANDIN_PENDING_UNTIL", until);
    }
    SetLastError(error);
    return result;
}

}  // namespace

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    GetEnvironmentVariableA("NEWDEV_STANDIN_LOG", logPath, sizeof logPath);
    GetEnvironmentVariableA("NEWDEV_STANDIN_SCRIPT", script, sizeof script);
    GetEnvironmentVariableA("NEWDEV_STANDIN_RELEASE", releasePath, sizeof releasePath);
    GetEnvironmentVariableA("NEWDEV_STANDIN_LOAD", loads, sizeof loads);
    char when[8] = "";
    GetEnvironmentVariableA("NEWDEV_STANDIN_NOMEM", when, sizeof when);
    nomemWhen = atoi(when);

    wchar_t module[MAX_PATH];
    DWORD length = GetModuleFileNameW(instance, module, MAX_PATH);
    module[length < MAX_PATH ? length : MAX_PATH - 1] = 0;
    char line[MAX_PATH * 4 + 32] = "attach module=";
    appendHex(line, sizeof line, module);
    strcat(line, "\n");
    appendLog(line);

    if (nomemWhen > 0)
        armNomem();
    return TRUE;
}
