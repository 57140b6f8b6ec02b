// Loading the platform's DLLs for both programs: from the system directory, by full path, never
// by a bare name that a DLL planted beside the .exe or in a Downloads folder could answer.
//
// People start these programs as administrator from a Downloads folder, where a DLL found by its
// bare name is looked for beside the .exe first. So each program first limits its process's DLL
// search to the system directory (searchSystemDirectoryOnly), which also covers the DLLs the
// platform's own code loads by bare name while it works, and then loads each DLL it needs by its
// full path (loadSystemDll), with that DLL's imports resolved from the system directory too.

#ifndef SYSTEM_DLL_H
#define SYSTEM_DLL_H

#include <windows.h>

// Limits every later DLL search of the process to the system directory where the platform can
// (6.0, and 6.1 without KB2533623, cannot: there the current directory is at least taken out);
// returns whether it could.
bool searchSystemDirectoryOnly();

// The DLL of the system directory with this name, loaded by its full path. On failure NULL, with
// the thread's last-error code telling why. systemOnly: what searchSystemDirectoryOnly returned.
HMODULE loadSystemDll(const wchar_t *name, bool systemOnly);

// A function of a loaded DLL, or NULL where the DLL is NULL or lacks it.
template <typename Function> Function systemFunction(HMODULE dll, const char *name)
{
    return dll == NULL ? NULL
                       : reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(dll, name)));
}

#endif
