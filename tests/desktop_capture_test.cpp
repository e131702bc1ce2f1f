// Capture on a sound server set up as a user's desktop is (tests/desktop_capture.sh starts it,
// with a FluidSynth of its own rendering into it): an output "Speakers", and a microphone, no
// monitor, as the default input, sounding a steady tone. A piece that is silent for 2.5 s and
// then plays loud chords must reach the sinks quiet in the silence and loud in the chords: what
// the output plays, not what the microphone hears. With a second output "HDMI" as the default,
// the tests show which input is recorded.
#include "tests/rig/plugin_rig.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <thread>

#include "synth/log_reader.h"
#include "tests/captured_blocks.h"
#include "tests/loudness.h"
#include "tools/midi_writer.h"

using rig::PluginTest;

namespace {

// 2.5 s at 480 ticks a quarter and 500,000 us a quarter: on a loaded machine the first capture
// of a process can take more than a second to deliver its first block.
constexpr int kSilentTicks = 2400;
constexpr int kChordTicks = 576;   // 0.6 s
constexpr int kChords = 4;

// Organ chords (an organ holds its loudness while a key is down), at full velocity.
MidiSong SilenceThenChords()
{
    MidiSong song;
    song.programs.push_back({0, 19});
    const int chords[kChords][3] = {{60, 64, 67}, {62, 65, 69}, {64, 67, 71}, {65, 69, 72}};
    for (int c = 0; c < kChords; ++c)
        for (int pitch : chords[c])
            song.notes.push_back({kSilentTicks + c * kChordTicks, kChordTicks - 24, 0, pitch, 127});
    return song;
}

// The plug-in's settings folder is the test's own: appdata.dll's function is answered here.
std::string settings_folder;
void* real_get_proc_address = nullptr;

int __cdecl TestFolder(char* buffer, unsigned size)
{
    lstrcpynA(buffer, settings_folder.c_str(), size);
    return 0;
}

FARPROC WINAPI TestGetProcAddress(HMODULE module, LPCSTR name)
{
    if (HIWORD(name) != 0 && strcmp(name, "GetCommonAppDataPathA") == 0)
        return (FARPROC)(void*)TestFolder;
    return ((FARPROC(WINAPI*)(HMODULE, LPCSTR))real_get_proc_address)(module, name);
}

// The wave input Wine lists under `name` (WAVE_MAPPER when none is).
UINT InputNamed(const WCHAR* name)
{
    for (UINT id = 0, count = waveInGetNumDevs(); id < count; ++id) {
        WAVEINCAPSW caps;
        if (waveInGetDevCapsW(id, &caps, sizeof(caps)) == MMSYSERR_NOERROR && lstrcmpW(caps.szPname, name) == 0)
            return id;
    }
    return WAVE_MAPPER;
}

} // namespace

class DesktopCapture : public PluginTest {
protected:
    void SetUp() override
    {
        PluginTest::SetUp();
        settings_folder = Folder().substr(0, Folder().size() - 1);
        folder_patch = new rig::ImportPatch(dll, "kernel32.dll", "GetProcAddress", (void*)TestGetProcAddress);
        real_get_proc_address = folder_patch->original();
        log = Folder() + "heard.log";
        SetEnvironmentVariableA("MIDI_LOG_FILE", log.c_str());
        captured::Clear();
        mod->pcm_sink_a = captured::Keep;
    }
    void TearDown() override
    {
        delete folder_patch; // while the plug-in is still loaded
        PluginTest::TearDown();
        DeleteFileA((Folder() + "vesk.ini").c_str());
        SetEnvironmentVariableA("MIDI_LOG_FILE", nullptr);
    }
    // Names the input device in the settings file, as a user would, and has the plug-in read it.
    void NameDevice(const char* name)
    {
        ASSERT_TRUE(WritePrivateProfileStringA("Midi File Player", "sample_device", name, (Folder() + "vesk.ini").c_str()));
    }

    // Plays the piece with capture on, and gives the median loudness of the blocks in the
    // silence (from 0.4 s after Play to the first chord) and in the chords (from 0.3 s into
    // the first to the end of the last: the sound server and the capture take their time).
    // The test listens itself to the monitor of the output the music plays on, `played_on`:
    // on a loaded machine the MIDI output now and then misses FluidSynth's port (its connect
    // times out) or FluidSynth falls far behind, and a piece that hardly sounded is played again.
    void PlayPiece(const WCHAR* played_on, double* silence, double* music)
    {
        mod->LoadSettings();
        std::string song = Folder() + "chords.mid";
        ASSERT_TRUE(WriteMidiFile(song, SilenceThenChords()));
        UINT output_monitor = InputNamed(played_on);
        ASSERT_NE(output_monitor, WAVE_MAPPER) << "the output's monitor is not listed";
        bool sounded = false;
        for (int attempt = 0; attempt < 3 && !sounded; ++attempt) {
            captured::Clear();
            DeleteFileA(log.c_str());
            std::vector<short> heard_on_output;
            std::thread listen([&] { loudness::Record(5500, &heard_on_output, output_monitor); });
            LONGLONG play = heard::NowUs();
            ASSERT_EQ(mod->Play(song.c_str()), 0);
            for (LONGLONG end = play + 5500000; heard::NowUs() < end; Sleep(50))
                Messages();
            mod->Stop();
            listen.join();
            // The chords fill almost half the recording: a quarter of its 10 ms stretches should sound.
            const size_t kStretch = 441 * 2;
            size_t stretches = heard_on_output.size() / kStretch, sounding = 0;
            for (size_t i = 0; i < stretches; ++i)
                sounding += std::any_of(heard_on_output.begin() + i * kStretch, heard_on_output.begin() + (i + 1) * kStretch,
                                        [](short s) { return s != 0; });
            sounded = stretches > 0 && sounding * 4 >= stretches;
            if (!sounded) {
                printf("the piece sounded on the output in %zu of %zu stretches: played again\n", sounding, stretches);
                continue;
            }
            LONGLONG first_on = LLONG_MAX, last_off = 0;
            for (const heard::Line& l : heard::Read(log)) {
                if (heard::IsNoteOn(l))
                    first_on = std::min(first_on, l.us);
                else if (heard::IsNoteOff(l))
                    last_off = std::max(last_off, l.us);
            }
            ASSERT_NE(first_on, LLONG_MAX) << "no chord reached the MIDI output";
            *silence = captured::MedianRms(play + 400000, first_on);
            *music = captured::MedianRms(first_on + 300000, last_off);
            printf("%zu blocks; median RMS %.0f in the silence, %.0f in the chords\n", captured::Count(), *silence, *music);
        }
        ASSERT_TRUE(sounded) << "the piece never sounded: is the FluidSynth of tests/desktop_capture.sh running?";
    }

    rig::ImportPatch* folder_patch = nullptr;
    std::string log;
};

TEST_F(DesktopCapture, TheSinksGetWhatTheOutputPlaysNotTheMicrophone)
{
    double silence = -1, music = -1;
    ASSERT_NO_FATAL_FAILURE(PlayPiece(L"Monitor of Speakers", &silence, &music));
    ASSERT_GE(silence, 0) << "no block in the silence";
    ASSERT_GE(music, 0) << "no block in the chords";
    EXPECT_GT(music, 4 * silence) << "the sinks got the same in the silence as in the chords: the microphone?";
}

// "HDMI", the second output, is the default: the music plays there. Wine names the default
// output only "PulseAudio", so the plug-in cannot tell, and records the first monitor Wine
// lists (Wine keeps the outputs in its own order): never the microphone, and the music only
// when that monitor is HDMI's.
TEST_F(DesktopCapture, WithTwoOutputsTheFirstMonitorWineListsIsRecorded)
{
    WCHAR first[MAXPNAMELEN] = L"";
    for (UINT id = 0, count = waveInGetNumDevs(); id < count && first[0] == L'\0'; ++id) {
        WAVEINCAPSW caps;
        if (waveInGetDevCapsW(id, &caps, sizeof(caps)) == MMSYSERR_NOERROR && wcsncmp(caps.szPname, L"Monitor of ", 11) == 0)
            lstrcpynW(first, caps.szPname, MAXPNAMELEN);
    }
    double microphone = loudness::RecordRms(500);
    double silence = -1, music = -1;
    ASSERT_NO_FATAL_FAILURE(PlayPiece(L"Monitor of HDMI", &silence, &music));
    printf("the microphone alone: RMS %.0f; Wine lists \"%ls\" first\n", microphone, first);
    ASSERT_GT(microphone, 0) << "no microphone tone: is the sound server of tests/desktop_capture.sh running?";
    ASSERT_GE(silence, 0) << "no block in the silence";
    ASSERT_GE(music, 0) << "no block in the chords";
    EXPECT_LT(silence, microphone / 10) << "the microphone is recorded";
    if (lstrcmpW(first, L"Monitor of HDMI") == 0)
        EXPECT_GT(music, 4 * silence) << "HDMI's monitor, where the music plays, is not recorded";
    else
        EXPECT_LT(music, microphone / 10) << "the music is recorded, not the first monitor listed";
}

// The user names the monitor of the output the music plays on in the settings file.
TEST_F(DesktopCapture, WithTwoOutputsTheSettingNamesTheInput)
{
    NameDevice("Monitor of HDMI");
    double silence = -1, music = -1;
    ASSERT_NO_FATAL_FAILURE(PlayPiece(L"Monitor of HDMI", &silence, &music));
    ASSERT_GE(silence, 0) << "no block in the silence";
    ASSERT_GE(music, 0) << "no block in the chords";
    EXPECT_GT(music, 4 * silence);
}
