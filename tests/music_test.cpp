// What sounds: Wine's sequencer plays files through the project's MIDI output driver
// (synth/), which logs every message it gets into MIDI_LOG_FILE and plays it on FluidSynth;
// tools/test.sh installs the driver and starts FluidSynth, rendering into the null sink whose
// monitor the plug-in captures. The tests rebuild from the log which notes sounded when.
#include "tests/rig/plugin_rig.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "synth/log_reader.h"
#include "tools/midi_writer.h"

using rig::PluginTest;

namespace {

constexpr int kNotes = 16;
constexpr int kNoteMs = 250; // 240 ticks at the default tempo
constexpr int kFirstPitch = 60;

using heard::Line;
using heard::NowUs;

int Note(const Line& l) { return heard::Key(l) - kFirstPitch; }

// kNotes organ notes (an organ sounds evenly for as long as a key is held), one every kNoteMs,
// each held 200 ms, then a 50 ms rest; note i has pitch kFirstPitch + i, so that a note names
// its place in the file. No tempo change: after one, Wine's sequencer bunches the notes that
// follow a seek or a resume (it computes its start time at the current tempo).
MidiSong Line16()
{
    MidiSong song;
    song.programs.push_back({0, 19});
    for (int i = 0; i < kNotes; ++i)
        song.notes.push_back({i * 240, 192, 0, kFirstPitch + i, 100});
    return song;
}

// Captured blocks: when each reached sink a, and its loudness.
struct Block {
    LONGLONG us;
    double rms;
};
std::mutex blocks_lock;
std::vector<Block> blocks;

double Rms(const short* samples, size_t count)
{
    double sum = 0;
    for (size_t i = 0; i < count; ++i)
        sum += (double)samples[i] * samples[i];
    return count == 0 ? 0 : std::sqrt(sum / count);
}

void __cdecl KeepBlock(const void* samples, int, int, int)
{
    double rms = Rms((const short*)samples, 2304 / 2);
    std::lock_guard<std::mutex> hold(blocks_lock);
    blocks.push_back({NowUs(), rms});
}

// Median loudness of the blocks that reached the sinks between two times.
double BlocksRms(LONGLONG from, LONGLONG to)
{
    std::vector<double> rms;
    std::lock_guard<std::mutex> hold(blocks_lock);
    for (const Block& b : blocks)
        if (b.us >= from && b.us < to)
            rms.push_back(b.rms);
    std::sort(rms.begin(), rms.end());
    return rms.empty() ? -1 : rms[rms.size() / 2];
}

// Records `ms` of the null sink's monitor on a wave input of the test's own and returns its
// loudness (-1 without an input device).
double RecordRms(int ms)
{
    WAVEFORMATEX format = {WAVE_FORMAT_PCM, 2, 44100, 176400, 4, 16, 0};
    HWAVEIN in;
    if (waveInOpen(&in, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL) != MMSYSERR_NOERROR)
        return -1;
    std::vector<short> samples(44100 * 2 * ms / 1000);
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
    return Rms(samples.data(), header.dwBytesRecorded / sizeof(short));
}

constexpr double kLoud = 100;  // an organ note at FluidSynth's default gain: about 350
constexpr double kSilent = 40; // the reverberation of a note just cut off, fading: under 20

class Music : public PluginTest {
protected:
    void SetUp() override
    {
        PluginTest::SetUp();
        log_ = Folder() + "heard.log";
        SetEnvironmentVariableA("MIDI_LOG_FILE", log_.c_str());
        song_ = Folder() + "line.mid";
        ASSERT_TRUE(WriteMidiFile(song_, Line16()));
        std::lock_guard<std::mutex> hold(blocks_lock);
        blocks.clear();
        mod->pcm_sink_a = KeepBlock;
    }
    void TearDown() override
    {
        PluginTest::TearDown();
        SetEnvironmentVariableA("MIDI_LOG_FILE", nullptr);
    }

    std::vector<Line> Heard() { return heard::Read(log_); }
    std::vector<Line> NoteOns(LONGLONG from = 0, LONGLONG to = LLONG_MAX) { return heard::NoteOns(Heard(), from, to); }
    // Whether every note started before `at` was ended, by its note-off or by silencing, by then.
    bool NothingSoundsAt(LONGLONG at)
    {
        std::vector<int> sounding;
        for (const Line& l : Heard()) {
            if (l.us >= at)
                break;
            if (heard::IsNoteOn(l))
                sounding.push_back(Note(l));
            else if (heard::IsNoteOff(l))
                sounding.erase(std::remove(sounding.begin(), sounding.end(), Note(l)), sounding.end());
            else if (heard::Silences(l))
                sounding.clear();
        }
        return sounding.empty();
    }
    // Waits until the device has been given note `note`'s on (or off) and returns when, 0 if
    // it never was.
    LONGLONG WaitForNote(int note, bool on, LONGLONG after = 0)
    {
        for (LONGLONG end = NowUs() + 5000000; NowUs() < end; Sleep(2))
            for (const Line& l : Heard())
                if (l.us > after && (on ? heard::IsNoteOn(l) : heard::IsNoteOff(l)) && Note(l) == note)
                    return l.us;
        return 0;
    }
    // Plays on for `ms`, pumping the host window, and keeps the position readings.
    void PlayFor(int ms)
    {
        for (LONGLONG end = NowUs() + ms * 1000LL; NowUs() < end; Sleep(15)) {
            LONGLONG at = NowUs();
            readings_.push_back({at, mod->GetPosition()});
            Messages();
        }
    }

    std::string log_, song_;
    std::vector<std::pair<LONGLONG, int>> readings_;
};

} // namespace

// Also run with FluidSynth's port closed (music_without_synth_test): the device then only
// logs, and the sequencer must not wait for it.
TEST_F(Music, NotesSoundInOrderAtTheirTimesAndThePositionFollowsThem)
{
    LONGLONG play = NowUs();
    ASSERT_EQ(mod->Play(song_.c_str()), 0);
    PlayFor(kNotes * kNoteMs + 400);
    mod->Stop();

    std::vector<Line> ons = NoteOns();
    ASSERT_EQ(ons.size(), (size_t)kNotes) << "no log or notes missing: is the MIDI output driver installed (tools/test.sh)?";
    for (int i = 0; i < kNotes; ++i)
        EXPECT_EQ(Note(ons[i]), i);
    // The sequencer opens the output at Play, then keeps to the file's times.
    double lag = (ons[0].us - play) / 1000.0;
    EXPECT_GT(lag, 0);
    EXPECT_LT(lag, 400);
    for (int i = 1; i < kNotes; ++i)
        EXPECT_NEAR((ons[i].us - ons[0].us) / 1000.0, i * kNoteMs, 60) << "note " << i;

    // Where the music is at a reading: the last note begun, plus the time since.
    std::vector<double> errors;
    for (auto [at, position] : readings_) {
        auto next = std::upper_bound(ons.begin(), ons.end(), at, [](LONGLONG t, const Line& l) { return t < l.us; });
        if (next == ons.begin() || at > ons.back().us + 200000)
            continue;
        const Line& last = *(next - 1);
        errors.push_back(position - (Note(last) * kNoteMs + (at - last.us) / 1000.0));
    }
    ASSERT_GT(errors.size(), 100u);
    std::sort(errors.begin(), errors.end(), [](double a, double b) { return std::fabs(a) < std::fabs(b); });
    printf("start lag %.1f ms; position minus music: median %.1f ms, 95th percentile %.1f ms\n", lag,
           errors[errors.size() / 2], errors[errors.size() * 95 / 100]);
    EXPECT_LT(std::fabs(errors[errors.size() * 95 / 100]), 150);
}

// The seek lands between two notes, on note 7's note-off, which Wine's sequencer drops as it
// drops the first event at or after every starting point: note 8 then comes on time.
TEST_F(Music, SeekPlaysOnFromTheNewPositionAndStopLeavesNothingSounding)
{
    ASSERT_EQ(mod->Play(song_.c_str()), 0);
    ASSERT_NE(WaitForNote(2, true), 0);
    mod->SetPosition(1950);
    LONGLONG sought = NowUs();
    PlayFor(100);
    LONGLONG tenth = WaitForNote(10, true, sought);
    ASSERT_NE(tenth, 0) << "no note 10 after the seek";
    Sleep(50);
    LONGLONG stop = NowUs();
    ASSERT_FALSE(NothingSoundsAt(stop)) << "note 10 should sound when Stop is called";
    mod->Stop();
    LONGLONG stopped = NowUs();
    Sleep(300);

    std::vector<Line> after = NoteOns(sought);
    ASSERT_GE(after.size(), 2u);
    int first = Note(after[0]);
    EXPECT_TRUE(first == 8 || first == 9) << "first note after the seek: " << first;
    printf("note %d came %.0f ms after the seek to 1950 ms (due %d ms)\n", first, (after[0].us - sought) / 1000.0,
           first * kNoteMs - 1950);
    for (size_t k = 0; k < after.size(); ++k) {
        EXPECT_EQ(Note(after[k]), first + (int)k);
        EXPECT_NEAR((after[k].us - sought) / 1000.0, Note(after[k]) * kNoteMs - 1950, 150) << "note " << Note(after[k]);
    }
    EXPECT_TRUE(NothingSoundsAt(stopped)) << "a note still sounds after Stop";
    EXPECT_TRUE(NoteOns(stopped).empty());
}

// Pauses in the rest after note 4, when the sequencer waits to start note 5. While paused the
// plug-in's capture is stopped, so what is heard then is recorded by the test itself.
TEST_F(Music, PauseSilencesAndResumePlaysOnFromThePausedPositionToTheEnd)
{
    LONGLONG play = NowUs();
    ASSERT_EQ(mod->Play(song_.c_str()), 0);
    ASSERT_NE(WaitForNote(4, false), 0);
    Sleep(10);
    LONGLONG pause = NowUs();
    mod->Pause();
    LONGLONG paused = NowUs();
    int position = mod->GetPosition();
    Sleep(150); // the reverberation of what was cut off dies away
    double paused_rms = RecordRms(400);
    Sleep(100);
    LONGLONG resume = NowUs();
    mod->Resume();
    PlayFor((kNotes * kNoteMs - position) + 400);
    mod->Stop();

    // Wine's MCI_PAUSE still sends the event the sequencer was waiting for, here note 5's
    // note-on: these two hold only when Pause also stops the device.
    EXPECT_TRUE(NoteOns(paused, resume).empty()) << "a note started while paused";
    EXPECT_LT(paused_rms, kSilent) << "heard while paused";
    EXPECT_TRUE(NothingSoundsAt(paused)) << "a note sounds on after Pause";

    // From the paused position on, allowing the one note Wine drops after a resume, in order to
    // the last.
    std::vector<Line> after = NoteOns(resume);
    ASSERT_FALSE(after.empty()) << "nothing played after Resume";
    int expected = (position + kNoteMs - 1) / kNoteMs;
    int first = Note(after[0]);
    EXPECT_TRUE(first == expected || first == expected + 1) << "paused at " << position << ", resumed with note " << first;
    for (size_t k = 0; k < after.size(); ++k)
        EXPECT_EQ(Note(after[k]), first + (int)k);
    EXPECT_EQ(Note(after.back()), kNotes - 1) << "did not play to the end";

    // What the sinks got: loud while the notes sounded before the pause and after the resume.
    // Capture starts recording some 300 ms after Play.
    double before_rms = BlocksRms(play + 500000, pause);
    double after_rms = BlocksRms(after[0].us + 100000, after.back().us + 150000);
    printf("captured loudness: %.0f before the pause, %.0f while paused, %.0f after the resume\n", before_rms,
           paused_rms, after_rms);
    EXPECT_GT(before_rms, kLoud);
    EXPECT_GT(after_rms, kLoud);
}
