// The damaged-file check made before a file reaches the sequencer: reads the chunk headers
// of a Standard MIDI File (plain or inside RIFF RMID) and nothing else.
#include "playback/midi_file_check.h"

#include <windows.h>

#include <cstring>

static DWORD ReadBigEndian32(const BYTE* bytes)
{
    return (DWORD)bytes[0] << 24 | (DWORD)bytes[1] << 16 | (DWORD)bytes[2] << 8 | bytes[3];
}

static DWORD ReadLittleEndian32(const BYTE* bytes)
{
    return (DWORD)bytes[3] << 24 | (DWORD)bytes[2] << 16 | (DWORD)bytes[1] << 8 | bytes[0];
}

static int ReadAt(HANDLE file, DWORD offset, BYTE* buffer, DWORD size)
{
    DWORD got = 0;
    return SetFilePointer(file, (LONG)offset, nullptr, FILE_BEGIN) == offset &&
           ReadFile(file, buffer, size, &got, nullptr) && got == size;
}

// 1 when every chunk of the Standard MIDI File held in [start, end) of the file lies inside it.
static int MidiChunksFit(HANDLE file, DWORD start, DWORD end)
{
    DWORD at = start;
    while (end - at >= 8) {
        BYTE header[8];
        if (!ReadAt(file, at, header, sizeof(header)))
            return 0;
        DWORD length = ReadBigEndian32(header + 4);
        if (length > end - at - 8)
            return 0;
        at += 8 + length;
    }
    return 1;
}

int MidiFileIsWhole(const char* path)
{
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    int whole = 1;
    BYTE header[12];
    DWORD size = GetFileSize(file, nullptr);
    if (GetFileType(file) == FILE_TYPE_DISK && size != INVALID_FILE_SIZE && size >= sizeof(header) &&
        ReadAt(file, 0, header, sizeof(header))) {
        if (memcmp(header, "MThd", 4) == 0) {
            whole = MidiChunksFit(file, 0, size);
        } else if (memcmp(header, "RIFF", 4) == 0 && memcmp(header + 8, "RMID", 4) == 0) {
            // A RIFF MIDI file: the MIDI file is the "data" chunk (chunks are word-aligned).
            DWORD end = ReadLittleEndian32(header + 4);
            end = end < size - 8 ? end + 8 : size;
            for (DWORD at = 12; at < end && end - at >= 8;) {
                BYTE chunk[8];
                if (!ReadAt(file, at, chunk, sizeof(chunk)))
                    break;
                DWORD length = ReadLittleEndian32(chunk + 4);
                if (memcmp(chunk, "data", 4) == 0) {
                    whole = length <= end - at - 8 && MidiChunksFit(file, at + 8, at + 8 + length);
                    break;
                }
                if (length > end - at - 8)
                    break;
                at += 8 + length + (length & 1);
            }
        }
    }
    CloseHandle(file);
    return whole;
}
