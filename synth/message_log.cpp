// Message log: one line per message, written at once (no buffering) so that a reader sees
// each line as soon as the device has it.
#include "synth/message_log.h"

#include <stdio.h>

// Touched only under the device lock (driver.cpp).
static HANDLE log_file = INVALID_HANDLE_VALUE;

LONGLONG LogNowMicroseconds(void)
{
    static LARGE_INTEGER frequency; // never changes while the system runs
    if (frequency.QuadPart == 0)
        QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    // Split so that the product cannot overflow after days of uptime.
    return now.QuadPart / frequency.QuadPart * 1000000 + now.QuadPart % frequency.QuadPart * 1000000 / frequency.QuadPart;
}

void LogStart(void)
{
    LogEnd();
    char path[MAX_PATH];
    DWORD n = GetEnvironmentVariableA("MIDI_LOG_FILE", path, sizeof(path));
    if (n == 0 || n >= sizeof(path))
        return;
    log_file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

void LogMessage(LONGLONG at_us, const char* name, DWORD_PTR first, DWORD_PTR second)
{
    if (log_file == INVALID_HANDLE_VALUE)
        return;
    char line[96];
    int n = snprintf(line, sizeof(line), "%lld %s %08lx %08lx\n", (long long)at_us, name, (unsigned long)first,
                     (unsigned long)second);
    if (n <= 0 || n >= (int)sizeof(line))
        return;
    DWORD written;
    WriteFile(log_file, line, (DWORD)n, &written, nullptr);
}

void LogEnd(void)
{
    if (log_file == INVALID_HANDLE_VALUE)
        return;
    CloseHandle(log_file);
    log_file = INVALID_HANDLE_VALUE;
}
