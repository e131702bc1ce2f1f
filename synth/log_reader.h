// Reading the driver's message log (message_log.cpp) back: for the tests and benchmarks that
// rebuild which notes sounded when. Not part of the driver.
#pragma once

#include <windows.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
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
// message with its status in the low byte; for "longdata", the length, and then the message's
// bytes in hex ("..." after the first 64 when longer) and what the driver took it for.
struct Line {
    LONGLONG us;
    std::string name;
    DWORD first;
    std::string bytes, reading; // "longdata" only: "f07e7f0901f7", "gm-system-on"
};

inline std::vector<Line> Read(const std::string& path)
{
    std::vector<Line> lines;
    FILE* f = fopen(path.c_str(), "r");
    if (f == nullptr)
        return lines;
    char text[512];
    while (fgets(text, sizeof(text), f) != nullptr) {
        char name[32], bytes[160] = "", reading[32] = "";
        long long us;
        unsigned long first, second;
        if (sscanf(text, "%lld %31s %lx %lx %159s %31s", &us, name, &first, &second, bytes, reading) < 4)
            break;
        lines.push_back({us, name, (DWORD)first, bytes, reading});
    }
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

// Note-ons of a real test file as an independent reader (mido) times them, in time order:
// (ms, key), written into `folder` by tests/midi_lengths.py.
inline std::vector<std::pair<double, int>> FileNotes(const std::string& folder, const std::string& file)
{
    std::vector<std::pair<double, int>> notes;
    std::ifstream in(folder + "notes.txt");
    std::string name;
    double ms;
    int key;
    while (in >> name >> ms >> key)
        if (name == file)
            notes.push_back({ms, key});
    return notes;
}

// The notes heard after a call that set the clock to `position` at `at_us`, against the file's
// notes due from there until `until` (a later clock position): each due note is paired with the
// heard note of its key nearest its due time (within 250 ms), the time the clock gives it.
struct Timing {
    int due = 0, lost = 0, added = 0;
    std::vector<double> offsets; // heard minus due, ms, in the order due
    double median = 0, worst = 0; // worst: the largest distance of an offset from the median
};

inline Timing Match(const std::vector<Line>& heard, LONGLONG call_us, LONGLONG at_us, int position, int until,
             const std::vector<std::pair<double, int>>& notes)
{
    // Notes due or heard in the last 100 ms may fall either side of the end: matched, not counted.
    const LONGLONG end_us = at_us + (until - position) * 1000LL, counted_us = end_us - 100000;
    std::vector<Line> ons = NoteOns(heard, call_us, end_us + 60000);
    std::vector<bool> used(ons.size());
    Timing t;
    for (auto [ms, key] : notes) {
        if (ms < position || ms >= until)
            continue;
        LONGLONG due = at_us + (LONGLONG)((ms - position) * 1000);
        int best = -1;
        for (size_t i = 0; i < ons.size(); ++i)
            if (!used[i] && Key(ons[i]) == key && std::llabs(ons[i].us - due) < 250000 &&
                (best < 0 || std::llabs(ons[i].us - due) < std::llabs(ons[best].us - due)))
                best = (int)i;
        bool counted = due < counted_us;
        t.due += counted;
        if (best < 0) {
            t.lost += counted;
            continue;
        }
        used[best] = true;
        t.offsets.push_back((ons[best].us - due) / 1000.0);
    }
    for (size_t i = 0; i < ons.size(); ++i)
        t.added += !used[i] && ons[i].us < counted_us;
    if (!t.offsets.empty()) {
        std::vector<double> sorted = t.offsets;
        std::sort(sorted.begin(), sorted.end());
        t.median = sorted[sorted.size() / 2];
        for (double o : sorted)
            t.worst = std::max(t.worst, std::fabs(o - t.median));
    }
    return t;
}

} // namespace heard
