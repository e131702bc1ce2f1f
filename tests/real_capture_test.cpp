// Capture from the real wave input: the sound server that tools/test.sh starts records its
// null sink "nul", into which this test plays a tone of 1000 Hz on the left and 1500 Hz on
// the right while a file plays with capture on, and the player shows it.
#include "tests/rig/plugin_rig.h"
#include "tests/pixels.h"

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

// A tone of 1000 Hz left and 1500 Hz right (or as given) at half of full scale, played into
// the null sink for up to `seconds` after `delay` seconds, and stopped when the object goes so
// that it never overlaps the next test's.
class Tone {
public:
    explicit Tone(int seconds, int left_hz = 1000, int right_hz = 1500, int delay = 0)
    {
        pid_file_ = "/tmp/tessarin_tone_" + std::to_string(GetCurrentProcessId()) + "_" + std::to_string(GetTickCount());
        started_ = StartUnixCommand("f=$(mktemp --suffix=.wav) && /usr/bin/sox -n -r 44100 -c 2 -b 16 $f synth " +
                                    std::to_string(seconds) + " sine " + std::to_string(left_hz) + " sine " +
                                    std::to_string(right_hz) + " vol 0.5 && sleep " + std::to_string(delay) + " && "
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
    Tone tone(10, 1000, 1500, 1);
    ASSERT_TRUE(tone.started());
    std::string output;
    ASSERT_EQ(rig::RunProgram("\"" + rig::ProgramFolder() + "player.exe\" --console \"" + song + "\"", &output, 30000), 0)
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

// The player's window under the virtual display: its spectrum, copied from the screen while
// a tone plays at the middle of one band on the left and of another on the right, stands
// tallest in those two bands, every other band well below.
TEST_F(PluginTest, PlayerWindowSpectrumShowsTheTwoTonesInTheirBands)
{
    std::string song = WriteScale("long.mid", 40);
    const int low = 20, high = 27; // where a tone lights one band alone
    Tone tone(40, (int)std::lround(vis::BandCentreHz(low)), (int)std::lround(vis::BandCentreHz(high)));
    ASSERT_TRUE(tone.started());
    std::string line = "\"" + rig::ProgramFolder() + "player.exe\" --window \"" + song + "\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    ASSERT_TRUE(CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process));
    HWND window = nullptr, panel = nullptr;
    for (DWORD start = GetTickCount(); panel == nullptr && GetTickCount() - start < 20000; Sleep(100)) {
        window = FindWindowA("TessarinPlayer", nullptr);
        panel = window != nullptr ? FindWindowExA(window, nullptr, "TessarinVisualisation", nullptr) : nullptr;
    }

    std::vector<int> heights;
    int plot = 0, others = 0;
    bool shown = false;
    for (DWORD start = GetTickCount(); panel != nullptr && !shown && GetTickCount() - start < 20000; Sleep(200)) {
        // Wine copies nothing from the device context of another process's child window;
        // from its top-level window's it does.
        RECT client;
        GetClientRect(panel, &client);
        POINT at = {0, 0};
        MapWindowPoints(panel, window, &at, 1);
        Picture picture(client.right, client.bottom);
        HDC screen = GetDC(window);
        BitBlt(picture.dc, 0, 0, client.right, client.bottom, screen, at.x, at.y, SRCCOPY);
        ReleaseDC(window, screen);
        heights = BarHeights(picture);
        RECT area = vis::Visualisation::SpectrumPlot(picture.area);
        plot = area.bottom - area.top;
        others = 0;
        for (int band = 0; band < vis::kBands; ++band)
            others = band == low || band == high ? others : std::max(others, heights[band]);
        // Each tone is at half of full scale (6 dB down); every other band 10 dB or more below.
        shown = std::min(heights[low], heights[high]) > plot * 3 / 4 &&
                others < std::min(heights[low], heights[high]) - plot * 10 / 66;
    }
    if (window != nullptr)
        PostMessageA(window, WM_CLOSE, 0, 0);
    DWORD code = 99;
    EXPECT_EQ(WaitForSingleObject(process.hProcess, 20000), WAIT_OBJECT_0);
    GetExitCodeProcess(process.hProcess, &code);
    if (code == STILL_ACTIVE)
        TerminateProcess(process.hProcess, 99);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    ASSERT_NE(panel, nullptr) << "no player window: is the virtual display of tools/test.sh there?";
    std::string bars;
    for (int height : heights)
        bars += std::to_string(height) + " ";
    EXPECT_TRUE(shown) << "bar heights of " << plot << " by band: " << bars << "(tones in " << low << ", " << high << ")";
    EXPECT_EQ(code, 0u);
}
