// Listening to what FluidSynth renders: tools/services.sh makes the null sink's monitor the
// default input, so a test records it on a wave input of its own.
#pragma once

#include <windows.h>
#include <mmsystem.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace loudness {

inline double Rms(const short* samples, size_t count)
{
    double sum = 0;
    for (size_t i = 0; i < count; ++i)
        sum += (double)samples[i] * samples[i];
    return count == 0 ? 0 : std::sqrt(sum / count);
}

// Records `ms` of the default input (or of input `device`) at 44.1 kHz, 16 bits, stereo;
// false without an input device.
inline bool Record(int ms, std::vector<short>* recorded, UINT device = WAVE_MAPPER)
{
    WAVEFORMATEX format = {WAVE_FORMAT_PCM, 2, 44100, 176400, 4, 16, 0};
    HWAVEIN in;
    if (waveInOpen(&in, device, &format, 0, 0, CALLBACK_NULL) != MMSYSERR_NOERROR)
        return false;
    std::vector<short>& samples = *recorded;
    samples.assign(44100 * 2 * ms / 1000, 0);
    WAVEHDR header = {};
    header.lpData = (LPSTR)samples.data();
    header.dwBufferLength = samples.size() * sizeof(short);
    waveInPrepareHeader(in, &header, sizeof(header));
    waveInAddBuffer(in, &header, sizeof(header));
    waveInStart(in);
    for (DWORD start = GetTickCount(); GetTickCount() - start < (DWORD)ms + 3000; Sleep(10))
        if (((volatile DWORD&)header.dwFlags) & WHDR_DONE)
            break;
    waveInReset(in);
    waveInUnprepareHeader(in, &header, sizeof(header));
    waveInClose(in);
    samples.resize(header.dwBytesRecorded / sizeof(short));
    return true;
}

// The loudness of `ms` of the default input (-1 without an input device).
inline double RecordRms(int ms)
{
    std::vector<short> samples;
    return Record(ms, &samples) ? Rms(samples.data(), samples.size()) : -1;
}

// The loudness of a steady sound: of 10 ms stretches, one louder than nine in ten. On a busy
// machine the synthesizer falls behind and the sound server fills the gaps with silence, which
// only ever makes a stretch quieter (-1 without an input device).
inline double RecordSteadyRms(int ms)
{
    std::vector<short> samples;
    if (!Record(ms, &samples))
        return -1;
    const size_t kStretch = 441 * 2;
    std::vector<double> stretches;
    for (size_t at = 0; at + kStretch <= samples.size(); at += kStretch)
        stretches.push_back(Rms(samples.data() + at, kStretch));
    if (stretches.empty())
        return 0;
    std::sort(stretches.begin(), stretches.end());
    return stretches[stretches.size() * 9 / 10];
}

// The loudness of each side of a steady sound, as RecordSteadyRms takes it; false without an
// input device.
inline bool RecordSteadyStereo(int ms, double* left, double* right)
{
    std::vector<short> samples;
    if (!Record(ms, &samples))
        return false;
    const size_t kStretch = 441;
    for (int side = 0; side < 2; ++side) {
        std::vector<double> stretches;
        std::vector<short> one(kStretch);
        for (size_t at = 0; (at + kStretch) * 2 <= samples.size(); at += kStretch) {
            for (size_t i = 0; i < kStretch; ++i)
                one[i] = samples[(at + i) * 2 + side];
            stretches.push_back(Rms(one.data(), kStretch));
        }
        std::sort(stretches.begin(), stretches.end());
        (side == 0 ? *left : *right) = stretches.empty() ? 0 : stretches[stretches.size() * 9 / 10];
    }
    return true;
}

} // namespace loudness
