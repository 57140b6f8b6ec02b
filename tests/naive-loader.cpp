// The controls of the planted-DLL tests: they show that a set-up really offers the planted copy.
//   naive-loader             loads newdev.dll by its bare name, as a static import would
//   naive-loader --full-path loads newdev.dll as the command did before its DLL search was limited
//                            to the system directory (full path, current directory out of the
//                            search), then calls it once, so that the stand-in's helpers are
//                            searched for as in the command
#include <windows.h>

#include <cstring>

typedef BOOL(WINAPI *UpdateDriverForPlugAndPlayDevicesW_t)(HWND, LPCWSTR, LPCWSTR, DWORD, PBOOL);

int main(int argc, char **argv)
{
    if (argc < 2 || std::strcmp(argv[1], "--full-path") != 0)
        return LoadLibraryW(L"newdev.dll") != NULL ? 0 : 1;
    SetDllDirectoryW(L"");
    wchar_t path[MAX_PATH];
    UINT length = GetSystemDirectoryW(path, MAX_PATH - 12);
    lstrcpyW(path + length, L"\\newdev.dll");
    HMODULE newdev = LoadLibraryExW(path, NULL, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (newdev == NULL)
        return 1;
    UpdateDriverForPlugAndPlayDevicesW_t update = reinterpret_cast<UpdateDriverForPlugAndPlayDevicesW_t>(
        reinterpret_cast<void (*)()>(GetProcAddress(newdev, "UpdateDriverForPlugAndPlayDevicesW")));
    BOOL restart = FALSE;
    return update != NULL && update(NULL, L"control", L"control", 1, &restart) ? 0 : 1;
}
