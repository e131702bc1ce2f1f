// Load/unload cycles and Play/Stop cycles: what a host does all day, counted by handles,
// threads and temporary files before and after.
#include <windows.h>

#include <cstring>

#include "validate/common.h"
#include "validate/figures.h"
#include "validate/groups.h"

namespace validate {

static const char kDescription[] = "Tessarin MIDI plug-in v0.60 (x86)";

// The words the module fixes at load, and the host words it leaves zero.
static void CheckRecord(Check& check, const Plugin& plugin)
{
    const InModule& r = plugin.at_load;
    check.Expect(r.version == 0x101, "version word is 0x%x", r.version);
    check.Expect(r.description != nullptr && strcmp(r.description, kDescription) == 0, "description is not \"%s\"",
                 kDescription);
    check.Expect(r.file_types != nullptr && memcmp(r.file_types, "MID\0MIDI Audio Files (*.MID)\0\0", 31) == 0,
                 "file type list is not MID / MIDI Audio Files (*.MID)");
    check.Expect(r.flag_word_1 == 1 && r.flag_word_2 == 0, "flag words are %d, %d", r.flag_word_1, r.flag_word_2);
    bool host_words_zero = r.main_window == nullptr && r.module_instance == nullptr && r.vis_open == nullptr &&
                           r.vis_close == nullptr && r.pcm_sink_b == nullptr && r.pcm_sink_a == nullptr &&
                           r.announce_format == nullptr && r.unused_37 == 0;
    for (int word : r.unused_27)
        host_words_zero = host_words_zero && word == 0;
    for (int word : r.unused_30)
        host_words_zero = host_words_zero && word == 0;
    check.Expect(host_words_zero, "a host word is not zero at load");
    int missing = 0;
    for (const void* op : {(const void*)r.ShowSettings, (const void*)r.ShowAbout, (const void*)r.LoadSettings,
                           (const void*)r.DoNothing, (const void*)r.GetFileInfo, (const void*)r.ReturnZero12,
                           (const void*)r.ReturnZero13, (const void*)r.Play, (const void*)r.Pause, (const void*)r.Resume,
                           (const void*)r.IsPaused, (const void*)r.Stop, (const void*)r.GetLength,
                           (const void*)r.GetPosition, (const void*)r.SetPosition, (const void*)r.SetVolume,
                           (const void*)r.SetPan, (const void*)r.DoNothing35})
        missing += op == nullptr;
    check.Expect(missing == 0, "%d operation words are zero", missing);
    check.Expect(r.DoNothing == r.DoNothing35 && r.ReturnZero12 == r.ReturnZero13, "the shared operations differ");
    auto get = (GetInModuleFn)(void*) GetProcAddress(plugin.dll, kGetInModuleExport);
    check.Expect(get != nullptr && get() == plugin.mod, "the export returns another record on a second call");
    check.Expect(plugin.mod->IsPaused() == 0 && plugin.mod->GetLength() == 0,
                 "a fresh load answers IsPaused %d, GetLength %d", plugin.mod->IsPaused(), plugin.mod->GetLength());
}

static void LoadUnloadCycles()
{
    Check check("load/unload");
    int cycles = run.level.load_cycles;
    std::string file = WriteMidi("warm.mid", 2);
    WarmUp(file);
    Figures before = Measure();
    int unmapped = 0;
    for (int i = 0; i < cycles && !check.failed(); ++i) {
        SetActivity("cycle %d", i);
        Plugin plugin;
        std::string error;
        if (!check.Expect(plugin.Load(&error), "cycle %d: %s", i, error.c_str()))
            break;
        CheckRecord(check, plugin);
        plugin.mod->LoadSettings(); // as a host does, with the system's own appdata.dll
        unmapped += check.Expect(plugin.Unload(), "cycle %d: the image stays mapped after FreeLibrary", i);
    }
    Figures after = MeasureSettled(before);
    check.Expect(SameAs(before, after), "not back where it started: %s", Describe(before, after).c_str());
    check.Figure("%d cycles, image unmapped after %d; %s", cycles, unmapped, Describe(before, after).c_str());
}

static void LoadPlayUnloadCycles(bool capture)
{
    Check check(capture ? "load/play with capture/stop/unload" : "load/play/stop/unload");
    std::string file = WriteMidi("cycle.mid", 4);
    {
        Plugin probe;
        if (!LoadForCheck(check, probe))
            return;
        Features f = FeaturesOf(probe);
        if (capture && (!f.capture || !MachineHasWaveInput())) {
            check.Skip("%s", SkipReasonCapture(f).c_str());
            return;
        }
        if (!capture && f.capture && !f.settings) {
            check.Skip("the build captures but cannot be told not to (it does not read settings)");
            return;
        }
    }
    WarmUp(file);
    Figures before = Measure();
    int cycles = run.level.load_cycles;
    int blocks = 0, late = 0, unmapped = 0;
    for (int i = 0; i < cycles && !check.failed(); ++i) {
        SetActivity("cycle %d", i);
        Plugin plugin;
        ResetHostLog();
        bool capturing = LoadWithSample(plugin, check, capture ? 1 : 0);
        if (check.failed())
            break;
        check.Expect(plugin.mod->Play(file.c_str()) == 0, "cycle %d: Play refused a valid file", i);
        // The first block takes a while on some systems (about 2 s on Wine's PulseAudio input), so
        // blocks are awaited in the first and last cycles only; capture runs in every one.
        if (capture) {
            check.Expect(capturing, "cycle %d: capture is not expected to run", i);
            if (i == 0 || i == cycles - 1)
                check.Expect(WaitForBlocks(1, 8000), "cycle %d: no sample block reached the sinks within 8 s", i);
        }
        plugin.mod->GetPosition();
        StopAndMark(plugin.mod);
        int sinks_at_stop = host.seen.sink_a + host.seen.sink_b;
        blocks += host.seen.sink_a;
        unmapped += check.Expect(plugin.Unload(), "cycle %d: the image stays mapped after FreeLibrary", i);
        if (capture)
            Sleep(30); // a capture thread that outlived the unload would run here, and crash
        late += host.seen.sink_a + host.seen.sink_b - sinks_at_stop;
        check.Expect(host.seen.vis_open == 1 && host.seen.vis_close == 1 && host.seen.announce == 1,
                     "cycle %d: announce_format %d, vis_open %d, vis_close %d times", i, (int)host.seen.announce,
                     (int)host.seen.vis_open, (int)host.seen.vis_close);
        check.Expect(host.seen.announce_bad == 0 && host.seen.vis_open_bad == 0 && host.seen.sink_bad == 0,
                     "cycle %d: a host service got wrong arguments", i);
    }
    check.Expect(late == 0, "%d sink calls after Stop returned", late);
    Figures after = MeasureSettled(before);
    check.Expect(SameAs(before, after), "not back where it started: %s", Describe(before, after).c_str());
    check.Figure("%d cycles, image unmapped after %d", cycles, unmapped);
    if (capture)
        check.Figure("%d blocks captured (awaited in the first and last cycles), %d after Stop", blocks, late);
    check.Figure("%s", Describe(before, after).c_str());
}

void GroupLoad()
{
    LoadUnloadCycles();
    LoadPlayUnloadCycles(false);
    LoadPlayUnloadCycles(true);
}

// --- Play/Stop cycles on one load -------------------------------------------------------

static void PlayStopCycles(bool capture)
{
    Check check(capture ? "playstop/cycles with capture" : "playstop/cycles");
    struct File {
        std::string path;
        int length;
    } files[] = {{WriteMidi("one.mid", 1), 500}, {WriteMidi("six.mid", 6), 3000}, {WriteMidi("nine.mid", 9), 4500}};
    WarmUp(files[0].path);
    Plugin plugin;
    ResetHostLog();
    bool capturing = LoadWithSample(plugin, check, capture ? 1 : 0);
    if (check.failed())
        return;
    Features f = FeaturesOf(plugin);
    if (capture && !capturing) {
        check.Skip("%s", SkipReasonCapture(f).c_str());
        return;
    }
    if (!capture && f.capture && !f.settings) {
        check.Skip("the build captures but cannot be told not to (it does not read settings)");
        return;
    }
    // The first Play/Stop brings up what the system keeps afterwards (driver threads).
    plugin.mod->Play(files[0].path.c_str());
    plugin.mod->Stop();
    ResetHostLog();
    Figures before = Measure();
    int cycles = run.level.play_cycles;
    int late = 0, blocks = 0, threads_seen = 0;
    for (int i = 0; i < cycles && !check.failed(); ++i) {
        SetActivity("cycle %d", i);
        const File& file = files[i % 3];
        watch.stop_returned = false;
        check.Expect(plugin.mod->Play(file.path.c_str()) == 0, "cycle %d: Play refused %s", i, file.path.c_str());
        check.Expect(plugin.mod->GetLength() == file.length, "cycle %d: length %d, expected %d", i,
                     plugin.mod->GetLength(), file.length);
        int position = plugin.mod->GetPosition();
        check.Expect(position >= 0 && position < file.length, "cycle %d: position %d right after Play", i, position);
        if (i % 4 == 1) {
            plugin.mod->Pause();
            check.Expect(plugin.mod->IsPaused() == 1, "cycle %d: IsPaused is not 1 after Pause", i);
            plugin.mod->Resume();
            check.Expect(plugin.mod->IsPaused() == 0, "cycle %d: IsPaused is not 0 after Resume", i);
        }
        if (capture && (i == 0 || i == cycles - 1 || i % 100 == 50)) {
            check.Expect(WaitForBlocks(host.seen.sink_a + 1, 8000), "cycle %d: no sample block within 8 s", i);
            threads_seen = CountThreads() - before.threads;
        }
        StopAndMark(plugin.mod);
        int at_stop = host.seen.sink_a + host.seen.sink_b;
        if (capture && i % 10 == 0)
            Sleep(30);
        late += host.seen.sink_a + host.seen.sink_b - at_stop;
    }
    blocks = host.seen.sink_a;
    check.Expect(late == 0 && watch.sink_after_stop == 0, "%d sink calls after Stop returned", late + (int)watch.sink_after_stop);
    check.Expect(host.seen.sink_after_close == 0, "%d sink calls after vis_close", (int)host.seen.sink_after_close);
    check.Expect(host.seen.sink_unpaired == 0, "%d blocks reached pcm_sink_b without pcm_sink_a", (int)host.seen.sink_unpaired);
    check.Expect(host.seen.vis_open == cycles && host.seen.vis_close == cycles && host.seen.announce == cycles,
                 "announce_format %d, vis_open %d, vis_close %d times in %d cycles", (int)host.seen.announce,
                 (int)host.seen.vis_open, (int)host.seen.vis_close, cycles);
    check.Expect(host.seen.announce_bad == 0 && host.seen.vis_open_bad == 0 && host.seen.sink_bad == 0,
                 "a host service got wrong arguments");
    Figures after = MeasureSettled(before);
    check.Expect(SameAs(before, after), "not back where it started: %s", Describe(before, after).c_str());
    check.Expect(after.work_files == before.work_files, "files in the scratch folder %d -> %d", before.work_files,
                 after.work_files);
    check.Figure("%d cycles", cycles);
    if (capture)
        check.Figure("%d blocks (awaited in the first, the last and every 100th cycle), threads while playing +%d, sink calls after Stop %d", blocks, threads_seen, late);
    check.Figure("%s", Describe(before, after).c_str());
    plugin.Unload();
}

static void StreamedPlayStopCycles()
{
    Check check("playstop/streamed cycles");
    Plugin plugin;
    ResetHostLog();
    LoadWithSample(plugin, check, 0);
    if (check.failed())
        return;
    Features f = FeaturesOf(plugin);
    if (!f.streaming) {
        check.Skip("the build has no URL retrieval (it does not import GetTempFileNameA)");
        return;
    }
    WriteMidi("four.mid", 4);
    const char* url = "http://validator.invalid/four.mid";
    SetDownloadService(DownloadService::kCopy);
    Figures before = Measure();
    int cycles = run.level.play_cycles;
    for (int i = 0; i < cycles && !check.failed(); ++i) {
        SetActivity("cycle %d", i);
        watch.last_url = url;
        check.Expect(plugin.mod->Play(url) == 0, "cycle %d: Play(%s) did not play the download", i, url);
        check.Expect(plugin.mod->GetLength() == 2000, "cycle %d: length %d, expected 2000", i, plugin.mod->GetLength());
        if (f.file_info) {
            char title[1024] = "?";
            int length = -5;
            plugin.mod->GetFileInfo("", title, &length);
            check.Expect(strcmp(title, "four.mid") == 0 && length == 2000,
                         "cycle %d: current file info is \"%s\", %d (expected the URL's last segment, 2000)", i, title, length);
        }
        std::string target = LastDownloadTarget();
        plugin.mod->Stop();
        check.Expect(GetFileAttributesA(target.c_str()) == INVALID_FILE_ATTRIBUTES,
                     "cycle %d: the temporary download %s is still there after Stop", i, target.c_str());
    }
    check.Expect(Downloads() == cycles && host.seen.service_queries == cycles,
                 "%d service queries and %d downloads in %d cycles", host.seen.service_queries, Downloads(), cycles);
    check.Expect(watch.download_bad == 0, "the download function got the wrong window, URL, target or status text");
    Figures after = MeasureSettled(before);
    check.Expect(SameAs(before, after), "not back where it started: %s", Describe(before, after).c_str());
    check.Figure("%d cycles; %s", cycles, Describe(before, after).c_str());
    SetDownloadService(DownloadService::kAbsent0);
}

// The end of a file on the real clock: posted once, at the first reading past the length.
static void EndOfFile()
{
    Check check("end of file");
    Plugin plugin;
    ResetHostLog();
    LoadWithSample(plugin, check, 0);
    if (check.failed())
        return;
    std::string file = WriteMidi("end.mid", 1);
    check.Expect(plugin.mod->Play(file.c_str()) == 0, "Play refused a valid file");
    DWORD start = GetTickCount();
    int position = 0;
    while (host.seen.eof_posts == 0 && GetTickCount() - start < 5000) {
        position = plugin.mod->GetPosition();
        check.Expect(host.seen.eof_posts == 0 || position > 500, "end of file posted at position %d of 500", position);
        host.Pump();
        Sleep(10);
    }
    check.Expect(host.seen.eof_posts == 1, "no end of file within 8 s of a 500 ms file (position %d)", position);
    for (int i = 0; i < 5; ++i) {
        plugin.mod->GetPosition();
        host.Pump();
    }
    plugin.mod->SetPosition(0);
    plugin.mod->SetPosition(800);
    plugin.mod->GetPosition();
    host.Pump();
    check.Expect(host.seen.eof_posts == 1 && host.seen.eof_bad == 0, "end of file posted %d times (parameters wrong %d)",
                 host.seen.eof_posts, host.seen.eof_bad);
    plugin.mod->Stop();
    check.Figure("posted once at position %d of 500 ms", position);
}

void GroupPlayStop()
{
    PlayStopCycles(false);
    PlayStopCycles(true);
    StreamedPlayStopCycles();
    EndOfFile();
}

} // namespace validate
