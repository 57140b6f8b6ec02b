// hidden-station: runs a program in a window station of its own, for the black-box rows that see
// the command where no window can be seen, as under a service or a fleet agent's session-0 install.
//
//   hidden-station PROGRAM [ARGS...]
//
// A window station made with CreateWindowStationW is not the interactive one: a process started on
// a desktop of it finds WSF_VISIBLE clear in its station's flags (measured under Wine, as on
// Windows). The program gets this process's standard handles, its command line is the rest of
// this one as written, and its exit status is this one's; 255 where it cannot be started.

#include <windows.h>

#include <cstdio>

namespace {

// This process's command line after its own program name, quoted or not, and the spaces after it.
wchar_t *restOfCommandLine()
{
    wchar_t *line = GetCommandLineW();
    if (*line == L'"') {
        for (++line; *line && *line != L'"'; ++line) {
        }
        if (*line)
            ++line;
    } else {
        while (*line && *line != L' ' && *line != L'\t')
            ++line;
    }
    while (*line == L' ' || *line == L'\t')
        ++line;
    return line;
}

int fail(const char *what)
{
    std::fprintf(stderr, "hidden-station: %s failed: %lu\n", what, GetLastError());
    return 255;
}

}  // namespace

int main()
{
    const wchar_t station[] = L"usdu-hidden";
    HWINSTA hidden = CreateWindowStationW(station, 0, WINSTA_ALL_ACCESS, NULL);
    if (hidden == NULL)
        return fail("CreateWindowStationW");
    // A desktop is made on the process's own window station: switch to the new one for that.
    HWINSTA own = GetProcessWindowStation();
    if (!SetProcessWindowStation(hidden))
        return fail("SetProcessWindowStation");
    HDESK desktop = CreateDesktopW(L"Default", NULL, NULL, 0, GENERIC_ALL, NULL);
    SetProcessWindowStation(own);
    if (desktop == NULL)
        return fail("CreateDesktopW");

    wchar_t desktopName[] = L"usdu-hidden\\Default";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.lpDesktop = desktopName;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process;
    if (!CreateProcessW(NULL, restOfCommandLine(), NULL, NULL, TRUE, 0, NULL, NULL, &startup, &process))
        return fail("CreateProcessW");
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 255;
    GetExitCodeProcess(process.hProcess, &status);
    return static_cast<int>(status);
}
