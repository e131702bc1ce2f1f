// What sounds: Wine's sequencer plays files through the project's MIDI output driver
// (synth/), which logs every message it gets into MIDI_LOG_FILE and plays it on FluidSynth;
// tools/test.sh installs the driver and starts FluidSynth, rendering into the null sink whose
// monitor the plug-in captures. The tests rebuild from the log which notes sounded when.
#include "tests/rig/plugin_rig.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "synth/log_reader.h"
#include "tests/captured_blocks.h"
#include "tests/loudness.h"
#include "tools/midi_writer.h"

using rig::PluginTest;

namespace {

constexpr int kNotes = 16;
constexpr int kNoteMs = 250; // 240 ticks at the default tempo
constexpr int kFirstPitch = 60;

using heard::FileNotes;
using heard::Line;
using heard::Match;
using heard::NowUs;
using heard::Timing;
using loudness::RecordRms;

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

constexpr double kLoud = 100; // an organ note at FluidSynth's default gain: about 350
// While paused only the reverberation of the cut note is left, fading: at most a tenth of the
// loudness while the notes sounded (measured: 4 against 310, 51 against 679).
constexpr double kSilentShare = 0.1;

class Music : public PluginTest {
protected:
    void SetUp() override
    {
        PluginTest::SetUp();
        log_ = Folder() + "heard.log";
        SetEnvironmentVariableA("MIDI_LOG_FILE", log_.c_str());
        song_ = Folder() + "line.mid";
        ASSERT_TRUE(WriteMidiFile(song_, Line16()));
        captured::Clear();
        mod->pcm_sink_a = captured::Keep;
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

    // A seek to `point` played for `ms`, then a pause of 300 ms and a resume played for `ms`:
    // when each call was made and returned, and the positions around them.
    struct SeekAndResume {
        LONGLONG seek, sought, resume, resumed;
        int from, paused_at, again, stopped_at;
        // How the notes heard after each keep to the file's, against the clock.
        void Match(const std::vector<Line>& heard, const std::vector<std::pair<double, int>>& notes, Timing out[2])
        {
            out[0] = heard::Match(heard, seek, sought, from, paused_at, notes);
            out[1] = heard::Match(heard, resume, resumed, again, stopped_at, notes);
        }
    };
    SeekAndResume SeekPauseResume(int point, int ms)
    {
        SeekAndResume r;
        r.seek = NowUs();
        mod->SetPosition(point);
        r.sought = NowUs();
        r.from = mod->GetPosition();
        PlayFor(ms);
        r.paused_at = mod->GetPosition();
        mod->Pause();
        Sleep(300);
        r.resume = NowUs();
        mod->Resume();
        r.resumed = NowUs();
        r.again = mod->GetPosition();
        PlayFor(ms);
        r.stopped_at = mod->GetPosition();
        return r;
    }

    // What the device took each long message it got from `from` on for, until its first note.
    std::vector<std::string> SysexBeforeNextNote(LONGLONG from)
    {
        std::vector<std::string> readings;
        for (const Line& l : Heard()) {
            if (l.us < from)
                continue;
            if (heard::IsNoteOn(l))
                break;
            if (l.name == "longdata")
                readings.push_back(l.reading);
        }
        return readings;
    }

    std::string log_, song_;
    std::vector<std::pair<LONGLONG, int>> readings_;
};

// 400 master volume messages over the first 10 s, then a note every 250 ms for 15 s.
static std::string VolumeSweep()
{
    std::string track;
    for (int i = 0; i < 400; ++i)
        track += std::string(i == 0 ? "\x00" : "\x0C", 1) + std::string("\xF0\x07\x7F\x7F\x04\x01\x00", 7) +
                 char(i * 127 / 400) + "\xF7";
    for (int i = 0; i < 60; ++i)
        track += std::string(1, i == 0 ? '\x0C' : '\x3C') + "\x90\x3C\x64\x3C\x80\x3C" + std::string(1, '\0');
    track += std::string("\x00\xFF\x2F\x00", 4);
    std::string size = {char(track.size() >> 24), char(track.size() >> 16), char(track.size() >> 8), char(track.size())};
    return std::string("MThd\0\0\0\x06\0\0\0\x01\0\xF0MTrk", 18) + size + track;
}

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

    // A paused Wine sequencer still sends the event it was waiting for, here note 5's note-on:
    // these two hold only because Pause stops the device.
    EXPECT_TRUE(NoteOns(paused, resume).empty()) << "a note started while paused";
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
    double before_rms = captured::MedianRms(play + 500000, pause);
    double after_rms = captured::MedianRms(after[0].us + 100000, after.back().us + 150000);
    printf("captured loudness: %.0f before the pause, %.0f while paused, %.0f after the resume\n", before_rms,
           paused_rms, after_rms);
    EXPECT_GT(before_rms, kLoud);
    EXPECT_GT(after_rms, kLoud);
    EXPECT_LT(paused_rms, before_rms * kSilentShare) << "heard while paused";
}

// Bach's C major prelude changes tempo 358 times. After a seek into the middle, and after a
// pause and resume, every note due is heard, none twice, each in time with the clock.
TEST_F(Music, AfterASeekAndAResumeEveryNoteSoundsOnTime)
{
    const char* kFile = "bach-prelude-c-major-bwv846.mid";
    std::vector<std::pair<double, int>> notes = FileNotes(rig::ProgramFolder() + "midi_lengths\\", kFile);
    ASSERT_GT(notes.size(), 500u) << "no notes.txt (the midi_lengths test writes it)";
    std::string path = rig::ProgramFolder() + "midi_lengths\\" + kFile;
    ASSERT_EQ(mod->Play(path.c_str()), 0);
    PlayFor(1000);
    SeekAndResume r = SeekPauseResume(61234, 4000);
    mod->Stop();

    EXPECT_GE(r.again, r.paused_at);
    Timing timings[2];
    r.Match(Heard(), notes, timings);
    const char* what[] = {"after the seek", "after the resume"};
    for (int i = 0; i < 2; ++i) {
        const Timing& t = timings[i];
        printf("%s: %d notes due, %d lost, %d added; offset against the clock: median %+.1f ms, farthest "
               "from it %.1f ms\n",
               what[i], t.due, t.lost, t.added, t.median, t.worst);
        EXPECT_GE(t.due, 10) << what[i];
        EXPECT_EQ(t.lost, 0) << what[i];
        EXPECT_EQ(t.added, 0) << what[i];
        EXPECT_LE(t.worst, 40) << what[i];
    }
}

// A General MIDI band piece, dense with notes and tempo changes, played from the start for 30 s:
// its last notes are as early or late against the clock as its first.
TEST_F(Music, ADensePieceKeepsToTheClockFromItsFirstNotesToItsLast)
{
    const char* kFile = "midnight_snow_run.mid";
    std::vector<std::pair<double, int>> notes = FileNotes(rig::ProgramFolder() + "midi_lengths\\", kFile);
    ASSERT_GT(notes.size(), 100u) << "no notes.txt (the midi_lengths test writes it)";
    std::string path = rig::ProgramFolder() + "midi_lengths\\" + kFile;
    LONGLONG play = NowUs();
    ASSERT_EQ(mod->Play(path.c_str()), 0);
    LONGLONG started = NowUs();
    PlayFor(30000);
    int until = mod->GetPosition();
    mod->Stop();

    Timing t = Match(Heard(), play, started, 0, until, notes);
    ASSERT_GT(t.offsets.size(), 60u);
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    double first = median({t.offsets.begin(), t.offsets.begin() + 20});
    double last = median({t.offsets.end() - 20, t.offsets.end()});
    printf("%d notes in %d ms; offset against the clock: %+.1f ms over the first 20, %+.1f ms over the last 20\n",
           (int)t.offsets.size(), until, first, last);
    EXPECT_NEAR(last, first, 30);
}

// Wine's sequencer sends no sysex: the plug-in sends a file's set-up before every start, in the
// file's order, the last of each kind before a seek or resume (the GS reset replacing the GM
// System On before it), and the notes still come on time. A file of hundreds of sysex before
// the point sends only the last.
TEST_F(Music, TheFilesSysexSetUpArrivesBeforeTheFirstNoteAtEveryStart)
{
    const char* kFile = "gs-setup-song.mid";
    std::vector<std::pair<double, int>> notes = FileNotes(rig::ProgramFolder() + "midi_lengths\\", kFile);
    ASSERT_GT(notes.size(), 200u) << "no notes.txt (the midi_lengths test writes it)";
    std::string path = rig::ProgramFolder() + "midi_lengths\\" + kFile;
    LONGLONG play = NowUs();
    ASSERT_EQ(mod->Play(path.c_str()), 0);
    PlayFor(3000);
    SeekAndResume r = SeekPauseResume(20000, 3000);
    mod->Stop();

    std::vector<std::string> parts(16, "gs-rhythm-part");
    std::vector<std::string> at_start = {"gm-system-on", "gs-reset", "master-volume"};
    at_start.insert(at_start.end(), parts.begin(), parts.end());
    std::vector<std::string> later(at_start.begin() + 1, at_start.end());
    EXPECT_EQ(SysexBeforeNextNote(play), at_start);
    EXPECT_EQ(SysexBeforeNextNote(r.seek), later) << "after the seek";
    EXPECT_EQ(SysexBeforeNextNote(r.resume), later) << "after the resume";
    Timing timings[2];
    r.Match(Heard(), notes, timings);
    const char* what[] = {"after the seek", "after the resume"};
    for (int i = 0; i < 2; ++i) {
        const Timing& t = timings[i];
        printf("%s: %d notes due, %d lost; offset against the clock: median %+.1f ms, farthest from it %.1f ms\n",
               what[i], t.due, t.lost, t.median, t.worst);
        EXPECT_GE(t.due, 5) << what[i];
        EXPECT_EQ(t.lost, 0) << what[i];
        EXPECT_LE(t.worst, 40) << what[i];
    }

    std::string sweep = WriteBytes("sweep.mid", VolumeSweep());
    ASSERT_EQ(mod->Play(sweep.c_str()), 0);
    PlayFor(500);
    LONGLONG seek = NowUs();
    mod->SetPosition(15000);
    printf("a seek past 400 sysex: %.1f ms\n", (NowUs() - seek) / 1000.0);
    PlayFor(1000);
    mod->Stop();
    EXPECT_EQ(SysexBeforeNextNote(seek), std::vector<std::string>{"master-volume"});
}

// The player's volume and balance sliders. Wine's mixer has no synthesizer line, so the plug-in
// sets the MIDI output's own volume, which the driver carries to FluidSynth: a steady organ
// chord, each side of it as the null sink hears it, at the settings in turn.
TEST_F(Music, TheVolumeAndBalanceSlidersAreHeard)
{
    MidiSong chord;
    chord.programs.push_back({0, 19});
    // The channel as a reset leaves it: a file played before may have set it otherwise.
    chord.others = {MidiControl(0, 0, 7, 100, 1), MidiControl(0, 0, 10, 64, 1), MidiControl(0, 0, 11, 127, 1),
                    MidiControl(0, 0, 8, 64, 1)};
    for (int pitch : {60, 64, 67})
        chord.notes.push_back({0, 60 * 480, 0, pitch, 100}); // 30 s
    std::string path = Folder() + "chord.mid";
    ASSERT_TRUE(WriteMidiFile(path, chord));
    RecordRms(100); // the first wave input a program opens hands over sound from before it
    mod->SetPan(0);
    mod->SetVolume(255);
    ASSERT_EQ(mod->Play(path.c_str()), 0);
    Sleep(500); // past the chord's attack
    struct Sides {
        double left = -1, right = -1;
        double Both() const { return (left + right) / 2; }
    };
    auto heard_at = [&](int volume, int pan) {
        mod->SetPan(pan);
        mod->SetVolume(volume);
        Sleep(250);
        Sides s;
        loudness::RecordSteadyStereo(700, &s.left, &s.right);
        return s;
    };
    Sides full = heard_at(255, 0), quiet = heard_at(40, 0), left = heard_at(255, -127), right = heard_at(255, 127),
          again = heard_at(255, 0);
    mod->Stop();

    // The chord's loudness wanders by up to a fifth from one recording to the next (its notes
    // beat against each other), so each setting is held against the two recordings at full
    // volume and in the middle around it.
    double full_left = (full.left + again.left) / 2, full_right = (full.right + again.right) / 2;
    double quiet_share = quiet.Both() / ((full_left + full_right) / 2);
    printf("left / right: volume 255 %.0f / %.0f, volume 40 %.0f / %.0f (%.3f of 255), pan -127 %.0f / %.0f, "
           "pan 127 %.0f / %.0f, back at 255 and 0 %.0f / %.0f\n",
           full.left, full.right, quiet.left, quiet.right, quiet_share, left.left, left.right, right.left,
           right.right, again.left, again.right);
    ASSERT_GT(full.Both(), kLoud) << "nothing heard: is FluidSynth rendering into the null sink?";
    EXPECT_NEAR(again.Both() / full.Both(), 1, 0.3) << "volume 255 and the middle again";
    // The gain follows the volume: 40 / 255 of it.
    EXPECT_NEAR(quiet_share, 40.0 / 255, 0.05);
    // Full balance to one side leaves the other with the reverberation alone, and the louder
    // side as it was.
    EXPECT_LT(left.right, left.left * 0.2);
    EXPECT_NEAR(left.left / full_left, 1, 0.3);
    EXPECT_LT(right.left, right.right * 0.2);
    EXPECT_NEAR(right.right / full_right, 1, 0.3);
}
