// The blocks a capture hands its sink, each with when it came (on the MIDI output driver's
// clock) and its loudness: for the tests that compare what was captured at two moments of one run.
#pragma once

#include <algorithm>
#include <mutex>
#include <vector>

#include "synth/log_reader.h"
#include "tests/loudness.h"

namespace captured {

struct Block {
    LONGLONG us;
    double rms;
};
inline std::mutex lock;
inline std::vector<Block> blocks;

// The sink: set it as pcm_sink_a.
inline void __cdecl Keep(const void* samples, int, int, int)
{
    double rms = loudness::Rms((const short*)samples, 2304 / 2);
    std::lock_guard<std::mutex> hold(lock);
    blocks.push_back({heard::NowUs(), rms});
}

inline void Clear()
{
    std::lock_guard<std::mutex> hold(lock);
    blocks.clear();
}

inline size_t Count()
{
    std::lock_guard<std::mutex> hold(lock);
    return blocks.size();
}

// Median loudness of the blocks that came between two times (-1 without any).
inline double MedianRms(LONGLONG from, LONGLONG to)
{
    std::vector<double> rms;
    std::lock_guard<std::mutex> hold(lock);
    for (const Block& b : blocks)
        if (b.us >= from && b.us < to)
            rms.push_back(b.rms);
    std::sort(rms.begin(), rms.end());
    return rms.empty() ? -1 : rms[rms.size() / 2];
}

} // namespace captured
