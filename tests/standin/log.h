// The stand-ins' log: one line appended per event to the file a test names, opened and closed
// for each line so that a test reads every line written so far, even while the process runs.

#ifndef STANDIN_LOG_H
#define STANDIN_LOG_H

#include <windows.h>

#include <cstring>

inline void appendLogLine(const char *path, const char *line)
{
    if (!path[0])
        return;
    HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written;
    WriteFile(file, line, static_cast<DWORD>(std::strlen(line)), &written, NULL);
    CloseHandle(file);
}

#endif
