// devsim: simulated Plug and Play devices for the demo and the tests, in a Wine prefix (or on
// Windows). It creates root-enumerated devices that carry given hardware IDs, so the platform's
// driver update finds them as it would find a plugged-in adapter; it removes them again and lists
// devices with what their drivers are. It also plugs in and unplugs a simulated adapter with its
// real topology: a USB device whose bus driver (devsimbus.sys, from the package that
// tools/devsim/adapter.py lays out) reports the COM-port device as its child once it has started.
//
//   devsim create HARDWARE-ID       a new device ROOT\<class>\NNNN with that hardware ID
//   devsim remove HARDWARE-ID       removes every device whose hardware IDs include it
//   devsim list [HARDWARE-ID ...]   one line per device (all, or those with these IDs):
//                                   instance<TAB>hardware ID<TAB>description<TAB>driver version<TAB>INF<TAB>
//                                   driver key<TAB>parent's instance (empty for a root device)
//   devsim plug                     the adapter as when first plugged in: a root device with the
//                                   adapter's USB hardware ID, no driver, no COM-port device yet
//   devsim unplug                   removes the adapter's devices, bus devices first, then the
//                                   COM-port devices' entries that outlive their parent, and the
//                                   project's own driver packages from the system's INF folder
//   devsim hide HARDWARE-ID MS      takes the devices with that hardware ID out of every look by
//                                   hardware ID for MS milliseconds, then puts them back
//   devsim tree                     the adapter's devices, each indented under its parent, with
//                                   its driver's description, version and INF, or "(no driver)"
//
// It is a tool for trying the command, never part of it. Exit status 0 on success, 1 on a failure
// (with the platform's error code on standard error), 2 on a wrong command line.

#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <map>
#include <string>
#include <vector>

namespace {

// The simulated adapter's two hardware IDs: its USB device's, and its COM-port device's, which
// the bus driver reports as the USB device's child.
const wchar_t BUS_ID[] = L"USB\\VID_0403&PID_6001";
const wchar_t PORT_ID[] = L"FTDIBUS\\COMPORT&VID_0403&PID_6001";
// How the project's own driver packages, the simulator's and the sample's, name their provider.
const wchar_t OWN_PROVIDER[] = L"usb-serial-driver-update ";

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

// One field of a line of an INF's [Version] section, or nothing.
std::wstring versionField(const std::wstring &path, const wchar_t *key, DWORD field)
{
    HINF inf = SetupOpenInfFileW(path.c_str(), NULL, INF_STYLE_WIN4, NULL);
    if (inf == INVALID_HANDLE_VALUE)
        return L"";
    INFCONTEXT line;
    wchar_t value[256] = L"";
    if (!SetupFindFirstLineW(inf, L"Version", key, &line) || !SetupGetStringFieldW(&line, field, value, 256, NULL))
        value[0] = 0;
    SetupCloseInfFile(inf);
    return value;
}

// The DriverVer version of an INF in the system's INF folder.
std::wstring infVersion(const std::wstring &infName)
{
    wchar_t windows[MAX_PATH];
    UINT length = GetWindowsDirectoryW(windows, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return L"";
    return versionField(std::wstring(windows) + L"\\inf\\" + infName, L"DriverVer", 2);
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

std::wstring upper(std::wstring text)
{
    if (!text.empty())
        CharUpperBuffW(&text[0], static_cast<DWORD>(text.size()));
    return text;
}

std::wstring instanceId(HDEVINFO set, SP_DEVINFO_DATA &device)
{
    wchar_t instance[MAX_DEVICE_ID_LEN] = L"";
    SetupDiGetDeviceInstanceIdW(set, &device, instance, MAX_DEVICE_ID_LEN, NULL);
    return instance;
}

// {child's instance ID in capitals: parent's instance ID}. Wine 8 records no device's parent
// (CM_Get_Parent fails there), so the simulated bus driver writes the instance ID of the child it
// reports into its own device's hardware key, as Children; this reads that record back.
std::map<std::wstring, std::wstring> parents()
{
    std::map<std::wstring, std::wstring> found;
    forDevices({BUS_ID}, [&found](HDEVINFO set, SP_DEVINFO_DATA &device) {
        HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE)
            return true;
        std::vector<wchar_t> children(4096, L'\0');
        DWORD size = static_cast<DWORD>((children.size() - 2) * sizeof(wchar_t));
        DWORD type;
        if (RegQueryValueExW(key, L"Children", NULL, &type, reinterpret_cast<BYTE *>(children.data()), &size) ==
                ERROR_SUCCESS &&
            type == REG_MULTI_SZ)
            for (const wchar_t *child = children.data(); *child; child += wcslen(child) + 1)
                found[upper(child)] = instanceId(set, device);
        RegCloseKey(key);
        return true;
    });
    return found;
}

struct Device {
    std::wstring instance, hardwareId, description, version, inf, driverKey, parent;
};

std::vector<Device> devices(const std::vector<std::wstring> &ids, int &status)
{
    std::map<std::wstring, std::wstring> parentOf = parents();
    std::vector<Device> found;
    status = forDevices(ids, [&](HDEVINFO set, SP_DEVINFO_DATA &device) {
        Device d;
        d.instance = instanceId(set, device);
        std::vector<std::wstring> hardwareIds = property(set, device, SPDRP_HARDWAREID);
        std::vector<std::wstring> description = property(set, device, SPDRP_DEVICEDESC);
        std::vector<std::wstring> driver = property(set, device, SPDRP_DRIVER);
        d.hardwareId = hardwareIds.empty() ? L"" : hardwareIds[0];
        d.description = description.empty() ? L"" : description[0];
        d.driverKey = driver.empty() ? L"" : driver[0];
        driverInfo(set, device, d.version, d.inf);
        auto parent = parentOf.find(upper(d.instance));
        if (parent != parentOf.end())
            d.parent = parent->second;
        found.push_back(d);
        return true;
    });
    return found;
}

int listDevices(int count, char **ids)
{
    std::vector<std::wstring> wanted;
    for (int i = 0; i < count; ++i)
        wanted.push_back(widen(ids[i]));
    int status;
    for (const Device &d : devices(wanted, status))
        std::printf("%s\t%s\t%s\t%s\t%s\t%s\t%s\n", narrow(d.instance).c_str(), narrow(d.hardwareId).c_str(),
                    narrow(d.description).c_str(), narrow(d.version).c_str(), narrow(d.inf).c_str(),
                    narrow(d.driverKey).c_str(), narrow(d.parent).c_str());
    return status;
}

// The adapter as when first plugged in: only its USB device, which no driver has started yet, so
// nothing has reported the COM-port device.
int plug()
{
    return createDevice(narrow(BUS_ID).c_str());
}

// The project's own driver packages (the simulator's and the sample's) in the system's INF folder,
// installed on a device or only staged there, go. The command stages the COM-port package before it
// updates the bus driver, and Wine, like Windows, installs a staged package on every matching device
// that appears later, which would spoil the next first install. Those of any other provider (on
// Windows, a real adapter's) stay. The platform keeps an INF under its own name only while no other
// INF of that name is there (Wine; Windows always renames to oemNN.inf), so every INF is looked at.
void removeOwnPackages(const wchar_t *windows)
{
    std::wstring folder = std::wstring(windows) + L"\\inf\\";
    std::vector<std::wstring> own;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"*.inf").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        std::wstring provider = versionField(folder + found.cFileName, L"Provider", 1);
        if (provider.compare(0, wcslen(OWN_PROVIDER), OWN_PROVIDER) == 0)
            own.push_back(found.cFileName);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    for (const std::wstring &inf : own) {
        SetupUninstallOEMInfW(inf.c_str(), SUOI_FORCEDELETE, NULL);
        // Wine's precompiled copy of the INF, which it leaves behind.
        DeleteFileW((folder + inf.substr(0, inf.find_last_of(L'.')) + L".pnf").c_str());
    }
}

// Bus devices first: removing one removes its child's device object. Wine keeps the child's
// registry entry after that, so the COM-port devices' entries are removed next, and the next plug
// starts from no COM-port device at all. The project's own INF files go as well (see above).
//
// The installed copy of the bus driver goes too: the bus INF copies it only where none is (the
// install copies newer files only, and the .sys has no version to compare), so a rebuilt driver
// would otherwise never replace it. A copy that a running winedevice.exe still has loaded stays
// until the prefix's Wine has stopped.
int unplug()
{
    int status = removeDevices(narrow(BUS_ID).c_str());
    if (removeDevices(narrow(PORT_ID).c_str()) != 0)
        status = 1;
    wchar_t windows[MAX_PATH];
    UINT windowsLength = GetWindowsDirectoryW(windows, MAX_PATH);
    if (windowsLength == 0 || windowsLength >= MAX_PATH)
        return fail("GetWindowsDirectoryW");
    removeOwnPackages(windows);
    wchar_t system[MAX_PATH];
    UINT length = GetSystemDirectoryW(system, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return fail("GetSystemDirectoryW");
    std::wstring driver = std::wstring(system) + L"\\drivers\\devsimbus.sys";
    DeleteFileW(driver.c_str());  // no copy, or one still loaded: nothing to do now
    return status;
}

// A restarting USB device is missing from the platform's device list for a moment. This makes the
// devices with the hardware ID look so to anyone who looks for them by hardware ID: their hardware
// IDs are replaced for `ms` milliseconds, then put back.
int hideDevices(const char *id, const char *ms)
{
    std::vector<std::wstring> ids = {widen(id)};
    HDEVINFO set = SetupDiGetClassDevsW(NULL, NULL, NULL, DIGCF_ALLCLASSES);
    if (set == INVALID_HANDLE_VALUE)
        return fail("SetupDiGetClassDevsW");
    std::vector<std::pair<SP_DEVINFO_DATA, std::vector<BYTE>>> hidden;
    const wchar_t placeholder[] = L"DEVSIM\\HIDDEN\0";
    int status = 0;
    SP_DEVINFO_DATA device = {sizeof device, {}, 0, 0};
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
        if (!hasId(set, device, ids))
            continue;
        std::vector<BYTE> saved(8192);
        DWORD size = 0;
        if (!SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID, NULL, saved.data(),
                                               static_cast<DWORD>(saved.size()), &size)) {
            status = fail("SetupDiGetDeviceRegistryPropertyW");
            continue;
        }
        saved.resize(size);
        if (!SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID, reinterpret_cast<const BYTE *>(placeholder),
                                               sizeof placeholder)) {
            status = fail("SetupDiSetDeviceRegistryPropertyW");
            continue;
        }
        hidden.emplace_back(device, saved);
    }
    Sleep(static_cast<DWORD>(std::strtoul(ms, NULL, 10)));
    for (auto &[each, saved] : hidden)
        if (!SetupDiSetDeviceRegistryPropertyW(set, &each, SPDRP_HARDWAREID, saved.data(), static_cast<DWORD>(saved.size())))
            status = fail("SetupDiSetDeviceRegistryPropertyW");
    SetupDiDestroyDeviceInfoList(set);
    return status;
}

void printTree(const std::vector<Device> &all, const std::wstring &parent, int depth)
{
    for (const Device &d : all) {
        if (upper(d.parent) != upper(parent))
            continue;
        std::string driver = d.driverKey.empty()
                                 ? "(no driver)"
                                 : narrow(d.description) + ", version " + narrow(d.version) + ", " + narrow(d.inf);
        std::printf("%*s%s  %s  %s\n", depth * 2, "", narrow(d.instance).c_str(), narrow(d.hardwareId).c_str(),
                    driver.c_str());
        printTree(all, d.instance, depth + 1);
    }
}

int tree()
{
    int status;
    std::vector<Device> all = devices({BUS_ID, PORT_ID}, status);
    // A device whose recorded parent is gone shows at the top, as if it had none.
    for (Device &d : all) {
        bool known = false;
        for (const Device &other : all)
            known = known || upper(other.instance) == upper(d.parent);
        if (!known)
            d.parent.clear();
    }
    if (all.empty())
        std::printf("(no device of the adapter)\n");
    printTree(all, L"", 0);
    return status;
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
    if (command == "plug" && argc == 2)
        return plug();
    if (command == "unplug" && argc == 2)
        return unplug();
    if (command == "tree" && argc == 2)
        return tree();
    if (command == "hide" && argc == 4)
        return hideDevices(argv[2], argv[3]);
    std::fprintf(stderr, "usage: devsim create HARDWARE-ID | remove HARDWARE-ID | list [HARDWARE-ID ...] | plug | unplug | "
                         "tree | hide HARDWARE-ID MS\n");
    return 2;
}
