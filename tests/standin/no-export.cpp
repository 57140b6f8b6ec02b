// A newdev.dll that loads but lacks UpdateDriverForPlugAndPlayDevicesW: the command must report the
// failed lookup as its failure line and go on.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID)
{
    return TRUE;
}
