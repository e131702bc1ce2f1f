// Faults the plug-in meets on real machines, injected by substituting the system functions it
// imports: no wave input device, a thread that cannot start, no mixer or no synthesizer line,
// "appdata.dll" missing or failing, a settings file that cannot be written, a download service
// that fails or is absent, a host sink that takes 50 ms a block, a sequencer that fails.
#include <windows.h>
#include <mmsystem.h>

#include <cstring>

#include "validate/common.h"
#include "validate/fakes.h"
#include "validate/figures.h"
#include "validate/groups.h"

namespace validate {

// --- wave input, counted and optionally failing -----------------------------------------

struct WaveSpyState {
    MMRESULT open_result = 0;
    int close_still_playing = 0; // answer WAVERR_STILLPLAYING this many times first
    int open = 0, start = 0, stop = 0, reset = 0, close = 0, add = 0, prepare = 0;
    int opened = 0;              // devices open now
    int bad_format = 0;
    UINT last_id = 0;            // the device the last open asked for
};
static WaveSpyState wave;
static void *real_open, *real_start, *real_stop, *real_reset, *real_close, *real_add, *real_prepare;

static MMRESULT WINAPI SpyWaveInOpen(LPHWAVEIN device, UINT id, LPCWAVEFORMATEX format, DWORD_PTR callback,
                                    DWORD_PTR instance, DWORD flags)
{
    ++wave.open;
    if (format == nullptr || format->wFormatTag != WAVE_FORMAT_PCM || format->nChannels != 2 ||
        format->nSamplesPerSec != 44100 || format->nAvgBytesPerSec != 176400 || format->nBlockAlign != 4 ||
        format->wBitsPerSample != 16)
        ++wave.bad_format;
    wave.last_id = id;
    if (wave.open_result != 0)
        return wave.open_result;
    MMRESULT result = ((MMRESULT(WINAPI*)(LPHWAVEIN, UINT, LPCWAVEFORMATEX, DWORD_PTR, DWORD_PTR, DWORD))real_open)(
        device, id, format, callback, instance, flags);
    wave.opened += result == 0;
    return result;
}

static MMRESULT WINAPI SpyWaveInStart(HWAVEIN d) { ++wave.start; return ((MMRESULT(WINAPI*)(HWAVEIN))real_start)(d); }
static MMRESULT WINAPI SpyWaveInStop(HWAVEIN d) { ++wave.stop; return ((MMRESULT(WINAPI*)(HWAVEIN))real_stop)(d); }
static MMRESULT WINAPI SpyWaveInReset(HWAVEIN d) { ++wave.reset; return ((MMRESULT(WINAPI*)(HWAVEIN))real_reset)(d); }

static MMRESULT WINAPI SpyWaveInClose(HWAVEIN d)
{
    ++wave.close;
    if (wave.close_still_playing > 0) {
        --wave.close_still_playing;
        return WAVERR_STILLPLAYING;
    }
    MMRESULT result = ((MMRESULT(WINAPI*)(HWAVEIN))real_close)(d);
    wave.opened -= result == 0;
    return result;
}

static MMRESULT WINAPI SpyWaveInAddBuffer(HWAVEIN d, LPWAVEHDR h, UINT size)
{
    ++wave.add;
    return ((MMRESULT(WINAPI*)(HWAVEIN, LPWAVEHDR, UINT))real_add)(d, h, size);
}

static MMRESULT WINAPI SpyWaveInPrepareHeader(HWAVEIN d, LPWAVEHDR h, UINT size)
{
    ++wave.prepare;
    return ((MMRESULT(WINAPI*)(HWAVEIN, LPWAVEHDR, UINT))real_prepare)(d, h, size);
}

class WaveSpy {
public:
    bool Install(HMODULE module)
    {
        wave = WaveSpyState();
        bool ok = open_.Set(module, "winmm.dll", "waveInOpen", (void*)SpyWaveInOpen);
        start_.Set(module, "winmm.dll", "waveInStart", (void*)SpyWaveInStart);
        stop_.Set(module, "winmm.dll", "waveInStop", (void*)SpyWaveInStop);
        reset_.Set(module, "winmm.dll", "waveInReset", (void*)SpyWaveInReset);
        close_.Set(module, "winmm.dll", "waveInClose", (void*)SpyWaveInClose);
        add_.Set(module, "winmm.dll", "waveInAddBuffer", (void*)SpyWaveInAddBuffer);
        prepare_.Set(module, "winmm.dll", "waveInPrepareHeader", (void*)SpyWaveInPrepareHeader);
        real_open = open_.original();
        real_start = start_.original();
        real_stop = stop_.original();
        real_reset = reset_.original();
        real_close = close_.original();
        real_add = add_.original();
        real_prepare = prepare_.original();
        return ok;
    }
    ~WaveSpy() { Remove(); }
    void Remove()
    {
        open_.Restore();
        start_.Restore();
        stop_.Restore();
        reset_.Restore();
        close_.Restore();
        add_.Restore();
        prepare_.Restore();
    }

private:
    ImportPatch open_, start_, stop_, reset_, close_, add_, prepare_;
};

static int threads_created = 0;
static void* real_create_thread = nullptr;

static HANDLE WINAPI CountingCreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stack, LPTHREAD_START_ROUTINE start,
                                         LPVOID parameter, DWORD flags, LPDWORD id)
{
    ++threads_created;
    return ((HANDLE(WINAPI*)(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD, LPDWORD))
                real_create_thread)(security, stack, start, parameter, flags, id);
}

static int DeviceCallsBesideOpen()
{
    return wave.start + wave.stop + wave.reset + wave.close + wave.add + wave.prepare;
}

// Loads with capture on and the wave functions watched; skips (false) when the build has none.
static bool LoadCapturing(Plugin& plugin, Check& check, WaveSpy& spy, bool need_device)
{
    LoadWithSample(plugin, check, 1);
    if (check.failed())
        return false;
    Features f = FeaturesOf(plugin);
    if (!f.capture || (need_device && !MachineHasWaveInput())) {
        check.Skip("%s", SkipReasonCapture(f).c_str());
        return false;
    }
    spy.Install(plugin.dll);
    return true;
}

static void NoWaveInput()
{
    Check check("fault-capture/no wave input device");
    std::string file = WriteMidi("four.mid", 4);
    WarmUp(file);
    struct Case {
        MMRESULT result;
        const char* label;
    } cases[] = {{MMSYSERR_BADDEVICEID, "no device"}, {MMSYSERR_NODRIVER, "no driver"}, {WAVERR_BADFORMAT, "format refused"}};
    // Under Wine the plug-in reads the wave device list before it opens an input, and the first
    // refusal after that leaves a lasting handle of Wine's: one refused start before counting,
    // so that what is counted is what each start leaves.
    {
        Plugin plugin;
        WaveSpy spy;
        if (!LoadCapturing(plugin, check, spy, false))
            return;
        wave.open_result = MMSYSERR_BADDEVICEID;
        plugin.mod->Play(file.c_str());
        plugin.mod->Stop();
    }
    Figures before = Measure();
    for (const Case& c : cases) {
        Plugin plugin;
        WaveSpy spy;
        ResetHostLog();
        if (!LoadCapturing(plugin, check, spy, false))
            return;
        wave.open_result = c.result;
        ImportPatch create(plugin.dll, "kernel32.dll", "CreateThread", (void*)CountingCreateThread);
        real_create_thread = create.original();
        threads_created = 0;
        check.Expect(plugin.mod->Play(file.c_str()) == 0, "%s: Play failed because capture could not start", c.label);
        // Under Wine the output's monitor is asked first; the wave mapper is the last resort.
        check.Expect(wave.open >= 1 && wave.open <= 2 && wave.last_id == WAVE_MAPPER,
                     "%s: waveInOpen called %d times, the last on device %d rather than the wave mapper", c.label,
                     wave.open, (int)wave.last_id);
        check.Expect(wave.bad_format == 0, "waveInOpen not asked for 44.1 kHz 16-bit stereo");
        check.Expect(threads_created == 0, "%s: a thread started without a device", c.label);
        plugin.mod->Pause();
        plugin.mod->Resume();
        plugin.mod->GetPosition();
        StopAndMark(plugin.mod);
        check.Expect(DeviceCallsBesideOpen() == 0, "%s: %d calls on the device that did not open", c.label,
                     DeviceCallsBesideOpen());
        check.Expect(host.seen.sink_a == 0 && host.seen.vis_close == 1, "%s: sinks %d, vis_close %d", c.label, (int)host.seen.sink_a,
                     (int)host.seen.vis_close);
        create.Restore();
        spy.Remove();
        plugin.Unload();
    }
    Figures after = MeasureSettled(before);
    check.Expect(SameAs(before, after), "not back where it started: %s", Describe(before, after).c_str());
    check.Figure("Play plays on without capture for 3 device failures; %s", Describe(before, after).c_str());
}

static HANDLE WINAPI FailingCreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD, LPDWORD)
{
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
}

static void ThreadCannotStart()
{
    Check check("fault-capture/capture thread cannot start");
    std::string file = WriteMidi("four.mid", 4);
    WarmUp(file);
    Plugin plugin;
    WaveSpy spy;
    ResetHostLog();
    if (!LoadCapturing(plugin, check, spy, true))
        return;
    ImportPatch create(plugin.dll, "kernel32.dll", "CreateThread", (void*)FailingCreateThread);
    if (!create.ok()) {
        check.Skip("the plug-in does not start its thread with CreateThread");
        return;
    }
    Figures before = Measure();
    check.Expect(plugin.mod->Play(file.c_str()) == 0, "Play failed when the capture thread could not start");
    plugin.mod->Pause();
    plugin.mod->Resume();
    DWORD start = GetTickCount();
    plugin.mod->Stop();
    DWORD took = GetTickCount() - start;
    check.Expect(wave.opened == 0, "the input device stays open after Stop (%d open)", wave.opened);
    create.Restore();
    spy.Remove();
    Figures after = MeasureSettled(before);
    check.Expect(SameAs(before, after), "not back where it started: %s", Describe(before, after).c_str());
    check.Figure("Stop took %lu ms, device closed; %s", took, Describe(before, after).c_str());
}

static void CloseStillPlaying()
{
    Check check("fault-capture/device busy at close");
    std::string file = WriteMidi("four.mid", 4);
    Plugin plugin;
    WaveSpy spy;
    ResetHostLog();
    if (!LoadCapturing(plugin, check, spy, true))
        return;
    check.Expect(plugin.mod->Play(file.c_str()) == 0, "Play refused a valid file");
    WaitForBlocks(1, 8000);
    wave.close_still_playing = 3;
    StopAndMark(plugin.mod);
    check.Expect(wave.close == 4 && wave.opened == 0, "waveInClose called %d times, %d devices open after Stop",
                 wave.close, wave.opened);
    check.Expect(watch.sink_after_stop == 0, "a sink was called after Stop returned");
    check.Figure("close answered \"still playing\" 3 times, tried %d times", wave.close);
}

static void PauseStopsRecording()
{
    Check check("fault-capture/pause stops the recording");
    std::string file = WriteMidi("long.mid", 16);
    Plugin plugin;
    WaveSpy spy;
    ResetHostLog();
    if (!LoadCapturing(plugin, check, spy, true))
        return;
    WarmUp(file);
    Figures before = Measure();
    check.Expect(plugin.mod->Play(file.c_str()) == 0, "Play refused a valid file");
    check.Expect(WaitForBlocks(3, 8000), "fewer than 3 blocks in 8 s of capture");
    int at_pause = host.seen.sink_a;
    plugin.mod->Pause();
    check.Expect(wave.stop >= 1, "Pause did not stop the input device");
    Sleep(400);
    // What the two buffers held when the device stopped may still arrive, and nothing more.
    int while_paused = host.seen.sink_a - at_pause;
    check.Expect(while_paused <= 2, "%d blocks arrived in 400 ms of pause", while_paused);
    plugin.mod->Resume();
    check.Expect(wave.start >= 2, "Resume did not restart the input device");
    check.Expect(WaitForBlocks(host.seen.sink_a + 2, 8000), "no blocks after Resume");
    plugin.mod->Pause();
    StopAndMark(plugin.mod); // while paused
    check.Expect(wave.opened == 0 && wave.reset >= 1, "Stop while paused left the device open (reset %d)", wave.reset);
    Figures after = MeasureSettled(before);
    check.Expect(SameAs(before, after), "Stop while paused did not end everything: %s", Describe(before, after).c_str());
    check.Expect(watch.sink_after_stop == 0 && host.seen.sink_unpaired == 0, "sinks after Stop %d, unpaired %d",
                 (int)watch.sink_after_stop, (int)host.seen.sink_unpaired);
    check.Figure("%d blocks while paused; %d blocks in all", while_paused, (int)host.seen.sink_a);
}

void GroupFaultCapture()
{
    NoWaveInput();
    ThreadCannotStart();
    CloseStillPlaying();
    PauseStopsRecording();
}

// --- mixer -------------------------------------------------------------------------------

static bool LoadWithMixer(Plugin& plugin, Check& check, FakeMixer& mixer)
{
    LoadWithSample(plugin, check, 0);
    if (check.failed())
        return false;
    if (!FeaturesOf(plugin).mixer) {
        check.Skip("the build does not drive the mixer (it does not import mixerOpen)");
        return false;
    }
    fake_mixer = FakeMixerState();
    if (!mixer.Install(plugin.dll)) {
        check.Expect(false, "the plug-in imports mixerOpen but not all of the mixer functions it needs");
        return false;
    }
    return true;
}

static void MixerMissing()
{
    Check check("fault-mixer/no mixer, no line, no control");
    std::string file = WriteMidi("four.mid", 4);
    struct Case {
        MMRESULT open, line, controls;
        const char* label;
    } cases[] = {{MMSYSERR_BADDEVICEID, 0, 0, "no mixer"},
                 {0, MIXERR_INVALLINE, 0, "no synthesizer line"},
                 {0, 0, MIXERR_INVALCONTROL, "no volume control"}};
    for (const Case& c : cases) {
        Plugin plugin;
        FakeMixer mixer;
        if (!LoadWithMixer(plugin, check, mixer))
            return;
        fake_mixer.open_result = c.open;
        fake_mixer.line_result = c.line;
        fake_mixer.controls_result = c.controls;
        check.Expect(plugin.mod->Play(file.c_str()) == 0, "%s: Play failed", c.label);
        plugin.mod->SetVolume(200);
        plugin.mod->SetPan(-50);
        plugin.mod->Stop();
        int opened = c.open == 0 ? fake_mixer.opens : 0;
        check.Expect(fake_mixer.sets == 0, "%s: levels set %d times", c.label, fake_mixer.sets);
        check.Expect(fake_mixer.closes == opened, "%s: mixer opened %d times, closed %d", c.label, opened, fake_mixer.closes);
        check.Expect(fake_mixer.opens == 3, "%s: %d mixer applications, expected 3 (Play, SetVolume, SetPan)", c.label,
                     fake_mixer.opens);
        mixer.Remove();
    }
    check.Figure("3 failures, each mixer opened was closed");
}

static void MixerLevels()
{
    Check check("fault-mixer/levels on the synthesizer line");
    std::string file = WriteMidi("four.mid", 4);
    Plugin plugin;
    FakeMixer mixer;
    if (!LoadWithMixer(plugin, check, mixer))
        return;
    fake_mixer.minimum = 0;
    fake_mixer.maximum = 255;
    InModule* mod = plugin.mod;
    auto levels = [&](DWORD left, DWORD right, const char* label) {
        check.Expect(fake_mixer.values[0] == left && fake_mixer.values[1] == right, "%s: levels %lu/%lu, expected %lu/%lu",
                     label, fake_mixer.values[0], fake_mixer.values[1], left, right);
    };
    mod->SetVolume(300); // not playing: stored, nothing applied
    check.Expect(fake_mixer.opens == 0, "the mixer was touched while nothing played");
    mod->SetVolume(0);
    check.Expect(mod->Play(file.c_str()) == 0, "Play refused a valid file");
    levels(0, 0, "volume 0 at Play");
    mod->SetVolume(128);
    levels(127, 127, "volume 128");
    mod->SetVolume(255);
    mod->SetPan(64);
    levels(126, 255, "volume 255, pan 64");
    mod->SetPan(127);
    levels(0, 255, "pan 127");
    mod->SetPan(-127);
    levels(255, 0, "pan -127");
    mod->SetPan(-500);
    levels(255, 0, "pan -500");
    mod->SetPan(0);
    mod->SetVolume(300);
    levels(255, 255, "volume 300");
    mod->SetVolume(-666);
    levels(255, 255, "volume -666 (re-apply)");
    mod->Stop();
    int sets = fake_mixer.sets;
    mod->SetVolume(10);
    check.Expect(fake_mixer.sets == sets, "the mixer was set after Stop");

    // One channel: only the left level counts; six: every level is supplied and in bounds.
    fake_mixer.channels = 1;
    mod->SetVolume(255);
    mod->SetPan(0);
    check.Expect(mod->Play(file.c_str()) == 0, "Play refused a valid file");
    mod->SetPan(64);
    check.Expect(fake_mixer.set_channels == 1 && fake_mixer.values[0] == 126, "one channel: %d channels, left %lu",
                 fake_mixer.set_channels, fake_mixer.values[0]);
    mod->Stop();
    fake_mixer.channels = 6;
    fake_mixer.minimum = 1000;
    fake_mixer.maximum = 2000;
    memset(fake_mixer.values, 0, sizeof(fake_mixer.values));
    check.Expect(mod->Play(file.c_str()) == 0, "Play refused a valid file");
    mod->SetPan(-30);
    bool in_bounds = true;
    for (int i = 0; i < 6; ++i)
        in_bounds &= fake_mixer.values[i] >= 1000 && fake_mixer.values[i] <= 2000;
    check.Expect(fake_mixer.set_channels == 6 && in_bounds, "six channels: %d channels given, levels in bounds: %s",
                 fake_mixer.set_channels, in_bounds ? "yes" : "no");
    mod->Stop();
    check.Expect(fake_mixer.bad == 0, "%s", fake_mixer.bad_text);
    check.Expect(fake_mixer.opens == fake_mixer.closes, "mixer opened %d times, closed %d", fake_mixer.opens,
                 fake_mixer.closes);
    check.Figure("%d applications, each opened and closed", fake_mixer.opens);
    mixer.Remove();
}

static void SystemMixer()
{
    Check check("fault-mixer/the system's own mixer");
    std::string file = WriteMidi("four.mid", 4);
    WarmUp(file);
    Plugin plugin;
    LoadWithSample(plugin, check, 0);
    if (check.failed())
        return;
    if (!FeaturesOf(plugin).mixer) {
        check.Skip("the build does not drive the mixer (it does not import mixerOpen)");
        return;
    }
    check.Expect(plugin.mod->Play(file.c_str()) == 0, "Play refused a valid file");
    plugin.mod->Stop();
    Figures before = Measure();
    check.Expect(plugin.mod->Play(file.c_str()) == 0, "Play refused a valid file");
    for (int v = 0; v <= 255; v += 15) {
        plugin.mod->SetVolume(v);
        plugin.mod->SetPan(v - 127);
    }
    plugin.mod->Stop();
    Figures after = MeasureSettled(before);
    check.Expect(SameAs(before, after), "not back where it started: %s", Describe(before, after).c_str());
    check.Figure("36 changes while playing; %s", Describe(before, after).c_str());
}

void GroupFaultMixer()
{
    MixerMissing();
    MixerLevels();
    SystemMixer();
}

// --- settings ------------------------------------------------------------------------------

// Whether Play opens the capture device now (the device is refused, so nothing records).
static int CaptureStartsOnPlay(Plugin& plugin, const std::string& file)
{
    WaveSpy spy;
    spy.Install(plugin.dll);
    wave.open_result = MMSYSERR_BADDEVICEID;
    plugin.mod->Play(file.c_str());
    plugin.mod->Stop();
    int opened = wave.open > 0; // under Wine a refused monitor is followed by the wave mapper
    spy.Remove();
    return opened;
}

static void AppDataFaults()
{
    Check check("fault-settings/appdata.dll missing or failing");
    std::string file = WriteMidi("four.mid", 4);
    struct Case {
        AppData mode;
        const char* label;
    } cases[] = {{AppData::kMissing, "missing"}, {AppData::kNoFunction, "without GetCommonAppDataPathA"},
                 {AppData::kFailing, "failing"}};
    for (const Case& c : cases) {
        Plugin plugin;
        if (!LoadForCheck(check, plugin))
            return;
        Features f = FeaturesOf(plugin);
        if (!f.settings) {
            check.Skip("the build does not read settings (it does not import GetPrivateProfileIntA)");
            return;
        }
        plugin.RedirectAppData(c.mode, "");
        plugin.mod->LoadSettings();
        plugin.mod->LoadSettings();
        check.Expect(appdata_log.loads == 2, "%s: appdata.dll asked for %d times in two LoadSettings", c.label, appdata_log.loads);
        int loaded = c.mode == AppData::kMissing ? 0 : appdata_log.loads;
        check.Expect(appdata_log.frees == loaded, "%s: loaded %d times, freed %d", c.label, loaded, appdata_log.frees);
        check.Expect(appdata_log.bad_size == 0, "GetCommonAppDataPathA not given a 260-byte buffer");
        for (const std::string& path : appdata_log.profile_paths)
            check.Expect(path == "\\vesk.ini", "%s: settings read from \"%s\", expected \\vesk.ini", c.label, path.c_str());
        if (f.capture)
            check.Expect(CaptureStartsOnPlay(plugin, file) == 1, "%s: capture no longer on by default", c.label);
        ResetHostLog();
        check.Expect(plugin.mod->Play(file.c_str()) == 0, "%s: Play failed", c.label);
        plugin.mod->Stop();
    }
    check.Figure("3 faults: settings from \\vesk.ini, the library freed each time it loaded");
}

static void SettingsFileContents()
{
    Check check("fault-settings/settings file contents and long folders");
    std::string file = WriteMidi("four.mid", 4);
    Plugin probe;
    if (!LoadForCheck(check, probe))
        return;
    Features f = FeaturesOf(probe);
    probe.Unload();
    if (!f.settings || !f.capture) {
        check.Skip("%s", !f.settings ? "the build does not read settings (it does not import GetPrivateProfileIntA)"
                                     : "the build has no soundcard capture to switch (it does not import waveInOpen)");
        return;
    }
    struct Case {
        const char* contents; // of vesk.ini; null: no file
        int capture;          // expected on Play
        const char* label;
    } cases[] = {
        {"[Midi File Player]\r\nsample=0\r\n", 0, "sample=0"},
        {"[Midi File Player]\r\nsample=7\r\n", 1, "sample=7"},
        {"[Midi File Player]\r\nsample=-3\r\n", 1, "sample=-3"},
        {"[Midi File Player]\r\nother=0\r\n", 1, "no key"},
        {"[Another]\r\nsample=0\r\n", 1, "another section"},
        {nullptr, 1, "no file"},
        {"\xff\xfe\x00\x01garbage\x00\r\n[[[\r\n=\r\n", 1, "garbage"},
    };
    int n = 0;
    for (const Case& c : cases) {
        std::string folder = WorkFolder() + Format("settings%d\\", n++);
        CreateDirectoryA(folder.c_str(), nullptr);
        if (c.contents != nullptr) {
            FILE* ini = fopen((folder + "vesk.ini").c_str(), "wb");
            fwrite(c.contents, 1, strlen(c.contents), ini);
            fclose(ini);
        }
        Plugin plugin;
        if (!LoadForCheck(check, plugin))
            return;
        plugin.RedirectAppData(AppData::kFolder, folder);
        plugin.mod->LoadSettings();
        plugin.mod->LoadSettings();
        check.Expect(CaptureStartsOnPlay(plugin, file) == c.capture, "%s: capture %s on Play", c.label,
                     c.capture ? "did not start" : "started");
        std::string expected = folder + "vesk.ini";
        for (const std::string& path : appdata_log.profile_paths)
            check.Expect(_stricmp(path.c_str(), expected.c_str()) == 0, "%s: settings read from %s", c.label, path.c_str());
        check.Expect(appdata_log.profile_paths.size() == 2, "%s: %d settings reads in two LoadSettings", c.label,
                     (int)appdata_log.profile_paths.size());
    }
    // A folder so long that "\vesk.ini" does not fit in 260 bytes.
    for (int length : {250, 251, 255, 259}) {
        std::string folder = "C:\\" + std::string(length - 3, 'f');
        Plugin plugin;
        if (!LoadForCheck(check, plugin))
            return;
        plugin.RedirectAppData(AppData::kFolder, folder);
        SetActivity("LoadSettings with a %d-byte folder", length);
        plugin.mod->LoadSettings();
        for (const std::string& path : appdata_log.profile_paths)
            check.Expect(path.size() < 260, "a %d-byte folder: settings read from a %d-byte path", length, (int)path.size());
        int words_ok = memcmp(plugin.mod, &plugin.at_load, offsetof(InModule, main_window)) == 0;
        check.Expect(words_ok, "a %d-byte folder: the record changed", length);
        ResetHostLog();
        check.Expect(plugin.mod->Play(file.c_str()) == 0, "a %d-byte folder: Play failed", length);
        plugin.mod->Stop();
    }
    check.Figure("%d settings files, 4 folder lengths up to 259 bytes", n);
}

static void UnwritableSettings()
{
    Check check("fault-settings/unwritable settings file");
    std::string file = WriteMidi("four.mid", 4);
    Plugin probe;
    if (!LoadForCheck(check, probe))
        return;
    Features f = FeaturesOf(probe);
    probe.Unload();
    if (!f.settings || !f.dialog) {
        check.Skip("%s", !f.settings ? "the build does not read settings (it does not import GetPrivateProfileIntA)"
                                     : "the build has no settings dialog (it does not import DialogBoxParamA)");
        return;
    }
    struct Case {
        int kind; // 0 read-only file, 1 a folder named vesk.ini, 2 the folder does not exist, 3 writable
        const char* label;
    } cases[] = {{0, "a read-only file"}, {1, "a folder in its place"}, {2, "a missing folder"}, {3, "a writable file"}};
    int n = 0;
    for (const Case& c : cases) {
        std::string folder = WorkFolder() + Format("locked%d\\", n++);
        std::string ini = folder + "vesk.ini";
        if (c.kind != 2)
            CreateDirectoryA(folder.c_str(), nullptr);
        if (c.kind == 0 || c.kind == 3)
            WritePrivateProfileStringA("Midi File Player", "sample", "1", ini.c_str());
        if (c.kind == 0)
            SetFileAttributesA(ini.c_str(), FILE_ATTRIBUTE_READONLY);
        if (c.kind == 1)
            CreateDirectoryA(ini.c_str(), nullptr);
        Plugin plugin;
        if (!LoadForCheck(check, plugin))
            return;
        plugin.RedirectAppData(AppData::kFolder, folder);
        plugin.mod->LoadSettings();
        DialogSeen seen;
        SetActivity("confirming the settings dialog with %s", c.label);
        bool shown = ConfirmSettings(plugin, 0, 1, &seen);
        check.Expect(shown, "%s: the dialog was not shown from template 101 and ended once", c.label);
        check.Expect(seen.sample_box == 1 && seen.prompt_box == 0, "%s: the dialog opened with boxes %d/%d, expected 1/0",
                     c.label, seen.sample_box, seen.prompt_box);
        // The switch holds in memory whether or not it could be written.
        if (f.capture)
            check.Expect(CaptureStartsOnPlay(plugin, file) == 0, "%s: capture still starts after it was switched off", c.label);
        char value[32] = "";
        char section[256] = "";
        // (Whether a read-only file can still be written is the system's business: Wine writes it.)
        if (c.kind == 3) {
            GetPrivateProfileStringA("Midi File Player", "sample", "", value, sizeof(value), ini.c_str());
            GetPrivateProfileSectionA("Midi File Player", section, sizeof(section), ini.c_str());
            check.Expect(strcmp(value, "0") == 0, "%s: the file says sample=%s after confirming 0", c.label, value);
            check.Expect(strncmp(section, "sample=", 7) == 0 && section[strlen(section) + 1] == '\0',
                         "%s: the section holds more than the capture switch", c.label);
        }
        if (c.kind == 2)
            check.Expect(GetFileAttributesA(folder.c_str()) == INVALID_FILE_ATTRIBUTES, "the missing folder was created");
        plugin.Unload();
    }
    check.Figure("4 settings files confirmed: the switch holds in memory, only \"sample\" is written");
}

void GroupFaultSettings()
{
    AppDataFaults();
    SettingsFileContents();
    UnwritableSettings();
}

// --- the download service -----------------------------------------------------------------

static void DownloadFaults()
{
    Check check("fault-download/service absent or failing");
    Plugin plugin;
    LoadWithSample(plugin, check, 0);
    if (check.failed())
        return;
    Features f = FeaturesOf(plugin);
    WriteMidi("four.mid", 4);
    WriteFile("text.mid", "not a MIDI file\n");
    struct Case {
        DownloadService service;
        const char* url;
        int result;
        int downloads;
        const char* label;
    } cases[] = {
        {DownloadService::kAbsent0, "http://validator.invalid/four.mid", -1, 0, "no service (0)"},
        {DownloadService::kAbsent1, "http://validator.invalid/four.mid", -1, 0, "no service (1)"},
        {DownloadService::kFail, "http://validator.invalid/four.mid", -1, 1, "a failing download"},
        {DownloadService::kNothing, "http://validator.invalid/four.mid", 1, 1, "a download that writes nothing"},
        {DownloadService::kCopy, "http://validator.invalid/text.mid", 1, 1, "a download that is not MIDI"},
        {DownloadService::kCopy, "http://validator.invalid/none.mid", -1, 1, "a download of a missing file"},
    };
    int temp_before = CountTempFiles();
    int queries = 0, downloads = 0;
    for (const Case& c : cases) {
        ResetHostLog();
        SetDownloadService(c.service);
        watch.last_url = c.url;
        SetActivity("Play(%s) with %s", c.url, c.label);
        int result = plugin.mod->Play(c.url);
        int length = plugin.mod->GetLength();
        plugin.mod->Stop();
        queries += host.seen.service_queries;
        downloads += Downloads();
        if (!f.streaming) {
            check.Expect(result == -1, "%s: Play returned %d, expected -1", c.label, result);
            continue;
        }
        check.Expect(result == c.result, "%s: Play returned %d, expected %d", c.label, result, c.result);
        check.Expect(host.seen.service_queries == 1 && Downloads() == c.downloads, "%s: %d queries, %d downloads", c.label,
                     host.seen.service_queries, Downloads());
        check.Expect(host.seen.vis_open == 0 && length == 0, "%s: playback started", c.label);
        check.Expect(watch.download_bad == 0, "%s: the download function got the wrong window, URL or status text", c.label);
        check.Expect(CountTempFiles() == temp_before, "%s: %d temporary files left after Stop", c.label,
                     CountTempFiles() - temp_before);
        temp_before = CountTempFiles();
    }
    // A download, then a local file without a Stop between.
    if (f.streaming) {
        SetDownloadService(DownloadService::kCopy);
        watch.last_url = "http://validator.invalid/four.mid";
        check.Expect(plugin.mod->Play("http://validator.invalid/four.mid") == 0, "a good download did not play");
        std::string target = LastDownloadTarget();
        check.Expect(plugin.mod->Play((WorkFolder() + "four.mid").c_str()) == 0, "the local file did not play");
        plugin.mod->Stop();
        check.Expect(GetFileAttributesA(target.c_str()) == INVALID_FILE_ATTRIBUTES,
                     "the temporary download stays after a local Play and Stop");
    }
    SetDownloadService(DownloadService::kAbsent0);
    check.Figure("%d cases, %d service queries, %d downloads; temporary files back to %d", (int)(sizeof(cases) / sizeof(cases[0])),
                 queries, downloads, CountTempFiles());
    if (!f.streaming)
        check.Figure("URL retrieval not built: only the -1 result checked");
}

void GroupFaultDownload() { DownloadFaults(); }

// --- a slow sink --------------------------------------------------------------------------

static void SlowSink()
{
    Check check("fault-sink/50 ms a block");
    std::string file = WriteMidi("long.mid", 16);
    WarmUp(file);
    Plugin plugin;
    ResetHostLog();
    if (!LoadCapturing(plugin, check))
        return;
    Figures before = Measure();
    DWORD longest = 0;
    int late = 0, running_at_return = 0, blocks = 0;
    const int kStops = run.level.level == 1 ? 3 : 6;
    for (int i = 0; i < kStops; ++i) {
        ResetHostLog();
        watch.sink_delay_ms = 50;
        check.Expect(plugin.mod->Play(file.c_str()) == 0, "Play refused a valid file");
        check.Expect(WaitForBlocks(2, 8000), "stop %d: fewer than 2 blocks in 8 s", i);
        if (i == 1) {
            plugin.mod->Pause();
            plugin.mod->Resume();
            WaitForBlocks(host.seen.sink_a + 1, 8000);
        }
        if (i == kStops - 1)
            plugin.mod->Pause(); // Stop while paused
        DWORD start = GetTickCount();
        plugin.mod->Stop();
        DWORD took = GetTickCount() - start;
        running_at_return += watch.sink_in_call;
        watch.stop_returned = true;
        longest = took > longest ? took : longest;
        Sleep(200);
        late += watch.sink_after_stop;
        blocks += host.seen.sink_a;
        if (i == kStops - 1)
            plugin.mod->Resume();
    }
    check.Expect(longest < 2000, "Stop took %lu ms with a 50 ms sink", longest);
    check.Expect(running_at_return == 0, "a sink was still running when Stop returned (%d times)", running_at_return);
    check.Expect(late == 0, "%d sink calls after Stop returned", late);
    Figures after = MeasureSettled(before);
    check.Expect(SameAs(before, after), "not back where it started: %s", Describe(before, after).c_str());
    check.Figure("%d Stops, the longest %lu ms; %d blocks, none after Stop; %s", kStops, longest, blocks,
                 Describe(before, after).c_str());
}

void GroupFaultSink() { SlowSink(); }

// --- the sequencer --------------------------------------------------------------------------

struct MciSpyState {
    UINT fail_command = 0;
    MCIERROR fail_result = 0;
    int calls = 0;
};
static MciSpyState mci;
static void* real_mci = nullptr;

static MCIERROR WINAPI SpyMciSendCommand(MCIDEVICEID device, UINT command, DWORD_PTR flags, DWORD_PTR param)
{
    ++mci.calls;
    if (command == MCI_OPEN && mci.fail_command == MCI_OPEN)
        return mci.fail_result; // refused before the device exists
    MCIERROR result = ((MCIERROR(WINAPI*)(MCIDEVICEID, UINT, DWORD_PTR, DWORD_PTR))real_mci)(device, command, flags, param);
    if (mci.fail_command == command || (mci.fail_command == 1 && command != MCI_OPEN))
        return mci.fail_result; // the command ran; the plug-in is told it failed
    return result;
}

static void SequencerFaults()
{
    Check check("fault-sequencer/failing commands");
    std::string file = WriteMidi("four.mid", 4);
    struct Case {
        UINT command; // 1: every command after the open
        const char* label;
    } cases[] = {{MCI_STATUS, "length query"}, {1, "every command after the open"}, {MCI_OPEN, "open"}};
    for (const Case& c : cases) {
        Plugin plugin;
        if (!LoadForCheck(check, plugin))
            return;
        ResetHostLog();
        FakeTicks ticks;
        ticks.Install(plugin.dll, 5000);
        ImportPatch patch(plugin.dll, "winmm.dll", "mciSendCommandA", (void*)SpyMciSendCommand);
        real_mci = patch.original();
        mci = MciSpyState();
        mci.fail_command = c.command;
        mci.fail_result = MCIERR_INTERNAL;
        int result = plugin.mod->Play(file.c_str());
        int expected_length = 0; // a fresh load, or a length query that failed
        check.Expect(result == (c.command == MCI_OPEN ? 1 : 0), "%s fails: Play returned %d", c.label, result);
        check.Expect(plugin.mod->GetLength() == expected_length, "%s fails: length %d", c.label, plugin.mod->GetLength());
        if (result == 0) {
            plugin.mod->GetPosition();
            host.Pump();
            check.Expect(host.seen.eof_posts == 0, "%s fails: end of file at position 0", c.label);
            ticks.Advance(1);
            plugin.mod->GetPosition();
            plugin.mod->GetPosition();
            host.Pump();
            check.Expect(host.seen.eof_posts == 1, "%s fails: end of file posted %d times after 1 ms of a 0 ms file", c.label,
                         host.seen.eof_posts);
            plugin.mod->Pause();
            plugin.mod->SetPosition(100);
            plugin.mod->Resume();
            // The seek goes to the nearest end of a file of length 0, and under Wine the clock
            // goes where the sequencer restarts the music there: at most 20 ms on.
            int position = plugin.mod->GetPosition();
            check.Expect(position >= 0 && position <= 20, "%s fails: position %d after a seek to 100 in a file of length 0",
                         c.label, position);
        } else {
            check.Expect(host.seen.vis_open == 0, "%s fails: vis_open called", c.label);
        }
        plugin.mod->Stop();
        check.Expect(host.seen.vis_close == 1, "%s fails: vis_close called %d times", c.label, (int)host.seen.vis_close);
        patch.Restore();
        ticks.Remove();
        // The device was closed for real: the file opens again.
        ResetHostLog();
        check.Expect(plugin.mod->Play(file.c_str()) == 0 && plugin.mod->GetLength() == 2000,
                     "%s failed before: the file no longer plays", c.label);
        plugin.mod->Stop();
    }
    check.Figure("3 failures answered: length 0 ends at once and seeks go to 0, refused opens start nothing");
}

void GroupFaultSequencer() { SequencerFaults(); }

} // namespace validate
