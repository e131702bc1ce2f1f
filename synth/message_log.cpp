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

void LogLongMessage(LONGLONG at_us, const BYTE* bytes, DWORD length, DWORD_PTR second, const char* reading)
{
    if (log_file == INVALID_HANDLE_VALUE)
        return;
    char line[96 + 2 * kLoggedBytes];
    int n = snprintf(line, sizeof(line), "%lld longdata %08lx %08lx ", (long long)at_us, (unsigned long)length,
                     (unsigned long)second);
    DWORD shown = bytes == nullptr ? 0 : length < kLoggedBytes ? length : kLoggedBytes;
    for (DWORD i = 0; i < shown; ++i)
        n += snprintf(line + n, sizeof(line) - n, "%02x", bytes[i]);
    // The stamp, 2 * kLoggedBytes hex digits and the driver's short readings fit the line.
    n += snprintf(line + n, sizeof(line) - n, "%s %s\n", shown == 0 ? "-" : shown < length ? "..." : "", reading);
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
