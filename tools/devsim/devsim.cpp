// devsim: simulated Plug and Play devices for the demo and the tests, in a Wine prefix (or on
// Windows). It creates root-enumerated devices that carry given hardware IDs, so the platform's
// driver update finds them as it would find a plugged-in adapter; it removes them again and lists
// devices with what their drivers are.
//
//   devsim create HARDWARE-ID       a new device ROOT\<class>\NNNN with that hardware ID
//   devsim remove HARDWARE-ID       removes every device whose hardware IDs include it
//   devsim list [HARDWARE-ID ...]   one line per device (all, or those with these IDs):
//                                   instance<TAB>hardware ID<TAB>description<TAB>driver version<TAB>INF<TAB>
//                                   driver key
//
// It is a tool for trying the command, never part of it. Exit status 0 on success, 1 on a failure
// (with the platform's error code on standard error), 2 on a wrong command line.

#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

// Devices without a driver yet belong to no class; the driver's INF assigns one on install.
const GUID GUID_DEVCLASS_UNKNOWN_ = {0x4d36e97e, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

int fail(const char *what)
{
    DWORD error = GetLastError();
    std::fprintf(stderr, "devsim: %s failed: %d (0x%08lX)\n", what, static_cast<int>(error), error);
    return 1;
}

std::wstring widen(const char *text)
{
    int count = MultiByteToWideChar(CP_ACP, 0, text, -1, NULL, 0);
    std::wstring wide(count > 0 ? static_cast<std::size_t>(count) : 1, L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, -1, &wide[0], count);
    wide.resize(wide.size() - 1);
    return wide;
}

std::string narrow(const std::wstring &text)
{
    int count = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, NULL, 0, NULL, NULL);
    std::string out(count > 0 ? static_cast<std::size_t>(count) : 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &out[0], count, NULL, NULL);
    out.resize(out.size() - 1);
    return out;
}

// A device's registry property as strings: a REG_MULTI_SZ gives each of its strings.
std::vector<std::wstring> property(HDEVINFO set, SP_DEVINFO_DATA &device, DWORD which)
{
    std::vector<wchar_t> buffer(512);
    DWORD size = 0;
    while (!SetupDiGetDeviceRegistryPropertyW(set, &device, which, NULL,
                                              reinterpret_cast<BYTE *>(buffer.data()),
                                              static_cast<DWORD>(buffer.size() * sizeof(wchar_t)), &size)) {
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
            return {};
        buffer.resize(size / sizeof(wchar_t) + 2);
    }
    buffer.resize(size / sizeof(wchar_t) + 2, L'\0');
    std::vector<std::wstring> strings;
    for (const wchar_t *p = buffer.data(); *p; p += wcslen(p) + 1)
        strings.emplace_back(p);
    return strings;
}

bool hasId(HDEVINFO set, SP_DEVINFO_DATA &device, const std::vector<std::wstring> &ids)
{
    if (ids.empty())
        return true;
    for (const std::wstring &have : property(set, device, SPDRP_HARDWAREID))
        for (const std::wstring &want : ids)
            if (lstrcmpiW(have.c_str(), want.c_str()) == 0)
                return true;
    return false;
}

std::wstring regString(HKEY key, const wchar_t *name)
{
    wchar_t value[512] = L"";
    DWORD size = sizeof value - sizeof(wchar_t);
    DWORD type;
    if (RegQueryValueExW(key, name, NULL, &type, reinterpret_cast<BYTE *>(value), &size) != ERROR_SUCCESS ||
        type != REG_SZ)
        return L"";
    value[size / sizeof(wchar_t)] = 0;
    return value;
}

// The DriverVer version of an INF in the system's INF folder.
std::wstring infVersion(const std::wstring &infName)
{
    wchar_t windows[MAX_PATH];
    UINT length = GetWindowsDirectoryW(windows, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return L"";
    std::wstring path = std::wstring(windows) + L"\\inf\\" + infName;
    HINF inf = SetupOpenInfFileW(path.c_str(), NULL, INF_STYLE_WIN4, NULL);
    if (inf == INVALID_HANDLE_VALUE)
        return L"";
    INFCONTEXT line;
    wchar_t version[128] = L"";
    if (!SetupFindFirstLineW(inf, L"Version", L"DriverVer", &line) ||
        !SetupGetStringFieldW(&line, 2, version, 128, NULL))
        version[0] = 0;
    SetupCloseInfFile(inf);
    return version;
}

// The installed driver's version and INF, from the device's driver key. Where the platform keeps
// no DriverVersion there (Wine does not), the version is read from the installed INF itself.
void driverInfo(HDEVINFO set, SP_DEVINFO_DATA &device, std::wstring &version, std::wstring &inf)
{
    version.clear();
    inf.clear();
    HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE)
        return;
    version = regString(key, L"DriverVersion");
    inf = regString(key, L"InfPath");
    RegCloseKey(key);
    if (version.empty() && !inf.empty())
        version = infVersion(inf);
}

int createDevice(const char *id)
{
    std::wstring hardwareId = widen(id);
    HDEVINFO set = SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_UNKNOWN_, NULL);
    if (set == INVALID_HANDLE_VALUE)
        return fail("SetupDiCreateDeviceInfoList");
    SP_DEVINFO_DATA device = {sizeof device, {}, 0, 0};
    int status = 0;
    // A multi-string: the ID, its NUL, and the list's closing NUL.
    std::wstring ids = hardwareId + L'\0';
    if (!SetupDiCreateDeviceInfoW(set, L"UNKNOWN", &GUID_DEVCLASS_UNKNOWN_, NULL, NULL, DICD_GENERATE_ID, &device))
        status = fail("SetupDiCreateDeviceInfoW");
    else if (!SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID,
                                                reinterpret_cast<const BYTE *>(ids.c_str()),
                                                static_cast<DWORD>((ids.size() + 1) * sizeof(wchar_t))))
        status = fail("SetupDiSetDeviceRegistryPropertyW");
    else if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device))
        status = fail("DIF_REGISTERDEVICE");
    else {
        wchar_t instance[MAX_DEVICE_ID_LEN];
        if (!SetupDiGetDeviceInstanceIdW(set, &device, instance, MAX_DEVICE_ID_LEN, NULL))
            status = fail("SetupDiGetDeviceInstanceIdW");
        else
            std::printf("%s\n", narrow(instance).c_str());
    }
    SetupDiDestroyDeviceInfoList(set);
    return status;
}

// Runs `each` on every device (of every class, present or not) that has one of the IDs.
template <typename Each> int forDevices(const std::vector<std::wstring> &ids, Each each)
{
    HDEVINFO set = SetupDiGetClassDevsW(NULL, NULL, NULL, DIGCF_ALLCLASSES);
    if (set == INVALID_HANDLE_VALUE)
        return fail("SetupDiGetClassDevsW");
    int status = 0;
    SP_DEVINFO_DATA device = {sizeof device, {}, 0, 0};
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i)
        if (hasId(set, device, ids) && !each(set, device))
            status = 1;
    SetupDiDestroyDeviceInfoList(set);
    return status;
}

int removeDevices(const char *id)
{
    return forDevices({widen(id)}, [](HDEVINFO set, SP_DEVINFO_DATA &device) {
        if (SetupDiCallClassInstaller(DIF_REMOVE, set, &device))
            return true;
        fail("DIF_REMOVE");
        return false;
    });
}

int listDevices(int count, char **ids)
{
    std::vector<std::wstring> wanted;
    for (int i = 0; i < count; ++i)
        wanted.push_back(widen(ids[i]));
    return forDevices(wanted, [](HDEVINFO set, SP_DEVINFO_DATA &device) {
        wchar_t instance[MAX_DEVICE_ID_LEN] = L"";
        SetupDiGetDeviceInstanceIdW(set, &device, instance, MAX_DEVICE_ID_LEN, NULL);
        std::vector<std::wstring> hardwareIds = property(set, device, SPDRP_HARDWAREID);
        std::vector<std::wstring> description = property(set, device, SPDRP_DEVICEDESC);
        std::vector<std::wstring> driver = property(set, device, SPDRP_DRIVER);
        std::wstring version, inf;
        driverInfo(set, device, version, inf);
        std::printf("%s\t%s\t%s\t%s\t%s\t%s\n", narrow(instance).c_str(),
                    narrow(hardwareIds.empty() ? L"" : hardwareIds[0]).c_str(),
                    narrow(description.empty() ? L"" : description[0]).c_str(), narrow(version).c_str(),
                    narrow(inf).c_str(), narrow(driver.empty() ? L"" : driver[0]).c_str());
        return true;
    });
}

}  // namespace

int main(int argc, char **argv)
{
    std::string command = argc > 1 ? argv[1] : "";
    if (command == "create" && argc == 3)
        return createDevice(argv[2]);
    if (command == "remove" && argc == 3)
        return removeDevices(argv[2]);
    if (command == "list")
        return listDevices(argc - 2, argv + 2);
    std::fprintf(stderr, "usage: devsim create HARDWARE-ID | remove HARDWARE-ID | list [HARDWARE-ID ...]\n");
    return 2;
}
