// Loads newdev.dll by its bare name, as a static import would. The planted-DLL tests run it to show
// that their set-up really offers the planted copy to anything that searches for it.
#include <windows.h>

int main()
{
    return LoadLibraryW(L"newdev.dll") != NULL ? 0 : 1;
}
