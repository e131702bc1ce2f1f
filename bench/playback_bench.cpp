// Playback benchmark: the cost of GetPosition, and Play+Stop of real files through the plug-in
// against the bare MCI command sequence it wraps, with the plug-in's own share of it.
#include "bench/bench_common.h"

#include <mmsystem.h>
#include "tools/import_patch.h"
#include "tools/midi_writer.h"

static volatile int sink_value;
static const int kRounds = 15;

static MMRESULT WINAPI NoWaveInput(LPHWAVEIN, UINT, LPCWAVEFORMATEX, DWORD_PTR, DWORD_PTR, DWORD)
{
    return MMSYSERR_NODRIVER;
}

static void BarePlayStop(const char* file)
{
    MCI_OPEN_PARMSA open = {};
    open.lpstrDeviceType = (LPCSTR)MCI_DEVTYPE_SEQUENCER;
    open.lpstrElementName = file;
    if (mciSendCommandA(0, MCI_OPEN, MCI_OPEN_TYPE | MCI_OPEN_TYPE_ID | MCI_OPEN_ELEMENT | MCI_WAIT, (DWORD_PTR)&open) != 0)
        return;
    MCI_SET_PARMS set = {};
    mciSendCommandA(open.wDeviceID, MCI_SET, MCI_SET_TIME_FORMAT | MCI_WAIT, (DWORD_PTR)&set);
    MCI_STATUS_PARMS status = {};
    status.dwItem = MCI_STATUS_LENGTH;
    mciSendCommandA(open.wDeviceID, MCI_STATUS, MCI_STATUS_ITEM | MCI_WAIT, (DWORD_PTR)&status);
    MCI_PLAY_PARMS play = {};
    mciSendCommandA(open.wDeviceID, MCI_PLAY, 0, (DWORD_PTR)&play);
    MCI_GENERIC_PARMS generic = {};
    mciSendCommandA(open.wDeviceID, MCI_STOP, MCI_WAIT, (DWORD_PTR)&generic);
    mciSendCommandA(open.wDeviceID, MCI_CLOSE, MCI_WAIT, (DWORD_PTR)&generic);
}

int main(int argc, char** argv)
{
    BenchArgs args = ReadBenchArgs(argc, argv, MIDI_DATA_FOLDER);
    const std::vector<std::string>& folders = args.folders;
    HMODULE dll;
    InModule* mod = LoadPlugin(&dll, nullptr, args.plugin_path);
    if (mod == nullptr) {
        fprintf(stderr, "cannot load midi_plugin.dll\n");
        return 1;
    }
    std::string file = TempName("playback_bench.mid");
    WriteMidiFile(file, ScaleSong(16));
    mod->SetVolume(200);

    printf("%-44s %12s %12s %9s\n", "", "plug-in", "bare", "ratio");

    // GetPosition while playing, against the tick count it reads.
    mod->Play(file.c_str());
    const int calls = 1000000;
    std::vector<double> plugin_runs, bare_runs;
    for (int run = 0; run < 7; ++run) {
        double t0 = NowMicroseconds();
        for (int i = 0; i < calls; ++i)
            sink_value = mod->GetPosition();
        double t1 = NowMicroseconds();
        for (int i = 0; i < calls; ++i)
            sink_value = (int)GetTickCount();
        double t2 = NowMicroseconds();
        plugin_runs.push_back((t1 - t0) * 1000 / calls);
        bare_runs.push_back((t2 - t1) * 1000 / calls);
    }
    mod->Stop();
    PrintRow("GetPosition vs GetTickCount", Median(plugin_runs), Median(bare_runs), "ns a call, median of 7");

    // Play+Stop of real files through the plug-in against open/set/status/play/stop/close by
    // hand, alternating, with capture left out (the bare sequence has none); then the plug-in's
    // own time, with a sequencer that answers at once.
    auto* no_capture = new ImportPatch(dll, "winmm.dll", "waveInOpen", (void*)NoWaveInput);
    for (const std::string& folder : folders) {
        std::vector<std::string> files = MidiFilesIn(folder);
        plugin_runs.clear();
        bare_runs.clear();
        std::vector<double> own_runs, ratios;
        for (int round = 0; round < kRounds; ++round) {
            for (size_t i = 0; i < files.size(); ++i) {
                double plugin_ms = 0, bare_ms = 0;
                for (int side = 0; side < 2; ++side) {
                    bool plugin = (side == 0) == ((round + i) % 2 == 0);
                    double t0 = NowMicroseconds();
                    if (plugin) {
                        mod->Play(files[i].c_str());
                        mod->Stop();
                    } else {
                        BarePlayStop(files[i].c_str());
                    }
                    (plugin ? plugin_ms : bare_ms) = (NowMicroseconds() - t0) / 1000;
                }
                plugin_runs.push_back(plugin_ms);
                bare_runs.push_back(bare_ms);
                ratios.push_back(plugin_ms / bare_ms);
            }
        }
        {
            ImportPatch instant(dll, "winmm.dll", "mciSendCommandA", (void*)InstantMci);
            for (int round = 0; round < kRounds; ++round)
                for (const std::string& f : files) {
                    double t0 = NowMicroseconds();
                    mod->Play(f.c_str());
                    mod->Stop();
                    own_runs.push_back((NowMicroseconds() - t0) / 1000);
                }
        }
        printf("%zu files in %s, %d rounds:\n", files.size(), folder.c_str(), kRounds);
        PrintRow("Play+Stop vs bare MCI sequence", Median(plugin_runs), Median(bare_runs), "ms a cycle, median");
        printf("%-44s %34.2fx\n", "median of the paired ratios", Median(ratios));
        printf("%-44s %34.1f  us, %.1f%% of the bare sequence\n", "own time (instant sequencer)",
               Median(own_runs) * 1000, 100 * Median(own_runs) / Median(bare_runs));
    }

    delete no_capture; // before the module goes
    DeleteFileA(file.c_str());
    FreeLibrary(dll);
    return 0;
}
