// A file read whole with one ReadFile into the reading's buffer: under Wine every kernel call
// is a round trip to the wine server, and a mapped view costs three times a read of a music
// file's size. Whatever a larger file declares beyond the bound is refused unread.
#include "playback/file_reading.h"

int ReadFileOnce(const char* path, FileReading* reading)
{
    reading->size = 0;
    ReadMidi(nullptr, 0, &reading->midi);
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    DWORD got = 0;
    if (GetFileType(file) == FILE_TYPE_DISK && ReadFile(file, reading->bytes, sizeof(reading->bytes), &got, nullptr))
        reading->size = got;
    CloseHandle(file);
    if (reading->size == 0)
        return 1;
    ReadMidi(reading->bytes, reading->size, &reading->midi);
    return reading->midi.verdict;
}
