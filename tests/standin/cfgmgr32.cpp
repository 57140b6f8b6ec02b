// A scriptable stand-in for the platform's cfgmgr32.dll, for black-box tests of both programs
// under Wine, whose own cfgmgr32 answers these two calls as stubs: installs in progress are never
// pending, and every device's status is 0 with no problem.
//
// It answers CMP_WaitNoPendingInstallEvents and CM_Get_DevNode_Status as the test scripts them and
// forwards every other export to Wine's own cfgmgr32, kept in the prefix's system32 as
// winecfgmgr32.dll (the .def file that does so is generated from Wine's DLL: forwarders.py).
// Where nothing is scripted, these two go to Wine's own as well. Through environment variables:
//   CFGMGR32_STANDIN_LOG      file that gets one line per call, with GetTickCount64's milliseconds
//                             at its start and at its return
//   CFGMGR32_STANDIN_PENDING  device installs are in progress for this many milliseconds from the
//                             moment this DLL is attached, or "forever"
//   CFGMGR32_STANDIN_PENDING_UNTIL
//                             the same as a GetTickCount64 value, or "forever"; read at each call, so
//                             that another DLL of the process (the newdev stand-in) can leave
//                             installs pending where a driver update does so on Windows
//   CFGMGR32_STANDIN_STATUS   ';'-separated "<text>=<status>:<problem>" (numbers decimal or 0x-hex)
//                             or "<text>=fail:<CONFIGRET>": the first whose text the device's
//                             instance ID contains, ignoring case, answers for that device
// The wait really blocks, for the timeout it is given or until the installs end, whichever is
// first, so that a test measures the bound the caller passes.

// This DLL stands for cfgmgr32 itself: its declarations are its own exports, not imports.
#define _CFGMGR32_
#include <windows.h>
#include <cfgmgr32.h>

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "log.h"

namespace {

typedef DWORD(WINAPI *CMP_WaitNoPendingInstallEvents_t)(DWORD);
typedef CONFIGRET(WINAPI *CM_Get_DevNode_Status_t)(PULONG, PULONG, DEVINST, ULONG);
typedef CONFIGRET(WINAPI *CM_Get_Device_IDW_t)(DEVINST, PWSTR, ULONG, ULONG);

const ULONGLONG FOREVER = ~0ULL;

char logPath[MAX_PATH * 4];
char statusScript[8192];
ULONGLONG pendingUntil;  // 0: nothing pending
HMODULE wine;

void logLine(const char *format, ...)
{
    char line[4096];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    appendLogLine(logPath, line);
}

template <typename Function> Function wines(const char *name)
{
    return wine == NULL ? NULL : reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(wine, name)));
}

// "forever", or milliseconds added to base.
ULONGLONG parseUntil(const char *text, ULONGLONG base)
{
    if (!text[0])
        return 0;
    if (strcmp(text, "forever") == 0)
        return FOREVER;
    return base + strtoull(text, NULL, 0);
}

// When the installs in progress end, as scripted now.
ULONGLONG installsEnd()
{
    char until[64] = "";
    GetEnvironmentVariableA("CFGMGR32_STANDIN_PENDING_UNTIL", until, sizeof until);
    ULONGLONG later = parseUntil(until, 0);
    return later > pendingUntil ? later : pendingUntil;
}

// The scripted answer for the device, if there is one: "<status>:<problem>" or "fail:<code>".
bool scriptedFor(const char *instance, char *answer, size_t size)
{
    char script[sizeof statusScript];
    memcpy(script, statusScript, sizeof script);
    char *context = NULL;
    for (char *entry = strtok_s(script, ";", &context); entry != NULL; entry = strtok_s(NULL, ";", &context)) {
        char *equals = strrchr(entry, '=');
        if (equals == NULL)
            continue;
        *equals = 0;
        char upperInstance[1024], upperText[1024];
        snprintf(upperInstance, sizeof upperInstance, "%s", instance);
        snprintf(upperText, sizeof upperText, "%s", entry);
        // Instance IDs are ASCII: their case is told without the user's locale (or user32).
        for (char *c = upperInstance; *c; ++c)
            *c = static_cast<char>(toupper(static_cast<unsigned char>(*c)));
        for (char *c = upperText; *c; ++c)
            *c = static_cast<char>(toupper(static_cast<unsigned char>(*c)));
        if (strstr(upperInstance, upperText) != NULL) {
            snprintf(answer, size, "%s", equals + 1);
            return true;
        }
    }
    return false;
}

}  // namespace

extern "C" __declspec(dllexport) DWORD WINAPI CMP_WaitNoPendingInstallEvents(DWORD dwTimeout)
{
    ULONGLONG start = GetTickCount64();
    ULONGLONG end = installsEnd();
    DWORD result;
    if (end == 0 || end <= start) {
        CMP_WaitNoPendingInstallEvents_t own = wines<CMP_WaitNoPendingInstallEvents_t>("CMP_WaitNoPendingInstallEvents");
        result = own != NULL ? own(dwTimeout) : WAIT_FAILED;
    } else if (end != FOREVER && (dwTimeout == INFINITE || end - start <= dwTimeout)) {
        Sleep(static_cast<DWORD>(end - start));
        result = WAIT_OBJECT_0;
    } else {
        Sleep(dwTimeout);
        result = WAIT_TIMEOUT;
    }
    logLine("wait ms=%llu timeout=%lu result=%lu returned=%llu\n", start, dwTimeout, result, GetTickCount64());
    return result;
}

extern "C" __declspec(dllexport) CONFIGRET WINAPI CM_Get_DevNode_Status(PULONG pulStatus, PULONG pulProblemNumber,
                                                                      DEVINST dnDevInst, ULONG ulFlags)
{
    CM_Get_Device_IDW_t getId = wines<CM_Get_Device_IDW_t>("CM_Get_Device_IDW");
    wchar_t wideInstance[MAX_DEVICE_ID_LEN + 1] = L"";
    if (getId != NULL)
        getId(dnDevInst, wideInstance, MAX_DEVICE_ID_LEN, 0);
    char instance[MAX_DEVICE_ID_LEN * 4 + 1];
    WideCharToMultiByte(CP_UTF8, 0, wideInstance, -1, instance, sizeof instance, NULL, NULL);

    char answer[256];
    CONFIGRET result;
    if (!scriptedFor(instance, answer, sizeof answer)) {
        CM_Get_DevNode_Status_t own = wines<CM_Get_DevNode_Status_t>("CM_Get_DevNode_Status");
        result = own != NULL ? own(pulStatus, pulProblemNumber, dnDevInst, ulFlags) : CR_FAILURE;
    } else if (strncmp(answer, "fail:", 5) == 0) {
        result = static_cast<CONFIGRET>(strtoul(answer + 5, NULL, 0));
    } else if (pulStatus == NULL || pulProblemNumber == NULL) {
        result = CR_INVALID_POINTER;
    } else {
        char *rest = NULL;
        *pulStatus = strtoul(answer, &rest, 0);
        *pulProblemNumber = rest != NULL && *rest == ':' ? strtoul(rest + 1, NULL, 0) : 0;
        result = CR_SUCCESS;
    }
    logLine("status instance=%s result=%lu status=0x%lx problem=%lu\n", instance, result,
            result == CR_SUCCESS && pulStatus ? *pulStatus : 0, result == CR_SUCCESS && pulProblemNumber ? *pulProblemNumber : 0);
    return result;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    GetEnvironmentVariableA("CFGMGR32_STANDIN_LOG", logPath, sizeof logPath);
    GetEnvironmentVariableA("CFGMGR32_STANDIN_STATUS", statusScript, sizeof statusScript);
    char pending[64] = "";
    GetEnvironmentVariableA("CFGMGR32_STANDIN_PENDING", pending, sizeof pending);
    pendingUntil = parseUntil(pending, GetTickCount64());
    wchar_t path[MAX_PATH];
    UINT length = GetSystemDirectoryW(path, MAX_PATH - 20);
    lstrcpyW(path + length, L"\\winecfgmgr32.dll");
    wine = LoadLibraryW(path);
    logLine("attach ms=%llu wine=%s\n", GetTickCount64(), wine != NULL ? "loaded" : "missing");
    return TRUE;
}
