// For `make bench`: a console .exe that only loads newdev.dll from the system directory, as every
// run of the command does before its first update, and calls nothing. Its time beside the
// command's shows how much of a run is the platform's device-installation library (and the DLLs
// it brings in) and how much the command itself adds.
#include <windows.h>

int main()
{
    wchar_t path[MAX_PATH + 16];
    UINT length = GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return 1;
    lstrcpyW(path + length, L"\\newdev.dll");
    return LoadLibraryExW(path, NULL, LOAD_WITH_ALTERED_SEARCH_PATH) == NULL ? 1 : 0;
}
