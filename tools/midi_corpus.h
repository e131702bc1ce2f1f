// The corrupted MIDI corpus: real and generated files damaged in the ways files arrive
// damaged, the same for one seed wherever it is made (the validator, the tests).
#pragma once

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tools/midi_writer.h"

// A small seeded generator, the same sequence on every build.
struct Random {
    unsigned state;
    unsigned Next()
    {
        state = state * 1664525u + 1013904223u;
        return state >> 8;
    }
    int Range(int low, int high) { return low + (int)(Next() % (unsigned)(high - low + 1)); }
};

inline std::vector<uint8_t> Put32(std::vector<uint8_t> bytes, size_t at, uint32_t value)
{
    for (int i = 0; i < 4 && at + i < bytes.size(); ++i)
        bytes[at + i] = uint8_t(value >> (24 - 8 * i));
    return bytes;
}

inline std::vector<uint8_t> Put16(std::vector<uint8_t> bytes, size_t at, uint16_t value)
{
    if (at + 1 < bytes.size()) {
        bytes[at] = uint8_t(value >> 8);
        bytes[at + 1] = uint8_t(value);
    }
    return bytes;
}

// The offset of the data of the second track chunk of a Standard MIDI File (the first when
// there is one), and its declared length; 0 when there is none.
inline size_t TrackData(const std::vector<uint8_t>& bytes, uint32_t* length)
{
    size_t found = 0;
    for (size_t at = 14, n = 0; at + 8 <= bytes.size() && n < 2; ++n) {
        if (memcmp(&bytes[at], "MTrk", 4) != 0)
            break;
        found = at + 8;
        *length = (uint32_t)bytes[at + 4] << 24 | bytes[at + 5] << 16 | bytes[at + 6] << 8 | bytes[at + 7];
        at += 8 + (size_t)*length;
    }
    return found;
}

// Real music (the .mid files of folder, tests/data beside the programs), each damaged in the
// ways files arrive damaged: cut short, bits flipped, a meta event whose length runs past its
// track, stray data bytes, a delta time of days, a track declared longer than the file.
inline std::vector<std::vector<uint8_t>> DamagedRealFiles(unsigned seed, const std::string& folder)
{
    std::vector<std::vector<uint8_t>> out;
    Random r = {seed * 7919u + 13u};
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "*.mid").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return out;
    do {
        std::ifstream in(folder + found.cFileName, std::ios::binary);
        std::vector<uint8_t> real((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        uint32_t length = 0;
        size_t data = TrackData(real, &length);
        if (data == 0 || length < 16 || data + length > real.size())
            continue;
        auto inserted = [&](size_t at, std::vector<uint8_t> bytes) {
            std::vector<uint8_t> v = real;
            v.insert(v.begin() + at, bytes.begin(), bytes.end());
            return Put32(v, data - 4, length + (uint32_t)bytes.size());
        };
        out.push_back(std::vector<uint8_t>(real.begin(), real.begin() + data + length / 2));
        std::vector<uint8_t> flipped = real;
        for (int i = 0; i < 8; ++i)
            flipped[data + r.Range(0, (int)length - 1)] ^= uint8_t(1 << r.Range(0, 7));
        out.push_back(flipped);
        out.push_back(inserted(data, {0x00, 0xFF, 0x01, 0x8F, 0xFF, 0xFF, 0x7F}));
        std::vector<uint8_t> stray;
        for (int i = 0; i < 5; ++i)
            stray.push_back(uint8_t(r.Range(0, 0x7F)));
        out.push_back(inserted(data + r.Range(0, (int)length - 1), stray));
        out.push_back(inserted(data, {0x8F, 0xFF, 0xFF, 0x7F, 0xFF, 0x01, 0x00}));
        out.push_back(Put32(real, data - 4, length + 1000));
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return out;
}

// The corpus: damaged real files (the .mid files of real_folder, a folder name ending in a
// backslash), truncations, bit flips, byte runs and broken header and track fields of valid
// files, `count` files in all (at least the fixed ones) for one seed.
inline std::vector<std::vector<uint8_t>> MidiCorpus(unsigned seed, int count, const std::string& real_folder)
{
    MidiSong two = ScaleSong(8, 8); // dense, so that Pause and seeks in what plays stay short
    two.tempo_us_per_quarter = 400000;
    std::vector<std::vector<uint8_t>> seeds = {EncodeMidi(ScaleSong(4)), EncodeMidi(two)};
    std::vector<std::vector<uint8_t>> out = DamagedRealFiles(seed, real_folder);
    const std::vector<uint8_t>& base = seeds[0];
    // Fixed damage first: every header and track field broken in the ways files break.
    out.push_back(Put32(base, 4, 0));          // header length 0
    out.push_back(Put32(base, 4, 0xFFFFFFFF)); // header length huge
    out.push_back(Put16(base, 8, 2));          // format 2
    out.push_back(Put16(base, 8, 0xFFFF));     // unknown format
    out.push_back(Put16(base, 10, 0));         // no tracks
    out.push_back(Put16(base, 10, 0xFFFF));    // 65535 tracks
    out.push_back(Put16(base, 12, 0));         // 0 ticks per quarter
    out.push_back(Put16(base, 12, 0xE728));    // SMPTE division
    out.push_back(Put32(base, 18, 0));         // track length 0
    out.push_back(Put32(base, 18, 0xFFFFFFFF)); // track length huge
    out.push_back(Put32(base, 18, 0x7FFFFFFF));
    {
        std::vector<uint8_t> v = base; // a delta time that never ends
        v.resize(22);
        v.insert(v.end(), 64, 0xFF);
        out.push_back(v);
    }
    {
        std::vector<uint8_t> v = base; // a meta event claiming more than the file
        v.resize(22);
        v.insert(v.end(), {0x00, 0xFF, 0x01, 0x8F, 0xFF, 0xFF, 0x7F, 'x'});
        out.push_back(Put32(v, 18, (uint32_t)(v.size() - 22)));
    }
    {
        std::vector<uint8_t> v = base; // running status with no status yet, and an unterminated sysex
        v.resize(22);
        v.insert(v.end(), {0x00, 0x40, 0x40, 0x00, 0xF0, 0x05, 0x01, 0x02});
        out.push_back(Put32(v, 18, (uint32_t)(v.size() - 22)));
    }
    {
        std::vector<uint8_t> v = base; // tempo 0
        v.resize(22);
        v.insert(v.end(), {0x00, 0xFF, 0x51, 0x03, 0, 0, 0, 0x00, 0x90, 60, 90, 0x83, 0x60, 0x80, 60, 0, 0x00, 0xFF, 0x2F, 0x00});
        out.push_back(Put32(v, 18, (uint32_t)(v.size() - 22)));
    }
    {
        std::vector<uint8_t> v = base; // a second track header that is cut short
        v.insert(v.end(), {'M', 'T', 'r', 'k', 0, 0, 0x10});
        out.push_back(Put16(v, 10, 2));
    }
    // Every truncation of the shorter file.
    for (size_t cut = 0; cut < base.size(); ++cut)
        out.push_back(std::vector<uint8_t>(base.begin(), base.begin() + cut));
    // Seeded random damage until the count is reached.
    Random r = {seed * 40503u + 7u};
    while ((int)out.size() < count) {
        std::vector<uint8_t> v = seeds[r.Range(0, 1)];
        int kind = r.Range(0, 3);
        int edits = r.Range(1, 6);
        for (int e = 0; e < edits; ++e) {
            size_t at = r.Range(0, (int)v.size() - 1);
            if (kind == 0)
                v[at] ^= uint8_t(1 << r.Range(0, 7));
            else if (kind == 1)
                v[at] = uint8_t(r.Range(0, 255));
            else if (kind == 2)
                v.insert(v.begin() + at, r.Range(1, 40), uint8_t(r.Range(0, 1) ? 0xFF : 0x80));
            else
                v.erase(v.begin() + at, v.begin() + std::min(v.size(), at + r.Range(1, 20)));
        }
        if (r.Range(0, 3) == 0)
            v.resize(r.Range(0, (int)v.size()));
        out.push_back(v);
    }
    return out;
}
