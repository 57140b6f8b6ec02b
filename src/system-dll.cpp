// Loading the platform's DLLs from the system directory by full path: see system-dll.h for why.

#include "system-dll.h"

#include <cstddef>
#include <cwchar>

namespace {

typedef BOOL(WINAPI *SetDefaultDllDirectories_t)(DWORD DirectoryFlags);

// Room after the system directory for a backslash, a DLL's name and its NUL.
const std::size_t DLL_NAME_ROOM = 16;

}  // namespace

bool searchSystemDirectoryOnly()
{
    // kernel32 is mapped into every process: looking it up loads nothing. SetDefaultDllDirectories
    // is looked up at run time because 6.0, and 6.1 without update KB2533623, lack it.
    SetDefaultDllDirectories_t SetDefaultDllDirectories = systemFunction<SetDefaultDllDirectories_t>(
        GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories");
    bool systemOnly =
        SetDefaultDllDirectories != NULL && SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    // Where the above is missing, the best left: the current directory out of the search.
    SetDllDirectoryW(L"");
    return systemOnly;
}

HMODULE loadSystemDll(const wchar_t *name, bool systemOnly)
{
    wchar_t path[MAX_PATH + DLL_NAME_ROOM];
    UINT length = GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0)
        return NULL;
    std::size_t nameLength = std::wcslen(name);
    if (length >= MAX_PATH || nameLength + 2 > DLL_NAME_ROOM) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return NULL;
    }
    path[length] = L'\\';
    std::wmemcpy(path + length + 1, name, nameLength + 1);
    // Both make the DLL's own imports resolve from the system directory. The platform forbids
    // combining them, and the first exists only where SetDefaultDllDirectories does.
    DWORD flags = systemOnly ? LOAD_LIBRARY_SEARCH_SYSTEM32 : LOAD_WITH_ALTERED_SEARCH_PATH;
    return LoadLibraryExW(path, NULL, flags);
}
