// A careless host: seeks far outside a playing file, calls with nothing open, every service
// word left zero, and a FreeLibrary without Stop followed by a new load.
#include <windows.h>
#include <mmsystem.h>

#include <atomic>
#include <climits>

#include "validate/common.h"
#include "validate/figures.h"
#include "validate/groups.h"

namespace validate {

// --- MCI commands, counted on their way to the system --------------------------------------

static int mci_commands = 0; // host thread only
static void *real_mci_command = nullptr, *real_mci_string = nullptr;

static MCIERROR WINAPI CountingMciCommand(MCIDEVICEID device, UINT command, DWORD_PTR flags, DWORD_PTR param)
{
    ++mci_commands;
    return ((MCIERROR(WINAPI*)(MCIDEVICEID, UINT, DWORD_PTR, DWORD_PTR))real_mci_command)(device, command, flags, param);
}

static MCIERROR WINAPI CountingMciString(LPCSTR command, LPSTR answer, UINT size, HWND callback)
{
    ++mci_commands;
    return ((MCIERROR(WINAPI*)(LPCSTR, LPSTR, UINT, HWND))real_mci_string)(command, answer, size, callback);
}

// --- sinks that count whatever module calls them -------------------------------------------

// The host library's own sinks ignore calls once the plug-in is unloaded; these count them.
static std::atomic<int> sink_calls{0};
static void __cdecl CountingSink(const void*, int, int, int) { ++sink_calls; }

static bool WaitForSinkCalls(int calls, int limit_ms)
{
    DWORD start = GetTickCount();
    while (sink_calls < calls && GetTickCount() - start < (DWORD)limit_ms)
        host.Wait(10);
    return sink_calls >= calls;
}

// --- the checks ---------------------------------------------------------------------------

// The clock goes where the music restarts, the nearest end of the file: at most 20 ms on,
// plus the time the calls took. Past the end it runs on, and the end is posted once.
static void SeeksOutsideTheFile(const std::string& file)
{
    Check check("careless/seeks outside a playing file");
    Plugin plugin;
    ResetHostLog();
    LoadWithSample(plugin, check, 0);
    if (check.failed() || !check.Expect(plugin.mod->Play(file.c_str()) == 0, "Play refused %s", file.c_str()))
        return;
    int length = plugin.mod->GetLength();
    check.Expect(length > 1000, "length %d of a three-minute piece", length);
    const int kSeeks[] = {-1000, INT_MIN, INT_MAX};
    std::string seen;
    for (int to : kSeeks) {
        SetActivity("SetPosition(%d)", to);
        int end = to > 0 ? length : 0;
        DWORD start = GetTickCount();
        plugin.mod->SetPosition(to);
        int at = plugin.mod->GetPosition();
        DWORD took = GetTickCount() - start;
        check.Expect(at >= end && at <= end + 20 + (int)took, "SetPosition(%d): position %d, expected %d", to, at, end);
        Sleep(100);
        int later = plugin.mod->GetPosition();
        int since = (int)(GetTickCount() - start);
        host.Pump();
        check.Expect(later > at && later <= end + 20 + since, "SetPosition(%d): position %d %d ms later", to, later, since);
        check.Expect(to > 0 ? later > length && host.seen.eof_posts == 1 : later <= length && host.seen.eof_posts == 0,
                     "SetPosition(%d): end of file posted %d times at position %d of %d", to, host.seen.eof_posts,
                     later, length);
        seen += Format("%s%d -> %d, %d", seen.empty() ? "" : "; ", to, at, later);
    }
    plugin.mod->Stop();
    check.Figure("length %d; positions right after and 100 ms later: %s; end posted once", length, seen.c_str());
}

// SetPosition past any end, Pause, Resume and Stop with nothing open send nothing to the
// device and leave the clock, the length and the pause flag as they were; Stop still tells
// the host that playing has stopped.
static void CallsWithNothingOpen(const std::string& file)
{
    Check check("careless/calls with nothing open");
    Plugin plugin;
    ResetHostLog();
    LoadWithSample(plugin, check, 0);
    if (check.failed())
        return;
    ImportPatch command(plugin.dll, "winmm.dll", "mciSendCommandA", (void*)CountingMciCommand);
    ImportPatch command_text;
    if (plugin.Imports("winmm.dll", "mciSendStringA"))
        command_text.Set(plugin.dll, "winmm.dll", "mciSendStringA", (void*)CountingMciString);
    real_mci_command = command.original();
    real_mci_string = command_text.original();
    if (!check.Expect(command.ok(), "the plug-in does not import mciSendCommandA, so its commands cannot be counted"))
        return;
    InModule* mod = plugin.mod;
    auto careless = [&](const char* when) {
        int commands = mci_commands, closes = host.seen.vis_close;
        mod->SetPosition(INT_MAX);
        mod->Pause();
        int paused = mod->IsPaused();
        mod->Resume();
        mod->Stop();
        host.Pump();
        check.Expect(mci_commands == commands, "%s: %d MCI commands sent", when, mci_commands - commands);
        check.Expect(paused == 0, "%s: Pause set the pause flag", when);
        check.Expect(host.seen.vis_close == closes + 1, "%s: Stop called vis_close %d times", when,
                     host.seen.vis_close - closes);
        check.Expect(host.seen.eof_posts == 0, "%s: end of file posted", when);
    };
    careless("on a fresh load");
    check.Expect(mod->GetPosition() == 0 && mod->GetLength() == 0, "on a fresh load: position %d, length %d",
                 mod->GetPosition(), mod->GetLength());

    DWORD start = GetTickCount();
    check.Expect(mod->Play(file.c_str()) == 0, "Play refused %s", file.c_str());
    int length = mod->GetLength();
    mod->Stop();
    int played = mci_commands;
    careless("after Play and Stop");
    // The clock runs on from the Play, untouched by the seek.
    int position = mod->GetPosition();
    int since = (int)(GetTickCount() - start);
    check.Expect(position >= 0 && position <= since, "after Play and Stop: position %d %d ms after the Play", position,
                 since);
    check.Expect(mod->GetLength() == length, "after Play and Stop: length %d, the file's was %d", mod->GetLength(), length);
    check.Figure("no MCI command from 8 calls (%d from Play and Stop); position %d ms after the Play", played, position);
}

// A host that fills no service word: the plug-in plays, captures and stops without calling one.
static void ServiceWordsLeftZero(const std::string& file)
{
    Check check("careless/service words left zero");
    Plugin plugin;
    ResetHostLog();
    if (!LoadCapturing(plugin, check))
        return;
    InModule* mod = plugin.mod;
    mod->announce_format = nullptr;
    mod->vis_open = nullptr;
    mod->vis_close = nullptr;
    mod->pcm_sink_a = nullptr;
    mod->pcm_sink_b = nullptr;
    Figures before = Measure();
    check.Expect(mod->Play(file.c_str()) == 0, "Play refused %s", file.c_str());
    SetActivity("playing without services");
    DWORD start = GetTickCount();
    while (GetTickCount() - start < 1000)
        host.Wait(20);
    int threads = CountThreads() - before.threads;
    int position = mod->GetPosition();
    mod->Pause();
    mod->Resume();
    mod->Stop();
    int called = host.seen.announce + host.seen.vis_open + host.seen.vis_close + host.seen.sink_a + host.seen.sink_b;
    check.Expect(called == 0, "%d calls reached the host's services through words it left zero", called);
    Figures after = MeasureSettled(before);
    check.Expect(SameAs(before, after), "not back where it started: %s", Describe(before, after).c_str());
    check.Figure("Play 0, position %d after 1 s, threads while playing +%d, Pause, Resume, Stop; %s", position, threads,
                 Describe(before, after).c_str());
}

// FreeLibrary while a file plays with capture on. The plug-in may keep its image mapped until
// whatever still runs in it has ended (under Wine the sequencer reads the copy lent to it), or
// end everything; either way nothing may run unmapped code, and the next load plays and stops
// cleanly: no sink call after Stop, the image gone after the next FreeLibrary, the process back
// where it started.
static void UnloadWithoutStop(const std::string& file)
{
    Check check("careless/unload without Stop, then a new load");
    Figures before = Measure();
    HMODULE first = nullptr;
    bool unmapped = false;
    int at_unload = 0, playing_threads = 0;
    {
        Plugin plugin;
        ResetHostLog();
        if (!LoadCapturing(plugin, check))
            return;
        plugin.mod->pcm_sink_a = CountingSink;
        plugin.mod->pcm_sink_b = CountingSink;
        sink_calls = 0;
        check.Expect(plugin.mod->Play(file.c_str()) == 0, "Play refused %s", file.c_str());
        check.Expect(WaitForSinkCalls(2, 8000), "no sample block within 8 s");
        playing_threads = CountThreads();
        first = plugin.dll;
        at_unload = sink_calls;
        SetActivity("FreeLibrary while playing");
        unmapped = plugin.Unload();
    }
    // Code run from an unmapped image crashes the process here, in this check.
    SetActivity("2 s after FreeLibrary without Stop");
    DWORD start = GetTickCount();
    while (GetTickCount() - start < 2000)
        host.Wait(20);
    int after_unload = sink_calls - at_unload;
    Figures unloaded = Measure();

    SetActivity("the new load");
    Plugin again;
    ResetHostLog();
    LoadWithSample(again, check, 1);
    if (check.failed())
        return;
    bool same = again.dll == first;
    check.Expect(again.mod->Play(file.c_str()) == 0, "the new load refused %s", file.c_str());
    check.Expect(WaitForBlocks(host.seen.sink_a + 1, 8000), "the new load: no sample block within 8 s");
    int counted = sink_calls;
    StopAndMark(again.mod);
    Sleep(200);
    int late = watch.sink_after_stop + sink_calls - counted;
    check.Expect(late == 0, "the new load: %d sink calls after Stop returned", late);
    check.Expect(again.Unload(), "the image stays mapped after Stop and FreeLibrary");
    Figures after = MeasureSettled(before);
    check.Expect(SameAs(before, after), "not back where it started: %s", Describe(before, after).c_str());
    check.Figure("after FreeLibrary without Stop the image %s; %d sink calls in the 2 s after it; threads %d before, "
                 "%d playing, %s", unmapped ? "was unmapped" : "stayed mapped", after_unload, before.threads,
                 playing_threads, Describe(before, unloaded).c_str());
    check.Figure("the new load %s, Play and Stop, no sink call after Stop; %s",
                 same ? "got the same image" : "mapped a new image", Describe(before, after).c_str());
}

void GroupCareless()
{
    // A real piece (three minutes at one tempo), copied beside the validator at build time.
    std::string file = hostlib::ProgramFolder() + "real_midi\\satie-gymnopedie-no1.mid";
    if (GetFileAttributesA(file.c_str()) == INVALID_FILE_ATTRIBUTES) {
        Check check("careless/the real piece");
        check.Expect(false, "%s is missing (the build copies tests/data beside the validator)", file.c_str());
        return;
    }
    WarmUp(file);
    SeeksOutsideTheFile(file);
    CallsWithNothingOpen(file);
    ServiceWordsLeftZero(file);
    UnloadWithoutStop(file);
}

} // namespace validate
