// A stand-in for Windows' pnputil.exe, which Wine lacks, for the tests of the example batch file:
// the test prefix's system32 holds it as pnputil.exe.
//
//   PNPUTIL_STANDIN_LOG   file that gets one line per run: "run" and each argument as Windows
//                         splits the command line, in hex UTF-16 units, so the test sees exactly
//                         what was passed
//   PNPUTIL_STANDIN_EXIT  the exit status to end with (decimal); unset or empty: 0
// It adds nothing to any driver store: the tests check what was asked of it, not what Windows'
// pnputil then does.

#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main()
{
    char logPath[MAX_PATH * 4] = "";
    char exitCode[16] = "";
    GetEnvironmentVariableA("PNPUTIL_STANDIN_LOG", logPath, sizeof logPath);
    GetEnvironmentVariableA("PNPUTIL_STANDIN_EXIT", exitCode, sizeof exitCode);
    int count = 0;
    wchar_t **args = CommandLineToArgvW(GetCommandLineW(), &count);
    static char line[70000] = "run";
    size_t used = strlen(line);
    for (int i = 0; args != NULL && i < count; ++i) {
        line[used++] = ' ';
        for (const wchar_t *unit = args[i]; *unit && used + 6 < sizeof line; ++unit, used += 4)
            snprintf(line + used, sizeof line - used, "%04x", static_cast<unsigned>(*unit));
    }
    line[used] = 0;
    strcat(line, "\n");
    if (logPath[0]) {
        HANDLE file = CreateFileA(logPath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        if (file != INVALID_HANDLE_VALUE) {
            DWORD written;
            WriteFile(file, line, static_cast<DWORD>(strlen(line)), &written, NULL);
            CloseHandle(file);
        }
    }
    int status = atoi(exitCode);
    // Something on standard output, as the real one prints, for the batch file to keep out of
    // what it shows.
    printf(status ? "Stand-in pnputil: failing with %d.\n" : "Stand-in pnputil: driver package added.\n", status);
    return status;
}
