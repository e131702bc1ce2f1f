// What is heard, timed through the MIDI output driver's log (tools/bench.sh installs the driver
// and starts FluidSynth): the plug-in's Play, GetPosition, Pause and Stop beside the bare MCI
// sequence doing the same (open and play; the sequencer's own position; pause; stop and close).
#include "bench/bench_common.h"

#include <mmsystem.h>

#include <cmath>

#include "synth/log_reader.h"
#include "tools/midi_writer.h"

constexpr int kNotes = 40;
constexpr int kNoteMs = 250;
constexpr int kFirstPitch = 40;
constexpr int kRuns = 5;

// One way of playing the file: the plug-in, or the bare sequence.
struct Player {
    virtual bool Play(const char* path) = 0;
    virtual int Position() = 0;
    virtual void Pause() = 0;
    virtual void Resume() = 0;
    virtual void Stop() = 0;
};

struct PluginPlayer : Player {
    InModule* mod;
    explicit PluginPlayer(InModule* m) : mod(m) {}
    bool Play(const char* path) override { return mod->Play(path) == 0; }
    int Position() override { return mod->GetPosition(); }
    void Pause() override { mod->Pause(); }
    void Resume() override { mod->Resume(); }
    void Stop() override { mod->Stop(); }
};

struct BarePlayer : Player {
    MCIDEVICEID device = 0;
    bool Play(const char* path) override
    {
        MCI_OPEN_PARMSA open = {};
        open.lpstrDeviceType = (LPCSTR)MCI_DEVTYPE_SEQUENCER;
        open.lpstrElementName = path;
        if (mciSendCommandA(0, MCI_OPEN, MCI_OPEN_TYPE | MCI_OPEN_TYPE_ID | MCI_OPEN_ELEMENT | MCI_WAIT, (DWORD_PTR)&open) != 0)
            return false;
        device = open.wDeviceID;
        MCI_SET_PARMS set = {};
        set.dwTimeFormat = MCI_FORMAT_MILLISECONDS;
        mciSendCommandA(device, MCI_SET, MCI_SET_TIME_FORMAT | MCI_WAIT, (DWORD_PTR)&set);
        MCI_PLAY_PARMS play = {};
        mciSendCommandA(device, MCI_PLAY, 0, (DWORD_PTR)&play);
        return true;
    }
    int Position() override
    {
        MCI_STATUS_PARMS status = {};
        status.dwItem = MCI_STATUS_POSITION;
        mciSendCommandA(device, MCI_STATUS, MCI_STATUS_ITEM | MCI_WAIT, (DWORD_PTR)&status);
        return (int)status.dwReturn;
    }
    void Generic(UINT command)
    {
        MCI_GENERIC_PARMS generic = {};
        mciSendCommandA(device, command, MCI_WAIT, (DWORD_PTR)&generic);
    }
    void Pause() override { Generic(MCI_PAUSE); }
    void Resume() override { Generic(MCI_RESUME); }
    void Stop() override
    {
        Generic(MCI_STOP);
        Generic(MCI_CLOSE);
    }
};

struct Figures {
    std::vector<double> lag_ms, error_ms, stop_ms, paused_cpu;
};

static double ProcessCpuMs()
{
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto ms = [](FILETIME t) { return (((ULONGLONG)t.dwHighDateTime << 32) | t.dwLowDateTime) / 10000.0; };
    return ms(kernel) + ms(user);
}

// Waits for the device to be given a note-on after `after`; returns when, or 0.
static LONGLONG WaitForNoteOn(const std::string& log, LONGLONG after)
{
    for (LONGLONG end = heard::NowUs() + 3000000; heard::NowUs() < end; Sleep(2)) {
        std::vector<heard::Line> ons = heard::NoteOns(heard::Read(log), after + 1);
        if (!ons.empty())
            return ons[0].us;
    }
    return 0;
}

// One run: play 2 s reading the position, pause 1 s, resume, stop 50 ms into a note.
static void Run(Player* player, const std::string& song, const std::string& log, Figures* figures)
{
    DeleteFileA(log.c_str());
    LONGLONG start = heard::NowUs();
    if (!player->Play(song.c_str()))
        return;
    std::vector<std::pair<LONGLONG, int>> readings;
    for (LONGLONG end = start + 2000000; heard::NowUs() < end; Sleep(15)) {
        LONGLONG at = heard::NowUs();
        readings.push_back({at, player->Position()});
    }
    player->Pause();
    Sleep(100);
    double cpu = ProcessCpuMs();
    LONGLONG paused = heard::NowUs();
    Sleep(1000);
    figures->paused_cpu.push_back((ProcessCpuMs() - cpu) / ((heard::NowUs() - paused) / 1000.0) * 100);
    LONGLONG resume = heard::NowUs();
    player->Resume();
    LONGLONG note = WaitForNoteOn(log, resume);
    Sleep(50);
    LONGLONG stop = heard::NowUs();
    player->Stop();
    if (note != 0)
        figures->stop_ms.push_back((heard::NowUs() - stop) / 1000.0);

    std::vector<heard::Line> ons = heard::NoteOns(heard::Read(log), start, resume);
    if (ons.empty())
        return;
    figures->lag_ms.push_back((ons[0].us - start) / 1000.0);
    for (auto [at, position] : readings) {
        const heard::Line* last = nullptr;
        for (const heard::Line& l : ons)
            if (l.us <= at)
                last = &l;
        if (last != nullptr && at < last->us + 200000)
            figures->error_ms.push_back(position - ((heard::Key(*last) - kFirstPitch) * kNoteMs + (at - last->us) / 1000.0));
    }
}

static double Percentile(std::vector<double> values, int percent, bool magnitude)
{
    if (values.empty())
        return 0;
    if (magnitude)
        for (double& v : values)
            v = std::fabs(v);
    std::sort(values.begin(), values.end());
    return values[(values.size() - 1) * percent / 100];
}

int main()
{
    MidiSong line;
    line.programs.push_back({0, 19});
    for (int i = 0; i < kNotes; ++i)
        line.notes.push_back({i * 240, 192, 0, kFirstPitch + i, 100});
    std::string song = TempName("music_bench.mid"), log = TempName("music_bench.log");
    WriteMidiFile(song, line);
    SetEnvironmentVariableA("MIDI_LOG_FILE", log.c_str());

    HMODULE dll;
    InModule* mod = LoadPlugin(&dll);
    if (mod == nullptr) {
        printf("midi_plugin.dll not found beside the benchmark\n");
        return 1;
    }
    PluginPlayer plugin(mod);
    BarePlayer bare;
    Figures with_plugin, with_bare;
    for (int i = 0; i < kRuns; ++i) {
        Run(&plugin, song, log, &with_plugin);
        Run(&bare, song, log, &with_bare);
    }
    if (with_plugin.lag_ms.empty() || with_bare.lag_ms.empty()) {
        printf("no note reached the MIDI output driver's log: run through tools/bench.sh\n");
        return 1;
    }

    printf("%d runs of each; the plug-in captures the sound while it plays (its default)\n", kRuns);
    printf("%-44s %12s %12s %9s\n", "", "plug-in", "bare MCI", "ratio");
    PrintRow("start lag, Play to first note (median)", Median(with_plugin.lag_ms), Median(with_bare.lag_ms), "ms");
    PrintRow("position minus music (median)", Median(with_plugin.error_ms), Median(with_bare.error_ms), "ms");
    PrintRow("position error, 95th percentile of |e|", Percentile(with_plugin.error_ms, 95, true),
             Percentile(with_bare.error_ms, 95, true), "ms");
    PrintRow("Stop while a note sounds (median)", Median(with_plugin.stop_ms), Median(with_bare.stop_ms), "ms");
    PrintRow("Stop while a note sounds (slowest)", Percentile(with_plugin.stop_ms, 100, false),
             Percentile(with_bare.stop_ms, 100, false), "ms");
    PrintRow("processor time while paused (median)", Median(with_plugin.paused_cpu), Median(with_bare.paused_cpu),
             "% of a core");
    DeleteFileA(song.c_str());
    DeleteFileA(log.c_str());
    FreeLibrary(dll);
    return 0;
}
