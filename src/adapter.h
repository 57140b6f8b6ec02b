// The adapter both programs look for: its two devices' hardware IDs, and which of them a device
// is, told from the device's list of hardware IDs.
//
// Plug and Play compares hardware IDs ordinally, ignoring case. A comparison in the user's locale
// (lstrcmpiW) could call two IDs equal that Windows holds apart, or the reverse: in a Turkish
// locale, dotless and dotted i are different letters.

#ifndef ADAPTER_H
#define ADAPTER_H

#include <windows.h>

#include <cwchar>

// The USB device, whose driver is the bus driver.
const wchar_t BUS_HARDWARE_ID[] = L"USB\\VID_0403&PID_6001";
// The COM-port device that the bus driver reports as its child.
const wchar_t PORT_HARDWARE_ID[] = L"FTDIBUS\\COMPORT&VID_0403&PID_6001";
// The bus the COM-port device's hardware ID names: the bus driver reports its devices as its own.
const wchar_t PORT_ENUMERATOR[] = L"FTDIBUS";

// Which of the adapter's devices a device is.
const int NOT_ADAPTER = 0;
const int BUS_DEVICE = 1;
const int PORT_DEVICE = 2;

// Which of the adapter's IDs a device with this hardware ID list (REG_MULTI_SZ, ending in two
// NULs) carries: the ID as the list spells it, with its device's role in *role, or NULL (and
// NOT_ADAPTER). A device lists its hardware IDs most specific first (the USB device's begins with
// its revision); any of them may be the one.
inline const wchar_t *adapterIdIn(const wchar_t *ids, int *role)
{
    for (const wchar_t *id = ids; *id; id += std::wcslen(id) + 1) {
        if (CompareStringOrdinal(id, -1, BUS_HARDWARE_ID, -1, TRUE) == CSTR_EQUAL) {
            *role = BUS_DEVICE;
            return id;
        }
        if (CompareStringOrdinal(id, -1, PORT_HARDWARE_ID, -1, TRUE) == CSTR_EQUAL) {
            *role = PORT_DEVICE;
            return id;
        }
    }
    *role = NOT_ADAPTER;
    return NULL;
}

// Which of the adapter's devices a device with this hardware ID list is.
inline int adapterDeviceOf(const wchar_t *ids)
{
    int role;
    adapterIdIn(ids, &role);
    return role;
}

#endif
