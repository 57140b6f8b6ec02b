// usb-serial-driver-status: says what the USB serial adapter with vendor ID 0403 and product ID
// 6001 really has after a driver update: for each of its present devices (the USB device, whose
// driver is the bus driver, and the COM-port device the bus driver reports), the driver in
// effect, whether it works (the problem code Windows records), whether a restart is needed, and
// the COM port. It changes nothing on the machine.
//
//   usb-serial-driver-status [--json] [--package <driver package directory>]
//
// "Driver update: OK" only says that Windows accepted an install. People ask which COM port the
// adapter got; fleet tools (Intune, Configuration Manager) schedule a restart only for an install
// that exits 3010, and their detection rules should look at the driver a device really carries,
// which Windows Update may have replaced since. So the outcome is also the exit status, first
// match wins: 1 no adapter (no device present, and the package given not in the driver store);
// 2 a problem (a device without a driver, a problem code other than 14, a status that cannot be
// read, a USB device without its COM-port device unless it waits for a restart) or, with
// --package, a device with another driver version than the package's; 3010 a restart is needed;
// 0 working, or no adapter with the package staged, so that Windows installs it when one is
// plugged in. Wrong arguments: usage on standard error, 87 (ERROR_INVALID_PARAMETER).
//
// Why the rest looks the way it does:
// - The text output ends with a verdict line, "Adapter: <result> (exit N): <why>.": a machine
//   without the adapter would otherwise print nothing, and a batch file reading the output with
//   for /f cannot see the exit status.
// - The platform's DLLs come from the system directory by full path (system-dll.h), and nothing
//   but kernel32 is imported: setupapi.dll, cfgmgr32.dll and advapi32.dll are loaded that way.
// - A device still being installed has no driver yet, and would read as Code 28: before it looks,
//   the run waits for installs in progress, at most INSTALL_WAIT_MS.
// - A device works or not by its problem code and DN_HAS_PROBLEM, never by DN_STARTED, which not
//   every platform sets. A status that cannot be read counts as a problem, never as working.
// - Devices are told by their hardware IDs, compared as Plug and Play compares them (adapter.h).
//   A USB device without its COM-port device is judged by count: not every platform records a
//   device's parent.
// - The driver's INF, version, date and provider come from the device's driver key; where the
//   key lacks them, from the [Version] section of the installed INF, read with SetupAPI's INF
//   functions, which also resolve the %strings% a Provider names.
// - A package counts as staged when an identical copy (size, then content) of each of its INF
//   files lies in the system's INF folder: Windows keeps a staged INF there as oemN.inf, and not
//   every platform renames it.
// - The JSON document is ASCII, every other character a \u escape, so that any script reads it
//   whatever the console's code page; the text is in the ANSI code page, as the arguments are.

#include <windows.h>
#include <cfgmgr32.h>
#include <setupapi.h>

#include "adapter.h"
#include "system-dll.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <new>
#include <optional>
#include <string>
#include <vector>

namespace {

typedef HDEVINFO(WINAPI *SetupDiGetClassDevsW_t)(const GUID *, PCWSTR, HWND, DWORD);
typedef BOOL(WINAPI *SetupDiEnumDeviceInfo_t)(HDEVINFO, DWORD, PSP_DEVINFO_DATA);
typedef BOOL(WINAPI *SetupDiGetDeviceRegistryPropertyW_t)(HDEVINFO, PSP_DEVINFO_DATA, DWORD, PDWORD, PBYTE, DWORD,
                                                          PDWORD);
typedef BOOL(WINAPI *SetupDiGetDeviceInstanceIdW_t)(HDEVINFO, PSP_DEVINFO_DATA, PWSTR, DWORD, PDWORD);
typedef HKEY(WINAPI *SetupDiOpenDevRegKey_t)(HDEVINFO, PSP_DEVINFO_DATA, DWORD, DWORD, DWORD, REGSAM);
typedef BOOL(WINAPI *SetupDiDestroyDeviceInfoList_t)(HDEVINFO);
typedef HINF(WINAPI *SetupOpenInfFileW_t)(PCWSTR, PCWSTR, DWORD, PUINT);
typedef BOOL(WINAPI *SetupFindFirstLineW_t)(HINF, PCWSTR, PCWSTR, PINFCONTEXT);
typedef BOOL(WINAPI *SetupGetStringFieldW_t)(PINFCONTEXT, DWORD, PWSTR, DWORD, PDWORD);
typedef VOID(WINAPI *SetupCloseInfFile_t)(HINF);
typedef CONFIGRET(WINAPI *CM_Get_DevNode_Status_t)(PULONG, PULONG, DEVINST, ULONG);
typedef DWORD(WINAPI *CMP_WaitNoPendingInstallEvents_t)(DWORD);
typedef LSTATUS(WINAPI *RegQueryValueExW_t)(HKEY, LPCWSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD);
typedef LSTATUS(WINAPI *RegCloseKey_t)(HKEY);

// How long the run waits for device installs in progress before it judges: a device being
// installed still lacks its driver. A few seconds cover Windows finishing an install that a
// driver update started; an install that takes longer is reported as it stands.
const DWORD INSTALL_WAIT_MS = 5000;
// Room for a device's whole list of hardware IDs, and for one registry or INF string.
const std::size_t HARDWARE_IDS_ROOM = 4096;
const std::size_t STRING_ROOM = 1024;
// An INF file larger than this is not one of the package's: it is not compared.
const LONGLONG INF_SIZE_LIMIT = 16LL * 1024 * 1024;
// A driver version's four parts, each 0 to 65535, written in decimal.
const unsigned long VERSION_PART_MAX = 65535;
const unsigned long DECIMAL = 10;
// The dates a driver can have: from the first INF files on.
const unsigned FIRST_YEAR = 1980, LAST_YEAR = 9999, MONTHS = 12, DAYS_MAX = 31;
// A yyyy-mm-dd date and its NUL; a \uXXXX escape and its NUL.
const std::size_t ISO_DATE_ROOM = 11;
const std::size_t ESCAPE_ROOM = 7;
// ASCII's printable characters, which a JSON string carries as they are.
const wchar_t FIRST_PRINTABLE = 0x20, LAST_PRINTABLE = 0x7e;

// Exit statuses.
const int EXIT_WORKING = 0;
const int EXIT_NO_ADAPTER = 1;
const int EXIT_PROBLEM = 2;
const int EXIT_USAGE = 87;      // ERROR_INVALID_PARAMETER
const int EXIT_RESTART = 3010;  // ERROR_SUCCESS_REBOOT_REQUIRED, what fleet tools read as "restart"

const char USAGE[] =
    "usage: usb-serial-driver-status [--json] [--package <driver package directory>]\n"
    "Shows the drivers, problems and COM port of the USB serial adapter VID 0403 PID 6001.\n"
    "Exit status: 0 working (or, with --package, no adapter and the package staged), 1 no adapter,\n"
    "2 a problem or another driver than the package's, 3010 a restart is needed, 87 wrong arguments.\n";

// The package's INF file for each role, and the role's words.
const wchar_t *const INF_OF_ROLE[] = {NULL, L"ftdibus.inf", L"ftdiport.inf"};
const char *const ROLE_NAME[] = {NULL, "bus", "port"};
const wchar_t *const ROLE_WORDS[] = {NULL, L"USB device", L"COM-port device"};

struct Platform {
    SetupDiGetClassDevsW_t getClassDevs;
    SetupDiEnumDeviceInfo_t enumDeviceInfo;
    SetupDiGetDeviceRegistryPropertyW_t getProperty;
    SetupDiGetDeviceInstanceIdW_t getInstanceId;
    SetupDiOpenDevRegKey_t openDevRegKey;
    SetupDiDestroyDeviceInfoList_t destroyList;
    SetupOpenInfFileW_t openInf;
    SetupFindFirstLineW_t findFirstLine;
    SetupGetStringFieldW_t getStringField;
    SetupCloseInfFile_t closeInf;
    CM_Get_DevNode_Status_t getStatus;
    CMP_WaitNoPendingInstallEvents_t waitInstalls;
    RegQueryValueExW_t queryValue;
    RegCloseKey_t closeKey;
};

typedef std::optional<std::wstring> Text;

struct Version {
    bool valid;
    unsigned long parts[4];
};

struct Device {
    int role;
    std::wstring instance;
    std::wstring hardwareId;  // the adapter's ID as the device lists it
    Text inf, version, date, provider;
    bool statusRead;
    CONFIGRET statusError;
    ULONG status;
    int problem;  // 0: none; -1: the status could not be read
    bool restart;
    Text portName;
};

struct Verdict {
    const char *result;
    int exitStatus;
    std::wstring why;
};

// "1.2.3.4" (fewer parts are padded with zeros) as numbers; invalid when it is anything else.
Version parseVersion(const Text &text)
{
    Version version = {false, {0, 0, 0, 0}};
    if (!text || text->empty())
        return version;
    const wchar_t *p = text->c_str();
    for (int part = 0; part < 4; ++part) {
        if (*p < L'0' || *p > L'9')
            return version;
        unsigned long value = 0;
        for (; *p >= L'0' && *p <= L'9'; ++p) {
            value = value * DECIMAL + static_cast<unsigned long>(*p - L'0');
            if (value > VERSION_PART_MAX)
                return version;
        }
        version.parts[part] = value;
        if (*p == 0) {
            version.valid = true;
            return version;
        }
        if (*p != L'.')
            return version;
        ++p;
    }
    return version;
}

bool sameVersion(const Version &a, const Version &b)
{
    return a.valid && b.valid && std::memcmp(a.parts, b.parts, sizeof a.parts) == 0;
}

// An INF or driver-key date ("mm/dd/yyyy", "m-d-yyyy") as yyyy-mm-dd, or nothing.
Text isoDate(const Text &text)
{
    if (!text)
        return Text();
    const int FIELDS = 5;  // month, separator, day, separator, year: nothing after it
    unsigned month = 0, day = 0, year = 0;
    wchar_t first = 0, second = 0, rest = 0;
    if (swscanf(text->c_str(), L"%u%lc%u%lc%u%lc", &month, &first, &day, &second, &year, &rest) != FIELDS ||
        (first != L'/' && first != L'-') || second != first || month < 1 || month > MONTHS || day < 1 ||
        day > DAYS_MAX || year < FIRST_YEAR || year > LAST_YEAR)
        return Text();
    wchar_t iso[ISO_DATE_ROOM];
    swprintf(iso, ISO_DATE_ROOM, L"%04u-%02u-%02u", year, month, day);
    return std::wstring(iso);
}

// A REG_SZ value of an open key, or nothing.
Text registryString(const Platform &platform, HKEY key, const wchar_t *name)
{
    wchar_t value[STRING_ROOM + 1];
    DWORD size = STRING_ROOM * sizeof(wchar_t);
    DWORD type = 0;
    if (platform.queryValue(key, name, NULL, &type, reinterpret_cast<BYTE *>(value), &size) != ERROR_SUCCESS ||
        type != REG_SZ)
        return Text();
    value[size / sizeof(wchar_t)] = 0;
    if (value[0] == 0)
        return Text();
    return std::wstring(value);
}

// A field of the line `key` in the [Version] section of an open INF, %strings% resolved.
Text infVersionField(const Platform &platform, HINF inf, const wchar_t *key, DWORD field)
{
    INFCONTEXT line;
    wchar_t value[STRING_ROOM];
    if (!platform.findFirstLine(inf, L"Version", key, &line) ||
        !platform.getStringField(&line, field, value, STRING_ROOM, NULL) || value[0] == 0)
        return Text();
    return std::wstring(value);
}

HINF openInf(const Platform &platform, const std::wstring &path)
{
    return platform.openInf(path.c_str(), NULL, INF_STYLE_WIN4, NULL);
}

// The system's INF folder, with its trailing backslash, or nothing. GetWindowsDirectoryW would
// name a private folder of the user's on a Remote Desktop session host, for a program not marked
// terminal-server aware; the system's own Windows folder is where the driver store's INF files are.
Text infFolder()
{
    wchar_t windows[MAX_PATH];
    UINT length = GetSystemWindowsDirectoryW(windows, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return Text();
    return std::wstring(windows, length) + L"\\INF\\";
}

// The device's driver: what its driver key says, and, for what it lacks, the installed INF's
// [Version] section. A device without a driver key has no driver.
void readDriver(const Platform &platform, HDEVINFO devices, SP_DEVINFO_DATA &data, Device &device)
{
    HKEY key = platform.openDevRegKey(devices, &data, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_QUERY_VALUE);
    if (key == INVALID_HANDLE_VALUE)
        return;
    device.inf = registryString(platform, key, L"InfPath");
    device.version = registryString(platform, key, L"DriverVersion");
    device.date = isoDate(registryString(platform, key, L"DriverDate"));
    device.provider = registryString(platform, key, L"ProviderName");
    platform.closeKey(key);
    if (!device.inf || (device.version && device.date && device.provider))
        return;
    Text folder = infFolder();
    // The name is a file in the INF folder, never a path of its own.
    if (!folder || device.inf->find_first_of(L"\\/:") != std::wstring::npos)
        return;
    HINF inf = openInf(platform, *folder + *device.inf);
    if (inf == INVALID_HANDLE_VALUE)
        return;
    if (!device.date)
        device.date = isoDate(infVersionField(platform, inf, L"DriverVer", 1));
    if (!device.version)
        device.version = infVersionField(platform, inf, L"DriverVer", 2);
    if (!device.provider)
        device.provider = infVersionField(platform, inf, L"Provider", 1);
    platform.closeInf(inf);
}

// The COM port Windows' Ports class installer assigned: PortName in the device's hardware key.
void readPortName(const Platform &platform, HDEVINFO devices, SP_DEVINFO_DATA &data, Device &device)
{
    HKEY key = platform.openDevRegKey(devices, &data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
    if (key == INVALID_HANDLE_VALUE)
        return;
    device.portName = registryString(platform, key, L"PortName");
    platform.closeKey(key);
}

// The adapter's present devices; false when they could not be listed, with `error` telling why.
bool findDevices(const Platform &platform, std::vector<Device> &found, DWORD &error)
{
    HDEVINFO devices = platform.getClassDevs(NULL, NULL, NULL, DIGCF_ALLCLASSES | DIGCF_PRESENT);
    if (devices == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        return false;
    }
    // And two NULs should the list come unterminated.
    wchar_t ids[HARDWARE_IDS_ROOM + 2];
    SP_DEVINFO_DATA data = {sizeof data, {}, 0, 0};
    for (DWORD i = 0; platform.enumDeviceInfo(devices, i, &data); ++i) {
        ZeroMemory(ids, sizeof ids);
        if (!platform.getProperty(devices, &data, SPDRP_HARDWAREID, NULL, reinterpret_cast<BYTE *>(ids),
                                  sizeof ids - 2 * sizeof(wchar_t), NULL))
            continue;  // none, or more than any real device has: not one of the adapter's
        int role = NOT_ADAPTER;
        const wchar_t *id = adapterIdIn(ids, &role);
        if (id == NULL)
            continue;
        Device device = {role, L"", id, Text(), Text(), Text(), Text(), false, CR_SUCCESS, 0, -1, false, Text()};
        wchar_t instance[MAX_DEVICE_ID_LEN + 1];
        if (platform.getInstanceId(devices, &data, instance, MAX_DEVICE_ID_LEN + 1, NULL))
            device.instance = instance;
        readDriver(platform, devices, data, device);
        if (role == PORT_DEVICE)
            readPortName(platform, devices, data, device);
        ULONG problem = 0;
        device.statusError = platform.getStatus(&device.status, &problem, data.DevInst, 0);
        device.statusRead = device.statusError == CR_SUCCESS;
        if (device.statusRead) {
            device.problem = (device.status & DN_HAS_PROBLEM) ? static_cast<int>(problem) : 0;
            device.restart = device.problem == CM_PROB_NEED_RESTART || (device.status & DN_NEED_RESTART);
        }
        found.push_back(device);
    }
    error = GetLastError();
    platform.destroyList(devices);
    return error == ERROR_NO_MORE_ITEMS;
}

// What the usual problem codes mean, in Device Manager's words.
struct ProblemCode {
    int code;
    const wchar_t *meaning;
};
const ProblemCode PROBLEM_CODES[] = {
    {1, L"the device is not configured correctly"},
    {3, L"the driver may be corrupted, or the system is low on memory or other resources"},
    {10, L"the device cannot start"},
    {12, L"the device cannot find enough free resources"},
    {14, L"the device cannot work properly until the computer is restarted"},
    {18, L"the device's drivers must be reinstalled"},
    {19, L"the device's configuration in the registry is incomplete or damaged"},
    {21, L"Windows is removing the device"},
    {22, L"the device is disabled"},
    {24, L"the device is not present, not working properly, or lacks some of its drivers"},
    {28, L"the device's drivers are not installed"},
    {31, L"Windows cannot load the drivers the device needs"},
    {32, L"a driver (service) of the device is disabled"},
    {37, L"Windows cannot initialize the device's driver"},
    {39, L"Windows cannot load the device's driver: it may be corrupted or missing"},
    {43, L"Windows stopped the device because it reported problems"},
    {45, L"the device is not connected to the computer"},
    {47, L"the device was prepared for safe removal but not removed"},
    {48, L"the device's driver is blocked from starting because it is known to have problems"},
    {52, L"Windows cannot verify the digital signature of the device's drivers"},
};

const wchar_t *problemMeaning(int code)
{
    const ProblemCode *end = PROBLEM_CODES + sizeof PROBLEM_CODES / sizeof PROBLEM_CODES[0];
    const ProblemCode *known =
        std::find_if(PROBLEM_CODES, end, [code](const ProblemCode &entry) { return entry.code == code; });
    return known != end ? known->meaning : L"see Device Manager's list of error codes";
}

std::wstring number(long long value)
{
    return std::to_wstring(value);
}

// The device as a verdict names it: "the COM-port device COM3 (FTDIBUS\...)".
std::wstring deviceName(const Device &device)
{
    std::wstring name = L"the ";
    name += ROLE_WORDS[device.role];
    name += L" ";
    if (device.portName)
        name += *device.portName + L" (" + device.instance + L")";
    else
        name += device.instance;
    return name;
}

// What is wrong with a device, or an empty text when nothing is.
std::wstring deviceProblem(const Device &device)
{
    if (!device.statusRead)
        return L"its status cannot be read (CONFIGRET " + number(device.statusError) + L")";
    if (device.problem != 0 && device.problem != CM_PROB_NEED_RESTART)
        return L"Code " + number(device.problem) + L", " + problemMeaning(device.problem);
    if (!device.inf)
        return L"it has no driver";
    return L"";
}

std::wstring restartReason(const Device &device)
{
    if (device.problem == CM_PROB_NEED_RESTART)
        return L"Code 14, " + std::wstring(problemMeaning(CM_PROB_NEED_RESTART));
    return L"it needs a restart";
}

// Whether the device carries another driver version than the package's for its role.
bool otherDriver(const Device &device, const Version *package)
{
    return package != NULL && !sameVersion(parseVersion(device.version), package[device.role]);
}

Verdict judge(const std::vector<Device> &devices, bool listed, DWORD listError, const Version *package,
              bool staged)
{
    if (!listed)
        return {"problem", EXIT_PROBLEM, L"the devices could not be listed (error " + number(listError) + L")"};
    if (devices.empty()) {
        if (staged)
            return {"staged", EXIT_WORKING,
                    L"no device of the adapter is present; the package's drivers are in the driver store, so "
                    L"Windows installs them when the adapter is plugged in"};
        return {"no-adapter", EXIT_NO_ADAPTER,
                package != NULL ? L"no device of the adapter is present, and the package's drivers are not both "
                                  L"in the driver store"
                                : L"no device of the adapter is present"};
    }
    std::size_t buses = 0, ports = 0;
    bool busRestart = false;
    for (const Device &device : devices) {
        std::wstring problem = deviceProblem(device);
        if (!problem.empty())
            return {"problem", EXIT_PROBLEM, deviceName(device) + L": " + problem};
        if (device.role == BUS_DEVICE) {
            ++buses;
            busRestart = busRestart || device.restart;
        } else {
            ++ports;
        }
    }
    if (buses > ports && !busRestart)
        return {"problem", EXIT_PROBLEM,
                L"a USB device of the adapter has no COM-port device (" + number(static_cast<long long>(buses)) +
                    L" USB, " + number(static_cast<long long>(ports)) + L" COM-port)"};
    std::vector<Device>::const_iterator other = std::find_if(
        devices.begin(), devices.end(), [package](const Device &device) { return otherDriver(device, package); });
    if (other != devices.end())
        return {"other-driver", EXIT_PROBLEM,
                deviceName(*other) + L" has driver version " + other->version.value_or(L"(unknown)") +
                    L", not the package's"};
    std::vector<Device>::const_iterator restart =
        std::find_if(devices.begin(), devices.end(), [](const Device &device) { return device.restart; });
    if (restart != devices.end())
        return {"restart", EXIT_RESTART, deviceName(*restart) + L" needs a restart: " + restartReason(*restart)};
    return {"working", EXIT_WORKING,
            package != NULL ? L"every device of the adapter has the package's driver and works"
                            : L"every device of the adapter has its driver and works"};
}

// Text in the process's ANSI code page, the one its arguments came in.
void put(const std::wstring &text)
{
    int size = WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, NULL, 0, NULL, NULL);
    if (size <= 0)
        return;
    std::string narrow(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, narrow.data(), size, NULL, NULL);
    std::fputs(narrow.c_str(), stdout);
}

void printText(const std::vector<Device> &devices, const Version *package, const Verdict &verdict)
{
    for (const Device &device : devices) {
        std::wstring line;
        if (device.role == PORT_DEVICE)
            line = device.portName.value_or(L"(no COM port)") + L": ";
        line += ROLE_WORDS[device.role];
        line += L" " + device.instance + L": ";
        if (device.inf) {
            line += L"driver " + *device.inf;
            if (device.version)
                line += L" version " + *device.version;
            if (device.date)
                line += L" of " + *device.date;
            if (device.provider)
                line += L" from " + *device.provider;
        } else {
            line += L"no driver";
        }
        std::wstring problem = deviceProblem(device);
        if (!problem.empty())
            line += L"; problem: " + problem;
        else if (device.restart)
            line += L"; restart needed: " + restartReason(device);
        else if (otherDriver(device, package))
            line += L"; not the package's driver";
        else
            line += L"; working";
        put(line + L"\n");
    }
    put(L"Adapter: " + std::wstring(verdict.result, verdict.result + std::strlen(verdict.result)) + L" (exit " +
        number(verdict.exitStatus) + L"): " + verdict.why + L".\n");
}

// A JSON string, ASCII only: quotes, backslashes, controls and everything beyond ASCII escaped.
std::string jsonString(const Text &text)
{
    if (!text)
        return "null";
    std::string out = "\"";
    for (wchar_t c : *text) {
        if (c == L'"' || c == L'\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < FIRST_PRINTABLE || c > LAST_PRINTABLE) {
            char escape[ESCAPE_ROOM];
            std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

void printJson(const std::vector<Device> &devices, const Verdict &verdict)
{
    bool restart = false;
    std::string out = "{\"devices\": [";
    for (std::size_t i = 0; i < devices.size(); ++i) {
        const Device &device = devices[i];
        restart = restart || device.restart;
        out += i ? ", {" : "{";
        out += std::string("\"role\": \"") + ROLE_NAME[device.role] + "\", ";
        out += "\"instance\": " + jsonString(device.instance) + ", ";
        out += "\"hardware_id\": " + jsonString(device.hardwareId) + ", ";
        out += "\"driver\": {\"inf\": " + jsonString(device.inf) + ", \"version\": " + jsonString(device.version) +
               ", \"date\": " + jsonString(device.date) + ", \"provider\": " + jsonString(device.provider) + "}, ";
        out += "\"problem\": " + std::to_string(device.problem) + ", ";
        out += std::string("\"restart_required\": ") + (device.restart ? "true" : "false") + ", ";
        out += "\"port_name\": " + jsonString(device.portName) + "}";
    }
    out += std::string("], \"restart_required\": ") + (restart ? "true" : "false");
    out += std::string(", \"result\": \"") + verdict.result + "\"}\n";
    std::fputs(out.c_str(), stdout);
}

// The four-part version in the DriverVer of each of the package's INF files, by role; false
// when one cannot be read.
bool readPackage(const Platform &platform, const std::wstring &directory, Version *package)
{
    for (int role = BUS_DEVICE; role <= PORT_DEVICE; ++role) {
        HINF inf = openInf(platform, directory + L"\\" + INF_OF_ROLE[role]);
        if (inf == INVALID_HANDLE_VALUE)
            return false;
        package[role] = parseVersion(infVersionField(platform, inf, L"DriverVer", 2));
        platform.closeInf(inf);
        if (!package[role].valid)
            return false;
    }
    return true;
}

// A whole file's bytes, or nothing when it cannot be read.
std::optional<std::vector<char>> fileBytes(const std::wstring &path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return std::nullopt;
    LARGE_INTEGER size;
    std::optional<std::vector<char>> bytes;
    // INF files are small: one larger than this is not one of ours.
    if (GetFileSizeEx(file, &size) && size.QuadPart <= INF_SIZE_LIMIT) {
        std::vector<char> data(static_cast<std::size_t>(size.QuadPart));
        DWORD read = 0;
        if (data.empty() || (ReadFile(file, data.data(), static_cast<DWORD>(data.size()), &read, NULL) &&
                             read == data.size()))
            bytes = std::move(data);
    }
    CloseHandle(file);
    return bytes;
}

// Whether an identical copy of the file lies in the system's INF folder.
bool inInfFolder(const std::wstring &path)
{
    std::optional<std::vector<char>> wanted = fileBytes(path);
    Text folder = infFolder();
    if (!wanted || !folder)
        return false;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((*folder + L"*.inf").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return false;
    bool same = false;
    do {
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            continue;
        ULARGE_INTEGER size;
        size.HighPart = found.nFileSizeHigh;
        size.LowPart = found.nFileSizeLow;
        if (size.QuadPart != wanted->size())
            continue;
        std::optional<std::vector<char>> copy = fileBytes(*folder + found.cFileName);
        same = copy && *copy == *wanted;
    } while (!same && FindNextFileW(search, &found));
    FindClose(search);
    return same;
}

bool packageStaged(const std::wstring &directory)
{
    return inInfFolder(directory + L"\\" + INF_OF_ROLE[BUS_DEVICE]) &&
           inInfFolder(directory + L"\\" + INF_OF_ROLE[PORT_DEVICE]);
}

// The argument in the process's ANSI code page, the one the runtime used to hand it to main.
std::wstring widen(const char *text)
{
    int count = MultiByteToWideChar(CP_ACP, 0, text, -1, NULL, 0);
    if (count <= 1)
        return L"";
    std::wstring wide(static_cast<std::size_t>(count), L'\0');
    int converted = MultiByteToWideChar(CP_ACP, 0, text, -1, wide.data(), count);
    wide.resize(converted > 1 ? static_cast<std::size_t>(converted - 1) : 0);
    return wide;
}

bool loadPlatform(Platform &platform, bool systemOnly)
{
    HMODULE setupapi = loadSystemDll(L"setupapi.dll", systemOnly);
    HMODULE cfgmgr32 = loadSystemDll(L"cfgmgr32.dll", systemOnly);
    HMODULE advapi32 = loadSystemDll(L"advapi32.dll", systemOnly);
    platform.getClassDevs = systemFunction<SetupDiGetClassDevsW_t>(setupapi, "SetupDiGetClassDevsW");
    platform.enumDeviceInfo = systemFunction<SetupDiEnumDeviceInfo_t>(setupapi, "SetupDiEnumDeviceInfo");
    platform.getProperty =
        systemFunction<SetupDiGetDeviceRegistryPropertyW_t>(setupapi, "SetupDiGetDeviceRegistryPropertyW");
    platform.getInstanceId = systemFunction<SetupDiGetDeviceInstanceIdW_t>(setupapi, "SetupDiGetDeviceInstanceIdW");
    platform.openDevRegKey = systemFunction<SetupDiOpenDevRegKey_t>(setupapi, "SetupDiOpenDevRegKey");
    platform.destroyList = systemFunction<SetupDiDestroyDeviceInfoList_t>(setupapi, "SetupDiDestroyDeviceInfoList");
    platform.openInf = systemFunction<SetupOpenInfFileW_t>(setupapi, "SetupOpenInfFileW");
    platform.findFirstLine = systemFunction<SetupFindFirstLineW_t>(setupapi, "SetupFindFirstLineW");
    platform.getStringField = systemFunction<SetupGetStringFieldW_t>(setupapi, "SetupGetStringFieldW");
    platform.closeInf = systemFunction<SetupCloseInfFile_t>(setupapi, "SetupCloseInfFile");
    platform.getStatus = systemFunction<CM_Get_DevNode_Status_t>(cfgmgr32, "CM_Get_DevNode_Status");
    platform.waitInstalls = systemFunction<CMP_WaitNoPendingInstallEvents_t>(cfgmgr32, "CMP_WaitNoPendingInstallEvents");
    platform.queryValue = systemFunction<RegQueryValueExW_t>(advapi32, "RegQueryValueExW");
    platform.closeKey = systemFunction<RegCloseKey_t>(advapi32, "RegCloseKey");
    return platform.getClassDevs && platform.enumDeviceInfo && platform.getProperty && platform.getInstanceId &&
           platform.openDevRegKey && platform.destroyList && platform.openInf && platform.findFirstLine &&
           platform.getStringField && platform.closeInf && platform.getStatus && platform.queryValue && platform.closeKey;
}

int usage(const char *problem)
{
    std::fprintf(stderr, "usb-serial-driver-status: %s\n%s", problem, USAGE);
    return EXIT_USAGE;
}

int run(int argc, char **argv)
{
    bool systemOnly = searchSystemDirectoryOnly();
    bool json = false;
    const char *packageArgument = NULL;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--json") == 0 && !json)
            json = true;
        else if (std::strcmp(argv[i], "--package") == 0 && packageArgument == NULL && i + 1 < argc)
            packageArgument = argv[++i];
        else
            return usage(std::strcmp(argv[i], "--package") == 0 ? "--package needs one driver package directory"
                                                                : "unknown or repeated argument");
    }

    Platform platform;
    bool loaded = loadPlatform(platform, systemOnly);
    DWORD loadError = loaded ? ERROR_SUCCESS : GetLastError();
    Version package[3] = {};
    std::wstring directory;
    if (packageArgument != NULL) {
        directory = widen(packageArgument);
        // No separator doubled where the directory ends in one.
        if (!directory.empty() && (directory.back() == L'\\' || directory.back() == L'/'))
            directory.pop_back();
        if (loaded && !readPackage(platform, directory, package))
            return usage("the --package directory has no ftdibus.inf and ftdiport.inf with a readable DriverVer");
    }

    std::vector<Device> devices;
    DWORD listError = loadError;
    bool listed = false;
    if (loaded) {
        // Only a courtesy to a device still being installed: where the platform lacks it, the
        // devices are judged as they are.
        if (platform.waitInstalls != NULL)
            platform.waitInstalls(INSTALL_WAIT_MS);
        listed = findDevices(platform, devices, listError);
    }
    const Version *packageVersions = packageArgument != NULL ? package : NULL;
    bool staged = listed && devices.empty() && packageArgument != NULL && packageStaged(directory);
    Verdict verdict = judge(devices, listed, listError, packageVersions, staged);
    if (json)
        printJson(devices, verdict);
    else
        printText(devices, packageVersions, verdict);
    std::fflush(stdout);
    return verdict.exitStatus;
}

}  // namespace

int main(int argc, char **argv)
{
    try {
        return run(argc, argv);
    } catch (const std::bad_alloc &) {
        std::fputs("Adapter: problem (exit 2): out of memory.\n", stdout);
        std::fflush(stdout);
        return EXIT_PROBLEM;
    }
}
