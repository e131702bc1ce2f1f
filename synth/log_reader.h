// Reading the driver's message log (message_log.cpp) back: for the tests and benchmarks that
// rebuild which notes sounded when. Not part of the driver.
#pragma once

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace heard {

// Microseconds on the counter the driver stamps its lines with.
inline LONGLONG NowUs()
{
    LARGE_INTEGER f, now;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&now);
    return now.QuadPart / f.QuadPart * 1000000 + now.QuadPart % f.QuadPart * 1000000 / f.QuadPart;
}

// One line: "<microseconds> <message> <first> <second>"; for "data", first is the short
// message with its status in the low byte.
struct Line {
    LONGLONG us;
    std::string name;
    DWORD first;
};

inline std::vector<Line> Read(const std::string& path)
{
    std::vector<Line> lines;
    FILE* f = fopen(path.c_str(), "r");
    if (f == nullptr)
        return lines;
    char name[32];
    long long us;
    unsigned long first, second;
    while (fscanf(f, "%lld %31s %lx %lx", &us, name, &first, &second) == 4)
        lines.push_back({us, name, (DWORD)first});
    fclose(f);
    return lines;
}

inline bool IsChannelMessage(const Line& l, int kind) { return l.name == "data" && (l.first & 0xF0) == (DWORD)kind; }
inline int Key(const Line& l) { return l.first >> 8 & 0x7F; }
inline bool IsNoteOn(const Line& l) { return IsChannelMessage(l, 0x90) && (l.first >> 16 & 0x7F) != 0; }
inline bool IsNoteOff(const Line& l) { return IsChannelMessage(l, 0x80) || (IsChannelMessage(l, 0x90) && !IsNoteOn(l)); }
// A reset, a close, or all sound or all notes off on a channel.
inline bool Silences(const Line& l)
{
    return l.name == "reset" || l.name == "close" ||
           (IsChannelMessage(l, 0xB0) && (Key(l) == 120 || Key(l) == 123));
}

inline std::vector<Line> NoteOns(const std::vector<Line>& lines, LONGLONG from = 0, LONGLONG to = LLONG_MAX)
{
    std::vector<Line> ons;
    for (const Line& l : lines)
        if (IsNoteOn(l) && l.us >= from && l.us < to)
            ons.push_back(l);
    return ons;
}

} // namespace heard
