// Capture from the real wave input: the sound server that tools/test.sh starts records its
// null sink "nul", into which this test plays a tone of 1000 Hz on the left and 1500 Hz on
// the right while a file plays with capture on.
#include "tests/rig/plugin_rig.h"

#include <algorithm>
#include <cmath>
#include <cstring>

using rig::PluginTest;

namespace {

constexpr int kBlock = 2304;
constexpr int kFrames = kBlock / 4;

struct Received {
    std::mutex lock;
    std::vector<std::string> a, b;
    std::vector<DWORD> ticks;
    bool bad_arguments = false;
};
Received* received = nullptr;

void Keep(std::vector<std::string>& into, const void* samples, int channels, int bits, int reserved)
{
    std::lock_guard<std::mutex> hold(received->lock);
    into.emplace_back((const char*)samples, kBlock);
    if (&into == &received->a)
        received->ticks.push_back(GetTickCount());
    if (channels != 2 || bits != 16 || reserved != 0)
        received->bad_arguments = true;
}

void __cdecl SinkA(const void* s, int c, int b, int r) { Keep(received->a, s, c, b, r); }
void __cdecl SinkB(const void* s, int c, int b, int r) { Keep(received->b, s, c, b, r); }

short Sample(const std::string& block, int frame, int channel)
{
    short value;
    memcpy(&value, block.data() + 4 * frame + 2 * channel, 2);
    return value;
}

int Peak(const std::string& block, int channel)
{
    int peak = 0;
    for (int i = 0; i < kFrames; ++i)
        peak = std::max(peak, std::abs((int)Sample(block, i, channel)));
    return peak;
}

// From the rising zero crossings, placed between samples by linear interpolation.
double Frequency(const std::string& block, int channel)
{
    double first = -1, last = -1;
    int crossings = 0;
    for (int i = 1; i < kFrames; ++i) {
        int before = Sample(block, i - 1, channel), now = Sample(block, i, channel);
        if (before < 0 && now >= 0) {
            double at = i - 1 + (double)-before / (now - before);
            if (first < 0)
                first = at;
            last = at;
            ++crossings;
        }
    }
    return crossings < 2 ? 0 : (crossings - 1) * 44100.0 / (last - first);
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

// Starts a command of the Linux side; Wine runs a Unix program given by its path. It runs
// on by itself: the tone lasts a few seconds.
bool StartUnixCommand(const std::string& script)
{
    std::string line = "/bin/sh -c \"" + script + "\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return false;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

// A tone of 1000 Hz left and 1500 Hz right at half of full scale, played into the null
// sink for up to `seconds` after `delay` seconds, and stopped when the object goes so that it
// never overlaps the next test's.
class Tone {
public:
    explicit Tone(int seconds, int delay = 0)
    {
        pid_file_ = "/tmp/tessarin_tone_" + std::to_string(GetCurrentProcessId()) + "_" + std::to_string(GetTickCount());
        started_ = StartUnixCommand("f=$(mktemp --suffix=.wav) && /usr/bin/sox -n -r 44100 -c 2 -b 16 $f synth " +
                                    std::to_string(seconds) + " sine 1000 sine 1500 vol 0.5 && sleep " +
                                    std::to_string(delay) + " && "
                                    "{ /usr/bin/paplay --device=nul $f & echo $! > " + pid_file_ + "; wait; }; "
                                    "rm -f $f " + pid_file_);
    }
    ~Tone()
    {
        StartUnixCommand("kill $(cat " + pid_file_ + ") 2>/dev/null");
        Sleep(300); // the kill runs on its own; let it land before the next test plays
    }
    bool started() const { return started_; }

private:
    std::string pid_file_;
    bool started_ = false;
};

} // namespace

TEST_F(PluginTest, CaptureDeliversTheToneInTheNullSinkBlockByBlock)
{
    Received blocks;
    received = &blocks;
    mod->pcm_sink_a = SinkA;
    mod->pcm_sink_b = SinkB;
    std::string song = WriteScale("long.mid", 40);
    ASSERT_EQ(mod->Play(song.c_str()), 0);
    Tone tone(10);
    ASSERT_TRUE(tone.started());

    auto loud = [](const std::string& block) { return Peak(block, 0) > 12000 && Peak(block, 1) > 12000; };
    size_t first_loud = 0;
    bool heard = false;
    for (DWORD start = GetTickCount(); !heard && GetTickCount() - start < 20000; Sleep(20)) {
        std::lock_guard<std::mutex> hold(blocks.lock);
        for (; first_loud < blocks.a.size() && !heard; ++first_loud)
            heard = loud(blocks.a[first_loud]);
    }
    if (heard)
        Sleep(1500);
    mod->Stop();
    ASSERT_FALSE(blocks.a.empty()) << "no block arrived: is the sound server of tools/test.sh running?";
    ASSERT_TRUE(heard) << blocks.a.size() << " blocks, none with the tone in it";

    EXPECT_FALSE(blocks.bad_arguments);
    EXPECT_EQ(blocks.a, blocks.b) << "both sinks get every block";

    std::vector<double> left, right;
    for (size_t i = first_loud; i < blocks.a.size(); ++i) {
        if (!loud(blocks.a[i]))
            continue;
        left.push_back(Frequency(blocks.a[i], 0));
        right.push_back(Frequency(blocks.a[i], 1));
    }
    ASSERT_GE(left.size(), 40u) << "about 1.5 s of the tone expected";
    EXPECT_NEAR(Median(left), 1000.0, 10.0);
    EXPECT_NEAR(Median(right), 1500.0, 15.0);

    // No block handed on twice: with 13.06 periods to a block, consecutive blocks differ.
    for (size_t i = first_loud + 1; i < blocks.a.size(); ++i)
        EXPECT_NE(blocks.a[i], blocks.a[i - 1]) << "block " << i;

    // Block rate over the whole capture, against 44100 / 576 per second. Loose bounds: the
    // point is blocks neither dropped wholesale nor made up, not the machine's speed.
    double seconds = (blocks.ticks.back() - blocks.ticks.front()) / 1000.0;
    double rate = (blocks.a.size() - 1) / seconds / (44100.0 / kFrames);
    EXPECT_GT(rate, 0.5);
    EXPECT_LT(rate, 1.2);
    printf("%zu blocks in %.2f s: %.2f of the real-time rate; %zu with the tone, median %.1f Hz left, %.1f Hz right\n",
           blocks.a.size(), seconds, rate, left.size(), Median(left), Median(right));
    received = nullptr;
}

// The stand-in player's level meter, shown once captured blocks arrive, follows them.
TEST_F(PluginTest, PlayerMeterShowsTheToneOnBothChannels)
{
    std::string song = WriteScale("four.mid", 8);
    // A second late, so that the meter has shown silence first however quickly the sound
    // server passes the tone on (a running sink, FluidSynth's, passes it on at once).
    Tone tone(10, 1);
    ASSERT_TRUE(tone.started());
    std::string output;
    ASSERT_EQ(rig::RunProgram("\"" + rig::ProgramFolder() + "player.exe\" \"" + song + "\"", &output, 30000), 0)
        << output;
    auto loudest = [&](const char* label) {
        size_t most = 0;
        for (size_t at = output.find(label); at != std::string::npos; at = output.find(label, at + 1))
            most = std::max<size_t>(most, std::count(output.begin() + at, output.begin() + at + 10, '#'));
        return most;
    };
    // A tone at half of full scale is 6 dB down: 7 of 8 cells.
    EXPECT_EQ(loudest("L["), 7u) << output;
    EXPECT_EQ(loudest("R["), 7u) << output;
}
