// What is heard, timed through the MIDI output driver's log (tools/bench.sh installs the driver
// and starts FluidSynth): the plug-in's Play, GetPosition, Pause and Stop beside the bare MCI
// sequence doing the same (open and play; the sequencer's own position; pause; stop and close).
// Then real pieces (tests/data, whose note times mido gives: tools/bench.sh writes them), each
// against the clock a host reads: the plug-in's, or for the bare sequence one started at play
// and set at each seek and resume.
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
    virtual void Seek(int ms) = 0;
};

struct PluginPlayer : Player {
    InModule* mod;
    explicit PluginPlayer(InModule* m) : mod(m) {}
    bool Play(const char* path) override { return mod->Play(path) == 0; }
    int Position() override { return mod->GetPosition(); }
    void Pause() override { mod->Pause(); }
    void Resume() override { mod->Resume(); }
    void Stop() override { mod->Stop(); }
    void Seek(int ms) override { mod->SetPosition(ms); }
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
    void Seek(int ms) override
    {
        MCI_PLAY_PARMS play = {};
        play.dwFrom = (DWORD)ms;
        mciSendCommandA(device, MCI_PLAY, MCI_FROM, (DWORD_PTR)&play);
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

// --- real pieces ------------------------------------------------------------------------

// A player and the clock a host reads: the plug-in's position, or one of the bench's own.
struct Clocked {
    Player* player;
    bool own_clock;
    LONGLONG base_us = 0;
    int base_ms = 0;
    void Set(int ms)
    {
        base_us = heard::NowUs();
        base_ms = ms;
    }
    int Read() { return own_clock ? base_ms + (int)((heard::NowUs() - base_us) / 1000) : player->Position(); }
};

// Where a stretch of music began: the call that started it, when it returned, the clock then.
struct Stretch {
    LONGLONG call_us, at_us;
    int position;
};

struct PieceFigures {
    std::vector<double> spread_ms, drift_ms, lost, start_ms, seek_ms, pause_ms, stop_ms;
};

template <class F> static double TimedMs(F call)
{
    LONGLONG before = heard::NowUs();
    call();
    return (heard::NowUs() - before) / 1000.0;
}

// The 95th percentile of how far the notes stray from their median offset against the clock.
static double Spread(const heard::Timing& t)
{
    std::vector<double> d;
    for (double o : t.offsets)
        d.push_back(o - t.median);
    return Percentile(d, 95, true);
}

// The whole of a piece from the start: how far its notes stray from the clock, and how far its
// last tenth is from its first.
static void WholePiece(Clocked c, const std::string& path, int length_ms, const std::string& log,
                       const std::vector<std::pair<double, int>>& notes, PieceFigures* f)
{
    DeleteFileA(log.c_str());
    LONGLONG call = heard::NowUs();
    if (!c.player->Play(path.c_str()))
        return;
    c.Set(0);
    Stretch s = {call, heard::NowUs(), c.Read()};
    Sleep(length_ms + 300);
    c.player->Stop();
    heard::Timing t = heard::Match(heard::Read(log), s.call_us, s.at_us, s.position, length_ms, notes);
    if (t.offsets.size() < 40)
        return;
    f->start_ms.push_back((heard::NoteOns(heard::Read(log), call)[0].us - call) / 1000.0);
    f->spread_ms.push_back(Spread(t));
    size_t tenth = t.offsets.size() / 10;
    f->drift_ms.push_back(Median({t.offsets.end() - tenth, t.offsets.end()}) -
                          Median({t.offsets.begin(), t.offsets.begin() + tenth}));
}

// Seeks across a piece, each followed by a pause and a resume: the notes due in the 2 s after
// each that are not heard, how far those heard stray, and how long each call keeps the host.
static void SeeksAndResumes(Clocked c, const std::string& path, const std::string& log,
                            const std::vector<std::pair<double, int>>& notes, PieceFigures* f)
{
    DeleteFileA(log.c_str());
    if (!c.player->Play(path.c_str()))
        return;
    c.Set(0);
    std::vector<Stretch> stretches;
    for (int point : {23456, 61234, 98765, 120001}) {
        Sleep(1500);
        LONGLONG call = heard::NowUs();
        f->seek_ms.push_back(TimedMs([&] { c.player->Seek(point); }));
        c.Set(point);
        stretches.push_back({call, heard::NowUs(), c.Read()});
        Sleep(2500);
        int paused_at = c.Read();
        f->pause_ms.push_back(TimedMs([&] { c.player->Pause(); }));
        Sleep(300);
        call = heard::NowUs();
        c.player->Resume();
        c.Set(paused_at);
        stretches.push_back({call, heard::NowUs(), c.Read()});
        Sleep(2500);
    }
    f->stop_ms.push_back(TimedMs([&] { c.player->Stop(); }));
    std::vector<heard::Line> heard_lines = heard::Read(log);
    for (const Stretch& s : stretches) {
        heard::Timing t = heard::Match(heard_lines, s.call_us, s.at_us, s.position, s.position + 2000, notes);
        f->lost.push_back(t.lost);
        if (!t.offsets.empty())
            f->spread_ms.push_back(Spread(t));
    }
}

static void RealPieces(Player* plugin, BarePlayer* bare, const std::string& log)
{
    std::string folder = hostlib::ProgramFolder() + "midi_lengths\\";
    struct Piece {
        const char* name;
        int length_ms;
    } whole = {"coconut_run2.mid", 68000};
    std::vector<std::pair<double, int>> whole_notes = heard::FileNotes(folder, whole.name);
    std::vector<std::pair<double, int>> bach = heard::FileNotes(folder, "bach-prelude-c-major-bwv846.mid");
    if (whole_notes.empty() || bach.empty()) {
        printf("\nno note times beside the benchmark (tools/bench.sh writes them)\n");
        return;
    }
    PieceFigures fp, fb, sp, sb;
    WholePiece({plugin, false}, folder + whole.name, whole.length_ms, log, whole_notes, &fp);
    WholePiece({bare, true}, folder + whole.name, whole.length_ms, log, whole_notes, &fb);
    std::string prelude = folder + "bach-prelude-c-major-bwv846.mid";
    SeeksAndResumes({plugin, false}, prelude, log, bach, &sp);
    SeeksAndResumes({bare, true}, prelude, log, bach, &sb);
    // The size of the copy the plug-in hands Wine's sequencer, read as the sequencer reads it,
    // against the file's.
    std::vector<double> growth;
    for (const char* name : {"satie-gymnopedie-no1.mid", "fur-elise.mid", "midnight_snow_run.mid", "peacherine-rag.mid",
                             "bach-prelude-c-major-bwv846.mid", "chuggachugga.mid", "ttsong_iii_imuh3.mid"}) {
        std::string path = folder + name;
        plugin->Play(path.c_str());
        HMMIO copy = mmioOpenA((LPSTR) "playing.TQSP+", nullptr, MMIO_READ);
        if (copy != nullptr) {
            WIN32_FILE_ATTRIBUTE_DATA file;
            GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &file);
            growth.push_back((double)mmioSeek(copy, 0, SEEK_END) / file.nFileSizeLow);
            mmioClose(copy, 0);
        }
        plugin->Stop();
    }

    printf("\nreal pieces: %s whole (%d s), Bach's C major prelude sought to 4 points, each then paused and resumed\n",
           whole.name, whole.length_ms / 1000);
    printf("%-44s %12s %12s %9s\n", "", "plug-in", "bare MCI", "ratio");
    PrintRow("whole piece: notes off the clock, p95 |e-median|", Median(fp.spread_ms), Median(fb.spread_ms), "ms");
    PrintRow("whole piece: last tenth minus first tenth", Median(fp.drift_ms), Median(fb.drift_ms), "ms");
    PrintRow("whole piece: Play to first note", Median(fp.start_ms), Median(fb.start_ms), "ms");
    PrintRow("notes lost in 2 s after a seek or resume", Median(sp.lost), Median(sb.lost), "notes");
    PrintRow("... most lost after one", Percentile(sp.lost, 100, false), Percentile(sb.lost, 100, false), "notes");
    PrintRow("after a seek or resume: p95 |e-median|", Median(sp.spread_ms), Median(sb.spread_ms), "ms");
    PrintRow("seek while playing (median)", Median(sp.seek_ms), Median(sb.seek_ms), "ms");
    PrintRow("seek while playing (slowest)", Percentile(sp.seek_ms, 100, false), Percentile(sb.seek_ms, 100, false), "ms");
    PrintRow("Pause (median)", Median(sp.pause_ms), Median(sb.pause_ms), "ms");
    PrintRow("Pause (slowest)", Percentile(sp.pause_ms, 100, false), Percentile(sb.pause_ms, 100, false), "ms");
    PrintRow("Stop", Median(sp.stop_ms), Median(sb.stop_ms), "ms");
    if (!growth.empty())
        printf("the copy Wine's sequencer reads: %.1f to %.1f times the file (median %.1f)\n",
               Percentile(growth, 0, false), Percentile(growth, 100, false), Median(growth));
}

// --- sysex set-up -----------------------------------------------------------------------

// A file whose first 10 s sweep the master volume with `count` sysex, then notes every 250 ms
// for 60 s.
static std::string WriteVolumeSweep(int count)
{
    std::vector<uint8_t> track;
    for (int i = 0; i < count; ++i) {
        PutVarLen(track, i == 0 ? 0 : 4800 / count);
        uint8_t sysex[] = {0xF0, 7, 0x7F, 0x7F, 0x04, 0x01, 0x00, (uint8_t)(i * 127 / count), 0xF7};
        track.insert(track.end(), sysex, sysex + sizeof(sysex));
    }
    for (int i = 0; i < 240; ++i) {
        PutVarLen(track, i == 0 ? 0 : 120 - 60);
        uint8_t on[] = {0x90, (uint8_t)(48 + i % 24), 100};
        track.insert(track.end(), on, on + 3);
        PutVarLen(track, 60);
        uint8_t off[] = {0x80, (uint8_t)(48 + i % 24), 0};
        track.insert(track.end(), off, off + 3);
    }
    uint8_t end[] = {0, 0xFF, 0x2F, 0};
    track.insert(track.end(), end, end + 4);
    std::string path = TempName("music_bench_sweep.mid");
    uint8_t header[] = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1, 0, 240, 'M', 'T', 'r', 'k',
                        (uint8_t)(track.size() >> 24), (uint8_t)(track.size() >> 16), (uint8_t)(track.size() >> 8),
                        (uint8_t)track.size()};
    FILE* f = fopen(path.c_str(), "wb");
    fwrite(header, 1, sizeof(header), f);
    fwrite(track.data(), 1, track.size(), f);
    fclose(f);
    return path;
}

static int LongMessagesFrom(const std::string& log, LONGLONG from)
{
    int n = 0;
    for (const heard::Line& l : heard::Read(log))
        n += l.us >= from && l.name == "longdata";
    return n;
}

// What the set-up costs a start: Play, seeks and resumes of a file with a GS set-up and of one
// with hundreds of sysex before the point, against the bare sequence (which sends none), and
// how many sysex reached the device each time.
static void SysexSetups(Player* plugin, BarePlayer* bare, const std::string& log)
{
    std::string gs = hostlib::ProgramFolder() + "midi_lengths\\gs-setup-song.mid";
    std::string sweep = WriteVolumeSweep(400);
    printf("\nsysex set-up: %s and a 400-message master volume sweep, each played, sought to 3 points and\n"
           "paused and resumed at each\n", "gs-setup-song.mid");
    printf("%-44s %12s %12s %9s\n", "", "plug-in", "bare MCI", "ratio");
    for (const std::string& path : {gs, sweep}) {
        std::vector<double> start[2], seek[2], resume[2];
        std::vector<double> sent;
        for (int side = 0; side < 2; ++side) {
            Player* p = side == 0 ? plugin : (Player*)bare;
            for (int run = 0; run < 3; ++run) {
                DeleteFileA(log.c_str());
                LONGLONG at = heard::NowUs();
                start[side].push_back(TimedMs([&] { p->Play(path.c_str()); }));
                if (side == 0)
                    sent.push_back(LongMessagesFrom(log, at));
                for (int point : {15000, 25000, 35000}) {
                    Sleep(400);
                    at = heard::NowUs();
                    seek[side].push_back(TimedMs([&] { p->Seek(point); }));
                    if (side == 0)
                        sent.push_back(LongMessagesFrom(log, at));
                    Sleep(400);
                    p->Pause();
                    at = heard::NowUs();
                    resume[side].push_back(TimedMs([&] { p->Resume(); }));
                    if (side == 0)
                        sent.push_back(LongMessagesFrom(log, at));
                }
                Sleep(200);
                p->Stop();
            }
        }
        const char* name = path == gs ? "GS set-up" : "volume sweep";
        printf("%s: sysex sent a start, median %.0f, most %.0f\n", name, Median(sent), Percentile(sent, 100, false));
        PrintRow("  Play (median)", Median(start[0]), Median(start[1]), "ms");
        PrintRow("  seek while playing (median)", Median(seek[0]), Median(seek[1]), "ms");
        PrintRow("  seek while playing (slowest)", Percentile(seek[0], 100, false), Percentile(seek[1], 100, false), "ms");
        PrintRow("  Resume (median)", Median(resume[0]), Median(resume[1]), "ms");
        PrintRow("  Resume (slowest)", Percentile(resume[0], 100, false), Percentile(resume[1], 100, false), "ms");
    }
    DeleteFileA(sweep.c_str());
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
    RealPieces(&plugin, &bare, log);
    SysexSetups(&plugin, &bare, log);
    DeleteFileA(song.c_str());
    DeleteFileA(log.c_str());
    FreeLibrary(dll);
    return 0;
}
